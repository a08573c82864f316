// Test signals for the RDS demodulator: groups in, an FM multiplex (MPX) or
// FM IQ samples out, with pilot, programme, noise and sample-rate error as
// chosen. Deterministic for a given seed.
#ifndef TAVRINEL_TESTS_SUPPORT_RDS_MODULATOR_H
#define TAVRINEL_TESTS_SUPPORT_RDS_MODULATOR_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace testsupport {

// A group to send. A missing block is sent as a random word with a checkword
// damaged so that no receiver can take it for a good block nor repair it with
// one or two channel-bit flips; the receiver should show it as "----".
struct TxGroup {
    std::array<std::uint16_t, 4> blocks{};
    std::array<bool, 4> missing{};
};

// "PPPP BBBB CCCC DDDD", "----" for a missing block: what a receiver prints.
std::string FormatTxGroup(const TxGroup &group);

// Groups of a capture file: lines "PPPP BBBB CCCC DDDD [@time]", "----" for a
// lost block; header lines ('<', '%') and malformed lines are skipped.
std::vector<TxGroup> ReadCaptureGroups(const std::string &path,
                                       std::size_t max_groups = static_cast<std::size_t>(-1));

// Levels in the MPX, as FM deviation in Hz.
inline constexpr double kPilotDeviation = 6750.0;
inline constexpr double kRdsDeviation = 2000.0; // peak of the RDS signal
inline constexpr double kProgrammeRms = 15000.0;
inline constexpr double kFullDeviation = 75000.0;

struct MpxOptions {
    double rate = 171000.0; // the rate the receiver is told
    double ppm = 0.0;       // samples are really taken at rate * (1 + ppm / 1e6)
    bool pilot = true;
    bool programme = true; // mono programme, band-limited noise 0-15 kHz
    // RDS Eb/N0 of the added white noise; infinity for none.
    double ebn0_db = std::numeric_limits<double>::infinity();
    double lead_in_s = 0.2; // random RDS bits before the first group
    double tail_s = 0.1;    // and after the last
    std::uint32_t seed = 1;
};

class MpxModulator {
public:
    MpxModulator(const std::vector<TxGroup> &groups, const MpxOptions &options);
    ~MpxModulator();
    MpxModulator(const MpxModulator &) = delete;
    MpxModulator &operator=(const MpxModulator &) = delete;

    // Writes the next samples (Hz of deviation); returns how many, 0 at the end.
    std::size_t Generate(std::span<float> out);
    [[nodiscard]] std::size_t TotalSamples() const { return total_; }
    // Mean power of the RDS component alone, Hz^2.
    [[nodiscard]] double RdsPower() const { return rds_power_; }
    // Time of the first group's first bit from the start, seconds.
    [[nodiscard]] double FirstGroupTime() const;

private:
    struct State;
    State *state_;
    std::size_t total_ = 0;
    double rds_power_ = 0.0;
};

// MPX as signed 16-bit little-endian bytes, full deviation at 24576.
std::vector<std::uint8_t> ToS16le(std::span<const float> mpx);

struct IqOptions {
    double rate = 1024000.0;
    double ppm = 0.0;
    bool pilot = true;
    bool programme = true;
    // Carrier to noise ratio over the whole sampled band; infinity for none.
    double cnr_db = std::numeric_limits<double>::infinity();
    double lead_in_s = 0.2;
    double tail_s = 0.1;
    std::uint32_t seed = 1;
};

// FM at 75 kHz peak deviation of the MPX above, as rtl_sdr's cu8 bytes.
class IqModulator {
public:
    IqModulator(const std::vector<TxGroup> &groups, const IqOptions &options);
    // Writes whole I/Q pairs; returns how many bytes, 0 at the end.
    std::size_t Generate(std::span<std::uint8_t> out);

private:
    MpxModulator mpx_;
    IqOptions options_;
    double phase_ = 0.0;
    std::uint64_t random_;
    std::vector<float> buffer_;
};

// Fast seeded normal deviates for long noise runs.
class Gaussian {
public:
    explicit Gaussian(std::uint64_t seed);
    float operator()();

private:
    std::uint64_t state_;
};

} // namespace testsupport

#endif // TAVRINEL_TESTS_SUPPORT_RDS_MODULATOR_H
