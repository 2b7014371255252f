// The protocol client's packet building and decoding: the login request in
// bytes, and decoding that never reads past what the server sent.
#include <gtest/gtest.h>

#include <random>

#include "client/qv_client.h"
#include "protocol/command_types.h"

namespace qv {
namespace {

TEST(ClientPackets, LoginRequestBytes) {
  TClientLogin login;
  login.ClientName = "cli";
  login.ClientPlatform = "Lx";
  login.ClientVersion = {2, 0, 0x1C, 0x0102};
  login.UniqueNick = true;
  login.ServerPasswordFlag = true;
  login.LoginName = "admin";
  login.Password = "pw";
  login.NickName = std::string(35, 'n');  // cut to 29
  TPacketPtr p = BuildLoginRequest(login);
  ASSERT_EQ(p->Size(), 180u);
  const uint8_t* b = p->Data();
  EXPECT_EQ(b[0], 0xF4);
  EXPECT_EQ(b[1], 0xBE);
  EXPECT_EQ(b[2], 3);
  EXPECT_EQ(p->GetU32(4), 0u);
  EXPECT_EQ(p->GetU32(8), 0u);
  EXPECT_EQ(b[20], 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b) + 21, 3), "cli");
  EXPECT_EQ(b[24], 0);
  EXPECT_EQ(b[50], 2);
  const uint8_t version[] = {2, 0, 0, 0, 0x1C, 0, 0x02, 0x01};
  EXPECT_EQ(std::vector<uint8_t>(b + 80, b + 88), std::vector<uint8_t>(version, version + 8));
  EXPECT_EQ(b[88], 1);
  EXPECT_EQ(b[89], 1);
  EXPECT_EQ(b[90], 5);
  EXPECT_EQ(b[120], 2);
  EXPECT_EQ(b[150], 29);
  EXPECT_EQ(b[179], 'n');

  TPacketPtr step3 = BuildLoginStep3(login, 7, 9);
  ASSERT_EQ(step3->Size(), 120u);
  EXPECT_EQ(step3->CommandType(), CMD_cs_LoginStep3);
  EXPECT_EQ(step3->GetU32(4), 7u);
  EXPECT_EQ(step3->GetU32(8), 9u);
}

TEST(ClientPackets, CountsFromTheServerNeverReadPastThePacket) {
  // A player list claiming 200 entries: at most the ten slots are read.
  TPacketPtr list = NewCommandPacket(CMD_sc_LoginStep5, 1, 1);
  list->SetSize(468);
  list->SetU32(24, 200);
  TClientEvent e = ParseServerPacket(*list);
  EXPECT_EQ(e.Kind, cePlayerList);
  EXPECT_TRUE(e.Malformed);
  EXPECT_EQ(e.Players.size(), 10u);

  // Cut short inside the first entry.
  list->SetSize(40);
  list->SetU32(24, 1);
  e = ParseServerPacket(*list);
  EXPECT_TRUE(e.Malformed);
  EXPECT_TRUE(e.Players.empty());

  // A channel list claiming a thousand channels but holding one.
  TPacketPtr channels = NewCommandPacket(CMD_sc_LoginStep4, 1, 1);
  channels->WriteU32(1000);
  channels->WriteI32(4);
  channels->SetSize(channels->Size() + 12);
  channels->SetPosition(channels->Size());
  channels->WriteCString("Lobby");
  channels->WriteCString("");
  channels->WriteCString("");
  e = ParseServerPacket(*channels);
  EXPECT_TRUE(e.Malformed);
  ASSERT_EQ(e.Channels.size(), 1u);
  EXPECT_EQ(e.Channels[0].Id, 4);
  EXPECT_EQ(e.Channels[0].Name, "Lobby");

  // A short login reply.
  TPacketPtr reply = NewControlPacket(CMD_sc_LoginStep2, 0, 3);
  reply->SetSize(200);
  EXPECT_EQ(ParseLoginReply(*reply).Result, peBadResponse);
}

TEST(ClientPackets, RandomServerCommandsDecodeWithoutFault) {
  std::mt19937 rng(7);
  const uint16_t types[] = {6, 7, 8, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110,
                            111, 112, 113, 114, 115, 116, 117, 130, 140, 0xFF9A, 999};
  for (int i = 0; i < 3000; ++i) {
    TPacketPtr p = NewCommandPacket(types[i % std::size(types)], 1, 1);
    const size_t extra = rng() % 600;
    for (size_t k = 0; k < extra; ++k) p->WriteU8(static_cast<uint8_t>(rng()));
    TClientEvent e = ParseServerPacket(*p);
    EXPECT_LE(e.Players.size(), 10u);
    EXPECT_FALSE(DescribeEvent(e).empty());
  }
}

TEST(ClientPackets, VersionText) {
  auto v = ParseVersion("2.0.32.60");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(*v, (std::array<uint16_t, 4>{2, 0, 32, 60}));
  for (const char* bad : {"2.0.32", "2.0.x.1", "70000.0.0.0", "1.2.3.4.5", "", "1..2.3"}) {
    EXPECT_FALSE(ParseVersion(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace qv
