// cecompat.h — what the Windows CE SDK has beyond desktop Win32: the device
// manager, aygshell, the audio refresh, the stream driver's fault guard and
// the module entry. The modules include this one header in both builds.
//
// Linux: the Windows CE stand-in (libplatform) provides all of it in its own
// headers. Desktop Windows (mingw-w64): declared below; on a device
// coredll.dll and aygshell.dll provide these, on the desktop the small
// cecompat library answers them (device calls fail as unsupported, the
// shell's full-screen and menu-bar calls do nothing).
#ifndef TAVRINEL_CECOMPAT_H
#define TAVRINEL_CECOMPAT_H

#ifndef _WIN32
// ---------------------------------------------------------------- the stand-in

#include "aygshell.h"
#include "windows.h"
// A resource script (rcc) takes aygshell's menu-bar values only.
#ifndef RC_INVOKED
#include "mmsystem.h"
#include "platform/dllentry.h"
#include "platform/guard.h"

using platform::GuardedCall;
#endif

#else // desktop Windows

#include <windows.h>

// A resource script (RC_INVOKED) takes only the constants: the menu bar's
// button values and the caption OK button's style.
#ifndef RC_INVOKED
#include <mmsystem.h>

// ---------------------------------------------------------------- device manager

EXTERN_C HANDLE WINAPI ActivateDeviceEx(LPCWSTR driverKey, LPCVOID registryEntries,
                                        DWORD entryCount, LPVOID busContext);
EXTERN_C BOOL WINAPI DeactivateDevice(HANDLE device);

// ---------------------------------------------------------------- errors and program entry

#ifndef ERROR_DEVICE_ALREADY_ATTACHED
#define ERROR_DEVICE_ALREADY_ATTACHED 548L
#endif
// A CE program's WinMain takes its command line as UTF-16.
#define WinMain wWinMain

// ---------------------------------------------------------------- modules and audio

// Windows CE names entry points in UTF-16.
EXTERN_C FARPROC WINAPI GetProcAddressW(HMODULE module, LPCWSTR procName);
// Makes the audio system take over the shell's volume keys.
EXTERN_C void WINAPI AudioUpdateFromRegistry(void);

// ---------------------------------------------------------------- registry

// Windows CE has no key security: callers pass 0 for the access, which
// desktop Win32 would take as "no rights" (every read then fails with
// ERROR_ACCESS_DENIED). 0 asks for whatever the caller may have instead.
inline LONG CeRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
    return RegOpenKeyExW(key, subKey, options, access != 0 ? access : MAXIMUM_ALLOWED, result);
}
#define RegOpenKeyExW CeRegOpenKeyExW

#endif // RC_INVOKED

// ---------------------------------------------------------------- aygshell

// An OK button in the caption that sends IDOK (desktop Windows has none).
#define WS_EX_CAPTIONOKBTN 0x80000000L
#define SHIDIM_FLAGS 0x0001u
#define SHIDIF_DONEBUTTON 0x0001u
#define SHIDIF_SIZEDLG 0x0002u
#define SHIDIF_SIZEDLGFULLSCREEN 0x0004u
#define SHIDIF_SIPDOWN 0x0008u
#define SHIDIF_FULLSCREENNOMENUBAR 0x0010u
#define SHIDIF_EMPTYMENU 0x0020u

#ifndef RC_INVOKED
typedef struct tagSHINITDLGINFO {
    DWORD dwMask;
    HWND hDlg;
    DWORD dwFlags;
} SHINITDLGINFO, *PSHINITDLGINFO;

typedef struct tagSHMENUBARINFO {
    DWORD cbSize;
    HWND hwndParent;
    DWORD dwFlags;
    UINT nToolBarId;
    HINSTANCE hInstRes;
    int nBmpId;
    int cBmpImages;
    HWND hwndMB;
    COLORREF clrBk;
} SHMENUBARINFO, *PSHMENUBARINFO;
#endif // RC_INVOKED

// commctrl.h has these as well (a resource script sees commctrl.rh's
// TBSTYLE_* only); the values are the same.
#ifndef I_IMAGENONE
#define I_IMAGENONE 0xFFFE
#endif
#define NOMENU 0xFFFF
#ifndef TBSTATE_ENABLED
#define TBSTATE_ENABLED 0x04
#endif
#ifndef TBSTYLE_BUTTON
#define TBSTYLE_BUTTON 0x0000
#define TBSTYLE_DROPDOWN 0x0008
#define TBSTYLE_AUTOSIZE 0x0010
#endif

#ifndef RC_INVOKED

EXTERN_C BOOL WINAPI SHInitDialog(PSHINITDLGINFO info);
EXTERN_C BOOL WINAPI SHCreateMenuBar(PSHMENUBARINFO info);

// ---------------------------------------------------------------- fault guard

// Runs fn(context); answers false instead of letting a C++ exception or a
// hardware fault (access violation, illegal instruction, arithmetic fault)
// leave the call. What a structured __try/__except gives a CE driver.
bool GuardedCall(void (*fn)(void *), void *context);

// ---------------------------------------------------------------- DLL entry

// Makes a module's entry function its DllMain, under the module's own name
// for it. The loader calls it after the C run-time has built the module's
// statics and before it destroys them, with the loader's third argument:
// non-NULL at detach means the process is ending (its other threads already
// gone), NULL an unload by FreeLibrary. Nothing thrown reaches the loader.
#define TAVRINEL_DLL_ENTRY(entry)                                                                  \
    namespace {                                                                                    \
    BOOL (*const tavrinelDllEntry)(HANDLE, DWORD, LPVOID) = entry;                                 \
    }                                                                                              \
    EXTERN_C BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {              \
        try {                                                                                      \
            return tavrinelDllEntry(instance, reason, reserved);                                   \
        } catch (...) {                                                                            \
            return TRUE;                                                                           \
        }                                                                                          \
    }

#endif // RC_INVOKED

#endif // _WIN32

#endif // TAVRINEL_CECOMPAT_H
