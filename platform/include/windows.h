// windows.h — the subset of the Windows CE API that Tavrinel, Lumarc and
// VorliskClient use, declared with the SDK's names and signatures and
// implemented on POSIX by libplatform.
//
// Host notes:
//  - WCHAR is char16_t (UTF-16, 2 bytes), so byte counts match the device.
//  - The device is ILP32. Pointer-carrying words use DWORD_PTR/ULONG_PTR,
//    which are 64 bits here; every other type keeps its device width.
//  - Calling conventions (WINAPI, CALLBACK) are empty: there is one ABI.
//  - Win32 functions have C linkage, as in the SDK: tools and other
//    languages find libplatform's GetLastError by that name.
#ifndef TAVRINEL_PLATFORM_WINDOWS_H
#define TAVRINEL_PLATFORM_WINDOWS_H

#ifdef RC_INVOKED
// A resource script (rcc) takes only the window and control styles.
#include "winuser_shell.h"
#else

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
// Before the WCHAR overloads of the wcs* routines below: the C++ library's
// using-declarations (std::wcstol, ...) must see only its own wchar_t ones.
#include <cwchar>

// ---------------------------------------------------------------- linkage

#define WINAPI
#define CALLBACK
#define APIENTRY
#define WINAPIV
#define EXTERN_C extern "C"
#define DECLSPEC_EXPORT __attribute__((visibility("default")))
// Modules build with hidden visibility; this is how they export by name.
#ifndef __declspec
#define __declspec(x) __declspec_##x
#define __declspec_dllexport __attribute__((visibility("default")))
#define __declspec_dllimport
#define __declspec_noinline __attribute__((noinline))
#endif
#define WINBASEAPI EXTERN_C DECLSPEC_EXPORT

// ---------------------------------------------------------------- types

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int BOOL;
typedef uint8_t BOOLEAN;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef char16_t WCHAR;
typedef WCHAR TCHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef intptr_t INT_PTR;
typedef void VOID;
typedef void *PVOID;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef BYTE *PBYTE;
typedef BYTE *LPBYTE;
typedef DWORD *PDWORD;
typedef DWORD *LPDWORD;
typedef LONG *PLONG;
typedef BOOL *LPBOOL;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef WCHAR *LPWSTR;
typedef WCHAR *PWSTR;
typedef const WCHAR *LPCWSTR;
typedef const WCHAR *PCWSTR;
typedef LPWSTR LPTSTR;
typedef LPCWSTR LPCTSTR;
typedef LONG HRESULT;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef DWORD REGSAM;
typedef UINT MMRESULT;
typedef WORD ATOM;

typedef void *HANDLE;
typedef HANDLE *PHANDLE;
typedef HANDLE *LPHANDLE;
struct HINSTANCE__;
typedef HINSTANCE__ *HINSTANCE;
typedef HINSTANCE HMODULE;
struct HWND__;
typedef HWND__ *HWND;
struct HKEY__;
typedef HKEY__ *HKEY;
typedef HKEY *PHKEY;
struct HMENU__;
typedef HMENU__ *HMENU;
struct HICON__;
typedef HICON__ *HICON;
typedef HICON HCURSOR;
struct HBRUSH__;
typedef HBRUSH__ *HBRUSH;
struct HWAVEOUT__;
typedef HWAVEOUT__ *HWAVEOUT;

typedef LONG_PTR(WINAPI *FARPROC)();
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID parameter);
typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef VOID(CALLBACK *TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);
typedef BOOL(WINAPI *DllEntryProc)(HANDLE module, DWORD reason, LPVOID reserved);

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

#define TEXT(s) u##s
#define _T(s) u##s
#define L_(s) u##s

#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))

#define LOWORD(l) (static_cast<WORD>(static_cast<DWORD_PTR>(l) & 0xFFFF))
#define HIWORD(l) (static_cast<WORD>((static_cast<DWORD_PTR>(l) >> 16) & 0xFFFF))
#define LOBYTE(w) (static_cast<BYTE>(static_cast<DWORD_PTR>(w) & 0xFF))
#define MAKELONG(a, b)                                                                             \
    (static_cast<LONG>((static_cast<WORD>(a)) | ((static_cast<DWORD>(static_cast<WORD>(b))) << 16)))
