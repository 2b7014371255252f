#include "protocol/single_connection.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <arpa/inet.h>

#include <fmt/format.h>

#include "protocol/command_types.h"

namespace qv {

namespace {

// Milliseconds from watch to now without the out-of-range restart: the
// receive and close time-outs must fire however long the silence lasted.
int64_t RawMs(const TPerformanceTime& watch, const TPerformanceTime& now) {
  int64_t ms = std::llround(static_cast<double>(now.TimestampNs() - watch.TimestampNs()) / 1e6);
  return std::max<int64_t>(ms, 0);
}

}  // namespace

TSingleConnection::TSingleConnection(uint8_t side, uint8_t flags, uint32_t playerId,
                                     uint32_t connectionId, const TClock& clock)
    : side_(side),
      flags_(flags),
      playerId_(playerId),
      connectionId_(connectionId),
      clock_(clock),
      lastReceive_(NewStopwatch(&clock)),
      lastSend_(NewStopwatch(&clock)),
      lastPing_(NewStopwatch(&clock)),
      throttleTimer_(NewStopwatch(&clock)),
      meter_(&clock),
      created_(NewStopwatch(&clock)) {
  roundTrips_.fill(50);
  for (TWindowSlot& slot : window_) {
    slot.firstSend = NewStopwatch(&clock);
    slot.lastSend = NewStopwatch(&clock);
  }
}

TSingleConnection::~TSingleConnection() = default;

int64_t TSingleConnection::Since(TPerformanceTime& watch, const TPerformanceTime& now) const {
  return watch.ElapsedUntil(kElapsedCeilingMs, now);
}

void TSingleConnection::SetControlSequences(uint32_t outgoing, uint32_t nextExpected) {
  controlSeq_ = outgoing;
  nextControl_ = nextExpected;
}

void TSingleConnection::SetPeer(std::string ip, uint16_t port) {
  if (port == port_ && ip == ip_) return;
  ip_ = std::move(ip);
  port_ = port;
  address_ = sockaddr_in{};
  address_.sin_family = AF_INET;
  address_.sin_port = htons(port_);
  // Not an IPv4 address: port 0, which the sender drops as unaddressed.
  if (inet_pton(AF_INET, ip_.c_str(), &address_.sin_addr) != 1) address_.sin_port = 0;
}

void TSingleConnection::QueueReliable(TPacketList fragments) {
  if (reliable_.Count() + fragments.size() > static_cast<size_t>(kQueueMax)) {
    throw EFIFOList(fmt::format("TFIFOList max items reached( {}, {}, {})", reliable_.Capacity(), 8,
                                kQueueMax));
  }
  for (TPacketPtr& fragment : fragments) reliable_.Push(std::move(fragment));
}

void TSingleConnection::BeginClose() {
  state_ = state_ == stLoggingIn ? stClosingBeforeLogin : stClosing;
  closeStart_ = NewStopwatch(&clock_);
}

void TSingleConnection::SetBandwidthLimit(int64_t kilobitsPerSecond) {
  meter_.SetLimit(kilobitsPerSecond * 128);
  throttle_ = false;
}

// ---------------------------------------------------------------------------
// Sending

TPacketPtr TSingleConnection::NextPacket(const TPerformanceTime& now, int64_t& waitMs) {
  waitMs = meter_.TimeUntilAllowed(&now);
  TPacketPtr out;
  if (ack_.Count() > 0) {
    out = ack_.Pop();  // acknowledgements ignore the bandwidth limit
  } else if (waitMs > 0) {
    if (!throttle_ && static_cast<int64_t>(voice_.TotalSize()) > meter_.Limit() &&
        voice_.HeadSpeaker()) {
      ThrottleAndPrune(now);
    }
    return nullptr;
  } else {
    if (throttle_ && reliable_.Count() == 0 && voice_.Count() == 0 &&
        Since(*throttleTimer_, now) > kThrottleReleaseMs) {
      throttle_ = false;
    }
    const bool voiceQueued = voice_.Count() > 0;
    size_t due = Enabled(cfRetransmit) ? DueRetransmission(now) : kWindowSize;
    if (due < kWindowSize && (!voiceQueued || meter_.CommandSlotFree())) {
      out = Retransmit(due, now);
    } else if (windowCount_ == kWindowSize || reliable_.Count() == 0 || limited_ ||
               (voiceQueued && !meter_.CommandSlotFree())) {
      out = PingDue(now) ? MakePing(now) : SendUnreliableOrVoice(now);
    } else {
      out = SendNewCommand(now);
    }
  }
  if (out && !WithinAllowance(*out)) return nullptr;
  if (out) Finish(*out, now);
  return out;
}

size_t TSingleConnection::DueRetransmission(const TPerformanceTime& now) {
  for (size_t i = 0; i < windowCount_; ++i) {
    if (window_[i].packet->ResendCount() >= kMaxResends) continue;
    if (Since(*window_[i].lastSend, now) > ResendInterval(window_[i])) return i;
  }
  return kWindowSize;
}

TPacketPtr TSingleConnection::Retransmit(size_t slot, const TPerformanceTime& now) {
  TPacket& command = *window_[slot].packet;
  command.SetResendCount(static_cast<uint16_t>(command.ResendCount() + 1));
  window_[slot].lastSend->Assign(now);
  return command.Clone();
}

TPacketPtr TSingleConnection::SendNewCommand(const TPerformanceTime& now) {
  TPacketPtr command = reliable_.Pop();
  command->SetSequence(++commandSeq_);
  command->SetConnectionId(connectionId_);
  command->SetResendCount(0);
  TWindowSlot& slot = window_[windowCount_++];
  slot.firstSend->Assign(now);
  slot.lastSend->Assign(now);
  slot.packet = std::move(command);
  if (state_ == stClosing && reliable_.Count() == 0) state_ = stClosingAllSent;
  return slot.packet->Clone();
}

bool TSingleConnection::PingDue(const TPerformanceTime& now) {
  if (!Enabled(cfTimeouts) || side_ != kSideClient || state_ != stConnected) return false;
  if (Since(*lastSend_, now) >= kPingIntervalMs) return true;
  return RawMs(*lastReceive_, now) >= kPingIntervalMs && Since(*lastPing_, now) >= kPingIntervalMs;
}

TPacketPtr TSingleConnection::MakePing(const TPerformanceTime& now) {
  TPacketPtr ping = NewControlPacket(ctPing, connectionId_, playerId_);
  ping->SetSequence(++controlSeq_);
  lastPing_->Assign(now);
  return ping;
}

TPacketPtr TSingleConnection::SendUnreliableOrVoice(const TPerformanceTime& now) {
  if (voice_.Count() == 0) {
    TPacketPtr control = unreliable_.Pop();
    if (!control) return nullptr;
    control->SetSequence(++controlSeq_);
    // The server's login reply goes out before the client knows its
    // connection id, so it carries 0 there.
    bool loginReply = side_ == kSideServer && control->CommandType() == CMD_sc_LoginStep2;
    control->SetConnectionId(loginReply ? 0 : connectionId_);
    if (state_ == stClosingBeforeLogin && reliable_.Count() == 0) state_ = stClosed;
    return control;
  }
  ShedStaleVoice(now.TimestampNs());
  if (voice_.Count() == 0) return SendUnreliableOrVoice(now);
  TPacketPtr voice = voice_.Pop();
  if (throttle_) throttleTimer_->Assign(now);
  voice->SetVoiceSequence(++voiceSeq_);  // 16 bits: 65535 is followed by 0
  voice->SetConnectionId(connectionId_);
  return voice;
}

void TSingleConnection::QueueVoice(TPacketPtr packet, int64_t nowNs) {
  ShedStaleVoice(nowNs);
  packet->SetQueuedAtNs(nowNs);
  voice_.Push(std::move(packet));
}

void TSingleConnection::ShedStaleVoice(int64_t nowNs) {
  constexpr int64_t kBoundNs = kVoiceDelayBoundMs * 1'000'000;
  while (voice_.Count() > 0 && nowNs - voice_.Peek()->QueuedAtNs() > kBoundNs) {
    voice_.Pop();
    ++voiceShed_;
    if (shedCounter_) TServerCounters::Add(*shedCounter_);
  }
}

// Under a saturated limit only one speaker is kept, so that the listener
// hears one intelligible voice instead of several broken ones.
void TSingleConnection::ThrottleAndPrune(const TPerformanceTime& now) {
  speaker_ = *voice_.HeadSpeaker();
  throttle_ = true;
  throttleTimer_->Assign(now);
  size_t count = voice_.Count();
  for (size_t i = 0; i < count; ++i) {
    TPacketPtr p = voice_.Pop();
    if (p->Speaker() == speaker_) voice_.Push(std::move(p));
  }
}

void TSingleConnection::Finish(TPacket& packet, const TPerformanceTime& now) {
  packet.SetChecksum();
  packet.SetPeer(ip_, port_);
  packet.SetPeerAddress(address_);
  packet.SetPosition(0);
  lastSend_->Assign(now);
  ++packetsSent_;
  bytesSent_ += packet.Size();
  if (packet.IsCommand()) {
    meter_.AddCommand(static_cast<uint32_t>(packet.Size()), &now);
  } else {
    meter_.Add(static_cast<uint32_t>(packet.Size()), &now);
  }
}

// ---------------------------------------------------------------------------
// Receiving

TCommandVerdict TSingleConnection::CommandReceived(uint32_t sequence, uint16_t resendCount,
                                                   size_t size) {
  ++packetsReceived_;
  bytesReceived_ += size;
  // Beyond the ring: not acknowledged, so the peer sends it again later.
  if (uint64_t{sequence} >= uint64_t{nextCommand_} + kRingSize) return cvDrop;
  ack_.Push(NewAckPacket(resendCount, connectionId_, playerId_, sequence));
  if (sequence < nextCommand_) return cvProcess;
  return ring_[(ringHead_ + sequence - nextCommand_) % kRingSize] ? cvDrop : cvProcess;
}

void TSingleConnection::PlaceCommand(TPacketPtr command) {
  uint32_t sequence = command->Sequence();
  if (sequence < nextCommand_ || sequence - nextCommand_ >= kRingSize) return;  // freed
  TPacketPtr& slot = ring_[(ringHead_ + sequence - nextCommand_) % kRingSize];
  if (!slot) slot = std::move(command);
}

TPacketPtr TSingleConnection::TakeInOrder() {
  TPacketPtr next = std::move(ring_[ringHead_]);
  if (!next) return nullptr;
  ringHead_ = (ringHead_ + 1) % kRingSize;
  ++nextCommand_;
  return next;
}

bool TSingleConnection::AckReceived(uint32_t sequence, uint16_t resendCount,
                                    const TPerformanceTime& now) {
  ++packetsReceived_;
  bytesReceived_ += AckHeader::Size;
  size_t i = 0;
  while (i < windowCount_ && window_[i].packet->Sequence() != sequence) ++i;
  if (i == windowCount_) return false;
  // An acknowledged resend says nothing reliable about the round trip.
  if (resendCount != 0) {
    packetsLost_ += resendCount;
  } else {
    int64_t ms = Since(*window_[i].firstSend, now);
    if (ms > 0) AddRoundTrip(ms);
  }
  if (side_ == kSideServer && state_ == stLoggingIn &&
      window_[i].packet->CommandType() == CMD_sc_LoginStep6) {
    state_ = stConnected;
  }
  window_[i].packet.reset();
  std::rotate(window_.begin() + i, window_.begin() + i + 1, window_.begin() + windowCount_);
  --windowCount_;
  if (state_ == stClosingAllSent && windowCount_ == 0) state_ = stClosed;
  return true;
}

void TSingleConnection::Delivered(const TPacket& packet) {
  if (side_ == kSideClient && state_ == stLoggingIn && packet.IsCommand() &&
      packet.CommandType() == CMD_sc_LoginStep6) {
    state_ = stConnected;
  }
  // Commands were counted on receipt; count every received packet once.
  if (!packet.IsCommand()) {
    ++packetsReceived_;
    bytesReceived_ += packet.Size();
  }
}

TPacketPtr TSingleConnection::Reassemble(TPacketPtr packet) {
  if (!packet->IsCommand()) return packet;
  if (!reassembly_) {
    if (packet->FragmentsLeft() == 0) return packet;
    reassembly_ = std::move(packet);
    return nullptr;
  }
  reassembly_->SetPosition(reassembly_->Size());
  reassembly_->Write(packet->Data() + CommandHeader::Size, packet->Size() - CommandHeader::Size);
  bool more = packet->FragmentsLeft() != 0;
  packet.reset();
  if (more && reassembly_->Size() < kMaxMessageSize) return nullptr;
  TPacketPtr message = std::move(reassembly_);
  message->SetPosition(0);
  return message;
}

void TSingleConnection::VoiceReceived(uint16_t sequence) {
  const uint16_t expected = nextVoice_;
  // Late, unless the expectation is about to wrap and this is a new round.
  if (sequence < expected && (expected < 64536 || sequence > 15)) return;
  int32_t gap = int32_t{sequence} - int32_t{expected};
  if (std::abs(gap) < 10000) packetsLost_ += static_cast<uint64_t>(gap);
  nextVoice_ = static_cast<uint16_t>(sequence + 1);
}

void TSingleConnection::ControlReceived(uint32_t sequence) {
  if (sequence < nextControl_) return;
  packetsLost_ += sequence - nextControl_;
  nextControl_ = sequence + 1;
}

void TSingleConnection::PongReceived(uint32_t pingSequence, const TPerformanceTime& now) {
  if (state_ != stConnected || pingSequence != controlSeq_) return;
  int64_t ms = Since(*lastPing_, now);
  if (ms <= kPingIntervalMs) AddRoundTrip(ms);
}

// ---------------------------------------------------------------------------
// Time-outs and measurement

int64_t TSingleConnection::TimeLeft(const TPerformanceTime& now) const {
  if (!Enabled(cfTimeouts)) return 1000;
  const bool loggingIn = state_ == stLoggingIn || state_ == stClosingBeforeLogin;
  if (loggingIn && RawMs(*created_, now) >= kLoginDeadlineMs) return 0;
  if (GaveUp(now)) return 0;
  if (state_ == stClosingAllSent) return 1000;
  int64_t limit = loggingIn ? kLoginTimeoutMs : kConnectedTimeoutMs;
  return std::max<int64_t>(limit - RawMs(*lastReceive_, now), 0);
}

bool TSingleConnection::CloseExpired(const TPerformanceTime& now) {
  bool closing = state_ == stClosing || state_ == stClosingBeforeLogin || state_ == stClosingAllSent;
  if (Enabled(cfTimeouts) && closing && closeStart_ && RawMs(*closeStart_, now) >= kCloseTimeoutMs) {
    state_ = stClosed;
  }
  return state_ == stClosed;
}

void TSingleConnection::AddRoundTrip(int64_t ms) {
  roundTrips_[roundTripIndex_] = ms;
  roundTripIndex_ = (roundTripIndex_ + 1) % kRoundTripSamples;
  int64_t sum = 0;
  for (int64_t sample : roundTrips_) sum += sample;
  double mean = static_cast<double>(sum) / kRoundTripSamples;
  average_ = std::llround(mean);
  rto_ = std::max<int64_t>(std::llround(mean * 1.5), 100);
}

// ---------------------------------------------------------------------------
// Hardening: amplification allowance, bounded resends, foreign addresses

void TSingleConnection::LimitUntilVerified(uint64_t requestBytes) {
  limited_ = true;
  credit_ = requestBytes;
}

bool TSingleConnection::WithinAllowance(const TPacket& packet) const {
  return !limited_ || bytesSent_ + packet.Size() <= kAmplification * credit_;
}

// Exponential back-off from the round-trip time-out, so that a silent peer
// costs a handful of resends and not a stream.
int64_t TSingleConnection::ResendInterval(const TWindowSlot& slot) const {
  const int shift = std::min<int>(slot.packet->ResendCount(), 10);
  return std::min<int64_t>(rto_ << shift, std::max<int64_t>(rto_, kMaxBackoffMs));
}

bool TSingleConnection::GaveUp(const TPerformanceTime& now) const {
  if (!Enabled(cfRetransmit)) return false;
  for (size_t i = 0; i < windowCount_; ++i) {
    const TWindowSlot& slot = window_[i];
    if (slot.packet->ResendCount() >= kMaxResends && RawMs(*slot.lastSend, now) > ResendInterval(slot)) {
      return true;
    }
  }
  return false;
}

bool TSingleConnection::NoteForeignPacket(const TPerformanceTime& now) {
  ++foreignPackets_;
  if (foreignLogged_ && RawMs(*foreignLogged_, now) < 60000) return false;
  if (!foreignLogged_) foreignLogged_ = NewStopwatch(&clock_);
  foreignLogged_->Assign(now);
  return true;
}

}  // namespace qv
