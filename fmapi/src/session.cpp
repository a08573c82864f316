// session.cpp — the tuner session's life (construction, destruction), the
// reply mechanism by which a client call waits for the stack's answer, and
// the debug sink.
#include <cstdarg>

#include "session.h"

namespace lumarc {

// ---------------------------------------------------------------- library-wide state

std::atomic<FMDebugFunction> debugSink{nullptr};
std::atomic<BYTE> poweredOn{0};
std::atomic<TunerSession *> eventTarget{nullptr};
std::atomic<TunerSession *> openSession{nullptr};
std::atomic<DWORD> stackHandle{0};
TunerProperties tunerProperties;

TunerSession *sessionFromHandle(HFMTUNER handle) {
    TunerSession *session = openSession.load(std::memory_order_acquire);
    if (handle == nullptr || static_cast<void *>(session) != handle)
        return nullptr;
    return session;
}

// ---------------------------------------------------------------- construction

// The buffer comes first: when it cannot be allocated nothing else has been
// created and the constructor's exception leaves nothing behind.
TunerSession::TunerSession(HMODULE library, TunerProperties *block)
    : rdsBuffer(new BYTE[kRdsInitialCapacity]), rdsLength(0),
      rdsCapacity(static_cast<LONG>(kRdsInitialCapacity)), piLock(kNoPiLock), stackLibrary(library),
      properties(block) {
    InitializeCriticalSection(&rdsLock);
    InitializeCriticalSection(&replyLock);
    replyEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

// Events are unhooked before the stack library goes: a handler still running
// on the stack's thread must neither find this session nor return into an
// unloaded stack.
TunerSession::~TunerSession() {
    TunerSession *self = this;
    if (eventTarget.compare_exchange_strong(self, nullptr, std::memory_order_seq_cst))
        waitForDispatchesToEnd();
    if (stackLibrary != nullptr)
        FreeLibrary(stackLibrary);
    if (replyEvent != nullptr)
        CloseHandle(replyEvent);
    DeleteCriticalSection(&rdsLock);
    DeleteCriticalSection(&replyLock);
    rdsBuffer.reset();
}

// ---------------------------------------------------------------- reply mechanism

void TunerSession::armReply(bool useEvent) {
    if (useEvent) {
        ResetEvent(replyEvent);
        return;
    }
    EnterCriticalSection(&replyLock);
    replyReceived.store(0, std::memory_order_release);
    LeaveCriticalSection(&replyLock);
}

void TunerSession::signalReply(bool useEvent) {
    if (useEvent) {
        SetEvent(replyEvent);
        return;
    }
    EnterCriticalSection(&replyLock);
    replyReceived.store(1, std::memory_order_release);
    LeaveCriticalSection(&replyLock);
}

bool TunerSession::waitForReply(bool useEvent) {
    if (useEvent)
        return WaitForSingleObject(replyEvent, kReplyTimeoutMs) == WAIT_OBJECT_0;

    // The pumping wait: a reply may be delivered through this thread's own
    // message queue, so keep dispatching while polling the flag.
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < kReplyTimeoutMs) {
        Sleep(kReplyPollMs);
        if (replyReceived.load(std::memory_order_acquire) != 0)
            break;
        MSG msg;
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    // The answer is read under replyLock: once it is taken, the signalling
    // thread has left the lock, so the caller may close the session at once.
    EnterCriticalSection(&replyLock);
    const bool received = replyReceived.load(std::memory_order_acquire) != 0;
    LeaveCriticalSection(&replyLock);
    return received;
}

// ---------------------------------------------------------------- debug sink

void debugPrint(LPCWSTR format, ...) {
    const FMDebugFunction sink = debugSink.load(std::memory_order_acquire);
    if (sink == nullptr)
        return;
    WCHAR line[kDebugLineChars] = {};
    va_list args;
    va_start(args, format);
    // Truncates long lines; the last character always stays the terminator.
    _vsnwprintf(line, kDebugLineChars - 1, format, args);
    va_end(args);
    line[kDebugLineChars - 1] = 0;
    sink(line);
}

} // namespace lumarc