#define MAKEWPARAM(l, h) (static_cast<WPARAM>(static_cast<DWORD>(MAKELONG(l, h))))
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEW
#define IS_INTRESOURCE(r) ((reinterpret_cast<ULONG_PTR>(r) >> 16) == 0)

// ---------------------------------------------------------------- errors

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_FORMAT 11L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_BAD_UNIT 20L
#define ERROR_NOT_READY 21L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_DEV_NOT_EXIST 55L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_OPEN_FAILED 110L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_DEVICE_ALREADY_ATTACHED 548L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_REGISTRY_CORRUPT 1015L
#define ERROR_KEY_DELETED 1018L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#define ERROR_CLASS_HAS_WINDOWS 1412L
#define ERROR_INVALID_INDEX 1413L
#define ERROR_INVALID_THREAD_ID 1444L
#define ERROR_TIMEOUT 1460L
#define ERROR_DEVICE_REMOVED 1617L
#define ERROR_NOT_ENOUGH_QUOTA 1816L
#define ERROR_DEVICE_IN_USE 2404L

#define S_OK static_cast<HRESULT>(0)
#define S_FALSE static_cast<HRESULT>(1)
#define E_INVALIDARG static_cast<HRESULT>(0x80070057)
#define RPC_E_CHANGED_MODE static_cast<HRESULT>(0x80010106)
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

WINBASEAPI DWORD WINAPI GetLastError();
WINBASEAPI void WINAPI SetLastError(DWORD error);

// ---------------------------------------------------------------- memory

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
typedef HANDLE HLOCAL;
WINBASEAPI HLOCAL WINAPI LocalAlloc(UINT flags, size_t bytes);
WINBASEAPI HLOCAL WINAPI LocalFree(HLOCAL mem);

// ---------------------------------------------------------------- time

// One device clock drives all of these; platform::SetClockSpeed scales it.
WINBASEAPI DWORD WINAPI GetTickCount();
WINBASEAPI void WINAPI Sleep(DWORD milliseconds);

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;
WINBASEAPI void WINAPI GetLocalTime(LPSYSTEMTIME time);
WINBASEAPI void WINAPI GetSystemTime(LPSYSTEMTIME time);

// ---------------------------------------------------------------- synchronisation

// Opaque storage for a critical section (recursive, as on Windows).
typedef struct _CRITICAL_SECTION {
    void *impl;
    DWORD owner;
    LONG recursion;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

WINBASEAPI void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs);
WINBASEAPI void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs);
WINBASEAPI void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs);
WINBASEAPI void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs);
WINBASEAPI BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs);

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

WINBASEAPI HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                      BOOL initialState, LPCWSTR name);
WINBASEAPI BOOL WINAPI SetEvent(HANDLE event);
WINBASEAPI BOOL WINAPI ResetEvent(HANDLE event);
WINBASEAPI DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
WINBASEAPI DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *objects, BOOL waitAll,
                                               DWORD milliseconds);
WINBASEAPI BOOL WINAPI CloseHandle(HANDLE object);

WINBASEAPI LONG WINAPI InterlockedIncrement(LONG volatile *value);
WINBASEAPI LONG WINAPI InterlockedDecrement(LONG volatile *value);
WINBASEAPI LONG WINAPI InterlockedExchange(LONG volatile *target, LONG value);
WINBASEAPI LONG WINAPI InterlockedCompareExchange(LONG volatile *target, LONG exchange,
                                                  LONG comparand);

// ---------------------------------------------------------------- threads

#define CREATE_SUSPENDED 0x00000004u
#define STILL_ACTIVE 0x00000103u

WINBASEAPI HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, size_t stackSize,
                                      LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                      LPDWORD threadId);
WINBASEAPI DWORD WINAPI ResumeThread(HANDLE thread);
WINBASEAPI DWORD WINAPI GetCurrentThreadId();
WINBASEAPI DWORD WINAPI GetCurrentProcessId();
WINBASEAPI BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);

