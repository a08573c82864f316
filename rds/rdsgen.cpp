// rdsgen.cpp — RDS group generator: block layouts and the broadcast mix.
#include "rdsgen.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace rds {

namespace {

// ---------------------------------------------------------------- block B

// Bits 15-12 group type, 11 version (B), 10 TP, 9-5 PTY, 4-0 type specific.
std::uint16_t BlockB(const GeneratorConfig &config, unsigned type, unsigned low5) {
    return static_cast<std::uint16_t>(((type & 0xFu) << 12) | (config.tp ? 1u << 10 : 0u) |
                                      ((config.pty & 0x1Fu) << 5) | (low5 & 0x1Fu));
}

std::uint8_t TextByte(const std::string &text, std::size_t index, std::size_t length) {
    return index < length && index < text.size() ? static_cast<std::uint8_t>(text[index]) : ' ';
}

// Days since 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int &year, int &month, int &day) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (month <= 2));
}

// Event codes a listener meets every day: queues, slow and stationary traffic,
// accidents, closures, roadworks.
constexpr std::uint16_t kTmcEvents[] = {101, 102, 108, 115, 116, 122, 201, 214, 401, 500, 701, 735};

// One broadcast cycle of 25 groups: 10 x 0A, 10 x 2A, 1 x 3A, 4 x 8A (16 %).
constexpr unsigned char kMix[] = {0, 2, 8, 0, 2, 0, 2, 8, 0, 2, 3, 0, 2,
                                  8, 0, 2, 0, 2, 0, 8, 2, 0, 2, 0, 2};

constexpr std::uint8_t kAfCountBase = 224; // 224 + n: "n AFs follow"
constexpr std::uint8_t kAfFiller = 205;

std::uint8_t AfCode(std::uint32_t kHz) {
    return static_cast<std::uint8_t>((kHz - 87500) / 100);
}

} // namespace

std::uint32_t ModifiedJulianDay(int year, int month, int day) {
    return static_cast<std::uint32_t>(
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
        DaysFromCivil(1858, 11, 17));
}

// ---------------------------------------------------------------- groups

Group MakePsGroup(const GeneratorConfig &config, unsigned segment, std::uint16_t af) {
    segment &= 3u;
    // TA 0, MS 1 (music); DI bit d(3-segment): only "stereo" (segment 3) is set.
    const unsigned di = segment == 3 ? 1u : 0u;
    Group g;
    g.block[kBlockA] = config.pi;
    g.block[kBlockB] = BlockB(config, 0, (1u << 3) | (di << 2) | segment);
    g.block[kBlockC] = af;
    const std::size_t length = std::min(config.ps.size(), kPsChars);
    g.block[kBlockD] = static_cast<std::uint16_t>((TextByte(config.ps, 2 * segment, length) << 8) |
                                                  TextByte(config.ps, 2 * segment + 1, length));
    return g;
}

unsigned RadiotextSegments(const std::string &text) {
    const std::size_t length = std::min(text.size(), kRadiotextChars);
    // A text shorter than 64 characters ends with a carriage return.
    const std::size_t sent = length < kRadiotextChars ? length + 1 : length;
    return static_cast<unsigned>((sent + 3) / 4);
}

Group MakeRadiotextGroup(const GeneratorConfig &config, unsigned segment, bool abFlag) {
    segment &= 0xFu;
    const std::size_t length = std::min(config.radiotext.size(), kRadiotextChars);
    auto at = [&](std::size_t i) -> std::uint8_t {
        if (i < length)
            return static_cast<std::uint8_t>(config.radiotext[i]);
        return i == length ? 0x0D : ' ';
    };
    Group g;
    g.block[kBlockA] = config.pi;
    g.block[kBlockB] = BlockB(config, 2, (abFlag ? 1u << 4 : 0u) | segment);
    const std::size_t base = 4u * segment;
    g.block[kBlockC] = static_cast<std::uint16_t>((at(base) << 8) | at(base + 1));
    g.block[kBlockD] = static_cast<std::uint16_t>((at(base + 2) << 8) | at(base + 3));
    return g;
}

Group MakeClockGroup(const GeneratorConfig &config, const ClockTime &time) {
    const std::uint32_t mjd = ModifiedJulianDay(time.year, time.month, time.day) & 0x1FFFFu;
    const unsigned hour = static_cast<unsigned>(time.hour) & 0x1Fu;
    const unsigned minute = static_cast<unsigned>(time.minute) & 0x3Fu;
    const unsigned offset = static_cast<unsigned>(std::abs(time.offsetHalfHours)) & 0x1Fu;
    Group g;
    g.block[kBlockA] = config.pi;
    g.block[kBlockB] = BlockB(config, 4, mjd >> 15);
    g.block[kBlockC] = static_cast<std::uint16_t>(((mjd & 0x7FFFu) << 1) | (hour >> 4));
    g.block[kBlockD] = static_cast<std::uint16_t>(
        ((hour & 0xFu) << 12) | (minute << 6) | (time.offsetHalfHours < 0 ? 1u << 5 : 0u) | offset);
    return g;
}

