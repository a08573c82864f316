// test_driver.cpp — TestDriver.dll: a recording echo stream driver (prefix
// "TST") for the device manager tests; see test_driver.h.
#include "test_driver.h"

#include <windows.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <set>

namespace {

testdriver::Record record;

constexpr DWORD kSignature = 0x54535444; // "TSTD"

struct OpenFile;

struct Instance {
    DWORD signature = kSignature;
    std::mutex lock;
    std::deque<BYTE> echo;
    std::set<OpenFile *> opens; // freed by Deinit when the manager dropped them
    std::atomic<LONG> busy{0};  // calls running on this device
    WCHAR nested[16]{};         // device that Open opens, or empty
};

struct OpenFile {
    Instance *device = nullptr;
    std::atomic<LONG> busy{0};
    HANDLE nested = INVALID_HANDLE_VALUE;
};

// Counts a call on a device and on an open context for its duration.
class Busy {
public:
    explicit Busy(OpenFile *open) : open_(open) {
        ++open_->busy;
        ++open_->device->busy;
    }
    ~Busy() {
        --open_->device->busy;
        --open_->busy;
    }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    OpenFile *open_;
};

// Reads a value of the driver key named by the active key's "Key".
bool ReadDriverValue(LPCWSTR activeKey, LPCWSTR name, DWORD type, void *data, DWORD size) {
    HKEY active = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, activeKey, 0, KEY_READ, &active) != ERROR_SUCCESS)
        return false;
    WCHAR keyPath[256]{};
    DWORD keySize = sizeof keyPath - sizeof(WCHAR);
    DWORD keyType = 0;
    const LONG rc = RegQueryValueExW(active, u"Key", nullptr, &keyType,
                                     reinterpret_cast<BYTE *>(keyPath), &keySize);
    RegCloseKey(active);
    if (rc != ERROR_SUCCESS || keyType != REG_SZ)
        return false;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD gotType = 0;
    DWORD got = size;
    const LONG valueRc =
        RegQueryValueExW(key, name, nullptr, &gotType, static_cast<BYTE *>(data), &got);
    RegCloseKey(key);
    return valueRc == ERROR_SUCCESS && gotType == type;
}

} // namespace

extern "C" __declspec(dllexport) testdriver::Record *TST_Record() {
    return &record;
}

extern "C" __declspec(dllexport) void TST_Reset() {
    record.~Record();
    new (&record) testdriver::Record();
}

extern "C" __declspec(dllexport) DWORD_PTR TST_Init(LPCWSTR activeKey) {
    ++record.inits;
    if (activeKey) {
        const size_t n = wcsnlen(activeKey, 63);
        std::memcpy(record.lastActiveKey, activeKey, n * sizeof(WCHAR));
        record.lastActiveKey[n] = 0;
    }
    DWORD fails = 0;
    if (ReadDriverValue(activeKey, u"InitFails", REG_DWORD, &fails, sizeof fails) && fails)
        return 0;
    auto *device = new Instance;
    ReadDriverValue(activeKey, u"NestedOpen", REG_SZ, device->nested,
                    sizeof device->nested - sizeof(WCHAR));
    record.lastInitContext = reinterpret_cast<DWORD_PTR>(device);
    return reinterpret_cast<DWORD_PTR>(device);
}

extern "C" __declspec(dllexport) BOOL TST_Deinit(DWORD_PTR context) {
    ++record.deinits;
    record.lastDeinitContext = context;
    auto *device = reinterpret_cast<Instance *>(context);
    if (!device || device->signature != kSignature)
        return FALSE;
    if (device->busy != 0)
        ++record.overlapViolations;
    if (const DWORD delay = record.deinitDelayMs)
        Sleep(delay);
    device->signature = 0;
    for (OpenFile *open : device->opens)
        delete open;
    delete device;
    return TRUE;
}

