#include "protocol/packets.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "protocol/command_types.h"
#include "protocol/crc.h"

namespace qv {

namespace {

constexpr const char* kInvalidPacket = "Invalid Packet";

}  // namespace

// ---------------------------------------------------------------------------
// TPacketMemoryStream

void TPacketMemoryStream::Reserve(size_t needed) {
  if (needed <= buf_.size()) return;
  size_t blocks = (needed + kBlockSize - 1) / kBlockSize;
  try {
    buf_.resize(blocks * kBlockSize);
  } catch (const std::bad_alloc&) {
    throw EStreamError("Out of memory while expanding memory stream");
  } catch (const std::length_error&) {
    throw EStreamError("Out of memory while expanding memory stream");
  }
}

void TPacketMemoryStream::SetSize(size_t size) {
  Reserve(size);
  // Bytes beyond the old size may hold stale data from an earlier, longer
  // content; a grown stream must read as zeros.
  if (size > size_) std::memset(buf_.data() + size_, 0, size - size_);
  size_ = size;
  pos_ = std::min(pos_, size_);
}

void TPacketMemoryStream::SetPosition(size_t position) { pos_ = std::min(position, size_); }

void TPacketMemoryStream::Clear() {
  size_ = 0;
  pos_ = 0;
}

void TPacketMemoryStream::Assign(const uint8_t* data, size_t size) {
  Reserve(size);
  if (size > 0) std::memcpy(buf_.data(), data, size);
  size_ = size;
  pos_ = 0;
}

size_t TPacketMemoryStream::Read(void* dest, size_t count) {
  size_t n = std::min(count, size_ - pos_);
  if (n > 0) std::memcpy(dest, buf_.data() + pos_, n);
  pos_ += n;
  return n;
}

void TPacketMemoryStream::ReadBuffer(void* dest, size_t count) {
  if (count > size_ - pos_) throw EStreamError("Stream read error");
  Read(dest, count);
}

void TPacketMemoryStream::Write(const void* src, size_t count) {
  if (count == 0) return;
  size_t end = pos_ + count;
  Reserve(end);
  std::memcpy(buf_.data() + pos_, src, count);
  pos_ = end;
  size_ = std::max(size_, end);
}

uint8_t TPacketMemoryStream::ReadU8() {
  uint8_t b[1];
  ReadBuffer(b, 1);
  return b[0];
}

uint16_t TPacketMemoryStream::ReadU16() {
  uint8_t b[2];
  ReadBuffer(b, 2);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}

uint32_t TPacketMemoryStream::ReadU32() {
  uint8_t b[4];
  ReadBuffer(b, 4);
  return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}

void TPacketMemoryStream::WriteU8(uint8_t v) { Write(&v, 1); }

void TPacketMemoryStream::WriteU16(uint16_t v) {
  uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
  Write(b, 2);
}

void TPacketMemoryStream::WriteU32(uint32_t v) {
  uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  Write(b, 4);
}

void TPacketMemoryStream::CheckRange(size_t offset, size_t width) const {
  if (offset > size_ || width > size_ - offset) throw EStreamError("Stream read error");
}

uint8_t TPacketMemoryStream::GetU8(size_t offset) const {
  CheckRange(offset, 1);
  return buf_[offset];
}

uint16_t TPacketMemoryStream::GetU16(size_t offset) const {
  CheckRange(offset, 2);
  return static_cast<uint16_t>(buf_[offset] | (buf_[offset + 1] << 8));
}

uint32_t TPacketMemoryStream::GetU32(size_t offset) const {
  CheckRange(offset, 4);
  const uint8_t* p = buf_.data() + offset;
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void TPacketMemoryStream::SetU8(size_t offset, uint8_t v) {
  CheckRange(offset, 1);
  buf_[offset] = v;
}

void TPacketMemoryStream::SetU16(size_t offset, uint16_t v) {
  CheckRange(offset, 2);
  buf_[offset] = uint8_t(v);
  buf_[offset + 1] = uint8_t(v >> 8);
}

void TPacketMemoryStream::SetU32(size_t offset, uint32_t v) {
  CheckRange(offset, 4);
  for (int i = 0; i < 4; ++i) buf_[offset + i] = uint8_t(v >> (8 * i));
}

// ---------------------------------------------------------------------------
// TPacket

TPacket::TPacket(const uint8_t* data, size_t size, std::string ip, uint16_t port)
    : ip_(std::move(ip)), port_(port) {
  Assign(data, size);
}

void TPacket::SetPeer(std::string ip, uint16_t port) {
  ip_ = std::move(ip);
  port_ = port;
  hasAddress_ = false;
}

void TPacket::CopyFrom(const TPacket& other) {
  if (&other == this) {
    SetPosition(0);
    return;
  }
  Assign(other.Data(), other.Size());
  ip_ = other.ip_;
  port_ = other.port_;
  hasAddress_ = other.hasAddress_;
  address_ = other.address_;
}

std::unique_ptr<TPacket> TPacket::Clone() const {
  auto copy = std::make_unique<TPacket>();
  copy->CopyFrom(*this);
  return copy;
}

uint16_t TPacket::PacketClass() const { return Size() >= 2 ? GetU16(0) : 0; }

bool TPacket::IsKnownClass() const {
  return IsCommand() || IsAck() || IsC2SVoice() || IsS2CVoice() || IsControl();
}

uint32_t TPacket::PlayerId() const {
  if (!IsKnownClass()) throw EPacket(kInvalidPacket);
  return GetU32(CommandHeader::PlayerId);
}

uint32_t TPacket::ConnectionId() const {
  if (!IsKnownClass()) throw EPacket(kInvalidPacket);
  return GetU32(CommandHeader::ConnectionId);
}

void TPacket::SetPlayerId(uint32_t id) {
  if (!IsKnownClass()) throw EPacket(kInvalidPacket);
  SetU32(CommandHeader::PlayerId, id);
}

void TPacket::SetConnectionId(uint32_t id) {
  if (!IsKnownClass()) throw EPacket(kInvalidPacket);
  SetU32(CommandHeader::ConnectionId, id);
}

uint16_t TPacket::ResendCount() const {
  return IsAck() ? GetU16(AckHeader::ResendCount) : GetU16(CommandHeader::ResendCount);
}

void TPacket::SetResendCount(uint16_t count) {
  if (IsAck()) {
    SetU16(AckHeader::ResendCount, count);
  } else {
    SetU16(CommandHeader::ResendCount, count);
  }
}

uint32_t TPacket::Speaker() const { return IsS2CVoice() ? SpeakerId() : PlayerId(); }

size_t TPacket::ChecksumOffset() const {
  if (IsCommand()) return CommandHeader::Checksum;
  if (IsControl()) return ControlHeader::Checksum;
  if (IsAck() || IsC2SVoice() || IsS2CVoice()) return 0;
  throw EPacket(kInvalidPacket);
}

// The checksum covers the packet with its own field read as zero; computing
// around the field keeps verification free of writes to the packet.
uint32_t TPacket::ComputeChecksum(size_t fieldOffset) const {
  if (Size() > kCrcMaxLength) return kCrcTooLong;
  static constexpr uint8_t kZero[4] = {0, 0, 0, 0};
  uint32_t state = Crc32Update(kCrcInit, Data(), fieldOffset);
  state = Crc32Update(state, kZero, 4);
  state = Crc32Update(state, Data() + fieldOffset + 4, Size() - fieldOffset - 4);
  return state ^ kCrcInit;
}

void TPacket::SetChecksum() {
  size_t offset = ChecksumOffset();
  if (offset == 0) return;
  SetU32(offset, ComputeChecksum(offset));
}

bool TPacket::VerifyChecksum() const {
  size_t offset = ChecksumOffset();
  if (offset == 0) return true;
  return GetU32(offset) == ComputeChecksum(offset);
}

bool TPacket::IsValid() const {
  if (!IsKnownClass()) return false;
  return VerifyChecksum();
}

void TPacket::WriteCString(std::string_view text) {
  Write(text.data(), text.size());
  WriteU8(0);
}

std::string TPacket::ReadCString() {
  const uint8_t* begin = Data() + Position();
  const uint8_t* end = Data() + Size();
  const uint8_t* zero = std::find(begin, end, uint8_t{0});
  std::string text(reinterpret_cast<const char*>(begin), static_cast<size_t>(zero - begin));
  SetPosition(Position() + text.size() + (zero != end ? 1 : 0));
  return text;
}

void TPacket::WriteText(std::string_view text, size_t fieldSize) {
  if (fieldSize == 0) return;
  size_t len = std::min(text.size(), fieldSize - 1);
  std::vector<uint8_t> field(fieldSize, 0);
  field[0] = static_cast<uint8_t>(len);
  std::memcpy(field.data() + 1, text.data(), len);
  Write(field.data(), fieldSize);
}

std::string TPacket::ReadText(size_t fieldSize) {
  if (fieldSize == 0) return {};
  if (fieldSize > Size() - Position()) throw EStreamError("Stream read error");
  const uint8_t* field = Data() + Position();
  size_t len = std::min<size_t>(field[0], fieldSize - 1);
  // A zero byte ends the text even inside the stated length.
  const uint8_t* zero = std::find(field + 1, field + 1 + len, uint8_t{0});
  std::string text(reinterpret_cast<const char*>(field + 1), static_cast<size_t>(zero - (field + 1)));
  SetPosition(Position() + fieldSize);
  return text;
}

// ---------------------------------------------------------------------------
// Builders

namespace {

TPacketPtr NewHeader(uint16_t cls, size_t size, uint32_t connectionId, uint32_t playerId) {
  auto p = std::make_unique<TPacket>();
  p->SetSize(size);
  p->SetU16(0, cls);
  p->SetU32(CommandHeader::ConnectionId, connectionId);
  p->SetU32(CommandHeader::PlayerId, playerId);
  p->SetPosition(size);
  return p;
}

}  // namespace

TPacketPtr NewCommandPacket(uint16_t commandType, uint32_t connectionId, uint32_t playerId) {
  auto p = NewHeader(pcCommand, CommandHeader::Size, connectionId, playerId);
  p->SetU16(CommandHeader::CommandType, commandType);
  return p;
}

TPacketPtr NewAckPacket(uint16_t resendCount, uint32_t connectionId, uint32_t playerId,
                        uint32_t sequence) {
  auto p = NewHeader(pcAck, AckHeader::Size, connectionId, playerId);
  p->SetU16(AckHeader::ResendCount, resendCount);
  p->SetU32(AckHeader::Sequence, sequence);
  return p;
}

TPacketPtr NewControlPacket(uint16_t commandType, uint32_t connectionId, uint32_t playerId) {
  auto p = NewHeader(pcControl, ControlHeader::Size, connectionId, playerId);
  p->SetU16(ControlHeader::CommandType, commandType);
  return p;
}

TPacketPtr NewPongPacket(uint32_t connectionId, uint32_t playerId, uint32_t pingSequence) {
  auto p = NewControlPacket(ctPong, connectionId, playerId);
  p->WriteU32(pingSequence);
  return p;
}

TPacketPtr NewC2SVoicePacket(uint8_t target, uint8_t codec, uint32_t connectionId,
                             uint32_t playerId, uint16_t sequence, uint16_t voiceWord) {
  auto p = NewHeader(pcC2SVoice, C2SVoiceHeader::Size, connectionId, playerId);
  p->SetU8(C2SVoiceHeader::VoiceTarget, target);
  p->SetU8(C2SVoiceHeader::Codec, codec);
  p->SetU16(C2SVoiceHeader::Sequence, sequence);
  p->SetU16(C2SVoiceHeader::VoiceWord, voiceWord);
  return p;
}

TPacketPtr NewS2CVoicePacket(uint8_t target, uint8_t codec, uint32_t connectionId,
                             uint32_t playerId, uint16_t sequence, uint16_t voiceWord,
                             uint32_t speakerId, uint16_t speakerSequence) {
  auto p = NewHeader(pcS2CVoice, S2CVoiceHeader::Size, connectionId, playerId);
  p->SetU8(S2CVoiceHeader::VoiceTarget, target);
  p->SetU8(S2CVoiceHeader::Codec, codec);
  p->SetU16(S2CVoiceHeader::Sequence, sequence);
  p->SetU16(S2CVoiceHeader::VoiceWord, voiceWord);
  p->SetU32(S2CVoiceHeader::SpeakerId, speakerId);
  p->SetU16(S2CVoiceHeader::SpeakerSequence, speakerSequence);
  return p;
}

TPacketPtr NewErrorPacket(int16_t errorCode, uint32_t connectionId, uint32_t playerId,
                          uint16_t failedCommandType, uint32_t failedSequence) {
  auto p = NewCommandPacket(static_cast<uint16_t>(errorCode), connectionId, playerId);
  p->WriteU16(failedCommandType);
  p->WriteU32(failedSequence);
  return p;
}

TPacketList FragmentCommand(TPacketPtr command) {
  if (!command || !command->IsCommand()) throw EPacket(kInvalidPacket);
  TPacketList fragments;
  if (command->Size() <= kMaxUnfragmentedCommand) {
    fragments.push_back(std::move(command));
    return fragments;
  }
  size_t payload = command->Size() - CommandHeader::Size;
  size_t count = (payload + kFragmentPayload - 1) / kFragmentPayload;
  // FragmentsLeft is a single byte: more pieces could not be numbered.
  if (count > 256) throw EPacket("Command too long to fragment");
  fragments.reserve(count);
  const uint8_t* src = command->Data() + CommandHeader::Size;
  for (size_t k = 1; k <= count; ++k) {
    size_t piece = std::min(payload, kFragmentPayload);
    auto frag = std::make_unique<TPacket>();
    frag->Write(command->Data(), CommandHeader::Size);
    frag->Write(src, piece);
    frag->SetFragmentsLeft(static_cast<uint8_t>(count - k));
    frag->SetPeer(command->PeerIp(), command->PeerPort());
    fragments.push_back(std::move(frag));
    src += piece;
    payload -= piece;
  }
  return fragments;
}

}  // namespace qv
