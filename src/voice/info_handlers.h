// IP bans, information requests and text messages.
//
// Every handler reads the whole request before it checks rights or changes
// anything, so a truncated request ends in EStreamError (logged) without a
// trace in the server's state.
//
// Thread rules: listener thread, both locks held (see listener_context.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "voice/listener_context.h"

namespace qv::voice {

// Handlers (command_table.cpp runs them): each takes the request and
// returns 0 or the refusal to send back.
int32_t CMD_cs_PlayerBanIp(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerBanIpPlayer(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerUnbanIp(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_InfoRequestPlayerConnectionInfoOnId(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_InfoRequestServerInfo(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_InfoRequestBanIpList(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_InfoSendText(TListenerContext& ctx, TClientRec* player, TPacket& request);

// A text message of `kind` (tk*) to its target as CMD_cs_InfoSendText sends
// it; a target that does not exist, and an unknown kind, reach nobody.
void SendTextMessage(TListenerContext& ctx, std::string_view senderNick, uint32_t value, uint8_t kind,
                     uint32_t targetId, std::string_view text);
// Bans the player's address for `minutes` with the banned-by text, rereads
// the ban list, and removes him as CMD_cs_PlayerBanIpPlayer does.
void BanAndRemovePlayer(TListenerContext& ctx, TClientRec& target, uint16_t minutes, std::string_view reason,
                        const std::string& bannedBy, uint32_t originator);

}  // namespace qv::voice
