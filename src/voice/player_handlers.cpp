// Player commands: kicks, channel switches and moves, flags, privileges,
// registration, mutes and upload bandwidth.
//
// Every handler reads and checks the whole request before it changes
// anything, so a short or malformed command is logged and leaves no trace.
#include <utility>

#include "base/date_time.h"
#include "base/text_utils.h"
#include "protocol/command_types.h"
#include "voice/server_lang.h"
#include "voice/udp_listener.h"

namespace qv {

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
void FinishChannelChange(TQVUDPListener& l, TClientRec& player, TChannelRec* oldChannel, TChannelRec& newChannel) {
  NotifyPlayerFlagsChanged(l, player);
  l.Channels().ClientLeftChannel(oldChannel, &player);
  l.Channels().ClientJoinedChannel(&newChannel, &player);
  if (oldChannel) {
    const int32_t top = l.Channels().GetTopChannelId(oldChannel->Id);
    if (top >= 0) l.ClearChannelUp(top);
  }
}

// CMD_sc_NotifyPlayerMovedToChannel and, on a public server, the change of
// view that comes with a move into another channel tree.
void NotifyPlayerMovedToChannel(TQVUDPListener& l, TClientRec& moved, int32_t oldChannelId, uint32_t originator) {
  const bool viewChanges =
      !l.Server().IsClanServer() && !l.Channels().SameChannelTree(oldChannelId, moved.ChannelId);
  // The old tree loses sight of him first.
  for (const auto& recipient : l.Clients().Items()) {
    if (!viewChanges || recipient.get() == &moved) continue;
    if (!l.Channels().SameChannelTree(recipient->ChannelId, oldChannelId)) continue;
    l.SendPacket(NewLeftScopePacket(*recipient, moved.PlayerId, lrLeftView, "", 0));
  }
  for (const auto& recipient : l.Clients().Items()) {
    if (recipient.get() == &moved || l.CheckClientInView(&moved, recipient.get())) {
      l.SendPacket(NewMovedPacket(*recipient, moved, oldChannelId, originator));
    }
  }
  if (!viewChanges) return;
  l.NotifyPlayerEnteredScope(moved.PlayerId);
  l.NotifyPlayersInSwitchedChannel(moved.PlayerId);
}

}  // namespace

// ---------------------------------------------------------------------------
// Channel switch, kicks and moves

int32_t TQVUDPListener::CMD_cs_PlayerChannelSwitch(TClientRec* player, TPacket& p) {
  const auto channelId = static_cast<int32_t>(p.GetU32(ChannelSwitchLayout::ChannelId));
  const std::string password = ReadTextAt(p, ChannelSwitchLayout::Password);

  if (!(player->PlayerPrivileges & spSA) && (player->PlayerPrivileges & spCB)) {
    return peInsufficientPermission;
  }
  TChannelRec* channel = Channels().GetChannelById(channelId);
  if (!channel) return peChannelIdNotFound;
  const bool mayJoinWithoutPassword = HasPermission(player, upChannelJoinChannelWithoutPassword);
  if (!channel->Password.empty() && password.empty() && !mayJoinWithoutPassword) {
    return peInsufficientPermission;
  }
  const bool open = (channel->Flags & cfDefault) || !channel->IsRegistered();
  if (!open && !HasPermission(player, upChannelJoinRegisterred)) return peInsufficientPermission;

  int32_t join = CheckChannelJoin(channelId, password);
  if (join == peChannelPasswordProtected && mayJoinWithoutPassword) {
    // The right spares the password, never the room.
    join = channel->Members.size() < channel->MaxUsers ? 0 : peChannelFull;
  }
  if (join == 1) {
    TPacketPtr reply = NewErrorPacket(static_cast<int16_t>(peWrongChannelPassword), player->ConnectionId,
                                      player->PlayerId, p.CommandType(), p.Sequence());
    reply->SetSize(WrongPasswordLayout::Size);
    reply->SetU32(WrongPasswordLayout::ChannelId, static_cast<uint32_t>(channelId));
    SendPacket(std::move(reply));
    return 0;
  }
  if (join != 0) return join;

  const int32_t oldChannelId = player->ChannelId;
  TChannelRec* oldChannel = Channels().GetChannelById(oldChannelId);
  const bool wasCommander = (player->PlayerFlags & pfChannelCommander) != 0;
  player->ChannelId = channelId;
  player->PlayerFlags &= static_cast<uint16_t>(~(pfRequestVoice | pfChannelCommander));
  if (oldChannel && wasCommander && ChannelsRelated(*oldChannel, *channel)) {
    player->PlayerFlags |= pfChannelCommander;
  }
  SetPlayerChannelFlagsAndPrivileges(channel, player);
  NotifyPlayerSwitchedChannel(player->PlayerId, oldChannelId, channelId);
  FinishChannelChange(*this, *player, oldChannel, *channel);
  return 0;
}

