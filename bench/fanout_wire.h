// The datagrams of the raw fan-out baseline (bench only, no protocol).
//
// A client datagram has a 16-byte header and a relayed one a 22-byte header,
// the sizes of the voice server's client and server voice headers, so that
// both relays move datagrams of the same length under the same load.
//
//   offset 0  u8  kind (fkJoin, fkVoice from clients; fkJoined, fkRelayed back)
//   offset 2  u16 group (channel)
//   offset 4  u32 client id (the sender's; in a relayed copy the recipient's)
//   rest of the header zero; the payload follows it unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qv::bench {

enum TFanoutKind : uint8_t { fkJoin = 1, fkVoice = 2, fkJoined = 3, fkRelayed = 4 };

inline constexpr size_t kFanoutInHeader = 16;
inline constexpr size_t kFanoutOutHeader = 22;

struct TFanoutHeader {
  uint8_t Kind = 0;
  uint16_t Group = 0;
  uint32_t ClientId = 0;
};

// Little-endian like the voice protocol; memcpy keeps it free of alignment traps.
inline void WriteFanoutHeader(uint8_t* out, size_t headerSize, const TFanoutHeader& h) {
  std::memset(out, 0, headerSize);
  out[0] = h.Kind;
  out[2] = static_cast<uint8_t>(h.Group);
  out[3] = static_cast<uint8_t>(h.Group >> 8);
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(h.ClientId >> (8 * i));
}

inline TFanoutHeader ReadFanoutHeader(const uint8_t* in) {
  TFanoutHeader h;
  h.Kind = in[0];
  h.Group = static_cast<uint16_t>(in[2] | in[3] << 8);
  for (int i = 0; i < 4; ++i) h.ClientId |= static_cast<uint32_t>(in[4 + i]) << (8 * i);
  return h;
}

}  // namespace qv::bench
