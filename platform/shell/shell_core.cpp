// shell_core.cpp — the shell stand-in's screen: its state, snapshots and
// the renderer, input delivery to the top-most modal loop, modal loops,
// focus, enabling and showing windows, window text, FindWindowW and the
// foreground, cursors and painting.
//
// Model: one screen. Dialogs and message boxes form a z-order (bottom
// first); the top-most one that has not ended is active and takes all
// input. Input (PostInput) is queued here and a private thread message
// wakes the modal loop of the active entry's thread, which handles it on
// that thread; so every control changes on its own thread, as in Win32.
// A modal loop is GetMessageW + DispatchMessageW: it also runs the
// thread's other windows, timers and messages sent from other threads.
#include "shell_internal.h"

#include <algorithm>
#include <chrono>

#include "kernel.h"
#include "text.h"
#include "user.h"

namespace platform::shell::detail {

ShellState &Shell() {
    // Never destroyed: threads end and modules unload during process exit.
    static ShellState *shell = new ShellState;
    return *shell;
}

namespace {

// Serialises the renderer's Present calls (never held with Shell().lock).
std::mutex &PresentLock() {
    static std::mutex *lock = new std::mutex;
    return *lock;
}

// Input handled on this thread whose handler has not yet returned nor
// entered a nested modal loop (WaitIdle counts it as busy).
thread_local int owedInput = 0;

const std::u16string_view kClassNames[] = {u"BUTTON", u"EDIT", u"STATIC", u"COMBOBOX"};

ControlView ViewOf(const Control &c, HWND focus) {
    ControlView v;
    v.hwnd = c.hwnd;
    v.id = static_cast<short>(c.id);
    v.className = std::u16string(kClassNames[static_cast<int>(c.kind)]);
    v.style = c.style;
    v.cells = c.cells;
    v.enabled = c.enabled;
    v.visible = c.visible;
    v.focused = c.hwnd == focus;
    switch (c.kind) {
    case ControlKind::Combo:
        v.items = c.items;
        v.selection = c.selection;
        v.dropped = c.dropped;
        if (c.selection >= 0 && static_cast<size_t>(c.selection) < c.items.size())
            v.text = c.items[static_cast<size_t>(c.selection)];
        break;
    case ControlKind::Edit:
        v.text = c.text;
        v.selStart = c.selStart;
        v.selEnd = c.selEnd;
        v.firstLine = c.firstLine;
        break;
    case ControlKind::Static:
        v.text = c.text;
        v.isIcon = (c.style & 0x1F) == SS_ICON;
        break;
    case ControlKind::Button:
        v.text = c.text;
        break;
    }
    return v;
}

ScreenView BuildViewLocked(ShellState &shell) {
    ScreenView view;
    view.columns = shell.columns;
    view.lines = shell.lines;
    view.waitCursor = shell.waitCursor;
    view.foreground = shell.foreground;
    const Modal *active = nullptr;
    for (const auto &modal : shell.stack) {
        if (modal->ended)
            continue;
        if (modal->kind == Modal::Kind::MessageBox) {
            view.hasMessageBox = true;
            view.messageBox.caption = modal->caption;
            view.messageBox.text = modal->text;
            view.messageBox.errorIcon = (modal->boxType & 0xF0) == MB_ICONERROR;
            continue;
        }
        active = modal.get();
        DialogView d;
        d.hwnd = modal->hwnd;
        d.caption = modal->caption;
        d.captionOk = modal->captionOk;
        d.fullScreen = modal->fullScreen;
        CellRect client;
        DialogAreasLocked(shell, *modal, d.cells, client);
        for (HWND hwnd : modal->controls) {
            if (const auto c = FindControlLocked(shell, hwnd))
                d.controls.push_back(ViewOf(*c, modal->focus));
        }
        view.dialogs.push_back(std::move(d));
    }
    if (active && (active->menuBar || active->emptyMenu)) {
        view.hasMenuBar = true;
        if (active->menuBar) {
            const MenuBar &bar = *active->menuBar;
            if (!bar.keys.empty())
                view.menuBar.left = bar.keys[0].caption;
            if (bar.keys.size() > 1)
                view.menuBar.right = bar.keys[1].caption;
            if (bar.openKey >= 0 && static_cast<size_t>(bar.openKey) < bar.keys.size()) {
                view.menuBar.popupOpen = true;
                for (const MenuItem &item : bar.keys[static_cast<size_t>(bar.openKey)].popup)
                    view.menuBar.popupItems.push_back(item.text);
                view.menuBar.popupSelection = bar.popupSelection;
            }
        }
    }
    return view;
}

// Posts the wake message to a loop's thread; no lock held.
void Wake(DWORD threadId) {
    if (threadId)
        PostThreadMessageW(threadId, kWakeMessage, 0, 0);
}

// Takes the queued input while the calling thread runs the active modal.
void TakeInput() {
    ShellState &shell = Shell();
    const DWORD me = platform::kernel::CurrentThreadId();
    for (;;) {
        std::shared_ptr<Modal> top;
        InputEvent event;
        DWORD forward = 0;
        {
            std::lock_guard guard(shell.lock);
            if (shell.input.empty())
                return;
            top = TopModalLocked(shell);
            if (!top) {
                // Nobody to take it: a click on an empty screen.
                shell.input.clear();
                shell.idle.notify_all();
                return;
            }
            if (top->threadId != me) {
                forward = top->threadId;
            } else {
                event = shell.input.front();
                shell.input.pop_front();
                ++shell.inputActive;
                ++owedInput;
            }
        }
        if (forward) {
            Wake(forward);
            return;
        }
        HandleInput(top, event);
        PresentIfChanged();
        std::lock_guard guard(shell.lock);
        if (owedInput > 0) {
            --owedInput;
            --shell.inputActive;
        }
        shell.idle.notify_all();
    }
}

} // namespace

// ---------------------------------------------------------------- state helpers

void Changed() {
    ShellState &shell = Shell();
    std::lock_guard guard(shell.lock);
    ChangedLocked(shell);
}

void PresentIfChanged() {
    ShellState &shell = Shell();
    {
        std::lock_guard guard(shell.lock);
        if (!shell.renderer || shell.generation == shell.presented)
            return;
    }
    std::lock_guard presenting(PresentLock());
    Renderer *renderer = nullptr;
    ScreenView view;
    {
        std::lock_guard guard(shell.lock);
        renderer = shell.renderer;
        if (!renderer || shell.generation == shell.presented)
            return;
        view = BuildViewLocked(shell);
        shell.presented = shell.generation;
    }
    renderer->Present(view);
}

std::shared_ptr<Modal> FindModalLocked(ShellState &shell, HWND dialog) {
    if (!dialog)
        return nullptr;
    for (const auto &modal : shell.stack) {
        if (modal->hwnd == dialog)
            return modal;
    }
    return nullptr;
}

std::shared_ptr<Control> FindControlLocked(ShellState &shell, HWND control) {
    const auto it = shell.controls.find(control);
    return it == shell.controls.end() ? nullptr : it->second;
}

std::shared_ptr<Modal> TopModalLocked(ShellState &shell) {
    for (auto it = shell.stack.rbegin(); it != shell.stack.rend(); ++it) {
        if (!(*it)->ended)
            return *it;
    }
    return nullptr;
}

void DialogAreasLocked(const ShellState &shell, const Modal &modal, CellRect &whole,
                       CellRect &client) {
    const bool bar = modal.menuBar.has_value() || modal.emptyMenu;
    if (modal.fullScreen) {
        whole = {0, 0, shell.columns, std::max(bar ? shell.lines - 1 : shell.lines, 1)};
    } else {
        whole.width = std::clamp(modal.cx / 4, 1, shell.columns);
        whole.height = std::clamp(modal.cy / 8 + 1, 2, std::max(shell.lines, 2));
        if (modal.style & DS_CENTER) {
            whole.x = (shell.columns - whole.width) / 2;
            whole.y = (shell.lines - whole.height) / 2;
        } else {
            whole.x = std::clamp(modal.x / 4, 0, shell.columns - whole.width);
            whole.y = std::clamp(modal.y / 8, 0, std::max(shell.lines - whole.height, 0));
        }
    }
    client = {whole.x, whole.y + 1, whole.width, std::max(whole.height - 1, 0)};
}

void EnsureQueue() {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

size_t BoundedLength(const WCHAR *text) {
    size_t n = 0;
    while (text && n < kMaxTextScan && text[n])
        ++n;
    return n;
}

std::u16string BoundedText(const WCHAR *text) {
    return text ? std::u16string(text, BoundedLength(text)) : std::u16string();
}

HWND MoveFocus(const std::shared_ptr<Modal> &modal, HWND control) {
    ShellState &shell = Shell();
    HWND old = nullptr;
    bool sameThread = false;
    {
        std::lock_guard guard(shell.lock);
        old = modal->focus;
        if (old == control)
            return old;
        if (const auto previous = FindControlLocked(shell, old))
            previous->dropped = false;
        modal->focus = control;
        sameThread = modal->threadId == platform::kernel::CurrentThreadId();
        ChangedLocked(shell);
    }
    if (sameThread) {
        if (old && IsWindow(old))
            SendMessageW(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(control), 0);
        if (control)
            SendMessageW(control, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
    }
    return old;
}

// ---------------------------------------------------------------- modal loops

void RunModal(const std::shared_ptr<Modal> &modal) {
    ShellState &shell = Shell();
    const DWORD me = platform::kernel::CurrentThreadId();
    // A nested loop started by an input handler settles that input.
    int saved = 0;
    bool pending = false;
    {
        std::lock_guard guard(shell.lock);
        saved = owedInput;
        shell.inputActive -= owedInput;
        owedInput = 0;
        pending = !shell.input.empty();
        ChangedLocked(shell);
        shell.idle.notify_all();
    }
    if (pending)
        Wake(me);
    PresentIfChanged();
    for (;;) {
        {
            std::lock_guard guard(shell.lock);
            if (modal->ended)
                break;
        }
        MSG msg{};
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            // WM_QUIT ends the loop (and stays for the outer loops).
            if (got == 0)
                PostQuitMessage(static_cast<int>(msg.wParam));
            std::lock_guard guard(shell.lock);
            modal->ended = true;
            ChangedLocked(shell);
            break;
        }
        if (!msg.hwnd && msg.message == kWakeMessage)
            TakeInput();
        else
            DispatchMessageW(&msg);
        PresentIfChanged();
    }
    std::lock_guard guard(shell.lock);
    shell.inputActive += saved;
    owedInput = saved;
}

} // namespace platform::shell::detail

using namespace platform::shell::detail;
using platform::kernel::CurrentThreadId;

// ---------------------------------------------------------------- renderer API

namespace platform::shell {

void SetRenderer(Renderer *renderer) {
    ShellState &shell = Shell();
    {
        std::lock_guard presenting(PresentLock());
        std::lock_guard guard(shell.lock);
        shell.renderer = renderer;
        shell.presented = 0;
    }
    PresentIfChanged();
}

void SetScreenSize(int columns, int lines) {
    ShellState &shell = Shell();
    {
        std::lock_guard guard(shell.lock);
        shell.columns = std::clamp(columns, 10, 1000);
        shell.lines = std::clamp(lines, 4, 1000);
        ChangedLocked(shell);
    }
    PresentIfChanged();
}

ScreenView Snapshot() {
    ShellState &shell = Shell();
    std::lock_guard guard(shell.lock);
    return BuildViewLocked(shell);
}

// Queued for the active modal's thread; dropped when nothing is shown.
void PostInput(const InputEvent &event) {
    ShellState &shell = Shell();
    DWORD target = 0;
    {
        std::lock_guard guard(shell.lock);
        const auto top = TopModalLocked(shell);
        if (!top)
            return;
        constexpr size_t kMaxPendingInput = 1000;
        if (shell.input.size() >= kMaxPendingInput)
            return;
        shell.input.push_back(event);
        target = top->threadId;
    }
    Wake(target);
}

bool WaitIdle(DWORD milliseconds) {
    ShellState &shell = Shell();
    std::unique_lock lock(shell.lock);
    return shell.idle.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
        // A dialog that ended is still busy until its modal loop returned.
        const bool ending = std::any_of(shell.stack.begin(), shell.stack.end(),
                                        [](const auto &modal) { return modal->ended; });
        return (shell.input.empty() || !TopModalLocked(shell)) && shell.inputActive <= 0 && !ending;
    });
}

} // namespace platform::shell

