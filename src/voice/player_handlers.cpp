// Player commands: kicks, channel switches and moves, flags, privileges,
// registration, mutes and upload bandwidth.
//
// Every handler reads and checks the whole request before it changes
// anything, so a short or malformed command is logged and leaves no trace.
#include <utility>

#include "base/date_time.h"
#include "base/text_utils.h"
#include "protocol/command_types.h"
#include "voice/channel_handlers.h"
#include "voice/permission_checks.h"
#include "voice/player_handlers.h"
#include "protocol/protocol_errors.h"
#include "voice/view_notifications.h"
#include "voice/wire_layouts.h"

namespace qv::voice {

namespace {

// Privilege actions: the client's grant and revoke, and the server's own.
constexpr uint8_t kActionGrant = 0;
constexpr uint8_t kActionGrantedByServer = 1;
constexpr uint8_t kActionRevoke = 2;
constexpr uint8_t kActionRevokedByServer = 3;

// Wire indexes of the privileges.
constexpr uint8_t kIndexCA = 0, kIndexOP = 1, kIndexV = 2, kIndexAutoOP = 3, kIndexAutoV = 4;
constexpr uint8_t kIndexSA = 0, kIndexAllowRegistration = 1, kIndexRegistered = 2, kIndexSuperAdmin = 3,
                  kIndexCB = 4;
constexpr uint8_t kLastPrivilegeIndex = 4;

struct TChannelPrivilegeRights {
  TUserPermissions Grant, Revoke;
};
constexpr TChannelPrivilegeRights kChannelPrivilegeRights[] = {
    {upPrivilegeGrantCA, upPrivilegeRevokeCA},         {upPrivilegeGrantOp, upPrivilegeRevokeOp},
    {upPrivilegeGrantV, upPrivilegeRevokeV},           {upPrivilegeGrantAutoOp, upPrivilegeRevokeAutoOp},
    {upPrivilegeGrantAutoV, upPrivilegeRevokeAutoV},
};

uint16_t Bit(uint8_t index) { return static_cast<uint16_t>(1u << index); }

int32_t ChangeChannelPrivilegeBy(TListenerContext& ctx, const TClientRec* player, uint32_t targetId, uint8_t action,
                                 uint8_t index);

std::string ReadTextAt(TPacket& p, size_t offset) {
  p.SetPosition(offset);
  return p.ReadText(kShortTextField);
}

bool HoldsModeration(const TClientRec& player) {
  return (player.PlayerPrivileges & spSA) || (player.ChannelPrivileges & (cpCA | cpOP | cpV));
}

// The password a join into the channel is tested against: a sub-channel is
// guarded by its parent's.
const TText29* JoinPassword(const TChannels& channels, const TChannelRec& channel) {
  const TChannelRec* guard = channel.IsSubChannel() ? channels.GetChannelById(channel.ParentId) : &channel;
  return guard ? &guard->Password : nullptr;
}

// A commander keeps his status only between related channels.
bool ChannelsRelated(const TChannelRec& from, const TChannelRec& to) {
  return from.ParentId == to.Id || from.ParentId == to.ParentId || from.Id == to.ParentId;
}

TPacketPtr NewMovedPacket(const TClientRec& to, const TClientRec& moved, int32_t oldChannelId, uint32_t originator) {
  TPacketPtr p = NewCommandPacket(CMD_sc_NotifyPlayerMovedToChannel, to.ConnectionId, to.PlayerId);
  p->SetSize(MovedToChannelLayout::Size);
  p->SetU32(MovedToChannelLayout::PlayerId, moved.PlayerId);
  p->SetU32(MovedToChannelLayout::OldChannel, static_cast<uint32_t>(oldChannelId));
  p->SetU32(MovedToChannelLayout::NewChannel, static_cast<uint32_t>(moved.ChannelId));
  p->SetU32(MovedToChannelLayout::Originator, originator);
  p->SetU16(MovedToChannelLayout::Privileges, moved.ChannelPrivileges);
  return p;
}

TPacketPtr NewKickedFromChannelPacket(const TClientRec& to, const TClientRec& kicked, int32_t oldChannelId,
                                      int32_t newChannelId, std::string_view reason) {
  TPacketPtr p = NewCommandPacket(CMD_sc_NotifyPlayerKickedFromChannel, to.ConnectionId, to.PlayerId);
  p->SetSize(KickedFromChannelLayout::Size);
  p->SetU32(KickedFromChannelLayout::PlayerId, kicked.PlayerId);
  p->SetU32(KickedFromChannelLayout::OldChannel, static_cast<uint32_t>(oldChannelId));
  p->SetU32(KickedFromChannelLayout::NewChannel, static_cast<uint32_t>(newChannelId));
  p->SetU16(KickedFromChannelLayout::Privileges, kicked.ChannelPrivileges);
  p->SetPosition(KickedFromChannelLayout::Reason);
  p->WriteText(reason, kShortTextField);
  return p;
}

// What kicking someone from a channel takes from him, by the kicker's
// privileges in that channel.
uint16_t PrivilegesTakenByKick(const TClientRec& requester, uint16_t requesterInChannel) {
  if ((requester.PlayerPrivileges & spSA) || (requesterInChannel & cpCA)) {
    return cpCA | cpOP | cpV | cpAutoOP | cpAutoV;
  }
  if (requesterInChannel & cpOP) return cpOP | cpV | cpAutoOP | cpAutoV;
  if (requesterInChannel & cpV) return cpV | cpAutoV;
  return 0;
}

// ---------------------------------------------------------------------------
// Shared steps

// A player other handlers may act on: logged in and not on his way out.
TClientRec* ConnectedPlayer(const TClients& clients, uint32_t playerId) {
  TClientRec* player = clients.GetClientByID(playerId);
  return player && player->LoginComplete && !player->Removing ? player : nullptr;
}

// The steps after a player changed channel: his flags, the member lists, and
// the removal of the old channel tree when it is left empty.
void FinishChannelChange(TListenerContext& l, TClientRec& player, TChannelRec* oldChannel, TChannelRec& newChannel) {
  NotifyPlayerFlagsChanged(l, player);
  l.Channels().ClientLeftChannel(oldChannel, &player);
  l.Channels().ClientJoinedChannel(&newChannel, &player);
  if (oldChannel) {
    const int32_t top = l.Channels().GetTopChannelId(oldChannel->Id);
    if (top >= 0) ClearChannelUp(l, top);
  }
}

// CMD_sc_NotifyPlayerMovedToChannel and, on a public server, the change of
// view that comes with a move into another channel tree.
void NotifyPlayerMovedToChannel(TListenerContext& l, TClientRec& moved, int32_t oldChannelId, uint32_t originator) {
  const bool viewChanges =
      !l.Server().IsClanServer() && !l.Channels().SameChannelTree(oldChannelId, moved.ChannelId);
  // The old tree loses sight of him first.
  for (const auto& recipient : l.Clients().Items()) {
    if (!viewChanges || recipient.get() == &moved) continue;
    if (!l.Channels().SameChannelTree(recipient->ChannelId, oldChannelId)) continue;
    l.SendPacket(NewLeftScopePacket(*recipient, moved.PlayerId, lrLeftView, "", 0));
  }
  for (const auto& recipient : l.Clients().Items()) {
    if (recipient.get() == &moved || CheckClientInView(l, &moved, recipient.get())) {
      l.SendPacket(NewMovedPacket(*recipient, moved, oldChannelId, originator));
    }
  }
  if (!viewChanges) return;
  NotifyPlayerEnteredScope(l, moved.PlayerId);
  NotifyPlayersInSwitchedChannel(l, moved.PlayerId);
}

}  // namespace

// ---------------------------------------------------------------------------
// Channel switch, kicks and moves

int32_t CMD_cs_PlayerChannelSwitch(TListenerContext& ctx, TClientRec* player, TPacket& p) {
  const auto channelId = static_cast<int32_t>(p.GetU32(ChannelSwitchLayout::ChannelId));
  const std::string password = ReadTextAt(p, ChannelSwitchLayout::Password);

  if (!(player->PlayerPrivileges & spSA) && (player->PlayerPrivileges & spCB)) {
    return peInsufficientPermission;
  }
  TChannelRec* channel = ctx.Channels().GetChannelById(channelId);
  if (!channel) return peChannelIdNotFound;
  const bool mayJoinWithoutPassword = HasPermission(ctx, player, upChannelJoinChannelWithoutPassword);
  if (!channel->Password.empty() && password.empty() && !mayJoinWithoutPassword) {
    return peInsufficientPermission;
  }
  const bool open = (channel->Flags & cfDefault) || !channel->IsRegistered();
  if (!open && !HasPermission(ctx, player, upChannelJoinRegisterred)) return peInsufficientPermission;

  int32_t join = CheckChannelJoin(ctx, channelId, password);
  if (join == peChannelPasswordProtected && mayJoinWithoutPassword) {
    // The right spares the password, never the room.
    join = channel->Members.size() < channel->MaxUsers ? 0 : peChannelFull;
  }
  if (join == 1) {
    TPacketPtr reply = NewErrorPacket(static_cast<int16_t>(peWrongChannelPassword), player->ConnectionId,
                                      player->PlayerId, p.CommandType(), p.Sequence());
    reply->SetSize(WrongPasswordLayout::Size);
    reply->SetU32(WrongPasswordLayout::ChannelId, static_cast<uint32_t>(channelId));
    ctx.SendPacket(std::move(reply));
    return 0;
  }
  if (join != 0) return join;

  const int32_t oldChannelId = player->ChannelId;
  TChannelRec* oldChannel = ctx.Channels().GetChannelById(oldChannelId);
  const bool wasCommander = (player->PlayerFlags & pfChannelCommander) != 0;
  player->ChannelId = channelId;
  player->PlayerFlags &= static_cast<uint16_t>(~(pfRequestVoice | pfChannelCommander));
  if (oldChannel && wasCommander && ChannelsRelated(*oldChannel, *channel)) {
    player->PlayerFlags |= pfChannelCommander;
  }
  SetPlayerChannelFlagsAndPrivileges(ctx, channel, player);
  NotifyPlayerSwitchedChannel(ctx, player->PlayerId, oldChannelId, channelId);
  FinishChannelChange(ctx, *player, oldChannel, *channel);
  return 0;
}

int32_t CMD_cs_PlayerKick(TListenerContext& ctx, TClientRec* player, TPacket& p) {
  const uint32_t targetId = p.GetU32(TargetTextLayout::PlayerId);
  const std::string reason = ReadTextAt(p, TargetTextLayout::Text);

  TClientRec* target = ConnectedPlayer(ctx.Clients(), targetId);
  if (!target) return pePlayerIdNotFound;
  if (!HasPermission(ctx, player, upKickPlayerFromServer)) return peInsufficientPermission;
  if ((target->PlayerPrivileges & spSA) && !(player->PlayerPrivileges & spSA)) {
    return peInsufficientPermission;
  }
  KickPlayerFromServer(ctx, *target, reason, player->PlayerId);
  return 0;
}

int32_t CMD_cs_PlayerKickFromChannel(TListenerContext& ctx, TClientRec* player, TPacket& p) {
  const uint32_t targetId = p.GetU32(TargetTextLayout::PlayerId);
  const std::string reason = ReadTextAt(p, TargetTextLayout::Text);

  TClientRec* target = ConnectedPlayer(ctx.Clients(), targetId);
  if (!target) return pePlayerIdNotFound;
  TChannelRec* channel = ctx.Channels().GetChannelById(target->ChannelId);
  if (!channel) return peChannelIdNotFound;
  if (!CheckClientChannelPermission(ctx, channel, player, upKickPlayerFromChannel)) {
    return peInsufficientPermission;
  }
  if ((target->PlayerPrivileges & spSA) && !(player->PlayerPrivileges & spSA)) {
    return peInsufficientPermission;
  }
  const uint16_t taken = PrivilegesTakenByKick(*player, ctx.Channels().GetChannelAttribs(channel, player));
  return KickPlayerToDefaultChannel(ctx, *target, taken, reason);
}

int32_t KickPlayerToDefaultChannel(TListenerContext& ctx, TClientRec& kicked, uint16_t taken, std::string_view reason) {
  TChannelRec* channel = ctx.Channels().GetChannelById(kicked.ChannelId);
  if (!channel) return peChannelIdNotFound;
  // Without a default channel there is nowhere to send him.
  TChannelRec* lobby = ctx.Channels().GetDefaultChannelAsPointer();
  if (!lobby) return peChannelIdNotFound;
  TClientRec* target = &kicked;
  target->ChannelPrivileges &= static_cast<uint16_t>(~taken);
  ctx.Channels().SetChannelAttribs(channel, target);

  const int32_t oldChannelId = channel->Id;
  const bool viewChanges = !ctx.Server().IsClanServer() && !ctx.Channels().SameChannelTree(oldChannelId, lobby->Id);
  SetPlayerChannelFlagsAndPrivileges(ctx, lobby, target);
  for (const auto& recipient : ctx.Clients().Items()) {
    if (!CheckClientInView(ctx, target, recipient.get())) continue;
    ctx.SendPacket(NewKickedFromChannelPacket(*recipient, *target, oldChannelId, lobby->Id, reason));
  }
  target->ChannelId = lobby->Id;
  // Players of the default channel's tree see him only from now on.
  if (viewChanges) {
    NotifyPlayerEnteredScope(ctx, target->PlayerId);
    NotifyPlayersInSwitchedChannel(ctx, target->PlayerId);
  }
  FinishChannelChange(ctx, *target, channel, *lobby);
  return 0;
}

int32_t CMD_cs_PlayerMovePlayer(TListenerContext& ctx, TClientRec* player, TPacket& p) {
  const uint32_t targetId = p.GetU32(MoveLayout::PlayerId);
  const auto channelId = static_cast<int32_t>(p.GetU32(MoveLayout::ChannelId));

  if (!HasPermission(ctx, player, upAdminMovePlayer)) return peInsufficientPermission;
  TChannelRec* channel = ctx.Channels().GetChannelById(channelId);
  if (!channel) return peChannelIdNotFound;
  const TText29* password = JoinPassword(ctx.Channels(), *channel);
  if (password && !password->empty() && !HasPermission(ctx, player, upChannelJoinChannelWithoutPassword)) {
    return peInsufficientPermission;
  }
  TClientRec* target = ConnectedPlayer(ctx.Clients(), targetId);
  if (!target) return pePlayerIdNotFound;
  if (target->ChannelId == channelId) return peAlreadyChannelMember;
  if (target == player && !(player->PlayerPrivileges & spSA) && (player->PlayerPrivileges & spCB)) {
    return peInsufficientPermission;
  }

  const int32_t oldChannelId = target->ChannelId;
  TChannelRec* oldChannel = ctx.Channels().GetChannelById(oldChannelId);
  SetPlayerChannelFlagsAndPrivileges(ctx, channel, target);
  target->ChannelId = channelId;
  NotifyPlayerMovedToChannel(ctx, *target, oldChannelId, player->PlayerId);
  FinishChannelChange(ctx, *target, oldChannel, *channel);
  return 0;
}

// ---------------------------------------------------------------------------
// Mutes, flags, voice requests, bandwidth

int32_t CMD_cs_PlayerMutePlayer(TListenerContext& ctx, TClientRec* player, TPacket& p) {
  const uint32_t targetId = p.GetU32(MuteLayout::PlayerId);
  const bool mute = p.GetU8(MuteLayout::Mute) != 0;
  const bool result = mute ? AddToPlayerMuteList(player, targetId) : RemoveFromPlayerMuteList(player, targetId);
  TPacketPtr reply = NewCommandPacket(CMD_sc_PlayerMutePlayerReply, player->ConnectionId, player->PlayerId);
  reply->SetSize(MuteReplyLayout::Size);
  reply->SetU32(MuteReplyLayout::PlayerId, targetId);
  reply->SetU8(MuteReplyLayout::Result, result ? 1 : 0);
  ctx.SendPacket(std::move(reply));
  return 0;
}

int32_t CMD_cs_PlayerFlagsChanged(TListenerContext& ctx, TClientRec* player, TPacket& p) {
  const uint16_t flags = p.GetU16(FlagsLayout::Flags);
  if ((flags & pfChannelCommander) && !HasPermission(ctx, player, upAllowChannelCommanderStatus)) {
    return peInsufficientPermission;
  }
  player->PlayerFlags = flags;
  NotifyPlayerFlagsChanged(ctx, *player);
  return 0;
}

int32_t CMD_cs_PlayerRequestVoice(TListenerContext& ctx, TClientRec* player, TPacket& p) {
  const std::string message = ReadTextAt(p, RequestVoiceLayout::Message);
  const TChannelRec* channel = ctx.Channels().GetChannelById(player->ChannelId);
  if (channel && !(channel->Flags & cfModerated)) return peNotInModeratedChannel;
  if (HoldsModeration(*player) || (player->PlayerFlags & pfRequestVoice)) return peAlreadyHasPrivilege;
  player->PlayerFlags |= pfRequestVoice;
  for (const auto& recipient : ctx.Clients().Items()) {
    if (!CheckClientInView(ctx, player, recipient.get())) continue;
    TPacketPtr n =
        NewCommandPacket(CMD_sc_NotifyPlayerRequestedVoice, recipient->ConnectionId, recipient->PlayerId);
    n->SetSize(RequestedVoiceLayout::Size);
    n->SetU32(RequestedVoiceLayout::PlayerId, player->PlayerId);
    n->SetPosition(RequestedVoiceLayout::Message);
    n->WriteText(message, kShortTextField);
    ctx.SendPacket(std::move(n));
  }
  return 0;
}

int32_t CMD_cs_PlayerSetUploadBandwidth(TListenerContext& ctx, TClientRec* player, TPacket& p) {
  const auto bandwidth = static_cast<int32_t>(p.GetU32(BandwidthLayout::Bandwidth));
  // The buffer ignores a negative limit; the record keeps what is in force.
  if (bandwidth < 0) return 0;
  player->UploadBandwidth = bandwidth;
  ctx.Buffer().SetBandwidthLimit(player->PlayerId, bandwidth);
  return 0;
}

// ---------------------------------------------------------------------------
// Privileges

namespace {

// A moderation privilege makes a pending voice request moot.
void ClearSettledVoiceRequest(TListenerContext& l, TClientRec& target) {
  if (!HoldsModeration(target) || !(target.PlayerFlags & pfRequestVoice)) return;
  target.PlayerFlags &= static_cast<uint16_t>(~pfRequestVoice);
  NotifyPlayerFlagsChanged(l, target);
}

uint16_t ApplyAction(uint16_t bits, uint8_t action, uint16_t bit) {
  if (action == kActionGrant) return bits | bit;
  if (action == kActionRevoke) return static_cast<uint16_t>(bits & ~bit);
  return bits;
}

}  // namespace

int32_t CMD_cs_PlayerChangeChannelPrivilege(TListenerContext& ctx, TClientRec* player, TPacket& p) {
  const uint32_t targetId = p.GetU32(PrivilegeRequestLayout::PlayerId);
  const uint8_t action = p.GetU8(PrivilegeRequestLayout::Action);
  const uint8_t index = p.GetU8(PrivilegeRequestLayout::Privilege);
  return ChangeChannelPrivilegeBy(ctx, player, targetId, action, index);
}

int32_t ChangeChannelPrivilege(TListenerContext& ctx, const TClientRec* requester, uint32_t targetId, bool grant,
                               uint8_t index) {
  return ChangeChannelPrivilegeBy(ctx, requester, targetId, grant ? kActionGrant : kActionRevoke, index);
}

namespace {

// The action as the client sends it (grant, revoke, or another value that
// changes nothing but is announced); no requester: every right.
int32_t ChangeChannelPrivilegeBy(TListenerContext& ctx, const TClientRec* player, uint32_t targetId, uint8_t action,
                                 uint8_t index) {
  const bool grant = action == kActionGrant;
  TClientRec* target = ConnectedPlayer(ctx.Clients(), targetId);
  if (!target) return pePlayerIdNotFound;
  TChannelRec* channel = ctx.Channels().GetChannelById(target->ChannelId);
  if (!channel) return peChannelIdNotFound;
  // No right names a privilege beyond auto-voice.
  if (index > kLastPrivilegeIndex) return peInsufficientPermission;
  if (index != kIndexCA && !(channel->Flags & cfModerated)) return peNotInModeratedChannel;
  const TChannelPrivilegeRights& rights = kChannelPrivilegeRights[index];
  if (player && !CheckClientChannelPermission(ctx, channel, player, grant ? rights.Grant : rights.Revoke)) {
    return peInsufficientPermission;
  }
  if (action == kActionGrant) {
    const uint16_t held = target->ChannelPrivileges;
    if (index == kIndexCA && (held & cpCA)) return peAlreadyChannelAdmin;
    if (index == kIndexOP && (held & cpOP)) return peAlreadyChannelOperator;
    if (index == kIndexV && (held & cpV)) return peAlreadyChannelVoice;
  }

  target->ChannelPrivileges = ApplyAction(target->ChannelPrivileges, action, Bit(index));
  NotifyPlayerChannelPrivilegeChanged(ctx, target->PlayerId, player ? player->PlayerId : 0, action, index);
  if (action == kActionGrant && index == kIndexAutoOP) {
    target->ChannelPrivileges |= cpOP;
    NotifyPlayerChannelPrivilegeChanged(ctx, target->PlayerId, 0, kActionGrantedByServer, kIndexOP);
  } else if (action == kActionGrant && index == kIndexAutoV) {
    target->ChannelPrivileges |= cpV;
    NotifyPlayerChannelPrivilegeChanged(ctx, target->PlayerId, 0, kActionGrantedByServer, kIndexV);
  }
  ClearSettledVoiceRequest(ctx, *target);
  ctx.Channels().SetChannelAttribs(channel, target);
  return 0;
}

}  // namespace

namespace {

// Whether the requester may make this change of a server-wide privilege.
// Registration is granted only by registering, superadmin never through the
// voice protocol, and the channel binding only by a server admin.
bool MayChangePrivilege(const TListenerContext& l, const TClientRec& requester, uint8_t action, uint8_t index) {
  const bool grant = action == kActionGrant;
  switch (index) {
    case kIndexSA: return HasPermission(l, &requester, grant ? upPrivilegeGrantSA : upPrivilegeRevokeSA);
    case kIndexAllowRegistration:
      return HasPermission(l, &requester,
                           grant ? upPrivilegeGrantAllowRegistration : upPrivilegeRevokeAllowRegistration);
    case kIndexRegistered: return !grant && HasPermission(l, &requester, upPrivilegePlayerDelete);
    case kIndexCB:
      return (requester.PlayerPrivileges & spSA) != 0;
    case kIndexSuperAdmin:
    default:
      return false;
  }
}

}  // namespace

int32_t CMD_cs_PlayerChangePrivilege(TListenerContext& ctx, TClientRec* player, TPacket& p) {
  const uint32_t targetId = p.GetU32(PrivilegeRequestLayout::PlayerId);
  const uint8_t action = p.GetU8(PrivilegeRequestLayout::Action);
  const uint8_t index = p.GetU8(PrivilegeRequestLayout::Privilege);

  TClientRec* target = ConnectedPlayer(ctx.Clients(), targetId);
  if (!target) return pePlayerIdNotFound;
  if (!MayChangePrivilege(ctx, *player, action, index)) return peInsufficientPermission;

  const bool wasRegistered = target->IsRegistered();
  target->PlayerPrivileges = ApplyAction(target->PlayerPrivileges, action, Bit(index));
  TChannelRec* channel = ctx.Channels().GetChannelById(target->ChannelId);
  if (index == kIndexRegistered && action == kActionRevoke) {
    if (wasRegistered) ctx.Clients().DBDeleteUser(*target);
    for (auto [bit, wireIndex] : {std::pair<uint16_t, uint8_t>{cpAutoOP, kIndexAutoOP}, {cpAutoV, kIndexAutoV}}) {
      if (!(target->ChannelPrivileges & bit)) continue;
      target->ChannelPrivileges &= static_cast<uint16_t>(~bit);
      NotifyPlayerChannelPrivilegeChanged(ctx, target->PlayerId, 0, kActionRevokedByServer, wireIndex);
    }
    // Recorded, so that the next visit to the channel does not bring them back.
    ctx.Channels().SetChannelAttribs(channel, target);
  } else {
    ctx.Clients().DBSaveUser(*target);
    ctx.Channels().SetChannelAttribs(channel, target);
  }
  ClearSettledVoiceRequest(ctx, *target);
  NotifyPlayerPrivilegesChanged(ctx, target->PlayerId, player->PlayerId, action, index);
  return 0;
}

// ---------------------------------------------------------------------------
// Registration

namespace {

struct TRegistration {
  std::string LoginName;
  std::string Password;
  bool ServerAdmin = false;
};

TRegistration ReadRegistration(TPacket& p, bool withAdminByte) {
  TRegistration r;
  r.LoginName = ReadTextAt(p, RegisterLayout::LoginName);
  r.Password = ReadTextAt(p, RegisterLayout::Password);
  if (withAdminByte) r.ServerAdmin = p.GetU8(RegisterLayout::ServerAdmin) != 0;
  return r;
}

}  // namespace

int32_t CMD_cs_PlayerRegister(TListenerContext& ctx, TClientRec* player, TPacket& p) {
  const TRegistration r = ReadRegistration(p, false);

  if (player->IsRegistered()) return peAlreadyRegistered;
  if (!HasPermission(ctx, player, upPrivilegeRegisterSelfByDefault) &&
      !(player->PlayerPrivileges & spAllowRegistration)) {
    return peRegistrationNotAllowed;
  }
  // A blank name could never be used to log in.
  if (Trim(r.LoginName).empty()) return peBadArgument;
  // The record takes the name only once the account exists: a player
  // holding a login name counts as logged in with it.
  TClientRec account(*player);
  account.LoginName = r.LoginName;
  account.LoginPassword = r.Password;
  const int result = ctx.Clients().DBAddUser(account);
  if (result < 0) return result;

  player->LoginName = account.LoginName;
  player->LoginPassword = account.LoginPassword;
  player->StorageClientId = account.StorageClientId;
  player->Created = Now();
  player->PlayerPrivileges =
      static_cast<uint16_t>((player->PlayerPrivileges | spRegistered) & ~spAllowRegistration);
  ctx.Channels().UpdatePlayerChannelAttribs(player);
  NotifyPlayerPrivilegesChanged(ctx, player->PlayerId, 0, kActionGrantedByServer, kIndexRegistered);
  return 0;
}

int32_t CMD_cs_PlayerAdminRegister(TListenerContext& ctx, TClientRec* player, TPacket& p) {
  const TRegistration r = ReadRegistration(p, true);

  if (!HasPermission(ctx, player, upPrivilegeAdminPlayerRegister)) return peInsufficientPermission;
  if (Trim(r.LoginName).empty()) return peBadArgument;
  std::unique_ptr<TClientRec> account = NewClient();
  account->LoginName = r.LoginName;
  account->LoginPassword = r.Password;
  account->PlayerPrivileges = r.ServerAdmin ? spSA : 0;
  const int result = ctx.Clients().DBAddUser(*account);
  if (result < 0) return result;
  ctx.SendPacket(NewCommandPacket(CMD_sc_PlayerAdminRegisteredOK, player->ConnectionId, player->PlayerId));
  return 0;
}

// ---------------------------------------------------------------------------
// Shared with the external commands

void MovePlayerToChannel(TListenerContext& ctx, TClientRec& player, TChannelRec& channel, uint32_t originator) {
  const int32_t oldChannelId = player.ChannelId;
  TChannelRec* oldChannel = ctx.Channels().GetChannelById(oldChannelId);
  SetPlayerChannelFlagsAndPrivileges(ctx, &channel, &player);
  player.ChannelId = channel.Id;
  NotifyPlayerMovedToChannel(ctx, player, oldChannelId, originator);
  FinishChannelChange(ctx, player, oldChannel, channel);
}

void SettleVoiceRequest(TListenerContext& ctx, TClientRec& player) { ClearSettledVoiceRequest(ctx, player); }

void KickPlayerFromServer(TListenerContext& ctx, TClientRec& target, std::string_view reason, uint32_t originator) {
  ctx.Channels().ClientLeftChannel(ctx.Channels().GetChannelById(target.ChannelId), &target);
  // His own copy ends his connection; the disconnect that follows removes him.
  NotifyPlayerLeftScope(ctx, target.PlayerId, lrKicked, reason, originator);
}

}  // namespace qv::voice
