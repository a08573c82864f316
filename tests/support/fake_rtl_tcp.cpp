// The fake rtl_tcp server (see fake_rtl_tcp.h).
#include "support/fake_rtl_tcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>

#include "rdsgen.h"
#include "support/rds_modulator.h"

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunkPairs = 4096; // 4 ms at 1.024 MS/s

std::uint32_t BigEndian(const std::uint8_t *b) {
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           b[3];
}

std::vector<TxGroup> StationGroups(const FakeStation &station, std::size_t count) {
    if (!station.capture.empty())
        return ReadCaptureGroups(station.capture, count);
    rds::GeneratorConfig config;
    config.pi = station.pi;
    config.ps = station.ps;
    config.tmc = true;
    config.tp = true;
    config.radiotext = "Tavrinel fake rtl_tcp station " + station.ps;
    config.seed = station.pi;
    rds::GroupGenerator generator(config);
    std::vector<TxGroup> groups(count);
    for (TxGroup &tx : groups) {
        const rds::Group g = generator.next();
        for (std::size_t b = 0; b < 4; ++b) {
            tx.blocks[b] = g.block[b];
            tx.missing[b] = g.blockMissing(b);
        }
    }
    return groups;
}

} // namespace

std::vector<FakeStation> DefaultFakeStations() {
    return {{90000, 0xD318, "FAKE 90", ""},
            {94400, 0xD944, "FAKE 944", ""},
            {101700, 0xDA17, "FAKE1017", ""}};
}

// A station's signal at zero offset, one loop of it, as signed I/Q.
struct FakeRtlTcpServer::Signal {
    std::uint32_t khz = 0;
    std::vector<std::int8_t> iq;
};

FakeRtlTcpServer::FakeRtlTcpServer(FakeRtlTcpOptions options) : options_(std::move(options)) {}

FakeRtlTcpServer::~FakeRtlTcpServer() {
    Stop();
}

bool FakeRtlTcpServer::Start(std::string &why) {
    const auto groups =
        static_cast<std::size_t>(std::ceil(options_.loopSeconds * 1187.5 / 104.0)) + 1;
    for (const FakeStation &station : options_.stations) {
        const std::vector<TxGroup> tx = StationGroups(station, groups);
        if (tx.empty()) {
            why = "no groups for the station on " + std::to_string(station.khz) + " kHz";
            return false;
        }
        IqOptions iq;
        iq.rate = options_.rate;
        iq.lead_in_s = 0.0;
        iq.tail_s = 0.0;
        iq.seed = station.pi;
        IqModulator modulator(tx, iq);
        auto signal = std::make_unique<Signal>();
        signal->khz = station.khz;
        std::vector<std::uint8_t> chunk(1 << 16);
        for (std::size_t n; (n = modulator.Generate(chunk)) > 0;)
            for (std::size_t i = 0; i < n; ++i)
                signal->iq.push_back(static_cast<std::int8_t>(static_cast<int>(chunk[i]) - 128));
        if (signal->iq.size() < 2) {
            why = "the modulator made nothing";
            return false;
        }
        signals_.push_back(std::move(signal));
    }
    Gaussian gauss(12345);
    noise_.resize(1 << 20);
    for (float &n : noise_)
        n = static_cast<float>(options_.noiseLsb) * gauss();

    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(options_.port);
    socklen_t length = sizeof address;
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listen_, 4) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        why = std::string("cannot listen: ") + std::strerror(errno);
        Stop();
        return false;
    }
    port_ = ntohs(address.sin_port);
    stop_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
    return true;
}

void FakeRtlTcpServer::Stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(stop_, &one, sizeof one);
        thread_.join();
    }
    if (listen_ >= 0)
        close(listen_);
    if (stop_ >= 0)
        close(stop_);
    listen_ = stop_ = -1;
}

std::vector<std::pair<std::uint8_t, std::uint32_t>> FakeRtlTcpServer::Commands() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return commands_;
}

void FakeRtlTcpServer::Run() {
    for (;;) {
        pollfd fds[2] = {{listen_, POLLIN, 0}, {stop_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN)
            return;
        if (fds[0].revents & POLLIN) {
            const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0)
                continue;
            connections_++;
            Serve(fd);
            close(fd);
        }
    }
}

