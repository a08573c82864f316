// devices.cpp — the device manager: ActivateDeviceEx, DeactivateDevice,
// in-process drivers, boot-time loading and the list of active devices.
//
// A driver key under HKEY_LOCAL_MACHINE holds "Dll" (REG_SZ, the module or
// an in-process driver's name), "Prefix" (REG_SZ, three letters) and
// "Index" (REG_DWORD 0..9). Without "Index" the first free index of 1..9,
// then 0, is taken, as Windows CE does. The device is named Prefix, Index
// and a colon ("COM9:").
//
// Errors (last error, NULL answer):
//  - no such driver key: ERROR_FILE_NOT_FOUND (what RegOpenKeyExW says);
//  - "Dll", "Prefix" or "Index" missing, of the wrong type or size, or out
//    of range: ERROR_INVALID_PARAMETER;
//  - a module name the loader refuses: its error (ERROR_INVALID_NAME,
//    ERROR_MOD_NOT_FOUND); a required entry point (Init, Deinit, Open,
//    Close) missing: ERROR_PROC_NOT_FOUND;
//  - the name is already active (or being activated): ERROR_DEVICE_IN_USE;
//  - Init answered 0: ERROR_GEN_FAILURE. Nothing is left behind.
//
// A device handle is an id from the kernel's id counter (below 2^30, so the
// 32-bit "Hnd" value holds it exactly) kept in this manager's own table: it
// is not a handle of the kernel table, so CloseHandle and the waits refuse
// it, and only DeactivateDevice ends it.
//
// Locking: the manager's lock is held only to look up and change its
// tables, never around a call into a driver or the loader. A driver may
// therefore open, use and close other devices from any entry point.
#include <windows.h>

#include <platform/devices.h>
#include <platform/emulation.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <type_traits>

#include "devmgr.h"
#include "handles.h"
#include "kernel.h"
#include "text.h"

namespace platform::kernel {

// ---------------------------------------------------------------- Device

bool Device::Enter() {
    std::lock_guard guard(lock_);
    if (retired_)
        return false;
    ++inFlight_;
    return true;
}

void Device::Leave() {
    std::lock_guard guard(lock_);
    if (--inFlight_ == 0)
        idle_.notify_all();
}

void Device::Retire() {
    std::unique_lock guard(lock_);
    retired_ = true;
    idle_.wait(guard, [this] { return inFlight_ == 0; });
}

bool Device::Retired() {
    std::lock_guard guard(lock_);
    return retired_;
}

} // namespace platform::kernel

namespace {

using platform::StreamDriver;
using platform::kernel::Device;

constexpr std::u16string_view kActiveRoot = u"Drivers\\Active";
constexpr std::u16string_view kBuiltinRoot = u"Drivers\\Builtin";
constexpr unsigned kMaxActiveEntries = 100; // "00" to "99"
constexpr size_t kMaxDllChars = MAX_PATH;
constexpr size_t kMaxKeyChars = 16383;

struct FoldedLess {
    bool operator()(const std::u16string &a, const std::u16string &b) const {
        return platform::text::CompareIgnoreCase(a, b) < 0;
    }
};

struct Manager {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<Device>> devices; // by device handle, ready ones
    std::set<std::u16string, FoldedLess> names;           // taken: active or in transition
    std::set<unsigned> activeNumbers;                     // taken "Drivers\Active\NN"
    std::map<std::u16string, StreamDriver, FoldedLess> inProcess;
    unsigned long long sequence = 0;
};

// Never destroyed: drivers may be deactivated during process exit.
Manager &TheManager() {
    static Manager *manager = new Manager;
    return *manager;
}

// Who hears of changes to the active list (WatchActiveDevices).
struct Watcher {
    std::mutex lock;
    void (*changed)(void *) = nullptr;
    void *context = nullptr;
};

Watcher &TheWatcher() {
    static Watcher *watcher = new Watcher;
    return *watcher;
}

void TellWatcher() {
    Watcher &w = TheWatcher();
    std::lock_guard guard(w.lock);
    if (w.changed != nullptr)
        w.changed(w.context);
}

// ---------------------------------------------------------------- registry values

// A REG_SZ value of 1..maxChars characters (a terminator is optional; text
// after an embedded terminator is refused).
bool ReadString(HKEY key, const WCHAR *name, size_t maxChars, std::u16string &out) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ || size == 0 || size % sizeof(WCHAR) != 0 ||
        size > (maxChars + 1) * sizeof(WCHAR))
        return false;
    std::u16string buffer(size / sizeof(WCHAR), u'\0');
    DWORD got = size;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(buffer.data()),
                         &got) != ERROR_SUCCESS ||
        type != REG_SZ || got != size)
        return false;
    if (!buffer.empty() && buffer.back() == u'\0')
        buffer.pop_back();
    if (buffer.empty() || buffer.size() > maxChars || buffer.find(u'\0') != std::u16string::npos)
        return false;
    out = std::move(buffer);
    return true;
}

