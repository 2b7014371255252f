// The live view of a running virtual server for the web interface: its
// channel tree as the clients see it, with the players in each channel and
// their traffic. A snapshot is copied out of the server under its locks (the
// runtime lease first, then the player list, then the channel tree) and
// released before anything is rendered.
//
// Thread rules: runs on the request's thread; takes the server's locks for
// the copy only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/server_moderation.h"
#include "model/server_object.h"

namespace qv {

struct TLivePlayer {
  uint32_t Id = 0;
  int32_t ChannelId = -1;
  std::string NickName;
  std::string LoginName;  // empty for an anonymous player
  uint16_t PlayerPrivileges = 0;
  uint16_t ChannelPrivileges = 0;
  uint16_t PlayerFlags = 0;
  uint32_t ConnectedSeconds = 0;
  uint32_t IdleSeconds = 0;
  std::string Address;  // empty unless the viewer may see it
  int32_t Ping = -1;    // milliseconds; -1 unless the viewer may see it
  uint64_t PacketsIn = 0, PacketsOut = 0, BytesIn = 0, BytesOut = 0;
};

struct TLiveChannel {
  int32_t Id = 0;
  int32_t ParentId = -1;
  int Depth = 0;  // 0 for a top-level channel, 1 for a sub-channel
  std::string Name;
  std::string Topic;
  uint16_t Flags = 0;
  uint16_t Codec = 0;
  uint16_t Order = 0;
  uint16_t MaxUsers = 0;
  std::vector<TLivePlayer> Players;  // in player-list order
};

struct TLiveView {
  // In the order the clients show them: top-level channels by order, then
  // name; each followed by its sub-channels in the same order.
  std::vector<TLiveChannel> Channels;
  int PlayerCount = 0;
  uint64_t PacketsIn = 0, PacketsOut = 0, BytesIn = 0, BytesOut = 0;
};

// The view of a running server; nullopt when it does not run. withAddresses:
// the players' addresses and pings are filled in.
std::optional<TLiveView> SnapshotServer(const TServerObject& server, bool withAddresses);

// The markup of the view. value(text) returns what stands for a text in the
// page (the escaped text, or a token the page replaces by it).
using TPageValue = std::function<std::string(std::string_view)>;
std::string RenderLiveView(const TLiveView& view, const TPageValue& value);
// The options of the moderation forms' player and channel choices.
std::string RenderPlayerOptions(const TLiveView& view, const TPageValue& value);
std::string RenderChannelOptions(const TLiveView& view, const TPageValue& value);
// The rows of the bans table, each with its unban form.
std::string RenderBans(const std::vector<TBanEntry>& bans, const TPageValue& value);

// "CA OP V" and the like: the short names of the privileges and flags set.
std::string PrivilegeNames(const TLivePlayer& player);
std::string PlayerFlagNames(uint16_t flags);
std::string ChannelFlagNames(uint16_t flags);

}  // namespace qv
