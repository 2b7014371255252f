// Player commands: channel switch, kicks, moves, flags, voice requests,
// privileges, registration, mute and upload bandwidth.
//
// Thread rules: listener thread, both locks held (see listener_context.h).
#pragma once

#include <cstdint>
#include <string_view>

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
// Kicks the player from the server as CMD_cs_PlayerKick does: out of his
// channel's member list, and everybody who sees him told (his own copy, with
// the reason, ends his connection).
void KickPlayerFromServer(TListenerContext& ctx, TClientRec& target, std::string_view reason, uint32_t originator);
// Sends the player to the default channel as CMD_cs_PlayerKickFromChannel
// does, taking the channel privileges `taken` in the channel he leaves; 0 or
// peChannelIdNotFound (his channel or the default channel is missing).
int32_t KickPlayerToDefaultChannel(TListenerContext& ctx, TClientRec& kicked, uint16_t taken, std::string_view reason);
// Grants or revokes a channel privilege (its wire index: 0 channel admin, 1
// operator, 2 voice, 3 auto-operator, 4 auto-voice) of a connected player in
// his channel as CMD_cs_PlayerChangeChannelPrivilege does; the rights are
// those of `requester`, every right without one (the administration).
int32_t ChangeChannelPrivilege(TListenerContext& ctx, const TClientRec* requester, uint32_t targetId, bool grant,
                               uint8_t index);
// Clears a pending voice request of a player who holds spSA, cpCA, cpOP or
// cpV, and announces his flags.
void SettleVoiceRequest(TListenerContext& ctx, TClientRec& player);

}  // namespace qv::voice
