// thread.cpp — CreateThread, ResumeThread, GetExitCodeThread, thread ids and
// thread local storage slots.
//
// A thread handle is waitable and becomes signalled when the thread's start
// routine has returned and the thread has given up its message queue and
// windows. The stack size argument is ignored (host default stacks).
#include <windows.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "handles.h"
#include "kernel.h"

namespace platform::kernel {

// ---------------------------------------------------------------- thread ids

// 0 until the thread first asks for its id (or adopts one from CreateThread).
static thread_local DWORD currentThreadId = 0;

DWORD AllocateThreadId() {
    // Multiples of 4 as on Windows, small and never 0.
    static std::atomic<DWORD> next{0x10};
    DWORD id = next.fetch_add(4, std::memory_order_relaxed);
    while (id == 0)
        id = next.fetch_add(4, std::memory_order_relaxed);
    return id;
}

DWORD CurrentThreadId() {
    if (currentThreadId == 0)
        currentThreadId = AllocateThreadId();
    return currentThreadId;
}

void AdoptThreadId(DWORD id) {
    currentThreadId = id;
}

} // namespace platform::kernel

using namespace platform::kernel;

namespace {

// The kernel object behind a thread handle.
class ThreadObject final : public WaitableObject {
public:
    ThreadObject(DWORD id, bool suspended) : id_(id), suspendCount_(suspended ? 1 : 0) {}

    [[nodiscard]] const char *Kind() const override { return "thread"; }
    [[nodiscard]] bool IsSignalled(DWORD) const override { return finished_; }

    // Runs on the new thread.
    void Run(LPTHREAD_START_ROUTINE start, LPVOID parameter) {
        AdoptThreadId(id_);
        {
            std::unique_lock lock(WaitLock());
            resumed_.wait(lock, [this] { return suspendCount_ == 0; });
        }
        const DWORD code = start(parameter);
        ReleaseThreadMessageState();
        std::lock_guard guard(WaitLock());
        exitCode_ = code;
        finished_ = true;
        WakeWaiters();
    }

    // Answers the previous suspend count.
    DWORD Resume() {
        std::lock_guard guard(WaitLock());
        const DWORD previous = suspendCount_;
        if (suspendCount_ > 0 && --suspendCount_ == 0)
            resumed_.notify_all();
        return previous;
    }

    DWORD ExitCode() {
        std::lock_guard guard(WaitLock());
        return exitCode_;
    }

private:
    const DWORD id_;
    // Under WaitLock().
    DWORD suspendCount_;
    bool finished_ = false;
    DWORD exitCode_ = STILL_ACTIVE;
    std::condition_variable resumed_;
};

} // namespace

// CREATE_SUSPENDED starts the thread held until ResumeThread. Fails with
// ERROR_INVALID_PARAMETER for a NULL start routine and
// ERROR_NOT_ENOUGH_MEMORY when the host refuses a thread; *threadId is then
// left alone.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD flags, LPDWORD threadId) {
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const DWORD id = AllocateThreadId();
    auto thread = std::make_shared<ThreadObject>(id, (flags & CREATE_SUSPENDED) != 0);
    HANDLE handle = AllocHandle(thread);
    if (!handle)
        return nullptr;
    try {
        std::thread([thread, start, parameter] { thread->Run(start, parameter); }).detach();
    } catch (...) {
        RemoveHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId)
        *threadId = id;
    return handle;
}

// Answers the previous suspend count, or (DWORD)-1 with ERROR_INVALID_HANDLE.
DWORD WINAPI ResumeThread(HANDLE thread) {
    const auto object = GetHandleObjectAs<ThreadObject>(thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    return object->Resume();
}

DWORD WINAPI GetCurrentThreadId() {
    return CurrentThreadId();
}

DWORD WINAPI GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

// STILL_ACTIVE while the thread runs. On failure *exitCode is left alone.
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    const auto object = GetHandleObjectAs<ThreadObject>(thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!exitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = object->ExitCode();
    return TRUE;
}

// ---------------------------------------------------------------- thread local storage

// A slot is a POSIX key; every thread starts with a null value in it.
DWORD WINAPI TlsAlloc() {
    pthread_key_t key{};
    if (pthread_key_create(&key, nullptr) != 0 || static_cast<DWORD>(key) == TLS_OUT_OF_INDEXES) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return TLS_OUT_OF_INDEXES;
    }
    return static_cast<DWORD>(key);
}

BOOL WINAPI TlsFree(DWORD index) {
    if (index == TLS_OUT_OF_INDEXES || pthread_key_delete(static_cast<pthread_key_t>(index)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

// As on Windows, a successful read sets the last error to 0: a null value
// is then told from a failure by GetLastError.
LPVOID WINAPI TlsGetValue(DWORD index) {
    if (index == TLS_OUT_OF_INDEXES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return pthread_getspecific(static_cast<pthread_key_t>(index));
}

BOOL WINAPI TlsSetValue(DWORD index, LPVOID value) {
    if (index == TLS_OUT_OF_INDEXES ||
        pthread_setspecific(static_cast<pthread_key_t>(index), value) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
