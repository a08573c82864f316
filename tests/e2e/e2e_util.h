// Helpers of the end-to-end runs: the phone as a child process on a
// temporary root, its COM9 pseudo-terminal read as a navigation program
// reads it, and sentence checks written on their own terms (no project code).
#ifndef TAVRINEL_TESTS_E2E_E2E_UTIL_H
#define TAVRINEL_TESTS_E2E_E2E_UTIL_H

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "phone_test_util.h"
#include "support/phone_process.h"
#include "support/sentences.h"

namespace e2e {

// Shared with the phone's own tests.
using phonetest::Exists;
using phonetest::OpenRaw;
using phonetest::ReadWholeFile;
using phonetest::TempFolder;
using testsupport::Checksum;
using testsupport::Command;
using testsupport::ValidSentence;
using Phone = testsupport::PhoneProcess;
using testsupport::PhoneOptions;

using Clock = std::chrono::steady_clock;

// Splits what the port sends into "\r\n"-ended lines. A line longer than
// kMaxLine without an end is cut there (and then fails every check).
class LineReader {
public:
    static constexpr size_t kMaxLine = 512;

    explicit LineReader(int fd) : fd_(fd) {}

    // Waits up to `timeoutMs` for data and appends the complete lines to
    // `lines`; answers false when the port has closed or failed.
    bool Read(std::vector<std::string> &lines, int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, timeoutMs);
        if (ready < 0)
            return errno == EINTR;
        if (ready == 0)
            return true;
        char buffer[4096];
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n < 0)
            return errno == EINTR || errno == EAGAIN;
        if (n == 0)
            return false;
        bytes_ += static_cast<size_t>(n);
        for (ssize_t i = 0; i < n; ++i) {
            partial_.push_back(buffer[i]);
            if (partial_.size() >= 2 && partial_[partial_.size() - 2] == '\r' &&
                partial_.back() == '\n') {
                partial_.resize(partial_.size() - 2);
                lines.push_back(std::move(partial_));
                partial_.clear();
            } else if (partial_.size() > kMaxLine) {
                lines.push_back(std::move(partial_));
                partial_.clear();
            }
        }
        return true;
    }

    [[nodiscard]] size_t Bytes() const { return bytes_; }

private:
    int fd_;
    std::string partial_;
    size_t bytes_ = 0;
};

} // namespace e2e

#endif // TAVRINEL_TESTS_E2E_E2E_UTIL_H
