// rdsgroup.h — one RDS group as the emulator handles it, and the stack's raw
// byte format the FM stack simulator delivers.
//
// Raw group on the stack's wire: 12 bytes, blocks A, B, C, D in order, each
// block = data high byte, data low byte, status byte. The status byte of a
// good block is 0x20 (A), 0x21 (B), 0x22 (C), 0x24 (D); bit 3 (0x08) marks a
// block with uncorrected errors. Any other value is a damaged status byte,
// which a framer must reject.
#ifndef TAVRINEL_EMULATOR_RDSGROUP_H
#define TAVRINEL_EMULATOR_RDSGROUP_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace rds {

inline constexpr std::size_t kBlocksPerGroup = 4;
inline constexpr std::size_t kRawBytesPerBlock = 3;
inline constexpr std::size_t kRawBytesPerGroup = kBlocksPerGroup * kRawBytesPerBlock; // 12
inline constexpr std::array<std::uint8_t, kBlocksPerGroup> kBlockStatus = {0x20, 0x21, 0x22, 0x24};
inline constexpr std::uint8_t kBlockErrorBit = 0x08;
// Added to the expected status of a block the receiver could not decode.
inline constexpr std::uint8_t kDamagedStatusBit = 0x10;

// 1187.5 bit/s, 104 bits per group: 11.418 groups per second.
inline constexpr double kBitsPerSecond = 1187.5;
inline constexpr double kGroupsPerSecond = kBitsPerSecond / 104.0;

enum Block : std::size_t { kBlockA = 0, kBlockB = 1, kBlockC = 2, kBlockD = 3 };

struct Group {
    std::array<std::uint16_t, kBlocksPerGroup> block{};
    // Bit i set: block i was not decoded (a "----" block of a capture).
    std::uint8_t missing = 0;

    [[nodiscard]] unsigned typeCode() const { return block[kBlockB] >> 12; }
    [[nodiscard]] bool versionB() const { return (block[kBlockB] >> 11) & 1u; }
    [[nodiscard]] bool blockMissing(std::size_t i) const { return (missing >> i) & 1u; }
};

} // namespace rds

#endif // TAVRINEL_EMULATOR_RDSGROUP_H
