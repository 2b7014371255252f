// Channel commands, and the removal of empty unregistered channels.
//
// Every handler reads the whole request before it tests anything, and makes
// every refusal before it changes anything: a refused or malformed command
// leaves the tree, storage and every client's view as they were.
//
// Thread rules: listener thread, both locks held (see listener_context.h).
#pragma once

#include <cstdint>

#include "voice/listener_context.h"

namespace qv::voice {

// Handlers (command_table.cpp runs them): each takes the request and
// returns 0 or the refusal to send back.
int32_t CMD_cs_ChannelCreate(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_ChannelChangePassword(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_ChannelChangeProperties(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_ChannelChangeName(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_ChannelChangeTopic(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_ChannelChangeDescription(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_ChannelDestroy(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_ChannelChangeMaxUsers(TListenerContext& ctx, TClientRec* player, TPacket& request);
int32_t CMD_cs_ChannelChangeOrder(TListenerContext& ctx, TClientRec* player, TPacket& request);

// The administration's changes (the external commands): the steps of the
// client's commands without a requester's rights, with originator 0.
// AddChannelAsServer returns the new id or a refusal; a channel is stored as
// a client's creation stores it. EditChannelAsServer changes the fields
// `changes` names (TChannelField bits), making every refusal first.
int32_t AddChannelAsServer(TListenerContext& ctx, const TChannelFields& fields);
int32_t EditChannelAsServer(TListenerContext& ctx, int32_t channelId, const TChannelFields& fields, uint16_t changes);
int32_t DeleteChannelAsServer(TListenerContext& ctx, int32_t channelId);

// Whether anybody sits in the channel or, for a top-level channel, in one of
// its sub-channels.
bool ChannelTreeHoldsPlayers(const TListenerContext& ctx, const TChannelRec* channel);
// Removes empty unregistered top-level channels: the one given, or (for a
// negative id) every one, and announces each removed channel.
void ClearChannelUp(TListenerContext& ctx, int32_t channelId);

}  // namespace qv::voice
