// The packet buffer's guards against peers on the open internet, by address:
// a connection's ids from another address, addresses that name no
// connection, logins pending per address, and the send limit of a
// connection its peer has not yet verified (TCustomPacketBuffer's
// "hardening" members, declared in packet_buffer.h).
#include <string>

#include "base/log.h"
#include "protocol/packet_buffer.h"

namespace qv {

void TCustomPacketBuffer::RefuseForeignAddress(TSingleConnection& c, const TPacket& packet) {
  ++foreignPackets_;
  if (c.NoteForeignPacket(*now_)) {
    LogRemote(lmtWarning, lmdUsefull,
              RemoteLine("packet for player {} from {}:{} instead of {}:{} dropped ({} so far)", c.PlayerId(),
                         packet.PeerIp(), packet.PeerPort(), c.PeerIp(), c.PeerPort(), c.ForeignPackets())
                  .Prefixed(logPrefix_),
              "UDP VOICE");
  }
  throw ECustomPacketBuffer("packet from another address");
}

// An ignored address gets no further than the ids of a connection it owns.
bool TCustomPacketBuffer::IgnoreDatagram(const TPacket& packet) {
  if (side_ != kSideServer || !ignored_.Ignored(packet.PeerIp(), NowMs())) return false;
  if (packet.IsKnownClass()) {
    const TSingleConnection* c = Find(packet.PlayerId());
    if (c && c->ConnectionId() == packet.ConnectionId() && c->PeerPort() == packet.PeerPort() &&
        c->PeerIp() == packet.PeerIp()) {
      return false;
    }
  }
  ++ignoredDatagrams_;
  TServerCounters::Add(counters_->DatagramsIgnored);
  return true;
}

void TCustomPacketBuffer::NoteStray(const TPacket& packet) {
  if (side_ != kSideServer || !ignored_.CountStray(packet.PeerIp(), NowMs())) return;
  LogRemote(
      lmtWarning, lmdUsefull,
      RemoteLine("{} sent {} datagrams within {} s that name no connection: it is ignored for {} s", packet.PeerIp(),
                 ignored_.Limits().StrayLimit, ignored_.Limits().WindowMs / 1000, ignored_.Limits().IgnoreMs / 1000)
          .Prefixed(logPrefix_),
      "UDP VOICE");
}

void TCustomPacketBuffer::LimitUntilVerified(uint32_t playerId, uint32_t requestBytes) {
  TMutexLock lock(mutex_);
  if (TSingleConnection* c = Find(playerId)) c->LimitUntilVerified(requestBytes);
}

TCustomPacketBuffer::TPendingLogins TCustomPacketBuffer::PendingLogins(const std::string& ip) {
  TPendingLogins pending;
  TMutexLock lock(mutex_);
  for (const auto& c : connections_) {
    if (c->State() != stLoggingIn) continue;
    ++pending.Total;
    if (c->PeerIp() == ip) ++pending.FromAddress;
  }
  return pending;
}

uint64_t TCustomPacketBuffer::ForeignPackets() {
  TMutexLock lock(mutex_);
  return foreignPackets_;
}

}  // namespace qv
