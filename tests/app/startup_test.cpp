// The start-up sequence in process, on prepared configurations and
// databases that never make it bind a port: its failures, and the run over
// stored servers that are all inactive. The first run and restarts of the
// real program are covered by the end-to-end tests.
#include "app/startup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "base/ini_file.h"
#include "model/server_object.h"
#include "storage/schema.h"
#include "storage/sqlite_storage.h"
#include "support/test_dir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* source = std::getenv("QV_SOURCE_DIR");
    if (!source) GTEST_SKIP() << "QV_SOURCE_DIR is not set";
    fs::copy(fs::path(source) / "sqlite_sql", dir_.File("sql"));
    sqlDir_ = dir_.File("sql") + "/";
  }

  std::string Path(const char* name) const { return dir_.File(name); }

  TCommandLine Args() const {
    return ParseCommandLine({"-INI=" + Path("server.ini"), "-DB=" + Path("server.dbs"), "-LOG=" + Path("server.log"),
                             "-SQL=" + sqlDir_, "-BADNAMES=" + Path("bad_names.txt")});
  }

  bool Init(TServerProcess& process) { return process.InitServer(Args(), dir_.Path().string()); }
  std::string Log() const { return ReadFile(Path("server.log")); }

  // A database holding `count` stored servers, all inactive when asked.
  void PrepareDatabase(int count, bool inactive) {
    TSQLiteStorage storage(Path("server.dbs"));
    ASSERT_TRUE(CreateTables(storage, sqlDir_));
    TScriptStorage scripts{&storage, sqlDir_};
    for (int i = 0; i < count; ++i) ASSERT_GT(CreateServerRow(scripts, 9100 + i), 0);
    if (inactive) {
      storage.SetStatement("UPDATE qv2_servers SET b_server_active = 0");
      ASSERT_TRUE(storage.ExecSQL());
    }
  }

  int CountRows(const std::string& table) const {
    TSQLiteStorage storage(Path("server.dbs"));
    storage.SetStatement("SELECT COUNT(*) AS i_count FROM " + table);
    auto rows = storage.OpenSQL();
    return rows ? rows->Row().AsInteger("i_count") : -1;
  }

  TempDir dir_;
  std::string sqlDir_;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(StartupTest, InactiveServersStartNothingAndCreateNoAccounts) {
  PrepareDatabase(2, true);
  {
    TServerProcess process(TRuntimeFactory{}, std::chrono::milliseconds(0));
    ASSERT_TRUE(Init(process));
    ASSERT_NE(GetServerRegistry(), nullptr);
    EXPECT_EQ(GetServerRegistry()->Count(), 0);
    TProcessSettings s = GetSettings();
    EXPECT_EQ(s.NewAdminPassword, "");
    EXPECT_EQ(s.DatabaseFile, Path("server.dbs"));
    EXPECT_TRUE(IsBadName("Server"));  // the default list
    process.ShutdownServer();
    EXPECT_EQ(GetServerRegistry(), nullptr);
  }
  EXPECT_EQ(CountRows("qv2_servers"), 2);
  EXPECT_EQ(CountRows("qv2_clients"), 0);
  std::string log = Log();
  EXPECT_FALSE(Has(log, "Default Server created"));
  EXPECT_FALSE(Has(log, "Starting server"));
  EXPECT_TRUE(Has(log, "Server init finished"));
  EXPECT_TRUE(Has(log, "Server shutdown initialized\n"));
  EXPECT_TRUE(Has(log, "Server shutdown finished\n-----"));

  // Every basic-settings key is in the configuration file now.
  TIniFile ini(Path("server.ini"));
  ASSERT_TRUE(ini.Load());
  for (const char* key : {"ExternalIPDectection", "HTTPServer Port", "HTTPServer Enabled", "DateTimeFormat",
                          "TCPQueryPort", "BoundToIp"})
    EXPECT_TRUE(ini.ValueExists("Main Config", key)) << key;
  for (const char* key : {"AdminEmail", "ISPLinkURL", "ISPName", "ISPCountryNumber", "Enabled", "PostURL", "ListPublic"})
    EXPECT_TRUE(ini.ValueExists("WebPost", key)) << key;
  EXPECT_TRUE(ini.ValueExists("log", "access"));
}

TEST_F(StartupTest, ConfigurationFailuresEndStartUp) {
  struct Case {
    const char* ini;
    const char* logLine;
  };
  const Case cases[] = {
      {"[DBEXPRESS]\nActive=1\n", "Start_Quillvane_Server: unable to open database"},
      {"[Main Config]\nHTTPServer Port=99999\n", "Start_Quillvane_Server: error in config file"},
  };
  for (const Case& c : cases) {
    fs::remove(Path("server.dbs"));
    WriteFile(Path("server.ini"), c.ini);
    TServerProcess process(TRuntimeFactory{}, std::chrono::milliseconds(0));
    EXPECT_FALSE(Init(process)) << c.ini;
    EXPECT_TRUE(Has(Log(), c.logLine)) << c.ini;
  }
  // The MySQL case stopped before any SQLite file was made.
  fs::remove(Path("server.dbs"));
  WriteFile(Path("server.ini"), "[DBEXPRESS]\nActive=1\n");
  TServerProcess process(TRuntimeFactory{}, std::chrono::milliseconds(0));
  EXPECT_FALSE(Init(process));
  EXPECT_FALSE(fs::exists(Path("server.dbs")));
}

TEST_F(StartupTest, UnreadableConfigurationFileIsReportedWithItsPath) {
  fs::create_directory(Path("server.ini"));
  TServerProcess process(TRuntimeFactory{}, std::chrono::milliseconds(0));
  EXPECT_FALSE(Init(process));
  EXPECT_TRUE(Has(Log(), "Start_Quillvane_Server: unable to open server config file: " + Path("server.ini") + " \n"));
}

TEST_F(StartupTest, DatabaseFailuresEndStartUpAndLeaveTheFileAlone) {
  WriteFile(Path("server.dbs"), std::string(4096, 'x'));
  {
    TServerProcess process(TRuntimeFactory{}, std::chrono::milliseconds(0));
    EXPECT_FALSE(Init(process));
    EXPECT_TRUE(Has(Log(), "Start_Quillvane_Server: unable to open database"));
  }
  EXPECT_EQ(ReadFile(Path("server.dbs")), std::string(4096, 'x'));

  fs::remove(Path("server.dbs"));
  fs::remove_all(Path("sql"));
  fs::create_directory(Path("sql"));
  TServerProcess process(TRuntimeFactory{}, std::chrono::milliseconds(0));
  EXPECT_FALSE(Init(process));
  EXPECT_TRUE(Has(Log(), "Start_Quillvane_Server: unable to create tables"));
}

TEST_F(StartupTest, UnreadableServerListIsNoFirstRun) {
  PrepareDatabase(1, false);
  fs::remove(Path("sql/read_servers.sql"));
  {
    TServerProcess process(TRuntimeFactory{}, std::chrono::milliseconds(0));
    EXPECT_FALSE(Init(process));
  }
  EXPECT_TRUE(Has(Log(), "Start_Quillvane_Server: unable to read servers"));
  EXPECT_FALSE(Has(Log(), "Default Server created"));
  EXPECT_EQ(CountRows("qv2_servers"), 1);
  EXPECT_EQ(CountRows("qv2_clients"), 0);
}

}  // namespace
}  // namespace qv
