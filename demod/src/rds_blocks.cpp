#include "demod/rds_blocks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace demod {

namespace {

constexpr std::uint32_t kGenerator = 0x5B9; // x^10 + x^8 + x^7 + x^5 + x^4 + x^3 + 1
constexpr std::uint32_t kBlockMask = (1U << 26) - 1;
constexpr std::array<std::uint16_t, 5> kOffsetWords{0x0FC, 0x198, 0x168, 0x350, 0x1B4};

// After this many blocks in a row fail, the block phase is no longer trusted.
constexpr int kLoseAfter = 10;
// Correction accepts a repair only if the bits it flips were doubtful: the
// summed log-likelihood of the flipped channel bits stays under these.
constexpr float kMaxSingleCost = 7.0F;
constexpr float kMaxPairCost = 8.0F;
// ... and only if every other repair costs at least this much more.
constexpr float kMargin = 4.0F;

constexpr std::uint16_t Remainder(std::uint32_t block) {
    for (int bit = 25; bit >= 10; --bit)
        if ((block >> bit) & 1U)
            block ^= kGenerator << (bit - 10);
    return static_cast<std::uint16_t>(block & 0x3FF);
}

// Syndrome change when one channel bit flips: with differential coding that
// flips two neighbouring data bits (one at the block's edges). Index 0 is the
// last channel bit of the previous block, 1..26 this block's.
constexpr std::array<std::uint16_t, 27> MakeFlipSyndromes() {
    std::array<std::uint16_t, 27> table{};
    for (int channel = -1; channel <= 25; ++channel) {
        std::uint32_t error = 0;
        for (int data = channel; data <= channel + 1; ++data)
            if (data >= 0 && data <= 25)
                error |= 1U << (25 - data);
        table[static_cast<std::size_t>(channel + 1)] = Remainder(error);
    }
    return table;
}
constexpr std::array<std::uint16_t, 27> kFlipSyndromes = MakeFlipSyndromes();

Offset Previous(Offset offset, Offset candidate) {
    switch (offset) {
    case Offset::A:
        return Offset::D;
    case Offset::B:
        return Offset::A;
    case Offset::C:
    case Offset::CPrime:
        return Offset::B;
    case Offset::D:
        // Either form of block C precedes D.
        return candidate == Offset::CPrime ? Offset::CPrime : Offset::C;
    }
    return Offset::A;
}

int SlotOf(Offset offset) {
    switch (offset) {
    case Offset::A:
        return 0;
    case Offset::B:
        return 1;
    case Offset::C:
    case Offset::CPrime:
        return 2;
    case Offset::D:
        return 3;
    }
    return 0;
}

bool SyndromeFits(int slot, std::uint16_t syndrome) {
    if (slot == 2)
        return syndrome == OffsetWord(Offset::C) || syndrome == OffsetWord(Offset::CPrime);
    static constexpr std::array<Offset, 4> kSlots{Offset::A, Offset::B, Offset::C, Offset::D};
    return syndrome == OffsetWord(kSlots[static_cast<std::size_t>(slot)]);
}

} // namespace

std::string FormatGroup(const Group &group) {
    std::string line;
    for (std::size_t i = 0; i < 4; ++i) {
        char text[8];
        if (group.decoded[i])
            std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(group.blocks[i]));
        else
            std::snprintf(text, sizeof text, "----");
        if (i > 0)
            line += ' ';
        line += text;
    }
    return line;
}

std::uint16_t OffsetWord(Offset offset) {
    return kOffsetWords[static_cast<std::size_t>(offset)];
}

std::uint16_t Syndrome(std::uint32_t block) {
    return Remainder(block & kBlockMask);
}

std::uint16_t CheckWord(std::uint16_t info, Offset offset) {
    return static_cast<std::uint16_t>(Remainder(static_cast<std::uint32_t>(info) << 10) ^
                                      OffsetWord(offset));
}

void BlockDecoder::Reset() {
    history_.fill(0.0F);
    count_ = 0;
    word_ = 0;
    last_bit_ = false;
    hits_.fill(Hit{});
    next_hit_ = 0;
    synced_ = false;
    group_start_ = 0;
    slot_ = 0;
    group_ = Group{};
    emitted_end_ = -1000;
    bad_run_ = 0;
    previous_ok_ = false;
    amplitude_ = 0.0F;
    noise_ = 0.0F;
    learnt_ = 0;
    corrected_ = 0;
}

