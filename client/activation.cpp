// activation.cpp — loading and unloading the receiver port driver through
// the device manager, and finding it in the list of active devices
// ("Drivers\Active"), where it is known only by its driver key path.
#include "client.h"

DWORD deviceHandle = 0;

namespace {

const WCHAR kActiveRoot[] = TEXT("Drivers\\Active");
constexpr DWORD kEntryNameChars = 260;   // buffer for a subkey name
constexpr DWORD kEntryNameOffered = 255; // offered to RegEnumKeyExW
constexpr DWORD kKeyValueBytes = 260;    // "Key" read with room for 130 characters
constexpr size_t kKeyValueChars = kKeyValueBytes / sizeof(WCHAR);
// "Drivers\Active\" and a name of at most kEntryNameOffered characters.
constexpr size_t kEntryPathChars = kEntryNameChars + 16;
constexpr DWORD kMaxEntries = 100000; // a bound on a list that misbehaves

const WCHAR kCannotLoad[] =
    TEXT("Cannot load driver.\r\nTry installing vandelcert.cab \r\nor another ") TEXT("COM port.");

// Whether an active entry's "Key" names the driver key. A missing value,
// one of another type, or one that does not fit 130 characters cannot be
// the driver's. The registry ignores letter case in key paths, and so does
// this comparison.
bool EntryNamesDriver(HKEY entry) {
    WCHAR value[kKeyValueChars + 1] = {};
    DWORD type = REG_NONE;
    DWORD size = kKeyValueBytes;
    if (RegQueryValueExW(entry, TEXT("Key"), nullptr, &type, reinterpret_cast<BYTE *>(value),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    const size_t chars = size / sizeof(WCHAR);
    value[chars < kKeyValueChars ? chars : kKeyValueChars] = 0;
    return _wcsicmp(value, panelSettings.driverKeyPath) == 0;
}

// "Hnd" of a matching entry. When it cannot be read as 4 bytes the handle
// is unknown: 0, so that an unload cannot hit another device with a stale
// handle.
void ReadDeviceHandle(HKEY entry) {
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof value;
    if (RegQueryValueExW(entry, TEXT("Hnd"), nullptr, &type, reinterpret_cast<BYTE *>(&value),
                         &size) == ERROR_SUCCESS &&
        size == sizeof value)
        deviceHandle = value;
    else
        deviceHandle = 0;
}

} // namespace

// Looks for an active device loaded from driverKeyPath; the first match
// wins and sets deviceHandle.
bool findActiveDriver() {
    HKEY active = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kActiveRoot, 0, 0, &active) != ERROR_SUCCESS)
        return false;
    bool found = false;
    for (DWORD index = 0; !found && index < kMaxEntries; ++index) {
        WCHAR name[kEntryNameChars] = {};
        DWORD nameChars = kEntryNameOffered;
        const LONG rc =
            RegEnumKeyExW(active, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc == ERROR_MORE_DATA)
            continue; // a name too long to read: not ours
        if (rc != ERROR_SUCCESS)
            break; // the list itself cannot be read (deleted meanwhile)
        name[kEntryNameOffered] = 0;

        WCHAR path[kEntryPathChars];
        wsprintfW(path, TEXT("Drivers\\Active\\%s"), name); // at most 15 + 255 characters
        HKEY entry = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &entry) != ERROR_SUCCESS)
            continue;
        if (EntryNamesDriver(entry)) {
            ReadDeviceHandle(entry);
            found = true;
        }
        RegCloseKey(entry);
    }
    RegCloseKey(active);
    return found;
}

// Unloads the driver when it is active, else loads it from driverKeyPath
// and reports a refused load.
void toggleDriver() {
    if (findActiveDriver()) {
        DeactivateDevice(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(deviceHandle)));
        return;
    }
    if (ActivateDeviceEx(panelSettings.driverKeyPath, nullptr, 0, nullptr) == nullptr)
        MessageBoxW(nullptr, kCannotLoad, TEXT("ERROR"), MB_OK | MB_ICONERROR);
}

// The status line from driverActive; the six settings boxes only while the
// driver is not loaded.
void showDriverStatus(HWND dialog) {
    SetWindowTextW(GetDlgItem(dialog, IDC_STATUS),
                   driverActive ? TEXT("TMC DRIVER ACTIVE") : TEXT("TMC DRIVER INACTIVE"));
    for (int id = IDC_COMPORT; id <= IDC_LOAD; ++id)
        EnableWindow(GetDlgItem(dialog, id), driverActive ? FALSE : TRUE);
}

namespace {

int Selection(HWND dialog, int id) {
    return static_cast<int>(SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0));
}

} // namespace

// The "TMC" button: while the driver is not loaded, save the choices and
// load it; while it is, unload it without saving. Then look again.
void loadUnloadDriver(HWND dialog) {
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    if (!driverActive)
        saveSettings(Selection(dialog, IDC_COMPORT), Selection(dialog, IDC_BAND),
                     Selection(dialog, IDC_DATA), Selection(dialog, IDC_SOUND),
                     Selection(dialog, IDC_MUTE), Selection(dialog, IDC_LOAD));
    toggleDriver();
    driverActive = findActiveDriver();
    showDriverStatus(dialog);
    SetCursor(nullptr);
}
