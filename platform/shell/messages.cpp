// messages.cpp — window classes, windows, per-thread message queues, the
// message pump (PeekMessageW, GetMessageW, DispatchMessageW), SendMessageW
// and timers.
//
// Model (as Win32):
//  - Each thread gets a message queue when it first needs one (creates a
//    window, posts to itself, takes messages). A window belongs to the
//    thread that created it; messages posted to it go to that thread's
//    queue, and only that thread takes them out.
//  - DispatchMessageW calls the window procedure on the calling thread, so
//    a thread that pumps messages inside a callback (the FM library's
//    pumping wait on the FM stack's event thread) runs its window
//    procedures re-entrantly there. No lock of libplatform is held while a
//    window procedure or timer procedure runs.
//  - SendMessageW to another thread's window queues a "sent message" that
//    the owner thread handles the next time it takes messages (before any
//    posted message); the sender waits, handling messages sent to itself
//    meanwhile, so two threads that send to each other do not deadlock.
//  - When a thread ends, its windows are destroyed (without WM_DESTROY: the
//    thread that would run the procedure is gone), its timers stop, pending
//    senders get 0, and its HWNDs become invalid.
//  - HWNDs are ids in a table: a destroyed or garbage HWND fails with
//    ERROR_INVALID_WINDOW_HANDLE.
//  - Windows CE has no non-client messages: creation sends WM_CREATE only,
//    destruction WM_DESTROY only.
//  - Window classes are looked up by name (case-insensitive) or atom; the
//    instance handle is kept but not part of the key.
//
// Locks: User().lock (windows, classes, the queue directory) may be held
// while taking a queue's lock, never the other way round.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "handles.h"
#include "kernel.h"
#include "text.h"
#include "user.h"

using platform::kernel::CurrentThreadId;
using platform::kernel::DeviceDeadline;
using platform::kernel::DeviceNowMs;

namespace {

// Windows refuses to post more than this many messages to one queue.
constexpr size_t kMaxPostedMessages = 10000;

// A special value of the hwnd filter: thread messages only.
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

struct MessageQueue;

// A timer of SetTimer. Its WM_TIMER is made when the queue is looked at
// and the timer is due; there is never more than one pending.
struct Timer {
    HWND window = nullptr; // NULL: a thread timer
    UINT_PTR id = 0;
    UINT elapseMs = 0;
    TIMERPROC proc = nullptr;
    double dueMs = 0; // device clock
};

// A SendMessageW to a window of another thread, waiting for its result.
struct SentMessage {
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::shared_ptr<MessageQueue> sender;
    // Under sender->lock.
    LRESULT result = 0;
    bool done = false;
};

struct MessageQueue {
    explicit MessageQueue(DWORD owner) : threadId(owner) {}
    const DWORD threadId;
    std::mutex lock;
    std::condition_variable changed; // the owner waits on it (GetMessageW, SendMessageW)
    // Under lock.
    bool alive = true;
    uint64_t generation = 0; // counts changes, so a waiter sees any of them
    std::deque<MSG> posted;
    bool quitPosted = false;
    int quitCode = 0;
    std::vector<Timer> timers;
    std::deque<std::shared_ptr<SentMessage>> sent;