extern "C" __declspec(dllexport) DWORD_PTR TST_Open(DWORD_PTR context, DWORD access, DWORD share) {
    ++record.opens;
    record.lastOpenDevice = context;
    record.lastAccess = access;
    record.lastShare = share;
    auto *device = reinterpret_cast<Instance *>(context);
    if (!device || device->signature != kSignature)
        return 0;
    switch (record.openMode.load()) {
    case testdriver::kOpenFailSilently:
        return 0;
    case testdriver::kOpenFailDenied:
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    default:
        break;
    }
    auto *open = new OpenFile;
    open->device = device;
    if (device->nested[0]) {
        open->nested =
            CreateFileW(device->nested, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        if (open->nested == INVALID_HANDLE_VALUE) {
            record.nestedOpenError = GetLastError();
            delete open;
            return 0;
        }
    }
    {
        std::lock_guard guard(device->lock);
        device->opens.insert(open);
    }
    record.lastOpenContext = reinterpret_cast<DWORD_PTR>(open);
    return reinterpret_cast<DWORD_PTR>(open);
}

extern "C" __declspec(dllexport) BOOL TST_Close(DWORD_PTR context) {
    ++record.closes;
    record.lastCloseContext = context;
    auto *open = reinterpret_cast<OpenFile *>(context);
    if (!open)
        return FALSE;
    if (open->busy != 0)
        ++record.overlapViolations;
    if (open->nested != INVALID_HANDLE_VALUE)
        CloseHandle(open->nested);
    {
        std::lock_guard guard(open->device->lock);
        open->device->opens.erase(open);
    }
    delete open;
    return TRUE;
}

extern "C" __declspec(dllexport) DWORD TST_Read(DWORD_PTR context, LPVOID buffer, DWORD count) {
    ++record.reads;
    record.lastBuffer = buffer;
    record.lastCount = count;
    auto *open = reinterpret_cast<OpenFile *>(context);
    Busy busy(open);
    if (const DWORD delay = record.readDelayMs)
        Sleep(delay);
    if (!buffer && count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<DWORD>(-1);
    }
    std::lock_guard guard(open->device->lock);
    DWORD n = 0;
    auto *bytes = static_cast<BYTE *>(buffer);
    while (n < count && !open->device->echo.empty()) {
        bytes[n++] = open->device->echo.front();
        open->device->echo.pop_front();
    }
    return n + record.readOverAnswer;
}

extern "C" __declspec(dllexport) DWORD TST_Write(DWORD_PTR context, LPCVOID buffer, DWORD count) {
    ++record.writes;
    record.lastBuffer = buffer;
    record.lastCount = count;
    auto *open = reinterpret_cast<OpenFile *>(context);
    Busy busy(open);
    if (!buffer && count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<DWORD>(-1);
    }
    std::lock_guard guard(open->device->lock);
    const auto *bytes = static_cast<const BYTE *>(buffer);
    open->device->echo.insert(open->device->echo.end(), bytes, bytes + count);
    return count;
}

extern "C" __declspec(dllexport) DWORD TST_Seek(DWORD_PTR, LONG, DWORD) {
    return 0;
}

extern "C" __declspec(dllexport) BOOL
    TST_IOControl(DWORD_PTR context, DWORD code, PBYTE in, DWORD inSize, PBYTE out, DWORD outSize,
                  PDWORD returned) {
    ++record.ioctls;
    record.lastCode = code;
    record.lastIn = in;
    record.lastInSize = inSize;
    record.lastOut = out;
    record.lastOutSize = outSize;
    record.lastReturned = returned;
    auto *open = reinterpret_cast<OpenFile *>(context);
    Busy busy(open);
    if (code == testdriver::kIoctlAnswer && out && outSize >= sizeof(DWORD)) {
        const DWORD answer = 42;
        std::memcpy(out, &answer, sizeof answer);
        if (returned)
            *returned = sizeof answer;
        return TRUE;
    }
    if (code == testdriver::kIoctlEcho && (inSize == 0 || (in && out && outSize >= inSize))) {
        if (inSize)
            std::memcpy(out, in, inSize);
        if (returned)
            *returned = inSize;
        return TRUE;
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

extern "C" __declspec(dllexport) void TST_PowerUp(DWORD_PTR) {}
extern "C" __declspec(dllexport) void TST_PowerDown(DWORD_PTR) {}