enum class DwordRead { kMissing, kBad, kOk };

DwordRead ReadDword(HKEY key, const WCHAR *name, DWORD &out) {
    DWORD type = 0;
    DWORD size = 0;
    const LONG rc = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND)
        return DwordRead::kMissing;
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(DWORD))
        return DwordRead::kBad;
    DWORD value = 0;
    size = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return DwordRead::kBad;
    out = value;
    return DwordRead::kOk;
}

bool IsAsciiLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

struct DriverKey {
    std::u16string dll;
    std::u16string prefix;
    int index = -1; // -1: the first free one
};

// Reads and checks a driver key; answers a Win32 error.
DWORD ReadDriverKey(const std::u16string &keyPath, DriverKey &out) {
    HKEY key = nullptr;
    const LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS)
        return static_cast<DWORD>(rc);
    DWORD error = ERROR_SUCCESS;
    DWORD index = 0;
    if (!ReadString(key, u"Dll", kMaxDllChars, out.dll) ||
        !ReadString(key, u"Prefix", 3, out.prefix) || out.prefix.size() != 3 ||
        !std::all_of(out.prefix.begin(), out.prefix.end(), IsAsciiLetter)) {
        error = ERROR_INVALID_PARAMETER;
    } else {
        switch (ReadDword(key, u"Index", index)) {
        case DwordRead::kMissing:
            out.index = -1;
            break;
        case DwordRead::kOk:
            if (index > 9)
                error = ERROR_INVALID_PARAMETER;
            else
                out.index = static_cast<int>(index);
            break;
        case DwordRead::kBad:
            error = ERROR_INVALID_PARAMETER;
            break;
        }
    }
    RegCloseKey(key);
    return error;
}

// ---------------------------------------------------------------- binding

// Binds <Prefix>_Init ... from a module; answers a Win32 error.
DWORD BindModule(HMODULE module, const std::u16string &prefix, StreamDriver &entry) {
    // Through void(*)(): the generic function pointer type that converts
    // to any other without a warning.
    auto bind = [&](auto &slot, const char16_t *suffix) {
        const std::u16string name = prefix + u"_" + suffix;
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
            reinterpret_cast<void (*)()>(GetProcAddressW(module, name.c_str())));
    };
    bind(entry.Init, u"Init");
    bind(entry.Deinit, u"Deinit");
    bind(entry.Open, u"Open");
    bind(entry.Close, u"Close");
    bind(entry.Read, u"Read");
    bind(entry.Write, u"Write");
    bind(entry.Seek, u"Seek");
    bind(entry.IOControl, u"IOControl");
    bind(entry.PowerUp, u"PowerUp");
    bind(entry.PowerDown, u"PowerDown");
    if (!entry.Init || !entry.Deinit || !entry.Open || !entry.Close)
        return ERROR_PROC_NOT_FOUND;
    return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- reservations

