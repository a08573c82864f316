// winuser_shell.h — the windowing, dialog and control part of the Windows
// CE user interface that the control program uses, with the SDK's names
// and values. Included by windows.h.
#ifndef TAVRINEL_PLATFORM_WINUSER_SHELL_H
#define TAVRINEL_PLATFORM_WINUSER_SHELL_H

// ---------------------------------------------------------------- styles

#define WS_OVERLAPPED 0x00000000u
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_DISABLED 0x08000000u
#define WS_CAPTION 0x00C00000u
#define WS_BORDER 0x00800000u
#define WS_DLGFRAME 0x00400000u
#define WS_VSCROLL 0x00200000u
#define WS_HSCROLL 0x00100000u
#define WS_SYSMENU 0x00080000u
#define WS_GROUP 0x00020000u
#define WS_TABSTOP 0x00010000u
#define WS_EX_CAPTIONOKBTN 0x80000000u // an OK button in the caption (sends IDOK)

#define DS_SETFONT 0x0040u
#define DS_MODALFRAME 0x0080u
#define DS_FIXEDSYS 0x0008u
#define DS_CENTER 0x0800u

#define BS_PUSHBUTTON 0x0000u
#define BS_DEFPUSHBUTTON 0x0001u
#define ES_LEFT 0x0000u
#define ES_CENTER 0x0001u
#define ES_MULTILINE 0x0004u
#define ES_AUTOVSCROLL 0x0040u
#define ES_AUTOHSCROLL 0x0080u
#define ES_READONLY 0x0800u
#define SS_LEFT 0x0000u
#define SS_CENTER 0x0001u
#define SS_RIGHT 0x0002u
#define SS_ICON 0x0003u
#define SS_NOPREFIX 0x0080u
#define SS_CENTERIMAGE 0x0200u
#define SS_REALSIZEIMAGE 0x0800u
#define CBS_SIMPLE 0x0001u
#define CBS_DROPDOWN 0x0002u
#define CBS_DROPDOWNLIST 0x0003u

#ifndef RC_INVOKED

#define CS_VREDRAW 0x0001u
#define CS_HREDRAW 0x0002u
#define CW_USEDEFAULT (static_cast<int>(0x80000000u))

// ---------------------------------------------------------------- messages

#define WM_SETFOCUS 0x0007
#define WM_KILLFOCUS 0x0008
#define WM_ENABLE 0x000A
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_PAINT 0x000F
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_CHAR 0x0102
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202

#define IDOK 1
#define IDCANCEL 2

#define BN_CLICKED 0
#define BM_CLICK 0x00F5

#define EM_GETSEL 0x00B0
#define EM_SETSEL 0x00B1
#define EM_SCROLLCARET 0x00B7
#define EM_GETLINECOUNT 0x00BA
#define EM_REPLACESEL 0x00C2
#define EM_LIMITTEXT 0x00C5

#define CB_OKAY 0
#define CB_ERR (-1)
#define CB_ERRSPACE (-2)
#define CB_ADDSTRING 0x0143
#define CB_DELETESTRING 0x0144
#define CB_GETCOUNT 0x0146
#define CB_GETCURSEL 0x0147
#define CB_GETLBTEXT 0x0148
#define CB_GETLBTEXTLEN 0x0149
#define CB_RESETCONTENT 0x014B
#define CB_SETCURSEL 0x014E
#define CB_SHOWDROPDOWN 0x014F
#define CB_GETDROPPEDSTATE 0x0157
#define CBN_SELCHANGE 1
#define CBN_DROPDOWN 7
#define CBN_CLOSEUP 8

// Virtual keys the shell understands.
#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_ESCAPE 0x1B
#define VK_SPACE 0x20
#define VK_END 0x23
#define VK_HOME 0x24
#define VK_LEFT 0x25
#define VK_UP 0x26
#define VK_RIGHT 0x27
#define VK_DOWN 0x28
#define VK_DELETE 0x2E
#define VK_F1 0x70
#define VK_F2 0x71
#define VK_F4 0x73 // opens or closes a focused combo box's list

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

// ---------------------------------------------------------------- dialog templates

// The standard in-memory dialog template: DLGTEMPLATE, then the menu,
// class and caption (each 0x0000, 0xFFFF + ordinal, or a zero-terminated
// UTF-16 string), the font (point size and face) when DS_SETFONT is set,
// then per control a DWORD-aligned DLGITEMTEMPLATE followed by its class
// (0xFFFF + 0x0080 button, 0x0081 edit, 0x0082 static, 0x0085 combo box,
// or a name), its text (string or 0xFFFF + resource ordinal) and the size
// of its creation data (a WORD, 0 here).
#pragma pack(push, 2)
typedef struct {
    DWORD style;
    DWORD dwExtendedStyle;
    WORD cdit;
    short x;
    short y;
    short cx;
    short cy;
} DLGTEMPLATE, *LPDLGTEMPLATEW;
typedef const DLGTEMPLATE *LPCDLGTEMPLATEW;
typedef struct {
    DWORD style;
    DWORD dwExtendedStyle;
    short x;
    short y;
    short cx;
    short cy;
    WORD id;
} DLGITEMTEMPLATE;
#pragma pack(pop)
static_assert(sizeof(DLGTEMPLATE) == 18);
static_assert(sizeof(DLGITEMTEMPLATE) == 18);

typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);

struct HDC__;
typedef HDC__ *HDC;
typedef DWORD COLORREF;
typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *LPRECT;
typedef struct tagPAINTSTRUCT {
    HDC hdc;
    BOOL fErase;
    RECT rcPaint;
    BOOL fRestore;
    BOOL fIncUpdate;
    BYTE rgbReserved[32];
} PAINTSTRUCT, *LPPAINTSTRUCT;

