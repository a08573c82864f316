#include "demod/rds_demod.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <stdexcept>
#include <string>

// liquid.h uses std::complex when <complex> came first.
#include <liquid/liquid.h>

namespace demod {

namespace {

using Complex = std::complex<float>;

constexpr double kPilotHz = 19000.0;
constexpr double kSubcarrierHz = 57000.0;
constexpr double kBitRate = 1187.5;
// Baseband rate after resampling: 16 samples per bit.
constexpr unsigned kSamplesPerBit = 16;
constexpr double kBasebandRate = kBitRate * kSamplesPerBit;
// Matched filter length in bits on each side.
constexpr unsigned kFilterSpan = 3;

template <typename T, int (*Destroy)(T)> struct Liquid {
    T object = nullptr;
    Liquid() = default;
    explicit Liquid(T created) : object(created) {
        if (object == nullptr)
            throw std::runtime_error("demod: liquid-dsp object not created");
    }
    ~Liquid() {
        if (object != nullptr)
            Destroy(object);
    }
    Liquid(const Liquid &) = delete;
    Liquid &operator=(const Liquid &) = delete;
    Liquid &operator=(Liquid &&other) noexcept {
        std::swap(object, other.object);
        return *this;
    }
    operator T() const { return object; }
};

float Wrap(float phase) {
    constexpr float kTwoPi = 2.0F * std::numbers::pi_v<float>;
    phase = std::fmod(phase, kTwoPi);
    if (phase >= std::numbers::pi_v<float>)
        phase -= kTwoPi;
    else if (phase < -std::numbers::pi_v<float>)
        phase += kTwoPi;
    return phase;
}

// Impulse response of the transmitter's shaping filter, the square root of
// the data channel's cos(pi f td / 4) response (0 <= f <= 2/td), the other
// half of which is this receiver's. t in seconds.
double ShapingPulse(double t) {
    constexpr double kEdge = 2.0 * kBitRate;
    constexpr int kSteps = 400;
    double sum = 0.0;
    for (int i = 0; i < kSteps; ++i) {
        const double f = (i + 0.5) * kEdge / kSteps;
        sum += std::sqrt(std::cos(std::numbers::pi * f / (2.0 * kEdge))) *
               std::cos(2.0 * std::numbers::pi * f * t);
    }
    return 2.0 * sum * kEdge / kSteps;
}

// Matched filter of one biphase symbol (a pulse, then its negative half a
// bit later), sampled at the baseband rate and centred.
std::vector<float> BiphaseMatchedFilter() {
    const unsigned length = 2 * kSamplesPerBit * kFilterSpan + 1;
    std::vector<float> taps(length);
    const double half = 0.25 / kBitRate;
    double energy = 0.0;
    for (unsigned n = 0; n < length; ++n) {
        const double t = (static_cast<double>(n) - (length - 1) / 2.0) / kBasebandRate;
        // Time-reversed symbol: b(-t) with b(t) = g(t + td/4) - g(t - td/4).
        const double value = ShapingPulse(-t + half) - ShapingPulse(-t - half);
        // A gentle taper where the response is cut off.
        const double x = (static_cast<double>(n) / (length - 1)) * 2.0 - 1.0;
        const double taper = 0.5 + 0.5 * std::cos(std::numbers::pi * std::pow(std::fabs(x), 4.0));
        taps[n] = static_cast<float>(value * taper);
        energy += value * value * taper * taper;
    }
    const auto norm = static_cast<float>(1.0 / std::sqrt(energy));
    for (float &tap : taps)
        tap *= norm;
    return taps;
}

// arg(z) to within 1e-5 rad, a third of the time of std::arg: the IQ path
// needs one per sample.
float FastArg(Complex z) {
    const float x = z.real();
    const float y = z.imag();
    const float ax = std::fabs(x);
    const float ay = std::fabs(y);
    const float big = std::max(ax, ay);
    if (!(big > 0.0F))
        return 0.0F; // zero, or not a number
    const float a = std::min(ax, ay) / big;
    const float a2 = a * a;
    float r = a * (0.9998660F +
                   a2 * (-0.3302995F + a2 * (0.1801410F + a2 * (-0.0851330F + a2 * 0.0208351F))));
    if (ay > ax)
        r = std::numbers::pi_v<float> / 2.0F - r;
    if (x < 0.0F)
        r = std::numbers::pi_v<float> - r;
    return y < 0.0F ? -r : r;
}

} // namespace

struct MpxDemodulator::Impl {
    explicit Impl(double sample_rate);
    void Run(const float *x);
    void Timing(Complex sample);
    void Symbol(Complex y, std::vector<Group> &out);
    void SetLoops();

