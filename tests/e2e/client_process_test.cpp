// The real quillvane-server process with protocol clients and the
// quillvane-client tool: a first run creates the default server and its
// admin account, the test moves that server to a free port, sets a server
// password and switches the access log on, and the second run takes logins.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/ini_file.h"
#include "client/qv_client.h"
#include "storage/sqlite_storage.h"
#include "support/server_process.h"

namespace qv {
namespace {

using test::BuildDir;
using test::Has;
using test::TChildProcess;
constexpr int kWaitMs = 10000;

class ClientProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (BuildDir().empty()) GTEST_SKIP() << "QV_BUILD_DIR is not set";
  }
  std::string Path(const std::string& name) const { return dir.File(name); }
  TChildProcess Server(const std::string& tag) const {
    return TChildProcess(test::ServerCommand(dir, "", {"-NOPWDIALOG"}), Path(tag + ".out"), Path(tag + ".err"));
  }
  std::string Log() const { return test::ReadFile(Path("server.log")); }

  // The admin password the first run wrote to the log.
  std::string FirstRun() {
    TChildProcess run = Server("first");
    EXPECT_TRUE(run.WaitForText(Path("server.log"), "Server init finished")) << run.Err() << Log();
    EXPECT_EQ(run.Finish(SIGTERM), 0) << run.Err();
    const std::string label = "admin account info: username: admin password: ";
    const std::string log = Log();
    size_t at = log.find(label);
    if (at == std::string::npos) return "";
    at += label.size();
    std::filesystem::remove(Path("server.log"));  // the next run's lines alone
    return log.substr(at, log.find('\n', at) - at);
  }

  void Reconfigure(uint16_t port) {
    TSQLiteStorage db(Path("server.dbs"));
    db.SetStatement("UPDATE qv2_servers SET i_server_udpport = " + std::to_string(port) +
                    ", s_server_password = 'secret'");
    ASSERT_TRUE(db.ExecSQL());
    TIniFile ini(Path("server.ini"));
    ASSERT_TRUE(ini.Load());
    ini.WriteBool("log", "access", true);
    ASSERT_TRUE(ini.UpdateFile());
  }

  TClientLogin Request(const std::string& nick, uint16_t port) const {
    TClientLogin login;
    login.ServerPort = port;
    login.NickName = nick;
    login.TimeoutMs = kWaitMs;
    return login;
  }

  test::TempDir dir;
};

TEST_F(ClientProcessTest, LoginsAgainstTheRealServer) {
  const std::string adminPassword = FirstRun();
  ASSERT_EQ(adminPassword.size(), 12u) << Log();
  const uint16_t port = test::FreePort(SOCK_DGRAM);
  Reconfigure(port);

  TChildProcess server = Server("second");
  ASSERT_TRUE(server.WaitForText(Path("server.log"), "Starting server with port: " + std::to_string(port)))
      << server.Err() << Log();
  ASSERT_TRUE(server.WaitForText(Path("server.log"), "Server init finished"));
  {
    auto endpoint = TClientEndpoint::Create("127.0.0.1");
    // The admin account needs no server password; anonymous players do.
    TClientLogin admin = Request("boss", port);
    admin.LoginName = "admin";
    admin.Password = adminPassword;
    TQVClient boss(endpoint);
    ASSERT_EQ(boss.Login(admin), 1);
    EXPECT_EQ(boss.FindPlayer(boss.PlayerId())->PlayerPrivileges, 0x05);  // server admin, registered

    TQVClient other(endpoint);
    TClientLogin anonymous = Request("guest", port);
    anonymous.Password = "wrong";
    EXPECT_EQ(other.Login(anonymous), -1);
    anonymous.ClientVersion = {2, 0, 27, 39};
    anonymous.Password = "secret";
    EXPECT_EQ(other.Login(anonymous), -5);
    anonymous.ClientVersion = {2, 0, 28, 0};
    anonymous.NickName = "SERVER";  // the first run's forbidden name
    EXPECT_EQ(other.Login(anonymous), -1);

    // The command-line tool logs in beside the admin and lists both players.
    TChildProcess tool({BuildDir() + "/quillvane-client", "127.0.0.1:" + std::to_string(port), "-n", "tool", "-p",
                        "secret", "-e", "players", "-e", "quit"},
                       Path("tool.out"), Path("tool.err"));
    ASSERT_TRUE(tool.Started());
    EXPECT_EQ(tool.Finish(), 0) << tool.Err();
    const std::string out = tool.Out();
    EXPECT_TRUE(Has(out, "login complete")) << out;
    EXPECT_TRUE(Has(out, "player #1 \"boss\" channel 1")) << out;
    EXPECT_TRUE(Has(out, "\"tool\" channel 1")) << out;

    // The admin saw the tool arrive and leave.
    auto entered = boss.WaitFor(cePlayerEntered, kWaitMs);
    ASSERT_TRUE(entered.has_value());
    EXPECT_EQ(entered->Players.at(0).NickName, "tool");
    auto left = boss.WaitFor(cePlayerLeft, kWaitMs);
    ASSERT_TRUE(left.has_value());
    EXPECT_EQ(left->PlayerId, entered->PlayerId);
    EXPECT_EQ(left->Reason, 1);
    EXPECT_TRUE(boss.Quit(kWaitMs));
  }
  // The tool's connection may still be closing when the signal comes: the
  // stop writes the disconnect line of every player it finds, so the log is
  // complete once the process has ended, however far the goodbye had got.
  EXPECT_EQ(server.Finish(SIGTERM), 0) << server.Err();
  const std::string log = Log();
  EXPECT_TRUE(Has(log, "client connected [IP: 127.0.0.1, Nick: boss, LoginName: admin, Version: 2.0.32.60]"))
      << log;
  EXPECT_TRUE(Has(log, "client disconnected, reason Bad Login [IP: 127.0.0.1, Nick: guest, LoginName: , "
                       "Version: 2.0.32.60]"));
  EXPECT_TRUE(Has(log, "client disconnected. [Nick: tool]"));
}

}  // namespace
}  // namespace qv
