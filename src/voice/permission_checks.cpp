// Who may do what, the privileges a player gets in a channel, the join test of
// a channel, who sees whom, and the notifications that keep the clients'
// player lists in step with the view.
#include "protocol/command_types.h"
#include "voice/udp_listener.h"

namespace qv {

namespace {


constexpr uint8_t kRevokedByServer = 3;

// cp* bit and its index on the wire, in the order moderation takes them away.
constexpr std::pair<uint16_t, uint8_t> kModerationPrivileges[] = {
    {cpOP, 1}, {cpV, 2}, {cpAutoOP, 3}, {cpAutoV, 4}};

}  // namespace

// ---------------------------------------------------------------------------
// Permission checks

bool TQVUDPListener::HasPermission(const TClientRec* player, TUserPermissions permission) const {
  try {
    return server_.HasPermission(player, permission);
  } catch (const std::exception& e) {
    LogHandlerException("HasPermission", e);
    return false;
  }
}

bool TQVUDPListener::CheckClientChannelPermission(TChannelRec* channel, const TClientRec* player,
                                                  TUserPermissions permission) const {
  if (!channel || !player) return false;
  try {
    TClientRec asMember(*player);
    asMember.ChannelPrivileges = Channels().GetChannelAttribs(channel, player);
    return HasPermission(&asMember, permission);
  } catch (const std::exception& e) {
    LogHandlerException("CheckClientChannelPermission", e);
    return false;
  }
}

bool TQVUDPListener::CheckClientCAPermission(const TClientRec* player, TUserPermissions permission) const {
  if (!player) return false;
  try {
    TClientRec asAdmin(*player);
    asAdmin.ChannelPrivileges = cpCA;
    asAdmin.PlayerFlags = 0;
    return HasPermission(&asAdmin, permission);
  } catch (const std::exception& e) {
    LogHandlerException("CheckClientCAPermission", e);
    return false;
  }
}

// ---------------------------------------------------------------------------
// Channel privileges

void TQVUDPListener::SetPlayerChannelFlagsAndPrivileges(TChannelRec* channel, TClientRec* player) {
  if (!channel || !player) return;
  try {
    uint16_t privileges = Channels().GetChannelAttribs(channel, player);
    // The admin of a channel is admin of its sub-channels too.
    if (TChannelRec* parent = Channels().GetMainChannel(channel->Id)) {
      if (Channels().GetChannelAttribs(parent, player) & cpCA) privileges |= cpCA;
    }
    if (privileges & cpAutoOP) privileges |= cpOP;
    if (privileges & cpAutoV) privileges |= cpV;
    player->ChannelPrivileges = privileges;
    player->PlayerFlags &= static_cast<uint16_t>(~pfRequestVoice);
  } catch (const std::exception& e) {
    LogHandlerException("SetPlayerChannelFlagsAndPrivileges", e);
  }
}

void TQVUDPListener::RemoveModeratedFlags(int32_t channelId) {
  try {
    for (const auto& player : Clients().Items()) {
      if (player->ChannelId != channelId) continue;
      for (auto [bit, index] : kModerationPrivileges) {
        if (!(player->ChannelPrivileges & bit)) continue;
        player->ChannelPrivileges &= static_cast<uint16_t>(~bit);
        NotifyPlayerChannelPrivilegeChanged(player->PlayerId, 0, kRevokedByServer, index);
      }
    }
  } catch (const std::exception& e) {
    LogHandlerException("RemoveModeratedFlags", e);
  }
}

int32_t TQVUDPListener::CheckChannelJoin(int32_t channelId, std::string_view password) const {
  try {
    const TChannelRec* channel = Channels().GetChannelById(channelId);
    if (!channel) return ctChannelNotFound;
    // A sub-channel is guarded by its parent's password.
    const TChannelRec* guard = channel->IsSubChannel() ? Channels().GetChannelById(channel->ParentId) : channel;
    if (guard && !guard->Password.empty()) {
      const TText29 given(password);
      if (given.empty()) return -110;
      if (!(given == guard->Password)) return 1;
    }
    if (channel->Members.size() >= channel->MaxUsers) return -113;
    return 0;
  } catch (const std::exception& e) {
    LogHandlerException("CheckChannelJoin", e);
    return ctChannelNotFound;
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
