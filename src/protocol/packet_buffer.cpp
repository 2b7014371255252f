#include "protocol/packet_buffer.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "base/log.h"
#include "protocol/command_types.h"

namespace qv {

TCustomPacketBuffer::TCustomPacketBuffer(uint8_t side, uint8_t flags, const TClock* clock)
    : side_(side),
      flags_(flags),
      clock_(clock ? *clock : DefaultClock()),
      now_(NewStopwatch(&clock_)),
      incomingMeter_(true, &clock_),
      outgoingMeter_(true, &clock_) {
  listenerScan_.cycle = NewStopwatch(&clock_);
  senderScan_.cycle = NewStopwatch(&clock_);
}

TCustomPacketBuffer::~TCustomPacketBuffer() {
  if (!shutdown_.load()) Shutdown(0);
}

// ---------------------------------------------------------------------------
// Receiving

void TCustomPacketBuffer::ReceivePacket(TPacketPtr packet) {
  if (!packet) return;
  TPacketPtr direct;
  {
    TMutexLock lock(mutex_);
    ReceiveLocked(std::move(packet));
    direct = std::move(directPacket_);
  }
  if (!direct || directVoice_(direct)) return;
  TMutexLock lock(mutex_);
  if (!IncomingHasRoom(false)) throw ECustomPacketBuffer("listener queue full");
  DeliverToListener(std::move(direct));
}

void TCustomPacketBuffer::ReceiveLocked(TPacketPtr packet) {
  now_->Restart();
  ++packetsReceived_;
  bytesReceived_ += packet->Size();
  incomingMeter_.Add(static_cast<uint32_t>(packet->Size()), now_.get());

  if (IgnoreDatagram(*packet)) return;
  // Datagrams that can belong to no connection count against their address.
  const bool valid = packet->IsValid();
  if (!valid || (side_ == kSideServer && packet->IsS2CVoice())) {
    NoteStray(*packet);
    throw ECustomPacketBuffer(valid ? "S2C recv on Server" : "Invalid Packet");
  }
  if (side_ == kSideClient && packet->IsC2SVoice()) throw ECustomPacketBuffer("C2S recv on Client");
  if (packet->IsControl()) {
    // Login requests and replies travel before a connection exists.
    if (side_ == kSideServer && packet->CommandType() == CMD_cs_LoginStep1 &&
        packet->PlayerId() == 0 && packet->ConnectionId() == 0) {
      if (packet->Size() < kMinLoginRequest) {
        NoteStray(*packet);
        throw ECustomPacketBuffer("login request too short");
      }
      if (!IncomingHasRoom(false)) throw ECustomPacketBuffer("listener queue full");
      DeliverToListener(std::move(packet));
      return;
    }
    if (side_ == kSideClient && packet->CommandType() == CMD_sc_LoginStep2) {
      if (storeLoginReply_) loginReply_ = std::move(packet);
      return;
    }
  }
  TSingleConnection* c = Find(packet->PlayerId());
  if (!c || packet->ConnectionId() != c->ConnectionId()) {
    NoteStray(*packet);
    if (!c) return;
    throw ECustomPacketBuffer("wrong Connection + player combo");
  }
  if (c->State() == stClosed) throw ECustomPacketBuffer("recv data after close");
  // The address is fixed when the connection is made: whoever else guessed
  // the ids neither takes the session over nor keeps it alive.
  if (packet->PeerIp() != c->PeerIp() || packet->PeerPort() != c->PeerPort()) {
    RefuseForeignAddress(*c, *packet);
  }
  c->MarkVerified();
  ReceiveOnConnection(*c, std::move(packet));
}

void TCustomPacketBuffer::ReceiveOnConnection(TSingleConnection& c, TPacketPtr packet) {
  // Only packets that carry more than the ids restart the receive time-out:
  // an acknowledgement of something in flight, a command, voice, and pings
  // and pongs of a connected peer.
  if (packet->IsAck()) {
    if (c.AckReceived(packet->Sequence(), packet->ResendCount(), *now_)) {
      c.NoteReceive(*now_);
      MarkReady(c.PlayerId());
      senderWake_.Signal();
    }
  } else if (packet->IsCommand()) {
    ReceiveCommand(c, std::move(packet));
  } else if (packet->IsVoice()) {
    ReceiveVoice(c, std::move(packet));
  } else {
    ReceiveControl(c, std::move(packet));
  }
}

void TCustomPacketBuffer::ReceiveCommand(TSingleConnection& c, TPacketPtr packet) {
  // Not acknowledged when the listener could not take it: the peer resends.
  if (!IncomingHasRoom(true)) throw ECustomPacketBuffer("listener queue full");
  c.NoteReceive(*now_);
  TCommandVerdict verdict = c.CommandReceived(packet->Sequence(), packet->ResendCount(), packet->Size());
  MarkReady(c.PlayerId());  // the acknowledgement
  senderWake_.Signal();
  if (verdict == cvDrop) return;
  if (c.State() > stConnected) throw ECustomPacketBuffer("recv command while closing.");
  TServerCounters::Add(counters_->CommandsReceived);
  c.PlaceCommand(std::move(packet));
  while (TPacketPtr next = c.TakeInOrder()) {
    c.Delivered(*next);
    if (TPacketPtr message = c.Reassemble(std::move(next))) DeliverToListener(std::move(message));
  }
}

void TCustomPacketBuffer::ReceiveVoice(TSingleConnection& c, TPacketPtr packet) {
  if (c.State() == stLoggingIn) throw ECustomPacketBuffer("Recv voice data during login");
  c.NoteReceive(*now_);
  if (!IncomingHasRoom(false)) throw ECustomPacketBuffer("listener queue full");
  c.VoiceReceived(packet->VoiceSequence());
  c.Delivered(*packet);
  TServerCounters::Add(counters_->VoiceReceived);
  TServerCounters::Add(counters_->VoiceBytesReceived, packet->Size());
  if (directVoice_ && !consumerBusy_ && incoming_.Count() == 0) {
    directPacket_ = std::move(packet);
    return;
  }
  DeliverToListener(std::move(packet));
}

void TCustomPacketBuffer::ReceiveControl(TSingleConnection& c, TPacketPtr packet) {
  c.ControlReceived(packet->Sequence());
  if (c.State() != stConnected) return;
  c.NoteReceive(*now_);
  uint16_t type = packet->CommandType();
  if (type == ctPing) {
    c.QueueUnreliable(NewPongPacket(c.ConnectionId(), c.PlayerId(), packet->Sequence()));
    MarkReady(c.PlayerId());
    senderWake_.Signal();
  } else if (type == ctPong && packet->Size() >= kPongSize) {
    c.PongReceived(packet->GetU32(kPongPingSequence), *now_);
  }
}

void TCustomPacketBuffer::DeliverToListener(TPacketPtr packet) {
  incoming_.Push(std::move(packet));
  listenerWake_.Signal();
}

// ---------------------------------------------------------------------------
// Queueing

void TCustomPacketBuffer::SendPacket(TPacketPtr packet, bool closeAfter) {
  if (!packet || !packet->IsKnownClass()) return;  // "Invalid packet on buffer": dropped
  TMutexLock lock(mutex_);
  TSingleConnection* c = Find(packet->PlayerId());
  if (!c) return;
  try {
    QueueOnConnection(*c, std::move(packet));
  } catch (const ECustomPacketBuffer&) {
    return;  // refused packets are dropped without telling the caller
  }
  if (closeAfter) c->BeginClose();
}

void TCustomPacketBuffer::QueueOnConnection(TSingleConnection& c, TPacketPtr packet) {
  if (packet->IsVoice() && c.State() != stConnected) {
    throw ECustomPacketBuffer("Sending voice packet to pre connected, closing or closed connection");
  }
  if (c.State() > stConnected) {
    throw ECustomPacketBuffer("Sending packet to closing or closed connection");
  }
  if (packet->IsCommand()) {
    packet->SetFragmentsLeft(0);
    packet->SetU8(CommandHeader::Reserved, 0);
    c.QueueReliable(FragmentCommand(std::move(packet)));
  } else if (packet->IsC2SVoice() && side_ == kSideClient) {
    if (!VoiceAdmitted(c, *packet)) return;
    c.QueueVoice(std::move(packet));
  } else if (packet->IsS2CVoice() && side_ == kSideServer) {
    if (!VoiceAdmitted(c, *packet)) {
      TServerCounters::Add(counters_->VoiceDropped);
      return;
    }
    c.QueueVoice(std::move(packet));
  } else if (packet->IsControl()) {
    c.QueueUnreliable(std::move(packet));
  } else {
    throw ECustomPacketBuffer("Invalid packet on buffer");
  }
  MarkReady(c.PlayerId());
  senderWake_.Signal();
}

bool TCustomPacketBuffer::VoiceAdmitted(const TSingleConnection& c, const TPacket& packet) const {
  const size_t twiceLimit = static_cast<size_t>(std::max<int64_t>(c.BandwidthLimit(), 0)) * 2;
  if (side_ == kSideClient) return !(c.VoiceThrottle() && c.VoiceBytes() >= twiceLimit);
  if (c.VoiceCount() >= kVoiceAdmitMax) return false;
  if (!c.VoiceThrottle()) return true;
  return packet.SpeakerId() == c.CurrentSpeaker() && c.VoiceBytes() <= twiceLimit;
}

void TCustomPacketBuffer::SendConnectionless(TPacketPtr packet) {
  if (!packet || !packet->IsKnownClass()) return;
  TMutexLock lock(mutex_);
  connectionless_.Push(std::move(packet));
  MarkReady(kConnectionlessId);
  senderWake_.Signal();
}

void TCustomPacketBuffer::MarkReady(uint32_t playerId) { ready_.Push(playerId); }

// ---------------------------------------------------------------------------
// Listener side

void TCustomPacketBuffer::StartCycle(TScanState& scan) {
  scan.cursor = 0;
  scan.phase = spScanning;
  scan.cycle->Assign(*now_);
}

int64_t TCustomPacketBuffer::CycleElapsed(TScanState& scan) {
  return scan.cycle->ElapsedUntil(TSingleConnection::kElapsedCeilingMs, *now_);
}

bool TCustomPacketBuffer::TryNextEvent(uint32_t& playerId, TEventKind& kind, TPacketPtr& packet,
                                       int64_t& waitMs) {
  listenerWake_.Reset();
  TMutexLock lock(mutex_);
  // Coming back for an event means the one before is done.
  consumerBusy_ = NextEventLocked(playerId, kind, packet, waitMs);
  return consumerBusy_;
}

bool TCustomPacketBuffer::NextEventLocked(uint32_t& playerId, TEventKind& kind, TPacketPtr& packet, int64_t& waitMs) {
  now_->Restart();
  waitMs = 0;
  if (shutdown_.load()) {
    playerId = 0;
    kind = evShutdown;
    return true;
  }
  if (listenerScan_.phase == spDraining) {
    if (CycleElapsed(listenerScan_) <= kCycleMs) return TakeIncoming(playerId, kind, packet, waitMs);
    StartCycle(listenerScan_);
  }
  if (ScanConnections(playerId, kind)) return true;
  return TakeIncoming(playerId, kind, packet, waitMs);
}

bool TCustomPacketBuffer::ScanConnections(uint32_t& playerId, TEventKind& kind) {
  while (listenerScan_.cursor < connections_.size()) {
    TSingleConnection& c = *connections_[listenerScan_.cursor++];
    if (c.CloseExpired(*now_)) {
      kind = evClosed;
    } else if (c.TimeLeft(*now_) == 0 || c.ReliableCount() > kReliableOverflow) {
      kind = evTimedOut;
    } else {
      continue;
    }
    playerId = c.PlayerId();
    return true;
  }
  listenerScan_.phase = spDraining;
  return false;
}

bool TCustomPacketBuffer::TakeIncoming(uint32_t& playerId, TEventKind& kind, TPacketPtr& packet,
                                       int64_t& waitMs) {
  if (TPacketPtr next = incoming_.Pop()) {
    playerId = next->IsKnownClass() ? next->PlayerId() : 0;
    kind = evPacket;
    packet = std::move(next);
    return true;
  }
  waitMs = std::max<int64_t>(kCycleMs - CycleElapsed(listenerScan_), 0);
  return false;
}

void TCustomPacketBuffer::GetNextEvent(uint32_t& playerId, TEventKind& kind, TPacketPtr& packet) {
  packet.reset();
  for (;;) {
    int64_t waitMs = 0;
    if (TryNextEvent(playerId, kind, packet, waitMs)) return;
    // A wake from the administration side is delivered only when nothing
    // else is pending, and survives until then.
    if (externalWake_.exchange(false)) {
      playerId = 0;
      kind = evExternal;
      return;
    }
    listenerWake_.Wait(static_cast<int>(waitMs + 2));
  }
}

// ---------------------------------------------------------------------------
// Sender side

TPacketPtr TCustomPacketBuffer::NextOutgoingLocked(int64_t& waitMs) {
  waitMs = 0;
  TPacketPtr packet;
  if (senderScan_.phase == spDraining && CycleElapsed(senderScan_) <= kCycleMs) {
    packet = ServeReadyQueue(waitMs);
  } else {
    packet = ScanForOutput(waitMs);
    if (!packet && CycleElapsed(senderScan_) > kCycleMs) {
      StartCycle(senderScan_);
      packet = ScanForOutput(waitMs);
    }
    if (!packet) packet = ServeReadyQueue(waitMs);
  }
  if (packet) {
    if (packet->IsCommand() && packet->ResendCount() > 0) TServerCounters::Add(counters_->Resends);
    ++packetsSent_;
    bytesSent_ += packet->Size();
    outgoingMeter_.Add(static_cast<uint32_t>(packet->Size()), now_.get());
  } else {
    waitMs = std::max<int64_t>(kCycleMs - CycleElapsed(senderScan_), 0);
  }
  return packet;
}

TPacketPtr TCustomPacketBuffer::ScanForOutput(int64_t& waitMs) {
  if (TPacketPtr packet = TakeConnectionless()) {
    MarkReady(kConnectionlessId);
    return packet;
  }
  while (senderScan_.cursor < connections_.size()) {
    TSingleConnection& c = *connections_[senderScan_.cursor++];
    if (c.State() == stClosed) continue;
    if (TPacketPtr packet = c.NextPacket(*now_, waitMs)) {
      MarkReady(c.PlayerId());
      return packet;
    }
  }
  senderScan_.phase = spDraining;
  return nullptr;
}

TPacketPtr TCustomPacketBuffer::ServeReadyQueue(int64_t& waitMs) {
  uint32_t id = 0;
  while (ready_.Pop(id)) {
    TPacketPtr packet = id == kConnectionlessId ? TakeConnectionless() : NextFrom(id, waitMs);
    if (packet) {
      ready_.Push(id);  // round robin: back to the tail
      return packet;
    }
  }
  return nullptr;
}

TPacketPtr TCustomPacketBuffer::NextFrom(uint32_t playerId, int64_t& waitMs) {
  TSingleConnection* c = Find(playerId);
  if (!c || c->State() == stClosed) return nullptr;
  return c->NextPacket(*now_, waitMs);
}

TPacketPtr TCustomPacketBuffer::TakeConnectionless() {
  TPacketPtr packet = connectionless_.Pop();
  if (packet) {
    packet->SetChecksum();
    packet->SetPosition(0);
  }
  return packet;
}

// ---------------------------------------------------------------------------
// Batched relay and sending

bool TCustomPacketBuffer::SendVoiceCopies(const TPacket& image, const TVoiceCopy* copies, size_t count,
                                          bool wakeSender) {
  const bool ours = side_ == kSideServer ? image.IsS2CVoice() : image.IsC2SVoice();
  if (!ours || count == 0) return false;
  TMutexLock lock(mutex_);
  const int64_t nowNs = clock_.NowNs();
  bool queued = false;
  for (size_t i = 0; i < count; ++i) {
    const TVoiceCopy& to = copies[i];
    TSingleConnection* c = Find(to.PlayerId);
    if (!c || c->State() != stConnected || !VoiceAdmitted(*c, image)) continue;
    TPacketPtr copy;
    if (spare_.empty()) {
      copy = std::make_unique<TPacket>();
    } else {
      copy = std::move(spare_.back());
      spare_.pop_back();
    }
    copy->Assign(image.Data(), image.Size());
    copy->SetU8(S2CVoiceHeader::VoiceTarget, to.Target);
    copy->SetConnectionId(to.ConnectionId);
    copy->SetPlayerId(to.PlayerId);
    c->QueueVoice(std::move(copy), nowNs);
    MarkReady(to.PlayerId);
    queued = true;
  }
  if (queued && wakeSender) senderWake_.Signal();
  return queued;
}

void TCustomPacketBuffer::Recycle(TPacketList& packets) {
  {
    TMutexLock lock(mutex_);
    for (TPacketPtr& p : packets) {
      // Only ordinary one-block packets; a rare large one is freed.
      if (p && p->Capacity() == TPacket::kBlockSize && spare_.size() < kSparePackets) {
        spare_.push_back(std::move(p));
      }
    }
  }
  packets.clear();
}

size_t TCustomPacketBuffer::TryTakeOutgoing(TPacketList& out, size_t max, int64_t& waitMs) {
  senderWake_.Reset();
  TMutexLock lock(mutex_);
  now_->Restart();
  size_t taken = 0;
  while (taken < max) {
    TPacketPtr packet = NextOutgoingLocked(waitMs);
    if (!packet) break;
    out.push_back(std::move(packet));
    ++taken;
  }
  return taken;
}

void TCustomPacketBuffer::WaitForOutgoing(int64_t waitMs) {
  if (!shutdown_.load()) senderWake_.Wait(static_cast<int>(std::max<int64_t>(waitMs, 0) + 2));
}

// ---------------------------------------------------------------------------
// Connections and statistics

void TCustomPacketBuffer::AddConnection(uint32_t playerId, uint32_t connectionId,
                                        uint32_t controlStart, uint16_t port,
                                        const std::string& ip) {
  auto c = std::make_unique<TSingleConnection>(side_, flags_, playerId, connectionId, clock_);
  c->SetShedCounter(&counters_->VoiceShed);
  c->SetPeer(ip, port);
  c->SetControlSequences(controlStart, controlStart + 2);
  TMutexLock lock(mutex_);
  connections_.reserve(connections_.size() + 1);
  byPlayer_.Add(playerId, c.get());  // raises on a duplicate player id
  connections_.push_back(std::move(c));
}

void TCustomPacketBuffer::RemoveConnection(uint32_t playerId) {
  TMutexLock lock(mutex_);
  TSingleConnection* c = Find(playerId);
  if (!c) return;
  byPlayer_.Remove(playerId);
  voiceShedOfRemoved_ += c->VoiceShed();
  auto it = std::find_if(connections_.begin(), connections_.end(),
                         [c](const auto& p) { return p.get() == c; });
  size_t index = static_cast<size_t>(it - connections_.begin());
  connections_.erase(it);
  // Keep both scans on the connection they would have visited next.
  for (TScanState* scan : {&listenerScan_, &senderScan_}) {
    if (scan->cursor > index) --scan->cursor;
  }
}

int TCustomPacketBuffer::ConnectionCount() {
  TMutexLock lock(mutex_);
  return static_cast<int>(connections_.size());
}

void TCustomPacketBuffer::SetBandwidthLimit(uint32_t playerId, int kilobits) {
  if (kilobits < 0) return;
  TMutexLock lock(mutex_);
  if (TSingleConnection* c = Find(playerId)) c->SetBandwidthLimit(kilobits);
}

TConnectionInfo TCustomPacketBuffer::GetConnectionInfo(uint32_t playerId) {
  TConnectionInfo info;
  TMutexLock lock(mutex_);
  TSingleConnection* c = Find(playerId);
  if (!c) return info;
  info.ConnectionId = c->ConnectionId();
  info.PacketsSent = c->PacketsSent();
  info.BytesSent = static_cast<uint32_t>(c->BytesSent());
  info.PacketsReceived = c->PacketsReceived();
  info.BytesReceived = static_cast<uint32_t>(c->BytesReceived());
  info.Ip = c->PeerIp();
  info.Port = c->PeerPort();
  if (c->PacketsReceived() > 0) {
    double lost = static_cast<double>(c->PacketsLost());
    info.PacketLoss = static_cast<uint32_t>(std::llround(lost * 10000 / (lost + c->PacketsReceived())));
  }
  info.AverageRoundTrip = static_cast<uint32_t>(c->AverageRoundTrip());
  return info;
}

TBufferStatistics TCustomPacketBuffer::GetStatistics() {
  TBufferStatistics stats;
  {
    TMutexLock lock(mutex_);
    stats.PacketsReceived = packetsReceived_;
    stats.PacketsSent = packetsSent_;
    stats.BytesReceived = bytesReceived_;
    stats.BytesSent = bytesSent_;
    stats.VoiceShed = voiceShedOfRemoved_;
    stats.IgnoredDatagrams = ignoredDatagrams_;
    for (const auto& c : connections_) stats.VoiceShed += c->VoiceShed();
  }
  stats.Incoming = incomingMeter_.Rates();
  stats.Outgoing = outgoingMeter_.Rates();
  return stats;
}

TConnectionState TCustomPacketBuffer::ConnectionState(uint32_t playerId) {
  TMutexLock lock(mutex_);
  TSingleConnection* c = Find(playerId);
  return c ? c->State() : stClosed;
}

// ---------------------------------------------------------------------------
// Wake-up and shutdown

void TCustomPacketBuffer::WakeListener() {
  externalWake_.store(true);
  listenerWake_.Signal();
}

void TCustomPacketBuffer::MarkThreadDone(int bit) {
  TMutexLock lock(mutex_);
  threadsDone_ |= 1 << bit;
  if (threadsDone_ == kAllThreadsDone) threadsDoneEvent_.Signal();
}

void TCustomPacketBuffer::Shutdown(int waitMs) {
  shutdown_.store(true);
  listenerWake_.Signal();
  senderWake_.Signal();
  {
    TMutexLock lock(mutex_);
    if (threadsDone_ == kAllThreadsDone) return;
  }
  if (waitMs > 0) threadsDoneEvent_.Wait(waitMs);
}

void TCustomPacketBuffer::SetStoreLoginReply(bool store) {
  TMutexLock lock(mutex_);
  storeLoginReply_ = store;
}

TPacketPtr TCustomPacketBuffer::TakeLoginReply() {
  TMutexLock lock(mutex_);
  return std::move(loginReply_);
}

// A command may complete up to a ring's worth of waiting commands at once.
bool TCustomPacketBuffer::IncomingHasRoom(bool command) const {
  const size_t reserve = command ? TSingleConnection::kRingSize : kCommandReserve;
  return incoming_.Count() + reserve < static_cast<size_t>(kIncomingMax);
}

void TCustomPacketBuffer::SetLogPrefix(std::string prefix) {
  TMutexLock lock(mutex_);
  logPrefix_ = std::move(prefix);
}

}  // namespace qv
