// The real quillvane-server process on the test MariaDB server of
// scripts/run-tests.sh (skipped without one): a first run creates the tables
// and accounts, what is stored survives a restart and serves logins, a
// restart of MariaDB under the running process heals on the next statement,
// and processes of different nodes sharing one database each run only their
// own servers. Each run writes its own server.ini with free ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "client/qv_client.h"
#include "model/accounts.h"
#include "model/process_settings.h"
#include "model/server_node.h"
#include "model/server_object.h"
#include "storage/schema.h"
#include "support/mysql_test_db.h"
#include "support/server_process.h"

namespace qv {
namespace {

using test::BuildDir;
using test::Has;
using test::ReadFile;
using test::TempDir;

constexpr int kWaitMs = 10000;

uint16_t FreeUdpPort() { return test::FreePort(SOCK_DGRAM); }

// A free port that is none of `taken` (a port just probed may come again).
uint16_t OtherFreeUdpPort(std::initializer_list<uint16_t> taken) {
  for (;;) {
    uint16_t port = FreeUdpPort();
    if (std::find(taken.begin(), taken.end(), port) == taken.end()) return port;
  }
}

// The quillvane-server process of `node` with its own files in dir, started
// again by each Start.
class TServerProcess {
 public:
  TServerProcess(const TempDir& dir, const std::string& node) : dir_(dir), node_(node) {}

  std::string File(const std::string& name) const { return dir_.File(node_ + "-" + name); }
  std::string Log() const { return ReadFile(File("server.log")); }

  // Writes the configuration: free query port, no web interface, no
  // announcement, the node name and the database.
  void Configure(const test::TMySqlTestDatabase& db) const {
    test::WriteServerIni(File("server.ini"), test::FreePort(SOCK_STREAM), 0, "NodeName=" + node_ + "\n");
    test::WriteMySqlConfig(File("server.ini"), db.Name());
  }

  // Starts the process and waits until its start-up finished.
  bool Start() {
    std::filesystem::remove(File("server.log"));
    process_.reset();
    process_ = std::make_unique<test::TChildProcess>(test::ServerCommand(dir_, node_ + "-", {"-NOPWDIALOG"}),
                                                     File("out"), File("err"));
    return process_->WaitForText(File("server.log"), "Server init finished");
  }

  // SIGTERM and wait: the exit code, or -1.
  int Stop() { return process_ ? process_->Finish(SIGTERM) : -1; }

  bool Runs(uint16_t port) const { return Has(Log(), "Starting server with port: " + std::to_string(port) + "\n"); }

 private:
  const TempDir& dir_;
  std::string node_;
  std::unique_ptr<test::TChildProcess> process_;
};

class MariaDbProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (BuildDir().empty()) GTEST_SKIP() << "QV_BUILD_DIR is not set";
    if (!test::MySqlHost()) GTEST_SKIP() << "QV_TEST_MYSQL is not set (scripts/run-tests.sh starts a MariaDB server)";
    db_ = std::make_unique<test::TMySqlTestDatabase>();
  }
  void TearDown() override { SetSettings(TProcessSettings{}); }

  // The test's own connection to the database, and the scripts over it.
  TScriptStorage Scripts() {
    if (!storage_) storage_ = std::make_unique<TDBExpressStorage>(db_->Config(dir_));
    return {storage_.get(), BuildDir() + "/sqlite_sql/"};
  }
  bool Exec(const std::string& sql, const std::vector<std::pair<const char*, std::string>>& texts = {}) {
    TStorageLock lock(*Scripts());
    storage_->SetStatement(sql);
    for (const auto& [name, value] : texts) storage_->SetParamString(name, value);
    return storage_->ExecSQL();
  }
  int Count(const std::string& table) {
    TStorageLock lock(*Scripts());
    storage_->SetStatement("SELECT COUNT(*) AS i_count FROM " + table);
    auto rows = storage_->OpenSQL();
    return rows ? rows->Row().AsInteger("i_count") : -1;
  }
  int Login(uint16_t port, const std::string& name, const std::string& password, const std::string& nick = "tester") {
    TClientLogin login;
    login.ServerPort = port;
    login.NickName = nick;
    login.LoginName = name;
    login.Password = password;
    login.TimeoutMs = kWaitMs;
    TQVClient client(TClientEndpoint::Create("127.0.0.1"));
    int result = client.Login(login);
    if (result == 1) {
      channels_ = client.Channels();
      client.Quit(kWaitMs);
    }
    return result;
  }

  TempDir dir_;
  std::unique_ptr<test::TMySqlTestDatabase> db_;  // outlives the storage
  std::unique_ptr<TDBExpressStorage> storage_;
  std::vector<TClientChannel> channels_;
};