void BlockDecoder::Push(float soft, std::vector<Group> &out) {
    if (!std::isfinite(soft))
        soft = 0.0F;
    const std::int64_t index = count_;
    history_[static_cast<std::size_t>(index) & (kHistory - 1)] = soft;
    const bool bit = soft > 0.0F;
    word_ = ((word_ << 1) | (bit != last_bit_ ? 1U : 0U)) & kBlockMask;
    last_bit_ = bit;
    ++count_;

    while (synced_ && group_start_ + 26 * slot_ + 25 <= index)
        DecodeNextSlot(out);
    if (count_ < 27)
        return;

    // Block phase search, also while synchronised: after a bit slip the new
    // phase is found here.
    const std::uint16_t syndrome = Syndrome(word_);
    for (std::size_t o = 0; o < kOffsetWords.size(); ++o) {
        if (syndrome != kOffsetWords[o])
            continue;
        const auto offset = static_cast<Offset>(o);
        hits_[next_hit_] = Hit{index, offset};
        next_hit_ = (next_hit_ + 1) % hits_.size();
        // Three blocks in a row at their places: a random bit stream shows
        // that about once in 2^30 bits.
        bool before = false;
        bool first = false;
        for (const Hit &hit : hits_) {
            if (hit.end == index - 26 && hit.offset == Previous(offset, hit.offset)) {
                for (const Hit &older : hits_)
                    if (older.end == index - 52 &&
                        older.offset == Previous(hit.offset, older.offset))
                        first = true;
                before = true;
            }
        }
        if (!before || !first)
            break;
        const std::int64_t start = index - 25 - 26 * SlotOf(offset);
        const bool same_phase = synced_ && ((start - group_start_) % 104 + 104) % 104 == 0;
        if (!synced_ || (!same_phase && bad_run_ >= 2))
            Acquire(index, offset, out);
        break;
    }
}

void BlockDecoder::Acquire(std::int64_t end, Offset offset, std::vector<Group> &out) {
    if (synced_ && slot_ > 0) {
        // The old phase's unfinished group ends here.
        EmitGroup(out);
    }
    synced_ = true;
    bad_run_ = 0;
    previous_ok_ = false;
    const std::int64_t start = end - 25 - 26 * SlotOf(offset);
    const std::int64_t first_hit = end - 77;
    // Start with the group holding the first of the three blocks, so that
    // the blocks before them, still in the history, are decoded too.
    group_start_ = first_hit < start ? start - 104 : start;
    slot_ = 0;
    group_ = Group{};
    while (synced_ && group_start_ + 26 * slot_ + 25 <= end)
        DecodeNextSlot(out);
}

void BlockDecoder::DecodeNextSlot(std::vector<Group> &out) {
    const std::int64_t start = group_start_ + 26 * slot_;
    // A block is tried only if all its bits are still kept, and if it does
    // not belong to a group already reported (after a phase change).
    const bool available = start - 1 >= count_ - static_cast<std::int64_t>(kHistory) &&
                           start - 1 >= 0 && start >= emitted_end_ - 13;
    std::uint16_t info = 0;
    const bool ok = available && DecodeBlock(start, slot_, info);
    group_.blocks[static_cast<std::size_t>(slot_)] = ok ? info : 0;
    group_.decoded[static_cast<std::size_t>(slot_)] = ok;
    bad_run_ = ok ? 0 : bad_run_ + 1;
    previous_ok_ = ok;
    ++slot_;
    if (slot_ == 4)
        EmitGroup(out);
    if (bad_run_ >= kLoseAfter) {
        if (slot_ > 0)
            EmitGroup(out);
        synced_ = false;
    }
}

void BlockDecoder::EmitGroup(std::vector<Group> &out) {
    if (std::any_of(group_.decoded.begin(), group_.decoded.end(), [](bool b) { return b; })) {
        out.push_back(group_);
        emitted_end_ = group_start_ + 104;
    }
    group_start_ += 104;
    slot_ = 0;
    group_ = Group{};
}

