// guard.cpp — GuardedCall: the stand-in's __try/__except for driver code.
//
// A C++ exception leaving the call is caught. A hardware fault (SIGSEGV,
// SIGBUS, SIGILL, SIGFPE) raised on the calling thread while a guard is
// active jumps back to the innermost guard (siglongjmp). The handlers run
// on an alternate signal stack, so that a stack overflow inside the guard
// can be caught as well; a thread without one gets one at its first guard.
//
// The handlers are installed at the first GuardedCall and chain to the
// handlers that were in place: a fault outside any guard, or on a thread
// without a guard, goes to the previous handler, or with the default
// disposition restored is raised again (the process ends as it would have).
//
// Limits: the faulting call's frames are abandoned without unwinding: no
// destructors run and locks it held stay held. A fault delivered to another
// thread (kill, pthread_kill) is not caught by this thread's guard. Under
// AddressSanitizer a memory error that ASan itself detects is reported and
// ends the process; raised signals and plain faults are still caught when
// ASan lets programs install SIGSEGV handlers (its default).
#include <platform/guard.h>

#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <mutex>

#include <unistd.h>

namespace {

struct Frame {
    sigjmp_buf jump;
    Frame *prev = nullptr;
};

// Initial-exec TLS: read from the signal handler, where the lazy allocation
// of general-dynamic TLS would not be safe.
__attribute__((tls_model("initial-exec"))) thread_local Frame *innermost = nullptr;

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
struct sigaction previous[4];

int SlotOf(int sig) {
    for (int i = 0; i < 4; ++i) {
        if (kSignals[i] == sig)
            return i;
    }
    return -1;
}

void OnFault(int sig, siginfo_t *info, void *context) {
    if (Frame *frame = innermost) {
        innermost = frame->prev;
        siglongjmp(frame->jump, sig);
    }
    const int slot = SlotOf(sig);
    const struct sigaction &prev = previous[slot < 0 ? 0 : slot];
    if (prev.sa_flags & SA_SIGINFO) {
        if (prev.sa_sigaction) {
            prev.sa_sigaction(sig, info, context);
            return;
        }
    } else if (prev.sa_handler == SIG_IGN) {
        return;
    } else if (prev.sa_handler != SIG_DFL) {
        prev.sa_handler(sig);
        return;
    }
    // Default disposition: restore it and raise again. For a real fault the
    // faulting instruction also runs again on return and faults for good.
    sigaction(sig, &prev, nullptr);
    raise(sig);
}

void InstallHandlers() {
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 4; ++i)
        sigaction(kSignals[i], &action, &previous[i]);
}

// The alternate signal stack a thread got from its first guard; removed
// again when the thread ends.
class AltStack {
public:
    void Ensure() {
        if (memory_)
            return;
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE))
            return; // the thread has one already (the sanitizers give one)
        long minimum = sysconf(_SC_SIGSTKSZ);
        size_t size = 64 * 1024;
        if (minimum > 0 && static_cast<size_t>(minimum) * 4 > size)
            size = static_cast<size_t>(minimum) * 4;
        memory_ = std::malloc(size);
        if (!memory_)
            return;
        stack_t stack{};
        stack.ss_sp = memory_;
        stack.ss_size = size;
        if (sigaltstack(&stack, nullptr) != 0) {
            std::free(memory_);
            memory_ = nullptr;
        }
    }
    AltStack() = default;
    AltStack(const AltStack &) = delete;
    AltStack &operator=(const AltStack &) = delete;
    ~AltStack() {
        if (!memory_)
            return;
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == memory_) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        }
        std::free(memory_);
    }

private:
    void *memory_ = nullptr;
};

thread_local AltStack altStack;

// Kept out of GuardedCall so that nothing there lives across sigsetjmp.
__attribute__((noinline)) bool RunCatching(void (*fn)(void *), void *context) {
    try {
        fn(context);
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

namespace platform {

bool GuardedCall(void (*fn)(void *), void *context) {
    if (!fn)
        return false;
    static std::once_flag installed;
    std::call_once(installed, InstallHandlers);
    altStack.Ensure();

    Frame frame;
    frame.prev = innermost;
    if (sigsetjmp(frame.jump, 1) != 0)
        return false; // the handler has popped the frame
    innermost = &frame;
    const bool ok = RunCatching(fn, context);
    innermost = frame.prev;
    return ok;
}

} // namespace platform
