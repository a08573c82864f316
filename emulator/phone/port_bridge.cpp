// port_bridge.cpp — one COM port behind its pseudo-terminal (see
// port_bridge.h and pty_bridge.h).
#include "port_bridge.h"

#include "boot.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace phone {

namespace {

constexpr int kIdleCheckMs = 50;       // how soon a program's open is noticed
constexpr size_t kChunkBytes = 4096;   // one read of the terminal
constexpr int kMaxReadsPerWake = 16;   // bound the work of one wake-up
constexpr size_t kMaxPathBytes = 4096; // a readlink answer longer than this is not ours

// Answers the target of the symbolic link `name` in `dir`, or "" when it is none.
std::string LinkTarget(int dir, const std::string &name) {
    std::vector<char> buffer(kMaxPathBytes + 1);
    const ssize_t n = readlinkat(dir, name.c_str(), buffer.data(), kMaxPathBytes);
    if (n <= 0 || static_cast<size_t>(n) >= kMaxPathBytes)
        return {};
    return std::string(buffer.data(), static_cast<size_t>(n));
}

// Makes the link a symbolic link to `target`. Only a symbolic link is ever
// replaced, and atomically (a new link renamed over it). All of it happens
// in the held folder: a path swapped meanwhile redirects nothing.
bool PlaceLink(const PortLink &link, const std::string &target, std::string &error) {
    const int dir = link.dir ? link.dir->Fd() : -1;
    if (dir < 0) {
        error = "cannot create " + link.path + ": its folder is not open";
        return false;
    }
    struct stat st {};
    if (fstatat(dir, link.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            error = link.path + ": " + Errno();
            return false;
        }
        if (symlinkat(target.c_str(), dir, link.name.c_str()) != 0) {
            error = "cannot create " + link.path + ": " + Errno();
            return false;
        }
        return true;
    }
    if (!S_ISLNK(st.st_mode)) {
        error = link.path + " exists and is not a symbolic link; not touching it (move it "
                            "away and the port is served at the next check)";
        return false;
    }
    const std::string fresh = link.name + ".new";
    struct stat freshSt {};
    if (fstatat(dir, fresh.c_str(), &freshSt, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISLNK(freshSt.st_mode)) {
            error = link.path + ".new exists and is not a symbolic link; not touching it";
            return false;
        }
        unlinkat(dir, fresh.c_str(), 0);
    }
    if (symlinkat(target.c_str(), dir, fresh.c_str()) != 0) {
        error = "cannot create " + link.path + ".new: " + Errno();
        return false;
    }
    if (renameat(dir, fresh.c_str(), dir, link.name.c_str()) != 0) {
        error = "cannot replace " + link.path + ": " + Errno();
        unlinkat(dir, fresh.c_str(), 0);
        return false;
    }
    return true;
}

// Removes the link only if it is still ours to `target`.
void RemoveLink(const PortLink &link, const std::string &target) {
    const int dir = link.dir ? link.dir->Fd() : -1;
    struct stat st {};
    if (dir >= 0 && fstatat(dir, link.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode) && LinkTarget(dir, link.name) == target)
        unlinkat(dir, link.name.c_str(), 0);
}

} // namespace

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

// ---------------------------------------------------------------- its life

PortBridge::PortBridge(std::u16string deviceName, std::string name, PortLink link, int pollMs,
                       FILE *messages)
    : deviceName_(std::move(deviceName)), name_(std::move(name)), link_(std::move(link)),
      pollInterval_(std::chrono::milliseconds(pollMs)), messages_(messages) {}

PortBridge::~PortBridge() {
    Stop();
    if (master_ >= 0)
        close(master_);
    for (int fd : stopPipe_)
        if (fd >= 0)
            close(fd);
    if (radioWake_ >= 0)
        close(radioWake_);
}

bool PortBridge::Create(std::string &error) {
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
    if (!PlaceLink(link_, slavePath_, error))
        return false;
    linked_ = true;
    return true;
}

void PortBridge::Start() {
    StartThread(thread_, [this] { Run(); });
}

void PortBridge::RequestStop() {
    if (stopPipe_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = write(stopPipe_[1], &byte, 1);
    }
}

void PortBridge::Stop() {
    if (thread_.joinable()) {
        RequestStop();
        thread_.join();
    }
    if (linked_) {
        RemoveLink(link_, slavePath_);
        linked_ = false;
    }
}

