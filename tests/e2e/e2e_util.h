// Helpers of the end-to-end runs: the phone as a child process on a
// temporary root, its COM9 pseudo-terminal read as a navigation program
// reads it, and sentence checks written on their own terms (no project code).
#ifndef TAVRINEL_TESTS_E2E_E2E_UTIL_H
#define TAVRINEL_TESTS_E2E_E2E_UTIL_H

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

#include "phone_test_util.h"

namespace e2e {

// Shared with the phone's own tests.
using phonetest::OpenRaw;
using phonetest::ReadWholeFile;
using phonetest::TempFolder;

using Clock = std::chrono::steady_clock;

// XOR of the bytes between '$' and '*', as two upper-case hex digits.
inline std::string Checksum(const std::string &body) {
    unsigned sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    char text[3];
    std::snprintf(text, sizeof text, "%02X", sum & 0xFFu);
    return text;
}

// "$BODY*HH" with a valid checksum and printable ASCII only?
inline bool ValidSentence(const std::string &line) {
    const size_t star = line.find('*');
    if (line.size() < 4 || line[0] != '$' || star == std::string::npos || star + 3 != line.size())
        return false;
    if (!std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7F; }))
        return false;
    return line.substr(star + 1) == Checksum(line.substr(1, star - 1));
}

inline std::string Command(const std::string &body) {
    return "$" + body + "*" + Checksum(body) + "\r\n";
}

inline bool Exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// `phone --headless --install-driver` on `root`, its output in `logPath`.
// The environment's scenario and clock speed are not passed on: the
// command line decides.
class Phone {
public:
    Phone() = default;
    ~Phone() { Kill(); }
    Phone(const Phone &) = delete;
    Phone &operator=(const Phone &) = delete;

    // Answers 0 or an errno value.
    int Start(const std::string &phonePath, const std::string &root, const std::string &scenario,
              const std::string &speed, const std::string &pollMs, const std::string &logPath) {
        std::vector<std::string> args = {
            phonePath, "--headless", "--install-driver", "--root", root, "--poll-ms", pollMs};
        if (!scenario.empty())
            args.insert(args.end(), {"--scenario", scenario});
        if (!speed.empty())
            args.insert(args.end(), {"--speed", speed});
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<char *> env;
        for (char **e = environ; *e; ++e)
            if (std::strncmp(*e, "TAVRINEL_FM_SCENARIO=", 21) != 0 &&
                std::strncmp(*e, "TAVRINEL_CLOCK_SPEED=", 21) != 0)
                env.push_back(*e);
        env.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), env.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            pid_ = -1;
        return rc;
    }

    // Powers off (SIGTERM) and answers the exit status, -1 when it did not
    // end within `timeoutMs` (it is then killed).
    int PowerOff(int timeoutMs) {
        if (pid_ <= 0)
            return -1;
        kill(pid_, SIGTERM);
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) != pid_) {
            if (Clock::now() >= end) {
                Kill();
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void Kill() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    // Still running?
    bool Running() {
        if (pid_ <= 0)
            return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        return true;
    }

private:
    pid_t pid_ = -1;
};

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