    // Under lock.
    void NoteChange() {
        ++generation;
        changed.notify_all();
    }
};

struct WindowClass {
    std::u16string name;
    ATOM atom = 0;
    UINT style = 0;
    WNDPROC proc = nullptr;
    int wndExtra = 0;
    HINSTANCE instance = nullptr;
    unsigned windows = 0; // under User().lock
};

struct Window {
    HWND handle = nullptr;
    DWORD threadId = 0;
    std::shared_ptr<MessageQueue> queue;
    std::shared_ptr<WindowClass> windowClass;
    HWND parent = nullptr; // NULL, HWND_MESSAGE or a window
    HINSTANCE instance = nullptr;
    // Under User().lock.
    WNDPROC proc = nullptr;
    LONG_PTR userData = 0;
    LONG_PTR id = 0; // the HMENU argument of a child window
    DWORD style = 0;
    DWORD exStyle = 0;
    std::u16string text;
    std::vector<unsigned char> extra; // cbWndExtra bytes
    bool destroying = false;
};

struct FoldedLess {
    bool operator()(const std::u16string &a, const std::u16string &b) const {
        return platform::text::CompareIgnoreCase(a, b) < 0;
    }
};

struct User {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<Window>> windows;
    std::map<std::u16string, std::shared_ptr<WindowClass>, FoldedLess> classes;
    std::map<DWORD, std::shared_ptr<MessageQueue>> queues; // by owner thread id
    ATOM nextAtom = 0xC000;
};

// Never destroyed: threads end and modules unload during process exit.
User &TheUser() {
    static User *user = new User;
    return *user;
}

// ---------------------------------------------------------------- per-thread queue

struct ThreadQueue {
    std::shared_ptr<MessageQueue> queue;
    ThreadQueue() = default;
    ThreadQueue(const ThreadQueue &) = delete;
    ThreadQueue &operator=(const ThreadQueue &) = delete;
    // Threads not started by CreateThread end here.
    ~ThreadQueue() {
        if (queue)
            platform::kernel::ReleaseThreadMessageState();
    }
};

thread_local ThreadQueue threadQueue;

// The calling thread's queue, made at first use.
std::shared_ptr<MessageQueue> CurrentQueue() {
    if (!threadQueue.queue) {
        auto queue = std::make_shared<MessageQueue>(CurrentThreadId());
        User &user = TheUser();
        std::lock_guard guard(user.lock);
        user.queues[queue->threadId] = queue;
        threadQueue.queue = std::move(queue);
    }
    return threadQueue.queue;
}

// ---------------------------------------------------------------- window lookup

uintptr_t WindowKey(HWND window) {
    return reinterpret_cast<uintptr_t>(window);
}

// Under User().lock.
std::shared_ptr<Window> FindWindowLocked(User &user, HWND window) {
    const auto it = user.windows.find(WindowKey(window));
    return it == user.windows.end() ? nullptr : it->second;
}

std::shared_ptr<Window> FindWindow(HWND window) {
    User &user = TheUser();
    std::lock_guard guard(user.lock);
    return FindWindowLocked(user, window);
}

// Under User().lock: the window and all of its descendants.
std::set<HWND> FamilyLocked(User &user, HWND window) {
    std::set<HWND> family{window};
    bool grew = true;
    while (grew) {
        grew = false;
        for (const auto &[key, w] : user.windows) {
            if (family.count(w->parent) && family.insert(w->handle).second)
                grew = true;
        }
    }
    return family;
}

std::shared_ptr<WindowClass> FindClassLocked(User &user, LPCWSTR name) {
    if (!name)
        return nullptr;
    if (IS_INTRESOURCE(name)) {
        const ATOM atom = static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(name));
        for (const auto &[key, c] : user.classes) {
            if (c->atom == atom)
                return c;
        }
        return nullptr;
    }
    const auto it = user.classes.find(name);
    return it == user.classes.end() ? nullptr : it->second;
}

// Calls a window's procedure; no lock held.
LRESULT CallProc(const std::shared_ptr<Window> &window, UINT message, WPARAM wParam,
                 LPARAM lParam) {
    WNDPROC proc;
    {
        User &user = TheUser();
        std::lock_guard guard(user.lock);
        proc = window->proc;
    }
    if (!proc)
        return DefWindowProcW(window->handle, message, wParam, lParam);
    return proc(window->handle, message, wParam, lParam);
}

// Removes a window from the table and from its queue (timers, posted
// messages). Under User().lock.
void UnlinkWindowLocked(User &user, const std::shared_ptr<Window> &window) {
    if (user.windows.erase(WindowKey(window->handle)) == 0)
        return;
    --window->windowClass->windows;
    std::lock_guard guard(window->queue->lock);
    auto &timers = window->queue->timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(),
                                [&](const Timer &t) { return t.window == window->handle; }),
                 timers.end());
    auto &posted = window->queue->posted;
    posted.erase(std::remove_if(posted.begin(), posted.end(),
                                [&](const MSG &m) { return m.hwnd == window->handle; }),
                 posted.end());
}

