#include <gtest/gtest.h>

#include "protocol/protocol_errors.h"

namespace qv {
namespace {

TEST(ServerLangTest, TextsOfCodes) {
  EXPECT_EQ(ProtocolErrorText(-102), "ChannelId does not exist");
  EXPECT_EQ(ProtocolErrorText(-10), "Connection Timed out");
  EXPECT_EQ(ProtocolErrorText(-2000), "Server is blacklisted (banned)");
  EXPECT_EQ(ProtocolErrorText(-1007),
            "Need server admin, channel admin or channel operator rights to complete operation");
  // Multi-line texts break with CR LF.
  EXPECT_EQ(ProtocolErrorText(-20), "Connection reset by peer.\r\nMaybe there is no server running");
  EXPECT_EQ(ProtocolErrorText(-11),
            "No reply from server\r\nMaybe the server is offline\r\nor maybe quillvane is not running on it");
  // 1002 is positive; its negative twin has no text.
  EXPECT_EQ(ProtocolErrorText(1002), "Need to be a registered player to complete operation");
  EXPECT_EQ(ProtocolErrorText(-1002), "");
}

TEST(ServerLangTest, CodesWithoutText) {
  for (int32_t code : {0, 1, -1, -122, -123, -1010, -3000, 815}) {
    EXPECT_EQ(ProtocolErrorText(code), "") << code;
  }
}

}  // namespace
}  // namespace qv
