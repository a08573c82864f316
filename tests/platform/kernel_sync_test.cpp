// kernel_sync_test.cpp — last error, clock, events, waits, handles,
// critical sections, interlocked operations.
#include <platform/emulation.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <thread>
#include <utility>

#include "kernel_test_util.h"

using kerneltest::kSentinel;
using kerneltest::PresetLastError;

namespace {

// ---------------------------------------------------------------- last error

TEST(LastError, IsPerThread) {
    SetLastError(1234);
    // A Win32 thread: a run-time library's join may itself set the last error.
    struct Seen {
        DWORD atStart = kSentinel;
        DWORD afterSet = kSentinel;
    } seen;
    HANDLE other = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            Seen &mine = *static_cast<Seen *>(parameter);
            mine.atStart = GetLastError();
            SetLastError(ERROR_ACCESS_DENIED);
            mine.afterSet = GetLastError();
            return 0;
        },
        &seen, 0, nullptr);
    ASSERT_NE(other, nullptr);
    SetLastError(1234);
    WaitForSingleObject(other, INFINITE);
    CloseHandle(other);
    const DWORD seenOnOtherThread = seen.atStart;
    const DWORD afterSetOnOtherThread = seen.afterSet;
    EXPECT_EQ(seenOnOtherThread, 0u) << "a new thread starts at 0";
    EXPECT_EQ(afterSetOnOtherThread, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetLastError(), 1234u) << "the other thread's value did not leak";
}

// ---------------------------------------------------------------- clock

TEST(Clock, SpeedIsSetAndBadSpeedsAreIgnored) {
    EXPECT_EQ(platform::GetClockSpeed(), kerneltest::kTestClockSpeed);
    platform::SetClockSpeed(0);
    platform::SetClockSpeed(-3);
    platform::SetClockSpeed(std::nan(""));
    EXPECT_EQ(platform::GetClockSpeed(), kerneltest::kTestClockSpeed);
}

TEST(Clock, SleepAdvancesTheTickCountByAtLeastItsTime) {
    const DWORD start = GetTickCount();
    Sleep(1000); // 20 ms of real time at speed 50
    EXPECT_GE(GetTickCount() - start, 1000u);
}

TEST(Clock, TickCountIsContinuousAcrossSpeedChanges) {
    const DWORD before = GetTickCount();
    platform::SetClockSpeed(1000);
    const DWORD atFast = GetTickCount();
    Sleep(2000);
    platform::SetClockSpeed(kerneltest::kTestClockSpeed);
    const DWORD after = GetTickCount();
    EXPECT_GE(atFast, before) << "no jump back at a speed change";
    EXPECT_LT(atFast - before, 1000u) << "no jump forward at a speed change";
    EXPECT_GE(after - atFast, 2000u);
}

// A running wait or sleep hears a speed change at once: ten device minutes
// are 12 s of real time at the test speed, a blink at a million. (Without
// the wake, the wait would look again only after its longest slice, 1 s.)
TEST(Clock, ASpeedChangeReachesRunningWaits) {
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> ended{0};
    std::thread waiter([&] {
        EXPECT_EQ(WaitForSingleObject(never, 600000), static_cast<DWORD>(WAIT_TIMEOUT));
        ended++;
    });
    std::thread sleeper([&] {
        Sleep(600000);
        ended++;
    });
    Sleep(100); // both are waiting
    const auto changed = std::chrono::steady_clock::now();
    platform::SetClockSpeed(1e6);
    waiter.join();
    sleeper.join();
    const auto took = std::chrono::steady_clock::now() - changed;
    platform::SetClockSpeed(kerneltest::kTestClockSpeed);
    EXPECT_EQ(ended.load(), 2);
    EXPECT_LT(took, std::chrono::milliseconds(800));
    CloseHandle(never);
}

TEST(Clock, LocalTimeIsACalendarDate) {
    // The C library's calendar of the same second, read again if the second
    // turned over meanwhile.
    SYSTEMTIME local;
    SYSTEMTIME utc;
    std::tm expectedLocal{};
    std::tm expectedUtc{};
    for (int attempt = 0; attempt < 10; ++attempt) {
        std::memset(&local, 0xA5, sizeof local);
        std::memset(&utc, 0xA5, sizeof utc);
        const std::time_t before =
            std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
        GetLocalTime(&local);
        GetSystemTime(&utc);
        const std::time_t after =
            std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
        expectedLocal = *std::localtime(&before);
        expectedUtc = *std::gmtime(&before);
        if (before == after)
            break;
    }
    const std::pair<const SYSTEMTIME &, const std::tm &> pairs[] = {{local, expectedLocal},
                                                                    {utc, expectedUtc}};
    for (const auto &[t, tm] : pairs) {
        EXPECT_EQ(t.wYear, tm.tm_year + 1900);
        EXPECT_EQ(t.wMonth, tm.tm_mon + 1) << "months count from 1";
        EXPECT_EQ(t.wDay, tm.tm_mday);
        EXPECT_EQ(t.wDayOfWeek, tm.tm_wday);
        EXPECT_EQ(t.wHour, tm.tm_hour);
        EXPECT_EQ(t.wMinute, tm.tm_min);
        EXPECT_EQ(t.wSecond, tm.tm_sec);
        EXPECT_LE(t.wMilliseconds, 999);
    }
}

