// sdr_sources.cpp — sample sources of the SDR radios: an rtl_tcp server over
// the network and a recording played at the device clock's speed.
//
// rtl_tcp: the server sends a 12-byte header ("RTL0", tuner type and gain
// count, big-endian), then cu8 IQ for as long as the connection lasts; the
// client sends 5-byte commands (command byte, big-endian 32-bit value). The
// header is checked and nothing else the server sends is interpreted: any
// byte is a sample.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "demod/rds_demod.h"
#include "platform/emulation.h"
#include "sdr_radio.h"

namespace fms {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kIqRate = 1024000.0;
constexpr double kMpxRate = 171000.0;
constexpr int kConnectMs = 1500; // connection and header together
constexpr unsigned kRtlTcpSettleMs = 40;

long long MsLeft(Clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

// Printable form of a few foreign bytes for a log line.
std::string Shown(const std::uint8_t *bytes, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        char text[8];
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '"' && bytes[i] != '\\')
            std::snprintf(text, sizeof text, "%c", bytes[i]);
        else
            std::snprintf(text, sizeof text, "\\x%02X", bytes[i]);
        out += text;
    }
    return out;
}

const char *TunerName(std::uint32_t type) {
    static const char *const names[] = {"unknown", "E4000", "FC0012", "FC0013",
                                        "FC2580",  "R820T", "R828D"};
    return type < std::size(names) ? names[type] : "unknown";
}

class RtlTcpSource final : public SampleSource {
public:
    RtlTcpSource(std::string host, std::string port, SdrOptions options)
        : host_(std::move(host)), port_(std::move(port)), options_(options) {}
    ~RtlTcpSource() override { close(); }

    SampleKind kind() const override { return SampleKind::Cu8Iq; }
    double rate() const override { return options_.rate > 0 ? options_.rate : kIqRate; }
    std::int32_t offsetHz() const override { return kTuningOffsetHz; }
    unsigned settleMs() const override {
        return options_.settleMs >= 0 ? static_cast<unsigned>(options_.settleMs) : kRtlTcpSettleMs;
    }
    std::string name() const override { return "rtl_tcp " + host_ + ":" + port_; }

    bool open(std::uint32_t centreHz, std::string &why) override {
        close();
        if (!connectTo(-1, why))
            return false;
        return configure(centreHz, why);
    }

    void close() override {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    // Retunes, then drops what the socket already holds: samples of the old
    // frequency, however far behind a busy machine has fallen (an even count,
    // so the stream's I/Q pairs stay aligned).
    bool setCentre(std::uint32_t centreHz, std::string &why) override {
        if (!command(0x01, centreHz, why))
            return false;
        std::uint8_t junk[16384];
        std::size_t dropped = 0;
        for (int i = 0; i < 256; ++i) {
            const ssize_t n = recv(fd_, junk, sizeof junk, MSG_DONTWAIT);
            if (n <= 0)
                break;
            dropped += static_cast<std::size_t>(n);
        }
        if (dropped % 2 == 1) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0 || recv(fd_, junk, 1, 0) != 1) {
                why = "the server stopped sending";
                return false;
            }
        }
        return true;
    }

    long read(std::uint8_t *buffer, std::size_t size, int stopFd, int timeoutMs,
              std::string &why) override {
        if (fd_ < 0) {
            why = "not connected";
            return -1;
        }
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int ready = poll(fds, 2, timeoutMs);
        if (ready < 0)
            return errno == EINTR ? 0 : (why = std::strerror(errno), -1);
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            return 0;
        const ssize_t n = recv(fd_, buffer, size, 0);
        if (n > 0)
            return n;
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return 0;
        why = n == 0 ? "the server closed the connection"
                     : std::string("connection lost: ") + std::strerror(errno);
        close();
        return -1;
    }

    bool reopen(std::uint32_t centreHz, int stopFd, std::string &why) override {
        close();
        return connectTo(stopFd, why) && configure(centreHz, why);
    }

