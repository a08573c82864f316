// Stress helpers: a bound on a whole workload (a hang fails the test
// instead of holding up the run) and a reader that checks every read.
#ifndef TAVRINEL_TESTS_STRESS_STRESS_HARNESS_H
#define TAVRINEL_TESTS_STRESS_STRESS_HARNESS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_harness.h"

namespace stress {

// Runs `work` on a thread of its own; a workload still running after
// `boundSeconds` of real time is stuck (a deadlock): the test program stops
// with a message, since stuck threads cannot be joined.
inline void RunBounded(const char *what, int boundSeconds, const std::function<void()> &work) {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    std::thread runner([&] {
        work();
        std::lock_guard guard(lock);
        finished = true;
        done.notify_all();
    });
    std::unique_lock guard(lock);
    if (!done.wait_for(guard, std::chrono::seconds(boundSeconds), [&] { return finished; })) {
        std::fprintf(stderr, "STUCK: %s did not finish within %d s (deadlock?)\n", what,
                     boundSeconds);
        std::fflush(stderr);
        std::abort();
    }
    guard.unlock();
    runner.join();
}

// Reads the port with a buffer of the driver's whole size, so every read
// takes everything pending; each read must be whole valid sentences.
class Reader {
public:
    explicit Reader(HANDLE port) : port_(port) {}

    // One read; false when the device refused it.
    bool ReadOnce() {
        char buffer[2048];
        DWORD n = 0;
        if (!ReadFile(port_, buffer, sizeof buffer, &n, nullptr))
            return false;
        if (n == 0)
            return true;
        std::vector<std::string> lines;
        std::string why;
        if (!harness::SplitWhole(std::string(buffer, n), lines, why)) {
            std::lock_guard guard(lock_);
            if (bad_.empty())
                bad_ = why;
        }
        std::lock_guard guard(lock_);
        for (auto &line : lines)
            lines_.push_back(std::move(line));
        return true;
    }

    std::vector<std::string> Lines() {
        std::lock_guard guard(lock_);
        return lines_;
    }
    std::string Bad() {
        std::lock_guard guard(lock_);
        return bad_;
    }
    size_t Count(const std::string &prefix) {
        std::lock_guard guard(lock_);
        size_t n = 0;
        for (const auto &line : lines_)
            n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

private:
    HANDLE port_;
    std::mutex lock_;
    std::vector<std::string> lines_;
    std::string bad_;
};

} // namespace stress

#endif // TAVRINEL_TESTS_STRESS_STRESS_HARNESS_H
