// The real quillvane-server process with protocol clients and the
// quillvane-client tool: a first run creates the default server and its
// admin account, the test moves that server to a free port, sets a server
// password and switches the access log on, and the second run takes logins.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <string>
#include <thread>
#include <vector>

#include "base/ini_file.h"
#include "client/qv_client.h"
#include "storage/sqlite_storage.h"
#include "storage/storage_test_util.h"

extern char** environ;

namespace qv {
namespace {

using namespace std::chrono_literals;
constexpr auto kLimit = 90s;  // the binaries run under the sanitizers
constexpr int kWaitMs = 10000;

std::string BuildDir() {
  const char* dir = std::getenv("QV_BUILD_DIR");
  return dir ? dir : "";
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A child process with standard output and error in files; killed if the
// test leaves it running.
class TChild {
 public:
  TChild(const std::string& binary, std::vector<std::string> args, const std::string& out)
      : out_(out) {
    args.insert(args.begin(), binary);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (out + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~TChild() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Waits until the file holds text; false when the process ended first or time ran out.
  bool WaitForText(const std::string& file, const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Has(test::ReadFile(file), text)) return true;
      if (Reap()) return Has(test::ReadFile(file), text);
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  // Sends the signal (0: none) and waits; the exit code, or -1.
  int Finish(int signal = 0) {
    if (signal != 0 && !exited_) kill(pid_, signal);
    auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (!Reap() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  std::string Out() const { return test::ReadFile(out_); }
  std::string Err() const { return test::ReadFile(out_ + ".err"); }
  bool Started() const { return pid_ > 0; }

 private:
  bool Reap() {
    if (!exited_ && pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return exited_;
  }
  std::string out_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool exited_ = false;
};

uint16_t FreePort() {
  TUDPSocket probe;
  probe.Open(0, "127.0.0.1");
  return probe.LocalPort();
}

class ClientProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (BuildDir().empty()) GTEST_SKIP() << "QV_BUILD_DIR is not set";
  }
  std::string Path(const std::string& name) const { return dir.File(name); }
  std::vector<std::string> ServerArgs() const {
    return {"-INI=" + Path("server.ini"), "-DB=" + Path("server.dbs"), "-LOG=" + Path("server.log"),
            "-SQL=" + BuildDir() + "/sqlite_sql/", "-BADNAMES=" + Path("bad_names.txt"), "-NOPWDIALOG"};
  }
  std::string Log() const { return test::ReadFile(Path("server.log")); }

  // The admin password the first run wrote to the log.
  std::string FirstRun() {
    TChild run(BuildDir() + "/quillvane-server", ServerArgs(), Path("first.out"));
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
  const uint16_t port = FreePort();
  Reconfigure(port);

  TChild server(BuildDir() + "/quillvane-server", ServerArgs(), Path("second.out"));
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
    TChild tool(BuildDir() + "/quillvane-client",
                {"127.0.0.1:" + std::to_string(port), "-n", "tool", "-p", "secret", "-e", "players", "-e", "quit"},
                Path("tool.out"));
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