// ---------------------------------------------------------------- taking messages

// Which messages a PeekMessageW or GetMessageW call accepts.
struct Filter {
    bool anyWindow = true;
    bool threadOnly = false;
    std::set<HWND> windows; // the filter window and its descendants
    UINT first = 0;
    UINT last = 0;

    [[nodiscard]] bool Accepts(HWND hwnd, UINT message) const {
        if (threadOnly && hwnd)
            return false;
        if (!anyWindow && !threadOnly && !windows.count(hwnd))
            return false;
        // (0, 0) and first > last accept every message, as Windows does.
        if (first > last || (first == 0 && last == 0))
            return true;
        return message >= first && message <= last;
    }
};

// Builds the filter; false (ERROR_INVALID_WINDOW_HANDLE) for a bad window.
bool MakeFilter(HWND window, UINT first, UINT last, Filter &filter) {
    filter.first = first;
    filter.last = last;
    if (!window)
        return true;
    filter.anyWindow = false;
    if (window == kThreadMessagesOnly) {
        filter.threadOnly = true;
        return true;
    }
    User &user = TheUser();
    std::lock_guard guard(user.lock);
    if (!FindWindowLocked(user, window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    filter.windows = FamilyLocked(user, window);
    return true;
}

// Handles every message sent to the calling thread by other threads.
void HandleSentMessages(MessageQueue &queue) {
    for (;;) {
        std::shared_ptr<SentMessage> sent;
        {
            std::lock_guard guard(queue.lock);
            if (queue.sent.empty())
                return;
            sent = std::move(queue.sent.front());
            queue.sent.pop_front();
        }
        LRESULT result = 0;
        if (const auto window = FindWindow(sent->window))
            result = CallProc(window, sent->message, sent->wParam, sent->lParam);
        std::lock_guard guard(sent->sender->lock);
        sent->result = result;
        sent->done = true;
        sent->sender->NoteChange();
    }
}

// Under queue.lock: takes (or peeks at) the first message the filter
// accepts: posted messages first, then WM_QUIT, then due timers.
bool TakeMessageLocked(MessageQueue &queue, const Filter &filter, bool remove, MSG &out) {
    for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
        if (filter.Accepts(it->hwnd, it->message)) {
            out = *it;
            if (remove)
                queue.posted.erase(it);
            return true;
        }
    }
    if (queue.quitPosted && filter.Accepts(nullptr, WM_QUIT)) {
        out = MSG{};
        out.message = WM_QUIT;
        out.wParam = static_cast<WPARAM>(queue.quitCode);
        out.time = GetTickCount();
        if (remove)
            queue.quitPosted = false;
        return true;
    }
    const double now = DeviceNowMs();
    Timer *due = nullptr;
    for (Timer &timer : queue.timers) {
        if (timer.dueMs <= now && filter.Accepts(timer.window, WM_TIMER) &&
            (!due || timer.dueMs < due->dueMs))
            due = &timer;
    }
    if (!due)
        return false;
    out = MSG{};
    out.hwnd = due->window;
    out.message = WM_TIMER;
    out.wParam = due->id;
    out.lParam = reinterpret_cast<LPARAM>(due->proc);
    out.time = GetTickCount();
    if (remove)
        due->dueMs = now + due->elapseMs;
    return true;
}

// Under queue.lock: when the next timer the filter accepts is due.
bool NextTimerLocked(const MessageQueue &queue, const Filter &filter, double &dueMs) {
    bool any = false;
    for (const Timer &timer : queue.timers) {
        if (filter.Accepts(timer.window, WM_TIMER) && (!any || timer.dueMs < dueMs)) {
            dueMs = timer.dueMs;
            any = true;
        }
    }
    return any;
}

// Posts to a queue. False with the last error set when it cannot.
bool PostToQueue(MessageQueue &queue, HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                 DWORD deadError) {
    MSG msg{};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = GetTickCount();
    std::lock_guard guard(queue.lock);
    if (!queue.alive) {
        SetLastError(deadError);
        return false;
    }
    if (queue.posted.size() >= kMaxPostedMessages) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return false;
    }
    queue.posted.push_back(msg);
    queue.NoteChange();
    return true;
}

} // namespace