TEST_F(MariaDbProcessTest, FirstRunRestartAndAMariaDbRestartUnderTheProcess) {
  TServerProcess process(dir_, "");
  process.Configure(*db_);
  ASSERT_TRUE(process.Start()) << process.Log();
  EXPECT_EQ(process.Stop(), 0);
  std::string log = process.Log();
  for (const char* table : {"qv2_servers", "qv2_channels", "qv2_clients", "qv2_channel_privileges",
                            "qv2_server_privileges", "qv2_bans"})
    EXPECT_TRUE(Has(log, std::string("created table ") + table + "\n")) << table;
  const std::string label = "admin account info: username: admin password: ";
  ASSERT_TRUE(Has(log, label)) << log;
  const std::string adminPassword = log.substr(log.find(label) + label.size(), 12);
  EXPECT_EQ(Count("qv2_clients"), 2);
  EXPECT_EQ(Count("qv2_server_privileges"), 6);

  // Between the runs: the default server moves to a free port and gets an
  // account, a channel and a ban whose texts are made to break SQL.
  const uint16_t port = FreeUdpPort();
  ASSERT_TRUE(Exec("UPDATE qv2_servers SET i_server_udpport = " + std::to_string(port)));
  const std::string name = "O'Neil\\;--\"x", password = "p'w\\\";DROP TABLE qv2_bans;#";
  std::unique_ptr<TClientRec> account = NewClient();
  account->LoginName = name;
  account->LoginPassword = password;
  ASSERT_EQ(DBAddUser(Scripts(), 1, *account), 0);
  const std::string channelName = "Chan';\\--", topic = "t\";SELECT 1;\\";
  ASSERT_TRUE(Exec("INSERT INTO qv2_channels (i_server_id, s_channel_name, s_channel_topic) VALUES (1, :sName, :sTopic)",
                   {{":sName", channelName}, {":sTopic", topic}}));
  ASSERT_TRUE(Exec("INSERT INTO qv2_bans (i_server_id, s_ban_ip, s_ban_by) VALUES (1, '10.9.8.7', 'test')"));
  // An account as an older version stored it: its password in clear.
  ASSERT_TRUE(Exec("INSERT INTO qv2_clients (i_server_id, s_client_name, s_client_password) VALUES (1, 'old', :sPw)",
                   {{":sPw", "old'pw"}}));
  const std::string clearRows = "qv2_clients WHERE s_client_password NOT LIKE '$argon2id$%'";
  EXPECT_EQ(Count(clearRows), 1);

  ASSERT_TRUE(process.Start()) << process.Log();
  EXPECT_TRUE(process.Runs(port)) << process.Log();
  EXPECT_FALSE(Has(process.Log(), "Default Server created"));
  EXPECT_EQ(Login(port, name, password), 1);
  EXPECT_TRUE(Has(process.Log(), "Hashed 1 clear-text account password(s)")) << process.Log();
  EXPECT_EQ(Count(clearRows), 0);
  EXPECT_EQ(Login(port, "old", "old'pw", "oldtimer"), 1);
  bool found = false;
  for (const TClientChannel& channel : channels_) found |= channel.Name == channelName && channel.Topic == topic;
  EXPECT_TRUE(found);
  std::string upper = password;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_NE(Login(port, name, upper), 1);

  // MariaDB restarts under the running process: the next login's statement
  // fails on the dead connection, is retried on a new one and succeeds.
  ASSERT_TRUE(test::RestartMySqlServer());
  EXPECT_EQ(Login(port, "admin", adminPassword), 1);
  EXPECT_EQ(process.Stop(), 0);
  log = process.Log();
  EXPECT_FALSE(Has(log, "OpenSQL Error")) << log;
  EXPECT_FALSE(Has(log, "ExecSQL Error")) << log;
  EXPECT_EQ(Count("qv2_clients"), 4);
  EXPECT_EQ(Count("qv2_bans"), 1);
  EXPECT_EQ(Count("qv2_server_privileges"), 6);
}

TEST_F(MariaDbProcessTest, EachNodeRunsOnlyItsOwnServers) {
  TScriptStorage scripts = Scripts();
  ASSERT_TRUE(CreateTables(*scripts, scripts.SqlDir));
  // Server rows as the model creates them, stamped with the node of the
  // process that creates them.
  auto addServer = [&](const std::string& node, uint16_t port) {
    TProcessSettings settings;
    settings.NodeName = node;
    SetSettings(settings);
    return CreateServerRow(scripts, port);
  };
  const uint16_t eastPort = FreeUdpPort(), westPort = OtherFreeUdpPort({eastPort});
  const int32_t east = addServer("east", eastPort), west = addServer("west", westPort);
  ASSERT_GT(east, 0);
  ASSERT_GT(west, 0);

  TServerProcess eastProcess(dir_, "east"), westProcess(dir_, "west");
  eastProcess.Configure(*db_);
  westProcess.Configure(*db_);
  ASSERT_TRUE(eastProcess.Start()) << eastProcess.Log();
  ASSERT_TRUE(westProcess.Start()) << westProcess.Log();
  EXPECT_TRUE(eastProcess.Runs(eastPort));
  EXPECT_FALSE(eastProcess.Runs(westPort));
  EXPECT_TRUE(westProcess.Runs(westPort));
  EXPECT_FALSE(westProcess.Runs(eastPort));

  // The check the administration interfaces make, as the west node sees it.
  EXPECT_FALSE(ServerOnThisNode(scripts, east));
  EXPECT_TRUE(ServerOnThisNode(scripts, west));
  EXPECT_TRUE(ServerOnThisNode(scripts, 999));  // no such server: reported by the caller

  // A server added on the east node while both run.
  const uint16_t addedPort = OtherFreeUdpPort({eastPort, westPort});
  ASSERT_GT(addServer("east", addedPort), 0);
  EXPECT_EQ(eastProcess.Stop(), 0);
  EXPECT_EQ(westProcess.Stop(), 0);
  ASSERT_TRUE(eastProcess.Start()) << eastProcess.Log();
  ASSERT_TRUE(westProcess.Start()) << westProcess.Log();
  EXPECT_TRUE(eastProcess.Runs(addedPort));
  EXPECT_TRUE(eastProcess.Runs(eastPort));
  EXPECT_FALSE(westProcess.Runs(addedPort));
  EXPECT_FALSE(westProcess.Runs(eastPort));
  EXPECT_EQ(eastProcess.Stop(), 0);
  EXPECT_EQ(westProcess.Stop(), 0);
  for (const TServerProcess* process : {&eastProcess, &westProcess})
    EXPECT_FALSE(Has(process->Log(), "Default Server created"));
}

}  // namespace
}  // namespace qv
