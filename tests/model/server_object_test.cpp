// The server object's storage side, settings, flags and registry, with a
// real SQLite file and no protocol thread.
#include <gtest/gtest.h>

#include <memory>

#include "base/log.h"
#include "model/model_test_util.h"
#include "support/log_capture.h"
#include "model/server_object.h"
#include "protocol/udp_socket.h"

namespace qv {
namespace {

using test::TestDatabase;

// A loopback UDP port that was free a moment ago.
uint16_t FreePort() {
  TUDPSocket probe;
  probe.Open(0, "127.0.0.1");
  return probe.LocalPort();
}

std::unique_ptr<TStorageContainer> ReadServer(const TScriptStorage& s, int32_t id) {
  TStorageLock lock(*s);
  s.Load("read_server.sql");
  s->SetParamInteger(":iServerID", id);
  return s->OpenSQL();
}

// The process log in a temporary file for one scope.
class ServerObjectTest : public ::testing::Test {
 protected:
  // A stored server with these settings; returns its id.
  int32_t StoreServer(const TServerSettings& settings) {
    const int32_t id = CreateServerRow(db.Scripts(), kDefaultUdpPort);
    EXPECT_GT(id, 0);
    EXPECT_TRUE(SaveSettings(db.Scripts(), id, settings));
    return id;
  }
  TServerSettings LocalSettings() {
    TServerSettings s = DefaultServerSettings();
    s.UdpPort = FreePort();
    return s;
  }
  std::unique_ptr<TServerObject> NewServer() {
    auto server = std::make_unique<TServerObject>(db.Scripts(), registry);
    server->BoundToIp = "127.0.0.1";
    return server;
  }

  TestDatabase db;
  TServerRegistry registry;
};

TEST(ServerTimeTest, UptimeTextAndSeconds) {
  EXPECT_EQ(FormatUptime(90061), "1D 01:01:01");
  EXPECT_EQ(FormatUptime(59), "00:00:59");
  EXPECT_EQ(FormatUptime(0), "00:00:00");
  EXPECT_EQ(FormatUptime(86399), "23:59:59");
  EXPECT_EQ(FormatUptime(12 * 86400), "12D 00:00:00");

  const TDateTime start = EncodeDateTime(2024, 2, 28, 23, 59, 59, 0);
  EXPECT_EQ(SecondsBetween(EncodeDateTime(2024, 2, 29, 0, 0, 1, 499), start), 2u);
  EXPECT_EQ(SecondsBetween(EncodeDateTime(2024, 2, 29, 0, 0, 1, 500), start), 3u);
  EXPECT_EQ(SecondsBetween(start, EncodeDateTime(2024, 2, 29, 0, 0, 1, 0)), 2u);  // order does not matter
}

TEST_F(ServerObjectTest, MissingStoredServerFailsAndLeavesRegistryUnchanged) {
  auto other = NewServer();
  ASSERT_TRUE(registry.StartServer(std::move(other), StoreServer(LocalSettings()), 0));
  auto server = NewServer();
  EXPECT_FALSE(server->Start(4242, 0));
  EXPECT_FALSE(server->Running);
  EXPECT_EQ(registry.Count(), 1);
  EXPECT_EQ(registry.FindServer(4242), nullptr);
}

TEST_F(ServerObjectTest, NewServerIsStoredWithDefaultPortThenWithItsOwn) {
  // The row a new server starts from carries the default port.
  const int32_t probe = CreateServerRow(db.Scripts(), kDefaultUdpPort);
  auto row = ReadServer(db.Scripts(), probe);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->Row().AsInteger("i_server_udpport"), 8767);

  const uint16_t port = FreePort();
  auto server = registry.StartServer(NewServer(), 0, port);
  ASSERT_NE(server, nullptr);
  EXPECT_GT(server->ServerId, probe);
  EXPECT_EQ(server->Settings().UdpPort, port);
  row = ReadServer(db.Scripts(), server->ServerId);
  ASSERT_TRUE(row);
  EXPECT_EQ(row->Row().AsInteger("i_server_udpport"), port);
  EXPECT_EQ(row->Row().AsString("s_server_name"), "Quillvane Server");
  EXPECT_EQ(server->Settings().WelcomeMessage.str().front(), '[');
  EXPECT_EQ(server->Settings().WelcomeMessage.str().back(), ']');
  // Its group permissions were stored with the factory defaults.
  const TPermissionTable defaults = DefaultPermissions();
  for (int g = 0; g < kUserGroupCount; ++g) {
    const auto group = static_cast<TUserGroup>(g);
    EXPECT_EQ(server->ReadGroupPermissions(group), defaults[group]) << UserGroupName(group);
  }
  EXPECT_EQ(server->Settings().ServerFlags, sfClan | sfFreeware);
}

TEST_F(ServerObjectTest, StoredTypeGivesServerFlags) {
  TServerSettings publicServer = LocalSettings();
  publicServer.ServerFlags = sfPublic;
  auto server = registry.StartServer(NewServer(), StoreServer(publicServer), 0);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->Settings().ServerFlags, 0x06);

