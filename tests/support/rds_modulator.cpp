#include "support/rds_modulator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <numbers>
#include <sstream>
#include <utility>

#include <complex>
#include <liquid/liquid.h>

namespace testsupport {

namespace {

constexpr double kBitRate = 1187.5;
constexpr double kChipRate = 2.0 * kBitRate; // biphase: two half-symbols per bit
constexpr int kSpan = 8;                     // shaping pulse kept over +-8 half-symbols
constexpr int kTableSteps = 64;              // table points per half-symbol
constexpr std::uint16_t kOffsets[5] = {0x0FC, 0x198, 0x168, 0x350, 0x1B4}; // A B C C' D
// XOR applied to a missing block's checkword: its syndrome is more than two
// channel-bit flips away from every offset word's.
constexpr std::uint16_t kDamage = 0x0B5;

std::uint16_t Remainder(std::uint32_t value) {
    for (int bit = 25; bit >= 10; --bit)
        if ((value >> bit) & 1U)
            value ^= 0x5B9U << (bit - 10);
    return static_cast<std::uint16_t>(value & 0x3FF);
}

std::uint64_t Next(std::uint64_t &state) {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
}

// The transmitter's shaping: square root of cos(pi f td / 4) up to 2/td.
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

const std::vector<float> &InverseNormalTable() {
    static const std::vector<float> table = [] {
        std::vector<float> values(65536);
        for (std::size_t i = 0; i < values.size(); ++i) {
            const double p = (static_cast<double>(i) + 0.5) / 65536.0;
            double low = -10.0;
            double high = 10.0;
            for (int k = 0; k < 60; ++k) {
                const double mid = 0.5 * (low + high);
                if (0.5 * std::erfc(-mid / std::numbers::sqrt2) < p)
                    low = mid;
                else
                    high = mid;
            }
            values[i] = static_cast<float>(0.5 * (low + high));
        }
        return values;
    }();
    return table;
}

} // namespace

Gaussian::Gaussian(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 1) {
    InverseNormalTable();
}

float Gaussian::operator()() {
    const std::vector<float> &table = InverseNormalTable();
    const std::uint64_t r = Next(state_);
    const auto index = static_cast<std::size_t>(r >> 48);
    const float fraction = static_cast<float>((r >> 32) & 0xFFFF) / 65536.0F;
    const float next = index + 1 < table.size() ? table[index + 1] : table[index];
    return table[index] + fraction * (next - table[index]);
}

std::string FormatTxGroup(const TxGroup &group) {
    std::string line;
    for (std::size_t i = 0; i < 4; ++i) {
        char text[8];
        if (group.missing[i])
            std::snprintf(text, sizeof text, "----");
        else
            std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(group.blocks[i]));
        line += i > 0 ? " " : "";
        line += text;
    }
    return line;
}

std::vector<TxGroup> ReadCaptureGroups(const std::string &path, std::size_t max_groups) {
    std::vector<TxGroup> groups;
    std::ifstream file(path);
    std::string line;
    while (groups.size() < max_groups && std::getline(file, line)) {
        if (line.empty() || line[0] == '<' || line[0] == '%')
            continue;
        std::istringstream fields(line);
        TxGroup group;
        bool good = true;
        for (std::size_t i = 0; i < 4 && good; ++i) {
            std::string word;
            fields >> word;
            if (word == "----") {
                group.missing[i] = true;
            } else if (word.size() == 4 &&
                       std::all_of(word.begin(), word.end(),
                                   [](unsigned char c) { return std::isxdigit(c) != 0; })) {
                group.blocks[i] = static_cast<std::uint16_t>(std::stoul(word, nullptr, 16));
            } else {
                good = false;
            }
        }
        if (good)
            groups.push_back(group);
    }
    return groups;
}

struct MpxModulator::State {
    MpxOptions options;
    double actual_rate = 0.0;
    std::vector<std::int8_t> chips; // +-1 per half-symbol
    std::size_t first_group_chip = 0;
    std::vector<float> pulse; // shaping pulse, in half-symbols from -kSpan to kSpan
    double rds_scale = 0.0;
    double noise_sigma = 0.0;
    double programme_scale = 0.0;
    iirfilt_rrrf programme = nullptr;
    Gaussian noise{1};
    Gaussian audio{2};
    std::size_t next = 0;