private:
    // Connects and reads the header within kConnectMs; `stopFd` readable gives up.
    bool connectTo(int stopFd, std::string &why) {
        const std::string who = name() + ": ";
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo *found = nullptr;
        const int rc = getaddrinfo(host_.c_str(), port_.c_str(), &hints, &found);
        if (rc != 0) {
            why = who + gai_strerror(rc);
            return false;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(kConnectMs);
        why = who + "no address";
        for (addrinfo *a = found; a != nullptr && fd_ < 0; a = a->ai_next) {
            const int fd =
                socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
            if (fd < 0) {
                why = who + std::strerror(errno);
                continue;
            }
            if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
                why = who + std::strerror(errno);
                ::close(fd);
                continue;
            }
            pollfd fds[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
            const int ready =
                poll(fds, stopFd >= 0 ? 2 : 1, static_cast<int>(std::max(0LL, MsLeft(deadline))));
            int error = 0;
            socklen_t length = sizeof error;
            if (ready <= 0 || (fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) == 0) {
                why = who + "no answer to the connection";
                ::close(fd);
                continue;
            }
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                why = who + std::strerror(error);
                ::close(fd);
                continue;
            }
            fd_ = fd;
        }
        freeaddrinfo(found);
        if (fd_ < 0)
            return false;
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

        std::uint8_t header[12];
        std::size_t got = 0;
        while (got < sizeof header) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
            const long long left = MsLeft(deadline);
            if (left <= 0 || poll(fds, stopFd >= 0 ? 2 : 1, static_cast<int>(left)) <= 0 ||
                (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                why = who + "no rtl_tcp header within " + std::to_string(kConnectMs) + " ms";
                close();
                return false;
            }
            const ssize_t n = recv(fd_, header + got, sizeof header - got, 0);
            if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
                why = who +
                      (n == 0 ? std::string("the server closed the connection")
                              : std::string(std::strerror(errno))) +
                      " before its header";
                close();
                return false;
            }
            got += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        if (std::memcmp(header, "RTL0", 4) != 0) {
            why = who + "not an rtl_tcp server (its first bytes: \"" + Shown(header, 12) + "\")";
            close();
            return false;
        }
        const std::uint32_t tuner = BigEndian(header + 4);
        const std::uint32_t gains = BigEndian(header + 8);
        if (!announced_)
            std::fprintf(stderr, "FMS_API: radio: %s: tuner %s, %u gains\n", name().c_str(),
                         TunerName(tuner), std::min<std::uint32_t>(gains, 9999));
        announced_ = true;
        return true;
    }

    static std::uint32_t BigEndian(const std::uint8_t *b) {
        return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
               (std::uint32_t{b[2]} << 8) | b[3];
    }

    bool configure(std::uint32_t centreHz, std::string &why) {
        const auto rateHz = static_cast<std::uint32_t>(rate());
        bool ok = command(0x02, rateHz, why);
        if (options_.ppm != 0)
            ok = ok && command(0x05, static_cast<std::uint32_t>(options_.ppm), why);
        ok = ok && command(0x03, options_.gainSet ? 1 : 0, why); // 1: manual gain
        if (options_.gainSet)
            ok = ok &&
                 command(0x04, static_cast<std::uint32_t>(std::lround(options_.gainDb * 10)), why);
        ok = ok && command(0x01, centreHz, why);
        if (!ok)
            close();
        return ok;
    }

    // One 5-byte command; the socket is non-blocking, so a full send buffer
    // is waited for, briefly.
    bool command(std::uint8_t code, std::uint32_t value, std::string &why) {
        if (fd_ < 0) {
            why = "not connected";
            return false;
        }
        const std::uint8_t bytes[5] = {
            code, static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
        std::size_t sent = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(500);
        while (sent < sizeof bytes) {
            const ssize_t n = send(fd_, bytes + sent, sizeof bytes - sent, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR) && MsLeft(deadline) > 0) {
                pollfd p{fd_, POLLOUT, 0};
                poll(&p, 1, static_cast<int>(MsLeft(deadline)));
                continue;
            }
            why = std::string("cannot send a command: ") +
                  (n < 0 ? std::strerror(errno) : "connection closed");
            return false;
        }
        return true;
    }

    const std::string host_;
    const std::string port_;
    const SdrOptions options_;
    int fd_ = -1;
    bool announced_ = false;
};

// A recording: cu8 IQ or s16le MPX, played at the rate times the device
// clock's speed, from the start again at its end. It is heard on every frequency.
class FileSource final : public SampleSource {
public:
    FileSource(std::string path, SampleKind kind, double rate)
        : path_(std::move(path)), kind_(kind), rate_(rate) {}
    ~FileSource() override { close(); }

    SampleKind kind() const override { return kind_; }
    double rate() const override { return rate_; }
    bool tunable() const override { return false; }
    std::string name() const override { return path_; }

    bool open(std::uint32_t, std::string &why) override {
        close();
        fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st {};
        if (fd_ < 0 || fstat(fd_, &st) != 0) {
            why = path_ + ": " + std::strerror(errno);
            close();
            return false;
        }
        if (!S_ISREG(st.st_mode) || st.st_size < 4096) {
            why = path_ +
                  (S_ISREG(st.st_mode) ? ": too short for a recording" : ": not a regular file");
            close();
            return false;
        }
        start_ = Clock::now();
        served_ = 0;
        return true;
    }

