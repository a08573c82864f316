// Helpers of the phone's tests: waiting with a bound, reading a terminal,
// temporary folders.
#ifndef TAVRINEL_TESTS_PHONE_TEST_UTIL_H
#define TAVRINEL_TESTS_PHONE_TEST_UTIL_H

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "support/temp_folder.h"

namespace phonetest {

// Polls `done` until it holds or `timeoutMs` of real time pass.
inline bool WaitUntil(const std::function<bool()> &done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Reads until `out` holds `count` bytes or `timeoutMs` pass.
inline void ReadFor(int fd, std::string &out, size_t count, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            return;
        const size_t want = std::min(sizeof buffer, count - out.size());
        const ssize_t n = read(fd, buffer, want);
        if (n <= 0)
            return;
        out.append(buffer, static_cast<size_t>(n));
    }
}

// Opens a serial port as a navigation program does: read-write, not as the
// controlling terminal, raw.
inline int OpenRaw(const std::string &path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return fd;
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

using testsupport::TempFolder;

// Is there anything at `path` (a link counts, followed or not)?
inline bool Exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

inline std::string ReadWholeFile(const std::string &path) {
    std::string text;
    FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return text;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    std::fclose(file);
    return text;
}

} // namespace phonetest

#endif // TAVRINEL_TESTS_PHONE_TEST_UTIL_H
