// Who may do what, the privileges a player gets in a channel and the join
// test of a channel.
//
// Thread rules: listener thread, both locks held (see listener_context.h).
#pragma once

#include <cstdint>
#include <string_view>

#include "voice/listener_context.h"

namespace qv::voice {

// The player's own rights, with the channel groups of his current channel.
bool HasPermission(const TListenerContext& ctx, const TClientRec* player, TUserPermissions permission);
// As HasPermission with his privileges in that channel; false when either is missing.
bool CheckClientChannelPermission(const TListenerContext& ctx, TChannelRec* channel, const TClientRec* player,
                                  TUserPermissions permission);
// As HasPermission for the admin of a channel he is about to create.
bool CheckClientCAPermission(const TListenerContext& ctx, const TClientRec* player, TUserPermissions permission);
// The player's channel privileges on entering the channel; clears pfRequestVoice.
void SetPlayerChannelFlagsAndPrivileges(TListenerContext& ctx, TChannelRec* channel, TClientRec* player);
// Takes operator and voice (also the automatic ones) from everybody in the
// channel, announcing each as revoked by the server.
void RemoveModeratedFlags(TListenerContext& ctx, int32_t channelId);
// 0: may join; 1: wrong password; peChannelIdNotFound,
// peChannelPasswordProtected (no password given) or peChannelFull.
int32_t CheckChannelJoin(const TListenerContext& ctx, int32_t channelId, std::string_view password);

}  // namespace qv::voice
