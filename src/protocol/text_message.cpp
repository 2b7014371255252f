#include "protocol/text_message.h"

#include "protocol/command_types.h"
#include "protocol/single_connection.h"

namespace qv {

namespace {
// The longest command a client takes in one piece.
constexpr size_t kMaxMessageText = TSingleConnection::kMaxMessageSize - TextMessageLayout::Text - 1;
}  // namespace

TPacketPtr NewTextMessagePacket(uint32_t connectionId, uint32_t playerId, uint32_t value, uint8_t targetKind,
                                std::string_view senderNick, std::string_view text) {
  TPacketPtr n = NewCommandPacket(CMD_sc_NotifyTextMessage, connectionId, playerId);
  n->SetSize(TextMessageLayout::Text);
  n->SetU32(TextMessageLayout::Value, value);
  n->SetU8(TextMessageLayout::TargetKind, targetKind);
  n->SetPosition(TextMessageLayout::Nick);
  n->WriteText(senderNick, kShortTextField);
  n->WriteCString(text.substr(0, kMaxMessageText));
  return n;
}

}  // namespace qv
