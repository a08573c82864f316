// kernel.h — what the kernel sources of libplatform share privately: the
// device clock and its waits, thread ids, thread-exit hooks, the ANSI code
// page, and case-insensitive file lookup.
#ifndef TAVRINEL_PLATFORM_KERNEL_H
#define TAVRINEL_PLATFORM_KERNEL_H

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>

namespace platform::kernel {

// ---------------------------------------------------------------- device clock (clock.cpp)

// Milliseconds on the device clock since its first use: real time scaled by
// the clock speed, monotonic and continuous across speed changes.
double DeviceNowMs();

// A time-out on the device clock. A wait sleeps the real time its deadline
// is away; a clock speed change wakes every running wait to look again. In
// case a change slips in between a wait's reckoning and its sleep, no slice
// is longer than kMaxSlice. Waking only for that keeps an idle thread idle.
class DeviceDeadline {
public:
    static constexpr std::chrono::milliseconds kMaxSlice{1000};

    // `timeoutMs` device milliseconds from now; INFINITE never expires.
    explicit DeviceDeadline(DWORD timeoutMs);
    // An absolute point on the device clock (DeviceNowMs units).
    static DeviceDeadline At(double deviceMs);
    static DeviceDeadline Never() { return DeviceDeadline(INFINITE); }

    [[nodiscard]] bool Infinite() const { return infinite_; }
    [[nodiscard]] bool Expired() const;
    // Real time to wait before looking again (at most kMaxSlice).
    [[nodiscard]] std::chrono::nanoseconds Slice() const;

    // Waits on `cv` (with `lock` held) until `ready()` or the deadline.
    // Answers ready(); checks once even when the deadline has passed.
    template <class Ready>
    bool Wait(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, Ready ready) const {
        const SpeedWatch watch(infinite_ ? nullptr : &cv);
        while (!ready()) {
            if (infinite_) {
                cv.wait(lock);
            } else {
                if (Expired())
                    return ready();
                cv.wait_for(lock, Slice());
            }
        }
        return true;
    }

private:
    // Registers a waiting condition variable for the speed-change wake.
    class SpeedWatch {
    public:
        explicit SpeedWatch(std::condition_variable *cv);
        ~SpeedWatch();
        SpeedWatch(const SpeedWatch &) = delete;
        SpeedWatch &operator=(const SpeedWatch &) = delete;

    private:
        std::condition_variable *cv_;
    };

    DeviceDeadline() = default;
    bool infinite_ = true;
    double deadlineMs_ = 0;
};

// ---------------------------------------------------------------- threads (thread.cpp)

// Small stable nonzero id of the calling thread, allocated at first use.
DWORD CurrentThreadId();
// A fresh id for a thread that CreateThread is about to start.
DWORD AllocateThreadId();
// The new thread takes the id that CreateThread reported (first thing it does).
void AdoptThreadId(DWORD id);

// Releases the calling thread's message queue and destroys its windows
// (messages.cpp). Runs when a thread ends: explicitly in threads started by
// CreateThread (before their handle is signalled), else from a thread_local
// destructor.
void ReleaseThreadMessageState();

// ---------------------------------------------------------------- text (codepage.cpp)

// The ANSI code page (Windows-1252) in both directions; unmappable wide
// characters become '?'.
std::u16string AnsiToWide(std::string_view ansi);
std::string WideToAnsi(std::u16string_view wide);

// ---------------------------------------------------------------- files (devroot.cpp)

// Host path of the entry `name` in `dir`: the exact name when it exists,
// else the first entry whose name matches without regard to case, else
// the exact name (which does not exist). The device's file system is
// case-insensitive; the host's is not.
std::string FindEntryIgnoreCase(const std::string &dir, const std::string &name);

} // namespace platform::kernel

#endif // TAVRINEL_PLATFORM_KERNEL_H
