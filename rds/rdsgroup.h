// rdsgroup.h — one RDS group as the emulator and tmcview handle it. The
// stack's raw bytes for a group are described in fmstack_rds.h (the tuner
// library's), which this header brings in for everyone who writes or reads
// them.
#ifndef TAVRINEL_EMULATOR_RDSGROUP_H
#define TAVRINEL_EMULATOR_RDSGROUP_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "fmstack_rds.h"

namespace rds {

inline constexpr std::size_t kBlocksPerGroup = kFmsRdsBlocks;

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
