// RDS reception figures: sensitivity on MPX and IQ, sample-rate error, groups
// invented from noise, CPU per second of signal and time to the first group.
//   demod_bench [--quick]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "demod/rds_demod.h"
#include "support/rds_modulator.h"

namespace {

using testsupport::TxGroup;

struct Score {
    std::size_t sent = 0;
    std::size_t identical = 0;
    std::size_t output = 0;
    std::size_t twice = 0;      // a group printed again
    std::size_t undetected = 0; // all four blocks decoded, a word wrong
    std::size_t wrong = 0;      // any decoded block wrong
};

bool Compatible(const demod::Group &got, const TxGroup &sent) {
    bool any = false;
    for (std::size_t b = 0; b < 4; ++b) {
        if (!got.decoded[b])
            continue;
        if (sent.missing[b] || got.blocks[b] != sent.blocks[b])
            return false;
        any = true;
    }
    return any;
}

bool Identical(const demod::Group &got, const TxGroup &sent) {
    for (std::size_t b = 0; b < 4; ++b) {
        if (got.decoded[b] == sent.missing[b])
            return false;
        if (got.decoded[b] && got.blocks[b] != sent.blocks[b])
            return false;
    }
    return true;
}

// Matches the output to the groups sent, in order.
Score Compare(const std::vector<TxGroup> &sent, const std::vector<demod::Group> &got) {
    Score score;
    // A group with no block at all is never printed: it does not count.
    score.sent =
        static_cast<std::size_t>(std::count_if(sent.begin(), sent.end(), [](const TxGroup &g) {
            return !(g.missing[0] && g.missing[1] && g.missing[2] && g.missing[3]);
        }));
    score.output = got.size();
    std::size_t next = 0;
    constexpr std::size_t kWindow = 40;
    for (const demod::Group &group : got) {
        std::size_t found = sent.size();
        for (std::size_t j = next; j < std::min(sent.size(), next + kWindow); ++j) {
            if (Compatible(group, sent[j])) {
                found = j;
                break;
            }
        }
        if (found == sent.size()) {
            bool again = false;
            for (std::size_t j = next >= 3 ? next - 3 : 0; j < next; ++j)
                again = again || Compatible(group, sent[j]);
            if (again) {
                ++score.twice;
                continue;
            }
            ++score.wrong;
            if (std::all_of(group.decoded.begin(), group.decoded.end(), [](bool b) { return b; }))
                ++score.undetected;
            continue;
        }
        if (Identical(group, sent[found]))
            ++score.identical;
        next = found + 1;
    }
    return score;
}

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct Run {
    Score score;
    double cpu = 0.0; // demodulator only
    double seconds = 0.0;
};

Run RunMpx(const std::vector<TxGroup> &groups, const testsupport::MpxOptions &options) {
    testsupport::MpxModulator modulator(groups, options);
    demod::MpxDemodulator receiver(options.rate);
    std::vector<float> chunk(1 << 15);
    std::vector<demod::Group> got;
    Run run;
    for (;;) {
        const std::size_t n = modulator.Generate(chunk);
        if (n == 0)
            break;
        const double before = CpuSeconds();
        receiver.Process(std::span<const float>(chunk.data(), n), got);
        run.cpu += CpuSeconds() - before;
    }
    run.seconds = static_cast<double>(modulator.TotalSamples()) / options.rate;
    run.score = Compare(groups, got);
    return run;
}

Run RunIq(const std::vector<TxGroup> &groups, const testsupport::IqOptions &options) {
    testsupport::IqModulator modulator(groups, options);
    demod::IqDemodulator receiver(options.rate);
    std::vector<std::uint8_t> chunk(1 << 16);
    std::vector<demod::Group> got;
    Run run;
    std::size_t bytes = 0;
    for (;;) {
        const std::size_t n = modulator.Generate(chunk);
        if (n == 0)
            break;
        bytes += n;
        const double before = CpuSeconds();
        receiver.ProcessCu8(std::span<const std::uint8_t>(chunk.data(), n), got);
        run.cpu += CpuSeconds() - before;
    }
    run.seconds = static_cast<double>(bytes) / 2.0 / options.rate;
    run.score = Compare(groups, got);
    return run;
}

void PrintHeader(const char *first) {
    std::printf("%-10s %8s %10s %8s %8s %11s %8s\n", first, "groups*", "identical", "share",
                "twice", "undetected", "wrong");
}

void PrintRow(const std::string &label, const Score &s) {
    std::printf("%-10s %8zu %10zu %7.2f%% %8zu %11zu %8zu\n", label.c_str(), s.sent, s.identical,
                100.0 * static_cast<double>(s.identical) / static_cast<double>(s.sent), s.twice,
                s.undetected, s.wrong);
    std::fflush(stdout);
}

// Groups output from noise alone, over the given signal time.
std::size_t MpxNoise(double seconds, std::uint64_t seed, double &cpu) {
    constexpr double kRate = 171000.0;
    demod::MpxDemodulator receiver(kRate);
    testsupport::Gaussian noise(seed);
    std::vector<float> chunk(1 << 15);
    std::vector<demod::Group> got;
    auto total = static_cast<std::size_t>(seconds * kRate);
    for (std::size_t done = 0; done < total;) {
        const std::size_t n = std::min(chunk.size(), total - done);
        for (std::size_t i = 0; i < n; ++i)
            chunk[i] = 10000.0F * noise();
        const double before = CpuSeconds();
        receiver.Process(std::span<const float>(chunk.data(), n), got);
        cpu += CpuSeconds() - before;
        done += n;
    }
    return got.size();
}

// The same for FM-demodulated noise: IQ noise alone into the discriminator.
std::size_t IqNoise(double seconds, std::uint64_t seed, double &cpu) {
    constexpr double kRate = 1024000.0;
    demod::IqDemodulator receiver(kRate);
    testsupport::Gaussian noise(seed);
    std::vector<std::uint8_t> chunk(1 << 16);
    std::vector<demod::Group> got;
    auto total = static_cast<std::size_t>(seconds * kRate) * 2;
    for (std::size_t done = 0; done < total;) {
        const std::size_t n = std::min(chunk.size(), total - done);
        for (std::size_t i = 0; i < n; ++i)
            chunk[i] = static_cast<std::uint8_t>(
                std::clamp(std::lround(127.5 + 30.0 * noise()), 0L, 255L));
        const double before = CpuSeconds();
        receiver.ProcessCu8(std::span<const std::uint8_t>(chunk.data(), n), got);
        cpu += CpuSeconds() - before;
        done += n;
    }
    return got.size();
}

// Seconds of signal until the first group is printed, strong station.
double FirstGroup(const std::vector<TxGroup> &groups, std::uint32_t seed, bool iq) {
    constexpr std::size_t kStep = 171; // 1 ms at 171 kHz
    std::vector<demod::Group> got;
    if (!iq) {
        testsupport::MpxOptions options;
        options.lead_in_s = 0.0;
        options.seed = seed;
        testsupport::MpxModulator modulator(groups, options);
        demod::MpxDemodulator receiver(options.rate);
        std::vector<float> chunk(kStep);
        std::size_t samples = 0;
        while (got.empty()) {
            const std::size_t n = modulator.Generate(chunk);
            if (n == 0)
                return std::numeric_limits<double>::infinity();
            receiver.Process(std::span<const float>(chunk.data(), n), got);
            samples += n;
        }
        return static_cast<double>(samples) / options.rate;
    }
    testsupport::IqOptions options;
    options.lead_in_s = 0.0;
    options.seed = seed;
    testsupport::IqModulator modulator(groups, options);
    demod::IqDemodulator receiver(options.rate);
    std::vector<std::uint8_t> chunk(2048);
    std::size_t bytes = 0;
    while (got.empty()) {
        const std::size_t n = modulator.Generate(chunk);
        if (n == 0)
            return std::numeric_limits<double>::infinity();
        receiver.ProcessCu8(std::span<const std::uint8_t>(chunk.data(), n), got);
        bytes += n;
    }
    return static_cast<double>(bytes) / 2.0 / options.rate;
}

} // namespace

