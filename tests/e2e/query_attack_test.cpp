// The query interface tried as an attacker would: a login used on another
// server, texts that players set, lines that would run elsewhere, and what
// one address may hold. Each table also shows that the legitimate use works.
#include <gtest/gtest.h>

#include <thread>

#include "client/qv_client.h"
#include "e2e/query_fixture.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using test::QueryProcessTest;

const std::string kOk = "OK\r\n";
std::string Err(const std::string& message) { return "ERROR, " + message + "\r\n"; }
bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(QueryProcessTest, ALoginActsOnItsOwnServerOnly) {
  const std::string a = std::to_string(udpPort[0]), b = std::to_string(udpPort[1]);
  auto boss = SuperAdmin(20);
  ASSERT_EQ(boss->Send("sel " + b), kOk);  // a superadmin's login reaches every server
  ASSERT_EQ(boss->Send("dbuseradd badmin Secret4711 Secret4711 1"), kOk);
  auto c = Connect(21);
  const struct {
    std::string line, reply;
  } steps[] = {
      {"sel " + b, kOk},
      {"login badmin Secret4711", kOk},
      {"dbuseradd bob x x 0", kOk},  // its own server
      {"sel " + a, kOk},
      {"dbuseradd evil x x 0", Err("not logged in")},
      {"dbuserchangepw " + std::to_string(adminId) + " owned owned", Err("not logged in")},
      {"mptc 1 1", Err("not logged in")},
      {"sel " + b, kOk},
      {"dbuseradd evil x x 0", Err("not logged in")},  // the login stays ended
      {"login badmin Secret4711", kOk},
      {"sel " + b, kOk},  // selecting its own server again keeps it
      {"dbuseradd carl x x 0", kOk},
  };
  for (const auto& step : steps) EXPECT_EQ(c->Send(step.line), step.reply) << step.line;
  ASSERT_EQ(boss->Send("sel " + a), kOk);
  EXPECT_EQ(boss->Send("dbuserid evil"), Err("no data avaible"));
  const std::string log = test::ReadFile(dir.File("server.log"));
  EXPECT_TRUE(Has(log, "admin change [interface: query, IP: 127.0.0.21, LoginName: badmin, change: dbuseradd bob (server " +
                           std::to_string(serverId[1]) + ")]"))
      << log;
  EXPECT_TRUE(Has(log, "admin change [interface: query, IP: 127.0.0.20, LoginName: boss, change: dbuseradd badmin"));
  EXPECT_FALSE(Has(log, "Secret4711"));
}

TEST_F(QueryProcessTest, HostileTextsNeitherBreakRepliesNorReachPlayers) {
  TQVClient player;
  TClientLogin login;
  login.ServerPort = udpPort[0];
  login.NickName = "a\"b\tc\rd\ne";
  ASSERT_EQ(player.Login(login), 1);
  const std::string pid = std::to_string(player.PlayerId());
  auto c = SuperAdmin(22);
  // Every reply that shows the nick name: one text cell, one "OK" at the end.
  for (const std::string& line : std::vector<std::string>{"pl", "fp a", "pi " + pid, "ci 1", "dccl"}) {
    const std::string reply = c->Send(line);
    EXPECT_TRUE(Has(reply, "\"a'b?c?d?e\"")) << line << ": " << reply;
    EXPECT_EQ(reply.find("OK\r\n"), reply.size() - 4) << line << ": " << reply;
    for (size_t at = 0; (at = reply.find_first_of("\r\n", at)) != std::string::npos; at += 2)
      EXPECT_EQ(reply.compare(at, 2, "\r\n"), 0) << line << ": a line break inside a line";
  }
  auto maxUsersLine = [&] {
    const std::string info = c->Send("si");
    const size_t at = info.find("server_maxusers=");
    return info.substr(at, info.find('\r', at) - at);
  };
  const std::string maxUsers = maxUsersLine();
  const struct {
    std::string line, reply;
  } steps[] = {
      {"serverset server_maxusers -1", Err("invalid number format")},
      {"serverset server_maxusers 70000", Err("invalid number format")},
      {std::string("slogin boss bosspw\0junk", 23), "error\r\n"},
      {"msg hi\x1b[2Jthere\x07!", kOk},
      {std::string("login admin adminpw\0junk", 24), "error\r\n"},
      {"login admin adminpw", kOk},
      {"dbuseradd chief x x 1", Err("invalid permissions")},  // needs the grant right
      {"dbuseradd clerk x x 0", kOk},
  };
  for (const auto& step : steps) EXPECT_EQ(c->Send(step.line), step.reply) << step.line;
  EXPECT_EQ(maxUsersLine(), maxUsers);
  auto text = player.WaitFor(ceTextMessage, 5000);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->Text, "hi[2Jthere!");
  // The access log shows the nick name on one line (a TAB forges no line).
  const std::string log = test::ReadFile(dir.File("server.log"));
  EXPECT_TRUE(Has(log, "client connected [IP: 127.0.0.1, Nick: a\"b\tc?d?e, LoginName: ")) << log;
  EXPECT_FALSE(Has(log, "\ne, LoginName") || Has(log, "\nd\ne")) << log;
}

// What one address may hold, through real sockets: lines must end in time,
// a web browser's request never runs, connections per address are bounded.
TEST_F(QueryProcessTest, WhatOnePeerMayHoldIsBounded) {
  const struct {
    const char* name;
    std::vector<std::string> chunks;  // sent 700 ms apart
    std::string reply;                // "": the server closes without a reply
  } cases[] = {
      {"a line in two parts", {"s", "l\r\n"}, std::to_string(udpPort[0]) + "\r\n" + std::to_string(udpPort[1]) + "\r\nOK\r\n"},
      {"a line drip-fed beyond its deadline", {"s", "l", " ", "x", "y"}, ""},
      {"a browser's post to this port",
       {"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n\r\nslogin boss bosspw\r\ndbsuseradd evil a a\r\n"},
       ""},
      {"the same lines sent by a query client", {"slogin boss bosspw\r\n"}, kOk},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto connection = Connect(30);
    ASSERT_EQ(connection->Greeting, "[QV]\r\n");
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(700ms);
      connection->SendRaw(c.chunks[i]);
    }
    if (c.reply.empty()) {
      EXPECT_TRUE(connection->Closed());
    } else {
      EXPECT_EQ(connection->Send(""), c.reply);  // the empty line only makes it read
    }
  }
  EXPECT_FALSE(Has(SuperAdmin(31)->Send("dbsuserlist"), "evil"));

  std::vector<std::unique_ptr<test::TQueryConnection>> open;
  for (int i = 0; i < 5; ++i) {
    open.push_back(Connect(32));
    ASSERT_EQ(open.back()->Greeting, "[QV]\r\n") << i;
  }
  auto sixth = Connect(32);
  EXPECT_EQ(sixth->Greeting, "");
  EXPECT_TRUE(sixth->Closed());
  EXPECT_EQ(Connect(33)->Greeting, "[QV]\r\n");  // another address is served
  for (auto& connection : open) lingering.push_back(std::move(connection));
}

}  // namespace
}  // namespace qv
