#include "protocol/crc.h"

#include <array>

namespace qv {

namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t length) {
  // Peers compute the checksum with the same limit, so an over-long datagram
  // must produce the same fixed value rather than a real CRC.
  if (length > kCrcMaxLength) return kCrcTooLong;
  return Crc32Update(kCrcInit, data, length) ^ kCrcInit;
}

uint32_t Crc32Update(uint32_t state, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) state = kTable[(state ^ data[i]) & 0xFF] ^ (state >> 8);
  return state;
}

}  // namespace qv
