// sdr_bench: the rtltcp: radio against the fake rtl_tcp server (run in a
// child process, so that the CPU figure is the radio's alone):
//  - time to decide an empty frequency in a seek (a band without stations);
//  - a band scan 87.5-108 MHz with three stations (90.0, 94.4, 101.7 MHz);
//  - first group after a tune to a strong station;
//  - CPU of the radio (its process) at 1.024 MS/s while tuned to a station.
//   sdr_bench [--quick]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "radio.h"
#include "support/fake_rtl_tcp.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A fake server in a child process; answers its pid and port.
pid_t StartServer(std::vector<testsupport::FakeStation> stations, unsigned &port) {
    int out[2];
    if (pipe(out) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        testsupport::FakeRtlTcpOptions options;
        options.stations = std::move(stations);
        testsupport::FakeRtlTcpServer server(options);
        std::string why;
        unsigned p = server.Start(why) ? server.Port() : 0;
        if (p == 0)
            std::fprintf(stderr, "sdr_bench: %s\n", why.c_str());
        [[maybe_unused]] ssize_t n = write(out[1], &p, sizeof p);
        close(out[1]);
        for (;;)
            pause();
    }
    close(out[1]);
    port = 0;
    [[maybe_unused]] ssize_t n = read(out[0], &port, sizeof port);
    close(out[0]);
    return pid;
}

void StopServer(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

fms::SeekResult Seek(fms::Radio &radio, std::uint32_t from, bool up) {
    radio.seekStart(from, up, fms::kBands[0], 20, 0);
    fms::SeekResult r;
    for (;;) {
        fms::Millis wait = 100;
        r = radio.seekPoll(0, wait);
        if (r.ended)
            return r;
        std::this_thread::sleep_for(5ms);
    }
}

std::unique_ptr<fms::Radio> PoweredRadio(unsigned port, std::uint32_t khz) {
    std::string why;
    auto radio = fms::MakeSdrRadio(
        "rtltcp:127.0.0.1:" + std::to_string(port), [] {}, why);
    if (!radio || !radio->powerOn(khz, why)) {
        std::fprintf(stderr, "sdr_bench: %s\n", why.c_str());
        return nullptr;
    }
    return radio;
}

// Waits for the first group with a decoded block A; seconds, or -1.
double FirstGroup(fms::Radio &radio, Clock::time_point since, int expectPi) {
    while (Seconds(since) < 5.0) {
        std::vector<std::uint8_t> raw;
        fms::Millis wait = 100;
        radio.readRds(0, raw, wait);
        for (std::size_t i = 0; i + 12 <= raw.size(); i += 12)
            if (raw[i + 2] == 0x20 && ((raw[i] << 8) | raw[i + 1]) == expectPi)
                return Seconds(since);
        std::this_thread::sleep_for(2ms);
    }
    return -1.0;
}

} // namespace

int main(int argc, char **argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    unsigned port = 0;

    // Empty band: every step is an empty frequency.
    pid_t server = StartServer({}, port);
    if (port == 0)
        return 1;
    {
        auto radio = PoweredRadio(port, 87500);
        if (!radio)
            return 1;
        const auto start = Clock::now();
        const fms::SeekResult r = Seek(*radio, 87500, true);
        const double s = Seconds(start);
        std::printf("empty band 87.5 -> %.1f MHz (found: %s): %.2f s, %.0f ms per empty "
                    "frequency (205 steps)\n",
                    r.positionKHz / 1000.0, r.found ? "yes" : "no", s, s * 1000.0 / 205.0);
    }
    StopServer(server);

    server = StartServer(testsupport::DefaultFakeStations(), port);
    if (port == 0)
        return 1;
    {
        auto radio = PoweredRadio(port, 87500);
        if (!radio)
            return 1;
        const auto start = Clock::now();
        std::uint32_t from = 87500;
        std::vector<double> found;
        std::printf("band scan 87.5-108 MHz, stations 90.0, 94.4, 101.7:");
        for (;;) {
            const fms::SeekResult r = Seek(*radio, from, true);
            if (!r.found)
                break;
            std::printf(" %.1f (%.1f s)", r.positionKHz / 1000.0, Seconds(start));
            found.push_back(r.positionKHz / 1000.0);
            from = r.positionKHz;
        }
        std::printf("; whole band %.1f s, %zu stations found\n", Seconds(start), found.size());

        std::vector<double> first;
        const std::uint32_t stations[] = {90000, 94400, 101700};
        const int pis[] = {0xD318, 0xD944, 0xDA17};
        for (int i = 0; i < (quick ? 6 : 21); ++i) {
            const auto t = Clock::now();
            radio->tune(stations[i % 3], 0);
            const double s = FirstGroup(*radio, t, pis[i % 3]);
            if (s >= 0)
                first.push_back(s * 1000.0);
        }
        std::sort(first.begin(), first.end());
        if (!first.empty())
            std::printf("first group after a tune (%zu tunes): median %.0f ms, max %.0f ms\n",
                        first.size(), first[first.size() / 2], first.back());

        radio->tune(94400, 0);
        std::this_thread::sleep_for(1s);
        const double seconds = quick ? 5.0 : 20.0;
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double cpu = CpuSeconds() - cpu0;
        const double wall = Seconds(t0);
        const auto *stats = radio->stats();
        std::printf("CPU of the rtltcp radio at 1.024 MS/s, tuned to a station: %.1f %% of one "
                    "core over %.0f s (%llu groups so far)\n",
                    100.0 * cpu / wall, wall,
                    static_cast<unsigned long long>(stats ? stats->groups.load() : 0));
        radio->powerOff();
    }
    StopServer(server);
    return 0;
}
