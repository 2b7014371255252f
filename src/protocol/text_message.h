// CMD_sc_NotifyTextMessage: the one layout of a text message to a player,
// built the same way for a player's message (voice) and the administration's
// (query).
//
// Thread rules: none; the packet belongs to the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "protocol/packets.h"

namespace qv {

// Offsets of CMD_sc_NotifyTextMessage: u32 value, u8 target kind, the
// sender's nick in a 30-byte text field, then the zero-terminated message.
struct TextMessageLayout {
  static constexpr size_t Value = 24, TargetKind = 28, Nick = 29, Text = 59;
};

// Who a text message is for (the target kind byte).
enum TTextTargetKind : uint8_t { tkEverybody = 0, tkChannel = 1, tkPlayer = 2 };

// The notification to one recipient. The nick is cut to its field, the
// message so that the packet stays within one reliable message.
TPacketPtr NewTextMessagePacket(uint32_t connectionId, uint32_t playerId, uint32_t value, uint8_t targetKind,
                                std::string_view senderNick, std::string_view text);

}  // namespace qv
