// The view: who sees whom, and the notifications that keep every client's
// player list in step with it (arrivals, departures, channel switches,
// flags and privileges, a change of the server type).
#include "protocol/command_types.h"
#include "voice/udp_listener.h"

namespace qv {

// ---------------------------------------------------------------------------
// Arrivals and departures

void TQVUDPListener::NotifyPlayerEnteredScope(uint32_t playerId) {
  const TClientRec* arriving = Clients().GetClientByID(playerId);
  if (!arriving) return;
  for (const auto& recipient : Clients().Items()) {
    if (recipient.get() == arriving || !CheckClientInView(arriving, recipient.get())) continue;
    auto packet = NewCommandPacket(qv::CMD_sc_NotifyPlayerEnteredScope, recipient->ConnectionId,
                                   recipient->PlayerId);
    WritePlayerEntry(*packet, *arriving);
    SendPacket(std::move(packet));
  }
}

void TQVUDPListener::NotifyPlayerLeftScope(uint32_t playerId, uint16_t reason, std::string_view reasonText,
                                           uint32_t actingPlayerId) {
  TClientRec* leaving = Clients().GetClientByID(playerId);
  if (!leaving || !leaving->LoginComplete || leaving->Removing) return;
  for (const auto& recipient : Clients().Items()) {
    if (!CheckClientInView(leaving, recipient.get())) continue;
    auto packet = NewLeftScopePacket(*recipient, playerId, reason, reasonText, actingPlayerId);
    // His own copy is the last thing his connection carries.
    const bool self = recipient.get() == leaving;
    if (self) leaving->Removing = true;
    SendPacket(std::move(packet), self);
  }
}

// ---------------------------------------------------------------------------
// Flags

void NotifyPlayerFlagsChanged(TQVUDPListener& listener, const TClientRec& player) {
  for (const auto& recipient : listener.Clients().Items()) {
    if (!listener.CheckClientInView(&player, recipient.get())) continue;
    TPacketPtr p = NewCommandPacket(CMD_sc_NotifyPlayerFlagsChanged, recipient->ConnectionId, recipient->PlayerId);
    p->SetSize(FlagsChangedLayout::Size);
    p->SetU32(FlagsChangedLayout::PlayerId, player.PlayerId);
    p->SetU16(FlagsChangedLayout::Flags, player.PlayerFlags);
    listener.SendPacket(std::move(p));
  }
}

// ---------------------------------------------------------------------------
// Privilege notifications

void TQVUDPListener::NotifyPlayerChannelPrivilegeChanged(uint32_t playerId, uint32_t originator,
                                                         uint8_t action, uint8_t privilegeIndex) {
  SendPrivilegeChanged(qv::CMD_sc_NotifyPlayerChannelPrivilegeChanged, playerId, originator, action,
                       privilegeIndex);
}

void TQVUDPListener::NotifyPlayerPrivilegesChanged(uint32_t playerId, uint32_t originator, uint8_t action,
                                                   uint8_t privilegeIndex) {
  SendPrivilegeChanged(qv::CMD_sc_NotifyPlayerPrivilegesChanged, playerId, originator, action,
                       privilegeIndex);
}

void TQVUDPListener::SendPrivilegeChanged(uint16_t commandType, uint32_t playerId, uint32_t originator,
                                          uint8_t action, uint8_t privilegeIndex) {
  const TClientRec* subject = Clients().GetClientByID(playerId);
  if (!subject) return;
  for (const auto& recipient : Clients().Items()) {
    if (!CheckClientInView(subject, recipient.get())) continue;
    TPacketPtr p = NewCommandPacket(commandType, recipient->ConnectionId, recipient->PlayerId);
    p->SetSize(PrivilegeChangedLayout::Size);
    p->SetU32(PrivilegeChangedLayout::PlayerId, playerId);
    p->SetU8(PrivilegeChangedLayout::Action, action);
    p->SetU8(PrivilegeChangedLayout::Privilege, privilegeIndex);
    p->SetU32(PrivilegeChangedLayout::Originator, originator);
    SendPacket(std::move(p));
  }
}

// ---------------------------------------------------------------------------
// The view

bool TQVUDPListener::CheckClientInView(const TClientRec* subject, const TClientRec* viewer) const {
  if (!subject || !viewer) return false;
  if (server_.IsClanServer()) return true;
  // Public server: players see each other within one channel tree.
  return Channels().SameChannelTree(subject->ChannelId, viewer->ChannelId);
}

// Whether a move from oldChannel to newChannel stays within one channel tree
// (top-level channel and its sub-channels).
bool TQVUDPListener::MoveStaysInTree(const TChannelRec* oldChannel, const TChannelRec* newChannel) const {
  if (!oldChannel || !newChannel) return false;
  if (!oldChannel->IsSubChannel()) return newChannel->ParentId == oldChannel->Id;
  return newChannel->Id == oldChannel->ParentId || newChannel->ParentId == oldChannel->ParentId;
}

// Whether a player sits in the tree a mover left. Without a known old and new
// channel that "tree" is every top-level channel, without sub-channels.
bool TQVUDPListener::InOldTree(const TClientRec& player, const TChannelRec* oldChannel, bool bothKnown) const {
  const TChannelRec* channel = Channels().GetChannelById(player.ChannelId);
  if (!channel) return false;
  if (!bothKnown) return !channel->IsSubChannel();
  return Channels().GetTopChannelId(channel->Id) == Channels().GetTopChannelId(oldChannel->Id);
}

TPacketPtr TQVUDPListener::NewSwitchedChannelPacket(const TClientRec& to, const TClientRec& mover,
                                                    int32_t oldChannelId, int32_t newChannelId) const {
  TPacketPtr p = NewCommandPacket(qv::CMD_sc_NotifyPlayerSwitchedChannel, to.ConnectionId, to.PlayerId);
  p->SetSize(SwitchedChannelLayout::Size);
  p->SetU32(SwitchedChannelLayout::PlayerId, mover.PlayerId);
  p->SetU32(SwitchedChannelLayout::OldChannel, static_cast<uint32_t>(oldChannelId));
  p->SetU32(SwitchedChannelLayout::NewChannel, static_cast<uint32_t>(newChannelId));
  p->SetU16(SwitchedChannelLayout::Privileges, mover.ChannelPrivileges);
  return p;
}

void TQVUDPListener::NotifyPlayerSwitchedChannel(uint32_t playerId, int32_t oldChannelId, int32_t newChannelId) {
  try {
    const TClientRec* mover = Clients().GetClientByID(playerId);
    if (!mover) return;
    if (server_.IsClanServer()) {
      for (const auto& recipient : Clients().Items()) {
        SendPacket(NewSwitchedChannelPacket(*recipient, *mover, oldChannelId, newChannelId));
      }
      return;
    }
    const TChannelRec* oldChannel = Channels().GetChannelById(oldChannelId);
    const TChannelRec* newChannel = Channels().GetChannelById(newChannelId);
    const bool bothKnown = oldChannel && newChannel;
    const bool inside = MoveStaysInTree(oldChannel, newChannel);
    SendPacket(NewSwitchedChannelPacket(*mover, *mover, oldChannelId, newChannelId));
    for (const auto& recipient : Clients().Items()) {
      if (recipient.get() == mover || !InOldTree(*recipient, oldChannel, bothKnown)) continue;
      SendPacket(inside ? NewSwitchedChannelPacket(*recipient, *mover, oldChannelId, newChannelId)
                        : NewLeftScopePacket(*recipient, playerId, lrLeftView, "", 0));
    }
    if (inside) return;
    NotifyPlayerEnteredScope(playerId);
    NotifyPlayersInSwitchedChannel(playerId);
  } catch (const std::exception& e) {
    LogHandlerException("NotifyPlayerSwitchedChannel", e);
  }
}

void TQVUDPListener::NotifyPlayersInSwitchedChannel(uint32_t playerId) {
  const TClientRec* viewer = Clients().GetClientByID(playerId);
  if (!viewer) return;
  std::vector<const TClientRec*> seen;
  for (const auto& other : Clients().Items()) {
    if (other.get() != viewer && CheckClientInView(other.get(), viewer)) seen.push_back(other.get());
  }
  SendPlayerEntries(*viewer, qv::CMD_sc_NotifyPlayersInSwitchedChannel, seen);
}

void TQVUDPListener::UpdateClanServerPlayerListTo(uint32_t playerId) {
  const TClientRec* viewer = Clients().GetClientByID(playerId);
  if (!viewer) return;
  std::vector<const TClientRec*> unseen;
  for (const auto& other : Clients().Items()) {
    if (other.get() == viewer || Channels().SameChannelTree(other->ChannelId, viewer->ChannelId)) continue;
    unseen.push_back(other.get());
  }
  SendPlayerEntries(*viewer, qv::CMD_sc_NotifyPlayersInSwitchedChannel, unseen);
}

void TQVUDPListener::UpdatePublicServerPlayerListTo(uint32_t playerId) {
  const TClientRec* viewer = Clients().GetClientByID(playerId);
  if (!viewer) return;
  for (const auto& other : Clients().Items()) {
    if (other.get() == viewer || Channels().SameChannelTree(other->ChannelId, viewer->ChannelId)) continue;
    SendPacket(NewLeftScopePacket(*viewer, other->PlayerId, lrLeftView, "", 0));
  }
}

}  // namespace qv