Group MakeTmcSystemGroup(const GeneratorConfig &config, unsigned variant) {
    // Application group type code of 8A: type 8 in bits 4-1, version A in bit 0.
    constexpr unsigned kAgtc8A = 8u << 1;
    Group g;
    g.block[kBlockA] = config.pi;
    g.block[kBlockB] = BlockB(config, 3, kAgtc8A);
    if ((variant & 1u) == 0) {
        // Variant 0: LTN, AFI 0, mode 0 (basic), scope national and regional.
        g.block[kBlockC] =
            static_cast<std::uint16_t>(((config.ltn & 0x3Fu) << 6) | (1u << 2) | (1u << 1));
    } else {
        // Variant 1: gap 0, SID; timing fields unused in basic mode.
        g.block[kBlockC] = static_cast<std::uint16_t>((1u << 14) | ((config.sid & 0x3Fu) << 6));
    }
    g.block[kBlockD] = kTmcAid;
    return g;
}

Group MakeTmcUserGroup(const GeneratorConfig &config, const TmcMessage &m) {
    // T = 0 (user message), F = 1 (single group), DP in bits 2-0.
    Group g;
    g.block[kBlockA] = config.pi;
    g.block[kBlockB] = BlockB(config, 8, (1u << 3) | (m.duration & 7u));
    g.block[kBlockC] =
        static_cast<std::uint16_t>((m.diversion ? 1u << 15 : 0u) | (m.direction ? 1u << 14 : 0u) |
                                   ((m.extent & 7u) << 11) | (m.event & 0x7FFu));
    g.block[kBlockD] = m.location;
    return g;
}

// ---------------------------------------------------------------- the stream

GroupGenerator::GroupGenerator(GeneratorConfig config) : config_(std::move(config)) {
    std::mt19937 random(config_.seed);
    const unsigned count = std::clamp(config_.tmcMessages, 1u, kMaxTmcMessages);
    for (unsigned i = 0; i < count; ++i) {
        TmcMessage m;
        m.event = kTmcEvents[random() % std::size(kTmcEvents)];
        m.location = static_cast<std::uint16_t>(1000 + random() % 39000);
        m.extent = static_cast<std::uint8_t>(random() % 4);
        m.duration = static_cast<std::uint8_t>(random() % 8);
        m.direction = (random() & 1u) != 0;
        messages_.push_back(m);
    }
    // AF method A: "n AFs follow" with the first, then pairs.
    std::vector<std::uint8_t> codes;
    for (std::uint32_t f : config_.afKHz) {
        if (f > 87500 && f < 108000 && codes.size() < 25)
            codes.push_back(AfCode(f));
    }
    if (codes.empty()) {
        afPairs_.push_back(static_cast<std::uint16_t>((kAfCountBase << 8) | kAfFiller));
    } else {
        afPairs_.push_back(
            static_cast<std::uint16_t>(((kAfCountBase + codes.size()) << 8) | codes[0]));
        for (std::size_t i = 1; i < codes.size(); i += 2) {
            const std::uint8_t second = i + 1 < codes.size() ? codes[i + 1] : kAfFiller;
            afPairs_.push_back(static_cast<std::uint16_t>((codes[i] << 8) | second));
        }
    }
}

ClockTime GroupGenerator::timeAt(std::uint64_t group) const {
    const ClockTime &s = config_.start;
    const long long startMinutes =
        DaysFromCivil(s.year, static_cast<unsigned>(s.month), static_cast<unsigned>(s.day)) * 1440 +
        s.hour * 60 + s.minute;
    // 104 bits per group at 1187.5 bit/s.
    const long long minutes = startMinutes + static_cast<long long>(group * 104 / 1187.5 / 60.0);
    ClockTime t = s;
    long long days = minutes / 1440;
    long long rest = minutes % 1440;
    if (rest < 0) {
        rest += 1440;
        --days;
    }
    CivilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rest / 60);
    t.minute = static_cast<int>(rest % 60);
    return t;
}

Group GroupGenerator::next() {
    Group g;
    if (config_.clock) {
        const ClockTime t = timeAt(count_);
        const long long minute =
            ModifiedJulianDay(t.year, t.month, t.day) * 1440LL + t.hour * 60 + t.minute;
        // Clock time goes out once at the start and then at every new minute.
        if (minute != lastClockMinute_) {
            lastClockMinute_ = minute;
            ++count_;
            return MakeClockGroup(config_, t);
        }
    }
    g = nextScheduled();
    ++count_;
    return g;
}

Group GroupGenerator::nextScheduled() {
    unsigned kind = kMix[slot_];
    slot_ = (slot_ + 1) % std::size(kMix);
    if ((kind == 8 || kind == 3) && !config_.tmc)
        kind = 0;
    if (kind == 2 && config_.radiotext.empty())
        kind = 0;
    switch (kind) {
    case 2: {
        const Group g = MakeRadiotextGroup(config_, rtSegment_, false);
        rtSegment_ = (rtSegment_ + 1) % RadiotextSegments(config_.radiotext);
        return g;
    }
    case 3:
        return MakeTmcSystemGroup(config_, tmcVariant_++);
    case 8: {
        const Group g = MakeTmcUserGroup(config_, messages_[tmcIndex_]);
        tmcIndex_ = static_cast<unsigned>((tmcIndex_ + 1) % messages_.size());
        return g;
    }
    default: {
        const Group g = MakePsGroup(config_, psSegment_, afPairs_[afIndex_]);
        psSegment_ = (psSegment_ + 1) % 4;
        afIndex_ = static_cast<unsigned>((afIndex_ + 1) % afPairs_.size());
        return g;
    }
    }
}

} // namespace rds