// ---------------------------------------------------------------- focus, state of windows

HWND WINAPI SetFocus(HWND window) {
    PresentOnExit present;
    ShellState &shell = Shell();
    std::shared_ptr<Modal> modal;
    HWND target = window;
    {
        std::lock_guard guard(shell.lock);
        if (!window) {
            for (auto it = shell.stack.rbegin(); it != shell.stack.rend() && !modal; ++it) {
                if (!(*it)->ended && (*it)->threadId == CurrentThreadId())
                    modal = *it;
            }
        } else if (const auto control = FindControlLocked(shell, window)) {
            if (!control->enabled || !control->visible)
                return nullptr;
            modal = FindModalLocked(shell, control->dialog);
        } else if ((modal = FindModalLocked(shell, window))) {
            // The dialog itself: its first tab stop.
            target = nullptr;
            for (HWND hwnd : modal->controls) {
                const auto c = FindControlLocked(shell, hwnd);
                if (c && IsTabStopLocked(*c)) {
                    target = hwnd;
                    break;
                }
            }
        }
    }
    if (!modal) {
        if (window && !IsWindow(window))
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return MoveFocus(modal, target);
}

// The focus of the calling thread's top-most dialog.
HWND WINAPI GetFocus() {
    ShellState &shell = Shell();
    std::lock_guard guard(shell.lock);
    for (auto it = shell.stack.rbegin(); it != shell.stack.rend(); ++it) {
        if (!(*it)->ended && (*it)->threadId == CurrentThreadId())
            return (*it)->focus;
    }
    return nullptr;
}

// Answers whether the window WAS disabled. Controls and dialogs keep
// WS_DISABLED in their style too. WM_ENABLE is sent on the window's own
// thread and posted from other threads (a sleeping owner never blocks).
BOOL WINAPI EnableWindow(HWND window, BOOL enable) {
    PresentOnExit present;
    platform::user::WindowInfo info;
    if (!platform::user::QueryWindow(window, info)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const bool wasDisabled = (info.style & WS_DISABLED) != 0;
    {
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        if (const auto control = FindControlLocked(shell, window)) {
            control->enabled = enable != FALSE;
            if (!control->enabled)
                control->dropped = false;
            ChangedLocked(shell);
        }
    }
    const DWORD style = enable ? info.style & ~WS_DISABLED : info.style | WS_DISABLED;
    SetWindowLongPtrW(window, GWL_STYLE, static_cast<LONG_PTR>(style));
    if (wasDisabled == (enable != FALSE)) {
        if (info.threadId == CurrentThreadId())
            SendMessageW(window, WM_ENABLE, enable ? TRUE : FALSE, 0);
        else
            PostMessageW(window, WM_ENABLE, enable ? TRUE : FALSE, 0);
    }
    return wasDisabled ? TRUE : FALSE;
}

BOOL WINAPI IsWindowEnabled(HWND window) {
    platform::user::WindowInfo info;
    if (!platform::user::QueryWindow(window, info))
        return FALSE;
    return (info.style & WS_DISABLED) ? FALSE : TRUE;
}

// A shell dialog is visible while it runs; a control when it and its
// dialog are; other windows by WS_VISIBLE.
BOOL WINAPI IsWindowVisible(HWND window) {
    ShellState &shell = Shell();
    {
        std::lock_guard guard(shell.lock);
        if (const auto control = FindControlLocked(shell, window)) {
            const auto modal = FindModalLocked(shell, control->dialog);
            return control->visible && modal && !modal->ended ? TRUE : FALSE;
        }
        if (const auto modal = FindModalLocked(shell, window))
            return modal->ended ? FALSE : TRUE;
    }
    platform::user::WindowInfo info;
    if (!platform::user::QueryWindow(window, info))
        return FALSE;
    return (info.style & WS_VISIBLE) ? TRUE : FALSE;
}

// Answers whether the window was visible before.
BOOL WINAPI ShowWindow(HWND window, int show) {
    PresentOnExit present;
    platform::user::WindowInfo info;
    if (!platform::user::QueryWindow(window, info)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const bool visible = show != SW_HIDE;
    bool wasVisible = (info.style & WS_VISIBLE) != 0;
    {
        ShellState &shell = Shell();
        std::lock_guard guard(shell.lock);
        if (const auto control = FindControlLocked(shell, window)) {
            wasVisible = control->visible;
            control->visible = visible;
            if (!visible)
                control->dropped = false;
            ChangedLocked(shell);
        }
    }
    const DWORD style = visible ? info.style | WS_VISIBLE : info.style & ~WS_VISIBLE;
    SetWindowLongPtrW(window, GWL_STYLE, static_cast<LONG_PTR>(style));
    return wasVisible ? TRUE : FALSE;
}

BOOL WINAPI UpdateWindow(HWND window) {
    return IsWindow(window);
}

// A control's dialog, a dialog's owner, another window's parent.
HWND WINAPI GetParent(HWND window) {
    ShellState &shell = Shell();
    {
        std::lock_guard guard(shell.lock);
        if (const auto control = FindControlLocked(shell, window))
            return control->dialog;
        if (const auto modal = FindModalLocked(shell, window))
            return modal->owner;
    }
    platform::user::WindowInfo info;
    if (!platform::user::QueryWindow(window, info)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return info.parent == HWND_MESSAGE ? nullptr : info.parent;
}

// ---------------------------------------------------------------- painting

namespace {
struct DummyObject {
    int unused = 0;
};
DummyObject paintDc, whiteBrush;
} // namespace

// Nothing is drawn through a device context here: the renderer draws the
// shell's snapshot. Answers a dummy context.
HDC WINAPI BeginPaint(HWND window, LPPAINTSTRUCT paint) {
    if (!IsWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    HDC dc = reinterpret_cast<HDC>(&paintDc);
    if (paint) {
        *paint = PAINTSTRUCT{};
        paint->hdc = dc;
    }
    return dc;
}

BOOL WINAPI EndPaint(HWND, const PAINTSTRUCT *) {
    return TRUE;
}

HANDLE WINAPI GetStockObject(int object) {
    return object == WHITE_BRUSH ? static_cast<HANDLE>(&whiteBrush) : nullptr;
}

// ---------------------------------------------------------------- window text

int WINAPI GetWindowTextW(HWND window, LPWSTR text, int maxChars) {
    if (!text || maxChars <= 0)
        return 0;
    text[0] = 0;
    if (!IsWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(SendMessageW(window, WM_GETTEXT, static_cast<WPARAM>(maxChars),
                                         reinterpret_cast<LPARAM>(text)));
}

int WINAPI GetWindowTextLengthW(HWND window) {
    if (!IsWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(SendMessageW(window, WM_GETTEXTLENGTH, 0, 0));
}

BOOL WINAPI SetWindowTextW(HWND window, LPCWSTR text) {
    if (!IsWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return SendMessageW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? TRUE : FALSE;
}

// ---------------------------------------------------------------- top-level windows

// Top-level windows (no parent) of any thread, oldest first; class and
// title compare without regard to case. A shell dialog's title is its
// caption.
HWND WINAPI FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    const std::u16string wantedClass =
        className && !IS_INTRESOURCE(className) ? BoundedText(className) : u"";
    const std::u16string wantedTitle = BoundedText(windowName);
    for (auto &info : platform::user::ListWindows()) {
        if (info.parent)
            continue;
        if (className) {
            if (IS_INTRESOURCE(className)) {
                if (info.classAtom != static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(className)))
                    continue;
            } else if (!platform::text::EqualsIgnoreCase(info.className, wantedClass)) {
                continue;
            }
        }
        if (windowName) {
            ShellState &shell = Shell();
            std::u16string title = info.text;
            {
                std::lock_guard guard(shell.lock);
                if (const auto modal = FindModalLocked(shell, info.handle))
                    title = modal->caption;
            }
            if (!platform::text::EqualsIgnoreCase(title, wantedTitle))
                continue;
        }
        return info.handle;
    }
    return nullptr;
}

// Windows CE: with the lowest bit set, the window's most recent owned
// dialog comes to the front with it. The shell marks it as the foreground
// in its snapshot; the z-order of modal dialogs (and so where input goes)
// does not change.
BOOL WINAPI SetForegroundWindow(HWND window) {
    PresentOnExit present;
    const auto bits = reinterpret_cast<uintptr_t>(window);
    const bool withOwned = (bits & 1u) != 0;
    HWND target = reinterpret_cast<HWND>(bits & ~static_cast<uintptr_t>(1));
    if (!IsWindow(target)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    ShellState &shell = Shell();
    std::lock_guard guard(shell.lock);
    if (withOwned) {
        for (auto it = shell.stack.rbegin(); it != shell.stack.rend(); ++it) {
            if (!(*it)->ended && (*it)->hwnd && (*it)->owner == target) {
                target = (*it)->hwnd;
                break;
            }
        }
    }
    shell.foreground = target;
    ChangedLocked(shell);
    return TRUE;
}

HWND WINAPI GetForegroundWindow() {
    ShellState &shell = Shell();
    std::lock_guard guard(shell.lock);
    if (shell.foreground &&
        (FindModalLocked(shell, shell.foreground) || IsWindow(shell.foreground)))
        return shell.foreground;
    for (auto it = shell.stack.rbegin(); it != shell.stack.rend(); ++it) {
        if (!(*it)->ended && (*it)->hwnd)
            return (*it)->hwnd;
    }
    return nullptr;
}

// ---------------------------------------------------------------- cursors

namespace {
DummyObject waitCursor, arrowCursor;
HCURSOR WaitCursorHandle() {
    return reinterpret_cast<HCURSOR>(&waitCursor);
}
HCURSOR ArrowCursorHandle() {
    return reinterpret_cast<HCURSOR>(&arrowCursor);
}
HCURSOR currentCursor = nullptr; // under Shell().lock
} // namespace

// Only the system's wait and arrow cursors exist (instance NULL).
HCURSOR WINAPI LoadCursorW(HINSTANCE instance, LPCWSTR name) {
    if (!instance && name == IDC_WAIT)
        return WaitCursorHandle();
    if (!instance && name == IDC_ARROW)
        return ArrowCursorHandle();
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

// The wait cursor shows while it is set; any other cursor (or NULL)
// removes it. Answers the previous cursor.
HCURSOR WINAPI SetCursor(HCURSOR cursor) {
    PresentOnExit present;
    ShellState &shell = Shell();
    std::lock_guard guard(shell.lock);
    const HCURSOR previous = currentCursor;
    currentCursor = cursor;
    const bool wait = cursor == WaitCursorHandle();
    if (wait != shell.waitCursor) {
        shell.waitCursor = wait;
        ChangedLocked(shell);
    }
    return previous;
}