// Takes the device name (the given index, or the first free one of 1..9,0).
// Answers a Win32 error.
DWORD ReserveName(const DriverKey &driver, std::u16string &name) {
    Manager &m = TheManager();
    std::lock_guard guard(m.lock);
    auto nameFor = [&](int index) {
        return driver.prefix + static_cast<char16_t>(u'0' + index) + u":";
    };
    if (driver.index >= 0) {
        name = nameFor(driver.index);
        if (!m.names.insert(name).second)
            return ERROR_DEVICE_IN_USE;
        return ERROR_SUCCESS;
    }
    for (const int index : {1, 2, 3, 4, 5, 6, 7, 8, 9, 0}) {
        name = nameFor(index);
        if (m.names.insert(name).second)
            return ERROR_SUCCESS;
    }
    return ERROR_DEVICE_IN_USE;
}

void ReleaseName(const std::u16string &name) {
    Manager &m = TheManager();
    std::lock_guard guard(m.lock);
    m.names.erase(name);
}

std::u16string ActivePath(unsigned number) {
    std::u16string path(kActiveRoot);
    path += u'\\';
    path += static_cast<char16_t>(u'0' + number / 10);
    path += static_cast<char16_t>(u'0' + number % 10);
    return path;
}

// Creates the lowest free "Drivers\Active\NN" that neither this manager nor
// anyone else (a stale or hand-made entry) holds. Answers the open key.
DWORD CreateActiveEntry(unsigned &number, HKEY &entry) {
    Manager &m = TheManager();
    // The folder first, without the volatile option: the registry makes it
    // volatile itself, and its parent "Drivers" must stay persistent.
    HKEY folder = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, std::u16string(kActiveRoot).c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &folder, nullptr);
    if (rc != ERROR_SUCCESS)
        return static_cast<DWORD>(rc);
    RegCloseKey(folder);
    for (unsigned n = 0; n < kMaxActiveEntries; ++n) {
        {
            std::lock_guard guard(m.lock);
            if (!m.activeNumbers.insert(n).second)
                continue;
        }
        DWORD disposition = 0;
        rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, ActivePath(n).c_str(), 0, nullptr,
                             REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &entry, &disposition);
        if (rc == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY) {
            number = n;
            return ERROR_SUCCESS;
        }
        if (rc == ERROR_SUCCESS)
            RegCloseKey(entry);
        std::lock_guard guard(m.lock);
        m.activeNumbers.erase(n);
    }
    return ERROR_OUTOFMEMORY;
}

void RemoveActiveEntry(unsigned number) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, ActivePath(number).c_str());
    Manager &m = TheManager();
    std::lock_guard guard(m.lock);
    m.activeNumbers.erase(number);
}

bool SetStringValue(HKEY key, const WCHAR *name, const std::u16string &value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
}

// ---------------------------------------------------------------- activation

HANDLE Activate(const std::u16string &keyPath, DWORD &error) {
    DriverKey driver;
    if ((error = ReadDriverKey(keyPath, driver)) != ERROR_SUCCESS)
        return nullptr;

    auto device = std::make_shared<Device>();
    device->key = keyPath;
    // The name first: a taken one costs no module load.
    if ((error = ReserveName(driver, device->name)) != ERROR_SUCCESS)
        return nullptr;
    {
        Manager &m = TheManager();
        std::lock_guard guard(m.lock);
        const auto it = m.inProcess.find(driver.dll);
        if (it != m.inProcess.end())
            device->entry = it->second;
    }
    if (device->entry.Init) {
        if (!device->entry.Deinit || !device->entry.Open || !device->entry.Close) {
            ReleaseName(device->name);
            error = ERROR_PROC_NOT_FOUND;
            return nullptr;
        }
    } else {
        // The loader refuses names that would leave the module folder.
        device->module = LoadLibraryW(driver.dll.c_str());
        if (!device->module) {
            error = GetLastError();
            ReleaseName(device->name);
            return nullptr;
        }
        if ((error = BindModule(device->module, driver.prefix, device->entry)) != ERROR_SUCCESS) {
            FreeLibrary(device->module);
            ReleaseName(device->name);
            return nullptr;
        }
    }
    auto undoModule = [&] {
        if (device->module)
            FreeLibrary(device->module);
    };

    HKEY entry = nullptr;
    if ((error = CreateActiveEntry(device->activeNumber, entry)) != ERROR_SUCCESS) {
        undoModule();
        ReleaseName(device->name);
        return nullptr;
    }
    device->active = ActivePath(device->activeNumber);
    device->handle = platform::kernel::NewObjectId();
    const DWORD hnd = static_cast<DWORD>(device->handle);
    const bool written =
        SetStringValue(entry, u"Key", keyPath) && SetStringValue(entry, u"Name", device->name) &&
        RegSetValueExW(entry, u"Hnd", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&hnd),
                       sizeof hnd) == ERROR_SUCCESS;
    RegCloseKey(entry);

    // No lock held: Init may open other devices.
    device->context = written ? device->entry.Init(device->active.c_str()) : 0;
    if (!device->context) {
        error = written ? ERROR_GEN_FAILURE : ERROR_CANTWRITE;
        RemoveActiveEntry(device->activeNumber);
        undoModule();
        ReleaseName(device->name);
        return nullptr;
    }
    Manager &m = TheManager();
    std::lock_guard guard(m.lock);
    device->sequence = ++m.sequence;
    m.devices[device->handle] = device;
    return reinterpret_cast<HANDLE>(device->handle);
}

