// The per-player privilege store of a channel: one TChannelAttrib per player
// that holds privileges there, kept in TChannelRec::Privileges by player id
// and, for a registered player in a registered channel, in storage (admin,
// auto-operator and auto-voice; operator and voice are never stored).
//
// The operations are TChannels' "channel privileges" members, declared with
// the tree (model/channel_object.h) and defined in channel_privileges.cpp.
//
// Thread rules: those of the channel tree; its lock guards every entry.
#pragma once

#include <cstdint>

namespace qv {

// A player's privileges in one channel.
struct TChannelAttrib {
  uint16_t Flags = 0;  // cp* bits
  uint32_t PlayerId = 0;
};

}  // namespace qv
