// The wire of murmur's protocol as the benchmark's clients speak it.
//
// Control (TLS over TCP): frames of a 2-byte big-endian message type, a
// 4-byte big-endian body length and a protobuf body (murmur_messages.proto).
//
// Voice (UDP, after the cipher of ocb2_aes.h): the legacy datagram format
// of 1.2/1.3 clients. A client sends
//   u8 type << 5 | target, varint sequence, varint (size | terminator bit 0x2000), size bytes of Opus;
// the server relays it with the speaker's session varint after the first byte:
//   u8 type << 5 | 0, varint session, varint sequence, varint size, Opus bytes.
// A ping is u8 1 << 5 followed by a varint timestamp, echoed as it is.
// Varints are the protocol's own big-endian prefix code (not protobuf's):
//   0xxxxxxx                      7 bits
//   10xxxxxx + 1 byte            14 bits
//   110xxxxx + 2 bytes           21 bits
//   1110xxxx + 3 bytes           28 bits
//   111100__ + 4 bytes           32 bits
//   111101__ + 8 bytes           64 bits
//   111110__ + varint            the varint's bitwise complement (negative)
//   111111xx                     ~xx (-1 to -4)
//
// Thread rules: plain functions and values; a TFrameReader belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace google::protobuf {
class MessageLite;
}

namespace qv::bench {

enum TMurmurMessage : uint16_t {
  mmVersion = 0,
  mmUDPTunnel = 1,
  mmAuthenticate = 2,
  mmPing = 3,
  mmReject = 4,
  mmServerSync = 5,
  mmChannelRemove = 6,
  mmChannelState = 7,
  mmUserRemove = 8,
  mmUserState = 9,
  mmPermissionDenied = 12,
  mmCryptSetup = 15,
  mmCodecVersion = 21,
};

// Types of voice datagrams (the top three bits of the first byte).
enum TMurmurUdpType : uint8_t { mutCeltAlpha = 0, mutPing = 1, mutSpeex = 2, mutCeltBeta = 3, mutOpus = 4 };

inline constexpr size_t kMurmurFrameHeader = 6;
// Longest body a reader accepts; the server's are far shorter here.
inline constexpr size_t kMurmurMaxBody = 1 << 20;
inline constexpr uint16_t kMurmurOpusTerminator = 0x2000;
inline constexpr uint16_t kMurmurOpusMaxSize = 0x1fff;

std::vector<uint8_t> MurmurFrame(uint16_t type, const google::protobuf::MessageLite& body);

struct TMurmurFrame {
  uint16_t Type = 0;
  std::string Body;
};

// Cuts frames out of the bytes of one connection, in order.
class TFrameReader {
 public:
  void Append(const uint8_t* data, size_t size);
  // The next whole frame, or nullopt until more bytes come.
  std::optional<TMurmurFrame> Next();
  // A frame longer than kMurmurMaxBody was announced: the stream is unusable.
  bool Broken() const { return broken_; }

 private:
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  bool broken_ = false;
};

// Appends the varint of `value` (negative values as the protocol writes them).
void PutMurmurVarint(std::vector<uint8_t>& out, int64_t value);
// Reads one varint at data[pos], moving pos past it; false when the bytes end first.
bool GetMurmurVarint(const uint8_t* data, size_t size, size_t& pos, int64_t& value);

// A client's Opus datagram (plaintext, before the cipher).
std::vector<uint8_t> MurmurClientVoice(uint8_t target, uint64_t sequence, const uint8_t* opus, size_t size,
                                       bool terminator);
// A ping datagram (plaintext).
std::vector<uint8_t> MurmurPing(uint64_t timestamp);

struct TRelayedVoice {
  uint8_t Type = 0;
  uint8_t Target = 0;
  uint64_t Session = 0;
  uint64_t Sequence = 0;
  bool Terminator = false;
  const uint8_t* Opus = nullptr;  // inside the datagram
  size_t OpusSize = 0;
};

// A relayed Opus datagram (plaintext); nullopt when it is none or is cut short.
std::optional<TRelayedVoice> ReadRelayedVoice(const uint8_t* data, size_t size);

}  // namespace qv::bench