// ---------------------------------------------------------------- thread exit

namespace platform::kernel {

void ReleaseThreadMessageState() {
    std::shared_ptr<MessageQueue> queue = std::move(threadQueue.queue);
    if (!queue)
        return;
    std::deque<std::shared_ptr<SentMessage>> unanswered;
    {
        User &user = TheUser();
        std::lock_guard guard(user.lock);
        std::vector<std::shared_ptr<Window>> owned;
        for (const auto &[key, window] : user.windows) {
            if (window->queue == queue)
                owned.push_back(window);
        }
        for (const auto &window : owned)
            UnlinkWindowLocked(user, window);
        user.queues.erase(queue->threadId);
        std::lock_guard queueGuard(queue->lock);
        queue->alive = false;
        queue->posted.clear();
        queue->timers.clear();
        unanswered.swap(queue->sent);
    }
    for (const auto &sent : unanswered) {
        std::lock_guard guard(sent->sender->lock);
        sent->done = true;
        sent->sender->NoteChange();
    }
}

} // namespace platform::kernel

// ---------------------------------------------------------------- classes

// Fails with ERROR_INVALID_PARAMETER without a class name,
// ERROR_CLASS_ALREADY_EXISTS for a name already registered. A class without
// a procedure registers, as on Win32; its windows get DefWindowProcW.
ATOM WINAPI RegisterClassW(const WNDCLASSW *wndClass) {
    if (!wndClass || !wndClass->lpszClassName || IS_INTRESOURCE(wndClass->lpszClassName) ||
        !*wndClass->lpszClassName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    User &user = TheUser();
    std::lock_guard guard(user.lock);
    if (user.classes.count(wndClass->lpszClassName)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto windowClass = std::make_shared<WindowClass>();
    windowClass->name = wndClass->lpszClassName;
    windowClass->style = wndClass->style;
    windowClass->proc = wndClass->lpfnWndProc;
    windowClass->wndExtra = std::clamp(wndClass->cbWndExtra, 0, 4096);
    windowClass->instance = wndClass->hInstance;
    windowClass->atom = user.nextAtom++;
    if (user.nextAtom == 0)
        user.nextAtom = 0xC000;
    user.classes[windowClass->name] = windowClass;
    return windowClass->atom;
}

// Fails with ERROR_CLASS_DOES_NOT_EXIST or ERROR_CLASS_HAS_WINDOWS.
BOOL WINAPI UnregisterClassW(LPCWSTR className, HINSTANCE) {
    User &user = TheUser();
    std::lock_guard guard(user.lock);
    const auto windowClass = FindClassLocked(user, className);
    if (!windowClass) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (windowClass->windows > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    user.classes.erase(windowClass->name);
    return TRUE;
}

// ---------------------------------------------------------------- windows

// The window belongs to the calling thread. parent: NULL, HWND_MESSAGE (a
// message-only window) or a window (ERROR_INVALID_WINDOW_HANDLE otherwise).
// WM_CREATE answering -1 (or destroying the window) makes it fail.
HWND WINAPI CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style,
                            int x, int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID parameter) {
    auto window = std::make_shared<Window>();
    window->threadId = CurrentThreadId();
    window->queue = CurrentQueue();
    {
        User &user = TheUser();
        std::lock_guard guard(user.lock);
        window->windowClass = FindClassLocked(user, className);
        if (!window->windowClass) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        if (parent && parent != HWND_MESSAGE && !FindWindowLocked(user, parent)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        window->handle = reinterpret_cast<HWND>(platform::kernel::NewObjectId());
        window->parent = parent;
        window->instance = instance;
        window->proc = window->windowClass->proc;
        window->id = reinterpret_cast<LONG_PTR>(menu);
        window->style = style;
        window->exStyle = exStyle;
        window->text = windowName ? windowName : u"";
        window->extra.assign(static_cast<size_t>(window->windowClass->wndExtra), 0);
        ++window->windowClass->windows;
        user.windows[WindowKey(window->handle)] = window;
    }
    CREATESTRUCTW create{};
    create.lpCreateParams = parameter;
    create.hInstance = instance;
    create.hMenu = menu;
    create.hwndParent = parent;
    create.cy = height;
    create.cx = width;
    create.y = y;
    create.x = x;
    create.style = static_cast<LONG>(style);
    create.lpszName = windowName;
    create.lpszClass = className;
    create.dwExStyle = exStyle;
    const LRESULT created = CallProc(window, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create));
    User &user = TheUser();
    std::lock_guard guard(user.lock);
    if (!FindWindowLocked(user, window->handle))
        return nullptr; // destroyed during WM_CREATE
    if (created == -1) {
        UnlinkWindowLocked(user, window);
        return nullptr;
    }
    return window->handle;
}

// Sends WM_DESTROY to the window, then destroys its descendants the same
// way, then the handle becomes invalid. Only the owner thread may destroy a
// window (ERROR_ACCESS_DENIED otherwise).
BOOL WINAPI DestroyWindow(HWND hwnd) {
    const auto window = FindWindow(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (window->threadId != CurrentThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    User &user = TheUser();
    {
        std::lock_guard guard(user.lock);
        if (window->destroying)
            return TRUE;
        window->destroying = true;
    }
    CallProc(window, WM_DESTROY, 0, 0);
    std::vector<HWND> children;
    {
        std::lock_guard guard(user.lock);
        for (const auto &[key, w] : user.windows) {
            if (w->parent == hwnd)
                children.push_back(w->handle);
        }
    }
    for (HWND child : children) {
        const auto childWindow = FindWindow(child);
        if (!childWindow)
            continue;
        if (childWindow->threadId == window->threadId) {
            DestroyWindow(child);
        } else {
            std::lock_guard guard(user.lock);
            UnlinkWindowLocked(user, childWindow);
        }
    }
    std::lock_guard guard(user.lock);
    UnlinkWindowLocked(user, window);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND window) {
    return FindWindow(window) ? TRUE : FALSE;
}

// WM_CLOSE destroys the window; WM_SETTEXT, WM_GETTEXT and
// WM_GETTEXTLENGTH keep and read the window's text (WM_GETTEXT: wParam is
// the buffer's room in characters with the terminator; answers the count
// copied); every other message answers 0.
LRESULT WINAPI DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_SETTEXT:
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH: {
        User &user = TheUser();
        std::lock_guard guard(user.lock);
        const auto w = FindWindowLocked(user, window);
        if (!w)
            return 0;
        if (message == WM_SETTEXT) {
            // A bounded copy: a title longer than this is cut.
            constexpr size_t kMaxWindowText = 32767;
            const auto *text = reinterpret_cast<const WCHAR *>(lParam);
            w->text.clear();
            for (size_t i = 0; text && text[i] && i < kMaxWindowText; ++i)
                w->text.push_back(text[i]);
            return TRUE;
        }
        if (message == WM_GETTEXTLENGTH)
            return static_cast<LRESULT>(w->text.size());
        auto *buffer = reinterpret_cast<WCHAR *>(lParam);
        if (!buffer || wParam == 0)
            return 0;
        const size_t count = std::min<size_t>(w->text.size(), wParam - 1);
        std::copy_n(w->text.data(), count, buffer);
        buffer[count] = 0;
        return static_cast<LRESULT>(count);
    }
    default:
        return 0;
    }
}

LRESULT WINAPI CallWindowProcW(WNDPROC proc, HWND window, UINT message, WPARAM wParam,
                               LPARAM lParam) {
    if (!proc)
        return 0;
    return proc(window, message, wParam, lParam);
}

namespace {

// The word of a window that an index names; null with ERROR_INVALID_INDEX.
// Under User().lock. Positive indexes address the cbWndExtra bytes.
LONG_PTR *WindowWordLocked(Window &window, int index, LONG_PTR &scratch) {
    switch (index) {
    case GWL_USERDATA:
        return &window.userData;
    case GWL_ID:
        return &window.id;
    case GWL_WNDPROC:
    case GWL_STYLE:
    case GWL_EXSTYLE:
        return &scratch; // converted by the callers
    default:
        break;
    }
    if (index >= 0 && static_cast<size_t>(index) + sizeof(LONG_PTR) <= window.extra.size()) {
        std::memcpy(&scratch, window.extra.data() + index, sizeof scratch);
        return &scratch;
    }
    SetLastError(ERROR_INVALID_INDEX);
    return nullptr;
}

} // namespace

// Answers the previous value. Success leaves the last error alone (so a
// previous value of 0 is told from a failure by presetting it, as on
// Windows). Failure: 0 with ERROR_INVALID_WINDOW_HANDLE or
// ERROR_INVALID_INDEX.
LONG_PTR WINAPI SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value) {
    User &user = TheUser();
    std::lock_guard guard(user.lock);
    const auto window = FindWindowLocked(user, hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    LONG_PTR previous = 0;
    switch (index) {
    case GWL_WNDPROC:
        previous = reinterpret_cast<LONG_PTR>(window->proc);
        window->proc = reinterpret_cast<WNDPROC>(value);
        return previous;
    case GWL_STYLE:
        previous = static_cast<LONG_PTR>(window->style);
        window->style = static_cast<DWORD>(value);
        return previous;
    case GWL_EXSTYLE:
        previous = static_cast<LONG_PTR>(window->exStyle);
        window->exStyle = static_cast<DWORD>(value);
        return previous;
    default:
        break;
    }
    LONG_PTR scratch = 0;
    LONG_PTR *word = WindowWordLocked(*window, index, scratch);
    if (!word)
        return 0;
    previous = *word;
    if (word == &scratch)
        std::memcpy(window->extra.data() + index, &value, sizeof value);
    else
        *word = value;
    return previous;
}

LONG_PTR WINAPI GetWindowLongPtrW(HWND hwnd, int index) {
    User &user = TheUser();
    std::lock_guard guard(user.lock);
    const auto window = FindWindowLocked(user, hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    switch (index) {
    case GWL_WNDPROC:
        return reinterpret_cast<LONG_PTR>(window->proc);
    case GWL_STYLE:
        return static_cast<LONG_PTR>(window->style);
    case GWL_EXSTYLE:
        return static_cast<LONG_PTR>(window->exStyle);
    default:
        break;
    }
    LONG_PTR scratch = 0;
    const LONG_PTR *word = WindowWordLocked(*window, index, scratch);
    return word ? *word : 0;
}

// Answers the owner thread's id; *processId gets the process id. Failure:
// 0 with ERROR_INVALID_WINDOW_HANDLE, *processId left alone.
DWORD WINAPI GetWindowThreadProcessId(HWND hwnd, LPDWORD processId) {
    const auto window = FindWindow(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (processId)
        *processId = GetCurrentProcessId();
    return window->threadId;
}

// ---------------------------------------------------------------- posting

// To the queue of the window's owner thread; NULL window: a thread message
// to the calling thread. Fails with ERROR_INVALID_WINDOW_HANDLE, or
// ERROR_NOT_ENOUGH_QUOTA when 10000 messages wait in that queue.
BOOL WINAPI PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<MessageQueue> queue;
    if (!hwnd) {
        queue = CurrentQueue();
    } else {
        const auto window = FindWindow(hwnd);
        if (!window) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        queue = window->queue;
    }
    return PostToQueue(*queue, hwnd, message, wParam, lParam, ERROR_INVALID_WINDOW_HANDLE) ? TRUE
                                                                                           : FALSE;
}

// A message with a NULL hwnd to the queue of thread `threadId`. Fails with
// ERROR_INVALID_THREAD_ID when that thread has no message queue (yet); a
// thread posting to itself gets one.
BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<MessageQueue> queue;
    if (threadId == CurrentThreadId()) {
        queue = CurrentQueue();
    } else {
        User &user = TheUser();
        std::lock_guard guard(user.lock);
        const auto it = user.queues.find(threadId);
        if (it != user.queues.end())
            queue = it->second;
    }
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return PostToQueue(*queue, nullptr, message, wParam, lParam, ERROR_INVALID_THREAD_ID) ? TRUE
                                                                                          : FALSE;
}

// WM_QUIT comes out of the queue once no posted message is left.
void WINAPI PostQuitMessage(int exitCode) {
    const auto queue = CurrentQueue();
    std::lock_guard guard(queue->lock);
    queue->quitPosted = true;
    queue->quitCode = exitCode;
    queue->NoteChange();
}

// ---------------------------------------------------------------- taking messages

// Handles sent messages, then answers the first accepted message (posted
// messages, WM_QUIT, due timers). window: NULL for any message of the
// calling thread, (HWND)-1 for thread messages only, else that window and
// its descendants. *msg is left alone when nothing is there. Fails (FALSE,
// ERROR_INVALID_WINDOW_HANDLE) for a bad window filter.
BOOL WINAPI PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMsg) {
    Filter filter;
    if (!MakeFilter(window, filterMin, filterMax, filter))
        return FALSE;
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto queue = CurrentQueue();
    HandleSentMessages(*queue);
    MSG taken{};
    {
        std::lock_guard guard(queue->lock);
        if (!TakeMessageLocked(*queue, filter, (removeMsg & PM_REMOVE) != 0, taken))
            return FALSE;
    }
    *msg = taken;
    return TRUE;
}

// Blocks until a message is accepted (handling sent messages meanwhile).
// Answers FALSE for WM_QUIT, -1 for a bad window filter
// (ERROR_INVALID_WINDOW_HANDLE) or a NULL msg (ERROR_INVALID_PARAMETER).
BOOL WINAPI GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    Filter filter;
    if (!MakeFilter(window, filterMin, filterMax, filter))
        return -1;
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    const auto queue = CurrentQueue();
    for (;;) {
        HandleSentMessages(*queue);
        std::unique_lock lock(queue->lock);
        if (!queue->sent.empty())
            continue;
        MSG taken{};
        if (TakeMessageLocked(*queue, filter, true, taken)) {
            lock.unlock();
            *msg = taken;
            return taken.message == WM_QUIT ? FALSE : TRUE;
        }
        double dueMs = 0;
        const DeviceDeadline deadline = NextTimerLocked(*queue, filter, dueMs)
                                            ? DeviceDeadline::At(dueMs)
                                            : DeviceDeadline::Never();
        const uint64_t seen = queue->generation;
        deadline.Wait(queue->changed, lock, [&] { return queue->generation != seen; });
    }
}

