// kernel_thread_test.cpp — CreateThread, thread handles, exit codes, ids,
// thread local storage slots.
#include <atomic>
#include <set>
#include <thread>

#include "kernel_test_util.h"

using kerneltest::kSentinel;
using kerneltest::PresetLastError;

namespace {

struct Gate {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> threadId{0};
    ~Gate() { CloseHandle(release); }
};

DWORD WINAPI WaitAtGate(LPVOID parameter) {
    auto *gate = static_cast<Gate *>(parameter);
    gate->threadId = GetCurrentThreadId();
    WaitForSingleObject(gate->release, INFINITE);
    return 77;
}

DWORD WINAPI ReturnParameter(LPVOID parameter) {
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter));
}

TEST(Thread, HandleIsSignalledAtExitWithTheExitCode) {
    Gate gate;
    DWORD id = kSentinel;
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, kSentinel);

    DWORD code = kSentinel;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);

    SetEvent(gate.release);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "stays signalled";
    code = kSentinel;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 77u);
    EXPECT_EQ(gate.threadId.load(), id) << "the id CreateThread reported is the thread's own";
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(Thread, SuspendedThreadRunsAfterResume) {
    Gate gate;
    SetEvent(gate.release);
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 200), WAIT_TIMEOUT);
    EXPECT_EQ(gate.threadId.load(), 0u) << "has not run";
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_NE(gate.threadId.load(), 0u);
    EXPECT_EQ(ResumeThread(thread), 0u);
    CloseHandle(thread);
}

TEST(Thread, ClosingTheHandleLeavesTheThreadRunning) {
    static Gate gate; // outlives the thread, which nobody can wait for
    gate.threadId = 0;
    ResetEvent(gate.release);
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    SetEvent(gate.release);
    while (gate.threadId.load() == 0)
        Sleep(10);
}

TEST(Thread, WaitForManyThreads) {
    HANDLE threads[8];
    for (uintptr_t i = 0; i < 8; ++i) {
        threads[i] =
            CreateThread(nullptr, 0, ReturnParameter, reinterpret_cast<LPVOID>(i * 3), 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    EXPECT_EQ(WaitForMultipleObjects(8, threads, TRUE, INFINITE), WAIT_OBJECT_0);
    for (uintptr_t i = 0; i < 8; ++i) {
        DWORD code = kSentinel;
        EXPECT_TRUE(GetExitCodeThread(threads[i], &code));
        EXPECT_EQ(code, i * 3);
        CloseHandle(threads[i]);
    }
}

TEST(Thread, BadArgumentsFail) {
#ifndef _WIN32
    // Win32 starts the thread at address 0 and the process faults; the
    // stand-in refuses it.
    PresetLastError();
    DWORD id = kSentinel;
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, &id), nullptr);
    EXPECT_LAST_ERROR(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(id, kSentinel) << "untouched on failure";
#endif

    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD code = kSentinel;
    PresetLastError();
    EXPECT_FALSE(GetExitCodeThread(event, &code)) << "an event is not a thread";
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    EXPECT_EQ(code, kSentinel);
    PresetLastError();
    EXPECT_EQ(ResumeThread(event), static_cast<DWORD>(-1));
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    CloseHandle(event);

    HANDLE thread = CreateThread(nullptr, 0, ReturnParameter, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    PresetLastError();
    EXPECT_FALSE(SetEvent(thread)) << "a thread is not an event";
    EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    CloseHandle(thread);
}

TEST(ThreadId, IsSmallStableNonzeroAndDistinct) {
    const DWORD mine = GetCurrentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(GetCurrentThreadId(), mine);
    EXPECT_LT(mine, 0x100000u);
    std::set<DWORD> ids{mine};
    for (int i = 0; i < 4; ++i) {
        DWORD other = 0;
        std::thread([&] { other = GetCurrentThreadId(); }).join();
        EXPECT_NE(other, 0u);
        EXPECT_TRUE(ids.insert(other).second) << "ids are not reused";
    }
}

TEST(ThreadLocalStorage, EachThreadHasItsOwnValueAndAReadClearsTheLastError) {
    const DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    int mine = 0;
    EXPECT_TRUE(TlsSetValue(slot, &mine));
    LPVOID other = &mine;
    std::thread([&] {
        PresetLastError();
        other = TlsGetValue(slot);
        EXPECT_EQ(GetLastError(), 0u) << "a null value is told from a failure by the last error";
    }).join();
    EXPECT_EQ(other, nullptr) << "a thread starts with nothing in the slot";
    EXPECT_EQ(TlsGetValue(slot), &mine);
    EXPECT_TRUE(TlsFree(slot));

    PresetLastError();
    EXPECT_EQ(TlsGetValue(TLS_OUT_OF_INDEXES), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(TlsSetValue(TLS_OUT_OF_INDEXES, &mine));
    EXPECT_FALSE(TlsFree(TLS_OUT_OF_INDEXES));
}

} // namespace