int main(int argc, char **argv) {
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else {
            std::printf("usage: demod_bench [--quick]\n");
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    const std::string capture = std::string(TAVRINEL_CAPTURE_DIR) + "/de-D395-wdr5-tmc.spy";
    if (!std::filesystem::exists(capture)) {
        std::printf("captures absent (%s): nothing to measure\n", capture.c_str());
        return 0;
    }
    const std::size_t count = quick ? 300 : 1000;
    const std::vector<TxGroup> groups = testsupport::ReadCaptureGroups(capture, count);
    std::printf("RDS demodulator, %zu groups of %s%s\n", groups.size(),
                std::filesystem::path(capture).filename().c_str(), quick ? " (quick run)" : "");
    std::printf("groups*: groups sent with at least one block (one with none is never printed)\n"
                "twice: printed again; undetected: all four blocks shown decoded, a word wrong;\n"
                "wrong: any block shown decoded with a wrong word\n\n");

    std::printf("MPX 171 kHz, pilot and programme, RDS Eb/N0 (dB):\n");
    PrintHeader("Eb/N0");
    const std::vector<double> ebn0 = quick ? std::vector<double>{4, 5, 6, 8}
                                           : std::vector<double>{3, 4, 5, 6, 7, 8, 9, 10, 12, 15};
    for (double db : ebn0) {
        testsupport::MpxOptions options;
        options.ebn0_db = db;
        options.seed = static_cast<std::uint32_t>(db * 10);
        PrintRow(std::to_string(static_cast<int>(db)) + " dB", RunMpx(groups, options).score);
    }

    if (!quick) {
        // Undetected errors are rare: a longer run at the weakest goal.
        const std::vector<TxGroup> many = testsupport::ReadCaptureGroups(capture, 8000);
        testsupport::MpxOptions options;
        options.ebn0_db = 5.0;
        options.seed = 4242;
        PrintRow("5 dB long", RunMpx(many, options).score);
    }

    std::printf("\nMPX 171 kHz, sample-rate error:\n");
    PrintHeader("Eb/N0,ppm");
    for (double db : {5.0, 6.0}) {
        for (double ppm : {-200.0, 200.0}) {
            testsupport::MpxOptions options;
            options.ebn0_db = db;
            options.ppm = ppm;
            options.seed = 77;
            char label[32];
            std::snprintf(label, sizeof label, "%.0f,%+.0f", db, ppm);
            PrintRow(label, RunMpx(groups, options).score);
        }
    }

    std::printf("\nIQ cu8 1.026 MS/s, FM 75 kHz, RDS at 2 kHz, CNR over the sampled band:\n");
    PrintHeader("CNR");
    const std::vector<double> cnr =
        quick ? std::vector<double>{12, 14} : std::vector<double>{10, 11, 12, 13, 14, 16, 20};
    const std::vector<TxGroup> iq_groups(
        groups.begin(), groups.begin() + std::min<std::size_t>(groups.size(), quick ? 200 : 500));
    for (double db : cnr) {
        testsupport::IqOptions options;
        options.rate = 1026000.0;
        options.cnr_db = db;
        options.seed = static_cast<std::uint32_t>(db * 10 + 1);
        PrintRow(std::to_string(static_cast<int>(db)) + " dB", RunIq(iq_groups, options).score);
    }

    const double noise_seconds = quick ? 60.0 : 600.0;
    std::printf("\nNoise alone, %.0f s of signal each:\n", noise_seconds);
    double cpu = 0.0;
    std::printf("  white MPX noise, 171 kHz:           %zu groups\n",
                MpxNoise(noise_seconds, 5, cpu));
    std::fflush(stdout);
    double iq_cpu = 0.0;
    std::printf("  FM-demodulated noise, IQ 1.024 MS/s: %zu groups\n",
                IqNoise(noise_seconds, 6, iq_cpu));

    std::printf("\nCPU per second of signal (demodulator only, one core):\n");
    {
        testsupport::MpxOptions options;
        options.ebn0_db = 10;
        const Run run = RunMpx(groups, options);
        std::printf("  MPX 171 kHz:     %.4f s/s (%.2f %% of a core)\n", run.cpu / run.seconds,
                    100.0 * run.cpu / run.seconds);
        testsupport::IqOptions iq;
        iq.rate = 1024000.0;
        iq.cnr_db = 20;
        const Run iq_run = RunIq(iq_groups, iq);
        std::printf("  IQ 1.024 MS/s:   %.4f s/s (%.2f %% of a core)\n",
                    iq_run.cpu / iq_run.seconds, 100.0 * iq_run.cpu / iq_run.seconds);
        std::printf("  noise runs:      MPX %.4f s/s, IQ %.4f s/s\n", cpu / noise_seconds,
                    iq_cpu / noise_seconds);
    }

    std::printf("\nTime to the first group, strong signal, from the first sample:\n");
    for (bool iq : {false, true}) {
        std::vector<double> times;
        for (std::uint32_t seed = 1; seed <= (quick ? 5U : 20U); ++seed)
            times.push_back(FirstGroup(groups, seed, iq));
        std::sort(times.begin(), times.end());
        std::printf("  %-14s median %.0f ms, worst %.0f ms (%zu starts)\n",
                    iq ? "IQ 1.024 MS/s:" : "MPX 171 kHz:", 1000.0 * times[times.size() / 2],
                    1000.0 * times.back(), times.size());
    }
    return 0;
}
