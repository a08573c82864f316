// entry.cpp — the stream driver entry points (prefix "COM") and the
// driver's lifecycle: load, first open, last close, unload.
#include <cstring>

#include <platform/guard.h>

#include "driver.h"

DriverState driverState;

namespace {

constexpr DWORD kPowerOnSettleMs = 1000;
constexpr DWORD kBeforeCloseMs = 5000;
constexpr DWORD kAfterCloseMs = 1000;
constexpr size_t kPortNameChars = 260;

const WCHAR kPlainKey[] = TEXT("Drivers\\Tavrinel");
const WCHAR kBuiltinKey[] = TEXT("Drivers\\Builtin\\Tavrinel");
const WCHAR kMultiplexerKey[] =
    TEXT("System\\CurrentControlSet\\GPS Intermediate Driver\\Multiplexer");

bool ValidContext(const DeviceContext *context) {
    return context != nullptr && context->signature == kDeviceSignature;
}

void CopyKeyPath(const WCHAR *path) {
    WCHAR *out = driverState.settings.keyPath;
    size_t n = 0;
    for (; path[n] != 0 && n < kKeyPathChars; ++n)
        out[n] = path[n];
    out[n] = 0;
}

// Reads a 4-byte value straight into its field; a missing value (or one
// of another size) leaves the field as it was.
void ReadDword(HKEY key, LPCWSTR name, DWORD &field) {
    DWORD value = field;
    DWORD size = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size) ==
            ERROR_SUCCESS &&
        size == sizeof value)
        field = value;
}

// The multiplexer's device name, or empty when the key or value is
// missing or does not fit.
void ReadMultiplexerName(WCHAR (&name)[kPortNameChars + 1]) {
    name[0] = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMultiplexerKey, 0, 0, &key) != ERROR_SUCCESS)
        return;
    DWORD type = 0;
    DWORD size = kPortNameChars * sizeof(WCHAR);
    if (RegQueryValueExW(key, TEXT("DriverInterface"), nullptr, &type,
                         reinterpret_cast<BYTE *>(name), &size) != ERROR_SUCCESS)
        name[0] = 0;
    else
        name[size / sizeof(WCHAR) < kPortNameChars ? size / sizeof(WCHAR) : kPortNameChars] = 0;
    RegCloseKey(key);
}

void SaveFrequency() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, driverState.settings.keyPath, 0, 0, &key) !=
        ERROR_SUCCESS)
        return;
    const DWORD frequency = driverState.currentFrequency;
    RegSetValueExW(key, TEXT("Frequency"), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&frequency),
                   sizeof frequency);
    RegCloseKey(key);
}

// What the last close leaves behind: the frequency for the next load, and
// the multiplexer port closed.
void EndLastOpen() {
    SaveFrequency();
    const HANDLE port = driverState.gpsPort.exchange(INVALID_HANDLE_VALUE);
    if (port != INVALID_HANDLE_VALUE)
        CloseHandle(port);
}

void CloseTuner(void *tuner) {
    FMClose(static_cast<HFMTUNER>(tuner));
}

} // namespace

void LoadDriverSettings() {
    DriverSettings &s = driverState.settings;
    s.Band = s.Data = s.Sound = s.Mute = 0;
    HKEY key = nullptr;
    CopyKeyPath(kPlainKey);
    bool opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPlainKey, 0, 0, &key) == ERROR_SUCCESS;
    if (!opened) {
        CopyKeyPath(kBuiltinKey);
        opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBuiltinKey, 0, 0, &key) == ERROR_SUCCESS;
    }
    s.Frequency = kDefaultFrequencyKHz;
    if (!opened)
        return;
    ReadDword(key, TEXT("Band"), s.Band);
    ReadDword(key, TEXT("Data"), s.Data);
    ReadDword(key, TEXT("Mute"), s.Mute);
    ReadDword(key, TEXT("Sound"), s.Sound);
    ReadDword(key, TEXT("Frequency"), s.Frequency);
    RegCloseKey(key);
}