    ~State() {
        if (programme != nullptr)
            iirfilt_rrrf_destroy(programme);
    }

    [[nodiscard]] double Shaped(double u) const {
        // u: time in half-symbols.
        const auto centre = static_cast<long>(std::floor(u));
        double sum = 0.0;
        const long last = static_cast<long>(chips.size()) - 1;
        for (long i = std::max(0L, centre - kSpan + 1); i <= std::min(last, centre + kSpan); ++i) {
            const double x = (u - static_cast<double>(i) + kSpan) * kTableSteps;
            const auto k = static_cast<std::size_t>(x);
            if (k + 1 >= pulse.size())
                continue;
            const double frac = x - static_cast<double>(k);
            sum +=
                chips[static_cast<std::size_t>(i)] * (pulse[k] + frac * (pulse[k + 1] - pulse[k]));
        }
        return sum;
    }
};

MpxModulator::MpxModulator(const std::vector<TxGroup> &groups, const MpxOptions &options)
    : state_(new State) {
    State &s = *state_;
    s.options = options;
    s.actual_rate = options.rate * (1.0 + options.ppm * 1e-6);
    s.noise = Gaussian(options.seed * 2 + 1);
    s.audio = Gaussian(options.seed * 2 + 2);
    std::uint64_t random = options.seed * 7919ULL + 17;

    // Data bits: lead-in, the groups, tail.
    std::vector<bool> bits;
    auto random_bits = [&](double seconds) {
        for (long i = 0; i < std::lround(seconds * kBitRate); ++i)
            bits.push_back((Next(random) >> 63) != 0);
    };
    random_bits(options.lead_in_s);
    s.first_group_chip = 2 * bits.size();
    for (const TxGroup &group : groups) {
        const bool version_b = !group.missing[1] && (group.blocks[1] & 0x0800) != 0;
        const int offsets[4] = {0, 1, version_b ? 3 : 2, 4};
        for (std::size_t b = 0; b < 4; ++b) {
            std::uint16_t info = group.blocks[b];
            std::uint16_t check = 0;
            if (group.missing[b]) {
                info = static_cast<std::uint16_t>(Next(random) >> 48);
                check = Remainder(static_cast<std::uint32_t>(info) << 10) ^ kOffsets[offsets[b]] ^
                        kDamage;
            } else {
                check = Remainder(static_cast<std::uint32_t>(info) << 10) ^ kOffsets[offsets[b]];
            }
            const std::uint32_t word = (static_cast<std::uint32_t>(info) << 10) | check;
            for (int k = 25; k >= 0; --k)
                bits.push_back(((word >> k) & 1U) != 0);
        }
    }
    random_bits(options.tail_s);

    // Differential coding, then a logic 1 is a positive then a negative
    // half-symbol impulse, a 0 the reverse.
    bool channel = false;
    s.chips.reserve(2 * bits.size());
    for (bool bit : bits) {
        channel = channel != bit;
        s.chips.push_back(channel ? 1 : -1);
        s.chips.push_back(channel ? -1 : 1);
    }

    s.pulse.resize(2 * kSpan * kTableSteps + 1);
    for (std::size_t k = 0; k < s.pulse.size(); ++k) {
        const double u = static_cast<double>(k) / kTableSteps - kSpan;
        s.pulse[k] = static_cast<float>(ShapingPulse(u / kChipRate));
    }
    // Scale so that a lone symbol peaks at the RDS deviation.
    double peak = 0.0;
    for (std::size_t k = kTableSteps; k < s.pulse.size(); ++k)
        peak =
            std::max(peak, std::fabs(static_cast<double>(s.pulse[k]) - s.pulse[k - kTableSteps]));
    s.rds_scale = kRdsDeviation / peak;
    double power = 0.0;
    const std::size_t points = s.chips.size() * 8;
    for (std::size_t i = 0; i < points; ++i) {
        const double m = s.Shaped(static_cast<double>(i) / 8.0) * s.rds_scale;
        power += m * m;
    }
    // The subcarrier halves the baseband's power.
    rds_power_ = points > 0 ? 0.5 * power / static_cast<double>(points) : 0.0;
    if (std::isfinite(options.ebn0_db))
        s.noise_sigma = std::sqrt(rds_power_ * s.actual_rate /
                                  (2.0 * kBitRate * std::pow(10.0, options.ebn0_db / 10.0)));
    if (options.programme) {
        const double cutoff = 15000.0 / s.actual_rate;
        s.programme = iirfilt_rrrf_create_prototype(LIQUID_IIRDES_BUTTER, LIQUID_IIRDES_LOWPASS,
                                                    LIQUID_IIRDES_SOS, 8,
                                                    static_cast<float>(cutoff), 0.0F, 1.0F, 60.0F);
        s.programme_scale = kProgrammeRms / std::sqrt(2.0 * cutoff);
    }
    total_ =
        static_cast<std::size_t>(static_cast<double>(s.chips.size()) / kChipRate * s.actual_rate);
}