// Thread local storage slots. A module loaded at run time keeps its
// per-thread state here: implicit TLS is not dependable in such a module.
#define TLS_OUT_OF_INDEXES 0xFFFFFFFFu
WINBASEAPI DWORD WINAPI TlsAlloc();
WINBASEAPI BOOL WINAPI TlsFree(DWORD index);
WINBASEAPI LPVOID WINAPI TlsGetValue(DWORD index);
WINBASEAPI BOOL WINAPI TlsSetValue(DWORD index, LPVOID value);

// ---------------------------------------------------------------- modules

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// Module names resolve to the folder of built modules: "FMS_API.dll",
// "\Windows\FMS_API.dll" and "Windows\FMS_API.dll" name the same file, and
// no name can reach outside that folder.
WINBASEAPI HMODULE WINAPI LoadLibraryW(LPCWSTR fileName);
WINBASEAPI BOOL WINAPI FreeLibrary(HMODULE module);
WINBASEAPI FARPROC WINAPI GetProcAddressW(HMODULE module, LPCWSTR procName);
WINBASEAPI DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);

// ---------------------------------------------------------------- COM run-time

#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2
WINBASEAPI HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD coInit);
WINBASEAPI void WINAPI CoUninitialize();

// ---------------------------------------------------------------- windows and messages

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *LPPOINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG, *PMSG;

typedef struct tagWNDCLASSW {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
} WNDCLASSW, *LPWNDCLASSW;

// What WM_CREATE carries in lParam.
typedef struct tagCREATESTRUCTW {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTW, *LPCREATESTRUCTW;

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define WM_APP 0x8000

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define PM_NOYIELD 0x0002

#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<LONG_PTR>(-3)))
#define GWL_WNDPROC (-4)
#define GWL_ID (-12)
#define GWL_STYLE (-16)
#define GWL_EXSTYLE (-20)
#define GWL_USERDATA (-21)
// The names 64-bit headers give the pointer-sized slots.
#define GWLP_WNDPROC GWL_WNDPROC
#define GWLP_ID GWL_ID
#define GWLP_USERDATA GWL_USERDATA
#define USER_TIMER_MINIMUM 0x0000000Au
#define USER_TIMER_MAXIMUM 0x7FFFFFFFu

WINBASEAPI ATOM WINAPI RegisterClassW(const WNDCLASSW *wndClass);
WINBASEAPI BOOL WINAPI UnregisterClassW(LPCWSTR className, HINSTANCE instance);
WINBASEAPI HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName,
                                       DWORD style, int x, int y, int width, int height,
                                       HWND parent, HMENU menu, HINSTANCE instance,
                                       LPVOID parameter);
WINBASEAPI BOOL WINAPI DestroyWindow(HWND window);
WINBASEAPI BOOL WINAPI IsWindow(HWND window);
WINBASEAPI LRESULT WINAPI DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
WINBASEAPI LONG_PTR WINAPI SetWindowLongPtrW(HWND window, int index, LONG_PTR value);
WINBASEAPI LONG_PTR WINAPI GetWindowLongPtrW(HWND window, int index);
WINBASEAPI DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD processId);

// Calls the window procedure on the calling thread when the window is its
// own; else queues the message to the owner thread and waits until that
// thread takes messages (GetMessageW, PeekMessageW, or its own
// SendMessageW) and the procedure returned. A sleeping owner delays it.
WINBASEAPI LRESULT WINAPI SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
WINBASEAPI LRESULT WINAPI CallWindowProcW(WNDPROC proc, HWND window, UINT message, WPARAM wParam,
                                          LPARAM lParam);
WINBASEAPI BOOL WINAPI PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
WINBASEAPI BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam,
                                          LPARAM lParam);
WINBASEAPI void WINAPI PostQuitMessage(int exitCode);
WINBASEAPI BOOL WINAPI PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax,
                                    UINT removeMsg);