// ---------------------------------------------------------------- entry points
//
// Contexts are pointer-sized on the host (32-bit words on the device).
// A context is checked against the one this driver handed out before it is
// read, so a foreign pointer is refused without being dereferenced.

namespace {
std::atomic<DeviceContext *> liveContext{nullptr};

// Serialises opens and closes: a first open (radio set up, multiplexer port
// opened) must not interleave with a last close on another handle (radio
// off, port closed), or the count of opens and the radio's state part ways
// and the port stays unusable until the driver is reloaded. Created before
// the context is handed out, deleted at unload.
CRITICAL_SECTION lifecycleLock;
bool lifecycleLockReady = false;

struct LifecycleGuard {
    LifecycleGuard() { EnterCriticalSection(&lifecycleLock); }
    ~LifecycleGuard() { LeaveCriticalSection(&lifecycleLock); }
    LifecycleGuard(const LifecycleGuard &) = delete;
    LifecycleGuard &operator=(const LifecycleGuard &) = delete;
};

DeviceContext *Known(DWORD_PTR handle) {
    auto *context = reinterpret_cast<DeviceContext *>(handle);
    return context != nullptr && context == liveContext.load() && ValidContext(context) ? context
                                                                                        : nullptr;
}
} // namespace

extern "C" __declspec(dllexport) DWORD_PTR COM_Init(LPCWSTR /*activeKey*/) {
    auto *context = static_cast<DeviceContext *>(LocalAlloc(LPTR, sizeof(DeviceContext)));
    if (context != nullptr)
        context->signature = kDeviceSignature;
    driverState.currentFrequency = kDefaultFrequencyKHz;
    LoadDriverSettings();
    driverState.currentFrequency = driverState.settings.Frequency;
    LogLine(TEXT("COM_Init"));
    driverState.tunerHandle = FMOpen(0);
    CreateOutputLock();
    if (!lifecycleLockReady) {
        InitializeCriticalSection(&lifecycleLock);
        lifecycleLockReady = true;
    }
    liveContext = context;
    return reinterpret_cast<DWORD_PTR>(context);
}

extern "C" __declspec(dllexport) BOOL COM_Deinit(DWORD_PTR handle) {
    bool stillOpen = false;
    if (DeviceContext *context = Known(handle)) {
        LifecycleGuard serialised; // no open or close is half done
        liveContext = nullptr;
        stillOpen = InterlockedCompareExchange(&context->openCount, 0, 0) != 0;
        LocalFree(context);
    }
    LogLine(TEXT("COM_Deinit"));
    Sleep(kBeforeCloseMs);
    // The stack is outside this system: a fault inside it must not take the
    // device manager down with the driver.
    if (!platform::GuardedCall(CloseTuner, driverState.tunerHandle.load()))
        LogLine(TEXT("Exception raised on FMClose"));
    if (stillOpen)
        EndLastOpen(); // unloaded while a program held the port: no close will come
    Sleep(kAfterCloseMs);
    driverState.tunerHandle = nullptr;
    DeleteOutputLock();
    if (lifecycleLockReady) {
        lifecycleLockReady = false;
        DeleteCriticalSection(&lifecycleLock);
    }
    return TRUE;
}

