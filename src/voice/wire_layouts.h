// The byte layouts of the voice protocol's commands, in one place.
//
// Offsets count from the start of the packet (the 24-byte command header
// comes first; the login request and reply are control packets with a
// 20-byte header). A request layout's Size is the length of its fixed part:
// the command table refuses a shorter request before its handler runs (see
// command_table.h). Texts in 30- and 256-byte fields are length-prefixed;
// texts at the end of a packet are zero-terminated.
#pragma once

#include <cstddef>

#include "protocol/packets.h"

namespace qv {

// ---------------------------------------------------------------------------
// Requests, client to server

// CMD_cs_LoginStep1 (a control packet). A request of another length than
// Size is read up to the version; Version's end is the least it must hold.
struct LoginRequestLayout {
  static constexpr size_t ClientName = 20, Platform = 50, Version = 80, UniqueNick = 88,
                          ServerPasswordFlag = 89, LoginName = 90, Password = 120, NickName = 150,
                          Size = 180;
};
struct LoginStep3Layout {
  static constexpr size_t Step3Flag = 25, Channel = 26, SubChannel = 56, Password = 86,
                          UploadBandwidth = 116, Size = 120;
};

// The 16-byte channel head, relative to where it starts in a packet.
struct ChannelHeadLayout {
  static constexpr size_t Id = 0, Flags = 4, Codec = 6, ParentId = 8, Order = 12, MaxUsers = 14, Size = 16;
};
// CMD_cs_ChannelCreate: the head, then name, topic, description and password.
struct ChannelCreateLayout {
  static constexpr size_t Head = 24, Texts = Head + ChannelHeadLayout::Size, Size = Texts;
};
// The other channel commands: the channel id, then the new value (a
// zero-terminated text, a 30-byte password, flags and codec, or a number).
struct ChannelCommandLayout {
  static constexpr size_t ChannelId = 24, Value = 28, Codec = 30;
  static constexpr size_t TextSize = Value, PasswordSize = Value + kShortTextField, NumberSize = Value + 2,
                          PropertiesSize = Codec + 2;
};

struct TargetTextLayout {  // CMD_cs_PlayerKick, CMD_cs_PlayerKickFromChannel
  static constexpr size_t PlayerId = 24, Text = 28, Size = 58;
};
struct ChannelSwitchLayout {
  static constexpr size_t ChannelId = 24, Password = 28, Size = 58;
};
struct FlagsLayout {
  static constexpr size_t Flags = 24, Size = 26;
};
struct RequestVoiceLayout {
  static constexpr size_t Message = 24, Size = 54;
};
struct PrivilegeRequestLayout {  // both privilege commands
  static constexpr size_t PlayerId = 24, Action = 28, Privilege = 29, Size = 30;
};
struct RegisterLayout {  // AdminSize: CMD_cs_PlayerAdminRegister with its server-admin byte
  static constexpr size_t LoginName = 24, Password = 54, ServerAdmin = 84, Size = 84, AdminSize = 85;
};
struct MuteLayout {
  static constexpr size_t PlayerId = 24, Mute = 28, Size = 29;
};
struct MoveLayout {
  static constexpr size_t PlayerId = 24, ChannelId = 28, Size = 32;
};
struct BandwidthLayout {
  static constexpr size_t Bandwidth = 24, Size = 28;
};

struct SendTextLayout {
  static constexpr size_t Value = 24, TargetKind = 28, TargetId = 29, Text = 33, Size = Text;
};
struct ConnectionInfoRequestLayout {
  static constexpr size_t PlayerId = 24, Size = 28;
};
struct BanIpLayout {
  static constexpr size_t Unused = 24, Ip = 26, Size = Ip;
};
struct BanIpPlayerLayout {
  static constexpr size_t PlayerId = 24, Minutes = 28, Reason = 30, Size = Reason + kShortTextField;
};
struct UnbanIpLayout {
  static constexpr size_t Ip = 24, Size = Ip;
};

// The whisper list that follows the client header of a target-1 voice packet.
struct WhisperLayout {
  static constexpr size_t Count = 16, Entries = 17, EntrySize = 5, Size = Entries;
};

// ---------------------------------------------------------------------------
// Replies and notifications, server to client

// CMD_sc_LoginStep2.
struct LoginReplyLayout {
  static constexpr size_t ServerName = 20, Platform = 50, Version = 80, Result = 88, Codecs = 92,
                          ServerFlags = 100, Permissions = 102, MaxPlayers = 168, ConnectionId = 172,
                          PlayerId = 176, Welcome = 180, Size = 436;
};
// The 44-byte player entry of the player lists and CMD_sc_NotifyPlayerEnteredScope.
struct PlayerEntryLayout {
  static constexpr size_t PlayerId = 0, ChannelId = 4, ChannelPrivileges = 8, PlayerPrivileges = 10,
                          PlayerFlags = 12, NickName = 14, Size = 44;
};
struct LeftScopeLayout {
  static constexpr size_t PlayerId = 24, Reason = 28, ActingPlayerId = 30, ReasonText = 34, Size = 64;
};

// CMD_sc_NotifyChannelCreated: originator, head, name, topic, description.
struct ChannelCreatedLayout {
  static constexpr size_t Originator = 24, Head = 28;
};
// Name, topic and description changes.
struct ChannelTextChangedLayout {
  static constexpr size_t ChannelId = 24, Originator = 28, Text = 32;
};
struct PropertiesChangedLayout {
  static constexpr size_t ChannelId = 24, Flags = 28, Codec = 30, Originator = 32, Size = 36;
};
// Max users and order changes.
struct ChannelValueChangedLayout {
  static constexpr size_t ChannelId = 24, Value = 28, Originator = 30, Size = 34;
};
struct PasswordChangedLayout {
  static constexpr size_t ChannelId = 24, Size = 28;
};
struct ChannelDestroyedLayout {
  static constexpr size_t ChannelId = 24, Originator = 26, Size = 30;
};

struct KickedFromChannelLayout {
  static constexpr size_t PlayerId = 24, OldChannel = 28, NewChannel = 32, Privileges = 36, Reason = 38,
                          Size = 68;
};
struct FlagsChangedLayout {
  static constexpr size_t PlayerId = 24, Flags = 28, Size = 30;
};
struct RequestedVoiceLayout {
  static constexpr size_t PlayerId = 24, Message = 28, Size = 58;
};
struct MovedToChannelLayout {
  static constexpr size_t PlayerId = 24, OldChannel = 28, NewChannel = 32, Originator = 36, Privileges = 40,
                          Size = 42;
};
struct MuteReplyLayout {
  static constexpr size_t PlayerId = 24, Result = 28, Size = 29;
};
// The -111 error packet carries the channel id after the usual error fields.
struct WrongPasswordLayout {
  static constexpr size_t ChannelId = 30, Size = 34;
};
// CMD_sc_NotifyPlayerChannelPrivilegeChanged and CMD_sc_NotifyPlayerPrivilegesChanged.
struct PrivilegeChangedLayout {
  static constexpr size_t PlayerId = 24, Action = 28, Privilege = 29, Originator = 30, Size = 34;
};
// CMD_sc_NotifyPlayerSwitchedChannel.
struct SwitchedChannelLayout {
  static constexpr size_t PlayerId = 24, OldChannel = 28, NewChannel = 32, Privileges = 36, Size = 38;
};

struct ConnectionInfoLayout {
  static constexpr size_t PlayerId = 24, OnlineSeconds = 28, PacketLoss = 32, RoundTrip = 34,
                          IdleSeconds = 36, Version = 40, PacketsSent = 48, BytesSent = 52,
                          PacketsReceived = 56, BytesReceived = 60, Ip = 64, Port = 94, LoginName = 96,
                          ChannelId = 126, ChannelPrivileges = 130, PlayerPrivileges = 132,
                          Platform = 134, Size = 164;
};
struct ServerInfoLayout {
  static constexpr size_t Uptime = 24, Version = 32, Players = 40, PacketsReceived = 44,
                          BytesReceived = 52, PacketsSent = 60, BytesSent = 68, InPerSecond = 76,
                          OutPerSecond = 80, InPerMinute = 84, OutPerMinute = 88, Logins = 92, Size = 100;
};
// CMD_sc_NotifyServerPropertiesChanged.
struct ServerPropertiesLayout {
  static constexpr size_t Codecs = 24, Reserved = 28, ServerFlags = 32, Permissions = 34, MaxUsers = 100,
                          Welcome = 104, Name = 360, Size = 390;
};

}  // namespace qv
