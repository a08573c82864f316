// user.h — what the shell stand-in (src/shell/) reads of the windows that
// messages.cpp keeps: a copy of a window's public facts, taken under the
// window table's lock and handed out without it.
#ifndef TAVRINEL_PLATFORM_USER_H
#define TAVRINEL_PLATFORM_USER_H

#include <windows.h>

#include <string>
#include <vector>

namespace platform::user {

struct WindowInfo {
    HWND handle = nullptr;
    DWORD threadId = 0;
    HWND parent = nullptr; // NULL, HWND_MESSAGE or a window
    std::u16string className;
    ATOM classAtom = 0;
    std::u16string text; // the text DefWindowProcW keeps (WM_SETTEXT)
    DWORD style = 0;
    DWORD exStyle = 0;
    LONG_PTR id = 0;
};

// False when the window does not exist.
bool QueryWindow(HWND window, WindowInfo &info);
// Every window of the process, oldest first.
std::vector<WindowInfo> ListWindows();

} // namespace platform::user

#endif // TAVRINEL_PLATFORM_USER_H