extern "C" __declspec(dllexport) DWORD_PTR COM_Open(DWORD_PTR handle, DWORD access, DWORD share) {
    DeviceContext *context = Known(handle);
    if (context == nullptr)
        return 0;
    LifecycleGuard serialised;
    const bool firstOpen = InterlockedIncrement(&context->openCount) == 1;
    WCHAR portName[kPortNameChars + 1];
    ReadMultiplexerName(portName);
    if (firstOpen) {
        driverState.gpsPort =
            CreateFileW(portName, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
        const HFMTUNER tuner = driverState.tunerHandle;
        if (tuner != nullptr) {
            const DriverSettings &s = driverState.settings;
            FMSetProp(tuner, FMPROP_TUNE_CALLBACK, reinterpret_cast<DWORD_PTR>(&OnTuned));
            FMSetProp(tuner, FMPROP_RDS_CALLBACK, reinterpret_cast<DWORD_PTR>(&OnRdsGroup));
            if (s.Band <= FMBAND_WORLD)
                FMPowerOn(tuner, 1, static_cast<FMRadioBand>(s.Band));
            else
                LogFormatted(TEXT("Band %u is not 0, 1 or 2: the radio stays off"), s.Band);
            Sleep(kPowerOnSettleMs);
            FMSetProp(tuner, FMPROP_MUTE, s.Mute);
            FMSetProp(tuner, FMPROP_AUDIO_PATH, s.Sound);
            FMSetProp(tuner, FMPROP_FREQUENCY, driverState.currentFrequency);
        }
    }
    if (driverState.gpsPort.load() == INVALID_HANDLE_VALUE) {
        // Without the multiplexer port the open fails. Undo a failed first
        // open, so that a later open (once the port exists) is a first open
        // again instead of failing until the driver is reloaded.
        if (firstOpen) {
            if (const HFMTUNER tuner = driverState.tunerHandle)
                FMPowerOn(tuner, 0, FMBAND_CCIR);
        }
        // A failed open never counts.
        InterlockedDecrement(&context->openCount);
        return 0;
    }
    return handle;
}

extern "C" __declspec(dllexport) BOOL COM_Close(DWORD_PTR handle) {
    DeviceContext *context = Known(handle);
    if (context == nullptr)
        return FALSE;
    LifecycleGuard serialised;
    if (InterlockedCompareExchange(&context->openCount, 0, 0) == 1) {
        if (const HFMTUNER tuner = driverState.tunerHandle) {
            const DWORD result = FMPowerOn(tuner, 0, FMBAND_CCIR);
            LogFormattedStamped(TEXT("FMPowerOff: %d"), static_cast<int>(result));
            LogFormattedStamped(TEXT("FMClose: %d"), static_cast<int>(result));
        }
        EndLastOpen();
    }
    LONG count = InterlockedCompareExchange(&context->openCount, 0, 0);
    if (count != 0)
        count = InterlockedDecrement(&context->openCount);
    LogFormattedStamped(TEXT("COM_Close: numopens=%d"), static_cast<int>(count));
    return TRUE;
}

extern "C" __declspec(dllexport) DWORD COM_Read(DWORD_PTR, LPVOID buffer, DWORD count) {
    return ReadPending(static_cast<BYTE *>(buffer), count);
}

// Writes longer than the work copy are handled piece by piece, each piece
// as a write of its own: nothing is dropped and the full count returns.
extern "C" __declspec(dllexport) DWORD COM_Write(DWORD_PTR, LPCVOID buffer, DWORD count) {
    if (buffer == nullptr)
        return 0;
    const auto *bytes = static_cast<const BYTE *>(buffer);
    DWORD done = 0;
    do {
        const DWORD piece = count - done < kWorkCopyBytes - 1 ? count - done : kWorkCopyBytes - 1;
        InterpretWrite(bytes + done, piece);
        done += piece;
    } while (done < count);
    return count;
}

extern "C" __declspec(dllexport) DWORD COM_Seek(DWORD_PTR, LONG, DWORD) {
    return 0;
}

extern "C" __declspec(dllexport) BOOL COM_IOControl(DWORD_PTR, DWORD code, PBYTE in, DWORD inSize,
                                                    PBYTE out, DWORD outSize, PDWORD returned) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return DeviceIoControl(driverState.gpsPort, code, in, inSize, out, outSize, returned, nullptr);
}

extern "C" __declspec(dllexport) void COM_PowerUp(DWORD_PTR) {}
extern "C" __declspec(dllexport) void COM_PowerDown(DWORD_PTR) {}
