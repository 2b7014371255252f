// Command type codes carried in the CommandType field of command and control
// packets. Negative codes in a server command are error packets (the code is a
// protocol error, written as a 16-bit two's-complement value).
#pragma once

#include <cstdint>

namespace qv {

// Control packets (class pcControl).
inline constexpr uint16_t ctPing = 1;
inline constexpr uint16_t ctPong = 2;
inline constexpr uint16_t CMD_cs_LoginStep1 = 3;
inline constexpr uint16_t CMD_sc_LoginStep2 = 4;

// Client to server commands (class pcCommand).
inline constexpr uint16_t CMD_cs_LoginStep3 = 5;
inline constexpr uint16_t CMD_cs_ChannelCreate = 201;
inline constexpr uint16_t CMD_cs_ChannelChangePassword = 203;
inline constexpr uint16_t CMD_cs_ChannelChangeProperties = 205;
inline constexpr uint16_t CMD_cs_ChannelChangeName = 206;
inline constexpr uint16_t CMD_cs_ChannelChangeTopic = 207;
inline constexpr uint16_t CMD_cs_ChannelChangeDescription = 208;
inline constexpr uint16_t CMD_cs_ChannelDestroy = 209;
inline constexpr uint16_t CMD_cs_ChannelChangeMaxUsers = 210;
inline constexpr uint16_t CMD_cs_ChannelChangeOrder = 212;
inline constexpr uint16_t CMD_cs_PlayerQuit = 300;
inline constexpr uint16_t CMD_cs_PlayerKick = 301;
inline constexpr uint16_t CMD_cs_PlayerKickFromChannel = 302;
inline constexpr uint16_t CMD_cs_PlayerChannelSwitch = 303;
inline constexpr uint16_t CMD_cs_PlayerFlagsChanged = 304;
inline constexpr uint16_t CMD_cs_PlayerRequestVoice = 305;
inline constexpr uint16_t CMD_cs_PlayerChangeChannelPrivilege = 306;
inline constexpr uint16_t CMD_cs_PlayerChangePrivilege = 307;
inline constexpr uint16_t CMD_cs_PlayerRegister = 308;
inline constexpr uint16_t CMD_cs_PlayerAdminRegister = 310;
inline constexpr uint16_t CMD_cs_PlayerMutePlayer = 320;
inline constexpr uint16_t CMD_cs_PlayerBanIp = 324;
inline constexpr uint16_t CMD_cs_PlayerBanIpPlayer = 325;
inline constexpr uint16_t CMD_cs_PlayerUnbanIp = 326;
inline constexpr uint16_t CMD_cs_PlayerMovePlayer = 330;
inline constexpr uint16_t CMD_cs_PlayerSetUploadBandwidth = 340;
inline constexpr uint16_t CMD_cs_InfoRequestPlayerConnectionInfoOnId = 400;
inline constexpr uint16_t CMD_cs_InfoRequestServerInfo = 405;
inline constexpr uint16_t CMD_cs_InfoRequestBanIpList = 410;
inline constexpr uint16_t CMD_cs_InfoSendText = 430;

// Server to client commands (class pcCommand).
inline constexpr uint16_t CMD_sc_LoginStep4 = 6;  // channel list
inline constexpr uint16_t CMD_sc_LoginStep5 = 7;  // player list
inline constexpr uint16_t CMD_sc_LoginStep6 = 8;  // end of login; its delivery connects
inline constexpr uint16_t CMD_sc_NotifyPlayerEnteredScope = 100;
inline constexpr uint16_t CMD_sc_NotifyPlayerLeftScope = 101;
inline constexpr uint16_t CMD_sc_NotifyPlayerKickedFromChannel = 102;
inline constexpr uint16_t CMD_sc_NotifyPlayerSwitchedChannel = 103;
inline constexpr uint16_t CMD_sc_NotifyPlayerFlagsChanged = 104;
inline constexpr uint16_t CMD_sc_NotifyPlayerRequestedVoice = 105;
inline constexpr uint16_t CMD_sc_NotifyPlayerChannelPrivilegeChanged = 106;
inline constexpr uint16_t CMD_sc_NotifyPlayerPrivilegesChanged = 107;
inline constexpr uint16_t CMD_sc_PlayerRegisterComplete = 107;  // same code, other occasion
inline constexpr uint16_t CMD_sc_NotifyPlayersInSwitchedChannel = 108;
inline constexpr uint16_t CMD_sc_NotifyPlayerMovedToChannel = 109;
inline constexpr uint16_t CMD_sc_NotifyChannelCreated = 110;
inline constexpr uint16_t CMD_sc_NotifyChannelNameChanged = 111;
inline constexpr uint16_t CMD_sc_NotifyChannelTopicChanged = 112;
inline constexpr uint16_t CMD_sc_NotifyChannelPropertiesChanged = 113;
inline constexpr uint16_t CMD_sc_NotifyChannelDescriptionChanged = 114;
inline constexpr uint16_t CMD_sc_NotifyChannelDestroyed = 115;
inline constexpr uint16_t CMD_sc_NotifyChannelMaxUsersChanged = 116;
inline constexpr uint16_t CMD_sc_NotifyChannelOrderChanged = 117;
inline constexpr uint16_t CMD_sc_NotifyTextMessage = 130;
inline constexpr uint16_t CMD_sc_NotifyServerPropertiesChanged = 140;
inline constexpr uint16_t CMD_sc_ChannelChangePasswordReply = 204;
inline constexpr uint16_t CMD_sc_PlayerAdminRegisteredOK = 311;
inline constexpr uint16_t CMD_sc_PlayerMutePlayerReply = 321;
inline constexpr uint16_t CMD_sc_InfoReplyPlayerConnectionInfo = 404;
inline constexpr uint16_t CMD_sc_InfoReplyServerInfo = 406;
inline constexpr uint16_t CMD_sc_InfoReplyBanIpList = 411;

// An error packet's CommandType is its negative protocol error code.
constexpr uint16_t ErrorPacketType(int16_t errorCode) { return static_cast<uint16_t>(errorCode); }
constexpr bool IsErrorPacketType(uint16_t commandType) { return commandType >= 0x8000; }

}  // namespace qv
