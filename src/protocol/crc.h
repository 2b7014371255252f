// CRC-32 of packets: the zlib / IEEE 802.3 checksum (reflected polynomial
// 0xEDB88320, initial value and final XOR 0xFFFFFFFF), table-driven.
//
// Thread rules: pure function, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

// Longest input the checksum routine accepts; a longer one yields kCrcTooLong.
inline constexpr size_t kCrcMaxLength = 65521;
inline constexpr uint32_t kCrcTooLong = 0xFFFFFFFF;

uint32_t Crc32(const uint8_t* data, size_t length);

// Running form for checksums over several pieces: start with kCrcInit, feed
// every piece through Crc32Update, finish with state ^ kCrcInit. The length
// rule is the caller's to apply to the total.
inline constexpr uint32_t kCrcInit = 0xFFFFFFFF;
uint32_t Crc32Update(uint32_t state, const uint8_t* data, size_t length);

}  // namespace qv
