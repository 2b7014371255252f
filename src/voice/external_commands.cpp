// External commands: work the administration interfaces hand to the
// listener, run here with both locks held. Each handler returns the
// command's result; the command table (command_table.cpp) runs them.
#include <string>
#include <vector>

#include "base/text_utils.h"
#include "protocol/command_types.h"
#include "protocol/protocol_errors.h"
#include "protocol/text_message.h"
#include "voice/channel_handlers.h"
#include "voice/external_commands.h"
#include "voice/info_handlers.h"
#include "voice/login_handlers.h"
#include "voice/player_handlers.h"
#include "voice/view_notifications.h"
#include "voice/wire_layouts.h"

namespace qv::voice {

namespace {

TClientRec* ExternalTarget(const TListenerContext& ctx, int32_t playerId);

// A channel the server itself adds: registered, top-level and unnamed.
constexpr uint16_t kExternalChannelMaxUsers = 64000;

// Privilege bits an external command may change, with their wire indexes, in
// the order they are compared.
constexpr std::pair<uint16_t, uint8_t> kExternalPrivileges[] = {
    {spSA, 0}, {spAllowRegistration, 1}, {spCB, 4}};
constexpr uint8_t kActionGrant = 0;
constexpr uint8_t kActionRevoke = 2;

TPacketPtr NewServerPropertiesPacket(const TClientRec& to, const TServerSettings& s) {
  using L = ServerPropertiesLayout;
  TPacketPtr p = NewCommandPacket(qv::CMD_sc_NotifyServerPropertiesChanged, to.ConnectionId, to.PlayerId);
  p->SetSize(L::Size);
  p->SetU32(L::Codecs, s.CodecMask());
  p->SetU16(L::ServerFlags, s.ServerFlags);
  p->SetPosition(L::Permissions);
  WritePermissionTable(*p, s.Permissions);
  p->SetU32(L::MaxUsers, s.MaxUsers);
  p->SetPosition(L::Welcome);
  p->WriteText(s.WelcomeMessage, kLongTextField);
  p->WriteText(s.Name, kShortTextField);
  return p;
}

}  // namespace

// A connected player by an id from outside; nullptr for any other id.
namespace {

TClientRec* ExternalTarget(const TListenerContext& ctx, int32_t playerId) {
  return playerId < 1 ? nullptr : ctx.Clients().GetClientByID(static_cast<uint32_t>(playerId));
}

// A connected player whose login is complete and who is not leaving.
TClientRec* ConnectedTarget(const TListenerContext& ctx, int32_t playerId) {
  TClientRec* player = ExternalTarget(ctx, playerId);
  return player && player->LoginComplete && !player->Removing ? player : nullptr;
}

// The wire index of a channel privilege bit (cpCA 0 ... cpAutoV 4), and the
// refusal of a revoke of one he lacks.
struct TChannelPrivilegeBit {
  uint16_t Bit;
  uint8_t Index;
  int32_t NotHeld;
};
constexpr TChannelPrivilegeBit kChannelPrivilegeBits[] = {{cpCA, 0, peNotChannelAdmin},
                                                          {cpOP, 1, peNotChannelOperator},
                                                          {cpV, 2, peNoChannelVoice},
                                                          {cpAutoOP, 3, peNotChannelOperator},
                                                          {cpAutoV, 4, peNoChannelVoice}};

// Gives the player the external privilege bits of `privileges`: revocations
// first, then grants, each announced; his account keeps them.
void ApplyExternalPrivileges(TListenerContext& ctx, TClientRec& player, uint16_t privileges) {
  for (auto [bit, index] : kExternalPrivileges) {
    if (!(player.PlayerPrivileges & bit) || (privileges & bit)) continue;
    player.PlayerPrivileges &= static_cast<uint16_t>(~bit);
    NotifyPlayerPrivilegesChanged(ctx, player.PlayerId, 0, kActionRevoke, index);
  }
  for (auto [bit, index] : kExternalPrivileges) {
    if ((player.PlayerPrivileges & bit) || !(privileges & bit)) continue;
    player.PlayerPrivileges |= bit;
    NotifyPlayerPrivilegesChanged(ctx, player.PlayerId, 0, kActionGrant, index);
  }
  if (player.IsRegistered()) ctx.Clients().DBSaveUser(player);
  SettleVoiceRequest(ctx, player);
}

}  // namespace

// A kick announces him as kicked with the reason (his copy ends his
// connection, the disconnect removes him); otherwise he goes at once, as a
// disconnect removes him.
int32_t ExternalCommand_DelClient(TListenerContext& ctx, const TExternalCommand& command) {
  if (command.Kick) {
    TClientRec* kicked = ConnectedTarget(ctx, command.Argument1);
    if (!kicked) return pePlayerIdNotFound;
    KickPlayerFromServer(ctx, *kicked, command.Text, 0);
    return 0;
  }
  TClientRec* player = ExternalTarget(ctx, command.Argument1);
  if (!player) return pePlayerIdNotFound;
  const uint32_t playerId = player->PlayerId;
  NotifyPlayerLeftScope(ctx, playerId, lrLeftServer, "", 0);
  ctx.Channels().ClientLeftChannel(ctx.Channels().GetChannelById(player->ChannelId), player);
  ctx.Channels().ClearChannelClientLists(static_cast<int32_t>(playerId));
  ctx.Channels().ClearChannelAttribs(static_cast<int32_t>(playerId));
  std::unique_ptr<TClientRec> gone = ctx.Clients().DeleteClient(player);
  ctx.Buffer().RemoveConnection(playerId);
  ClearChannelUp(ctx, -1);
  return 0;
}

// Neither the channel's password nor its room is tested: the administration
// may put anybody anywhere.
int32_t ExternalCommand_MoveClientToChannel(TListenerContext& ctx, const TExternalCommand& command) {
  TChannelRec* channel = ctx.Channels().GetChannelById(command.Argument1);
  if (!channel) return peChannelIdNotFound;
  // Before his login completes a player sits in no channel; his channel
  // choice would later put him into a second member list.
  TClientRec* player = ExternalTarget(ctx, command.Argument2);
  if (!player || !player->LoginComplete || player->Removing) return pePlayerIdNotFound;
  if (player->ChannelId == channel->Id) return peAlreadyChannelMember;
  MovePlayerToChannel(ctx, *player, *channel, 0);
  return 0;
}

int32_t ExternalCommand_AddChannel(TListenerContext& ctx, const TExternalCommand& command) {
  if (command.HasChannel) return AddChannelAsServer(ctx, command.Channel);
  const int32_t codec = command.Argument2;
  if (codec >= 0 && codec < kCodecCount && !ctx.Server().Settings().AllowCodec[static_cast<size_t>(codec)]) {
    return peCodecDisabled;
  }
  std::unique_ptr<TChannelRec> channel = NewChannel();
  channel->Id = command.Argument1;
  channel->Flags = 0;
  channel->Codec = static_cast<uint16_t>(codec);
  channel->ParentId = -1;
  channel->MaxUsers = kExternalChannelMaxUsers;
  const int32_t id = ctx.Channels().AddChannelID(std::move(channel));
  if (id < 0) return id;
  const std::vector<std::string> changed = ctx.Channels().ChangedChannels();
  for (const std::string& other : changed) NotifyChannelPropertiesChanged(ctx, std::stoi(other), 0);
  NotifyChannelCreated(ctx, id, 0);
  return 0;
}

// As a client's deletion: a channel tree that holds players anywhere stays
// (deleting it would leave the players of its sub-channels in a channel that
// no longer exists), and so does the default channel.
int32_t ExternalCommand_DelChannel(TListenerContext& ctx, const TExternalCommand& command) {
  return DeleteChannelAsServer(ctx, command.Argument1);
}

int32_t ExternalCommand_EditChannel(TListenerContext& ctx, const TExternalCommand& command) {
  return EditChannelAsServer(ctx, command.Argument1, command.Channel, command.Changes);
}

// Out of his channel into the default one, losing every privilege he held in
// the channel he leaves (as when a server admin kicks him).
int32_t ExternalCommand_KickFromChannel(TListenerContext& ctx, const TExternalCommand& command) {
  TClientRec* player = ConnectedTarget(ctx, command.Argument1);
  if (!player) return pePlayerIdNotFound;
  if (player->ChannelId == ctx.Channels().GetDefaultChannel()) return peAlreadyChannelMember;
  return KickPlayerToDefaultChannel(ctx, *player, cpCA | cpOP | cpV | cpAutoOP | cpAutoV, command.Text);
}

// Any player the server knows, as a client's ban of a player.
int32_t ExternalCommand_BanPlayer(TListenerContext& ctx, const TExternalCommand& command) {
  TClientRec* player = ExternalTarget(ctx, command.Argument1);
  if (!player) return pePlayerIdNotFound;
  if (command.Argument2 < 0 || command.Argument2 > 0xFFFF) return peBadArgument;
  BanAndRemovePlayer(ctx, *player, static_cast<uint16_t>(command.Argument2), command.Text, command.Author, 0);
  return 0;
}

// Unlike a client's text, one to a target that does not exist is refused.
int32_t ExternalCommand_SendText(TListenerContext& ctx, const TExternalCommand& command) {
  const int32_t kind = command.Argument1;
  if (kind == tkPlayer && !ConnectedTarget(ctx, command.Argument2)) return pePlayerIdNotFound;
  if (kind == tkChannel && !ctx.Channels().GetChannelById(command.Argument2)) return peChannelIdNotFound;
  if (kind != tkPlayer && kind != tkChannel && kind != tkEverybody) return peBadArgument;
  SendTextMessage(ctx, command.Author, 0, static_cast<uint8_t>(kind), static_cast<uint32_t>(command.Argument2),
                  command.Text);
  return 0;
}

int32_t ExternalCommand_SetChannelPrivilege(TListenerContext& ctx, const TExternalCommand& command) {
  TClientRec* player = ConnectedTarget(ctx, command.Argument1);
  if (!player) return pePlayerIdNotFound;
  const bool grant = command.Argument2 != 0;
  for (const TChannelPrivilegeBit& p : kChannelPrivilegeBits) {
    if (p.Bit != command.Privileges) continue;
    if (!grant && !(player->ChannelPrivileges & p.Bit)) return p.NotHeld;
    return ChangeChannelPrivilege(ctx, nullptr, player->PlayerId, grant, p.Index);
  }
  return peBadArgument;
}

// One of the bits ExternalCommand_SetUserPrivilege changes, granted or revoked.
int32_t ExternalCommand_ChangeServerPrivilege(TListenerContext& ctx, const TExternalCommand& command) {
  TClientRec* player = ConnectedTarget(ctx, command.Argument1);
  if (!player) return pePlayerIdNotFound;
  const uint16_t bit = command.Privileges;
  bool known = false;
  for (auto [external, index] : kExternalPrivileges) known = known || external == bit;
  if (!known) return peBadArgument;
  const bool grant = command.Argument2 != 0;
  const bool held = (player->PlayerPrivileges & bit) != 0;
  if (grant && held) return bit == spSA ? peAlreadyServerAdmin : peAlreadyHasPrivilege;
  if (!grant && !held) return bit == spSA ? peNotServerAdmin : peBadArgument;
  ApplyExternalPrivileges(
      ctx, *player,
      static_cast<uint16_t>(grant ? (player->PlayerPrivileges | bit) : (player->PlayerPrivileges & ~bit)));
  return 0;
}

// The settings have already changed; this only brings the players up to
// date, so a failing step does not make the command fail (its row in the
// command table answers 0 on failure).
int32_t ExternalCommand_NotifyChangedServerProperties(TListenerContext& ctx, const TExternalCommand& command) {
  const TServerSettings settings = ctx.Server().Settings();
  for (const auto& player : ctx.Clients().Items()) ctx.SendPacket(NewServerPropertiesPacket(*player, settings));
  ctx.Server().LoginsSinceNotify = 0;
  ctx.Channels().SetDefaultChannelMaxUsers(settings.MaxUsers);
  NotifyChannelMaxUsersChanged(ctx, ctx.Channels().GetDefaultChannel(), 0);
  if (!command.ServerTypeChanged) return 0;
  for (const auto& player : ctx.Clients().Items()) {
    if (settings.IsClan()) {
      UpdateClanServerPlayerListTo(ctx, player->PlayerId);
    } else {
      UpdatePublicServerPlayerListTo(ctx, player->PlayerId);
    }
  }
  return 0;
}

int32_t ExternalCommand_CheckServerOK(TListenerContext&, const TExternalCommand&) { return kServerOK; }

// spRegistered and spSuperAdmin are never changed from outside.
int32_t ExternalCommand_SetUserPrivilege(TListenerContext& ctx, const TExternalCommand& command) {
  TClientRec* player = ExternalTarget(ctx, command.Argument1);
  if (!player) return pePlayerIdNotFound;
  ApplyExternalPrivileges(ctx, *player, command.Privileges);
  return 0;
}

// A player without a network peer, logged in from outside.
int32_t ExternalCommand_AddClient(TListenerContext& ctx, const TExternalCommand& command) {
  const int32_t channelId = command.Argument1;
  const int32_t playerId = command.Argument2;
  if (!ctx.Channels().GetChannelById(channelId)) return peChannelIdNotFound;
  if (playerId < 1) return peBadArgument;
  if (ctx.Clients().GetClientByID(static_cast<uint32_t>(playerId))) return peNickNameInUse;
  std::unique_ptr<TClientRec> rec = NewClient();
  rec->ConnectionId = ctx.Clients().GetNewConnectionID();
  rec->ChannelId = channelId;
  rec->PlayerId = static_cast<uint32_t>(playerId);
  rec->NickName = GetGuestPlayerName(ctx, "");
  ctx.Buffer().AddConnection(rec->PlayerId, rec->ConnectionId, 1, 0, "");
  const int32_t result = LowerCase(Trim(rec->NickName.str())) == "server" ? lcBadLogin : lcAccepted;
  TPacketPtr reply = NewLoginReply(*rec, result);
  FillLoginReply(*reply, ctx.Server().Settings(), result);
  ctx.SendPacket(std::move(reply));
  if (result == lcAccepted) ctx.Clients().AddClient(std::move(rec));
  return result;
}

}  // namespace qv::voice
