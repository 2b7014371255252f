// The MySQL back end: its configuration, and its behaviour against the test
// MariaDB server of scripts/run-tests.sh (skipped without one). The shipped
// scripts run on it in scripts_test.cpp.
#include <gtest/gtest.h>

#include "storage/mysql_storage.h"
#include "storage_test_util.h"
#include "support/mysql_test_db.h"

namespace qv {
namespace {

using test::LogCapture;
using test::TempDir;

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

TEST(MySqlStorageOpen, HostnameForms) {
  struct TCase {
    const char* hostname;
    const char* host;
    unsigned port;
    const char* socket;
  };
  for (const TCase& c : {TCase{"", "", 0, ""}, TCase{" db.example ", "db.example", 0, ""},
                         TCase{"db.example:3307", "db.example", 3307, ""}, TCase{"/run/mysqld/mysqld.sock", "", 0,
                                                                                 "/run/mysqld/mysqld.sock"},
                         TCase{"[::1]:3307", "::1", 3307, ""}, TCase{"::1", "::1", 0, ""}}) {
    TMySqlAddress address = ParseMySqlHostname(c.hostname);
    EXPECT_EQ(address.Host, c.host) << c.hostname;
    EXPECT_EQ(address.Port, c.port) << c.hostname;
    EXPECT_EQ(address.Socket, c.socket) << c.hostname;
  }
  for (const char* bad : {"db:", "db:x", "db:0", "db:65536", "[::1"})
    EXPECT_THROW(ParseMySqlHostname(bad), EDBExpressStorage) << bad;
}

TEST(MySqlStorageOpen, ConfigurationWithoutDatabaseGetsTheMissingKeysAndFails) {
  TempDir dir;
  LogCapture log(dir);
  const std::string ini = dir.File("server.ini");
  test::WriteFile(ini, "[DBEXPRESS]\nActive=1\nHostname=db.example:3307\n");
  try {
    TDBExpressStorage storage(ini);
    FAIL() << "no exception";
  } catch (const EDBExpressStorage& e) {
    EXPECT_STREQ(e.what(), "Database configfile contains invalid data");
  }
  EXPECT_EQ(test::ReadFile(ini),
            "[DBEXPRESS]\nActive=1\nHostname=db.example:3307\nDrivername=mysql\nDatabase=\nUser_name=\nPassword=\n"
            "GetDriverFunc=getSQLDriverMYSQL\nVendorLib=libmysql.dll\nLibraryName=dbexpmysql.dll\n");
  EXPECT_NE(log.LineOf("Database configfile contains invalid data").find(",ERROR,All,SQL,"), std::string::npos);
}

TEST(MySqlStorageOpen, UnusableAddressesAreReported) {
  TempDir dir;
  LogCapture log(dir);
  struct TCase {
    const char* hostname;
    const char* message;
  };
  for (const TCase& c : {TCase{"db:99999", "Database configfile initialization error: EDBExpressStorage.invalid port "
                                           "in host name db:99999"},
                         TCase{"/nonexistent/mysqld.sock", "Database initialization error: EDBExpressStorage."}}) {
    test::WriteFile(dir.File("server.ini"), std::string("[DBEXPRESS]\nDatabase=qv\nHostname=") + c.hostname + "\n");
    try {
      TDBExpressStorage storage(dir.File("server.ini"));
      ADD_FAILURE() << "no exception for " << c.hostname;
    } catch (const EDBExpressStorage& e) {
      EXPECT_TRUE(StartsWith(e.what(), c.message)) << e.what();
    }
    EXPECT_EQ(log.MessagesStartingWith(c.message).size(), 1u) << c.hostname;
  }
}

class MySqlStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::MySqlHost()) GTEST_SKIP() << "QV_TEST_MYSQL is not set (scripts/run-tests.sh starts a MariaDB server)";
    db_ = std::make_unique<test::TMySqlTestDatabase>();
    storage_ = std::make_unique<TDBExpressStorage>(db_->Config(dir_));
    ASSERT_TRUE(Exec("CREATE TABLE t (i_id INTEGER PRIMARY KEY AUTO_INCREMENT, i_num INTEGER, s_text VARCHAR(50));"));
  }
  bool Exec(const std::string& sql) {
    storage_->SetStatement(sql);
    return storage_->ExecSQL();
  }
  std::unique_ptr<TStorageContainer> Open(const std::string& sql) {
    storage_->SetStatement(sql);
    return storage_->OpenSQL();
  }
  int Count() {
    auto rows = Open("SELECT COUNT(*) AS i_count FROM t");
    return rows ? rows->Row().AsInteger("i_count") : -1;
  }

  TempDir dir_;
  LogCapture log_{dir_};
  std::unique_ptr<test::TMySqlTestDatabase> db_;
  std::unique_ptr<TDBExpressStorage> storage_;
};

