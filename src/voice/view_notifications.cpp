// The view: who sees whom, and the notifications that keep every client's
// player and channel lists in step with the server.
#include <algorithm>
#include <utility>

#include "protocol/command_types.h"
#include "voice/login_handlers.h"
#include "voice/view_notifications.h"
#include "voice/wire_layouts.h"

namespace qv::voice {

namespace {

void SendPrivilegeChanged(TListenerContext& ctx, uint16_t commandType, uint32_t playerId, uint32_t originator,
                          uint8_t action, uint8_t privilegeIndex);
bool MoveStaysInTree(const TChannelRec* oldChannel, const TChannelRec* newChannel);
bool InOldTree(const TListenerContext& ctx, const TClientRec& player, const TChannelRec* oldChannel, bool bothKnown);
TPacketPtr NewSwitchedChannelPacket(const TClientRec& to, const TClientRec& mover, int32_t oldChannelId,
                                    int32_t newChannelId);

constexpr size_t kPlayerListSize = 468;
constexpr size_t kPlayersPerPacket = 10;
constexpr uint8_t kRevokedByServer = 3;
// cp* bit and its wire index, for what an unmoderated channel takes away.
constexpr std::pair<uint16_t, uint8_t> kModeratedPrivileges[] = {{cpOP, 1}, {cpV, 2}};

TPacketPtr NewPlayerListPacket(const TClientRec& to, uint16_t commandType) {
  TPacketPtr p = NewCommandPacket(commandType, to.ConnectionId, to.PlayerId);
  p->SetSize(kPlayerListSize);
  p->SetPosition(28);
  return p;
}

// One packet per connected player, filled by `fill` after the header.
template <typename Fill>
void SendToAll(TListenerContext& listener, uint16_t commandType, Fill fill) {
  for (const auto& recipient : listener.Clients().Items()) {
    TPacketPtr packet = NewCommandPacket(commandType, recipient->ConnectionId, recipient->PlayerId);
    fill(*packet);
    listener.SendPacket(std::move(packet));
  }
}

// In a channel without moderation, voice requests, operator and voice mean
// nothing; the record of the channel loses them too, so that permission
// checks in the channel agree with what the clients were told.
void EndModeration(TListenerContext& listener, TChannelRec& channel) {
  for (const auto& player : listener.Clients().Items()) {
    if (player->ChannelId != channel.Id) continue;
    if (player->PlayerFlags & pfRequestVoice) {
      player->PlayerFlags &= static_cast<uint16_t>(~pfRequestVoice);
      NotifyPlayerFlagsChanged(listener, *player);
    }
    TChannelAttrib* entry = channel.Privileges.Get(player->PlayerId);
    for (auto [bit, index] : kModeratedPrivileges) {
      if (!(player->ChannelPrivileges & bit)) continue;
      player->ChannelPrivileges &= static_cast<uint16_t>(~bit);
      if (entry) entry->Flags &= static_cast<uint16_t>(~bit);
      NotifyPlayerChannelPrivilegeChanged(listener, player->PlayerId, 0, kRevokedByServer, index);
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Packets

void WritePlayerEntry(TPacket& p, const TClientRec& player) {
  p.WriteU32(player.PlayerId);
  p.WriteI32(player.ChannelId);
  p.WriteU16(player.ChannelPrivileges);
  p.WriteU16(player.PlayerPrivileges);
  p.WriteU16(player.PlayerFlags);
  p.WriteText(player.NickName, kShortTextField);
}

TPacketPtr NewLeftScopePacket(const TClientRec& to, uint32_t playerId, uint16_t reason, std::string_view reasonText,
                              uint32_t actingPlayerId) {
  TPacketPtr packet = NewCommandPacket(qv::CMD_sc_NotifyPlayerLeftScope, to.ConnectionId, to.PlayerId);
  packet->SetSize(LeftScopeLayout::Size);
  packet->SetU32(LeftScopeLayout::PlayerId, playerId);
  packet->SetU16(LeftScopeLayout::Reason, reason);
  packet->SetU32(LeftScopeLayout::ActingPlayerId, actingPlayerId);
  packet->SetPosition(LeftScopeLayout::ReasonText);
  packet->WriteText(reasonText, kShortTextField);
  return packet;
}

void SendPlayerEntries(TListenerContext& ctx, const TClientRec& to, uint16_t commandType,
                       const std::vector<const TClientRec*>& players) {
  for (size_t first = 0; first < players.size(); first += kPlayersPerPacket) {
    const size_t count = std::min(kPlayersPerPacket, players.size() - first);
    TPacketPtr p = NewPlayerListPacket(to, commandType);
    p->SetU32(24, static_cast<uint32_t>(count));
    for (size_t i = first; i < first + count; ++i) WritePlayerEntry(*p, *players[i]);
    ctx.SendPacket(std::move(p));
  }
}

// ---------------------------------------------------------------------------
// Arrivals and departures

void NotifyPlayerEnteredScope(TListenerContext& ctx, uint32_t playerId) {
  const TClientRec* arriving = ctx.Clients().GetClientByID(playerId);
  if (!arriving) return;
  for (const auto& recipient : ctx.Clients().Items()) {
    if (recipient.get() == arriving || !CheckClientInView(ctx, arriving, recipient.get())) continue;
    auto packet = NewCommandPacket(qv::CMD_sc_NotifyPlayerEnteredScope, recipient->ConnectionId,
                                   recipient->PlayerId);
    WritePlayerEntry(*packet, *arriving);
    ctx.SendPacket(std::move(packet));
  }
}

void NotifyPlayerLeftScope(TListenerContext& ctx, uint32_t playerId, uint16_t reason, std::string_view reasonText,
                           uint32_t actingPlayerId) {
  TClientRec* leaving = ctx.Clients().GetClientByID(playerId);
  if (!leaving || !leaving->LoginComplete || leaving->Removing) return;
  for (const auto& recipient : ctx.Clients().Items()) {
    if (!CheckClientInView(ctx, leaving, recipient.get())) continue;
    auto packet = NewLeftScopePacket(*recipient, playerId, reason, reasonText, actingPlayerId);
    // His own copy is the last thing his connection carries.
    const bool self = recipient.get() == leaving;
    if (self) leaving->Removing = true;
    ctx.SendPacket(std::move(packet), self);
  }
}

// ---------------------------------------------------------------------------
// Flags

void NotifyPlayerFlagsChanged(TListenerContext& listener, const TClientRec& player) {
  for (const auto& recipient : listener.Clients().Items()) {
    if (!CheckClientInView(listener, &player, recipient.get())) continue;
    TPacketPtr p = NewCommandPacket(CMD_sc_NotifyPlayerFlagsChanged, recipient->ConnectionId, recipient->PlayerId);
    p->SetSize(FlagsChangedLayout::Size);
    p->SetU32(FlagsChangedLayout::PlayerId, player.PlayerId);
    p->SetU16(FlagsChangedLayout::Flags, player.PlayerFlags);
    listener.SendPacket(std::move(p));
  }
}

// ---------------------------------------------------------------------------
// Privilege notifications

void NotifyPlayerChannelPrivilegeChanged(TListenerContext& ctx, uint32_t playerId, uint32_t originator, uint8_t action,
                                         uint8_t privilegeIndex) {
  SendPrivilegeChanged(ctx, qv::CMD_sc_NotifyPlayerChannelPrivilegeChanged, playerId, originator, action,
                       privilegeIndex);
}

void NotifyPlayerPrivilegesChanged(TListenerContext& ctx, uint32_t playerId, uint32_t originator, uint8_t action,
                                   uint8_t privilegeIndex) {
  SendPrivilegeChanged(ctx, qv::CMD_sc_NotifyPlayerPrivilegesChanged, playerId, originator, action, privilegeIndex);
}

namespace {

void SendPrivilegeChanged(TListenerContext& ctx, uint16_t commandType, uint32_t playerId, uint32_t originator,
                          uint8_t action, uint8_t privilegeIndex) {
  const TClientRec* subject = ctx.Clients().GetClientByID(playerId);
  if (!subject) return;
  for (const auto& recipient : ctx.Clients().Items()) {
    if (!CheckClientInView(ctx, subject, recipient.get())) continue;
    TPacketPtr p = NewCommandPacket(commandType, recipient->ConnectionId, recipient->PlayerId);
    p->SetSize(PrivilegeChangedLayout::Size);
    p->SetU32(PrivilegeChangedLayout::PlayerId, playerId);
    p->SetU8(PrivilegeChangedLayout::Action, action);
    p->SetU8(PrivilegeChangedLayout::Privilege, privilegeIndex);
    p->SetU32(PrivilegeChangedLayout::Originator, originator);
    ctx.SendPacket(std::move(p));
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The view

bool CheckClientInView(const TListenerContext& ctx, const TClientRec* subject, const TClientRec* viewer) {
  if (!subject || !viewer) return false;
  if (ctx.Server().IsClanServer()) return true;
  // Public server: players see each other within one channel tree.
  return ctx.Channels().SameChannelTree(subject->ChannelId, viewer->ChannelId);
}

// Whether a move from oldChannel to newChannel stays within one channel tree
// (top-level channel and its sub-channels).
namespace {

bool MoveStaysInTree(const TChannelRec* oldChannel, const TChannelRec* newChannel) {
  if (!oldChannel || !newChannel) return false;
  if (!oldChannel->IsSubChannel()) return newChannel->ParentId == oldChannel->Id;
  return newChannel->Id == oldChannel->ParentId || newChannel->ParentId == oldChannel->ParentId;
}

}  // namespace

// Whether a player sits in the tree a mover left. Without a known old and new
// channel that "tree" is every top-level channel, without sub-channels.
namespace {

bool InOldTree(const TListenerContext& ctx, const TClientRec& player, const TChannelRec* oldChannel, bool bothKnown) {
  const TChannelRec* channel = ctx.Channels().GetChannelById(player.ChannelId);
  if (!channel) return false;
  if (!bothKnown) return !channel->IsSubChannel();
  return ctx.Channels().GetTopChannelId(channel->Id) == ctx.Channels().GetTopChannelId(oldChannel->Id);
}

TPacketPtr NewSwitchedChannelPacket(const TClientRec& to, const TClientRec& mover, int32_t oldChannelId,
                                    int32_t newChannelId) {
  TPacketPtr p = NewCommandPacket(qv::CMD_sc_NotifyPlayerSwitchedChannel, to.ConnectionId, to.PlayerId);
  p->SetSize(SwitchedChannelLayout::Size);
  p->SetU32(SwitchedChannelLayout::PlayerId, mover.PlayerId);
  p->SetU32(SwitchedChannelLayout::OldChannel, static_cast<uint32_t>(oldChannelId));
  p->SetU32(SwitchedChannelLayout::NewChannel, static_cast<uint32_t>(newChannelId));
  p->SetU16(SwitchedChannelLayout::Privileges, mover.ChannelPrivileges);
  return p;
}

}  // namespace

void NotifyPlayerSwitchedChannel(TListenerContext& ctx, uint32_t playerId, int32_t oldChannelId, int32_t newChannelId) {
  try {
    const TClientRec* mover = ctx.Clients().GetClientByID(playerId);
    if (!mover) return;
    if (ctx.Server().IsClanServer()) {
      for (const auto& recipient : ctx.Clients().Items()) {
        ctx.SendPacket(NewSwitchedChannelPacket(*recipient, *mover, oldChannelId, newChannelId));
      }
      return;
    }
    const TChannelRec* oldChannel = ctx.Channels().GetChannelById(oldChannelId);
    const TChannelRec* newChannel = ctx.Channels().GetChannelById(newChannelId);
    const bool bothKnown = oldChannel && newChannel;
    const bool inside = MoveStaysInTree(oldChannel, newChannel);
    ctx.SendPacket(NewSwitchedChannelPacket(*mover, *mover, oldChannelId, newChannelId));
    for (const auto& recipient : ctx.Clients().Items()) {
      if (recipient.get() == mover || !InOldTree(ctx, *recipient, oldChannel, bothKnown)) continue;
      ctx.SendPacket(inside ? NewSwitchedChannelPacket(*recipient, *mover, oldChannelId, newChannelId)
                            : NewLeftScopePacket(*recipient, playerId, lrLeftView, "", 0));
    }
    if (inside) return;
    NotifyPlayerEnteredScope(ctx, playerId);
    NotifyPlayersInSwitchedChannel(ctx, playerId);
  } catch (const std::exception& e) {
    ctx.LogHandlerException("NotifyPlayerSwitchedChannel", e);
  }
}

void NotifyPlayersInSwitchedChannel(TListenerContext& ctx, uint32_t playerId) {
  const TClientRec* viewer = ctx.Clients().GetClientByID(playerId);
  if (!viewer) return;
  std::vector<const TClientRec*> seen;
  for (const auto& other : ctx.Clients().Items()) {
    if (other.get() != viewer && CheckClientInView(ctx, other.get(), viewer)) seen.push_back(other.get());
  }
  SendPlayerEntries(ctx, *viewer, qv::CMD_sc_NotifyPlayersInSwitchedChannel, seen);
}

void UpdateClanServerPlayerListTo(TListenerContext& ctx, uint32_t playerId) {
  const TClientRec* viewer = ctx.Clients().GetClientByID(playerId);
  if (!viewer) return;
  std::vector<const TClientRec*> unseen;
  for (const auto& other : ctx.Clients().Items()) {
    if (other.get() == viewer || ctx.Channels().SameChannelTree(other->ChannelId, viewer->ChannelId)) continue;
    unseen.push_back(other.get());
  }
  SendPlayerEntries(ctx, *viewer, qv::CMD_sc_NotifyPlayersInSwitchedChannel, unseen);
}

void UpdatePublicServerPlayerListTo(TListenerContext& ctx, uint32_t playerId) {
  const TClientRec* viewer = ctx.Clients().GetClientByID(playerId);
  if (!viewer) return;
  for (const auto& other : ctx.Clients().Items()) {
    if (other.get() == viewer || ctx.Channels().SameChannelTree(other->ChannelId, viewer->ChannelId)) continue;
    ctx.SendPacket(NewLeftScopePacket(*viewer, other->PlayerId, lrLeftView, "", 0));
  }
}

// ---------------------------------------------------------------------------
// Channels

void NotifyChannelText(TListenerContext& listener, uint16_t commandType, const TChannelRec& channel,
                       uint32_t originator, const std::string& text) {
  SendToAll(listener, commandType, [&](TPacket& p) {
    p.SetPosition(ChannelTextChangedLayout::ChannelId);
    p.WriteI32(channel.Id);
    p.WriteU32(originator);
    p.WriteCString(text);
  });
}

void NotifyChannelValue(TListenerContext& listener, uint16_t commandType, const TChannelRec& channel, uint16_t value,
                        uint32_t originator) {
  SendToAll(listener, commandType, [&](TPacket& p) {
    p.SetSize(ChannelValueChangedLayout::Size);
    p.SetU32(ChannelValueChangedLayout::ChannelId, static_cast<uint32_t>(channel.Id));
    p.SetU16(ChannelValueChangedLayout::Value, value);
    p.SetU32(ChannelValueChangedLayout::Originator, originator);
  });
}

void NotifyChannelCreated(TListenerContext& ctx, int32_t channelId, uint32_t originator) {
  const TChannelRec* channel = ctx.Channels().GetChannelById(channelId);
  if (!channel) return;
  // Never the password.
  SendToAll(ctx, CMD_sc_NotifyChannelCreated, [&](TPacket& p) {
    p.SetPosition(ChannelCreatedLayout::Originator);
    p.WriteU32(originator);
    p.WriteI32(channel->Id);
    p.WriteU16(channel->Flags);
    p.WriteU16(channel->Codec);
    p.WriteI32(channel->ParentId);
    p.WriteU16(channel->Order);
    p.WriteU16(channel->MaxUsers);
    p.WriteCString(channel->Name);
    p.WriteCString(channel->Topic);
    p.WriteCString(channel->Description);
  });
}

void NotifyChannelPropertiesChanged(TListenerContext& ctx, int32_t channelId, uint32_t originator) {
  TChannelRec* channel = ctx.Channels().GetChannelById(channelId);
  if (!channel) return;
  SendToAll(ctx, CMD_sc_NotifyChannelPropertiesChanged, [&](TPacket& p) {
    p.SetSize(PropertiesChangedLayout::Size);
    p.SetU32(PropertiesChangedLayout::ChannelId, static_cast<uint32_t>(channel->Id));
    p.SetU16(PropertiesChangedLayout::Flags, channel->Flags);
    p.SetU16(PropertiesChangedLayout::Codec, channel->Codec);
    p.SetU32(PropertiesChangedLayout::Originator, originator);
  });
  if (!(channel->Flags & cfModerated)) EndModeration(ctx, *channel);
}

void NotifyChannelMaxUsersChanged(TListenerContext& ctx, int32_t channelId, uint32_t originator) {
  const TChannelRec* channel = ctx.Channels().GetChannelById(channelId);
  if (!channel) return;
  NotifyChannelValue(ctx, CMD_sc_NotifyChannelMaxUsersChanged, *channel, channel->MaxUsers, originator);
}

void NotifyChannelDestroyed(TListenerContext& ctx, int32_t channelId, uint32_t originator) {
  if (channelId < 0) return;
  for (const auto& recipient : ctx.Clients().Items()) {
    auto packet = NewCommandPacket(qv::CMD_sc_NotifyChannelDestroyed, recipient->ConnectionId, recipient->PlayerId);
    packet->SetSize(ChannelDestroyedLayout::Size);
    // The wire field is 16 bits wide.
    packet->SetU16(ChannelDestroyedLayout::ChannelId, static_cast<uint16_t>(channelId));
    packet->SetU32(ChannelDestroyedLayout::Originator, originator);
    ctx.SendPacket(std::move(packet));
  }
}

}  // namespace qv::voice