WINBASEAPI BOOL WINAPI GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
WINBASEAPI BOOL WINAPI TranslateMessage(const MSG *msg);
WINBASEAPI LRESULT WINAPI DispatchMessageW(const MSG *msg);
WINBASEAPI UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC timerProc);
WINBASEAPI BOOL WINAPI KillTimer(HWND window, UINT_PTR id);

// ---------------------------------------------------------------- registry

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define REG_OPTION_NON_VOLATILE 0x00000000u
#define REG_OPTION_VOLATILE 0x00000001u
#define REG_CREATED_NEW_KEY 0x00000001u
#define REG_OPENED_EXISTING_KEY 0x00000002u

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

WINBASEAPI LONG WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                                     PHKEY result);
WINBASEAPI LONG WINAPI RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                       DWORD options, REGSAM access,
                                       LPSECURITY_ATTRIBUTES attributes, PHKEY result,
                                       LPDWORD disposition);
WINBASEAPI LONG WINAPI RegCloseKey(HKEY key);
WINBASEAPI LONG WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                        LPBYTE data, LPDWORD dataSize);
WINBASEAPI LONG WINAPI RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                                      const BYTE *data, DWORD dataSize);
WINBASEAPI LONG WINAPI RegDeleteValueW(HKEY key, LPCWSTR valueName);
// As on Windows CE: deletes the key with all of its subkeys.
WINBASEAPI LONG WINAPI RegDeleteKeyW(HKEY key, LPCWSTR subKey);
WINBASEAPI LONG WINAPI RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars,
                                     LPDWORD reserved, LPWSTR keyClass, LPDWORD classChars,
                                     void *lastWriteTime);
WINBASEAPI LONG WINAPI RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars,
                                     LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
WINBASEAPI LONG WINAPI RegFlushKey(HKEY key);

// ---------------------------------------------------------------- strings

#define CP_ACP 0
#define CP_UTF8 65001

WINBASEAPI int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideChars,
                                          LPSTR multiByte, int multiByteBytes, LPCSTR defaultChar,
                                          LPBOOL usedDefault);
WINBASEAPI int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte,
                                          int multiByteBytes, LPWSTR wide, int wideChars);

// Windows format rules: %s and %c take wide text in the wide functions,
// %S and %C narrow; %hs/%ls force narrow/wide. wsprintfW writes at most
// 1024 characters including the terminator, as on Windows.
WINBASEAPI int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...);
WINBASEAPI int WINAPI wvsprintfW(LPWSTR buffer, LPCWSTR format, va_list args);
// Bounded: writes at most count characters; answers -1 when it truncated
// (the buffer is then not terminated, as _snwprintf does).
WINBASEAPI int _snwprintf(LPWSTR buffer, size_t count, LPCWSTR format, ...);
WINBASEAPI int _vsnwprintf(LPWSTR buffer, size_t count, LPCWSTR format, va_list args);

WINBASEAPI int WINAPI lstrlenW(LPCWSTR text);
WINBASEAPI int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b);
WINBASEAPI int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b);

// The C run-time's wide-string routines, for 2-byte WCHAR.
size_t wcslen(const WCHAR *text);
size_t wcsnlen(const WCHAR *text, size_t maximum);
WCHAR *wcscpy(WCHAR *dest, const WCHAR *src);
WCHAR *wcsncpy(WCHAR *dest, const WCHAR *src, size_t count);
WCHAR *wcscat(WCHAR *dest, const WCHAR *src);
int wcscmp(const WCHAR *a, const WCHAR *b);
int wcsncmp(const WCHAR *a, const WCHAR *b, size_t count);
int _wcsicmp(const WCHAR *a, const WCHAR *b);
int _wcsnicmp(const WCHAR *a, const WCHAR *b, size_t count);
const WCHAR *wcschr(const WCHAR *text, WCHAR c);
WCHAR *wcschr(WCHAR *text, WCHAR c);
const WCHAR *wcsrchr(const WCHAR *text, WCHAR c);
const WCHAR *wcsstr(const WCHAR *text, const WCHAR *find);
long wcstol(const WCHAR *text, WCHAR **end, int base);
unsigned long wcstoul(const WCHAR *text, WCHAR **end, int base);
int _wtoi(const WCHAR *text);