MpxModulator::~MpxModulator() {
    delete state_;
}

double MpxModulator::FirstGroupTime() const {
    return static_cast<double>(state_->first_group_chip) / kChipRate;
}

std::size_t MpxModulator::Generate(std::span<float> out) {
    State &s = *state_;
    std::size_t written = 0;
    constexpr double kTwoPi = 2.0 * std::numbers::pi;
    for (; written < out.size() && s.next < total_; ++written, ++s.next) {
        const double t = static_cast<double>(s.next) / s.actual_rate;
        // The pilot and the subcarrier share one phase: 57 kHz is 3 x 19 kHz.
        const double pilot_phase = std::fmod(kTwoPi * 19000.0 * t, kTwoPi);
        double value = s.rds_scale * s.Shaped(t * kChipRate) * std::cos(3.0 * pilot_phase);
        if (s.options.pilot)
            value += kPilotDeviation * std::cos(pilot_phase);
        if (s.programme != nullptr) {
            float audio = 0.0F;
            iirfilt_rrrf_execute(s.programme, s.audio(), &audio);
            value += s.programme_scale * audio;
        }
        if (s.noise_sigma > 0.0)
            value += s.noise_sigma * s.noise();
        out[written] = static_cast<float>(value);
    }
    return written;
}

std::vector<std::uint8_t> ToS16le(std::span<const float> mpx) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(2 * mpx.size());
    for (float v : mpx) {
        const long value = std::clamp(std::lround(v * (24576.0 / kFullDeviation)), -32768L, 32767L);
        const auto word = static_cast<std::uint16_t>(static_cast<std::int16_t>(value));
        bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    }
    return bytes;
}

namespace {
MpxOptions MpxFor(const IqOptions &iq) {
    MpxOptions mpx;
    mpx.rate = iq.rate;
    mpx.ppm = iq.ppm;
    mpx.pilot = iq.pilot;
    mpx.programme = iq.programme;
    mpx.lead_in_s = iq.lead_in_s;
    mpx.tail_s = iq.tail_s;
    mpx.seed = iq.seed;
    return mpx;
}
} // namespace

IqModulator::IqModulator(const std::vector<TxGroup> &groups, const IqOptions &options)
    : mpx_(groups, MpxFor(options)), options_(options), random_(options.seed * 104729ULL + 3) {}

std::size_t IqModulator::Generate(std::span<std::uint8_t> out) {
    constexpr double kAmplitude = 0.5;
    const double actual_rate = options_.rate * (1.0 + options_.ppm * 1e-6);
    const double sigma = std::isfinite(options_.cnr_db)
                             ? kAmplitude * std::sqrt(0.5 / std::pow(10.0, options_.cnr_db / 10.0))
                             : 0.0;
    Gaussian noise(random_);
    random_ = Next(random_);
    buffer_.resize(out.size() / 2);
    const std::size_t count = mpx_.Generate(buffer_);
    for (std::size_t i = 0; i < count; ++i) {
        phase_ = std::fmod(phase_ + 2.0 * std::numbers::pi * buffer_[i] / actual_rate,
                           2.0 * std::numbers::pi);
        double in_phase = kAmplitude * std::cos(phase_);
        double quadrature = kAmplitude * std::sin(phase_);
        if (sigma > 0.0) {
            in_phase += sigma * noise();
            quadrature += sigma * noise();
        }
        auto byte = [](double v) {
            return static_cast<std::uint8_t>(std::clamp(std::lround(127.5 + 127.5 * v), 0L, 255L));
        };
        out[2 * i] = byte(in_phase);
        out[2 * i + 1] = byte(quadrature);
    }
    return 2 * count;
}

} // namespace testsupport
