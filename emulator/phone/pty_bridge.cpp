// pty_bridge.cpp — pseudo-terminals in front of the phone's COM devices
// (see pty_bridge.h for the rules).
#include "pty_bridge.h"

#include "boot.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <platform/devices.h>
#include <platform/emulation.h>

namespace phone {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kIdleCheckMs = 50;       // how soon a program's open is noticed
constexpr size_t kChunkBytes = 4096;   // one read of the terminal
constexpr int kMaxReadsPerWake = 16;   // bound the work of one wake-up
constexpr size_t kMaxPortDigits = 3;   // "COM" + up to three digits
constexpr size_t kMaxPathBytes = 4096; // a readlink answer longer than this is not ours

void Report(FILE *out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void Report(FILE *out, const char *format, ...) {
    if (!out)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(out, format, args);
    va_end(args);
    std::fflush(out);
}

std::string Errno() {
    return std::strerror(errno);
}

// Answers the target of the symbolic link at `path`, or "" when it is none.
std::string LinkTarget(const std::string &path) {
    std::vector<char> buffer(kMaxPathBytes + 1);
    const ssize_t n = readlink(path.c_str(), buffer.data(), kMaxPathBytes);
    if (n <= 0 || static_cast<size_t>(n) >= kMaxPathBytes)
        return {};
    return std::string(buffer.data(), static_cast<size_t>(n));
}

// Makes `linkPath` a symbolic link to `target`. Only a symbolic link is
// ever replaced, and atomically (a new link renamed over it).
bool PlaceLink(const std::string &linkPath, const std::string &target, std::string &error) {
    struct stat st {};
    if (lstat(linkPath.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            error = linkPath + ": " + Errno();
            return false;
        }
        if (symlink(target.c_str(), linkPath.c_str()) != 0) {
            error = "cannot create " + linkPath + ": " + Errno();
            return false;
        }
        return true;
    }
    if (!S_ISLNK(st.st_mode)) {
        error = linkPath + " exists and is not a symbolic link; not touching it (move it "
                           "away and the port is served at the next check)";
        return false;
    }
    const std::string fresh = linkPath + ".new";
    struct stat freshSt {};
    if (lstat(fresh.c_str(), &freshSt) == 0) {
        if (!S_ISLNK(freshSt.st_mode)) {
            error = fresh + " exists and is not a symbolic link; not touching it";
            return false;
        }
        unlink(fresh.c_str());
    }
    if (symlink(target.c_str(), fresh.c_str()) != 0) {
        error = "cannot create " + fresh + ": " + Errno();
        return false;
    }
    if (rename(fresh.c_str(), linkPath.c_str()) != 0) {
        error = "cannot replace " + linkPath + ": " + Errno();
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

// Removes `linkPath` only if it is still our link to `target`.
void RemoveLink(const std::string &linkPath, const std::string &target) {
    struct stat st {};
    if (lstat(linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && LinkTarget(linkPath) == target)
        unlink(linkPath.c_str());
}

} // namespace

// ---------------------------------------------------------------- one port

class PortBridge {
public:
    PortBridge(std::u16string deviceName, std::string name, std::string linkPath, int pollMs,
               FILE *messages)
        : deviceName_(std::move(deviceName)), name_(std::move(name)),
          linkPath_(std::move(linkPath)), pollMs_(pollMs), messages_(messages) {}

    ~PortBridge() {
        Stop();
        if (master_ >= 0)
            close(master_);
        for (int fd : stopPipe_)
            if (fd >= 0)
                close(fd);
        if (radioWake_ >= 0)
            close(radioWake_);
    }

    // Creates the pseudo-terminal and the link.
    bool Create(std::string &error) {
        if (pipe2(stopPipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
            error = "pipe: " + Errno();
            return false;
        }
        radioWake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (radioWake_ < 0) {
            error = "eventfd: " + Errno();
            return false;
        }
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0) {
            error = "posix_openpt: " + Errno();
            return false;
        }
        char slave[256] = {};
        if (fcntl(master_, F_SETFD, FD_CLOEXEC) != 0 ||
            fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK) != 0 ||
            grantpt(master_) != 0 || unlockpt(master_) != 0 ||
            ptsname_r(master_, slave, sizeof slave) != 0) {
            error = "pseudo-terminal: " + Errno();
            return false;
        }
        slavePath_ = slave;
        // Owner only: the port's data is the user's.
        if (chmod(slavePath_.c_str(), 0600) != 0) {
            error = "chmod " + slavePath_ + ": " + Errno();
            return false;
        }
        if (!ResetTerminal(error))
            return false;
        if (!PlaceLink(linkPath_, slavePath_, error))
            return false;
        linked_ = true;
        return true;
    }

    void Start() {
        thread_ = std::thread([this] { Run(); });
    }

    // Asks the thread to stop; it closes the device if a program has it
    // open.
    void RequestStop() {
        if (stopPipe_[1] >= 0) {
            const char byte = 1;
            [[maybe_unused]] ssize_t n = write(stopPipe_[1], &byte, 1);
        }
    }

    // The radio has delivered: a program's port reads its device now. If the
    // port could read but has not yet done so since the previous wake, the
    // caller (the stack's thread) first waits for that read, at most
    // kCatchUpMs: a stack that outruns a reader kept from running fills the
    // driver's buffer, which then drops what it holds, while a stack held
    // back a little loses nothing (a terminal that stops taking bytes holds
    // the read back, and with it the stack). A port writing a command to
    // the device, which may need the stack's thread, is never waited for.
    void Wake() {
        {
            std::unique_lock guard(flowLock_);
            if (canRead_ && served_ < wakes_)
                flow_.wait_for(guard, std::chrono::milliseconds(kCatchUpMs),
                               [this] { return !canRead_ || served_ >= wakes_; });
            ++wakes_;
        }
        if (radioWake_ >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] ssize_t n = write(radioWake_, &one, sizeof one);
        }
    }

    // Stops the thread and removes the link.
    void Stop() {
        if (thread_.joinable()) {
            RequestStop();
            thread_.join();
        }
        if (linked_) {
            RemoveLink(linkPath_, slavePath_);
            linked_ = false;
        }
    }

    [[nodiscard]] ServedPort Info() const { return {name_, linkPath_, slavePath_}; }

    // The device went away. A program holding the port hears it plainly,
    // once, whether this or the port's own failing read tells first.
    void ReportGone() {
        if (!serving_.load())
            Report(messages_, "%s: no longer active, not served\n", name_.c_str());
        else
            ReportUnloadedWhileOpen();
    }

private:
    // Raw mode and empty queues for the next program. Opening the slave
    // briefly is the only way to reach its settings; it is closed again so
    // that the master reports the hang-up.
    bool ResetTerminal(std::string &error) {
        const int slave = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) {
            error = "open " + slavePath_ + ": " + Errno();
            return false;
        }
        struct termios tio {};
        bool ok = tcgetattr(slave, &tio) == 0;
        if (ok) {
            cfmakeraw(&tio);
            cfsetispeed(&tio, B4800);
            cfsetospeed(&tio, B4800);
            ok = tcsetattr(slave, TCSANOW, &tio) == 0;
        }
        if (!ok)
            error = "raw mode on " + slavePath_ + ": " + Errno();
        tcflush(slave, TCIOFLUSH);
        close(slave);
        return ok;
    }

    // Answers true when asked to stop.
    bool StopRequested(int timeoutMs) {
        pollfd fd{stopPipe_[0], POLLIN, 0};
        return poll(&fd, 1, timeoutMs) > 0;
    }

    // Answers whether a program has the terminal open, or had it and left
    // bytes behind: a writer that closes at once (`printf ... > COM9`) is
    // gone before the next check, yet what it wrote must reach the device,
    // as on a serial line. The master keeps those bytes readable after the
    // hang-up until they are read.
    bool ProgramAttached() {
        pollfd fd{master_, POLLIN, 0};
        if (poll(&fd, 1, 0) < 0)
            return false;
        return (fd.revents & POLLHUP) == 0 || (fd.revents & POLLIN) != 0;
    }

    void Run() {
        for (;;) {
            // Idle: no program has the terminal. The master reports the
            // hang-up at once, so look again at a short interval instead.
            while (!ProgramAttached())
                if (StopRequested(kIdleCheckMs))
                    return;
            Report(messages_, "%s: opened by a program\n", name_.c_str());
            const bool stop = Serve();
            Report(messages_, "%s: closed\n", name_.c_str());
            std::string error;
            if (!ResetTerminal(error))
                Report(messages_, "%s: %s\n", name_.c_str(), error.c_str());
            if (stop)
                return;
        }
    }

    enum class Drain { More, Empty, HungUp };

    // Reads what the program wrote (at most one chunk).
    Drain ReadTerminal(std::vector<char> &chunk) {
        chunk.resize(kChunkBytes);
        const ssize_t n = read(master_, chunk.data(), chunk.size());
        if (n > 0) {
            chunk.resize(static_cast<size_t>(n));
            return Drain::More;
        }
        chunk.clear();
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return Drain::Empty;
        return Drain::HungUp; // EIO: the last program closed the terminal
    }

    // Writes as much pending data as the terminal takes.
    bool FlushPending() {
        while (!pending_.empty()) {
            const ssize_t n = write(master_, pending_.data(), pending_.size());
            if (n > 0) {
                pending_.erase(pending_.begin(), pending_.begin() + n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return true;
            return false;
        }
        return true;
    }

    // Hands every byte to the device; answers false when the device fails.
    bool WriteDevice(HANDLE device, const std::vector<char> &data) {
        size_t done = 0;
        while (done < data.size()) {
            DWORD written = 0;
            const DWORD count =
                static_cast<DWORD>(std::min<size_t>(data.size() - done, kChunkBytes));
            if (!WriteFile(device, data.data() + done, count, &written, nullptr) || written == 0 ||
                written > count) {
                deviceError_ = GetLastError();
                return false;
            }
            done += written;
        }
        return true;
    }

    // Reads the device into the pending buffer, as far as it has room, and
    // again at once while reads come back full (bounded): what the driver
    // queued during one read goes out with it. `drained` tells whether a
    // short read showed the device empty; if not, it is read again when
    // there is room.
    bool ReadDevice(HANDLE device, bool &drained) {
        drained = false;
        for (int i = 0; i < kMaxReadsPerWake; ++i) {
            const size_t room = kPendingBytes - std::min(pending_.size(), kPendingBytes);
            if (room == 0)
                return true;
            DWORD got = 0;
            if (!ReadFile(device, readBuffer_.data(), static_cast<DWORD>(room), &got, nullptr)) {
                deviceError_ = GetLastError();
                return false;
            }
            got = std::min<DWORD>(got, static_cast<DWORD>(room));
            pending_.insert(pending_.end(), readBuffer_.begin(), readBuffer_.begin() + got);
            if (got < room) {
                drained = true;
                return true;
            }
        }
        return true;
    }

    // Whether a wake now would be followed by a read (see Wake).
    void SetCanRead(bool can) {
        std::lock_guard guard(flowLock_);
        if (canRead_ != can) {
            canRead_ = can;
            flow_.notify_all();
        }
    }
    [[nodiscard]] uint64_t WakesSoFar() {
        std::lock_guard guard(flowLock_);
        return wakes_;
    }
    // A read that began after `wakes` wake-ups has taken their data.
    void Served(uint64_t wakes) {
        std::lock_guard guard(flowLock_);
        if (wakes > served_) {
            served_ = wakes;
            flow_.notify_all();
        }
    }

    // Forgets the radio's wake-ups counted so far.
    void TakeWake() {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t n = read(radioWake_, &count, sizeof count);
    }

    // A program has the terminal open: bridge it to the device until it
    // closes the terminal. Answers true when asked to stop.
    //
    // COM_Read never blocks, so the device is read when there can be
    // something to read: when the radio's stack signals that it delivered
    // events, right after the program wrote (a command's answer), and, as a
    // safety net, once a poll interval has passed without any read.
    bool Serve() {
        const std::u16string name = deviceName_;
        HANDLE device = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (device == INVALID_HANDLE_VALUE || device == nullptr) {
            Report(messages_, "%s: the device refused the open (error %lu)\n", name_.c_str(),
                   static_cast<unsigned long>(GetLastError()));
            return DiscardUntilClosed();
        }
        pending_.clear();
        deviceError_ = ERROR_SUCCESS;
        unloadReported_.store(false);
        serving_.store(true);
        TakeWake(); // what the radio did before the program came is in the first read
        Served(WakesSoFar());
        bool stop = false;
        bool deviceOk = true;
        bool readWanted = true; // the first read takes what the open produced
        const auto interval = std::chrono::milliseconds(pollMs_);
        auto nextRead = Clock::now() + interval;
        std::vector<char> chunk;
        while (deviceOk) {
            if (readWanted && pending_.size() < kPendingBytes) {
                bool drained = false;
                const uint64_t wakes = WakesSoFar();
                deviceOk = ReadDevice(device, drained);
                readWanted = !drained;
                nextRead = Clock::now() + interval;
                if (!deviceOk || !FlushPending())
                    break;
                Served(wakes);
            }
            SetCanRead(true); // reads as soon as the terminal has room
            // A device still holding data is read again at once when the
            // terminal has room; otherwise wait for the terminal, the radio,
            // the stop request or the safety net. Waits to the nanosecond: a
            // wait in whole milliseconds is either cut (and spins out the
            // last fraction) or rounded up (and makes the read late).
            const bool readNow = readWanted && pending_.size() < kPendingBytes;
            const auto wait = readNow ? Clock::duration::zero()
                                      : std::max<Clock::duration>(Clock::duration::zero(),
                                                                  nextRead - Clock::now());
            const auto seconds = std::chrono::floor<std::chrono::seconds>(wait);
            const timespec timeout{
                static_cast<time_t>(seconds.count()),
                static_cast<long>(std::chrono::nanoseconds(wait - seconds).count())};
            pollfd fds[3] = {
                {master_, static_cast<short>(POLLIN | (pending_.empty() ? 0 : POLLOUT)), 0},
                {stopPipe_[0], POLLIN, 0},
                {radioWake_, POLLIN, 0}};
            if (ppoll(fds, 3, &timeout, nullptr) < 0 && errno != EINTR)
                break;
            if (fds[1].revents & POLLIN) {
                stop = true;
                break;
            }
            if (fds[2].revents & POLLIN) {
                TakeWake();
                readWanted = true;
            }
            bool hungUp = false;
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                SetCanRead(false); // a write may wait for the stack's thread
                for (int i = 0; i < kMaxReadsPerWake; ++i) {
                    const Drain d = ReadTerminal(chunk);
                    if (d == Drain::HungUp)
                        hungUp = true;
                    if (d != Drain::More)
                        break;
                    if (!WriteDevice(device, chunk)) {
                        deviceOk = false;
                        break;
                    }
                    readWanted = true;
                }
            }
            if (hungUp || !deviceOk)
                break;
            if (!FlushPending())
                break;
            const auto now = Clock::now();
            if (now >= nextRead) {
                readWanted = true;
                nextRead = now + interval; // also when the terminal has no room
            }
        }
        if (!deviceOk && deviceError_ == ERROR_DEVICE_REMOVED)
            ReportUnloadedWhileOpen();
        else if (!deviceOk)
            Report(messages_, "%s: the device failed (error %lu); closing it\n", name_.c_str(),
                   static_cast<unsigned long>(deviceError_));
        SetCanRead(false); // the close may wait for the stack's thread
        CloseHandle(device);
        serving_.store(false);
        pending_.clear();
        if (!deviceOk && !stop)
            stop = DiscardUntilClosed();
        return stop;
    }

    void ReportUnloadedWhileOpen() {
        if (!unloadReported_.exchange(true))
            Report(messages_, "%s: the driver was unloaded while the port was open; closing it\n",
                   name_.c_str());
    }

    // Without a device: swallow what the program writes until it closes
    // the terminal. Answers true when asked to stop.
    bool DiscardUntilClosed() {
        std::vector<char> chunk;
        for (;;) {
            pollfd fds[2] = {{master_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR)
                return true;
            if (fds[1].revents & POLLIN)
                return true;
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                Drain d = Drain::More;
                for (int i = 0; i < kMaxReadsPerWake && d == Drain::More; ++i)
                    d = ReadTerminal(chunk);
                if (d == Drain::HungUp)
                    return false;
            }
        }
    }

    const std::u16string deviceName_;
    const std::string name_;
    const std::string linkPath_;
    const int pollMs_;
    FILE *const messages_;
    int master_ = -1;
    int stopPipe_[2] = {-1, -1};
    int radioWake_ = -1; // eventfd: the radio delivered
    std::string slavePath_;
    bool linked_ = false;
    std::thread thread_;
    DWORD deviceError_ = ERROR_SUCCESS; // why the last device call failed
    std::atomic<bool> serving_{false};  // a program has the device open through us
    // The stack's wakes against this port's reads (see Wake).
    std::mutex flowLock_;
    std::condition_variable flow_;
    uint64_t wakes_ = 0;   // wake-ups given
    uint64_t served_ = 0;  // wake-ups whose data a read has taken
    bool canRead_ = false; // serving, with room for what the device holds
    std::atomic<bool> unloadReported_{false};
    std::vector<char> pending_;                    // device bytes the terminal has not taken yet
    std::array<char, kPendingBytes> readBuffer_{}; // one ReadFile's bytes
};

// ---------------------------------------------------------------- all ports

bool PortLinkName(const std::u16string &deviceName, std::string &linkName) {
    const size_t n = deviceName.size();
    if (n < 5 || n > 4 + kMaxPortDigits || deviceName.compare(0, 3, u"COM") != 0 ||
        deviceName[n - 1] != u':')
        return false;
    std::string name = "COM";
    for (size_t i = 3; i + 1 < n; ++i) {
        if (deviceName[i] < u'0' || deviceName[i] > u'9')
            return false;
        name += static_cast<char>(deviceName[i]);
    }
    linkName = name;
    return true;
}

PtyBridge::PtyBridge(BridgeOptions options) : options_(std::move(options)) {
    options_.pollMs = std::clamp(options_.pollMs, 1, 1000);
    options_.rescanMs = std::clamp(options_.rescanMs, 10, 10000);
}

PtyBridge::~PtyBridge() {
    Stop();
}

bool PtyBridge::Start(std::string &error) {
    devDir_ = options_.root + "/dev";
    if (mkdir(devDir_.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + devDir_ + ": " + Errno();
        return false;
    }
    // The links must live in a folder of ours: never follow a link here.
    struct stat st {};
    if (lstat(devDir_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
        error = devDir_ + " is not a folder of this user";
        return false;
    }
    if ((st.st_mode & 077) != 0 && chmod(devDir_.c_str(), 0700) != 0) {
        error = "cannot restrict " + devDir_ + ": " + Errno();
        return false;
    }
    platform::WatchActiveDevices(&PtyBridge::DevicesChanged, this);
    Rescan();
    watcher_ = std::thread([this] { Watch(); });
    return true;
}

void PtyBridge::DevicesChanged(void *self) {
    auto *bridge = static_cast<PtyBridge *>(self);
    {
        std::lock_guard guard(bridge->lock_);
        bridge->changed_ = true;
    }
    bridge->wake_.notify_all();
}

void PtyBridge::Stop() {
    platform::WatchActiveDevices(nullptr, this);
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (watcher_.joinable())
        watcher_.join();
    std::lock_guard rescan(rescanLock_);
    std::map<std::string, Entry> ports;
    {
        std::lock_guard guard(lock_);
        ports.swap(ports_);
    }
    // Ask all first: a port that is opening its device finishes that open
    // before it can stop, and the others need not wait in line behind it.
    for (auto &[name, entry] : ports)
        entry.bridge->RequestStop();
    for (auto &[name, entry] : ports)
        entry.bridge.reset();
}

void PtyBridge::Watch() {
    for (;;) {
        {
            std::unique_lock guard(lock_);
            wake_.wait_for(guard, std::chrono::milliseconds(options_.rescanMs),
                           [this] { return stopping_ || changed_; });
            if (stopping_)
                return;
            changed_ = false;
        }
        Rescan();
    }
}

void PtyBridge::Rescan() {
    std::lock_guard rescan(rescanLock_);
    std::map<std::string, HANDLE> wanted;
    std::map<std::string, std::u16string> deviceNames;
    for (const auto &device : platform::ListActiveDevices()) {
        std::string link;
        if (PortLinkName(device.name, link)) {
            wanted[link] = device.handle;
            deviceNames[link] = device.name;
        }
    }
    // Ports that went away, or came back as another device.
    std::vector<std::unique_ptr<PortBridge>> gone;
    {
        std::lock_guard guard(lock_);
        for (auto it = ports_.begin(); it != ports_.end();) {
            auto w = wanted.find(it->first);
            if (w == wanted.end() || w->second != it->second.device) {
                it->second.bridge->ReportGone();
                gone.push_back(std::move(it->second.bridge));
                it = ports_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = refused_.begin(); it != refused_.end();) {
            auto w = wanted.find(it->first);
            it = (w == wanted.end() || w->second != it->second) ? refused_.erase(it) : ++it;
        }
    }
    gone.clear(); // stops them, outside the lock

    for (const auto &[link, handle] : wanted) {
        {
            std::lock_guard guard(lock_);
            if (stopping_)
                return;
            if (ports_.count(link))
                continue;
        }
        const std::string linkPath = devDir_ + "/" + link;
        std::string error;
        struct stat st {};
        if (lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            // Checked before making a terminal, so that a refused port costs
            // nothing at each check.
            error = linkPath + " exists and is not a symbolic link; not touching it (move it "
                               "away and the port is served at the next check)";
        }
        auto bridge = error.empty()
                          ? std::make_unique<PortBridge>(deviceNames[link], link, linkPath,
                                                         options_.pollMs, options_.messages)
                          : nullptr;
        if (!bridge || !bridge->Create(error)) {
            bridge.reset();
            std::lock_guard guard(lock_);
            auto r = refused_.find(link);
            if (r == refused_.end() || r->second != handle)
                Report(options_.messages, "%s: not served: %s\n", link.c_str(), error.c_str());
            refused_[link] = handle;
            continue;
        }
        const ServedPort info = bridge->Info();
        bridge->Start();
        {
            std::lock_guard guard(lock_);
            refused_.erase(link);
            ports_[link] = Entry{handle, std::move(bridge)};
        }
        Report(options_.messages,
               "%s: %s (%s) - try: picocom -b 4800 %s\n"
               "      or: python3 -c 'import sys;[print(l.decode(errors=\"replace\"),end=\"\") "
               "for l in open(sys.argv[1],\"rb\",0)]' %s\n",
               link.c_str(), info.link.c_str(), info.slavePath.c_str(),
               ShellQuoted(info.link).c_str(), ShellQuoted(info.link).c_str());
    }
}

void PtyBridge::Wake() {
    std::lock_guard guard(lock_);
    for (auto &[name, entry] : ports_)
        entry.bridge->Wake();
}

std::vector<ServedPort> PtyBridge::Ports() {
    std::lock_guard guard(lock_);
    std::vector<ServedPort> out;
    for (const auto &[name, entry] : ports_)
        out.push_back(entry.bridge->Info());
    return out;
}

// ---------------------------------------------------------------- the radio's wake-up

StackWake::StackWake() {
    module_ = LoadLibraryW(u"FMS_API.dll");
    if (module_ == nullptr) {
        problem_ = "the FM stack cannot be loaded (" + platform::LastLoaderError() + ")";
        return;
    }
    setWake_ = reinterpret_cast<SetWakeFunction>(
        reinterpret_cast<void *>(GetProcAddressW(module_, u"FmsimSetWake")));
    if (setWake_ == nullptr) {
        problem_ = "the FM stack does not signal its events";
        FreeLibrary(module_);
        module_ = nullptr;
        return;
    }
}

void StackWake::Attach(PtyBridge *bridge) {
    if (setWake_ == nullptr)
        return;
    if (bridge == nullptr)
        setWake_(nullptr, nullptr);
    else
        setWake_([](void *context) { static_cast<PtyBridge *>(context)->Wake(); }, bridge);
}

StackWake::~StackWake() {
    if (setWake_ != nullptr)
        setWake_(nullptr, nullptr); // a running call has finished when this returns
    if (module_ != nullptr)
        FreeLibrary(module_);
}

} // namespace phone