// No key messages are made here: answers FALSE.
BOOL WINAPI TranslateMessage(const MSG *) {
    return FALSE;
}

// Calls the window procedure of msg->hwnd on the calling thread and answers
// its result. A WM_TIMER with a timer procedure calls that procedure (only
// when such a timer exists). A thread message (NULL hwnd) is not
// dispatched: 0. A bad window: 0 with ERROR_INVALID_WINDOW_HANDLE.
LRESULT WINAPI DispatchMessageW(const MSG *msg) {
    if (!msg)
        return 0;
    if (msg->message == WM_TIMER && msg->lParam) {
        TIMERPROC proc = nullptr;
        std::shared_ptr<MessageQueue> queue;
        if (msg->hwnd) {
            if (const auto window = FindWindow(msg->hwnd))
                queue = window->queue;
        } else {
            queue = CurrentQueue();
        }
        if (queue) {
            std::lock_guard guard(queue->lock);
            for (const Timer &timer : queue->timers) {
                if (timer.window == msg->hwnd && timer.id == msg->wParam &&
                    reinterpret_cast<LPARAM>(timer.proc) == msg->lParam)
                    proc = timer.proc;
            }
        }
        if (proc) {
            proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
            return 0;
        }
    }
    if (!msg->hwnd)
        return 0;
    const auto window = FindWindow(msg->hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return CallProc(window, msg->message, msg->wParam, msg->lParam);
}

// ---------------------------------------------------------------- sending

LRESULT WINAPI SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto window = FindWindow(hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (window->threadId == CurrentThreadId())
        return CallProc(window, message, wParam, lParam);

    const auto own = CurrentQueue();
    auto sent = std::make_shared<SentMessage>();
    sent->window = hwnd;
    sent->message = message;
    sent->wParam = wParam;
    sent->lParam = lParam;
    sent->sender = own;
    {
        std::lock_guard guard(window->queue->lock);
        if (!window->queue->alive) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        window->queue->sent.push_back(sent);
        window->queue->NoteChange();
    }
    for (;;) {
        {
            std::unique_lock lock(own->lock);
            own->changed.wait(lock, [&] { return sent->done || !own->sent.empty(); });
            if (sent->done)
                return sent->result;
        }
        HandleSentMessages(*own);
    }
}

// ---------------------------------------------------------------- timers

// A window timer lives in the window owner's queue; a thread timer (NULL
// window) in the caller's, with a new id unless `id` names one of its
// thread timers. Elapse is clamped to 10..0x7FFFFFFF device ms. Setting an
// existing timer again restarts it. Answers the timer id, or 0 with
// ERROR_INVALID_WINDOW_HANDLE.
UINT_PTR WINAPI SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC timerProc) {
    std::shared_ptr<MessageQueue> queue;
    if (hwnd) {
        const auto window = FindWindow(hwnd);
        if (!window) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        queue = window->queue;
    } else {
        queue = CurrentQueue();
    }
    elapse = std::clamp<UINT>(elapse, USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
    std::lock_guard guard(queue->lock);
    if (!queue->alive) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    auto existing = std::find_if(queue->timers.begin(), queue->timers.end(),
                                 [&](const Timer &t) { return t.window == hwnd && t.id == id; });
    if (!hwnd && existing == queue->timers.end()) {
        // A new thread timer: an id no timer of this queue uses.
        static std::atomic<UINT_PTR> nextThreadTimerId{1};
        do {
            id = nextThreadTimerId.fetch_add(1, std::memory_order_relaxed);
        } while (id == 0 || std::any_of(queue->timers.begin(), queue->timers.end(),
                                        [&](const Timer &t) { return !t.window && t.id == id; }));
    }
    Timer timer;
    timer.window = hwnd;
    timer.id = id;
    timer.elapseMs = elapse;
    timer.proc = timerProc;
    timer.dueMs = DeviceNowMs() + elapse;
    if (existing != queue->timers.end())
        *existing = timer;
    else
        queue->timers.push_back(timer);
    queue->NoteChange();
    return id;
}

// Fails with ERROR_INVALID_WINDOW_HANDLE for a bad window and
// ERROR_INVALID_PARAMETER when there is no such timer.
BOOL WINAPI KillTimer(HWND hwnd, UINT_PTR id) {
    std::shared_ptr<MessageQueue> queue;
    if (hwnd) {
        const auto window = FindWindow(hwnd);
        if (!window) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        queue = window->queue;
    } else {
        queue = CurrentQueue();
    }
    std::lock_guard guard(queue->lock);
    const auto it = std::find_if(queue->timers.begin(), queue->timers.end(),
                                 [&](const Timer &t) { return t.window == hwnd && t.id == id; });
    if (it == queue->timers.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    queue->timers.erase(it);
    queue->NoteChange();
    return TRUE;
}

// ---------------------------------------------------------------- for the shell

namespace platform::user {

namespace {
WindowInfo InfoOf(const Window &w) {
    WindowInfo info;
    info.handle = w.handle;
    info.threadId = w.threadId;
    info.parent = w.parent;
    info.className = w.windowClass->name;
    info.classAtom = w.windowClass->atom;
    info.text = w.text;
    info.style = w.style;
    info.exStyle = w.exStyle;
    info.id = w.id;
    return info;
}
} // namespace

bool QueryWindow(HWND window, WindowInfo &info) {
    User &user = TheUser();
    std::lock_guard guard(user.lock);
    const auto w = FindWindowLocked(user, window);
    if (!w)
        return false;
    info = InfoOf(*w);
    return true;
}

std::vector<WindowInfo> ListWindows() {
    User &user = TheUser();
    std::lock_guard guard(user.lock);
    std::vector<WindowInfo> all;
    all.reserve(user.windows.size());
    for (const auto &[key, w] : user.windows)
        all.push_back(InfoOf(*w));
    return all;
}

} // namespace platform::user
