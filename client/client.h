// client.h — VorliskClient's globals and procedures, shared by its source
// files: settings and registration (settings.cpp), activation and discovery
// (activation.cpp), program start and dialogs (main.cpp), test console
// (console.cpp). One instance of everything: the program runs once.
#ifndef TAVRINEL_CLIENT_CLIENT_H
#define TAVRINEL_CLIENT_CLIENT_H

#include <atomic>

#include <cecompat.h>
#include <windows.h>

#include "resource.h"

// ---------------------------------------------------------------- settings

constexpr size_t kDriverKeyPathChars = 260; // terminator included
constexpr size_t kPortNameChars = 16;       // terminator included

// The user's choices, each the position of the chosen entry in its box
// (-1: the box had no selection when saved).
struct PanelSettings {
    int comPort = 9;
    int fmBand = 0;
    int dataOutput = 0;
    int soundOutput = 0;
    int muteRadio = 0;
    int loadOnBoot = 0;
    WCHAR driverKeyPath[kDriverKeyPathChars] = TEXT("Drivers\\Builtin\\Tavrinel");
    WCHAR portName[kPortNameChars] = TEXT("COM9:");
};

extern PanelSettings panelSettings;

extern const WCHAR kManualKeyPath[];  // "Drivers\Tavrinel"
extern const WCHAR kStartupKeyPath[]; // "Drivers\Builtin\Tavrinel"

void loadSettings();
void saveSettings(int port, int band, int dataOutput, int soundOutput, int mute, int loadOnBoot);

// ---------------------------------------------------------------- activation

extern DWORD deviceHandle;

bool findActiveDriver();
void toggleDriver();
void showDriverStatus(HWND dialog);
void loadUnloadDriver(HWND dialog);

// ---------------------------------------------------------------- program and dialogs

extern HINSTANCE appInstance;
extern HWND mainWindow;
extern bool driverActive;

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK SettingsDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Runs dialog `id` of the program's resources modally, owned by mainWindow.
INT_PTR RunDialog(int id, DLGPROC procedure);
// SHInitDialog as every dialog of the program asks for it: full screen, an
// OK button in the caption, the input panel lowered, an empty menu.
void InitFullScreenDialog(HWND dialog);

// ---------------------------------------------------------------- test console

extern HANDLE portHandle;
extern HWND testDialog;
extern std::atomic<BYTE> stopReader;
extern DWORD readerThreadId;
extern BYTE manToggle;

INT_PTR CALLBACK TestDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
DWORD WINAPI ReaderThread(LPVOID parameter);

#endif // TAVRINEL_CLIENT_CLIENT_H
