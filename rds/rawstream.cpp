// rawstream.cpp — raw stack bytes with reception faults.
#include "rawstream.h"

#include <algorithm>

namespace rds {

RawStream::RawStream(std::unique_ptr<GroupSource> source, ErrorRates rates, std::uint32_t seed)
    : source_(std::move(source)), rates_(rates), random_(seed) {
    // A stream that loses every byte would never yield one.
    rates_.lostByte = std::clamp(rates_.lostByte, 0.0, 0.5);
}

bool RawStream::chance(double p) {
    if (p <= 0)
        return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < p;
}

void RawStream::refill() {
    std::vector<std::uint8_t> raw;
    raw.reserve(kFmsRdsGroupBytes);
    AppendRawGroup(source_->next(), raw);
    ++groups_;
    for (std::size_t b = 0; b < kBlocksPerGroup; ++b) {
        std::uint8_t *block = &raw[b * kFmsRdsBlockBytes];
        if (chance(rates_.blockError)) {
            // An uncorrected block: some data bits wrong, error bit set.
            // Drawn in this order since replays of a seed must not change.
            const auto bit = static_cast<std::uint8_t>(1u << (random_() % 8));
            block[random_() % 2 == 0 ? kFmsRdsDataHigh : kFmsRdsDataLow] ^= bit;
            block[kFmsRdsStatus] |= kFmsRdsErrorBit;
        }
        if (chance(rates_.damagedStatus)) {
            // Any bit but the error bit: the framer must reject the group.
            static constexpr std::uint8_t kBits[] = {0x01, 0x02, 0x04, 0x10, 0x40, 0x80};
            block[kFmsRdsStatus] ^= kBits[random_() % std::size(kBits)];
        }
    }
    for (std::uint8_t byte : raw) {
        if (chance(rates_.lostByte))
            continue;
        pending_.push_back(byte);
        if (chance(rates_.extraByte))
            pending_.push_back(static_cast<std::uint8_t>(random_()));
    }
}

void RawStream::read(std::size_t count, std::vector<std::uint8_t> &out) {
    while (count > 0) {
        while (pending_.empty())
            refill();
        out.push_back(pending_.front());
        pending_.pop_front();
        --count;
    }
}

} // namespace rds