int32_t TQVUDPListener::CMD_cs_PlayerKick(TClientRec* player, TPacket& p) {
  const uint32_t targetId = p.GetU32(TargetTextLayout::PlayerId);
  const std::string reason = ReadTextAt(p, TargetTextLayout::Text);

  TClientRec* target = ConnectedPlayer(Clients(), targetId);
  if (!target) return pePlayerIdNotFound;
  if (!HasPermission(player, upKickPlayerFromServer)) return peInsufficientPermission;
  if ((target->PlayerPrivileges & spSA) && !(player->PlayerPrivileges & spSA)) {
    return peInsufficientPermission;
  }
  Channels().ClientLeftChannel(Channels().GetChannelById(target->ChannelId), target);
  // His own copy ends his connection; the disconnect that follows removes him.
  NotifyPlayerLeftScope(target->PlayerId, lrKicked, reason, player->PlayerId);
  return 0;
}

int32_t TQVUDPListener::CMD_cs_PlayerKickFromChannel(TClientRec* player, TPacket& p) {
  const uint32_t targetId = p.GetU32(TargetTextLayout::PlayerId);
  const std::string reason = ReadTextAt(p, TargetTextLayout::Text);

  TClientRec* target = ConnectedPlayer(Clients(), targetId);
  if (!target) return pePlayerIdNotFound;
  TChannelRec* channel = Channels().GetChannelById(target->ChannelId);
  if (!channel) return peChannelIdNotFound;
  if (!CheckClientChannelPermission(channel, player, upKickPlayerFromChannel)) {
    return peInsufficientPermission;
  }
  if ((target->PlayerPrivileges & spSA) && !(player->PlayerPrivileges & spSA)) {
    return peInsufficientPermission;
  }
  // Without a default channel there is nowhere to send him.
  TChannelRec* lobby = Channels().GetDefaultChannelAsPointer();
  if (!lobby) return peChannelIdNotFound;

  const uint16_t taken = PrivilegesTakenByKick(*player, Channels().GetChannelAttribs(channel, player));
  target->ChannelPrivileges &= static_cast<uint16_t>(~taken);
  Channels().SetChannelAttribs(channel, target);

  const int32_t oldChannelId = channel->Id;
  const bool viewChanges = !Server().IsClanServer() && !Channels().SameChannelTree(oldChannelId, lobby->Id);
  SetPlayerChannelFlagsAndPrivileges(lobby, target);
  for (const auto& recipient : Clients().Items()) {
    if (!CheckClientInView(target, recipient.get())) continue;
    SendPacket(NewKickedFromChannelPacket(*recipient, *target, oldChannelId, lobby->Id, reason));
  }
  target->ChannelId = lobby->Id;
  // Players of the default channel's tree see him only from now on.
  if (viewChanges) {
    NotifyPlayerEnteredScope(target->PlayerId);
    NotifyPlayersInSwitchedChannel(target->PlayerId);
  }
  FinishChannelChange(*this, *target, channel, *lobby);
  return 0;
}

