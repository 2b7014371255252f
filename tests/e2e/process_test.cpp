// The real quillvane-server process: command line answers, first run and
// restart, the orderly shutdown on SIGTERM and SIGINT, and a failed start-up.
// Each run has its own configuration, database, log and name list in a
// temporary directory; a first run takes UDP 8767, so these tests run serially.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

#include "support/test_dir.h"
#include "base/ini_file.h"
#include "base/version.h"
#include "model/accounts.h"
#include "storage/sqlite_storage.h"

extern char** environ;

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

constexpr auto kStartLimit = 90s;  // generous: the binary runs under the sanitizers
constexpr auto kStopLimit = 60s;

std::string BuildDir() {
  const char* dir = std::getenv("QV_BUILD_DIR");
  return dir ? dir : "";
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Whether a UDP socket of this process could take the port on every address.
bool UdpPortFree(uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return free;
}

// The message of the last line of a log (the closing banner is no message).
std::string LastLogMessage(const std::string& log) {
  size_t tab = log.rfind(",\t");
  if (tab == std::string::npos) return "";
  size_t end = log.find('\n', tab);
  return log.substr(tab + 2, end == std::string::npos ? std::string::npos : end - tab - 2);
}

// The value after "<label>: " on its line of text.
std::string ValueAfter(const std::string& text, const std::string& label) {
  size_t at = text.find(label + ": ");
  if (at == std::string::npos) return "";
  at += label.size() + 2;
  return text.substr(at, text.find('\n', at) - at);
}

// One run of the server with standard output and error in files.
class TServerRun {
 public:
  TServerRun(const TempDir& dir, const std::vector<std::string>& args, const std::string& tag)
      : out_(dir.File(tag + ".out")), err_(dir.File(tag + ".err")) {
    std::string binary = BuildDir() + "/quillvane-server";
    std::vector<std::string> all{binary};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }

  ~TServerRun() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool Started() const { return pid_ > 0; }

  // Waits until the file holds `text`; false when the process ended first or
  // the limit passed.
  bool WaitForText(const std::string& file, const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Has(ReadFile(file), text)) return true;
      if (Reap(false)) return Has(ReadFile(file), text);
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  // Sends the signal (none: 0) and waits for the end; the exit code, or -1
  // when the process did not end in time or ended by a signal.
  int Finish(int signal = 0) {
    if (signal != 0 && !exited_) kill(pid_, signal);
    auto deadline = std::chrono::steady_clock::now() + kStopLimit;
    while (!Reap(false) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

  std::string Out() const { return ReadFile(out_); }
  std::string Err() const { return ReadFile(err_); }

 private:
  bool Reap(bool block) {
    if (exited_) return true;
    if (pid_ <= 0) return false;
    if (waitpid(pid_, &status_, block ? 0 : WNOHANG) == pid_) exited_ = true;
    return exited_;
  }

  std::string out_, err_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool exited_ = false;
};

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (BuildDir().empty()) GTEST_SKIP() << "QV_BUILD_DIR is not set";
  }

  std::string Path(const char* name) const { return dir_.File(name); }

  std::vector<std::string> Args(std::vector<std::string> more = {}) const {
    std::vector<std::string> args{"-INI=" + Path("server.ini"), "-DB=" + Path("server.dbs"),
                                  "-LOG=" + Path("server.log"), "-SQL=" + BuildDir() + "/sqlite_sql/",
                                  "-BADNAMES=" + Path("bad_names.txt")};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  std::string Log() const { return ReadFile(Path("server.log")); }

  int CountClients() const {
    TSQLiteStorage storage(Path("server.dbs"));
    storage.SetStatement("SELECT COUNT(*) AS i_count FROM qv2_clients");
    auto rows = storage.OpenSQL();
    return rows ? rows->Row().AsInteger("i_count") : -1;
  }

  TempDir dir_;
};

TEST_F(ProcessTest, VersionAndHelpAnswerWithoutCreatingAnyFile) {
  TServerRun version(dir_, Args({"-ver", "-h"}), "version");
  ASSERT_TRUE(version.Started());
  EXPECT_EQ(version.Finish(), 0);
  EXPECT_EQ(version.Out(), VersionMessage() + "\n");

  TServerRun help(dir_, Args({"-HTTPDOCS=" + Path("docs"), "/?"}), "help");
  EXPECT_EQ(help.Finish(), 0);
  EXPECT_EQ(help.Out(), HelpMessage());

  for (const char* name : {"server.ini", "server.dbs", "server.log", "bad_names.txt"})
    EXPECT_FALSE(fs::exists(Path(name))) << name;
}

TEST_F(ProcessTest, FirstRunCreatesServerAndAccountsAndRestartKeepsThem) {
  std::string adminPassword;
  {
    TServerRun run(dir_, Args(), "first");
    ASSERT_TRUE(run.WaitForText(Path("first.out"), "SAdmin Password: ")) << run.Err() << Log();
    ASSERT_TRUE(run.WaitForText(Path("server.log"), "Server init finished"));
    EXPECT_FALSE(UdpPortFree(8767));  // the default server is listening
    EXPECT_EQ(run.Finish(SIGTERM), 0) << run.Err();
    EXPECT_TRUE(UdpPortFree(8767));

    std::string out = run.Out();
    EXPECT_EQ(out.rfind("Quillvane Server\n" + VersionMessage() + "\n", 0), 0u) << out;
    EXPECT_TRUE(Has(out, "This login information is also saved in the server.log file."));
    adminPassword = ValueAfter(out, "Admin Password");
    std::string superPassword = ValueAfter(out, "SAdmin Password");
    EXPECT_EQ(adminPassword.size(), 12u);
    EXPECT_EQ(superPassword.size(), 12u);

    std::string log = Log();
    EXPECT_TRUE(Has(log, "Default Server created"));
    EXPECT_TRUE(Has(log, "Starting server with port: 8767"));
    EXPECT_TRUE(Has(log, "admin account info: username: admin password: " + adminPassword + "\n"));
    EXPECT_TRUE(Has(log, "superadmin account info: username: superadmin password: " + superPassword + "\n"));
    EXPECT_EQ(LastLogMessage(log), "Server shutdown finished");
    EXPECT_EQ(ReadFile(Path("bad_names.txt")), "server\n");
  }

  // The password printed is the one stored for the default server.
  {
    TSQLiteStorage storage(Path("server.dbs"));
    TScriptStorage scripts{&storage, BuildDir() + "/sqlite_sql/"};
    std::unique_ptr<TClientRec> admin = DBLoadUser(scripts, 1, "admin");
    ASSERT_NE(admin, nullptr);
    EXPECT_EQ(admin->LoginPassword.str(), adminPassword);
  }
  EXPECT_EQ(CountClients(), 2);
  TIniFile ini(Path("server.ini"));
  ASSERT_TRUE(ini.Load());
  EXPECT_EQ(ini.ReadString("Main Config", "DateTimeFormat", ""), "dd-mm-yyyy hh:nn:ss");
  EXPECT_TRUE(ini.ValueExists("log", "access"));

  fs::remove(Path("server.log"));
  TServerRun again(dir_, Args(), "second");
  ASSERT_TRUE(again.WaitForText(Path("server.log"), "Server init finished")) << again.Err();
  EXPECT_FALSE(UdpPortFree(8767));
  EXPECT_EQ(again.Finish(SIGINT), 0) << again.Err();
  std::string log = Log();
  EXPECT_TRUE(Has(log, "Starting server with port: 8767"));
  EXPECT_FALSE(Has(log, "Default Server created"));
  EXPECT_FALSE(Has(log, "account info"));
  EXPECT_FALSE(Has(again.Out(), "Password"));
  EXPECT_EQ(LastLogMessage(log), "Server shutdown finished");
  EXPECT_EQ(CountClients(), 2);
}

TEST_F(ProcessTest, NoPasswordDialogLeavesThePasswordsInTheLogOnly) {
  TServerRun run(dir_, Args({"-NOPWDIALOG"}), "nodialog");
  ASSERT_TRUE(run.WaitForText(Path("nodialog.out"), VersionMessage())) << run.Err() << Log();
  EXPECT_EQ(run.Finish(SIGTERM), 0) << run.Err();
  EXPECT_FALSE(Has(run.Out(), "Password"));
  EXPECT_TRUE(Has(Log(), "admin account info: username: admin password: "));
}

TEST_F(ProcessTest, FailedStartUpEndsWithCriticalErrorAndNonZeroExit) {
  WriteFile(Path("server.ini"), "[DBEXPRESS]\nActive=1\n");
  TServerRun run(dir_, Args(), "failed");
  int code = run.Finish();
  EXPECT_NE(code, 0);
  EXPECT_NE(code, -1);
  std::string log = Log();
  EXPECT_TRUE(Has(log, "Start_Quillvane_Server: unable to open database"));
  EXPECT_EQ(LastLogMessage(log), "critical error, shutdown initiated");
  EXPECT_TRUE(Has(run.Err(), "critical error, shutdown initiated"));
  EXPECT_FALSE(fs::exists(Path("server.dbs")));
}

}  // namespace
}  // namespace qv
