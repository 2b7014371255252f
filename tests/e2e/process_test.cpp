// The real quillvane-server process: command line answers, first run and
// restart, the orderly shutdown on SIGTERM and SIGINT, and a failed start-up.
// Each run has its own configuration, database, log and name list in a
// temporary directory; a first run takes UDP 8767, so these tests run serially.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>

#include "base/ini_file.h"
#include "base/password_hash.h"
#include "base/version.h"
#include "model/accounts.h"
#include "storage/sqlite_storage.h"
#include "support/server_process.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::BuildDir;
using test::Has;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

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

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (BuildDir().empty()) GTEST_SKIP() << "QV_BUILD_DIR is not set";
  }

  std::string Path(const std::string& name) const { return dir_.File(name); }

  // A run of the server with standard output and error in <tag>.out and <tag>.err.
  test::TChildProcess Run(const std::string& tag, std::vector<std::string> more = {}) const {
    return test::TChildProcess(test::ServerCommand(dir_, "", std::move(more)), Path(tag + ".out"), Path(tag + ".err"));
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
  test::TChildProcess version = Run("version", {"-ver", "-h"});
  ASSERT_TRUE(version.Started());
  EXPECT_EQ(version.Finish(), 0);
  EXPECT_EQ(version.Out(), VersionMessage() + "\n");

  test::TChildProcess help = Run("help", {"-HTTPDOCS=" + Path("docs"), "/?"});
  EXPECT_EQ(help.Finish(), 0);
  EXPECT_EQ(help.Out(), HelpMessage());

  for (const char* name : {"server.ini", "server.dbs", "server.log", "bad_names.txt"})
    EXPECT_FALSE(fs::exists(Path(name))) << name;
}

TEST_F(ProcessTest, FirstRunCreatesServerAndAccountsAndRestartKeepsThem) {
  std::string adminPassword;
  {
    test::TChildProcess run = Run("first");
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
    // What holds passwords and addresses is private: the owner writes, its group reads.
    for (const char* name : {"server.ini", "server.dbs", "server.log"})
      EXPECT_EQ(fs::status(Path(name)).permissions() & fs::perms::all, fs::perms(0640)) << name;
  }

  // The password printed is the one stored for the default server.
  {
    TSQLiteStorage storage(Path("server.dbs"));
    TScriptStorage scripts{&storage, BuildDir() + "/sqlite_sql/"};
    std::unique_ptr<TClientRec> admin = DBLoadUser(scripts, 1, "admin");
    ASSERT_NE(admin, nullptr);
    EXPECT_TRUE(VerifyPassword(admin->PasswordHash, adminPassword));
  }
  EXPECT_EQ(CountClients(), 2);
  TIniFile ini(Path("server.ini"));
  ASSERT_TRUE(ini.Load());
  EXPECT_EQ(ini.ReadString("Main Config", "DateTimeFormat", ""), "dd-mm-yyyy hh:nn:ss");
  EXPECT_TRUE(ini.ValueExists("log", "access"));

  fs::remove(Path("server.log"));
  // An existing file keeps the mode its owner gave it.
  fs::permissions(Path("server.ini"), fs::perms(0600));
  test::TChildProcess again = Run("second");
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
  EXPECT_EQ(fs::status(Path("server.ini")).permissions() & fs::perms::all, fs::perms(0600));
}

TEST_F(ProcessTest, NoPasswordDialogLeavesThePasswordsInTheLogOnly) {
  test::TChildProcess run = Run("nodialog", {"-NOPWDIALOG"});
  ASSERT_TRUE(run.WaitForText(Path("nodialog.out"), VersionMessage())) << run.Err() << Log();
  EXPECT_EQ(run.Finish(SIGTERM), 0) << run.Err();
  EXPECT_FALSE(Has(run.Out(), "Password"));
  EXPECT_TRUE(Has(Log(), "admin account info: username: admin password: "));
}

TEST_F(ProcessTest, FailedStartUpEndsWithCriticalErrorAndNonZeroExit) {
  WriteFile(Path("server.ini"), "[DBEXPRESS]\nActive=1\n");
  test::TChildProcess run = Run("failed");
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
