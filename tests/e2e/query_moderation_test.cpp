// The query interface's moderation commands on the real server process:
// each one's reply and what a connected player sees of it, each one refused
// without its right, before a login and for another server's admin, and the
// audit trail of what they changed.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/qv_client.h"
#include "e2e/query_fixture.h"
#include "protocol/command_types.h"
#include "protocol/protocol_errors.h"
#include "protocol/text_message.h"
#include "voice/view_notifications.h"

namespace qv {
namespace {

using test::QueryProcessTest;

std::string Err(const std::string& message) { return "ERROR, " + message.substr(0, 29) + "\r\n"; }
std::string Err(int32_t code) { return Err(ProtocolErrorText(code)); }
const std::string kOk = "OK\r\n";

// Each command with parameters that pass every check but its right.
const char* const kModerationLines[] = {"kick 1 x",
                                        "kickch 1 x",
                                        "ban 1 5 x",
                                        "banip 10.0.0.1 5",
                                        "banlist",
                                        "unban 10.0.0.1",
                                        "msgp 1 hi",
                                        "msgch 1 hi",
                                        "chcreate -1 x",
                                        "chcreate 2 x",
                                        "chedit 2 channel_topic x",
                                        "chedit 2 channel_flags M",
                                        "chdel 2",
                                        "privset 1 sa 1",
                                        "privset 1 op 0"};

class QueryModerationTest : public QueryProcessTest {
 protected:
  TClientLogin Player(const std::string& nick) const {
    TClientLogin login;
    login.ServerPort = udpPort[0];
    login.NickName = nick;
    return login;
  }
  // Takes the moderation rights from every group of the first server in
  // storage, and restarts it so that it reads them.
  void TakeModerationRights(test::TQueryConnection& superAdmin) {
    {
      const std::string sqlDir = test::BuildDir() + "/sqlite_sql/";
      TSQLiteStorage storage(dir.File("server.dbs"));
      TScriptStorage scripts{&storage, sqlDir};
      for (int g = 0; g < kUserGroupCount; ++g) {
        const std::string group = UserGroupName(static_cast<TUserGroup>(g));
        TPermissionSet set = ReadGroupPermissions(scripts, serverId[0], group);
        for (TUserPermissions right :
             {upKickPlayerFromServer, upKickPlayerFromChannel, upAdminBanIp, upSendTextToPlayer, upSendTextToAllChannel,
              upChannelCreateRegisterred, upChannelCreateSubchannels, upChannelEditTopic, upChannelCreateModerated,
              upChannelDelete, upPrivilegeGrantSA, upPrivilegeRevokeOp})
          set.reset(right);
        SaveGroupPermissions(scripts, serverId[0], group, set);
      }
    }
    EXPECT_EQ(superAdmin.Send("serverstop"), kOk);
    EXPECT_EQ(superAdmin.Send("serverstart " + std::to_string(serverId[0])), kOk);
  }
};

TEST_F(QueryModerationTest, EachCommandReachesTheConnectedPlayers) {
  TQVClient one, two, three;
  ASSERT_EQ(one.Login(Player("one")), 1);
  ASSERT_EQ(two.Login(Player("two")), 1);
  ASSERT_EQ(three.Login(Player("three")), 1);
  const std::string p1 = std::to_string(one.PlayerId()), p2 = std::to_string(two.PlayerId()),
                    p3 = std::to_string(three.PlayerId()), lobby = std::to_string(lobbyId);
  const uint32_t oneId = one.PlayerId(), threeId = three.PlayerId();
  auto c = SuperAdmin(8);

  struct TRow {
    std::string Line;
    std::string Reply;
    std::function<bool(const TClientEvent&)> Seen;  // by player two; none when empty
  };
  const TRow rows[] = {
      {"msgp " + p2 + " hi  there", kOk,
       [](const TClientEvent& e) {
         return e.Kind == ceTextMessage && e.Action == tkPlayer && e.Nick == "telnet.boss" && e.Text == "hi  there";
       }},
      {"msgch 1 hello", kOk, [](const TClientEvent& e) { return e.Kind == ceTextMessage && e.Action == tkChannel; }},
      {"msgch 77 hello", Err(peChannelIdNotFound), {}},
      {"mptc " + lobby + " " + p1, kOk, {}},
      {"kickch " + p1 + " go back", kOk,
       [&](const TClientEvent& e) { return e.Kind == cePlayerKicked && e.PlayerId == oneId && e.Text == "go back"; }},
      {"kickch " + p1, Err(peAlreadyChannelMember), {}},
      {"privset " + p1 + " SA 1", kOk,
       [&](const TClientEvent& e) { return e.Kind == cePlayerPrivilege && e.PlayerId == oneId && e.Action == 0; }},
      {"privset " + p1 + " sa 1", Err(peAlreadyServerAdmin), {}},
      {"privset " + p1 + " op 1", Err(peNotInModeratedChannel), {}},
      {"privset " + p1 + " xx 1", Err("error"), {}},
      {"privset " + p1 + " sa 2", Err("error"), {}},
      {"chcreate -1 New  Room", "c_id\r\n3\r\nOK\r\n",
       [](const TClientEvent& e) { return e.Kind == ceChannelCreated && e.Channels.at(0).Name == "New  Room"; }},
      {"chcreate -1 New  Room", Err(peChannelExists), {}},
      {"chcreate 0 x", Err("invalid number format"), {}},
      {"chcreate " + lobby + " Inner", "c_id\r\n4\r\nOK\r\n",
       [&](const TClientEvent& e) { return e.Kind == ceChannelCreated && e.Channels.at(0).ParentId == lobbyId; }},
      {"chedit 3 channel_topic fresh topic", kOk,
       [](const TClientEvent& e) { return e.Kind == ceChannelChanged && e.ChannelId == 3 && e.Text == "fresh topic"; }},
      {"chedit 3 channel_password secret", kOk,
       [](const TClientEvent& e) {
         return e.CommandType == CMD_sc_NotifyChannelPropertiesChanged && e.ChannelId == 3;
       }},
      {"chedit 3 channel_flags MH", kOk,
       [](const TClientEvent& e) {
         return e.CommandType == CMD_sc_NotifyChannelPropertiesChanged && e.ChannelId == 3 &&
                (e.Value & 0xFFFF) == (cfModerated | cfHierarchical | cfPassword);
       }},
      {"chedit 3 channel_flags X", Err("error"), {}},
      {"chedit 3 channel_maxusers 70000", Err("invalid number format"), {}},
      {"chedit 3 channel_foo 1", Err("error"), {}},
      {"chdel 1", Err(peChannelNotEmpty), {}},
      {"chdel 3", kOk, [](const TClientEvent& e) { return e.Kind == ceChannelDestroyed && e.ChannelId == 3; }},
      {"ban " + p3 + " 10 flooding", kOk,
       [&](const TClientEvent& e) {
         return e.Kind == cePlayerLeft && e.PlayerId == threeId && e.Reason == lrKicked && e.Text == "flooding";
       }},
      {"ban " + p3 + " 70000 x", Err("invalid number format"), {}},
      {"banip 10.0.* 0", kOk, {}},
      {"banip 10.0.0.0.1 0", Err(peBadArgument), {}},
      {"unban 127.0.0.1", kOk, {}},
      {"unban 127.0.0.1", Err(peBadArgument), {}},
      {"kick " + p1 + " bye", kOk,
       [&](const TClientEvent& e) {
         return e.Kind == cePlayerLeft && e.PlayerId == oneId && e.Reason == lrKicked && e.Text == "bye";
       }},
      {"kick " + p1, Err(pePlayerIdNotFound), {}},
      {"kick abc", Err("invalid number format"), {}},
      {"kick", Err("invalid paramcount"), {}},
  };
  for (const TRow& row : rows) {
    EXPECT_EQ(c->Send(row.Line), row.Reply) << row.Line;
    if (row.Seen) {
      EXPECT_TRUE(two.WaitFor(row.Seen, 5000).has_value()) << row.Line;
    }
  }

  const std::string list = c->Send("banlist");
  EXPECT_EQ(list.rfind("b_ip\tb_minutes\tb_remaining\tb_created\tb_by\r\n10.0.*\t0\t-1\t", 0), 0u) << list;
  EXPECT_NE(list.find("\t\"telnet.boss[boss]\"\r\nOK\r\n"), std::string::npos) << list;

  // The audit trail shows each change but never a channel password.
  const std::string log = test::ReadFile(dir.File("server.log"));
  for (const std::string& change :
       std::vector<std::string>{"mptc " + lobby + " " + p1 + " (server", "kick " + p1 + " bye (server",
                                "chedit 3 channel_password (server", "chdel 3 (server", "unban 127.0.0.1 (server"})
    EXPECT_NE(log.find("admin change [interface: query, IP: 127.0.0.8, LoginName: boss, change: " + change),
              std::string::npos)
        << change;
  EXPECT_EQ(log.find("secret"), std::string::npos);
}

TEST_F(QueryModerationTest, EachCommandIsRefusedWithoutItsRight) {
  // Before a login, and for the admin of the first server on the second.
  auto anonymous = Connect(9);
  EXPECT_EQ(anonymous->Send("sel " + std::to_string(udpPort[0])), kOk);
  for (const char* line : kModerationLines) EXPECT_EQ(anonymous->Send(line), Err("not logged in")) << line;
  // A login belongs to its server: selecting another one ends it.
  auto foreign = Connect(10);
  EXPECT_EQ(foreign->Send("sel " + std::to_string(udpPort[0])), kOk);
  EXPECT_EQ(foreign->Send("login admin adminpw"), kOk);
  EXPECT_EQ(foreign->Send("sel " + std::to_string(udpPort[1])), kOk);
  for (const char* line : kModerationLines) EXPECT_EQ(foreign->Send(line), Err("not logged in")) << line;

  // The first server's own admin, once his group lacks the rights.
  auto boss = SuperAdmin(11);
  TakeModerationRights(*boss);
  auto admin = Connect(12);
  EXPECT_EQ(admin->Send("sel " + std::to_string(udpPort[0])), kOk);
  EXPECT_EQ(admin->Send("login admin adminpw"), kOk);
  for (const char* line : kModerationLines) EXPECT_EQ(admin->Send(line), Err("invalid permissions")) << line;
  // A right the group keeps still passes.
  EXPECT_EQ(admin->Send("chedit 2 channel_name Lounge"), kOk);
}

}  // namespace
}  // namespace qv