// ---------------------------------------------------------------- device manager and device files

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

typedef struct _OVERLAPPED *LPOVERLAPPED;

// Loads the stream driver described by a key under HKEY_LOCAL_MACHINE
// ("Dll", "Prefix", "Index"), calls its Init with the new active key
// ("Drivers\Active\NN") and answers a device handle, or NULL.
WINBASEAPI HANDLE WINAPI ActivateDeviceEx(LPCWSTR driverKey, LPCVOID registryEntries,
                                          DWORD entryCount, LPVOID busContext);
WINBASEAPI BOOL WINAPI DeactivateDevice(HANDLE device);

// "COM9:"-style names open a device; other names open files under the
// device root.
WINBASEAPI HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
                                     DWORD flags, HANDLE templateFile);
WINBASEAPI BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD done,
                                LPOVERLAPPED overlapped);
WINBASEAPI BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD done,
                                 LPOVERLAPPED overlapped);
WINBASEAPI BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize,
                                       LPVOID out, DWORD outSize, LPDWORD returned,
                                       LPOVERLAPPED overlapped);

// Serial port events (SetCommMask) and the serial I/O controls.
#define EV_RXCHAR 0x0001
#define EV_TXEMPTY 0x0004
WINBASEAPI BOOL WINAPI SetCommMask(HANDLE file, DWORD mask);
WINBASEAPI BOOL WINAPI GetCommMask(HANDLE file, LPDWORD mask);

#define FILE_DEVICE_SERIAL_PORT 0x0000001b
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define CTL_CODE(type, function, method, access)                                                   \
    (((type) << 16) | ((access) << 14) | ((function) << 2) | (method))
#define IOCTL_SERIAL_SET_BAUD_RATE                                                                 \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_TIMEOUTS                                                                  \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_TIMEOUTS                                                                  \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 8, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_BAUD_RATE                                                                 \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 20, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_LINE_CONTROL                                                              \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 3, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_LINE_CONTROL                                                              \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 21, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_WAIT_MASK                                                                 \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 16, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_WAIT_MASK                                                                 \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 17, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_PURGE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 19, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_COMMSTATUS                                                                \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 27, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_PROPERTIES                                                                \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 29, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_DTR CTL_CODE(FILE_DEVICE_SERIAL_PORT, 9, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_CLR_DTR CTL_CODE(FILE_DEVICE_SERIAL_PORT, 10, METHOD_BUFFERED, FILE_ANY_ACCESS)

// ---------------------------------------------------------------- locale

typedef DWORD LCID;
#define LOCALE_USER_DEFAULT 0x0400u
#define LOCALE_SYSTEM_DEFAULT 0x0800u
#define DATE_SHORTDATE 0x00000001u
#define DATE_LONGDATE 0x00000002u
#define TIME_NOSECONDS 0x00000002u
#define TIME_FORCE24HOURFORMAT 0x00000008u
// A NULL time means now (local time). The device has one locale, English
// (United States), whatever the host's: short date M/d/yyyy, long date
// "dddd, MMMM d, yyyy", time "h:mm:ss tt".
WINBASEAPI int WINAPI GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME *date,
                                     LPCWSTR format, LPWSTR out, int outChars);
WINBASEAPI int WINAPI GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME *time,
                                     LPCWSTR format, LPWSTR out, int outChars);

// ---------------------------------------------------------------- C run-time files

// Opens a file of the device ("\Tavrinel.log" lives in the device root);
// new files are readable and writable by the owner only.
FILE *_wfopen(const WCHAR *path, const WCHAR *mode);
// Files of the device by name. A link as the last component is removed or
// moved itself, never its target; MoveFileW never replaces an existing file.
WINBASEAPI BOOL WINAPI DeleteFileW(LPCWSTR path);
WINBASEAPI BOOL WINAPI MoveFileW(LPCWSTR existing, LPCWSTR renamed);

#include "mmsystem.h"
#include "winuser_shell.h"

#endif // RC_INVOKED

#endif // TAVRINEL_PLATFORM_WINDOWS_H
