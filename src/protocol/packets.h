// The packet object and the wire layout of the five packet classes.
//
// One UDP datagram is one TPacket: a growable byte buffer with a read/write
// position plus the peer's IP text and UDP port. Every header field is read and
// written in place through bounds-checked little-endian accessors. A packet has
// exactly one owner at a time (std::unique_ptr); it moves from queue to window
// to sender and is freed by whoever consumes it.
//
// Thread rules: a packet is not synchronised; only its current owner touches it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <netinet/in.h>

#include "base/exception.h"

namespace qv {

QV_EXCEPTION_CLASS(EPacket, Exception);

// Class values (u16 at offset 0).
enum TPacketClass : uint16_t {
  pcCommand = 0xBEF0,
  pcAck = 0xBEF1,
  pcC2SVoice = 0xBEF2,
  pcS2CVoice = 0xBEF3,
  pcControl = 0xBEF4,
};

// Header offsets per class. Size is the header length and minimum length.
struct CommandHeader {
  static constexpr size_t Class = 0, CommandType = 2, ConnectionId = 4, PlayerId = 8,
                          Sequence = 12, ResendCount = 16, FragmentsLeft = 18, Reserved = 19,
                          Checksum = 20, Size = 24;
};
struct AckHeader {
  static constexpr size_t Class = 0, ResendCount = 2, ConnectionId = 4, PlayerId = 8,
                          Sequence = 12, Size = 16;
};
struct C2SVoiceHeader {
  static constexpr size_t Class = 0, VoiceTarget = 2, Codec = 3, ConnectionId = 4, PlayerId = 8,
                          Sequence = 12, VoiceWord = 14, Size = 16;
};
struct S2CVoiceHeader {
  static constexpr size_t Class = 0, VoiceTarget = 2, Codec = 3, ConnectionId = 4, PlayerId = 8,
                          Sequence = 12, VoiceWord = 14, SpeakerId = 16, SpeakerSequence = 20,
                          Size = 22;
};
struct ControlHeader {
  static constexpr size_t Class = 0, CommandType = 2, ConnectionId = 4, PlayerId = 8,
                          Sequence = 12, Checksum = 16, Size = 20;
};
// A pong carries the answered ping's sequence after the control header.
inline constexpr size_t kPongPingSequence = 20;
inline constexpr size_t kPongSize = 24;

// Error packet: command header with the negative error code as CommandType,
// then the failed request's CommandType and Sequence.
struct ErrorPacketLayout {
  static constexpr size_t FailedCommandType = 24, FailedSequence = 26, Size = 30;
};

// Fixed-width text fields: a length byte and up to Size-1 characters.
inline constexpr size_t kShortTextField = 30;  // names, nick names, passwords
inline constexpr size_t kLongTextField = 256;  // welcome message

// Commands longer than this are sent as fragments of kFragmentPayload bytes.
inline constexpr size_t kMaxUnfragmentedCommand = 560;
inline constexpr size_t kFragmentPayload = 536;

// A byte buffer with size, position and a capacity kept in whole 1024-byte
// blocks. Reads never touch bytes outside [0, Size()).
class TPacketMemoryStream {
 public:
  static constexpr size_t kBlockSize = 1024;

  size_t Size() const { return size_; }
  size_t Position() const { return pos_; }
  size_t Capacity() const { return buf_.size(); }
  const uint8_t* Data() const { return buf_.data(); }
  uint8_t* Data() { return buf_.data(); }

  // Grows (new bytes are zero) or shrinks; the position is kept within the size.
  void SetSize(size_t size);
  // Positions beyond the end are clamped to the end.
  void SetPosition(size_t position);
  void Clear();
  // Replaces the content and rewinds.
  void Assign(const uint8_t* data, size_t size);

  // Clamped read: copies at most the remaining bytes and returns their count.
  size_t Read(void* dest, size_t count);
  // Fixed-size read: raises EStreamError (reading nothing) when fewer bytes remain.
  void ReadBuffer(void* dest, size_t count);
  // Writes at the position, growing the stream as needed.
  void Write(const void* src, size_t count);

