// settings.cpp — PanelSettings and the driver's registry key: which of its
// two places is in use, and the eight values the program writes into it.
#include "client.h"

PanelSettings panelSettings;

const WCHAR kManualKeyPath[] = TEXT("Drivers\\Tavrinel");
const WCHAR kStartupKeyPath[] = TEXT("Drivers\\Builtin\\Tavrinel");

namespace {

const WCHAR kManualParent[] = TEXT("Drivers");
const WCHAR kStartupParent[] = TEXT("Drivers\\Builtin");
const WCHAR kDriverSubkey[] = TEXT("Tavrinel");
const WCHAR kDriverDll[] = TEXT("\\Windows\\Tavrinel.dll");
const WCHAR kDriverPrefix[] = TEXT("COM");
constexpr DWORD kLoadOrder = 9;
constexpr REGSAM kFullAccess = 0xF003F;

// Copies a path into driverKeyPath, cut to its room.
void SetDriverKeyPath(const WCHAR *path) {
    size_t n = 0;
    for (; path[n] != 0 && n + 1 < kDriverKeyPathChars; ++n)
        panelSettings.driverKeyPath[n] = path[n];
    panelSettings.driverKeyPath[n] = 0;
}

// portName = "COM%d:" with comPort; any int fits the 16 characters.
void FormatPortName() {
    _snwprintf(panelSettings.portName, kPortNameChars, TEXT("COM%d:"), panelSettings.comPort);
    panelSettings.portName[kPortNameChars - 1] = 0;
}

// A value of exactly 4 bytes into its field, whatever its type, as the
// driver reads it; anything else (missing, another size) leaves the field
// as it was.
void ReadChoice(HKEY key, LPCWSTR name, int &field) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &size) ==
            ERROR_SUCCESS &&
        size == sizeof value)
        field = static_cast<int>(value);
}

// A list position, or -1 for a box without a selection (a stored number
// the list has no entry for): that keeps the stored number.
void TakeChoice(int &field, int position) {
    if (position >= 0)
        field = position;
}

void WriteDword(HKEY key, LPCWSTR name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

// A REG_SZ with its terminating zero: (characters + 1) * 2 bytes.
void WriteText(HKEY key, LPCWSTR name, const WCHAR *text) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                   static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(WCHAR)));
}

bool KeyExists(LPCWSTR path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Deletes parent\Tavrinel with everything below it.
void DeleteDriverKey(LPCWSTR parentPath) {
    HKEY parent = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, parentPath, 0, 0, &parent) != ERROR_SUCCESS)
        return;
    RegDeleteKeyW(parent, kDriverSubkey);
    RegCloseKey(parent);
}

} // namespace

// ---------------------------------------------------------------- loadSettings

// Fills PanelSettings from the driver key; the manual key wins when both
// exist. Without a key the defaults stand and driverKeyPath names the
// start-up key.
void loadSettings() {
    panelSettings.comPort = 9;
    panelSettings.fmBand = 0;
    panelSettings.dataOutput = 0;
    panelSettings.soundOutput = 0;
    panelSettings.muteRadio = 0;
    panelSettings.loadOnBoot = 0;

    HKEY key = nullptr;
    SetDriverKeyPath(kManualKeyPath);
    bool opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kManualKeyPath, 0, 0, &key) == ERROR_SUCCESS;
    if (!opened) {
        SetDriverKeyPath(kStartupKeyPath);
        opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStartupKeyPath, 0, 0, &key) == ERROR_SUCCESS;
        if (opened)
            panelSettings.loadOnBoot = 1;
    }
    if (opened) {
        ReadChoice(key, TEXT("Band"), panelSettings.fmBand);
        ReadChoice(key, TEXT("Index"), panelSettings.comPort);
        ReadChoice(key, TEXT("Data"), panelSettings.dataOutput);
        ReadChoice(key, TEXT("Mute"), panelSettings.muteRadio);
        ReadChoice(key, TEXT("Sound"), panelSettings.soundOutput);
        RegCloseKey(key);
    }
    FormatPortName();
}

// ---------------------------------------------------------------- saveSettings

// Stores the six list positions (a box without a selection keeps its stored
// number), makes the key of the chosen place the only
// driver key (the other place is deleted with all its values, "Frequency"
// included) and writes the eight values into it. A key that stays in place
// keeps its "Frequency". Any load-on-boot other than 0 means the start-up
// place, for every step alike.
void saveSettings(int port, int band, int dataOutput, int soundOutput, int mute, int loadOnBoot) {
    TakeChoice(panelSettings.fmBand, band);
    TakeChoice(panelSettings.comPort, port);
    TakeChoice(panelSettings.dataOutput, dataOutput);
    TakeChoice(panelSettings.loadOnBoot, loadOnBoot);
    TakeChoice(panelSettings.muteRadio, mute);
    TakeChoice(panelSettings.soundOutput, soundOutput);
    FormatPortName();

    const bool startup = panelSettings.loadOnBoot != 0;
    const WCHAR *targetPath = startup ? kStartupKeyPath : kManualKeyPath;
    const WCHAR *otherPath = startup ? kManualKeyPath : kStartupKeyPath;
    if (KeyExists(otherPath))
        DeleteDriverKey(startup ? kManualParent : kStartupParent);

    HKEY target = nullptr;
    DWORD disposition = 0;
    const bool created =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, targetPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        kFullAccess, nullptr, &target, &disposition) == ERROR_SUCCESS;
    SetDriverKeyPath(targetPath);
    if (!created)
        return; // the activation that follows reports the failure

    WriteDword(target, TEXT("Band"), static_cast<DWORD>(panelSettings.fmBand));
    WriteDword(target, TEXT("Index"), static_cast<DWORD>(panelSettings.comPort));
    WriteDword(target, TEXT("Data"), static_cast<DWORD>(panelSettings.dataOutput));
    WriteDword(target, TEXT("Mute"), static_cast<DWORD>(panelSettings.muteRadio));
    WriteDword(target, TEXT("Sound"), static_cast<DWORD>(panelSettings.soundOutput));
    WriteDword(target, TEXT("Order"), kLoadOrder);
    WriteText(target, TEXT("Dll"), kDriverDll);
    WriteText(target, TEXT("Prefix"), kDriverPrefix);
    RegCloseKey(target);
}
