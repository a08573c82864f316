// rds_modulate: the test modulator as a command, so that other decoders
// (tests/interop/) can be fed the very signals demod_bench measures.
//   rds_modulate --capture FILE (--mpx RATE | --iq RATE) [--groups N]
//                [--ebn0 DB] [--cnr DB] [--ppm P] [--seed N] [--list]
// Writes s16le MPX or cu8 IQ on standard output; --list prints the groups
// sent instead, one "PPPP BBBB CCCC DDDD" line each.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "support/rds_modulator.h"

namespace {

constexpr const char *kUsage =
    "usage: rds_modulate --capture FILE (--mpx RATE | --iq RATE) [--groups N]\n"
    "                    [--ebn0 DB] [--cnr DB] [--ppm P] [--seed N] [--list]\n";

int Usage(const std::string &why) {
    std::fprintf(stderr, "rds_modulate: %s\n%s", why.c_str(), kUsage);
    return 2;
}

bool ParseNumber(const std::string &text, double low, double high, double &value) {
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < low || v > high)
        return false;
    value = v;
    return true;
}

bool WriteAll(const std::uint8_t *data, std::size_t size) {
    return std::fwrite(data, 1, size, stdout) == size;
}

} // namespace

int main(int argc, char **argv) {
    std::string capture;
    bool iq = false;
    bool have_mode = false;
    bool list = false;
    double rate = 0.0;
    double groups = 1000.0;
    double ebn0 = std::numeric_limits<double>::infinity();
    double cnr = std::numeric_limits<double>::infinity();
    double ppm = 0.0;
    double seed = 1.0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--list") {
            list = true;
            continue;
        }
        if (arg == "--help")
            return std::fputs(kUsage, stdout) < 0 ? 1 : 0;
        if (i + 1 >= argc)
            return Usage(arg + " needs a value");
        const std::string value = argv[++i];
        bool ok = true;
        if (arg == "--capture") {
            capture = value;
        } else if (arg == "--mpx" || arg == "--iq") {
            iq = arg == "--iq";
            have_mode = true;
            ok = ParseNumber(value, 128000.0, 4e6, rate);
        } else if (arg == "--groups") {
            ok = ParseNumber(value, 1.0, 1e6, groups);
        } else if (arg == "--ebn0") {
            ok = ParseNumber(value, -20.0, 100.0, ebn0);
        } else if (arg == "--cnr") {
            ok = ParseNumber(value, -20.0, 100.0, cnr);
        } else if (arg == "--ppm") {
            ok = ParseNumber(value, -10000.0, 10000.0, ppm);
        } else if (arg == "--seed") {
            ok = ParseNumber(value, 0.0, 4294967295.0, seed);
        } else {
            return Usage("unknown argument: " + arg);
        }
        if (!ok)
            return Usage("bad value for " + arg + ": " + value);
    }
    if (capture.empty() || !have_mode)
        return Usage("give --capture FILE and --mpx RATE or --iq RATE");
    const std::vector<testsupport::TxGroup> sent =
        testsupport::ReadCaptureGroups(capture, static_cast<std::size_t>(groups));
    if (sent.empty()) {
        std::fprintf(stderr, "rds_modulate: no groups in %s\n", capture.c_str());
        return 1;
    }
    if (list) {
        for (const testsupport::TxGroup &group : sent)
            std::printf("%s\n", testsupport::FormatTxGroup(group).c_str());
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    const auto seed32 = static_cast<std::uint32_t>(seed);
    if (iq) {
        testsupport::IqOptions options;
        options.rate = rate;
        options.ppm = ppm;
        options.cnr_db = cnr;
        options.seed = seed32;
        testsupport::IqModulator modulator(sent, options);
        std::vector<std::uint8_t> chunk(1 << 16);
        while (const std::size_t n = modulator.Generate(chunk))
            if (!WriteAll(chunk.data(), n))
                return 1;
    } else {
        testsupport::MpxOptions options;
        options.rate = rate;
        options.ppm = ppm;
        options.ebn0_db = ebn0;
        options.seed = seed32;
        testsupport::MpxModulator modulator(sent, options);
        std::vector<float> chunk(1 << 15);
        while (const std::size_t n = modulator.Generate(chunk)) {
            const std::vector<std::uint8_t> bytes =
                testsupport::ToS16le(std::span<const float>(chunk.data(), n));
            if (!WriteAll(bytes.data(), bytes.size()))
                return 1;
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