    double rate;
    unsigned block;             // samples per pilot-loop update, about 1 ms
    std::vector<float> pending; // input not yet a whole block
    unsigned decimation;        // integer step before the resampler
    std::vector<Complex> sub, base, filtered;
    std::vector<Group> *out = nullptr; // where Run reports groups

    Liquid<nco_crcf, nco_crcf_destroy> pilot_nco{nco_crcf_create(LIQUID_NCO)};
    Liquid<nco_crcf, nco_crcf_destroy> sub_nco{nco_crcf_create(LIQUID_NCO)};
    Liquid<nco_crcf, nco_crcf_destroy> carrier{nco_crcf_create(LIQUID_VCO)};
    Liquid<firdecim_crcf, firdecim_crcf_destroy> decimator;
    Liquid<resamp_crcf, resamp_crcf_destroy> resampler;
    Liquid<firfilt_crcf, firfilt_crcf_destroy> matched;

    // Pilot loop, per block.
    float pilot_nominal = 0.0F; // rad/sample
    float pilot_offset = 0.0F;  // rad/sample, the loop's integrator
    float pilot_limit = 0.0F;
    float lock_inphase = 0.0F;
    float lock_power = 1e-30F;
    bool pilot_locked = false;

    // Symbol timing on the matched filter's output.
    std::array<Complex, 64> recent{};            // last outputs, by index modulo 64
    std::int64_t received = 0;                   // outputs so far
    double strobe = kSamplesPerBit;              // index (fractional) of the next bit centre
    std::array<float, kSamplesPerBit> profile{}; // mean energy around the strobe
    std::uint64_t bits = 0;
    float detector_power = 1.0F;