  uint8_t ReadU8();
  uint16_t ReadU16();
  uint32_t ReadU32();
  int16_t ReadI16() { return static_cast<int16_t>(ReadU16()); }
  int32_t ReadI32() { return static_cast<int32_t>(ReadU32()); }
  void WriteU8(uint8_t v);
  void WriteU16(uint16_t v);
  void WriteU32(uint32_t v);
  void WriteI16(int16_t v) { WriteU16(static_cast<uint16_t>(v)); }
  void WriteI32(int32_t v) { WriteU32(static_cast<uint32_t>(v)); }

  // Random access that leaves the position alone; raises EStreamError when
  // the field does not lie within the size.
  uint8_t GetU8(size_t offset) const;
  uint16_t GetU16(size_t offset) const;
  uint32_t GetU32(size_t offset) const;
  void SetU8(size_t offset, uint8_t v);
  void SetU16(size_t offset, uint16_t v);
  void SetU32(size_t offset, uint32_t v);

 private:
  void Reserve(size_t needed);
  void CheckRange(size_t offset, size_t width) const;

  std::vector<uint8_t> buf_;  // its size is the capacity
  size_t size_ = 0;
  size_t pos_ = 0;
};

class TPacket : public TPacketMemoryStream {
 public:
  TPacket() = default;
  // Wraps a received datagram with its sender's address.
  TPacket(const uint8_t* data, size_t size, std::string ip, uint16_t port);

  const std::string& PeerIp() const { return ip_; }
  uint16_t PeerPort() const { return port_; }
  // Sets the peer and forgets any socket address (it would be stale).
  void SetPeer(std::string ip, uint16_t port);
  // The peer as a ready socket address, when its owner built one (a
  // connection builds it once); null otherwise.
  const sockaddr_in* PeerAddress() const { return hasAddress_ ? &address_ : nullptr; }
  void SetPeerAddress(const sockaddr_in& address) {
    address_ = address;
    hasAddress_ = true;
  }
  // When the packet entered a send queue (clock nanoseconds); voice older
  // than the queue's bound is not sent.
  int64_t QueuedAtNs() const { return queuedAtNs_; }
  void SetQueuedAtNs(int64_t ns) { queuedAtNs_ = ns; }
  // Copies all bytes and the peer address of other and rewinds.
  void CopyFrom(const TPacket& other);
  std::unique_ptr<TPacket> Clone() const;

  // The u16 at offset 0, or 0 when the packet is shorter than two bytes.
  uint16_t PacketClass() const;
  bool IsCommand() const { return IsClass(pcCommand, CommandHeader::Size); }
  bool IsAck() const { return IsClass(pcAck, AckHeader::Size); }
  bool IsC2SVoice() const { return IsClass(pcC2SVoice, C2SVoiceHeader::Size); }
  bool IsS2CVoice() const { return IsClass(pcS2CVoice, S2CVoiceHeader::Size); }
  bool IsControl() const { return IsClass(pcControl, ControlHeader::Size); }
  bool IsVoice() const { return IsC2SVoice() || IsS2CVoice(); }
  bool IsKnownClass() const;

  // Offset 8 / offset 4 of any of the five classes; EPacket "Invalid Packet" otherwise.
  uint32_t PlayerId() const;
  uint32_t ConnectionId() const;
  void SetPlayerId(uint32_t id);
  void SetConnectionId(uint32_t id);

