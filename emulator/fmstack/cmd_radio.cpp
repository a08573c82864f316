// cmd_radio.cpp — a radio made of a decoder command (an SDR pipeline such as
// rtl_fm | redsea -o hex). The command is run by /bin/sh in a process group
// of its own, under a warden that ends the group when the radio or the phone
// does (even killed), with {khz} and {mhz} replaced by the tuned frequency, and
// restarted on every tune. The warden adopts whatever the command leaves behind
// (a daemon in a session of its own, a double fork) and ends it too. Its standard output carries
// one RDS group a line as hex blocks ("PI B C D", "----" for a block not decoded, an optional
// "@time" after); its standard error goes to the phone's log, each line once
// however often the command is restarted, at most kErrorLinesPerSecond a
// second. Lines not understood are counted, the count logged at most once a
// second.
//
// One reader thread per powered radio runs the command, reads both pipes as
// fast as they come and keeps the groups in a bounded buffer that the stack
// takes runs from; the stack's thread never waits for the command.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "capture.h"
#include "radio.h"

namespace fms {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxLineBytes = 512; // longer lines are garbage
constexpr std::size_t kSignalWindow = 32;  // groups the signal is taken over
constexpr auto kSignalMaxAge = std::chrono::seconds(2);
constexpr auto kFirstRestartDelay = std::chrono::milliseconds(250);
constexpr auto kMaxRestartDelay = std::chrono::seconds(30);
constexpr long kTermGraceMs = 300; // a command's time to end when asked
constexpr unsigned kDefaultDwellMs = 2000;
// A seek leaves a frequency whose command printed nothing that decodes this
// long after it started. An SDR demodulator prints a strong station's first
// group within about 300 ms; the capture player took 70 ms (at most 125) on
// two cores under a load of 15.
constexpr unsigned kDefaultQuietMs = 400;
constexpr std::size_t kMaxLoggedLine = 200;
constexpr auto kReportEvery = std::chrono::seconds(1); // counts in the log and the notice
constexpr unsigned kErrorLinesPerSecond = 20;
constexpr std::size_t kRememberedErrorLines = 64; // lines not logged again after a restart

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Control bytes of a foreign line shown escaped, so it cannot forge log lines.
std::string Printable(std::string_view text) {
    std::string out;
    for (unsigned char c : text.substr(0, kMaxLoggedLine)) {
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

class CommandRadio final : public ReceivingRadio {
public:
    CommandRadio(std::string command, std::function<void()> wake, unsigned dwellMs,
                 unsigned quietMs)
        : ReceivingRadio(true), template_(std::move(command)), wake_(std::move(wake)),
          dwellMs_(dwellMs), quietMs_(std::min(quietMs, dwellMs)) {}
    ~CommandRadio() override { powerOff(); }

    bool powerOn(std::uint32_t frequencyKHz, std::string &why) override {
        powerOff();
        control_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (control_ < 0) {
            why = std::string("eventfd: ") + std::strerror(errno);
            return false;
        }
        {
            std::lock_guard<std::mutex> guard(mutex_);
            frequencyKHz_ = frequencyKHz;
            ++generation_;
            stop_ = false;
        }
        if (!stats_.notice.latest().text.empty())
            stats_.notice.set("", ""); // the words of an earlier power-on are old
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::exception &) {
            close(control_);
            control_ = -1;
            why = kNoThread;
            return false;
        }
        return true;
    }

    void powerOff() override {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
        }
        poke();
        thread_.join();
        close(control_);
        control_ = -1;
        std::lock_guard<std::mutex> guard(mutex_);
        pending_.clear();
        recent_.clear();
        seeking_ = false;
    }

    void tune(std::uint32_t frequencyKHz, Millis) override {
        std::lock_guard<std::mutex> guard(mutex_);
        seeking_ = false;
        retuneLocked(frequencyKHz);
    }

    unsigned signal() override {
        std::lock_guard<std::mutex> guard(mutex_);
        return signalLocked();
    }

    void seekStart(std::uint32_t fromKHz, bool up, BandLimits band, unsigned, Millis) override {
        std::lock_guard<std::mutex> guard(mutex_);
        seeking_ = true;
        seekUp_ = up;
        band_ = band;
        seekFound_ = false;
        seekEnded_ = false;
        stepLocked(fromKHz);
    }

    SeekResult seekPoll(Millis, Millis &waitMs) override {
        std::lock_guard<std::mutex> guard(mutex_);
        SeekResult r;
        r.positionKHz = frequencyKHz_;
        if (!seeking_) {
            r.ended = true;
            r.found = seekFound_;
            return r;
        }
        if (piRepeated_) {
            seeking_ = false;
            seekFound_ = true;
        } else if (dwellLeftLocked() <= 0) {
            stepLocked(frequencyKHz_);
        }
        if (seeking_ && !seekEnded_) {
            waitMs =
                std::min<Millis>(waitMs, static_cast<Millis>(std::max(dwellLeftLocked(), 1LL)));
        } else {
            seeking_ = false;
        }
        r.positionKHz = frequencyKHz_;
        r.ended = !seeking_;
        r.found = seekFound_;
        return r;
    }

private:
    struct Heard {
        Clock::time_point at;
        unsigned decodedBlocks;
    };

    void retuneLocked(std::uint32_t frequencyKHz) {
        frequencyKHz_ = frequencyKHz;
        ++generation_;
        pending_.clear();
        recent_.clear();
        piSeen_.clear();
        piRepeated_ = false;
        heard_ = false;
        started_ = false;
        restartDelay_ = kFirstRestartDelay;
        poke();
    }

    // How long a seek still listens here: a quiet frequency briefly; one whose
    // command decodes something the whole dwell from its first group, however
    // slowly the command started, so that a repeated PI is not missed.
    long long dwellLeftLocked() const {
        if (!started_) // still ending the previous command: its time has not begun
            return static_cast<long long>(dwellMs_) - MsSince(dwellStart_);
        if (!heard_)
            return static_cast<long long>(quietMs_) - MsSince(dwellStart_);
        return static_cast<long long>(dwellMs_) - MsSince(firstHeard_);
    }

    // Next frequency of a seek on the 100 kHz grid; the band limit ends it.
    void stepLocked(std::uint32_t fromKHz) {
        const std::uint32_t f = NextSeekStep(fromKHz, seekUp_, band_, seekEnded_);
        dwellStart_ = Clock::now();
        retuneLocked(f);
    }

    unsigned signalLocked() {
        const auto now = Clock::now();
        while (!recent_.empty() && now - recent_.front().at > kSignalMaxAge)
            recent_.pop_front();
        unsigned decoded = 0;
        for (const Heard &h : recent_)
            decoded += h.decodedBlocks;
        // A lone group is no steady signal: count at least eight groups' blocks.
        const std::size_t blocks = std::max<std::size_t>(recent_.size(), 8) * 4;
        return static_cast<unsigned>(decoded * kMaxSignal / blocks);
    }

    std::string expand(std::uint32_t khz) const {
        char k[16], m[24];
        std::snprintf(k, sizeof k, "%u", khz);
        if (khz % 100 == 0)
            std::snprintf(m, sizeof m, "%u.%u", khz / 1000, khz % 1000 / 100);
        else if (khz % 10 == 0)
            std::snprintf(m, sizeof m, "%u.%02u", khz / 1000, khz % 1000 / 10);
        else
            std::snprintf(m, sizeof m, "%u.%03u", khz / 1000, khz % 1000);
        std::string out;
        for (std::size_t i = 0; i < template_.size();) {
            if (template_.compare(i, 5, "{khz}") == 0) {
                out += k;
                i += 5;
            } else if (template_.compare(i, 5, "{mhz}") == 0) {
                out += m;
                i += 5;
            } else {
                out += template_[i++];
            }
        }
        return out;
    }

    // One group line from the command (reader thread).
    void takeLine(std::string_view line, std::uint64_t generation) {
        rds::Group group;
        std::string why;
        const rds::LineKind kind = rds::ParseGroupLine(line, group, why);
        if (kind == rds::LineKind::Header)
            return; // blank or a log's header
        if (kind == rds::LineKind::Bad) {
            const std::uint64_t count = ++stats_.garbage;
            const auto now = Clock::now();
            if (count == 1 || now - garbageSaid_ >= kReportEvery) {
                garbageSaid_ = now;
                std::fprintf(stderr, "FMS_API: radio: %llu line(s) not understood, e.g. \"%s\"\n",
                             static_cast<unsigned long long>(count), Printable(line).c_str());
                stats_.notice.set("garbage", "radio: " + std::to_string(count) +
                                                 (count == 1 ? " line" : " lines") +
                                                 " not understood");
            }
            return;
        }
        std::vector<std::uint8_t> raw;
        rds::AppendRawGroup(group, raw);
        unsigned decoded = 0;
        for (std::size_t b = 0; b < rds::kBlocksPerGroup; ++b)
            decoded += group.blockMissing(b) ? 0 : 1;
        if (ended_ && decoded > 0) {
            ended_ = false; // a restarted command works again
            if (stats_.notice.latest().cause == "exit")
                stats_.notice.set("exit", "");
        }
        std::lock_guard<std::mutex> guard(mutex_);
        if (generation != generation_)
            return; // still the previous frequency's output
        stats_.groups++;
        stats_.droppedGroups += pending_.add(raw) / kFmsRdsGroupBytes;
        recent_.push_back({Clock::now(), decoded});
        if (decoded > 0 && !heard_) {
            heard_ = true;
            firstHeard_ = recent_.back().at;
        }
        if (recent_.size() > kSignalWindow)
            recent_.pop_front();
        if (group.missing == 0 && ++piSeen_[group.block[rds::kBlockA]] >= 2)
            piRepeated_ = true;
    }

    // One line of the command's error output (reader thread): logged unless
    // an earlier run said it already or too many came this second; the last
    // one is kept for the word said when the run ends.
    void takeErrorLine(std::string_view line) {
        const std::string text = Printable(line);
        lastError_ = text;
        if (errorsSaid_.count(text) != 0)
            return;
        if (errorsSaid_.size() < kRememberedErrorLines)
            errorsSaid_.insert(text);
        const auto now = Clock::now();
        if (now - errorWindow_ >= kReportEvery) {
            if (errorsHeld_ > 0)
                std::fprintf(stderr,
                             "FMS_API: radio: %u more line(s) of its error output not "
                             "logged\n",
                             errorsHeld_);
            errorWindow_ = now;
            errorsInWindow_ = 0;
            errorsHeld_ = 0;
        }
        if (errorsInWindow_++ < kErrorLinesPerSecond)
            std::fprintf(stderr, "FMS_API: radio: %s\n", text.c_str());
        else
            ++errorsHeld_;
    }

    // The word for a run that ended (reader thread): what it said last, and
    // when it runs again.
    void sayEnded(Clock::duration delay) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(delay).count();
        char again[48];
        std::snprintf(again, sizeof again, "restarted in %lld s",
                      static_cast<long long>((ms + 999) / 1000));
        stats_.notice.set(
            "exit",
            "radio: " + (lastError_.empty() ? std::string("its command ended") : lastError_) +
                "; " + again);
        lastError_.clear();
        ended_ = true;
    }

