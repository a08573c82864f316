// aygshell.h — the Windows Mobile shell helpers the control program uses:
// full-screen dialogs with a caption OK button, and the soft-key menu bar.
#ifndef TAVRINEL_PLATFORM_AYGSHELL_H
#define TAVRINEL_PLATFORM_AYGSHELL_H

#include "windows.h"

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

// Full screen and an OK button in the caption that sends WM_COMMAND IDOK.
WINBASEAPI BOOL WINAPI SHInitDialog(PSHINITDLGINFO info);

typedef struct tagSHMENUBARINFO {
    DWORD cbSize; // 36 on the device; sizeof(SHMENUBARINFO) here
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

// The menu-bar description is the RT_RCDATA resource nToolBarId, a list of
// WORDs: the menu id, the button count, then per button six WORDs:
// image (I_IMAGENONE), command, state (TBSTATE_ENABLED), style
// (TBSTYLE_BUTTON or TBSTYLE_DROPDOWN, | TBSTYLE_AUTOSIZE), caption string
// id, and the popup index in RT_MENU menu-id (NOMENU for none). A drop-down
// button opens that popup and sends no command of its own; the others send
// WM_COMMAND with their command to the parent. The left button is the F1
// soft key, the right one F2.
#define I_IMAGENONE 0xFFFE
#define NOMENU 0xFFFF
#define TBSTATE_ENABLED 0x04
#define TBSTYLE_BUTTON 0x0000
#define TBSTYLE_DROPDOWN 0x0008
#define TBSTYLE_AUTOSIZE 0x0010
#ifndef RC_INVOKED
WINBASEAPI BOOL WINAPI SHCreateMenuBar(PSHMENUBARINFO info);
#endif

#endif // TAVRINEL_PLATFORM_AYGSHELL_H
