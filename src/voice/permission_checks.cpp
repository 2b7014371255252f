// Who may do what, the privileges a player gets in a channel and the join
// test of a channel.
#include "voice/permission_checks.h"
#include "protocol/command_types.h"
#include "protocol/protocol_errors.h"
#include "voice/view_notifications.h"
#include "voice/wire_layouts.h"

namespace qv::voice {

namespace {

constexpr uint8_t kRevokedByServer = 3;

// cp* bit and its index on the wire, in the order moderation takes them away.
constexpr std::pair<uint16_t, uint8_t> kModerationPrivileges[] = {
    {cpOP, 1}, {cpV, 2}, {cpAutoOP, 3}, {cpAutoV, 4}};

}  // namespace

// ---------------------------------------------------------------------------
// Permission checks

bool HasPermission(const TListenerContext& ctx, const TClientRec* player, TUserPermissions permission) {
  try {
    return ctx.Server().HasPermission(player, permission);
  } catch (const std::exception& e) {
    ctx.LogHandlerException("HasPermission", e);
    return false;
  }
}

bool CheckClientChannelPermission(const TListenerContext& ctx, TChannelRec* channel, const TClientRec* player,
                                  TUserPermissions permission) {
  if (!channel || !player) return false;
  try {
    TClientRec asMember(*player);
    asMember.ChannelPrivileges = ctx.Channels().GetChannelAttribs(channel, player);
    return HasPermission(ctx, &asMember, permission);
  } catch (const std::exception& e) {
    ctx.LogHandlerException("CheckClientChannelPermission", e);
    return false;
  }
}

bool CheckClientCAPermission(const TListenerContext& ctx, const TClientRec* player, TUserPermissions permission) {
  if (!player) return false;
  try {
    TClientRec asAdmin(*player);
    asAdmin.ChannelPrivileges = cpCA;
    asAdmin.PlayerFlags = 0;
    return HasPermission(ctx, &asAdmin, permission);
  } catch (const std::exception& e) {
    ctx.LogHandlerException("CheckClientCAPermission", e);
    return false;
  }
}

// ---------------------------------------------------------------------------
// Channel privileges

void SetPlayerChannelFlagsAndPrivileges(TListenerContext& ctx, TChannelRec* channel, TClientRec* player) {
  if (!channel || !player) return;
  try {
    uint16_t privileges = ctx.Channels().GetChannelAttribs(channel, player);
    // The admin of a channel is admin of its sub-channels too.
    if (TChannelRec* parent = ctx.Channels().GetMainChannel(channel->Id)) {
      if (ctx.Channels().GetChannelAttribs(parent, player) & cpCA) privileges |= cpCA;
    }
    if (privileges & cpAutoOP) privileges |= cpOP;
    if (privileges & cpAutoV) privileges |= cpV;
    player->ChannelPrivileges = privileges;
    player->PlayerFlags &= static_cast<uint16_t>(~pfRequestVoice);
  } catch (const std::exception& e) {
    ctx.LogHandlerException("SetPlayerChannelFlagsAndPrivileges", e);
  }
}

void RemoveModeratedFlags(TListenerContext& ctx, int32_t channelId) {
  try {
    for (const auto& player : ctx.Clients().Items()) {
      if (player->ChannelId != channelId) continue;
      for (auto [bit, index] : kModerationPrivileges) {
        if (!(player->ChannelPrivileges & bit)) continue;
        player->ChannelPrivileges &= static_cast<uint16_t>(~bit);
        NotifyPlayerChannelPrivilegeChanged(ctx, player->PlayerId, 0, kRevokedByServer, index);
      }
    }
  } catch (const std::exception& e) {
    ctx.LogHandlerException("RemoveModeratedFlags", e);
  }
}

int32_t CheckChannelJoin(const TListenerContext& ctx, int32_t channelId, std::string_view password) {
  try {
    const TChannelRec* channel = ctx.Channels().GetChannelById(channelId);
    if (!channel) return peChannelIdNotFound;
    // A sub-channel is guarded by its parent's password.
    const TChannelRec* guard = channel->IsSubChannel() ? ctx.Channels().GetChannelById(channel->ParentId) : channel;
    if (guard && !guard->Password.empty()) {
      const TText29 given(password);
      if (given.empty()) return peChannelPasswordProtected;
      if (!(given == guard->Password)) return 1;
    }
    if (channel->Members.size() >= channel->MaxUsers) return peChannelFull;
    return 0;
  } catch (const std::exception& e) {
    ctx.LogHandlerException("CheckChannelJoin", e);
    return peChannelIdNotFound;
  }
}

}  // namespace qv::voice
