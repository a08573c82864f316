// RDS reception from an FM multiplex (MPX) or from FM IQ samples.
//
// Signal path, and where each part comes from:
//   MPX (any rate from 128 kHz)
//    -> 19 kHz pilot PLL: oscillator liquid-dsp nco_crcf; phase detector, loop filter and lock
//    detector hand-written,
//       because the loop runs once per millisecond block and liquid's
//       pll_step gains assume one update per sample.
//    -> 57 kHz mixing to baseband: liquid nco_crcf, slaved to three times the
//       pilot's phase while the pilot is locked, free-running otherwise. Both
//       NCOs keep phase and frequency per block; the per-sample oscillator
//       inside a block is a hand-written complex rotation (profiling showed
//       the per-sample NCO calls at a fifth of the CPU).
//    -> decimation to about 40 kHz: liquid firdecim_crcf (Kaiser); then
//       resampling to 19 kHz (16 samples per bit): liquid resamp_crcf.
//    -> matched filter of the biphase symbol: liquid firfilt_crcf, taps
//       computed here from the transmitter's pulse shaping (no liquid
//       prototype has the biphase shape). It is the channel filter too; no
//       level control is needed, as everything after works on ratios.
//    -> symbol timing: hand-written. liquid symsync_crcf, tried first,
//       settled off the centre of the biphase pulse (its detector climbs the
//       nearest energy slope, and this pulse has a side peak half a bit
//       away); here the centre is the highest point of the energy averaged
//       against the phase within a bit, which has no false peak.
//    -> carrier phase: liquid nco_crcf's PLL (pll_step once per bit) driven
//       by a hand-written BPSK phase detector; without a pilot it also
//       tracks the carrier's frequency.
//    -> soft channel bits -> BlockDecoder (rds_blocks.h), all hand-written:
//       differential decoding, CRC and syndromes with offset words A, B, C,
//       C', D, block synchronisation, soft-decision burst correction. liquid
//       has no RDS code.
//   IQ cu8 -> decimation: liquid firdecim_crcf (Kaiser), then an FM
//   discriminator written here (arg of x[n]·conj(x[n-1]), a polynomial
//   arctangent: std::arg cost a sixth of the IQ path's CPU) -> MPX path.
#ifndef TAVRINEL_DEMOD_RDS_DEMOD_H
#define TAVRINEL_DEMOD_RDS_DEMOD_H

#include <complex>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "demod/rds_blocks.h"

namespace demod {

// Rates accepted for MPX input, in samples per second.
inline constexpr double kMinMpxRate = 128000.0;
inline constexpr double kMaxMpxRate = 4000000.0;
// Rates accepted for IQ input, in complex samples per second.
inline constexpr double kMinIqRate = 228000.0;
inline constexpr double kMaxIqRate = 3200000.0;

// What the receiver currently does, for diagnostics and tests.
struct Status {
    bool pilot_locked = false;
    bool block_synced = false;
    std::uint64_t corrected_blocks = 0;
};

class MpxDemodulator {
public:
    // Throws std::invalid_argument for a rate outside [kMinMpxRate, kMaxMpxRate].
    explicit MpxDemodulator(double sample_rate);
    ~MpxDemodulator();
    MpxDemodulator(MpxDemodulator &&) noexcept;
    MpxDemodulator &operator=(MpxDemodulator &&) noexcept;
    MpxDemodulator(const MpxDemodulator &) = delete;
    MpxDemodulator &operator=(const MpxDemodulator &) = delete;

    // MPX samples at any scale; groups completed meanwhile are appended.
    void Process(std::span<const float> mpx, std::vector<Group> &out);
    // Signed 16-bit little-endian samples as bytes; a trailing odd byte is
    // kept for the next call.
    void ProcessS16le(std::span<const std::uint8_t> bytes, std::vector<Group> &out);

    [[nodiscard]] Status GetStatus() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class IqDemodulator {
public:
    // Throws std::invalid_argument for a rate outside [kMinIqRate, kMaxIqRate].
    explicit IqDemodulator(double sample_rate);
    ~IqDemodulator();
    IqDemodulator(IqDemodulator &&) noexcept;
    IqDemodulator &operator=(IqDemodulator &&) noexcept;
    IqDemodulator(const IqDemodulator &) = delete;
    IqDemodulator &operator=(const IqDemodulator &) = delete;

    // Unsigned 8-bit I/Q pairs as rtl_sdr writes them; an unpaired byte is
    // kept for the next call.
    void ProcessCu8(std::span<const std::uint8_t> bytes, std::vector<Group> &out);
    // Complex samples at the scale ProcessCu8 gives them: (byte - 127.5) / 127.5.
    // For a caller that has them already (mixed to a new centre, say).
    void Process(std::span<const std::complex<float>> iq, std::vector<Group> &out);

    [[nodiscard]] Status GetStatus() const;
    // Rate of the MPX the discriminator produces.
    [[nodiscard]] double MpxRate() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace demod

#endif // TAVRINEL_DEMOD_RDS_DEMOD_H