TEST_F(MySqlStorageTest, NullBooleanReadsFalseAndCutColumnNamesGetTheirFullNames) {
  auto rows = Open("SELECT NULL AS b_flag, NULL AS i_num, NULL AS s_text, 1 AS b_sp_AdminEditServerWelcomeMess, "
                   "0 AS b_sp_PrivilegeRegisterSelfByDefa, 1 AS b_sp_AllowChannelCommanderStatus");
  ASSERT_TRUE(rows);
  const TStorageRow& row = rows->Row();
  EXPECT_FALSE(row.AsBoolean("b_flag"));
  EXPECT_EQ(row.AsInteger("i_num"), 0);
  EXPECT_EQ(row.AsString("s_text"), "");
  EXPECT_TRUE(row.AsBoolean("b_sp_AdminEditServerWelcomeMessage"));
  EXPECT_FALSE(row.AsBoolean("b_sp_PrivilegeRegisterSelfByDefault"));
  EXPECT_TRUE(row.AsBoolean("b_sp_AllowChannelCommanderStatus"));
  EXPECT_EQ(Open("SELECT i_num FROM t"), nullptr);
}

TEST_F(MySqlStorageTest, FailedCommandIsLoggedAndTheOthersStillRun) {
  const std::string script =
      "INSERT INTO t (i_num) VALUES (1);\r\nINSERT INTO missing VALUES (2);\r\nINSERT INTO t (i_num) VALUES (3)";
  EXPECT_FALSE(Exec(script));
  EXPECT_EQ(Count(), 2);  // the last command, without ";", ran too
  auto exec = log_.MessagesStartingWith("ExecSQL Error: ");
  ASSERT_EQ(exec.size(), 1u);
  // The whole script follows; the log keeps its line breaks.
  EXPECT_EQ(exec[0], "ExecSQL Error: EDBExpressStorage.Table '" + db_->Name() +
                         ".missing' doesn't exist in query: INSERT INTO t (i_num) VALUES (1);\r");
  EXPECT_NE(log_.LineOf("ExecSQL Error").find(",ERROR,All,SQL,"), std::string::npos);

  try {
    Open("SELECT i_num FROM missing;");
    FAIL() << "no exception";
  } catch (const EDBExpressStorage& e) {
    EXPECT_EQ(std::string(e.what()), "OpenSQL Error: EDBExpressStorage.Table '" + db_->Name() +
                                         ".missing' doesn't exist in query: SELECT i_num FROM missing;");
  }
  EXPECT_EQ(log_.MessagesStartingWith("OpenSQL Error: EDBExpressStorage.Table").size(), 1u);
  EXPECT_EQ(Count(), 2);
}

TEST_F(MySqlStorageTest, SchemaQuestionsAndInsertIds) {
  EXPECT_TRUE(storage_->TableExists("T"));
  EXPECT_FALSE(storage_->TableExists("t_old"));
  EXPECT_TRUE(storage_->ColumnExists("t", "i_num"));
  EXPECT_FALSE(storage_->ColumnExists("t", "i_none"));
  EXPECT_FALSE(storage_->ColumnExists("t_old", "i_num"));
  ASSERT_TRUE(Exec("INSERT INTO t (i_num) VALUES (7);"));
  ASSERT_TRUE(Exec("INSERT INTO t (i_num) VALUES (8);"));
  EXPECT_EQ(storage_->GetLastInsertID(), 2);
  EXPECT_EQ(storage_->Statement(), "INSERT INTO t (i_num) VALUES (8);");
}

// A connection the server dropped (here: killed from a second connection)
// is replaced by the next statement, which succeeds without an error.
TEST_F(MySqlStorageTest, DroppedConnectionHealsOnTheNextStatement) {
  auto before = Open("SELECT CONNECTION_ID() AS i_id");
  ASSERT_TRUE(before);
  TDBExpressStorage other(db_->Config(dir_));
  other.SetStatement("KILL CONNECTION " + before->Row().AsString("i_id"));
  ASSERT_TRUE(other.ExecSQL());
  EXPECT_TRUE(Exec("INSERT INTO t (i_num) VALUES (1);"));
  EXPECT_EQ(Count(), 1);
  auto after = Open("SELECT CONNECTION_ID() AS i_id");
  ASSERT_TRUE(after);
  EXPECT_NE(after->Row().AsInteger("i_id"), before->Row().AsInteger("i_id"));
  EXPECT_TRUE(log_.MessagesStartingWith("ExecSQL Error").empty());
  EXPECT_TRUE(log_.MessagesStartingWith("OpenSQL Error").empty());
}

}  // namespace
}  // namespace qv
