// The bytes of CMD_sc_NotifyTextMessage, written out by hand: u32 value at
// 24, target kind at 28, the nick's 30-byte field at 29 (length byte first),
// the zero-terminated text at 59.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/text_message.h"

namespace qv {
namespace {

std::vector<uint8_t> Expected(uint32_t value, uint8_t kind, const std::string& nick, const std::string& text) {
  std::vector<uint8_t> b(59, 0);
  b[0] = 0xF0, b[1] = 0xBE, b[2] = 130, b[3] = 0;              // class, type
  b[4] = 0x44, b[5] = 0x33, b[6] = 0x22, b[7] = 0x11;          // connection id
  b[8] = 7;                                                    // player id
  b[24] = value & 0xFF, b[25] = (value >> 8) & 0xFF, b[26] = (value >> 16) & 0xFF, b[27] = value >> 24;
  b[28] = kind;
  b[29] = static_cast<uint8_t>(nick.size());
  for (size_t i = 0; i < nick.size(); ++i) b[30 + i] = static_cast<uint8_t>(nick[i]);
  for (char c : text) b.push_back(static_cast<uint8_t>(c));
  b.push_back(0);
  return b;
}

TEST(TextMessagePacket, BytesAreTheOneLayout) {
  struct Case {
    uint32_t Value;
    uint8_t Kind;
    std::string Nick, Text, WireNick;
  };
  const std::string longNick(40, 'n');
  const Case cases[] = {
      {0x0A0B0C0D, tkChannel, "ann", "hello", "ann"},
      {255, tkEverybody, "telnet.admin", "", "telnet.admin"},
      {1, tkPlayer, longNick, "x", longNick.substr(0, 29)},  // the field holds 29 characters
  };
  for (const Case& c : cases) {
    TPacketPtr p = NewTextMessagePacket(0x11223344, 7, c.Value, c.Kind, c.Nick, c.Text);
    std::vector<uint8_t> bytes(p->Data(), p->Data() + p->Size());
    std::vector<uint8_t> want = Expected(c.Value, c.Kind, c.WireNick, c.Text);
    // Sequence and checksum are the sending connection's business.
    for (size_t i = 12; i < 24; ++i) bytes[i] = want[i] = 0;
    EXPECT_EQ(bytes, want) << c.Nick << " / " << c.Text;
  }
}

}  // namespace
}  // namespace qv
