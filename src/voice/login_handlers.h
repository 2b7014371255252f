// Login and logout: the login steps, the quit, and the login reply other
// handlers share.
//
// Thread rules: listener thread, both locks held (see listener_context.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "voice/listener_context.h"

namespace qv::voice {

// CMD_sc_LoginStep2 with the verdict; FillLoginReply adds the server's details.
TPacketPtr NewLoginReply(const TClientRec& player, int32_t result);
void FillLoginReply(TPacket& packet, const TServerSettings& settings, int32_t result);
// Writes the 66-byte group permission table at the packet's position.
void WritePermissionTable(TPacket& packet, const TPermissionTable& table);

// The nick itself when free; else the nick followed by the smallest free
// number; "Guest<n>" for an empty nick or when the number does not fit.
std::string GetGuestPlayerName(const TListenerContext& ctx, std::string_view nick);

// Handlers (command_table.cpp runs them): each takes the request and
// returns 0 or the refusal to send back.
int32_t CMD_cs_LoginStep1(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_LoginStep3(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerQuit(TListenerContext& ctx, TClientRec* player, TPacket& request);

// The login's channel list, player list and end of login, to one player.
void CMD_sc_LoginStep4(TListenerContext& ctx, const TClientRec& to);
void CMD_sc_LoginStep5(TListenerContext& ctx, const TClientRec& to);
void CMD_sc_LoginStep6(TListenerContext& ctx, TClientRec& to);

}  // namespace qv::voice