// ---------------------------------------------------------------- events and waits

TEST(Event, AutoResetLetsOneWaitThrough) {
    PresetLastError();
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_LAST_ERROR(ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "the wait reset it";
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Event, ManualResetStaysSignalledUntilReset) {
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Event, TimeOutRunsOnTheDeviceClock) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const DWORD start = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_TIMEOUT); // 100 ms real at speed 50
    EXPECT_GE(GetTickCount() - start, 5000u);
    CloseHandle(event);
}

TEST(Event, SetOnAnotherThreadWakesAnInfiniteWait) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    std::atomic<DWORD> result{kSentinel};
    std::thread waiter([&] { result = WaitForSingleObject(event, INFINITE); });
    Sleep(100);
    EXPECT_TRUE(SetEvent(event));
    waiter.join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "auto-reset consumed by the waiter";
    CloseHandle(event);
}

TEST(Event, AutoResetWakesExactlyOneOfTwoWaiters) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    std::atomic<int> woken{0};
    auto wait = [&] {
        if (WaitForSingleObject(event, 2000) == WAIT_OBJECT_0)
            ++woken;
    };
    std::thread a(wait);
    std::thread b(wait);
    Sleep(200);
    SetEvent(event);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 1);
    CloseHandle(event);
}

TEST(Event, NamedEventIsSharedByName) {
    PresetLastError();
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, TEXT("KernelTestShared"));
    ASSERT_NE(first, nullptr);
    EXPECT_LAST_ERROR(ERROR_SUCCESS);
    PresetLastError();
    HANDLE second = CreateEventW(nullptr, FALSE, TRUE, TEXT("KernelTestShared"));
    ASSERT_NE(second, nullptr);
    EXPECT_LAST_ERROR(ERROR_ALREADY_EXISTS);
    PresetLastError();
    HANDLE otherCase = CreateEventW(nullptr, TRUE, FALSE, TEXT("kerneltestSHARED"));
    EXPECT_LAST_ERROR(ERROR_SUCCESS) << "names compare with case";
    CloseHandle(otherCase);
    EXPECT_NE(first, second);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT) << "the second create did not set it";
    SetEvent(second);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0) << "manual reset from the first create";
    CloseHandle(first);
    CloseHandle(second);
    // All handles gone: the name is free again.
    PresetLastError();
    HANDLE fresh = CreateEventW(nullptr, TRUE, FALSE, TEXT("KernelTestShared"));
    EXPECT_LAST_ERROR(ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);
    CloseHandle(fresh);
}

TEST(Event, HandleClosedWhileAnotherThreadWaitsIsSafe) {
    // The waiter must be inside its wait when the handle closes; a close
    // that came first (WAIT_FAILED) only means the round is tried again.
    int rounds = 0;
    DWORD result = WAIT_FAILED;
    while (result == WAIT_FAILED && rounds++ < 20) {
        HANDLE waited = CreateEventW(nullptr, FALSE, FALSE, TEXT("KernelTestClosedWhileWaiting"));
        HANDLE other = CreateEventW(nullptr, FALSE, FALSE, TEXT("KernelTestClosedWhileWaiting"));
        HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(waited, nullptr);
        ASSERT_NE(other, nullptr);
        std::atomic<DWORD> seen{kSentinel};
        std::thread waiter([&] {
            SetEvent(started);
            seen = WaitForSingleObject(waited, 100000);
        });
        WaitForSingleObject(started, INFINITE);
        Sleep(1000);
        EXPECT_TRUE(CloseHandle(waited));
        EXPECT_TRUE(SetEvent(other));
        waiter.join();
        result = seen.load();
        CloseHandle(other);
        CloseHandle(started);
    }
    EXPECT_EQ(result, WAIT_OBJECT_0);
}