int32_t TQVUDPListener::CMD_cs_PlayerMovePlayer(TClientRec* player, TPacket& p) {
  const uint32_t targetId = p.GetU32(MoveLayout::PlayerId);
  const auto channelId = static_cast<int32_t>(p.GetU32(MoveLayout::ChannelId));

  if (!HasPermission(player, upAdminMovePlayer)) return peInsufficientPermission;
  TChannelRec* channel = Channels().GetChannelById(channelId);
  if (!channel) return peChannelIdNotFound;
  const TText29* password = JoinPassword(Channels(), *channel);
  if (password && !password->empty() && !HasPermission(player, upChannelJoinChannelWithoutPassword)) {
    return peInsufficientPermission;
  }
  TClientRec* target = ConnectedPlayer(Clients(), targetId);
  if (!target) return pePlayerIdNotFound;
  if (target->ChannelId == channelId) return peAlreadyChannelMember;
  if (target == player && !(player->PlayerPrivileges & spSA) && (player->PlayerPrivileges & spCB)) {
    return peInsufficientPermission;
  }

  const int32_t oldChannelId = target->ChannelId;
  TChannelRec* oldChannel = Channels().GetChannelById(oldChannelId);
  SetPlayerChannelFlagsAndPrivileges(channel, target);
  target->ChannelId = channelId;
  NotifyPlayerMovedToChannel(*this, *target, oldChannelId, player->PlayerId);
  FinishChannelChange(*this, *target, oldChannel, *channel);
  return 0;
}

// ---------------------------------------------------------------------------
// Mutes, flags, voice requests, bandwidth

int32_t TQVUDPListener::CMD_cs_PlayerMutePlayer(TClientRec* player, TPacket& p) {
  const uint32_t targetId = p.GetU32(MuteLayout::PlayerId);
  const bool mute = p.GetU8(MuteLayout::Mute) != 0;
  const bool result = mute ? AddToPlayerMuteList(player, targetId) : RemoveFromPlayerMuteList(player, targetId);
  TPacketPtr reply = NewCommandPacket(CMD_sc_PlayerMutePlayerReply, player->ConnectionId, player->PlayerId);
  reply->SetSize(MuteReplyLayout::Size);
  reply->SetU32(MuteReplyLayout::PlayerId, targetId);
  reply->SetU8(MuteReplyLayout::Result, result ? 1 : 0);
  SendPacket(std::move(reply));
  return 0;
}

int32_t TQVUDPListener::CMD_cs_PlayerFlagsChanged(TClientRec* player, TPacket& p) {
  const uint16_t flags = p.GetU16(FlagsLayout::Flags);
  if ((flags & pfChannelCommander) && !HasPermission(player, upAllowChannelCommanderStatus)) {
    return peInsufficientPermission;
  }
  player->PlayerFlags = flags;
  NotifyPlayerFlagsChanged(*this, *player);
  return 0;
}

int32_t TQVUDPListener::CMD_cs_PlayerRequestVoice(TClientRec* player, TPacket& p) {
  const std::string message = ReadTextAt(p, RequestVoiceLayout::Message);
  const TChannelRec* channel = Channels().GetChannelById(player->ChannelId);
  if (channel && !(channel->Flags & cfModerated)) return peNotInModeratedChannel;
  if (HoldsModeration(*player) || (player->PlayerFlags & pfRequestVoice)) return peAlreadyHasPrivilege;
  player->PlayerFlags |= pfRequestVoice;
  for (const auto& recipient : Clients().Items()) {
    if (!CheckClientInView(player, recipient.get())) continue;
    TPacketPtr n =
        NewCommandPacket(CMD_sc_NotifyPlayerRequestedVoice, recipient->ConnectionId, recipient->PlayerId);
    n->SetSize(RequestedVoiceLayout::Size);
    n->SetU32(RequestedVoiceLayout::PlayerId, player->PlayerId);
    n->SetPosition(RequestedVoiceLayout::Message);
    n->WriteText(message, kShortTextField);
    SendPacket(std::move(n));
  }
  return 0;
}

int32_t TQVUDPListener::CMD_cs_PlayerSetUploadBandwidth(TClientRec* player, TPacket& p) {
  const auto bandwidth = static_cast<int32_t>(p.GetU32(BandwidthLayout::Bandwidth));
  // The buffer ignores a negative limit; the record keeps what is in force.
  if (bandwidth < 0) return 0;
  player->UploadBandwidth = bandwidth;
  Buffer().SetBandwidthLimit(player->PlayerId, bandwidth);
  return 0;
}