    BlockDecoder blocks;
    bool loops_synced = false;
    bool loops_locked = false;
    bool carry_valid = false;
    std::uint8_t carry = 0;
};

MpxDemodulator::Impl::Impl(double sample_rate) : rate(sample_rate) {
    // To about 40 kHz by an integer factor, which keeps 57 kHz +- 2.4 kHz
    // clear of aliases.
    decimation = std::max(1U, static_cast<unsigned>(rate / 40000.0));
    decimator = Liquid<firdecim_crcf, firdecim_crcf_destroy>(
        firdecim_crcf_create_kaiser(decimation, 4, 60.0F));
    firdecim_crcf_set_scale(decimator, 1.0F / static_cast<float>(decimation));
    // About a millisecond, a whole number of decimation steps.
    block =
        decimation * static_cast<unsigned>(std::max(1L, std::lround(rate / 1000.0 / decimation)));
    pending.reserve(block);
    sub.resize(block);
    const float ratio = static_cast<float>(kBasebandRate * decimation / rate);
    // One polyphase stage: liquid's multi-stage resampler would add
    // half-band stages, whose design leaks memory in liquid 1.5.
    const float keep = static_cast<float>(5000.0 * decimation / rate);
    resampler =
        Liquid<resamp_crcf, resamp_crcf_destroy>(resamp_crcf_create(ratio, 7, keep, 60.0F, 32));
    const auto capacity = static_cast<std::size_t>(std::ceil(2.0 * ratio * block)) + 64;
    base.resize(capacity);
    filtered.resize(capacity);

    std::vector<float> taps = BiphaseMatchedFilter();
    matched = Liquid<firfilt_crcf, firfilt_crcf_destroy>(
        firfilt_crcf_create(taps.data(), static_cast<unsigned>(taps.size())));

    constexpr float kTwoPi = 2.0F * std::numbers::pi_v<float>;
    pilot_nominal = static_cast<float>(kTwoPi * kPilotHz / rate);
    pilot_limit = static_cast<float>(kTwoPi * 25.0 / rate);
    nco_crcf_set_frequency(pilot_nco, pilot_nominal);
    nco_crcf_set_frequency(sub_nco, static_cast<float>(kTwoPi * kSubcarrierHz / rate));
    SetLoops();
}

void MpxDemodulator::Impl::SetLoops() {
    loops_synced = blocks.Synced();
    loops_locked = pilot_locked;
    // Wide while searching, narrow once the blocks prove the loops right.
    float carrier_bw = 0.0F;
    if (pilot_locked)
        carrier_bw = loops_synced ? 0.0005F : 0.004F;
    else
        carrier_bw = loops_synced ? 0.004F : 0.02F;
    nco_crcf_pll_set_bandwidth(carrier, carrier_bw);
}

void MpxDemodulator::Impl::Run(const float *x) {
    // The liquid NCOs keep phase and frequency from block to block; within a
    // block the oscillator's samples come from a complex rotation, several
    // times cheaper per sample than the NCO's own mixing calls.
    const float pilot_phase = nco_crcf_get_phase(pilot_nco);
    const float pilot_step = nco_crcf_get_frequency(pilot_nco);
    if (pilot_locked) {
        // The subcarrier is the pilot's third harmonic: take its phase and
        // frequency from the pilot loop for the whole block.
        nco_crcf_set_frequency(sub_nco, 3.0F * pilot_step);
        nco_crcf_set_phase(sub_nco, Wrap(3.0F * pilot_phase));
    }
    const float sub_phase = nco_crcf_get_phase(sub_nco);
    const float sub_step = nco_crcf_get_frequency(sub_nco);
    Complex pilot_osc = std::polar(1.0F, -pilot_phase);
    const Complex pilot_rot = std::polar(1.0F, -pilot_step);
    Complex sub_osc = std::polar(1.0F, -sub_phase);
    const Complex sub_rot = std::polar(1.0F, -sub_step);
    Complex sum(0.0F, 0.0F);
    for (unsigned i = 0; i < block; ++i) {
        sum += x[i] * pilot_osc;
        sub[i] = x[i] * sub_osc;
        pilot_osc *= pilot_rot;
        sub_osc *= sub_rot;
    }
    nco_crcf_set_phase(pilot_nco, Wrap(pilot_phase + static_cast<float>(block) * pilot_step));
    nco_crcf_set_phase(sub_nco, Wrap(sub_phase + static_cast<float>(block) * sub_step));

    // Pilot loop: phase of the block's mean, second-order loop filter.
    const Complex mean = sum / static_cast<float>(block);
    const float error = std::abs(mean) > 0.0F ? std::arg(mean) : 0.0F;
    constexpr float kProportional = 0.042F; // about 5 Hz natural frequency,
    constexpr float kIntegral = 9e-4F;      // damping 0.7, 1 ms updates
    pilot_offset = std::clamp(pilot_offset + kIntegral * error / static_cast<float>(block),
                              -pilot_limit, pilot_limit);
    nco_crcf_set_frequency(pilot_nco, pilot_nominal + pilot_offset);
    nco_crcf_adjust_phase(pilot_nco, kProportional * error);
    // Locked when the pilot's in-phase part carries most of the band's power.
    constexpr float kLockSmoothing = 0.02F;
    lock_inphase += kLockSmoothing * (mean.real() - lock_inphase);
    lock_power += kLockSmoothing * (std::norm(mean) - lock_power);
    const float quality =
        lock_inphase > 0.0F ? lock_inphase * lock_inphase / std::max(lock_power, 1e-30F) : 0.0F;
    if (!pilot_locked && quality > 0.5F) {
        pilot_locked = true;
    } else if (pilot_locked && quality < 0.2F) {
        pilot_locked = false;
        nco_crcf_set_frequency(sub_nco,
                               static_cast<float>(2.0 * std::numbers::pi * kSubcarrierHz / rate));
    }

    // A cheap integer decimation first; the arbitrary resampler then works
    // at a few tens of kHz.
    firdecim_crcf_execute_block(decimator, sub.data(), block / decimation, sub.data());
    unsigned produced = 0;
    resamp_crcf_execute_block(resampler, sub.data(), block / decimation, base.data(), &produced);
    if (produced == 0)
        return;
    // The matched filter is also the channel filter: its response ends at
    // 2.4 kHz, below the stereo difference signal's upper edge 4 kHz away.
    // No level control is needed: timing, carrier loop and block decoder
    // all work on ratios.
    firfilt_crcf_execute_block(matched, base.data(), produced, filtered.data());
    for (unsigned i = 0; i < produced; ++i)
        Timing(filtered[i]);
    if (loops_synced != blocks.Synced() || loops_locked != pilot_locked)
        SetLoops();
}

void MpxDemodulator::Impl::Timing(Complex sample) {
    constexpr auto kBit = static_cast<std::int64_t>(kSamplesPerBit);
    const std::int64_t index = received++;
    recent[static_cast<std::size_t>(index) & 63U] = sample;
    // Energy against the phase within a bit, averaged over many bits. Its
    // highest point is the bits' centre: unlike a loop that climbs the
    // nearest slope, this cannot settle on the biphase pulse's side peak
    // half a bit away.
    const float smoothing = blocks.Synced() ? 1.0F / 48.0F : 1.0F / 12.0F;
    float &bin = profile[static_cast<std::size_t>(index % kBit)];
    bin += smoothing * (std::norm(sample) - bin);

    const auto base_index = static_cast<std::int64_t>(std::floor(strobe));
    if (index < base_index + 1)
        return;
    auto at = [&](std::int64_t i) { return recent[static_cast<std::size_t>(i) & 63U]; };
    // The bit's centre, interpolated between the two nearest outputs.
    const auto fraction = static_cast<float>(strobe - static_cast<double>(base_index));
    const Complex y = at(base_index) + fraction * (at(base_index + 1) - at(base_index));

    const auto peak = static_cast<std::size_t>(std::max_element(profile.begin(), profile.end()) -
                                               profile.begin());
    const float left = profile[(peak + kSamplesPerBit - 1) % kSamplesPerBit];
    const float middle = profile[peak];
    const float right = profile[(peak + 1) % kSamplesPerBit];
    const float curvature = left - 2.0F * middle + right;
    const float offset = curvature < 0.0F ? 0.5F * (left - right) / curvature : 0.0F;
    // Strobe error in samples, the shorter way round the bit.
    float error = static_cast<float>(peak) + offset -
                  static_cast<float>(std::fmod(strobe, static_cast<double>(kSamplesPerBit)));
    constexpr float kBitF = static_cast<float>(kSamplesPerBit);
    if (error >= kBitF / 2.0F)
        error -= kBitF;
    else if (error < -kBitF / 2.0F)
        error += kBitF;
    ++bits;
    float gain = blocks.Synced() ? 0.05F : 0.2F;
    if (bits < 8)
        gain = 0.0F; // the profile is not yet worth following
    else if (std::fabs(error) > 3.0F)
        gain = 1.0F;
    strobe += kSamplesPerBit + gain * error;
    Symbol(y, *out);
}

void MpxDemodulator::Impl::Symbol(Complex y, std::vector<Group> &groups) {
    Complex z;
    nco_crcf_mix_down(carrier, y, &z);
    // BPSK phase detector, blind to the 180 degree ambiguity that the
    // differential coding removes anyway.
    detector_power += 0.02F * (std::norm(z) - detector_power);
    const float error =
        std::clamp(z.real() * z.imag() / std::max(detector_power, 1e-30F), -1.0F, 1.0F);
    nco_crcf_pll_step(carrier, error);
    nco_crcf_step(carrier);
    blocks.Push(z.real(), groups);
}

MpxDemodulator::MpxDemodulator(double sample_rate) {
    if (!(sample_rate >= kMinMpxRate && sample_rate <= kMaxMpxRate))
        throw std::invalid_argument("MPX rate must be from 128000 to 4000000 samples/s");
    impl_ = std::make_unique<Impl>(sample_rate);
}
MpxDemodulator::~MpxDemodulator() = default;
MpxDemodulator::MpxDemodulator(MpxDemodulator &&) noexcept = default;
MpxDemodulator &MpxDemodulator::operator=(MpxDemodulator &&) noexcept = default;

void MpxDemodulator::Process(std::span<const float> mpx, std::vector<Group> &out) {
    Impl &q = *impl_;
    q.out = &out;
    std::size_t i = 0;
    while (i < mpx.size()) {
        const std::size_t take = std::min(q.block - q.pending.size(), mpx.size() - i);
        for (std::size_t k = 0; k < take; ++k) {
            const float sample = mpx[i + k];
            // Hostile input: a NaN would poison every loop for good.
            q.pending.push_back(std::isfinite(sample) ? sample : 0.0F);
        }
        i += take;
        if (q.pending.size() == q.block) {
            q.Run(q.pending.data());
            q.pending.clear();
        }
    }
    q.out = nullptr;
}

void MpxDemodulator::ProcessS16le(std::span<const std::uint8_t> bytes, std::vector<Group> &out) {
    Impl &q = *impl_;
    std::array<float, 2048> samples{};
    std::size_t count = 0;
    std::size_t i = 0;
    auto flush = [&]() {
        Process(std::span<const float>(samples.data(), count), out);
        count = 0;
    };
    if (q.carry_valid && !bytes.empty()) {
        const auto value = static_cast<std::int16_t>(q.carry | (bytes[0] << 8));
        samples[count++] = static_cast<float>(value) / 32768.0F;
        q.carry_valid = false;
        i = 1;
    }
    for (; i + 1 < bytes.size(); i += 2) {
        const auto value = static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8));
        samples[count++] = static_cast<float>(value) / 32768.0F;
        if (count == samples.size())
            flush();
    }
    if (i < bytes.size()) {
        q.carry = bytes[i];
        q.carry_valid = true;
    }
    flush();
}