  TServerSettings clanServer = LocalSettings();
  clanServer.ServerFlags = sfClan | 0x08;
  server = registry.StartServer(NewServer(), StoreServer(clanServer), 0);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->Settings().ServerFlags, 0x05);
}

TEST_F(ServerObjectTest, DefaultCodecOfTheChannelTree) {
  struct Case {
    std::vector<int> allowed;
    uint16_t expected;
  };
  const std::vector<Case> cases = {
      {{5, 6, 7, 8, 9, 10, 11, 12}, TChannels(0, {}).DefaultCodec},  // Speex only: the tree's own
      {{0, 1, 2, 3, 4}, codecGSM164},
      {{0, 1, 4}, codecCelp63},
      {{0, 4, 12}, codecCelp52},
  };
  for (const Case& c : cases) {
    TServerSettings s = LocalSettings();
    s.AllowCodec.fill(false);
    for (int i : c.allowed) s.AllowCodec[static_cast<size_t>(i)] = true;
    auto server = registry.StartServer(NewServer(), StoreServer(s), 0);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->Channels->DefaultCodec, c.expected);
    EXPECT_EQ(server->Settings().CodecMask(), s.CodecMask());
    registry.StopServers(server->ServerId);
  }
}

TEST_F(ServerObjectTest, SettingsRoundTripWithLimits) {
  TServerSettings s = LocalSettings();
  s.Name = std::string(40, 'n');
  s.WelcomeMessage = std::string(300, 'w');
  s.Password = "it's secret";
  s.MaxUsers = 32;
  s.WebLinkUrl = "http://example.org/";
  s.AllowCodec[codecGSM148] = false;
  const int32_t id = StoreServer(s);

  auto server = registry.StartServer(NewServer(), id, 0);
  ASSERT_NE(server, nullptr);
  TServerSettings loaded = server->Settings();
  EXPECT_EQ(loaded.Name.size(), 29u);
  EXPECT_EQ(loaded.WelcomeMessage.size(), 255u);
  EXPECT_EQ(loaded.Password.str(), "it's secret");
  EXPECT_EQ(loaded.MaxUsers, 32);
  EXPECT_EQ(loaded.UdpPort, s.UdpPort);
  EXPECT_EQ(loaded.WebLinkUrl.str(), "http://example.org/");
  EXPECT_FALSE(loaded.AllowCodec[codecGSM148]);
  EXPECT_TRUE(loaded.AllowCodec[codecGSM164]);
}

TEST_F(ServerObjectTest, BansAreReloadedFromStorage) {
  auto server = registry.StartServer(NewServer(), StoreServer(LocalSettings()), 0);
  ASSERT_NE(server, nullptr);
  EXPECT_FALSE(server->IsIpBanned("10.1.2.3"));
  {
    TStorageLock lock(db.Storage());
    db.Scripts().Load("new_ban.sql");
    db.Storage().SetParamInteger(":iServerID", server->ServerId);
    db.Storage().SetParamString(":sBy", "test");
    db.Storage().SetParamString(":sIP", "10.*");
    db.Storage().SetParamDateTime(":dtCreated", Now());
    db.Storage().SetParamInteger(":iMinutes", 0);
    ASSERT_TRUE(db.Storage().ExecSQL());
  }
  EXPECT_FALSE(server->IsIpBanned("10.1.2.3"));  // cached until reloaded
  server->ReloadBans();
  EXPECT_TRUE(server->IsIpBanned("10.1.2.3"));
  EXPECT_FALSE(server->IsIpBanned("11.1.2.3"));
}

TEST_F(ServerObjectTest, RegistryLookupsAndDuplicates) {
  const int32_t id = StoreServer(LocalSettings());
  auto server = registry.StartServer(NewServer(), id, 0);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(registry.FindServer(id), server);
  EXPECT_EQ(registry.FindServerByText(" " + std::to_string(id) + " "), server);
  EXPECT_EQ(registry.FindServerByText(""), nullptr);
  EXPECT_EQ(registry.FindServerByText("abc"), nullptr);
  EXPECT_EQ(registry.FindServerByText("99999999999999"), nullptr);

  // A second object for the same stored server may not run beside it.
  {
    test::LogCapture log;
    EXPECT_EQ(registry.StartServer(NewServer(), id, 0), nullptr);
    EXPECT_TRUE(log.Contains("SID: " + std::to_string(id) + " unable to register server"));
  }
  auto list = registry.ServerList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].first, std::to_string(id));
  EXPECT_EQ(list[0].second, server);

  registry.StopServers(id + 1);  // no such server: nothing happens
  EXPECT_EQ(registry.Count(), 1);
  registry.StopServers(0);
  EXPECT_EQ(registry.Count(), 0);
  EXPECT_EQ(registry.FindServer(id), nullptr);
}

TEST_F(ServerObjectTest, ExternalCommandWithoutRunningServerAnswersNothing) {
  auto server = NewServer();
  TExternalCommand check;
  check.CommandType = ecCheckServerOK;
  EXPECT_EQ(server->ExecuteExternalCommand(check, kAliveCheckWaitMs), kNoResult);
}

}  // namespace
}  // namespace qv
