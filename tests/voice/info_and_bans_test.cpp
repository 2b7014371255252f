// Text messages, the information replies and IP bans on a running server,
// checked in the bytes the clients receive.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>

#include "base/date_time.h"
#include "base/version.h"
#include "protocol/single_connection.h"
#include "support/live_server.h"
#include "protocol/protocol_errors.h"
#include "voice/view_notifications.h"

namespace qv {
namespace {

using test::LiveServerTest;
using test::Slice;
using test::TPayload;
using test::WireText30;
using test::WireU16;
using test::WireU32;

constexpr TUserPermissions kTextRights[] = {upSendTextToAll, upSendTextToOwnChannel, upSendTextToAllChannel,
                                            upSendTextToPlayer};

class InfoAndBansTest : public LiveServerTest {
 protected:
  InfoAndBansTest() { defaults.MaxUsers = 20; }
  // The text messages the client has received since the last call.
  static std::vector<TClientEvent> Texts(TQVClient& c) {
    Sync(c);
    return Take(c, [](const TClientEvent& e) { return e.Kind == ceTextMessage; });
  }
  // Sends a text and returns the error code it got (0 for none).
  static int32_t Text(TQVClient& from, uint8_t kind, uint32_t target, const std::string& text) {
    EXPECT_TRUE(from.SendText(kind, target, text, 77));
    Sync(from);
    return ErrorFor(from, CMD_cs_InfoSendText);
  }
  static std::vector<uint8_t> BanList(TQVClient& c) {
    return Ask(c, CMD_cs_InfoRequestBanIpList, {}, CMD_sc_InfoReplyBanIpList);
  }
  static std::vector<uint8_t> BanIp(const std::string& ip) { return TPayload().U16(0).CString(ip); }
  static std::vector<uint8_t> Unban(const std::string& ip) { return TPayload().CString(ip); }
  int LoginResult(const std::string& nick) {
    int result = 0;
    Attempt(Request(nick), &result);
    return result;
  }
};

TEST_F(InfoAndBansTest, TextMessagesNeedTheRightForTheirTarget) {
  StartServer();
  const int32_t other = AddChannel("Other");
  const auto lobby = static_cast<uint32_t>(DefaultChannel());
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  TQVClient& carol = Login("carol", "Other");
  for (TUserPermissions p : kTextRights) SetPermission(p, false);
  SetPermission(ugAnonymous, upSendTextToOwnChannel, true);

  // His own channel: the members get it, in the notification's bytes.
  EXPECT_EQ(Text(alice, 1, lobby, "hello own"), 0);
  std::vector<TClientEvent> got = Texts(bob);
  ASSERT_EQ(got.size(), 1u);
  const std::vector<uint8_t>& raw = got[0].Raw;
  ASSERT_EQ(raw.size(), 59u + 9 + 1);
  EXPECT_EQ(WireU32(raw, 24), 77u);
  EXPECT_EQ(raw[28], 1);
  EXPECT_EQ(Slice(raw, 29, 30), WireText30("alice"));
  EXPECT_EQ(std::string(raw.begin() + 59, raw.end() - 1), "hello own");
  EXPECT_EQ(raw.back(), 0);
  EXPECT_TRUE(Texts(carol).empty());

  // Another channel needs the right to write to every channel.
  EXPECT_EQ(Text(alice, 1, static_cast<uint32_t>(other), "hello other"), peInsufficientPermission);
  EXPECT_TRUE(Texts(carol).empty());
  SetPermission(ugAnonymous, upSendTextToOwnChannel, false);
  SetPermission(ugAnonymous, upSendTextToAllChannel, true);
  EXPECT_EQ(Text(alice, 1, static_cast<uint32_t>(other), "hello other"), 0);
  got = Texts(carol);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Text, "hello other");
  EXPECT_TRUE(Texts(bob).empty());
  EXPECT_EQ(Text(alice, 1, lobby, "own again"), 0);  // covers his own channel too
  EXPECT_EQ(Texts(bob).size(), 1u);

  // A player.
  EXPECT_EQ(Text(alice, 2, bob.PlayerId(), "psst"), peInsufficientPermission);
  SetPermission(ugAnonymous, upSendTextToPlayer, true);
  EXPECT_EQ(Text(alice, 2, bob.PlayerId(), "psst"), 0);
  got = Texts(bob);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Action, 2);
  EXPECT_TRUE(Texts(carol).empty());
  EXPECT_EQ(Text(alice, 2, 9999, "nobody"), 0);  // dropped without an error

