// Player commands: channel switch, kicks, moves, flags, voice requests,
// privileges, registration, mute and upload bandwidth.
//
// Thread rules: listener thread, both locks held (see listener_context.h).
#pragma once

#include <cstdint>

#include "voice/listener_context.h"

namespace qv::voice {

// Handlers (command_table.cpp runs them): each takes the request and
// returns 0 or the refusal to send back.
int32_t CMD_cs_PlayerKick(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerKickFromChannel(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerChannelSwitch(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerFlagsChanged(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerRequestVoice(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerChangeChannelPrivilege(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerChangePrivilege(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerRegister(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerAdminRegister(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerMutePlayer(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerMovePlayer(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_PlayerSetUploadBandwidth(TListenerContext& ctx, TClientRec* player, TPacket& request);

// Moves a logged-in player into another channel as a move by `originator`
// does: his privileges there, the move notification, his flags, the member
// lists and the removal of the tree he left when it is empty and unregistered.
void MovePlayerToChannel(TListenerContext& ctx, TClientRec& player, TChannelRec& channel, uint32_t originator);
// Clears a pending voice request of a player who holds spSA, cpCA, cpOP or
// cpV, and announces his flags.
void SettleVoiceRequest(TListenerContext& ctx, TClientRec& player);

}  // namespace qv::voice