  // Field accessors. Each raises EStreamError when the packet is too short;
  // callers check the class first.
  uint16_t CommandType() const { return GetU16(CommandHeader::CommandType); }
  void SetCommandType(uint16_t type) { SetU16(CommandHeader::CommandType, type); }
  // Command, acknowledgement and control sequence (u32 at 12).
  uint32_t Sequence() const { return GetU32(CommandHeader::Sequence); }
  void SetSequence(uint32_t seq) { SetU32(CommandHeader::Sequence, seq); }
  // Voice sequence (u16 at 12).
  uint16_t VoiceSequence() const { return GetU16(C2SVoiceHeader::Sequence); }
  void SetVoiceSequence(uint16_t seq) { SetU16(C2SVoiceHeader::Sequence, seq); }
  // Resend count: offset 16 in a command, offset 2 in an acknowledgement.
  uint16_t ResendCount() const;
  void SetResendCount(uint16_t count);
  uint8_t FragmentsLeft() const { return GetU8(CommandHeader::FragmentsLeft); }
  void SetFragmentsLeft(uint8_t left) { SetU8(CommandHeader::FragmentsLeft, left); }
  uint8_t VoiceTarget() const { return GetU8(C2SVoiceHeader::VoiceTarget); }
  uint8_t VoiceCodec() const { return GetU8(C2SVoiceHeader::Codec); }
  uint32_t SpeakerId() const { return GetU32(S2CVoiceHeader::SpeakerId); }
  // The speaker of a server voice packet, otherwise the packet's player id.
  uint32_t Speaker() const;

  // CRC-32 over the whole packet with the checksum field zeroed, stored in the
  // field (command, control); no-op for acknowledgement and voice packets.
  void SetChecksum();
  bool VerifyChecksum() const;
  // Known class, long enough, and a matching checksum where there is one.
  bool IsValid() const;

  // Zero-terminated text at the position; an empty text is a single 0 byte.
  void WriteCString(std::string_view text);
  // Characters up to the next 0 byte (consumed) or the end of the packet.
  std::string ReadCString();
  // Length-prefixed text field of fieldSize bytes; text longer than
  // fieldSize - 1 is cut, the rest of the field is zero.
  void WriteText(std::string_view text, size_t fieldSize);
  // Reads a whole field; the length byte is clamped to the field and a zero
  // byte inside the text ends it. Raises
  // EStreamError (reading nothing) when the field does not fit in the packet.
  std::string ReadText(size_t fieldSize);

 private:
  bool IsClass(uint16_t cls, size_t minLength) const {
    return Size() >= minLength && PacketClass() == cls;
  }
  // Offset of the checksum field, or 0 for classes without one.
  size_t ChecksumOffset() const;
  uint32_t ComputeChecksum(size_t fieldOffset) const;

  std::string ip_;
  uint16_t port_ = 0;
  bool hasAddress_ = false;
  sockaddr_in address_{};
  int64_t queuedAtNs_ = 0;
};

using TPacketPtr = std::unique_ptr<TPacket>;
using TPacketList = std::vector<TPacketPtr>;

// Builders. Each returns a packet holding the zeroed header of its class with
// the given fields, positioned at the end for the payload. Sequence, resend
// count and checksum are filled in by the reliable layer and the sender.
TPacketPtr NewCommandPacket(uint16_t commandType, uint32_t connectionId, uint32_t playerId);
TPacketPtr NewAckPacket(uint16_t resendCount, uint32_t connectionId, uint32_t playerId,
                        uint32_t sequence);
TPacketPtr NewControlPacket(uint16_t commandType, uint32_t connectionId, uint32_t playerId);
TPacketPtr NewPongPacket(uint32_t connectionId, uint32_t playerId, uint32_t pingSequence);
TPacketPtr NewC2SVoicePacket(uint8_t target, uint8_t codec, uint32_t connectionId,
                             uint32_t playerId, uint16_t sequence, uint16_t voiceWord);
TPacketPtr NewS2CVoicePacket(uint8_t target, uint8_t codec, uint32_t connectionId,
                             uint32_t playerId, uint16_t sequence, uint16_t voiceWord,
                             uint32_t speakerId, uint16_t speakerSequence);
// The 30-byte error reply to a failed request.
TPacketPtr NewErrorPacket(int16_t errorCode, uint32_t connectionId, uint32_t playerId,
                          uint16_t failedCommandType, uint32_t failedSequence);

// Splits a command longer than kMaxUnfragmentedCommand into fragments of at
// most kFragmentPayload payload bytes, each with a copy of the header and
// FragmentsLeft counting down to 0; a shorter command is returned as it is.
// Raises EPacket when command is no command or needs more than 256 fragments
// (FragmentsLeft is one byte).
TPacketList FragmentCommand(TPacketPtr command);

}  // namespace qv
