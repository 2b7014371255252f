#include "voice/command_table.h"

#include "protocol/command_types.h"
#include "voice/udp_listener.h"
#include "voice/wire_layouts.h"

namespace qv {

namespace {

using L = TQVUDPListener;
constexpr size_t kHeader = CommandHeader::Size;

constexpr TRequestRow kClientCommandRows[] = {
    {CMD_cs_LoginStep3, "CMD_cs_LoginStep3", &L::CMD_cs_LoginStep3, rgAnyone, kHeader},
    {CMD_cs_ChannelCreate, "CMD_cs_ChannelCreate", &L::CMD_cs_ChannelCreate, rgLoginComplete,
     ChannelCreateLayout::Size},
    {CMD_cs_ChannelChangePassword, "CMD_cs_ChannelChangePassword", &L::CMD_cs_ChannelChangePassword,
     rgLoginComplete, ChannelCommandLayout::PasswordSize},
    {CMD_cs_ChannelChangeProperties, "CMD_cs_ChannelChangeProperties", &L::CMD_cs_ChannelChangeProperties,
     rgLoginComplete, ChannelCommandLayout::PropertiesSize},
    {CMD_cs_ChannelChangeName, "CMD_cs_ChannelChangeName", &L::CMD_cs_ChannelChangeName, rgLoginComplete,
     ChannelCommandLayout::TextSize},
    {CMD_cs_ChannelChangeTopic, "CMD_cs_ChannelChangeTopic", &L::CMD_cs_ChannelChangeTopic, rgLoginComplete,
     ChannelCommandLayout::TextSize},
    {CMD_cs_ChannelChangeDescription, "CMD_cs_ChannelChangeDescription", &L::CMD_cs_ChannelChangeDescription,
     rgLoginComplete, ChannelCommandLayout::TextSize},
    {CMD_cs_ChannelDestroy, "CMD_cs_ChannelDestroy", &L::CMD_cs_ChannelDestroy, rgLoginComplete,
     ChannelCommandLayout::TextSize},
    {CMD_cs_ChannelChangeMaxUsers, "CMD_cs_ChannelChangeMaxUsers", &L::CMD_cs_ChannelChangeMaxUsers,
     rgLoginComplete, ChannelCommandLayout::NumberSize},
    {CMD_cs_ChannelChangeOrder, "CMD_cs_ChannelChangeOrder", &L::CMD_cs_ChannelChangeOrder, rgLoginComplete,
     ChannelCommandLayout::NumberSize},
    {CMD_cs_PlayerQuit, "CMD_cs_PlayerQuit", &L::CMD_cs_PlayerQuit, rgAnyone, kHeader},
    {CMD_cs_PlayerKick, "CMD_cs_PlayerKick", &L::CMD_cs_PlayerKick, rgNotLeaving, TargetTextLayout::Size},
    {CMD_cs_PlayerKickFromChannel, "CMD_cs_PlayerKickFromChannel", &L::CMD_cs_PlayerKickFromChannel, rgNotLeaving,
     TargetTextLayout::Size},
    {CMD_cs_PlayerChannelSwitch, "CMD_cs_PlayerChannelSwitch", &L::CMD_cs_PlayerChannelSwitch, rgNotLeaving,
     ChannelSwitchLayout::Size},
    {CMD_cs_PlayerFlagsChanged, "CMD_cs_PlayerFlagsChanged", &L::CMD_cs_PlayerFlagsChanged, rgNotLeaving,
     FlagsLayout::Size},
    {CMD_cs_PlayerRequestVoice, "CMD_cs_PlayerRequestVoice", &L::CMD_cs_PlayerRequestVoice, rgNotLeaving,
     RequestVoiceLayout::Size},
    {CMD_cs_PlayerChangeChannelPrivilege, "CMD_cs_PlayerChangeChannelPrivilege",
     &L::CMD_cs_PlayerChangeChannelPrivilege, rgNotLeaving, PrivilegeRequestLayout::Size},
    {CMD_cs_PlayerChangePrivilege, "CMD_cs_PlayerChangePrivilege", &L::CMD_cs_PlayerChangePrivilege, rgNotLeaving,
     PrivilegeRequestLayout::Size},
    {CMD_cs_PlayerRegister, "CMD_cs_PlayerRegister", &L::CMD_cs_PlayerRegister, rgNotLeaving,
     RegisterLayout::Size},
    {CMD_cs_PlayerAdminRegister, "CMD_cs_PlayerAdminRegister", &L::CMD_cs_PlayerAdminRegister, rgNotLeaving,
     RegisterLayout::AdminSize},
    {CMD_cs_PlayerMutePlayer, "CMD_cs_PlayerMutePlayer", &L::CMD_cs_PlayerMutePlayer, rgNotLeaving,
     MuteLayout::Size},
    {CMD_cs_PlayerBanIp, "CMD_cs_PlayerBanIp", &L::CMD_cs_PlayerBanIp, rgKnownPlayer, BanIpLayout::Size},
    {CMD_cs_PlayerBanIpPlayer, "CMD_cs_PlayerBanIpPlayer", &L::CMD_cs_PlayerBanIpPlayer, rgKnownPlayer,
     BanIpPlayerLayout::Size},
    {CMD_cs_PlayerUnbanIp, "CMD_cs_PlayerUnbanIp", &L::CMD_cs_PlayerUnbanIp, rgKnownPlayer, UnbanIpLayout::Size},
    {CMD_cs_PlayerMovePlayer, "CMD_cs_PlayerMovePlayer", &L::CMD_cs_PlayerMovePlayer, rgNotLeaving,
     MoveLayout::Size},
    {CMD_cs_PlayerSetUploadBandwidth, "CMD_cs_PlayerSetUploadBandwidth", &L::CMD_cs_PlayerSetUploadBandwidth,
     rgNotLeaving, BandwidthLayout::Size},
    {CMD_cs_InfoRequestPlayerConnectionInfoOnId, "CMD_cs_InfoRequestPlayerConnectionInfoOnId",
     &L::CMD_cs_InfoRequestPlayerConnectionInfoOnId, rgKnownPlayer, ConnectionInfoRequestLayout::Size},
    {CMD_cs_InfoRequestServerInfo, "CMD_cs_InfoRequestServerInfo", &L::CMD_cs_InfoRequestServerInfo,
     rgKnownPlayer, kHeader},
    {CMD_cs_InfoRequestBanIpList, "CMD_cs_InfoRequestBanIpList", &L::CMD_cs_InfoRequestBanIpList, rgKnownPlayer,
     kHeader},
    {CMD_cs_InfoSendText, "CMD_cs_InfoSendText", &L::CMD_cs_InfoSendText, rgKnownPlayer, SendTextLayout::Size},
};

constexpr TRequestRow kControlCommandRows[] = {
    {CMD_cs_LoginStep1, "CMD_cs_LoginStep1", &L::CMD_cs_LoginStep1, rgAnyone, LoginRequestLayout::UniqueNick},
};

// The player is known (the listener drops voice from anybody else); each
// relay has its own rule for who is heard.
constexpr TRequestRow kVoiceTargetRows[] = {
    {0, "ProgressVoiceData_SendVoiceDataToChannel", &L::ProgressVoiceData_SendVoiceDataToChannel, rgKnownPlayer,
     C2SVoiceHeader::Size},
    {1, "ProgressVoiceData_SendVoiceDataWhisper", &L::ProgressVoiceData_SendVoiceDataWhisper, rgNotLeaving,
     WhisperLayout::Size},
    {2, "ProgressVoiceData_SendVoiceDataToParentChannel", &L::ProgressVoiceData_SendVoiceDataToParentChannel,
     rgKnownPlayer, C2SVoiceHeader::Size},
};

// The server-properties notification only brings players up to date: it
// counts as done even when a step failed.
constexpr TExternalRow kExternalCommandRows[] = {
    {ecAddClient, "ExternalCommand_AddClient", &L::ExternalCommand_AddClient, kNoResult},
    {ecDelClient, "ExternalCommand_DelClient", &L::ExternalCommand_DelClient, kNoResult},
    {ecMoveClientToChannel, "ExternalCommand_MoveClientToChannel", &L::ExternalCommand_MoveClientToChannel,
     kNoResult},
    {ecAddChannel, "ExternalCommand_AddChannel", &L::ExternalCommand_AddChannel, kNoResult},
    {ecDelChannel, "ExternalCommand_DelChannel", &L::ExternalCommand_DelChannel, kNoResult},
    {ecNotifyChangedServerProperties, "ExternalCommand_NotifyChangedServerProperties",
     &L::ExternalCommand_NotifyChangedServerProperties, 0},
    {ecCheckServerOK, "ExternalCommand_CheckServerOK", &L::ExternalCommand_CheckServerOK, kNoResult},
    {ecSetUserPrivilege, "ExternalCommand_SetUserPrivilege", &L::ExternalCommand_SetUserPrivilege, kNoResult},
};

}  // namespace

const std::span<const TRequestRow> kClientCommands{kClientCommandRows};
const std::span<const TRequestRow> kControlCommands{kControlCommandRows};
const std::span<const TRequestRow> kVoiceTargets{kVoiceTargetRows};
const std::span<const TExternalRow> kExternalCommands{kExternalCommandRows};

bool PassesGate(TRequestGate gate, const TClientRec* player) {
  switch (gate) {
    case rgAnyone: return true;
    case rgKnownPlayer: return player != nullptr;
    case rgLoginComplete: return player && player->LoginComplete;
    case rgNotLeaving: return player && !player->Removing;
  }
  return false;
}

// ---------------------------------------------------------------------------
// The frame around every handler

void TQVUDPListener::Run(const TRequestRow& row, TClientRec* player, TPacket& request, bool logFailure) {
  if (!PassesGate(row.Gate, player)) return;
  try {
    if (request.Size() < row.MinSize) throw EStreamError("Stream read error");
    const int32_t refusal = (this->*row.Handler)(player, request);
    if (refusal != 0 && player) SendError(*player, refusal, request.CommandType(), request.Sequence());
  } catch (const std::exception& e) {
    if (logFailure) LogHandlerException(row.Name, e);
  }
}

int32_t TQVUDPListener::Run(const TExternalRow& row, const TExternalCommand& command) {
  try {
    return (this->*row.Handler)(command);
  } catch (const std::exception& e) {
    LogHandlerException(row.Name, e);
    return row.ResultOnFailure;
  }
}

// True when a command was pending (it then ran, and its caller was answered).
bool TQVUDPListener::RunExternalCommand() {
  const TExternalCommand command = server_.TakeExternalCommand();
  if (command.CommandType == ecNone) return false;
  int32_t result = kNoResult;  // a type without a row does nothing
  if (const TExternalRow* row = FindRow(kExternalCommands, command.CommandType)) result = Run(*row, command);
  server_.CompleteExternalCommand(result);
  return true;
}

}  // namespace qv