TEST(Handles, BadHandlesFailCleanly) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    const HANDLE bad[] = {nullptr,
#ifndef _WIN32
                          // Desktop Win32 takes it for the current process, whose
                          // pseudo-handle is another value on Windows CE.
                          INVALID_HANDLE_VALUE,
#endif
                          event, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x12345678)),
                          reinterpret_cast<HANDLE>(&event)};
    for (HANDLE handle : bad) {
        PresetLastError();
        EXPECT_FALSE(CloseHandle(handle));
        EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
        PresetLastError();
        EXPECT_FALSE(SetEvent(handle));
        EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
        PresetLastError();
        EXPECT_FALSE(ResetEvent(handle));
        EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
        PresetLastError();
        EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
        EXPECT_LAST_ERROR(ERROR_INVALID_HANDLE);
    }
}

TEST(WaitForMultiple, AnswersTheLowestSignalledIndex) {
    HANDLE events[3];
    for (HANDLE &e : events)
        e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(events[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    for (HANDLE e : events)
        CloseHandle(e);

    // The maximum itself is a valid count, for any and for all.
    HANDLE many[MAXIMUM_WAIT_OBJECTS];
    for (HANDLE &e : many)
        e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, FALSE, 0), WAIT_TIMEOUT);
    SetEvent(many[MAXIMUM_WAIT_OBJECTS - 1]);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, FALSE, 0),
              WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS - 1);
    for (HANDLE e : many)
        SetEvent(e);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, TRUE, 0), WAIT_OBJECT_0);
    for (HANDLE e : many)
        CloseHandle(e);
}

TEST(WaitForMultiple, WaitAllNeedsEveryObject) {
    HANDLE events[2];
    events[0] = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    events[1] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 100), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_OBJECT_0)
        << "a failed wait-all consumed nothing";
    SetEvent(events[0]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 0), WAIT_TIMEOUT) << "both were consumed";
    for (HANDLE e : events)
        CloseHandle(e);
}

TEST(WaitForMultiple, RefusesBadArguments) {
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE twice[2] = {event, event};
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE &h : many)
        h = event;
    struct Case {
        const char *legend;
        DWORD count;
        const HANDLE *handles;
        BOOL waitAll;
        DWORD error;
    } cases[] = {
        {"no handles", 0, twice, FALSE, ERROR_INVALID_PARAMETER},
#ifndef _WIN32
        // Win32 reads the array unchecked and faults; the stand-in refuses it,
        // a crash being nothing to copy.
        {"NULL array", 1, nullptr, FALSE, ERROR_INVALID_PARAMETER},
#endif
        {"above the maximum", MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, ERROR_INVALID_PARAMETER},
#ifndef _WIN32
        // Documented to fail on Windows; Wine waits on it.
        {"one handle twice, wait all", 2, twice, TRUE, ERROR_INVALID_PARAMETER},
#endif
    };
    for (const Case &c : cases) {
        PresetLastError();
        EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, c.waitAll, 0), WAIT_FAILED)
            << c.legend;
        EXPECT_LAST_ERROR(c.error) << c.legend;
    }
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0)
        << "one handle twice is fine when any will do";
    CloseHandle(event);
}

// ---------------------------------------------------------------- critical sections

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreads) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs)) << "the owner enters again";
    EnterCriticalSection(&cs);

    auto otherTries = [&] {
        BOOL entered = FALSE;
        std::thread other([&] {
            entered = TryEnterCriticalSection(&cs);
            if (entered)
                LeaveCriticalSection(&cs);
        });
        other.join();
        return entered;
    };
    EXPECT_FALSE(otherTries());
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(otherTries()) << "still held once";
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(otherTries()) << "free after the last leave";
    DeleteCriticalSection(&cs);
}

TEST(CriticalSection, GuardsACounter) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 10000; ++i) {
            EnterCriticalSection(&cs);
            EnterCriticalSection(&cs);
            ++counter;
            LeaveCriticalSection(&cs);
            LeaveCriticalSection(&cs);
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 20000);
    DeleteCriticalSection(&cs);
}

// ---------------------------------------------------------------- interlocked operations

TEST(Interlocked, AnswerTheNewOrOldValue) {
    LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 8), 9) << "no exchange: comparand differs";
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
    EXPECT_EQ(value, 1);
    value = 0x7FFFFFFF;
    EXPECT_EQ(InterlockedIncrement(&value), static_cast<LONG>(0x80000000u)) << "wraps";
}

TEST(Interlocked, CountFromManyThreads) {
    LONG volatile counter = 0;
    auto work = [&] {
        for (int i = 0; i < 10000; ++i)
            InterlockedIncrement(&counter);
    };
    std::thread a(work);
    std::thread b(work);
    std::thread c(work);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(counter, 30000);
}

} // namespace