bool BlockDecoder::DecodeBlock(std::int64_t start, int slot, std::uint16_t &info) {
    auto assemble = [&]() {
        std::uint32_t word = 0;
        bool previous = Soft(start - 1) > 0.0F;
        for (std::int64_t i = start; i < start + 26; ++i) {
            const bool bit = Soft(i) > 0.0F;
            word = (word << 1) | (bit != previous ? 1U : 0U);
            previous = bit;
        }
        return word;
    };
    std::uint32_t word = assemble();
    const std::uint16_t syndrome = Syndrome(word);
    if (SyndromeFits(slot, syndrome)) {
        // Learn the channel's amplitude and noise from clean blocks: the
        // correction weighs bits by them.
        float sum = 0.0F;
        float squares = 0.0F;
        for (std::int64_t i = start - 1; i < start + 26; ++i) {
            const float v = std::fabs(Soft(i));
            sum += v;
            squares += v * v;
        }
        const float mean = sum / 27.0F;
        const float variance = std::max(squares / 27.0F - mean * mean, 0.0F);
        const float weight = learnt_ == 0 ? 1.0F : 0.1F;
        amplitude_ += weight * (mean - amplitude_);
        noise_ += weight * (variance - noise_);
        ++learnt_;
    } else if (learnt_ == 0 || !Correct(start, slot, syndrome)) {
        return false;
    } else {
        word = assemble();
    }
    info = static_cast<std::uint16_t>(word >> 10);
    return true;
}

bool BlockDecoder::Correct(std::int64_t start, int slot, std::uint16_t syndrome) {
    // Log-likelihood that a channel bit's decision is right, from its soft value.
    const float noise = std::max(noise_, 1e-3F * amplitude_ * amplitude_ + 1e-12F);
    const float scale = 2.0F * amplitude_ / noise;
    std::array<float, 27> cost{};
    std::array<int, 27> order{};
    int candidates = 0;
    // The previous block's last bit is a candidate only if that block failed:
    // a block that decoded vouches for it.
    for (int channel = previous_ok_ ? 0 : -1; channel <= 25; ++channel) {
        const auto k = static_cast<std::size_t>(channel + 1);
        cost[k] = scale * std::fabs(Soft(start + channel));
        order[static_cast<std::size_t>(candidates++)] = channel + 1;
    }
    // Every single and every pair of flips that would make the block good,
    // the cheapest kept. Two channel-bit pairs can share a syndrome, so a
    // repair is taken only if no other one comes close.
    float best = std::numeric_limits<float>::infinity();
    float second = best;
    int flip_a = -1;
    int flip_b = -1;
    auto consider = [&](float c, int a, int b) {
        if (c < best) {
            second = best;
            best = c;
            flip_a = a;
            flip_b = b;
        } else if (c < second) {
            second = c;
        }
    };
    for (int i = 0; i < candidates; ++i) {
        const auto ka = static_cast<std::size_t>(order[static_cast<std::size_t>(i)]);
        const std::uint16_t after = syndrome ^ kFlipSyndromes[ka];
        if (SyndromeFits(slot, after))
            consider(cost[ka], static_cast<int>(ka), -1);
        for (int j = i + 1; j < candidates; ++j) {
            const auto kb = static_cast<std::size_t>(order[static_cast<std::size_t>(j)]);
            if (SyndromeFits(slot, after ^ kFlipSyndromes[kb]))
                consider(cost[ka] + cost[kb], static_cast<int>(ka), static_cast<int>(kb));
        }
    }
    const float limit = flip_b < 0 ? kMaxSingleCost : kMaxPairCost;
    if (best > limit || second - best < kMargin)
        flip_a = -1;
    if (flip_a < 0)
        return false;
    for (int flip : {flip_a, flip_b}) {
        if (flip < 0)
            continue;
        float &v = history_[static_cast<std::size_t>(start + flip - 1) & (kHistory - 1)];
        // Flipped, and marked as barely known.
        v = v > 0.0F ? -1e-6F : 1e-6F;
    }
    ++corrected_;
    return true;
}

} // namespace demod
