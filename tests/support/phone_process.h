// The phone as a child process of a test: `phone --headless
// --install-driver` on a root of the test's own, its output in a file.
#ifndef TAVRINEL_TESTS_SUPPORT_PHONE_PROCESS_H
#define TAVRINEL_TESTS_SUPPORT_PHONE_PROCESS_H

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace testsupport {

struct PhoneOptions {
    std::string root{};
    std::string logPath{};  // the phone's standard output and error
    std::string scenario{}; // empty: the default stations
    std::string speed{};    // empty: real time
    std::string pollMs{"5"};
    std::string moduleDir{}; // empty: as the environment says
    std::string radio{};     // empty: the default
};

// The environment's scenario and clock speed are never passed on: the
// options decide.
class PhoneProcess {
public:
    PhoneProcess() = default;
    ~PhoneProcess() { Kill(); }
    PhoneProcess(const PhoneProcess &) = delete;
    PhoneProcess &operator=(const PhoneProcess &) = delete;

    // Answers 0 or an errno value.
    int Start(const std::string &phonePath, const PhoneOptions &options) {
        std::vector<std::string> args = {phonePath,    "--headless", "--install-driver", "--root",
                                         options.root, "--poll-ms",  options.pollMs};
        if (!options.scenario.empty())
            args.insert(args.end(), {"--scenario", options.scenario});
        if (!options.speed.empty())
            args.insert(args.end(), {"--speed", options.speed});
        if (!options.radio.empty())
            args.insert(args.end(), {"--radio", options.radio});
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::string moduleVar = "TAVRINEL_MODULE_DIR=" + options.moduleDir;
        const bool ownModules = !options.moduleDir.empty();
        std::vector<char *> env;
        for (char **e = environ; *e; ++e)
            if (std::strncmp(*e, "TAVRINEL_FM_SCENARIO=", 21) != 0 &&
                std::strncmp(*e, "TAVRINEL_CLOCK_SPEED=", 21) != 0 &&
                (!ownModules || std::strncmp(*e, "TAVRINEL_MODULE_DIR=", 20) != 0))
                env.push_back(*e);
        if (ownModules)
            env.push_back(moduleVar.data());
        env.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.logPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), env.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            pid_ = -1;
        return rc;
    }

    // Powers off (SIGTERM, or another power-off signal) and answers the exit
    // status, -1 when it did not end within `timeoutMs` (it is then killed).
    int PowerOff(int timeoutMs, int signal = SIGTERM) {
        if (pid_ <= 0)
            return -1;
        kill(pid_, signal);
        return Wait(timeoutMs);
    }

    // Waits for the phone to end by itself and answers its exit status as
    // PowerOff does.
    int Wait(int timeoutMs) {
        if (pid_ <= 0)
            return -1;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) != pid_) {
            if (std::chrono::steady_clock::now() >= end) {
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

    [[nodiscard]] pid_t Pid() const { return pid_; }

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

} // namespace testsupport

#endif // TAVRINEL_TESTS_SUPPORT_PHONE_PROCESS_H
