// clock.cpp — the device clock: GetTickCount, Sleep, the time-outs of every
// wait, and the calendar time.
//
// One clock runs at a speed factor (platform::SetClockSpeed, or the
// environment variable TAVRINEL_CLOCK_SPEED read at first use). Device time
// = real time since the last speed change x speed + device time at that
// change, so it is monotonic and continuous whatever the speed does.
// GetLocalTime and GetSystemTime answer the real calendar time.
#include <windows.h>

#include <platform/emulation.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "kernel.h"

namespace {

using RealClock = std::chrono::steady_clock;

struct DeviceClock {
    std::mutex lock;
    double speed = 1.0;
    RealClock::time_point realBase = RealClock::now();
    double deviceBaseMs = 0.0; // device time at realBase

    DeviceClock() {
        if (const char *env = std::getenv("TAVRINEL_CLOCK_SPEED")) {
            char *end = nullptr;
            const double value = std::strtod(env, &end);
            if (end != env && std::isfinite(value) && value > 0)
                speed = value;
        }
    }

    // Under lock.
    [[nodiscard]] double NowMsLocked() const {
        const std::chrono::duration<double, std::milli> real = RealClock::now() - realBase;
        return deviceBaseMs + real.count() * speed;
    }
};

// Never destroyed: modules still sleep and wait while the process exits.
DeviceClock &Clock() {
    static DeviceClock *clock = new DeviceClock;
    return *clock;
}

// The condition variables of the waits with a time-out that are running now,
// woken when the speed changes. Its own lock, taken with nothing else held
// by SetClockSpeed and inside a wait's own lock by the wait: no cycle.
struct SpeedWatchers {
    std::mutex lock;
    std::unordered_multiset<std::condition_variable *> waiting; // a cv may serve two waits
};

SpeedWatchers &Watchers() {
    static SpeedWatchers *watchers = new SpeedWatchers;
    return *watchers;
}

} // namespace

namespace platform {

void SetClockSpeed(double speed) {
    if (!std::isfinite(speed) || speed <= 0)
        return;
    {
        DeviceClock &clock = Clock();
        std::lock_guard guard(clock.lock);
        clock.deviceBaseMs = clock.NowMsLocked();
        clock.realBase = RealClock::now();
        clock.speed = speed;
    }
    SpeedWatchers &watchers = Watchers();
    std::lock_guard guard(watchers.lock);
    for (std::condition_variable *cv : watchers.waiting)
        cv->notify_all();
}

double GetClockSpeed() {
    DeviceClock &clock = Clock();
    std::lock_guard guard(clock.lock);
    return clock.speed;
}

} // namespace platform

namespace platform::kernel {

double DeviceNowMs() {
    DeviceClock &clock = Clock();
    std::lock_guard guard(clock.lock);
    return clock.NowMsLocked();
}

DeviceDeadline::DeviceDeadline(DWORD timeoutMs)
    : infinite_(timeoutMs == INFINITE),
      deadlineMs_(infinite_ ? 0.0 : DeviceNowMs() + static_cast<double>(timeoutMs)) {}

DeviceDeadline DeviceDeadline::At(double deviceMs) {
    DeviceDeadline deadline;
    deadline.infinite_ = false;
    deadline.deadlineMs_ = deviceMs;
    return deadline;
}

DeviceDeadline::SpeedWatch::SpeedWatch(std::condition_variable *cv) : cv_(cv) {
    if (cv_ == nullptr)
        return;
    SpeedWatchers &watchers = Watchers();
    std::lock_guard guard(watchers.lock);
    watchers.waiting.insert(cv_);
}

DeviceDeadline::SpeedWatch::~SpeedWatch() {
    if (cv_ == nullptr)
        return;
    SpeedWatchers &watchers = Watchers();
    std::lock_guard guard(watchers.lock);
    if (auto it = watchers.waiting.find(cv_); it != watchers.waiting.end())
        watchers.waiting.erase(it);
}

bool DeviceDeadline::Expired() const {
    return !infinite_ && DeviceNowMs() >= deadlineMs_;
}

std::chrono::nanoseconds DeviceDeadline::Slice() const {
    if (infinite_)
        return kMaxSlice;
    const double remainingMs = deadlineMs_ - DeviceNowMs();
    if (remainingMs <= 0)
        return std::chrono::nanoseconds(0);
    // Round up so that a wait never wakes just before its deadline.
    const double realNs = std::ceil(remainingMs / platform::GetClockSpeed() * 1e6) + 1;
    const std::chrono::nanoseconds slice(static_cast<int64_t>(std::min(realNs, 1e15)));
    return std::min<std::chrono::nanoseconds>(slice, kMaxSlice);
}

} // namespace platform::kernel

// Device milliseconds, wrapping at 2^32 (about 49.7 days) as on Windows.
DWORD WINAPI GetTickCount() {
    return static_cast<DWORD>(static_cast<uint64_t>(platform::kernel::DeviceNowMs()));
}

// Sleeps `milliseconds` device milliseconds (milliseconds / speed of real
// time). Sleep(0) gives up the rest of the time slice. Window messages and
// sent messages are not processed while a thread sleeps.
void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    const platform::kernel::DeviceDeadline deadline(milliseconds);
    if (deadline.Infinite()) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    // On a condition variable of its own, so that a speed change reaches it.
    std::mutex lock;
    std::condition_variable never;
    std::unique_lock held(lock);
    deadline.Wait(never, held, [] { return false; });
}

// ---------------------------------------------------------------- calendar time

static void FillSystemTime(LPSYSTEMTIME out, bool local) {
    if (!out)
        return;
    const auto now = std::chrono::system_clock::now();
    const auto sinceEpoch = now.time_since_epoch();
    const std::time_t seconds = static_cast<std::time_t>(
        std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count());
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count() % 1000;
    std::tm parts{};
    if (local)
        localtime_r(&seconds, &parts);
    else
        gmtime_r(&seconds, &parts);
    out->wYear = static_cast<WORD>(parts.tm_year + 1900);
    out->wMonth = static_cast<WORD>(parts.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    out->wDay = static_cast<WORD>(parts.tm_mday);
    out->wHour = static_cast<WORD>(parts.tm_hour);
    out->wMinute = static_cast<WORD>(parts.tm_min);
    out->wSecond = static_cast<WORD>(parts.tm_sec);
    out->wMilliseconds = static_cast<WORD>(millis);
}

void WINAPI GetLocalTime(LPSYSTEMTIME time) {
    FillSystemTime(time, true);
}

void WINAPI GetSystemTime(LPSYSTEMTIME time) {
    FillSystemTime(time, false);
}
