// RDS blocks: the (26,16) block code with its offset words, and block
// synchronisation of a stream of channel bits into groups.
#ifndef TAVRINEL_DEMOD_RDS_BLOCKS_H
#define TAVRINEL_DEMOD_RDS_BLOCKS_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace demod {

// One received group: blocks A, B, C (or C'), D and whether each decoded.
struct Group {
    std::array<std::uint16_t, 4> blocks{};
    std::array<bool, 4> decoded{};
    bool operator==(const Group &) const = default;
};

// "PPPP BBBB CCCC DDDD" in uppercase hex, "----" for a block not decoded.
std::string FormatGroup(const Group &group);

enum class Offset : std::uint8_t { A, B, C, CPrime, D };

// The 10-bit word added to a block's checkword to mark its place in the group.
std::uint16_t OffsetWord(Offset offset);

// Remainder of a 26-bit block (information in bits 25..10, checkword in 9..0)
// divided by the code's generator polynomial. A block received intact has the
// offset word of its place as remainder.
std::uint16_t Syndrome(std::uint32_t block);

// Checkword of a 16-bit information word at a given place.
std::uint16_t CheckWord(std::uint16_t info, Offset offset);

// Turns channel bits (as sent on air, before differential decoding) into
// groups. Each group is reported once, in order, when its fourth block has
// passed, and only if at least one of its blocks decoded.
class BlockDecoder {
public:
    BlockDecoder() { Reset(); }

    // One channel bit: its sign is the bit, its magnitude how sure it is.
    void Push(float soft, std::vector<Group> &out);
    void Reset();

    [[nodiscard]] bool Synced() const { return synced_; }
    // Blocks repaired by the error correction so far.
    [[nodiscard]] std::uint64_t Corrected() const { return corrected_; }

private:
    static constexpr std::size_t kHistory = 512; // channel bits kept, a power of two

    struct Hit {
        std::int64_t end = -1000; // index of the block's last bit
        Offset offset = Offset::A;
    };

    [[nodiscard]] float Soft(std::int64_t index) const {
        return history_[static_cast<std::size_t>(index) & (kHistory - 1)];
    }
    void Acquire(std::int64_t end, Offset offset, std::vector<Group> &out);
    void DecodeNextSlot(std::vector<Group> &out);
    bool DecodeBlock(std::int64_t start, int slot, std::uint16_t &info);
    bool Correct(std::int64_t start, int slot, std::uint16_t syndrome);
    void EmitGroup(std::vector<Group> &out);

    std::array<float, kHistory> history_{};
    std::int64_t count_ = 0; // channel bits received
    std::uint32_t word_ = 0; // last 26 data bits, newest in bit 0
    bool last_bit_ = false;
    std::array<Hit, 8> hits_{};
    std::size_t next_hit_ = 0;

    bool synced_ = false;
    std::int64_t group_start_ = 0; // index of the first bit of block A
    int slot_ = 0;                 // next block to decode, 0..3
    Group group_;
    std::int64_t emitted_end_ = -1000; // end of the last group reported
    int bad_run_ = 0;
    bool previous_ok_ = false;
    // Channel-bit amplitude and noise, learnt from blocks that decoded.
    float amplitude_ = 0.0F;
    float noise_ = 0.0F;
    int learnt_ = 0;
    std::uint64_t corrected_ = 0;
};

} // namespace demod

#endif // TAVRINEL_DEMOD_RDS_BLOCKS_H
