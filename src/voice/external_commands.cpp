// External commands: work the administration interfaces hand to the
// listener, run here with both locks held. Each handler sets the command's
// result; an exception leaves the result as it was (-10 unless set before).
#include <string>
#include <vector>

#include "protocol/command_types.h"
#include "voice/server_lang.h"
#include "voice/udp_listener.h"

namespace qv {

namespace {

struct ServerPropertiesLayout {
  static constexpr size_t Codecs = 24, Reserved = 28, ServerFlags = 32, Permissions = 34, MaxUsers = 100,
                          Welcome = 104, Name = 360, Size = 390;
};

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

// True when a command was pending (it then ran, and its caller was answered).
bool TQVUDPListener::RunExternalCommand() {
  TExternalCommand command = server_.TakeExternalCommand();
  if (command.CommandType == ecNone) return false;
  switch (command.CommandType) {
    case ecAddClient: ExternalCommand_AddClient(command); break;
    case ecDelClient: ExternalCommand_DelClient(command); break;
    case ecMoveClientToChannel: ExternalCommand_MoveClientToChannel(command); break;
    case ecAddChannel: ExternalCommand_AddChannel(command); break;
    case ecDelChannel: ExternalCommand_DelChannel(command); break;
    case ecNotifyChangedServerProperties: ExternalCommand_NotifyChangedServerProperties(command); break;
    case ecCheckServerOK: ExternalCommand_CheckServerOK(command); break;
    case ecSetUserPrivilege: ExternalCommand_SetUserPrivilege(command); break;
    default: break;  // a type without handler does nothing
  }
  server_.CompleteExternalCommand(command.Result);
  return true;
}

// A connected player by an id from outside; nullptr for any other id.
TClientRec* TQVUDPListener::ExternalTarget(int32_t playerId) const {
  return playerId < 1 ? nullptr : Clients().GetClientByID(static_cast<uint32_t>(playerId));
}

void TQVUDPListener::ExternalCommand_DelClient(TExternalCommand& command) {
  try {
    TClientRec* player = ExternalTarget(command.Argument1);
    if (!player) {
      command.Result = pePlayerIdNotFound;
      return;
    }
    const uint32_t playerId = player->PlayerId;
    NotifyPlayerLeftScope(playerId, lrLeftServer, "", 0);
    Channels().ClientLeftChannel(Channels().GetChannelById(player->ChannelId), player);
    Channels().ClearChannelClientLists(static_cast<int32_t>(playerId));
    Channels().ClearChannelAttribs(static_cast<int32_t>(playerId));
    std::unique_ptr<TClientRec> gone = Clients().DeleteClient(player);
    Buffer().RemoveConnection(playerId);
    ClearChannelUp(-1);
    command.Result = 0;
  } catch (const std::exception& e) {
    LogHandlerException("ExternalCommand_DelClient", e);
  }
}

// Neither the channel's password nor its room is tested: the administration
// may put anybody anywhere.
void TQVUDPListener::ExternalCommand_MoveClientToChannel(TExternalCommand& command) {
  try {
    TChannelRec* channel = Channels().GetChannelById(command.Argument1);
    if (!channel) {
      command.Result = peChannelIdNotFound;
      return;
    }
    // Before his login completes a player sits in no channel; his channel
    // choice would later put him into a second member list.
    TClientRec* player = ExternalTarget(command.Argument2);
    if (!player || !player->LoginComplete || player->Removing) {
      command.Result = pePlayerIdNotFound;
      return;
    }
    if (player->ChannelId == channel->Id) {
      command.Result = peAlreadyChannelMember;
      return;
    }
    MovePlayerToChannel(*player, *channel, 0);
    command.Result = 0;
  } catch (const std::exception& e) {
    LogHandlerException("ExternalCommand_MoveClientToChannel", e);
  }
}

void TQVUDPListener::ExternalCommand_AddChannel(TExternalCommand& command) {
  try {
    const int32_t codec = command.Argument2;
    if (codec >= 0 && codec < kCodecCount && !server_.Settings().AllowCodec[static_cast<size_t>(codec)]) {
      command.Result = peCodecDisabled;
      return;
    }
    std::unique_ptr<TChannelRec> channel = NewChannel();
    channel->Id = command.Argument1;
    channel->Flags = 0;
    channel->Codec = static_cast<uint16_t>(codec);
    channel->ParentId = -1;
    channel->MaxUsers = kExternalChannelMaxUsers;
    const int32_t id = Channels().AddChannelID(std::move(channel));
    if (id < 0) {
      command.Result = id;
      return;
    }
    const std::vector<std::string> changed = Channels().ChangedChannels();
    for (const std::string& other : changed) NotifyChannelPropertiesChanged(std::stoi(other), 0);
    NotifyChannelCreated(id, 0);
    command.Result = 0;
  } catch (const std::exception& e) {
    LogHandlerException("ExternalCommand_AddChannel", e);
  }
}

// A channel tree that holds players anywhere stays: deleting it would leave
// the players of its sub-channels in a channel that no longer exists.
void TQVUDPListener::ExternalCommand_DelChannel(TExternalCommand& command) {
  try {
    const TChannelRec* channel = Channels().GetChannelById(command.Argument1);
    if (!channel) {
      command.Result = peChannelIdNotFound;
      return;
    }
    if (ChannelTreeHoldsPlayers(channel)) {
      command.Result = peChannelNotEmpty;
      return;
    }
    const int32_t result = Channels().DeleteChannelTree(channel->Id);
    if (result < 0) {
      command.Result = result;
      return;
    }
    const std::vector<std::string> deleted = Channels().ChangedChannels();
    for (const std::string& id : deleted) NotifyChannelDestroyed(std::stoi(id), 0);
    command.Result = 0;
  } catch (const std::exception& e) {
    LogHandlerException("ExternalCommand_DelChannel", e);
  }
}

// The settings have already changed; this only brings the players up to
// date, so a failing step does not make the command fail.
void TQVUDPListener::ExternalCommand_NotifyChangedServerProperties(TExternalCommand& command) {
  command.Result = 0;
  try {
    const TServerSettings settings = server_.Settings();
    for (const auto& player : Clients().Items()) SendPacket(NewServerPropertiesPacket(*player, settings));
    server_.LoginsSinceNotify = 0;
    Channels().SetDefaultChannelMaxUsers(settings.MaxUsers);
    NotifyChannelMaxUsersChanged(Channels().GetDefaultChannel(), 0);
    if (!command.ServerTypeChanged) return;
    command.ServerTypeChanged = false;
    for (const auto& player : Clients().Items()) {
      if (settings.IsClan()) {
        UpdateClanServerPlayerListTo(player->PlayerId);
      } else {
        UpdatePublicServerPlayerListTo(player->PlayerId);
      }
    }
  } catch (const std::exception& e) {
    LogHandlerException("ExternalCommand_NotifyChangedServerProperties", e);
  }
}

void TQVUDPListener::ExternalCommand_CheckServerOK(TExternalCommand& command) { command.Result = kServerOK; }

// spRegistered and spSuperAdmin are never changed from outside.
void TQVUDPListener::ExternalCommand_SetUserPrivilege(TExternalCommand& command) {
  try {
    TClientRec* player = ExternalTarget(command.Argument1);
    if (!player) {
      command.Result = pePlayerIdNotFound;
      return;
    }
    for (auto [bit, index] : kExternalPrivileges) {
      if (!(player->PlayerPrivileges & bit) || (command.Privileges & bit)) continue;
      player->PlayerPrivileges &= static_cast<uint16_t>(~bit);
      NotifyPlayerPrivilegesChanged(player->PlayerId, 0, kActionRevoke, index);
    }
    for (auto [bit, index] : kExternalPrivileges) {
      if ((player->PlayerPrivileges & bit) || !(command.Privileges & bit)) continue;
      player->PlayerPrivileges |= bit;
      NotifyPlayerPrivilegesChanged(player->PlayerId, 0, kActionGrant, index);
    }
    if (player->IsRegistered()) Clients().DBSaveUser(*player);
    SettleVoiceRequest(*player);
    command.Result = 0;
  } catch (const std::exception& e) {
    LogHandlerException("ExternalCommand_SetUserPrivilege", e);
  }
}

}  // namespace qv