  // Everybody, the sender included.
  EXPECT_EQ(Text(alice, 0, 0, "all"), peInsufficientPermission);
  SetPermission(ugAnonymous, upSendTextToAll, true);
  ASSERT_TRUE(alice.SendText(0, 0, "all"));
  for (TQVClient* c : {&alice, &bob, &carol}) EXPECT_EQ(Texts(*c).size(), 1u);
}

TEST_F(InfoAndBansTest, ConnectionInfoCarriesAddressAndPortOnlyForServerAdmins) {
  StartServer();
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  const auto request = TPayload().U32(bob.PlayerId());

  std::vector<uint8_t> raw = Ask(alice, CMD_cs_InfoRequestPlayerConnectionInfoOnId, request,
                                 CMD_sc_InfoReplyPlayerConnectionInfo);
  ASSERT_EQ(raw.size(), 164u);
  EXPECT_EQ(WireU32(raw, 24), bob.PlayerId());
  EXPECT_EQ(std::vector<uint16_t>({WireU16(raw, 40), WireU16(raw, 42), WireU16(raw, 44), WireU16(raw, 46)}),
            std::vector<uint16_t>({2, 0, 32, 60}));
  EXPECT_EQ(Slice(raw, 64, 30), WireText30(""));
  EXPECT_EQ(WireU16(raw, 94), 0);
  EXPECT_EQ(Slice(raw, 96, 30), WireText30(""));  // anonymous: no login name
  EXPECT_EQ(static_cast<int32_t>(WireU32(raw, 126)), DefaultChannel());
  EXPECT_EQ(Slice(raw, 134, 30), WireText30("Linux"));

  SetPlayerPrivileges(alice, spSA);
  raw = Ask(alice, CMD_cs_InfoRequestPlayerConnectionInfoOnId, request, CMD_sc_InfoReplyPlayerConnectionInfo);
  ASSERT_EQ(raw.size(), 164u);
  EXPECT_EQ(Slice(raw, 64, 30), WireText30("127.0.0.1"));
  EXPECT_EQ(WireU16(raw, 94), endpoint->LocalPort());

  Send(alice, CMD_cs_InfoRequestPlayerConnectionInfoOnId, TPayload().U32(9999));
  EXPECT_EQ(ErrorFor(alice, CMD_cs_InfoRequestPlayerConnectionInfoOnId), pePlayerIdNotFound);
}

TEST_F(InfoAndBansTest, ServerInfoReply) {
  StartServer();
  TQVClient& alice = Login("alice");
  Login("bob");
  const std::vector<uint8_t> raw = Ask(alice, CMD_cs_InfoRequestServerInfo, {}, CMD_sc_InfoReplyServerInfo);
  ASSERT_EQ(raw.size(), 100u);
  EXPECT_EQ(WireU32(raw, 28), 0u);
  const std::array<uint16_t, 4> version = server->Settings().Version;
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(WireU16(raw, 32 + 2 * i), version[i]);
  EXPECT_EQ(WireU32(raw, 40), 2u);
  EXPECT_GT(WireU32(raw, 44), 0u);  // packets received
  EXPECT_EQ(WireU32(raw, 48), 0u);  // a 32-bit count in a 64-bit field
  EXPECT_GT(WireU32(raw, 60), 0u);  // packets sent
  EXPECT_EQ(WireU32(raw, 64), 0u);
  EXPECT_EQ(WireU32(raw, 92), 2u);  // completed logins
  EXPECT_EQ(WireU32(raw, 96), 0u);
}

TEST_F(InfoAndBansTest, BanByAddressRefusesTheNextLoginAtOnceAndUnbanLetsItIn) {
  StartServer();
  TQVClient& alice = Login("alice");
  SetPermission(upAdminBanIp, false);

  std::vector<uint8_t> list = BanList(alice);
  ASSERT_EQ(list.size(), 28u);
  EXPECT_EQ(WireU32(list, 24), 0u);

  Send(alice, CMD_cs_PlayerBanIp, BanIp("10.1.2.3"));
  EXPECT_EQ(ErrorFor(alice, CMD_cs_PlayerBanIp), peInsufficientPermission);
  EXPECT_EQ(WireU32(BanList(alice), 24), 0u);

  // No server admin needed to ban by address text.
  SetPermission(ugAnonymous, upAdminBanIp, true);
  Send(alice, CMD_cs_PlayerBanIp, BanIp("10.1.2.3"));
  EXPECT_EQ(ErrorFor(alice, CMD_cs_PlayerBanIp), 0);
  list = BanList(alice);
  const std::string entry("10.1.2.3\0\0\0alice[]\0", 19);
  ASSERT_EQ(list.size(), 28u + entry.size());
  EXPECT_EQ(WireU32(list, 24), 1u);
  EXPECT_EQ(std::string(list.begin() + 28, list.end()), entry);

  Send(alice, CMD_cs_PlayerBanIp, BanIp("127.0.0.1"));
  EXPECT_EQ(LoginResult("dave"), -6);
  EXPECT_TRUE(Record(alice.PlayerId()).has_value());  // the ban removes nobody

  Send(alice, CMD_cs_PlayerUnbanIp, Unban("127.0.0.1"));
  EXPECT_EQ(ErrorFor(alice, CMD_cs_PlayerUnbanIp), 0);
  EXPECT_EQ(LoginResult("erin"), 1);
  EXPECT_EQ(WireU32(BanList(alice), 24), 1u);
}