// Removes a device from the table (so it cannot be found or deactivated
// twice); null when the handle names no active device.
std::shared_ptr<Device> TakeDevice(HANDLE handle) {
    Manager &m = TheManager();
    std::lock_guard guard(m.lock);
    const auto it = m.devices.find(reinterpret_cast<uintptr_t>(handle));
    if (it == m.devices.end())
        return nullptr;
    std::shared_ptr<Device> device = std::move(it->second);
    m.devices.erase(it);
    return device;
}

} // namespace

namespace platform::kernel {

std::shared_ptr<Device> FindActiveDevice(std::u16string_view name) {
    Manager &m = TheManager();
    std::lock_guard guard(m.lock);
    for (const auto &[handle, device] : m.devices) {
        if (text::EqualsIgnoreCase(device->name, name))
            return device;
    }
    return nullptr;
}

} // namespace platform::kernel

// ---------------------------------------------------------------- Win32

// The registry overrides, their count and the bus context are not
// supported and ignored.
HANDLE WINAPI ActivateDeviceEx(LPCWSTR driverKey, LPCVOID registryEntries, DWORD entryCount,
                               LPVOID busContext) {
    (void)registryEntries;
    (void)entryCount;
    (void)busContext;
    if (!driverKey || !*driverKey || wcsnlen(driverKey, kMaxKeyChars + 1) > kMaxKeyChars) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD error = ERROR_SUCCESS;
    HANDLE device = Activate(driverKey, error);
    if (!device)
        SetLastError(error);
    else
        TellWatcher();
    return device;
}

// Refuses new opens and calls at once, waits for the calls running in the
// driver, then calls Deinit, removes the active entry and releases the
// module. Files still open on the device fail from then on with
// ERROR_DEVICE_REMOVED; closing them does not call the driver. May take as
// long as Deinit does; no lock is held meanwhile. Must not be called from
// inside one of the device's own entry points (it would wait for itself).
BOOL WINAPI DeactivateDevice(HANDLE handle) {
    std::shared_ptr<Device> device = TakeDevice(handle);
    if (!device) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    device->Retire();
    device->entry.Deinit(device->context);
    RemoveActiveEntry(device->activeNumber);
    if (device->module)
        FreeLibrary(device->module);
    ReleaseName(device->name); // only now may the name be activated again
    TellWatcher();
    return TRUE;
}

// ---------------------------------------------------------------- emulation controls