Status MpxDemodulator::GetStatus() const {
    return Status{impl_->pilot_locked, impl_->blocks.Synced(), impl_->blocks.Corrected()};
}

struct IqDemodulator::Impl {
    explicit Impl(double sample_rate)
        : decimation(std::max(1U, static_cast<unsigned>(sample_rate / 250000.0))),
          mpx_rate(sample_rate / decimation), mpx(mpx_rate) {
        if (decimation > 1)
            decimator = Liquid<firdecim_crcf, firdecim_crcf_destroy>(
                firdecim_crcf_create_kaiser(decimation, 3, 60.0F));
        for (unsigned b = 0; b < 256; ++b)
            level[b] = (static_cast<float>(b) - 127.5F) / 127.5F;
        wide.reserve(kChunk * decimation);
        narrow.resize(kChunk);
        discriminated.resize(kChunk);
    }
    static constexpr std::size_t kChunk = 1024;

    void Flush(std::vector<Group> &out) {
        const std::size_t outputs = wide.size() / decimation;
        if (outputs == 0)
            return;
        if (decimation > 1)
            firdecim_crcf_execute_block(decimator, wide.data(), static_cast<unsigned>(outputs),
                                        narrow.data());
        else
            std::copy(wide.begin(), wide.end(), narrow.begin());
        for (std::size_t i = 0; i < outputs; ++i) {
            // Polar discriminator: the phase step from the previous sample.
            const Complex step = narrow[i] * std::conj(previous);
            discriminated[i] = FastArg(step);
            previous = narrow[i];
        }
        mpx.Process(std::span<const float>(discriminated.data(), outputs), out);
        wide.erase(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(outputs * decimation));
    }

