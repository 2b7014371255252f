// Who may do what, the privileges a player gets in a channel and the join
// test of a channel.
#include "protocol/command_types.h"
#include "voice/udp_listener.h"

namespace qv {

namespace {

constexpr uint8_t kRevokedByServer = 3;

// cp* bit and its index on the wire, in the order moderation takes them away.
constexpr std::pair<uint16_t, uint8_t> kModerationPrivileges[] = {
    {cpOP, 1}, {cpV, 2}, {cpAutoOP, 3}, {cpAutoV, 4}};

}  // namespace

// ---------------------------------------------------------------------------
// Permission checks

bool TQVUDPListener::HasPermission(const TClientRec* player, TUserPermissions permission) const {
  try {
    return server_.HasPermission(player, permission);
  } catch (const std::exception& e) {
    LogHandlerException("HasPermission", e);
    return false;
  }
}

bool TQVUDPListener::CheckClientChannelPermission(TChannelRec* channel, const TClientRec* player,
                                                  TUserPermissions permission) const {
  if (!channel || !player) return false;
  try {
    TClientRec asMember(*player);
    asMember.ChannelPrivileges = Channels().GetChannelAttribs(channel, player);
    return HasPermission(&asMember, permission);
  } catch (const std::exception& e) {
    LogHandlerException("CheckClientChannelPermission", e);
    return false;
  }
}

bool TQVUDPListener::CheckClientCAPermission(const TClientRec* player, TUserPermissions permission) const {
  if (!player) return false;
  try {
    TClientRec asAdmin(*player);
    asAdmin.ChannelPrivileges = cpCA;
    asAdmin.PlayerFlags = 0;
    return HasPermission(&asAdmin, permission);
  } catch (const std::exception& e) {
    LogHandlerException("CheckClientCAPermission", e);
    return false;
  }
}

// ---------------------------------------------------------------------------
// Channel privileges

void TQVUDPListener::SetPlayerChannelFlagsAndPrivileges(TChannelRec* channel, TClientRec* player) {
  if (!channel || !player) return;
  try {
    uint16_t privileges = Channels().GetChannelAttribs(channel, player);
    // The admin of a channel is admin of its sub-channels too.
    if (TChannelRec* parent = Channels().GetMainChannel(channel->Id)) {
      if (Channels().GetChannelAttribs(parent, player) & cpCA) privileges |= cpCA;
    }
    if (privileges & cpAutoOP) privileges |= cpOP;
    if (privileges & cpAutoV) privileges |= cpV;
    player->ChannelPrivileges = privileges;
    player->PlayerFlags &= static_cast<uint16_t>(~pfRequestVoice);
  } catch (const std::exception& e) {
    LogHandlerException("SetPlayerChannelFlagsAndPrivileges", e);
  }
}

void TQVUDPListener::RemoveModeratedFlags(int32_t channelId) {
  try {
    for (const auto& player : Clients().Items()) {
      if (player->ChannelId != channelId) continue;
      for (auto [bit, index] : kModerationPrivileges) {
        if (!(player->ChannelPrivileges & bit)) continue;
        player->ChannelPrivileges &= static_cast<uint16_t>(~bit);
        NotifyPlayerChannelPrivilegeChanged(player->PlayerId, 0, kRevokedByServer, index);
      }
    }
  } catch (const std::exception& e) {
    LogHandlerException("RemoveModeratedFlags", e);
  }
}

int32_t TQVUDPListener::CheckChannelJoin(int32_t channelId, std::string_view password) const {
  try {
    const TChannelRec* channel = Channels().GetChannelById(channelId);
    if (!channel) return ctChannelNotFound;
    // A sub-channel is guarded by its parent's password.
    const TChannelRec* guard = channel->IsSubChannel() ? Channels().GetChannelById(channel->ParentId) : channel;
    if (guard && !guard->Password.empty()) {
      const TText29 given(password);
      if (given.empty()) return -110;
      if (!(given == guard->Password)) return 1;
    }
    if (channel->Members.size() >= channel->MaxUsers) return -113;
    return 0;
  } catch (const std::exception& e) {
    LogHandlerException("CheckChannelJoin", e);
    return ctChannelNotFound;
  }
}

}  // namespace qv
