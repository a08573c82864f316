// rdsdemod: reads MPX (s16le) or IQ (cu8) samples on standard input and
// prints every RDS group received, one line each, as it completes.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "demod/rds_demod.h"

namespace {

constexpr const char *kUsage =
    "Usage: rdsdemod --mpx RATE | --iq RATE\n"
    "Reads samples on standard input and prints each RDS group received as\n"
    "\"PPPP BBBB CCCC DDDD\" (hex, \"----\" for a block not decoded), one line\n"
    "per group, as soon as the group has passed.\n"
    "  --mpx RATE  FM multiplex, signed 16-bit little-endian mono, RATE samples/s\n"
    "              (128000 to 4000000; e.g. rtl_fm -M fm -s 171k prints 171000)\n"
    "  --iq RATE   complex samples, unsigned 8-bit I/Q pairs as rtl_sdr writes them,\n"
    "              RATE samples/s (228000 to 3200000, e.g. 1024000)\n"
    "  --help      this text\n"
    "Ends at the end of the input.\n";

int Fail(const std::string &message) {
    std::fprintf(stderr, "rdsdemod: %s (try --help)\n", message.c_str());
    return 2;
}

bool ParseRate(const char *text, double &rate) {
    if (text == nullptr || *text == '\0')
        return false;
    char *end = nullptr;
    errno = 0;
    double value = std::strtod(text, &end);
    if (errno != 0 || end == text)
        return false;
    // "171k" and "1.024M", as rtl_fm and rtl_sdr accept them.
    if (*end == 'k' || *end == 'K') {
        value *= 1e3;
        ++end;
    } else if (*end == 'M' || *end == 'm') {
        value *= 1e6;
        ++end;
    }
    if (*end != '\0')
        return false;
    rate = value;
    return true;
}

} // namespace

int main(int argc, char **argv) {
    bool iq = false;
    double rate = 0.0;
    bool have_mode = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--mpx" || arg == "--iq") {
            if (have_mode)
                return Fail("give only one of --mpx and --iq");
            if (i + 1 >= argc)
                return Fail(arg + " needs a sample rate");
            if (!ParseRate(argv[++i], rate))
                return Fail(std::string("not a sample rate: ") + argv[i]);
            iq = arg == "--iq";
            have_mode = true;
        } else {
            return Fail("unknown argument: " + arg);
        }
    }
    if (!have_mode)
        return Fail("give --mpx RATE or --iq RATE");

    try {
        std::optional<demod::MpxDemodulator> mpx_demod;
        std::optional<demod::IqDemodulator> iq_demod;
        if (iq)
            iq_demod.emplace(rate);
        else
            mpx_demod.emplace(rate);
        std::vector<std::uint8_t> buffer(1 << 14);
        std::vector<demod::Group> groups;
        for (;;) {
            const ssize_t got = read(STDIN_FILENO, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                std::fprintf(stderr, "rdsdemod: reading input: %s\n", std::strerror(errno));
                return 1;
            }
            if (got == 0)
                break;
            const std::span<const std::uint8_t> bytes(buffer.data(), static_cast<std::size_t>(got));
            groups.clear();
            if (iq)
                iq_demod->ProcessCu8(bytes, groups);
            else
                mpx_demod->ProcessS16le(bytes, groups);
            for (const demod::Group &group : groups) {
                std::printf("%s\n", demod::FormatGroup(group).c_str());
                if (std::fflush(stdout) != 0)
                    return 1; // the reader went away
            }
        }
    } catch (const std::invalid_argument &e) {
        return Fail(e.what());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "rdsdemod: %s\n", e.what());
        return 1;
    }
    return 0;
}
