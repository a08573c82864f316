// fmstack_rds.h — the raw RDS bytes the FM stack delivers in its RDS data
// event (type 8, see fmstack.h). Free of Win32 so that everything handling
// those bytes (the tuner library's framer, the stack and its radios, the
// capture replay, tests) reads the one description.
//
// A raw group is 12 bytes: blocks A, B, C, D in order, 3 bytes each.
//
//  offset  content
//  0, 1    block A data, high byte first (the PI code)
//  2       block A status
//  3, 4    block B data          5  block B status
//  6, 7    block C data          8  block C status
//  9, 10   block D data          11 block D status
//
// Status byte: a received block carries its position's value, 0x20 (A),
// 0x21 (B), 0x22 (C), 0x24 (D); the stack has no C' value and reports a
// version B group's block C' as C. Bit 3 (0x08) may be added to any of them:
// the block had errors the receiver could not correct, and the group still
// counts. Any other value is a damaged status byte, for which a framer
// rejects the whole group. The stack itself marks a block it could not
// decode at all that way: zero data and 0x10 added to the expected value.
// Runs of these bytes need not begin or end on a group boundary.
#ifndef TAVRINEL_FMAPI_FMSTACK_RDS_H
#define TAVRINEL_FMAPI_FMSTACK_RDS_H

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kFmsRdsBlocks = 4; // A, B, C, D
inline constexpr std::size_t kFmsRdsBlockBytes = 3;
inline constexpr std::size_t kFmsRdsGroupBytes = kFmsRdsBlocks * kFmsRdsBlockBytes; // 12

// Offsets within a block.
inline constexpr std::size_t kFmsRdsDataHigh = 0;
inline constexpr std::size_t kFmsRdsDataLow = 1;
inline constexpr std::size_t kFmsRdsStatus = 2;

// The status byte of a received block, by position.
inline constexpr std::array<std::uint8_t, kFmsRdsBlocks> kFmsRdsBlockStatus = {0x20, 0x21, 0x22,
                                                                               0x24};
inline constexpr std::uint8_t kFmsRdsErrorBit = 0x08;
inline constexpr std::uint8_t kFmsRdsNotDecodedBit = 0x10;

#endif // TAVRINEL_FMAPI_FMSTACK_RDS_H