    unsigned decimation;
    double mpx_rate;
    MpxDemodulator mpx;
    Liquid<firdecim_crcf, firdecim_crcf_destroy> decimator;
    std::array<float, 256> level{};
    std::vector<Complex> wide, narrow;
    std::vector<float> discriminated;
    Complex previous{0.0F, 0.0F};
    bool carry_valid = false;
    std::uint8_t carry = 0;
};

IqDemodulator::IqDemodulator(double sample_rate) {
    if (!(sample_rate >= kMinIqRate && sample_rate <= kMaxIqRate))
        throw std::invalid_argument("IQ rate must be from 228000 to 3200000 samples/s");
    impl_ = std::make_unique<Impl>(sample_rate);
}
IqDemodulator::~IqDemodulator() = default;
IqDemodulator::IqDemodulator(IqDemodulator &&) noexcept = default;
IqDemodulator &IqDemodulator::operator=(IqDemodulator &&) noexcept = default;

void IqDemodulator::ProcessCu8(std::span<const std::uint8_t> bytes, std::vector<Group> &out) {
    Impl &q = *impl_;
    const std::size_t limit = Impl::kChunk * q.decimation;
    std::size_t i = 0;
    if (q.carry_valid && !bytes.empty()) {
        q.wide.emplace_back(q.level[q.carry], q.level[bytes[0]]);
        q.carry_valid = false;
        i = 1;
    }
    for (; i + 1 < bytes.size(); i += 2) {
        q.wide.emplace_back(q.level[bytes[i]], q.level[bytes[i + 1]]);
        if (q.wide.size() >= limit)
            q.Flush(out);
    }
    if (i < bytes.size()) {
        q.carry = bytes[i];
        q.carry_valid = true;
    }
    q.Flush(out);
}

void IqDemodulator::Process(std::span<const std::complex<float>> iq, std::vector<Group> &out) {
    Impl &q = *impl_;
    const std::size_t limit = Impl::kChunk * q.decimation;
    for (const std::complex<float> sample : iq) {
        q.wide.push_back(sample);
        if (q.wide.size() >= limit)
            q.Flush(out);
    }
    q.Flush(out);
}

Status IqDemodulator::GetStatus() const {
    return impl_->mpx.GetStatus();
}

double IqDemodulator::MpxRate() const {
    return impl_->mpx_rate;
}

} // namespace demod