// One client until it leaves, the server stops or a new client comes.
void FakeRtlTcpServer::Serve(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!options_.silent && !options_.header.empty())
        if (send(fd, options_.header.data(), options_.header.size(), MSG_NOSIGNAL) < 0)
            return;
    std::uint32_t rate = static_cast<std::uint32_t>(options_.rate);
    std::uint32_t centre = 0;
    rate_ = rate;
    std::vector<std::uint8_t> commandBytes;
    std::vector<std::uint8_t> out(2 * kChunkPairs);
    std::vector<std::complex<float>> mix(kChunkPairs);
    std::uint64_t served = 0; // pairs sent (or dropped by a full socket)
    std::uint64_t sentBytes = 0;
    std::uint64_t noiseAt = 0;
    const auto start = Clock::now();
    for (;;) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const auto due = static_cast<std::uint64_t>(elapsed * rate);
        int waitMs = 0;
        if (served + kChunkPairs > due)
            waitMs = static_cast<int>(
                std::ceil(static_cast<double>(served + kChunkPairs - due) * 1000.0 / rate));
        pollfd fds[3] = {{fd, POLLIN, 0}, {stop_, POLLIN, 0}, {listen_, POLLIN, 0}};
        if (poll(fds, 3, options_.silent || centre == 0 ? 100 : waitMs) < 0 && errno != EINTR)
            return;
        if ((fds[1].revents | fds[2].revents) & POLLIN)
            return; // stopping, or a new client takes this one's place
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            std::uint8_t buffer[512];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                return;
            if (n > 0)
                commandBytes.insert(commandBytes.end(), buffer, buffer + n);
            std::size_t at = 0;
            for (; at + 5 <= commandBytes.size(); at += 5) {
                const std::uint8_t code = commandBytes[at];
                const std::uint32_t value = BigEndian(&commandBytes[at + 1]);
                {
                    std::lock_guard<std::mutex> guard(mutex_);
                    commands_.emplace_back(code, value);
                }
                if (code == 0x01) {
                    centre = value;
                    frequency_ = value;
                } else if (code == 0x02 && value >= 225001 && value <= 3200000) {
                    rate = value;
                    rate_ = value;
                }
            }
            commandBytes.erase(commandBytes.begin(), commandBytes.begin() + at);
        }
        if (options_.silent || centre == 0)
            continue; // rtl_tcp streams from its start; nothing to tune to before
        while (served + kChunkPairs <= due) {
            // Noise, then each station in the band at its offset from the centre.
            for (std::size_t i = 0; i < kChunkPairs; ++i) {
                const std::size_t k = (noiseAt + 2 * i) % noise_.size();
                mix[i] = {noise_[k], noise_[(k + 1) % noise_.size()]};
            }
            noiseAt = (noiseAt + 2 * kChunkPairs + 7919) % noise_.size();
            for (const auto &signal : signals_) {
                const double offset =
                    static_cast<double>(signal->khz) * 1000.0 - static_cast<double>(centre);
                if (std::fabs(offset) > rate / 2.0 - 60000.0)
                    continue;
                const double step = 2.0 * std::numbers::pi * offset / rate;
                const double phase0 =
                    std::fmod(step * static_cast<double>(served), 2.0 * std::numbers::pi);
                std::complex<float> rot(static_cast<float>(std::cos(phase0)),
                                        static_cast<float>(std::sin(phase0)));
                const std::complex<float> turn(static_cast<float>(std::cos(step)),
                                               static_cast<float>(std::sin(step)));
                const std::size_t pairs = signal->iq.size() / 2;
                std::size_t p = static_cast<std::size_t>(served % pairs);
                for (std::size_t i = 0; i < kChunkPairs; ++i) {
                    const std::complex<float> x(signal->iq[2 * p], signal->iq[2 * p + 1]);
                    mix[i] += x * rot;
                    rot *= turn;
                    if (++p == pairs)
                        p = 0;
                }
            }
            for (std::size_t i = 0; i < kChunkPairs; ++i) {
                out[2 * i] = static_cast<std::uint8_t>(
                    std::clamp(std::lround(mix[i].real() + 127.5F), 0L, 255L));
                out[2 * i + 1] = static_cast<std::uint8_t>(
                    std::clamp(std::lround(mix[i].imag() + 127.5F), 0L, 255L));
            }
            served += kChunkPairs;
            std::size_t length = out.size();
            if (options_.dropAfterBytes > 0 && sentBytes + length >= options_.dropAfterBytes)
                length = static_cast<std::size_t>(options_.dropAfterBytes - sentBytes);
            // A client that does not keep up loses samples, as with a real stick.
            ssize_t n = send(fd, out.data(), length, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return;
            // A chunk begun is sent whole: the stream's I/Q pairs stay aligned.
            for (std::size_t done = n > 0 ? static_cast<std::size_t>(n) : 0;
                 n > 0 && done < length;) {
                pollfd p{fd, POLLOUT, 0};
                if (poll(&p, 1, 200) <= 0)
                    return;
                n = send(fd, out.data() + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    return;
                done += n > 0 ? static_cast<std::size_t>(n) : 0;
                n = 1;
            }
            if (n > 0)
                sentBytes += length;
            if (options_.dropAfterBytes > 0 && sentBytes >= options_.dropAfterBytes)
                return;
        }
    }
}

} // namespace testsupport