    void close() override {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    bool setCentre(std::uint32_t, std::string &) override { return true; }

    long read(std::uint8_t *buffer, std::size_t size, int stopFd, int timeoutMs,
              std::string &why) override {
        // Bytes due by now at the clock's speed; wait for the next few ms' worth.
        const double bytesPerSecond = rate_ * 2.0 * platform::GetClockSpeed();
        const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        const auto due = static_cast<std::uint64_t>(elapsed * bytesPerSecond);
        if (due <= served_ + 1) {
            const int waitMs = std::min(timeoutMs, 10);
            pollfd p{stopFd, POLLIN, 0};
            poll(&p, 1, waitMs);
            return 0;
        }
        const std::size_t want = std::min<std::uint64_t>(size, (due - served_) & ~std::uint64_t{1});
        ssize_t n = ::read(fd_, buffer, want);
        if (n == 0) { // the end: from the start again
            lseek(fd_, 0, SEEK_SET);
            n = ::read(fd_, buffer, want);
        }
        if (n <= 0) {
            why = path_ + ": " + (n < 0 ? std::strerror(errno) : "empty");
            return -1;
        }
        served_ += static_cast<std::uint64_t>(n);
        return n;
    }

    bool reopen(std::uint32_t centreHz, int, std::string &why) override {
        return open(centreHz, why);
    }

private:
    const std::string path_;
    const SampleKind kind_;
    const double rate_;
    int fd_ = -1;
    Clock::time_point start_;
    std::uint64_t served_ = 0;
};

} // namespace

std::unique_ptr<SampleSource> MakeRtlTcpSource(const std::string &spec, std::string &why) {
    const std::string address = spec.substr(0, spec.find(','));
    const std::string rest =
        address.size() < spec.size() ? spec.substr(address.size() + 1) : std::string();
    const std::size_t colon = address.rfind(':');
    std::string host = colon == std::string::npos ? "" : address.substr(0, colon);
    const std::string port = colon == std::string::npos ? "" : address.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2); // [::1]
    char *end = nullptr;
    const unsigned long number = std::strtoul(port.c_str(), &end, 10);
    if (host.empty() || port.empty() || *end != '\0' || number == 0 || number > 65535 ||
        port.find_first_not_of("0123456789") != std::string::npos) {
        why = "give the rtl_tcp server as HOST:PORT, e.g. rtltcp:127.0.0.1:1234";
        return nullptr;
    }
    SdrOptions options;
    if (!ParseSdrOptions(rest, "gain,ppm,rate,settle", options, why))
        return nullptr;
    if (options.rate != 0.0 && (options.rate < 900001.0 || options.rate > demod::kMaxIqRate)) {
        why = "rate for rtl_tcp is 900001 to 3200000";
        return nullptr;
    }
    return std::make_unique<RtlTcpSource>(host, port, options);
}

std::unique_ptr<SampleSource> MakeFileSource(const std::string &spec, SampleKind kind,
                                             std::string &why) {
    // The last ",rate=N" (a path may hold commas).
    std::string path = spec;
    SdrOptions options;
    const std::size_t comma = spec.rfind(",rate=");
    if (comma != std::string::npos) {
        if (!ParseSdrOptions(spec.substr(comma + 1), "rate", options, why))
            return nullptr;
        path = spec.substr(0, comma);
    }
    if (path.empty()) {
        why = kind == SampleKind::Cu8Iq
                  ? "give a cu8 IQ recording, e.g. iq:FILE[,rate=1024000]"
                  : "give an s16le MPX recording, e.g. mpx:FILE[,rate=171000]";
        return nullptr;
    }
    const bool iq = kind == SampleKind::Cu8Iq;
    const double rate = options.rate > 0 ? options.rate : iq ? kIqRate : kMpxRate;
    const double low = iq ? demod::kMinIqRate : demod::kMinMpxRate;
    const double high = iq ? demod::kMaxIqRate : demod::kMaxMpxRate;
    if (rate < low || rate > high) {
        char text[96];
        std::snprintf(text, sizeof text, "rate for %s is %.0f to %.0f", iq ? "iq:" : "mpx:", low,
                      high);
        why = text;
        return nullptr;
    }
    return std::make_unique<FileSource>(path, kind, rate);
}

#ifndef TAVRINEL_HAVE_RTLSDR
std::unique_ptr<SampleSource> MakeRtlSdrSource(const std::string &, std::string &why) {
    why = "this build has no librtlsdr (install librtlsdr-dev and build again)";
    return nullptr;
}
#endif

} // namespace fms