// Runs a modal dialog: creates it and its controls from the template,
// sends WM_INITDIALOG (lParam = param; focus goes to the first tab stop
// when the procedure answers TRUE), and runs its own message loop until
// EndDialog. Answers EndDialog's result, or -1 when the dialog could not be
// created (a malformed template is refused, never read past its end: a
// template inside a resource that LoadResource handed out is read within
// that resource; one the caller built itself is trusted up to 64 KiB).
WINBASEAPI INT_PTR WINAPI DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW templ,
                                                  HWND owner, DLGPROC procedure, LPARAM param);
WINBASEAPI BOOL WINAPI EndDialog(HWND dialog, INT_PTR result);
WINBASEAPI HWND WINAPI GetDlgItem(HWND dialog, int id);
WINBASEAPI int WINAPI GetDlgCtrlID(HWND control);
WINBASEAPI LRESULT WINAPI SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam,
                                              LPARAM lParam);
WINBASEAPI BOOL WINAPI SetDlgItemTextW(HWND dialog, int id, LPCWSTR text);
WINBASEAPI UINT WINAPI GetDlgItemTextW(HWND dialog, int id, LPWSTR text, int maxChars);

WINBASEAPI int WINAPI GetWindowTextW(HWND window, LPWSTR text, int maxChars);
WINBASEAPI int WINAPI GetWindowTextLengthW(HWND window);
WINBASEAPI BOOL WINAPI SetWindowTextW(HWND window, LPCWSTR text);
WINBASEAPI BOOL WINAPI EnableWindow(HWND window, BOOL enable); // answers whether it WAS disabled
WINBASEAPI BOOL WINAPI IsWindowEnabled(HWND window);
WINBASEAPI BOOL WINAPI IsWindowVisible(HWND window);
// Answers the previous focus. From another thread than the dialog's it
// moves the focus at once without WM_KILLFOCUS/WM_SETFOCUS (the test
// console's reader does this); a disabled or hidden control is refused.
WINBASEAPI HWND WINAPI SetFocus(HWND window);
WINBASEAPI HWND WINAPI GetFocus();
WINBASEAPI BOOL WINAPI ShowWindow(HWND window, int show);
WINBASEAPI BOOL WINAPI UpdateWindow(HWND window);
WINBASEAPI HWND WINAPI GetParent(HWND window);
WINBASEAPI HDC WINAPI BeginPaint(HWND window, LPPAINTSTRUCT paint);
WINBASEAPI BOOL WINAPI EndPaint(HWND window, const PAINTSTRUCT *paint);
#define WHITE_BRUSH 0
WINBASEAPI HANDLE WINAPI GetStockObject(int object);

// Top-level windows of any thread of the process, by class and/or title.
WINBASEAPI HWND WINAPI FindWindowW(LPCWSTR className, LPCWSTR windowName);
// Windows CE: a handle with its lowest bit set brings the window's most
// recent owned window (its open dialog) to the front with it.
WINBASEAPI BOOL WINAPI SetForegroundWindow(HWND window);
WINBASEAPI HWND WINAPI GetForegroundWindow();

// ---------------------------------------------------------------- resources, cursors, boxes

#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_MENU MAKEINTRESOURCEW(4)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_RCDATA MAKEINTRESOURCEW(10)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)
typedef HANDLE HRSRC;
typedef HANDLE HGLOBAL;
// A module's resources: see platform/resources.h for how a module carries
// them. Names and types are MAKEINTRESOURCE ordinals or strings.
WINBASEAPI HRSRC WINAPI FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
WINBASEAPI HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource);
WINBASEAPI LPVOID WINAPI LockResource(HGLOBAL loaded);
WINBASEAPI DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource);
// String tables in the standard layout: block id/16+1 of RT_STRING holds 16
// strings, each a WORD length and that many UTF-16 characters.
WINBASEAPI int WINAPI LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int maxChars);
WINBASEAPI HICON WINAPI LoadIconW(HINSTANCE instance, LPCWSTR name);

// Old-style menu templates (RT_MENU): a MENUITEMTEMPLATEHEADER (WORD
// version 0, WORD offset of the items behind the header), then items:
// WORD flags; WORD id (not for MF_POPUP); zero-terminated UTF-16 text. A
// popup's items follow it; MF_END marks the last item of each level.
#define MF_STRING 0x00000000L
#define MF_GRAYED 0x00000001L
#define MF_DISABLED 0x00000002L
#define MF_POPUP 0x00000010L
#define MF_END 0x00000080L
#define MF_SEPARATOR 0x00000800L

#ifndef ERROR_RESOURCE_DATA_NOT_FOUND
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#endif
#ifndef ERROR_CONTROL_ID_NOT_FOUND
#define ERROR_CONTROL_ID_NOT_FOUND 1421L
#endif

#define IDC_WAIT MAKEINTRESOURCEW(32514)
#define IDC_ARROW MAKEINTRESOURCEW(32512)
WINBASEAPI HCURSOR WINAPI LoadCursorW(HINSTANCE instance, LPCWSTR name);
WINBASEAPI HCURSOR WINAPI SetCursor(HCURSOR cursor); // NULL removes the wait cursor

#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ICONERROR 0x00000010u
#define MB_ICONSTOP MB_ICONERROR
#define MB_ICONWARNING 0x00000030u
#define MB_ICONINFORMATION 0x00000040u
// Modal; runs its own message loop on the calling thread until dismissed.
WINBASEAPI int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

#endif // RC_INVOKED

#endif // TAVRINEL_PLATFORM_WINUSER_SHELL_H
