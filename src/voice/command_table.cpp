#include "voice/command_table.h"

#include "protocol/command_types.h"
#include "voice/channel_handlers.h"
#include "voice/external_commands.h"
#include "voice/info_handlers.h"
#include "voice/listener_context.h"
#include "voice/login_handlers.h"
#include "voice/player_handlers.h"
#include "voice/voice_relay.h"
#include "voice/wire_layouts.h"

namespace qv {

namespace {

constexpr size_t kHeader = CommandHeader::Size;

// A row's name and handler from the one name they share.
#define QV_HANDLER(name) #name, &voice::name
// A client or control command: its type constant, name and handler share the name.
#define QV_COMMAND(name, gate, minSize) \
  { qv::name, QV_HANDLER(name), gate, minSize }

constexpr TRequestRow kClientCommandRows[] = {
    QV_COMMAND(CMD_cs_LoginStep3, rgAnyone, kHeader),
    QV_COMMAND(CMD_cs_ChannelCreate, rgLoginComplete, ChannelCreateLayout::Size),
    QV_COMMAND(CMD_cs_ChannelChangePassword, rgLoginComplete, ChannelCommandLayout::PasswordSize),
    QV_COMMAND(CMD_cs_ChannelChangeProperties, rgLoginComplete, ChannelCommandLayout::PropertiesSize),
    QV_COMMAND(CMD_cs_ChannelChangeName, rgLoginComplete, ChannelCommandLayout::TextSize),
    QV_COMMAND(CMD_cs_ChannelChangeTopic, rgLoginComplete, ChannelCommandLayout::TextSize),
    QV_COMMAND(CMD_cs_ChannelChangeDescription, rgLoginComplete, ChannelCommandLayout::TextSize),
    QV_COMMAND(CMD_cs_ChannelDestroy, rgLoginComplete, ChannelCommandLayout::TextSize),
    QV_COMMAND(CMD_cs_ChannelChangeMaxUsers, rgLoginComplete, ChannelCommandLayout::NumberSize),
    QV_COMMAND(CMD_cs_ChannelChangeOrder, rgLoginComplete, ChannelCommandLayout::NumberSize),
    QV_COMMAND(CMD_cs_PlayerQuit, rgAnyone, kHeader),
    QV_COMMAND(CMD_cs_PlayerKick, rgNotLeaving, TargetTextLayout::Size),
    QV_COMMAND(CMD_cs_PlayerKickFromChannel, rgNotLeaving, TargetTextLayout::Size),
    QV_COMMAND(CMD_cs_PlayerChannelSwitch, rgNotLeaving, ChannelSwitchLayout::Size),
    QV_COMMAND(CMD_cs_PlayerFlagsChanged, rgNotLeaving, FlagsLayout::Size),
    QV_COMMAND(CMD_cs_PlayerRequestVoice, rgNotLeaving, RequestVoiceLayout::Size),
    QV_COMMAND(CMD_cs_PlayerChangeChannelPrivilege, rgNotLeaving, PrivilegeRequestLayout::Size),
    QV_COMMAND(CMD_cs_PlayerChangePrivilege, rgNotLeaving, PrivilegeRequestLayout::Size),
    QV_COMMAND(CMD_cs_PlayerRegister, rgNotLeaving, RegisterLayout::Size),
    QV_COMMAND(CMD_cs_PlayerAdminRegister, rgNotLeaving, RegisterLayout::AdminSize),
    QV_COMMAND(CMD_cs_PlayerMutePlayer, rgNotLeaving, MuteLayout::Size),
    QV_COMMAND(CMD_cs_PlayerBanIp, rgKnownPlayer, BanIpLayout::Size),
    QV_COMMAND(CMD_cs_PlayerBanIpPlayer, rgKnownPlayer, BanIpPlayerLayout::Size),
    QV_COMMAND(CMD_cs_PlayerUnbanIp, rgKnownPlayer, UnbanIpLayout::Size),
    QV_COMMAND(CMD_cs_PlayerMovePlayer, rgNotLeaving, MoveLayout::Size),
    QV_COMMAND(CMD_cs_PlayerSetUploadBandwidth, rgNotLeaving, BandwidthLayout::Size),
    QV_COMMAND(CMD_cs_InfoRequestPlayerConnectionInfoOnId, rgKnownPlayer, ConnectionInfoRequestLayout::Size),
    QV_COMMAND(CMD_cs_InfoRequestServerInfo, rgKnownPlayer, kHeader),
    QV_COMMAND(CMD_cs_InfoRequestBanIpList, rgKnownPlayer, kHeader),
    QV_COMMAND(CMD_cs_InfoSendText, rgKnownPlayer, SendTextLayout::Size),
};

constexpr TRequestRow kControlCommandRows[] = {
    QV_COMMAND(CMD_cs_LoginStep1, rgAnyone, LoginRequestLayout::UniqueNick),
};

// The player is known (the listener drops voice from anybody else); each
// relay has its own rule for who is heard.
constexpr TRequestRow kVoiceTargetRows[] = {
    {0, QV_HANDLER(ProgressVoiceData_SendVoiceDataToChannel), rgKnownPlayer, C2SVoiceHeader::Size},
    {1, QV_HANDLER(ProgressVoiceData_SendVoiceDataWhisper), rgNotLeaving, WhisperLayout::Size},
    {2, QV_HANDLER(ProgressVoiceData_SendVoiceDataToParentChannel), rgKnownPlayer, C2SVoiceHeader::Size},
};

// The server-properties notification only brings players up to date: it
// counts as done even when a step failed.
constexpr TExternalRow kExternalCommandRows[] = {
    {ecAddClient, QV_HANDLER(ExternalCommand_AddClient), kNoResult},
    {ecDelClient, QV_HANDLER(ExternalCommand_DelClient), kNoResult},
    {ecMoveClientToChannel, QV_HANDLER(ExternalCommand_MoveClientToChannel), kNoResult},
    {ecAddChannel, QV_HANDLER(ExternalCommand_AddChannel), kNoResult},
    {ecDelChannel, QV_HANDLER(ExternalCommand_DelChannel), kNoResult},
    {ecNotifyChangedServerProperties, QV_HANDLER(ExternalCommand_NotifyChangedServerProperties), 0},
    {ecCheckServerOK, QV_HANDLER(ExternalCommand_CheckServerOK), kNoResult},
    {ecSetUserPrivilege, QV_HANDLER(ExternalCommand_SetUserPrivilege), kNoResult},
    {ecKickFromChannel, QV_HANDLER(ExternalCommand_KickFromChannel), kNoResult},
    {ecBanPlayer, QV_HANDLER(ExternalCommand_BanPlayer), kNoResult},
    {ecSendText, QV_HANDLER(ExternalCommand_SendText), kNoResult},
    {ecEditChannel, QV_HANDLER(ExternalCommand_EditChannel), kNoResult},
    {ecSetChannelPrivilege, QV_HANDLER(ExternalCommand_SetChannelPrivilege), kNoResult},
    {ecChangeServerPrivilege, QV_HANDLER(ExternalCommand_ChangeServerPrivilege), kNoResult},
};

#undef QV_COMMAND
#undef QV_HANDLER

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

void RunRequest(TListenerContext& ctx, const TRequestRow& row, TClientRec* player, TPacket& request, bool logFailure) {
  if (!PassesGate(row.Gate, player)) return;
  try {
    if (request.Size() < row.MinSize) throw EStreamError("Stream read error");
    const int32_t refusal = row.Handler(ctx, player, request);
    if (refusal != 0 && player) ctx.SendError(*player, refusal, request.CommandType(), request.Sequence());
  } catch (const std::exception& e) {
    if (logFailure) ctx.LogHandlerException(row.Name, e);
  }
}

namespace {

int32_t RunExternal(TListenerContext& ctx, const TExternalRow& row, const TExternalCommand& command) {
  try {
    return row.Handler(ctx, command);
  } catch (const std::exception& e) {
    ctx.LogHandlerException(row.Name, e);
    return row.ResultOnFailure;
  }
}

}  // namespace

bool RunExternalCommand(TListenerContext& ctx) {
  const TExternalCommand command = ctx.Server().TakeExternalCommand();
  if (command.CommandType == ecNone) return false;
  int32_t result = kNoResult;  // a type without a row does nothing
  if (const TExternalRow* row = FindRow(kExternalCommands, command.CommandType))
    result = RunExternal(ctx, *row, command);
  ctx.Server().CompleteExternalCommand(result);
  return true;
}

}  // namespace qv