// ---------------------------------------------------------------------------
// Privileges

namespace {

// A moderation privilege makes a pending voice request moot.
void ClearSettledVoiceRequest(TQVUDPListener& l, TClientRec& target) {
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

int32_t TQVUDPListener::CMD_cs_PlayerChangeChannelPrivilege(TClientRec* player, TPacket& p) {
  const uint32_t targetId = p.GetU32(PrivilegeRequestLayout::PlayerId);
  const uint8_t action = p.GetU8(PrivilegeRequestLayout::Action);
  const uint8_t index = p.GetU8(PrivilegeRequestLayout::Privilege);

  TClientRec* target = ConnectedPlayer(Clients(), targetId);
  if (!target) return pePlayerIdNotFound;
  TChannelRec* channel = Channels().GetChannelById(target->ChannelId);
  if (!channel) return peChannelIdNotFound;
  // No right names a privilege beyond auto-voice.
  if (index > kLastPrivilegeIndex) return peInsufficientPermission;
  if (index != kIndexCA && !(channel->Flags & cfModerated)) return peNotInModeratedChannel;
  const TChannelPrivilegeRights& rights = kChannelPrivilegeRights[index];
  if (!CheckClientChannelPermission(channel, player, action == kActionGrant ? rights.Grant : rights.Revoke)) {
    return peInsufficientPermission;
  }
  if (action == kActionGrant) {
    const uint16_t held = target->ChannelPrivileges;
    if (index == kIndexCA && (held & cpCA)) return peAlreadyChannelAdmin;
    if (index == kIndexOP && (held & cpOP)) return peAlreadyChannelOperator;
    if (index == kIndexV && (held & cpV)) return peAlreadyChannelVoice;
  }

  target->ChannelPrivileges = ApplyAction(target->ChannelPrivileges, action, Bit(index));
  NotifyPlayerChannelPrivilegeChanged(target->PlayerId, player->PlayerId, action, index);
  if (action == kActionGrant && index == kIndexAutoOP) {
    target->ChannelPrivileges |= cpOP;
    NotifyPlayerChannelPrivilegeChanged(target->PlayerId, 0, kActionGrantedByServer, kIndexOP);
  } else if (action == kActionGrant && index == kIndexAutoV) {
    target->ChannelPrivileges |= cpV;
    NotifyPlayerChannelPrivilegeChanged(target->PlayerId, 0, kActionGrantedByServer, kIndexV);
  }
  ClearSettledVoiceRequest(*this, *target);
  Channels().SetChannelAttribs(channel, target);
  return 0;
}

namespace {

// Whether the requester may make this change of a server-wide privilege.
// Registration is granted only by registering, superadmin never through the
// voice protocol, and the channel binding only by a server admin.
bool MayChangePrivilege(const TQVUDPListener& l, const TClientRec& requester, uint8_t action, uint8_t index) {
  const bool grant = action == kActionGrant;
  switch (index) {
    case kIndexSA:
      return l.HasPermission(&requester, grant ? upPrivilegeGrantSA : upPrivilegeRevokeSA);
    case kIndexAllowRegistration:
      return l.HasPermission(&requester,
                             grant ? upPrivilegeGrantAllowRegistration : upPrivilegeRevokeAllowRegistration);
    case kIndexRegistered:
      return !grant && l.HasPermission(&requester, upPrivilegePlayerDelete);
    case kIndexCB:
      return (requester.PlayerPrivileges & spSA) != 0;
    case kIndexSuperAdmin:
    default:
      return false;
  }
}

}  // namespace

int32_t TQVUDPListener::CMD_cs_PlayerChangePrivilege(TClientRec* player, TPacket& p) {
  const uint32_t targetId = p.GetU32(PrivilegeRequestLayout::PlayerId);
  const uint8_t action = p.GetU8(PrivilegeRequestLayout::Action);
  const uint8_t index = p.GetU8(PrivilegeRequestLayout::Privilege);

  TClientRec* target = ConnectedPlayer(Clients(), targetId);
  if (!target) return pePlayerIdNotFound;
  if (!MayChangePrivilege(*this, *player, action, index)) return peInsufficientPermission;

  const bool wasRegistered = target->IsRegistered();
  target->PlayerPrivileges = ApplyAction(target->PlayerPrivileges, action, Bit(index));
  TChannelRec* channel = Channels().GetChannelById(target->ChannelId);
  if (index == kIndexRegistered && action == kActionRevoke) {
    if (wasRegistered) Clients().DBDeleteUser(*target);
    for (auto [bit, wireIndex] : {std::pair<uint16_t, uint8_t>{cpAutoOP, kIndexAutoOP}, {cpAutoV, kIndexAutoV}}) {
      if (!(target->ChannelPrivileges & bit)) continue;
      target->ChannelPrivileges &= static_cast<uint16_t>(~bit);
      NotifyPlayerChannelPrivilegeChanged(target->PlayerId, 0, kActionRevokedByServer, wireIndex);
    }
    // Recorded, so that the next visit to the channel does not bring them back.
    Channels().SetChannelAttribs(channel, target);
  } else {
    Clients().DBSaveUser(*target);
    Channels().SetChannelAttribs(channel, target);
  }
  ClearSettledVoiceRequest(*this, *target);
  NotifyPlayerPrivilegesChanged(target->PlayerId, player->PlayerId, action, index);
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

int32_t TQVUDPListener::CMD_cs_PlayerRegister(TClientRec* player, TPacket& p) {
  const TRegistration r = ReadRegistration(p, false);

  if (player->IsRegistered()) return peAlreadyRegistered;
  if (!HasPermission(player, upPrivilegeRegisterSelfByDefault) && !(player->PlayerPrivileges & spAllowRegistration)) {
    return peRegistrationNotAllowed;
  }
  // A blank name could never be used to log in.
  if (Trim(r.LoginName).empty()) return peBadArgument;
  // The record takes the name only once the account exists: a player
  // holding a login name counts as logged in with it.
  TClientRec account(*player);
  account.LoginName = r.LoginName;
  account.LoginPassword = r.Password;
  const int result = Clients().DBAddUser(account);
  if (result < 0) return result;

  player->LoginName = account.LoginName;
  player->LoginPassword = account.LoginPassword;
  player->StorageClientId = account.StorageClientId;
  player->Created = Now();
  player->PlayerPrivileges =
      static_cast<uint16_t>((player->PlayerPrivileges | spRegistered) & ~spAllowRegistration);
  Channels().UpdatePlayerChannelAttribs(player);
  NotifyPlayerPrivilegesChanged(player->PlayerId, 0, kActionGrantedByServer, kIndexRegistered);
  return 0;
}

int32_t TQVUDPListener::CMD_cs_PlayerAdminRegister(TClientRec* player, TPacket& p) {
  const TRegistration r = ReadRegistration(p, true);

  if (!HasPermission(player, upPrivilegeAdminPlayerRegister)) return peInsufficientPermission;
  if (Trim(r.LoginName).empty()) return peBadArgument;
  std::unique_ptr<TClientRec> account = NewClient();
  account->LoginName = r.LoginName;
  account->LoginPassword = r.Password;
  account->PlayerPrivileges = r.ServerAdmin ? spSA : 0;
  const int result = Clients().DBAddUser(*account);
  if (result < 0) return result;
  SendPacket(NewCommandPacket(CMD_sc_PlayerAdminRegisteredOK, player->ConnectionId, player->PlayerId));
  return 0;
}

// ---------------------------------------------------------------------------
// Shared with the external commands

void TQVUDPListener::MovePlayerToChannel(TClientRec& player, TChannelRec& channel, uint32_t originator) {
  const int32_t oldChannelId = player.ChannelId;
  TChannelRec* oldChannel = Channels().GetChannelById(oldChannelId);
  SetPlayerChannelFlagsAndPrivileges(&channel, &player);
  player.ChannelId = channel.Id;
  NotifyPlayerMovedToChannel(*this, player, oldChannelId, originator);
  FinishChannelChange(*this, player, oldChannel, channel);
}

void TQVUDPListener::SettleVoiceRequest(TClientRec& player) { ClearSettledVoiceRequest(*this, player); }

}  // namespace qv