    // Splits a pipe's bytes into lines; overlong lines are garbage.
    struct LineBuffer {
        std::string text;
        bool overlong = false;
    };
    template <typename Fn> void feed(LineBuffer &buffer, const char *data, std::size_t n, Fn line) {
        for (std::size_t i = 0; i < n; ++i) {
            const char c = data[i];
            if (c == '\n') {
                if (buffer.overlong)
                    line(std::string_view("\x01(overlong line)"));
                else
                    line(std::string_view(buffer.text));
                buffer.text.clear();
                buffer.overlong = false;
            } else if (buffer.text.size() < kMaxLineBytes) {
                buffer.text += c;
            } else {
                buffer.overlong = true;
            }
        }
    }

    struct Child {
        pid_t pid = -1; // the group's warden, leader of the command's group
        int out = -1;
        int err = -1;
        int lifeline = -1; // its end closes when the radio ends the group or the phone dies
    };

    // The command runs under a warden: a second fork of ours that leads the
    // group and waits on the lifeline. When the lifeline's only writer closes
    // (the group is ended, or the phone died by SIGKILL or a crash and the
    // kernel closed it), the warden ends the group. A parent-death signal
    // would reach only the shell, not the rest of a pipeline, and would follow
    // the forking thread rather than the phone. The warden is a child
    // subreaper: a process that leaves the group (setsid) or loses its parent
    // (a double fork) becomes its child, and it ends its children until none
    // is left.
    bool spawn(const std::string &command, Child &child) {
        int out[2], err[2], life[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return false;
        if (pipe2(err, O_CLOEXEC) != 0) {
            close(out[0]);
            close(out[1]);
            return false;
        }
        if (pipe2(life, O_CLOEXEC) != 0) {
            for (int fd : {out[0], out[1], err[0], err[1]})
                close(fd);
            return false;
        }
        const pid_t pid = fork();
        if (pid == 0)
            Warden(command.c_str(), out[1], err[1], life[0]); // never returns
        close(out[1]);
        close(err[1]);
        close(life[0]);
        if (pid < 0) {
            close(out[0]);
            close(err[0]);
            close(life[1]);
            return false;
        }
        setpgid(pid, pid); // also here: the group must exist before any kill
        fcntl(out[0], F_SETFL, O_NONBLOCK);
        fcntl(err[0], F_SETFL, O_NONBLOCK);
        child = {pid, out[0], err[0], life[1]};
        stats_.starts++;
        return true;
    }

    // Decimal digits of `n` after `at` (no allocation: the warden may use it).
    static char *PutNumber(char *at, long n) {
        char digits[24];
        int count = 0;
        do
            digits[count++] = static_cast<char>('0' + n % 10);
        while ((n /= 10) > 0 && count < 24);
        while (count > 0)
            *at++ = digits[--count];
        *at = '\0';
        return at;
    }

    // The leading number of `text` when a blank (or the end of a name) ends
    // it, else -1: a number cut off by a full buffer is no pid.
    static long ReadNumber(const char *&text, const char *end) {
        while (text < end && *text == ' ')
            ++text;
        long n = -1;
        for (; text < end && *text >= '0' && *text <= '9' && n < 1'000'000'000; ++text)
            n = (n < 0 ? 0 : n * 10) + (*text - '0');
        return text < end && (*text == ' ' || *text == '\0') ? n : -1;
    }

    // The warden's children, up to `max` (async-signal-safe). From the
    // kernel's list of a thread's children, else from every process's parent.
    static std::size_t ChildrenOf(pid_t self, pid_t *pids, std::size_t max) {
        char path[64] = "/proc/self/task/";
        std::strcpy(PutNumber(path + 16, self), "/children");
        char text[4096];
        std::size_t count = 0;
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            const ssize_t n = read(fd, text, sizeof text);
            close(fd);
            const char *at = text, *end = text + std::max<ssize_t>(n, 0);
            for (long pid; count < max && (pid = ReadNumber(at, end)) > 0;)
                pids[count++] = static_cast<pid_t>(pid);
            return count;
        }
        fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return 0;
        alignas(8) char entries[4096];
        long n;
        while (count < max && (n = syscall(SYS_getdents64, fd, entries, sizeof entries)) > 0) {
            for (long off = 0; off < n && count < max;) {
                const auto *entry = reinterpret_cast<const dirent64 *>(entries + off);
                off += entry->d_reclen;
                const char *name = entry->d_name;
                const long pid = ReadNumber(name, name + 13);
                if (pid <= 0 || *name != '\0')
                    continue;
                std::strcpy(PutNumber(path + 6, pid), "/stat"); // "/proc/" + pid
                const int stat = open(path, O_RDONLY | O_CLOEXEC);
                if (stat < 0)
                    continue;
                const ssize_t got = read(stat, text, sizeof text);
                close(stat);
                // "pid (name) state ppid": the name may hold anything, even ')'.
                const char *paren = nullptr;
                for (const char *c = text; c < text + std::max<ssize_t>(got, 0); ++c)
                    paren = *c == ')' ? c : paren;
                if (!paren || paren + 4 >= text + got)
                    continue;
                const char *at = paren + 4;
                if (ReadNumber(at, text + got) == self)
                    pids[count++] = static_cast<pid_t>(pid);
            }
        }
        close(fd);
        return count;
    }

    // Ends every process that has come back to the warden, and the ones they
    // leave behind in turn, and reaps them.
    static void EndDescendants(pid_t self) {
        pid_t pids[256];
        const timespec tick{0, 2'000'000};
        // Ten seconds at most: a process stuck in the kernel cannot be waited for.
        for (int round = 0; round < 5000; ++round) {
            const std::size_t count = ChildrenOf(self, pids, 256);
            for (std::size_t i = 0; i < count; ++i)
                kill(pids[i], SIGKILL);
            pid_t reaped;
            while ((reaped = waitpid(-1, nullptr, WNOHANG)) > 0) {
            }
            if (reaped < 0 && errno == ECHILD)
                return;
            nanosleep(&tick, nullptr);
        }
    }

    // The forked child: only async-signal-safe calls from here on.
    [[noreturn]] static void Warden(const char *command, int out, int err, int life) {
        // The kills below name this group, never the caller's: no group, no command.
        const pid_t group = getpid();
        if (setpgid(0, 0) != 0)
            _exit(127);
        prctl(PR_SET_NAME, "radio-warden"); // not another "phone" in ps and top
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction plain {};
        plain.sa_handler = SIG_DFL;
        for (int s = 1; s < NSIG; ++s)
            sigaction(s, &plain, nullptr); // the phone's handlers and ignored signals
        const pid_t shell = _Fork();
        if (shell == 0) {
            const int in = open("/dev/null", O_RDONLY);
            if (in >= 0)
                dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            fcntl(1, F_SETFD, 0); // dup2 onto itself would keep close-on-exec
            fcntl(2, F_SETFD, 0);
            closefrom(3);
            execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
            _exit(127);
        }
        if (shell < 0)
            _exit(127); // the radio sees the output end and tries again later
        // Keep nothing but the lifeline, so the command's output ends when it does.
        if (life != 0)
            dup2(life, 0);
        closefrom(1);
        // Orphans that end while the command runs are reaped now and then.
        for (;;) {
            pollfd lifeline{0, POLLIN, 0};
            const int ready = poll(&lifeline, 1, 1000);
            if (ready < 0 && errno != EINTR)
                break;
            char c;
            const ssize_t n = ready > 0 ? read(0, &c, 1) : 1;
            if (n == 0 || (n < 0 && errno != EINTR))
                break;
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
        }
        // Politely, then for sure: the rest of a pipeline, the processes that
        // came back to the warden, and the warden itself.
        plain.sa_handler = SIG_IGN;
        sigaction(SIGTERM, &plain, nullptr);
        kill(-group, SIGTERM);
        pid_t children[256];
        const std::size_t count = ChildrenOf(group, children, 256);
        for (std::size_t i = 0; i < count; ++i)
            kill(children[i], SIGTERM);
        const timespec tick{0, 5'000'000};
        for (long waited = 0; waited < kTermGraceMs && waitpid(shell, nullptr, WNOHANG) == 0;
             waited += 5)
            nanosleep(&tick, nullptr);
        EndDescendants(group);
        kill(-group, SIGKILL);
        _exit(0);
    }

    // Ends the command's whole process group: the warden is told through the
    // lifeline; should it not end in time, the group is killed from here.
    static void end(Child &child) {
        if (child.lifeline >= 0)
            close(child.lifeline);
        if (child.pid > 0) {
            const auto deadline = Clock::now() + std::chrono::milliseconds(kTermGraceMs + 200);
            int status = 0;
            pid_t done = 0;
            while ((done = waitpid(child.pid, &status, WNOHANG)) == 0 && Clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (done == 0) {
                kill(-child.pid, SIGKILL);
                waitpid(child.pid, &status, 0);
            }
        }
        if (child.out >= 0)
            close(child.out);
        if (child.err >= 0)
            close(child.err);
        child = Child{};
    }

    void run() {
        Child child;
        std::uint64_t running = 0; // generation the child plays
        Clock::time_point restartAt = Clock::now();
        LineBuffer outLines, errLines;
        char buffer[8192];
        for (;;) {
            std::uint64_t generation;
            std::uint32_t khz;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                if (stop_)
                    break;
                generation = generation_;
                khz = frequencyKHz_;
            }
            if (child.pid > 0 && running != generation) {
                end(child);
                outLines = {};
                errLines = {};
                restartAt = Clock::now();
            }
            if (child.pid < 0 && Clock::now() >= restartAt) {
                running = generation;
                if (spawn(expand(khz), child)) {
                    // A seek's time counts from when the command runs, however slow the start.
                    std::lock_guard<std::mutex> guard(mutex_);
                    if (generation == generation_ && !started_) {
                        started_ = true;
                        dwellStart_ = Clock::now();
                    }
                } else {
                    const std::string why =
                        std::string("cannot start the command: ") + std::strerror(errno);
                    std::fprintf(stderr, "FMS_API: radio: %s\n", why.c_str());
                    stats_.notice.set("start", "radio: " + why);
                    restartAt = Clock::now() + kMaxRestartDelay;
                }
            }
            pollfd fds[3] = {{control_, POLLIN, 0}, {child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
            int timeout = -1;
            if (child.pid < 0)
                timeout = static_cast<int>(std::max<long long>(
                    0,
                    std::chrono::duration_cast<std::chrono::milliseconds>(restartAt - Clock::now())
                        .count()));
            if (poll(fds, 3, timeout) < 0 && errno != EINTR)
                break;
            if (fds[0].revents & POLLIN) {
                std::uint64_t v;
                [[maybe_unused]] ssize_t n = read(control_, &v, sizeof v);
            }
            bool news = false;
            if (fds[2].revents & (POLLIN | POLLHUP)) {
                const ssize_t n = read(child.err, buffer, sizeof buffer);
                if (n > 0)
                    feed(errLines, buffer, static_cast<std::size_t>(n),
                         [&](std::string_view l) { takeErrorLine(l); });
                else if (n == 0) {
                    close(child.err);
                    child.err = -1;
                }
            }
            if (fds[1].revents & (POLLIN | POLLHUP)) {
                const ssize_t n = read(child.out, buffer, sizeof buffer);
                if (n > 0) {
                    feed(outLines, buffer, static_cast<std::size_t>(n),
                         [&](std::string_view l) { takeLine(l, running); });
                    news = true;
                } else if (n == 0) {
                    // The command ended: again after a growing pause.
                    end(child);
                    outLines = {};
                    errLines = {};
                    std::lock_guard<std::mutex> guard(mutex_);
                    stats_.exits++;
                    restartAt = Clock::now() + restartDelay_;
                    sayEnded(restartDelay_);
                    restartDelay_ = std::min<Clock::duration>(restartDelay_ * 2, kMaxRestartDelay);
                }
            }
            if (news)
                wake_();
        }
        end(child);
    }

    const std::string template_;
    const std::function<void()> wake_;
    const unsigned dwellMs_;
    const unsigned quietMs_;
    std::thread thread_;
    // the reader thread's own
    Clock::time_point garbageSaid_;
    std::set<std::string> errorsSaid_;
    std::string lastError_;
    Clock::time_point errorWindow_;
    unsigned errorsInWindow_ = 0, errorsHeld_ = 0;
    bool ended_ = false; // the last run ended; the next one has not decoded yet

    // mutex_ (ReceivingRadio) guards everything below
    bool stop_ = false;
    std::uint64_t generation_ = 0; // counts tunes: output of an older one is dropped
    std::uint32_t frequencyKHz_ = 0;
    Clock::duration restartDelay_ = kFirstRestartDelay;
    std::deque<Heard> recent_;
    std::map<std::uint16_t, unsigned> piSeen_;
    bool piRepeated_ = false;
    bool seekUp_ = true;
    bool seekFound_ = false;
    bool seekEnded_ = false; // the last step reached the band limit
    BandLimits band_{};
    Clock::time_point dwellStart_; // when the seek's command for this frequency started
    bool started_ = false;         // the command of this frequency runs
    bool heard_ = false;           // it printed a group with a decoded block
    Clock::time_point firstHeard_;
};

// Milliseconds from the environment, 10 to 60000; otherwise the default.
unsigned EnvMs(const char *name, unsigned fallback) {
    const char *env = std::getenv(name); // NOLINT(concurrency-mt-unsafe): read at radio creation
    if (!env)
        return fallback;
    char *end = nullptr;
    const unsigned long v = std::strtoul(env, &end, 10);
    return end != env && *end == '\0' && v >= 10 && v <= 60000 ? static_cast<unsigned>(v)
                                                               : fallback;
}

} // namespace

std::unique_ptr<Radio> MakeCommandRadio(const std::string &command, std::function<void()> wake,
                                        std::string &why) {
    if (command.find_first_not_of(" \t") == std::string::npos) {
        why = "no command given after cmd:";
        return nullptr;
    }
    const unsigned dwellMs = EnvMs("TAVRINEL_FM_SEEK_DWELL_MS", kDefaultDwellMs);
    const unsigned quietMs = EnvMs("TAVRINEL_FM_SEEK_QUIET_MS", kDefaultQuietMs);
    return std::make_unique<CommandRadio>(command, std::move(wake), dwellMs, quietMs);
}

} // namespace fms