TEST_F(InfoAndBansTest, BanByPlayerRemovesHimAndBansHisAddress) {
  StartServer();
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  TQVClient& carol = Login("carol");
  SetPermission(upAdminBanIp, false);
  SetPermission(ugAnonymous, upAdminBanIp, true);
  SetPlayerPrivileges(bob, spSA);
  const auto banBob = TPayload().U32(bob.PlayerId()).U16(30).Text30("bye");

  // A server admin is banned only by a server admin.
  Send(alice, CMD_cs_PlayerBanIpPlayer, banBob);
  EXPECT_EQ(ErrorFor(alice, CMD_cs_PlayerBanIpPlayer), peInsufficientPermission);
  Send(alice, CMD_cs_PlayerBanIpPlayer, TPayload().U32(9999).U16(0).Text30("x"));
  EXPECT_EQ(ErrorFor(alice, CMD_cs_PlayerBanIpPlayer), pePlayerIdNotFound);
  EXPECT_EQ(WireU32(BanList(alice), 24), 0u);
  EXPECT_TRUE(Record(bob.PlayerId()).has_value());

  SetPlayerPrivileges(alice, spSA);
  const uint32_t bobId = bob.PlayerId();
  Send(alice, CMD_cs_PlayerBanIpPlayer, banBob);
  EXPECT_EQ(ErrorFor(alice, CMD_cs_PlayerBanIpPlayer), 0);
  for (TQVClient* c : {&bob, &carol}) {
    auto left = c->WaitFor([&](const TClientEvent& e) { return e.Kind == cePlayerLeft && e.PlayerId == bobId; },
                           test::kWaitMs);
    ASSERT_TRUE(left.has_value());
    EXPECT_EQ(left->Reason, lrKicked);
    EXPECT_EQ(left->ActorId, alice.PlayerId());
    EXPECT_EQ(left->Text, "bye");
  }
  EXPECT_TRUE(WaitGone(bobId));

  const std::vector<uint8_t> list = BanList(alice);
  const std::string entry("127.0.0.1\0\x1e\0alice[]\0", 20);
  EXPECT_EQ(WireU32(list, 24), 1u);
  EXPECT_EQ(std::string(list.begin() + 28, list.end()), entry);
  EXPECT_EQ(LoginResult("dave"), -6);
}

TEST_F(InfoAndBansTest, ABanListTooLongForOneReplyEndsWithTheLastBanThatFits) {
  StartServer();
  TQVClient& alice = Login("alice");
  const std::string by(60, 'b');
  {
    TStorageLock lock(db.Storage());
    for (int i = 0; i < 900; ++i) {
      ASSERT_TRUE(db.Scripts().Load("new_ban.sql"));
      db.Storage().SetParamInteger(":iServerID", serverId);
      db.Storage().SetParamString(":sBy", by);
      db.Storage().SetParamString(":sIP", fmt::format("10.{}.{}.{:0>54}", i / 256, i % 256, 1));
      db.Storage().SetParamDateTime(":dtCreated", Now());
      db.Storage().SetParamInteger(":iMinutes", i);
      ASSERT_TRUE(db.Storage().ExecSQL());
    }
  }
  server->ReloadBans();

  const std::vector<uint8_t> list = BanList(alice);
  const uint32_t count = WireU32(list, 24);
  EXPECT_GT(count, 700u);
  EXPECT_LT(count, 900u);
  EXPECT_LE(list.size(), TSingleConnection::kMaxMessageSize);
  // The entries the count announces fill the reply exactly, in storage order.
  size_t at = 28;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t ipEnd = std::find(list.begin() + static_cast<long>(at), list.end(), 0) - list.begin();
    ASSERT_LT(ipEnd + 3, list.size()) << "entry " << i;
    EXPECT_EQ(WireU16(list, ipEnd + 1), i);
    at = ipEnd + 3 + by.size() + 1;
  }
  EXPECT_EQ(at, list.size());
}

}  // namespace
}  // namespace qv