namespace platform {

void RegisterInProcessDriver(const std::u16string &dllName, const StreamDriver &driver) {
    Manager &m = TheManager();
    std::lock_guard guard(m.lock);
    m.inProcess[dllName] = driver;
}

namespace {

// Why a boot entry did not load, in words; the loader's last word must still
// be this thread's.
std::string ActivationWords(const std::u16string &keyPath, DWORD error) {
    std::u16string dll;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        (void)ReadString(key, u"Dll", kMaxDllChars, dll);
        RegCloseKey(key);
    }
    const std::string named = dll.empty() ? "its Dll" : "its Dll " + text::Utf16ToUtf8(dll);
    switch (error) {
    case ERROR_INVALID_PARAMETER:
        return "\"Dll\", \"Prefix\" or \"Index\" missing or unusable";
    case ERROR_INVALID_NAME:
        return named + " is outside the module folder " + GetModuleDir();
    case ERROR_MOD_NOT_FOUND: {
        const std::string why = LastLoaderError();
        const std::string missing = ": no such file";
        if (why.size() >= missing.size() &&
            why.compare(why.size() - missing.size(), missing.size(), missing) == 0)
            return named + " is not found in the module folder " + GetModuleDir();
        return named + " is not a module (" + why + ")";
    }
    case ERROR_PROC_NOT_FOUND:
        return named + " is not a stream driver: it lacks Init, Deinit, Open or Close";
    case ERROR_DEVICE_IN_USE:
        return "its device name is taken";
    case ERROR_GEN_FAILURE:
        return "the driver's Init failed";
    default:
        return "refused";
    }
}

} // namespace

int LoadBuiltinDrivers(std::vector<std::string> &errors) {
    struct Candidate {
        std::u16string name;
        bool hasOrder = false;
        DWORD order = 0;
    };
    std::vector<Candidate> candidates;
    HKEY builtin = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, std::u16string(kBuiltinRoot).c_str(), 0, KEY_READ,
                      &builtin) != ERROR_SUCCESS)
        return 0;
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD chars = 256;
        const LONG rc = RegEnumKeyExW(builtin, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS || chars >= 256)
            continue;
        Candidate c;
        c.name.assign(name, chars);
        HKEY sub = nullptr;
        if (RegOpenKeyExW(builtin, c.name.c_str(), 0, KEY_READ, &sub) == ERROR_SUCCESS) {
            c.hasOrder = ReadDword(sub, u"Order", c.order) == DwordRead::kOk;
            RegCloseKey(sub);
        }
        candidates.push_back(std::move(c));
    }
    RegCloseKey(builtin);
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate &a, const Candidate &b) {
                         if (a.hasOrder != b.hasOrder)
                             return a.hasOrder;
                         if (a.hasOrder && a.order != b.order)
                             return a.order < b.order;
                         return text::CompareIgnoreCase(a.name, b.name) < 0;
                     });
    int loaded = 0;
    for (const Candidate &c : candidates) {
        const std::u16string path = std::u16string(kBuiltinRoot) + u"\\" + c.name;
        if (ActivateDeviceEx(path.c_str(), nullptr, 0, nullptr)) {
            ++loaded;
            continue;
        }
        const DWORD error = GetLastError();
        errors.push_back(text::Utf16ToUtf8(path) + ": cannot activate: " +
                         ActivationWords(path, error) + " (error " + std::to_string(error) + ")");
    }
    return loaded;
}

std::vector<ActiveDevice> ListActiveDevices() {
    std::vector<std::shared_ptr<kernel::Device>> devices;
    {
        Manager &m = TheManager();
        std::lock_guard guard(m.lock);
        for (const auto &[handle, device] : m.devices)
            devices.push_back(device);
    }
    std::sort(devices.begin(), devices.end(),
              [](const auto &a, const auto &b) { return a->sequence < b->sequence; });
    std::vector<ActiveDevice> list;
    list.reserve(devices.size());
    for (const auto &device : devices)
        list.push_back(
            {device->name, device->key, device->active, reinterpret_cast<HANDLE>(device->handle)});
    return list;
}

void WatchActiveDevices(void (*changed)(void *context), void *context) {
    Watcher &w = TheWatcher();
    std::lock_guard guard(w.lock);
    if (changed == nullptr && w.context != context)
        return;
    w.changed = changed;
    w.context = changed != nullptr ? context : nullptr;
}

void DeactivateAllDevices() {
    std::vector<ActiveDevice> list = ListActiveDevices();
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        DeactivateDevice(it->handle);
}

} // namespace platform