void PortBridge::Wake() {
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

void PortBridge::ReportGone() {
    // The port's own failing read may have said it first and stopped serving.
    if (serving_.load())
        ReportUnloadedWhileOpen();
    else if (!unloadReported_.load())
        Report(messages_, "%s: no longer active, not served\n", name_.c_str());
}

void PortBridge::ReportUnloadedWhileOpen() {
    if (!unloadReported_.exchange(true))
        Report(messages_, "%s: the driver was unloaded while the port was open; closing it\n",
               name_.c_str());
}

// ---------------------------------------------------------------- the port's thread

void PortBridge::Run() {
    while (WaitForProgram()) {
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

// Idle: no program has the terminal. The master reports the hang-up at
// once, so look again at a short interval instead. False when asked to stop.
bool PortBridge::WaitForProgram() {
    while (!ProgramAttached())
        if (StopRequested(kIdleCheckMs))
            return false;
    return true;
}

// Answers whether a program has the terminal open, or had it and left
// bytes behind: a writer that closes at once (`printf ... > COM9`) is gone
// before the next check, yet what it wrote must reach the device, as on a
// serial line. The master keeps those bytes readable after the hang-up
// until they are read.
bool PortBridge::ProgramAttached() {
    pollfd fd{master_, POLLIN, 0};
    if (poll(&fd, 1, 0) < 0)
        return false;
    return (fd.revents & POLLHUP) == 0 || (fd.revents & POLLIN) != 0;
}

// Answers true when asked to stop.
bool PortBridge::StopRequested(int timeoutMs) {
    pollfd fd{stopPipe_[0], POLLIN, 0};
    return poll(&fd, 1, timeoutMs) > 0;
}

// Raw mode and empty queues for the next program. Opening the slave briefly
// is the only way to reach its settings; it is closed again so that the
// master reports the hang-up.
bool PortBridge::ResetTerminal(std::string &error) {
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
    // Only what the device sent and nobody read goes: what a program wrote
    // just before it closed still reaches the device.
    tcflush(slave, TCIFLUSH);
    close(slave);
    return ok;
}

// ---------------------------------------------------------------- serving a program

// COM_Read never blocks, so the device is read when there can be something
// to read: when the radio's stack signals that it delivered events, right
// after the program wrote (a command's answer), and, as a safety net, once
// a poll interval has passed without any read.
bool PortBridge::Serve() {
    // Serving from before the open: news of an unload from here on is said
    // as an unload under the program, once, whoever sees it first.
    unloadReported_.store(false);
    serving_.store(true);
    HANDLE device = OpenDevice();
    if (device == nullptr) {
        serving_.store(false);
        return DiscardUntilClosed();
    }
    BeginServing();
    Session session;
    session.device = device;
    session.readWanted = true; // the first read takes what the open produced
    session.nextRead = Clock::now() + pollInterval_;
    Ending ending = Ending::None;
    while (ending == Ending::None)
        ending = ServeOnce(session);
    return EndServing(device, ending);
}

// The device for the program that opened the terminal, or null (said why).
HANDLE PortBridge::OpenDevice() {
    HANDLE device = CreateFileW(deviceName_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE || device == nullptr) {
        Report(messages_, "%s: the device refused the open (error %lu)\n", name_.c_str(),
               static_cast<unsigned long>(GetLastError()));
        return nullptr;
    }
    return device;
}

void PortBridge::BeginServing() {
    pending_.clear();
    deviceError_ = ERROR_SUCCESS;
    TakeWake(); // what the radio did before the program came is in the first read
    Served(WakesSoFar());
}

// One round: read the device if it is wanted, wait for something to
// happen, forward what the program wrote, give the terminal what it takes.
PortBridge::Ending PortBridge::ServeOnce(Session &session) {
    if (session.readWanted && pending_.size() < kPendingBytes) {
        if (const Ending ending = ReadFromDevice(session); ending != Ending::None)
            return ending;
    }
    SetCanRead(true); // reads as soon as the terminal has room
    Events events;
    if (!WaitForEvents(session, events))
        return Ending::TerminalFailed;
    if (events.stop)
        return Ending::StopAsked;
    if (events.radio) {
        TakeWake();
        session.readWanted = true;
    }
    if (events.terminal) {
        if (const Ending ending = ForwardWrites(session); ending != Ending::None)
            return ending;
    }
    if (!FlushPending())
        return Ending::TerminalFailed;
    ReadWhenDue(session);
    return Ending::None;
}

PortBridge::Ending PortBridge::ReadFromDevice(Session &session) {
    bool drained = false;
    const uint64_t wakes = WakesSoFar();
    if (!ReadDevice(session.device, drained))
        return Ending::DeviceFailed;
    session.readWanted = !drained;
    session.nextRead = Clock::now() + pollInterval_;
    if (!FlushPending())
        return Ending::TerminalFailed;
    Served(wakes);
    return Ending::None;
}

// A device still holding data is read again at once when the terminal has
// room; otherwise wait for the terminal, the radio, the stop request or the
// safety net. Waits to the nanosecond: a wait in whole milliseconds is
// either cut (and spins out the last fraction) or rounded up (and makes the
// read late). False when the wait itself failed.
bool PortBridge::WaitForEvents(const Session &session, Events &events) {
    const bool readNow = session.readWanted && pending_.size() < kPendingBytes;
    const auto wait = readNow ? Clock::duration::zero()
                              : std::max<Clock::duration>(Clock::duration::zero(),
                                                          session.nextRead - Clock::now());
    const auto seconds = std::chrono::floor<std::chrono::seconds>(wait);
    const timespec timeout{static_cast<time_t>(seconds.count()),
                           static_cast<long>(std::chrono::nanoseconds(wait - seconds).count())};
    pollfd fds[3] = {{master_, static_cast<short>(POLLIN | (pending_.empty() ? 0 : POLLOUT)), 0},
                     {stopPipe_[0], POLLIN, 0},
                     {radioWake_, POLLIN, 0}};
    if (ppoll(fds, 3, &timeout, nullptr) < 0 && errno != EINTR)
        return false;
    events.stop = (fds[1].revents & POLLIN) != 0;
    events.radio = (fds[2].revents & POLLIN) != 0;
    events.terminal = (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    return true;
}

// Hands what the program wrote to the device (bounded); its answer is read next.
PortBridge::Ending PortBridge::ForwardWrites(Session &session) {
    SetCanRead(false); // a write may wait for the stack's thread
    for (int i = 0; i < kMaxReadsPerWake; ++i) {
        const Drain d = ReadTerminal(chunk_);
        if (d == Drain::HungUp)
            return Ending::HungUp;
        if (d == Drain::Empty)
            break;
        if (!WriteDevice(session.device, chunk_))
            return Ending::DeviceFailed;
        session.readWanted = true;
    }
    return Ending::None;
}

// The safety net: a read once a poll interval has passed without one.
void PortBridge::ReadWhenDue(Session &session) {
    const auto now = Clock::now();
    if (now >= session.nextRead) {
        session.readWanted = true;
        session.nextRead = now + pollInterval_; // also when the terminal has no room
    }
}

// Closes the device; a failed one is said, and the program's writes are
// swallowed until it hangs up. Answers true when asked to stop.
bool PortBridge::EndServing(HANDLE device, Ending ending) {
    const bool deviceFailed = ending == Ending::DeviceFailed;
    if (deviceFailed && deviceError_ == ERROR_DEVICE_REMOVED)
        ReportUnloadedWhileOpen();
    else if (deviceFailed)
        Report(messages_, "%s: the device failed (error %lu); closing it\n", name_.c_str(),
               static_cast<unsigned long>(deviceError_));
    SetCanRead(false); // the close may wait for the stack's thread
    CloseHandle(device);
    serving_.store(false);
    pending_.clear();
    if (deviceFailed)
        return DiscardUntilClosed();
    return ending == Ending::StopAsked;
}

// Without a device: swallow what the program writes until it closes the
// terminal. Answers true when asked to stop.
bool PortBridge::DiscardUntilClosed() {
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

// ---------------------------------------------------------------- the bytes

// Reads what the program wrote (at most one chunk).
PortBridge::Drain PortBridge::ReadTerminal(std::vector<char> &chunk) {
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
bool PortBridge::FlushPending() {
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
bool PortBridge::WriteDevice(HANDLE device, const std::vector<char> &data) {
    size_t done = 0;
    while (done < data.size()) {
        DWORD written = 0;
        const DWORD count = static_cast<DWORD>(std::min<size_t>(data.size() - done, kChunkBytes));
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
// queued during one read goes out with it. `drained` tells whether a short
// read showed the device empty; if not, it is read again when there is room.
bool PortBridge::ReadDevice(HANDLE device, bool &drained) {
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

// ---------------------------------------------------------------- wakes against reads

// Whether a wake now would be followed by a read (see Wake).
void PortBridge::SetCanRead(bool can) {
    std::lock_guard guard(flowLock_);
    if (canRead_ != can) {
        canRead_ = can;
        flow_.notify_all();
    }
}

uint64_t PortBridge::WakesSoFar() {
    std::lock_guard guard(flowLock_);
    return wakes_;
}

// A read that began after `wakes` wake-ups has taken their data.
void PortBridge::Served(uint64_t wakes) {
    std::lock_guard guard(flowLock_);
    if (wakes > served_) {
        served_ = wakes;
        flow_.notify_all();
    }
}

// Forgets the radio's wake-ups counted so far.
void PortBridge::TakeWake() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = read(radioWake_, &count, sizeof count);
}

} // namespace phone
