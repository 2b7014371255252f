// The SQLite back end against real database files.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <thread>

#include "storage/sqlite_storage.h"
#include "storage_test_util.h"

namespace qv {
namespace {

using test::LogCapture;
using test::TempDir;

class SQLiteStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    storage_ = std::make_unique<TSQLiteStorage>(dir_.File("server.dbs"));
    Exec("CREATE TABLE t (s_text VARCHAR(255), i_num INTEGER, b_flag SMALLINT, dt_when VARCHAR(17));");
  }
  bool Exec(const std::string& sql) {
    storage_->SetStatement(sql);
    return storage_->ExecSQL();
  }
  std::unique_ptr<TStorageContainer> Open(const std::string& sql) {
    storage_->SetStatement(sql);
    return storage_->OpenSQL();
  }

  TempDir dir_;
  LogCapture log_{dir_};
  std::unique_ptr<TSQLiteStorage> storage_;
};

TEST_F(SQLiteStorageTest, AwkwardTextRoundTripsUnchanged) {
  const std::string awkward = "a,b \"quoted\", 'single'\r\nsecond line\t\xC3\xA4\xFF\x01 end,";
  storage_->SetStatement("INSERT INTO t (i_num, s_text) VALUES (1, :sText);");
  storage_->SetParamString(":sText", awkward);
  ASSERT_TRUE(storage_->ExecSQL());
  auto rows = Open("SELECT i_num, s_text FROM t;");  // the text is the last column
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->Count(), 1u);
  EXPECT_EQ(rows->Row().AsString("s_text"), awkward);
}

TEST_F(SQLiteStorageTest, TextIsStoredUpToAZeroByte) {
  storage_->SetStatement("INSERT INTO t (i_num, s_text) VALUES (2, :sText);");
  storage_->SetParamString(":sText", std::string("name\0'); DROP TABLE t; --", 25));
  ASSERT_TRUE(storage_->ExecSQL());
  auto rows = Open("SELECT s_text FROM t WHERE i_num = 2;");
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->Row().AsString("s_text"), "name");
}

TEST_F(SQLiteStorageTest, NullValuesFollowTheEmptyRules) {
  ASSERT_TRUE(Exec("INSERT INTO t (s_text) VALUES (NULL);"));
  auto rows = Open("SELECT s_text, i_num, b_flag, dt_when FROM t;");
  ASSERT_TRUE(rows);
  const TStorageRow& row = rows->Row();
  EXPECT_EQ(row.AsString("s_text"), "");
  EXPECT_EQ(row.AsInteger("i_num"), 0);
  EXPECT_TRUE(row.AsBoolean("b_flag"));
  EXPECT_EQ(row.AsDateTime("dt_when"), TDateTime{});
}

TEST_F(SQLiteStorageTest, TypedValuesRoundTripThroughParameters) {
  TDateTime when = EncodeDateTime(2001, 1, 2, 3, 4, 5, 6);
  storage_->SetStatement("INSERT INTO t VALUES (:sText, :iNum, :bFlag, :dtWhen);");
  storage_->SetParamString(":sText", "0042");  // stays text, leading zeros and all
  storage_->SetParamInteger(":iNum", -7);
  storage_->SetParamBool(":bFlag", false);
  storage_->SetParamDateTime(":dtWhen", when);
  ASSERT_TRUE(storage_->ExecSQL());
  EXPECT_EQ(storage_->GetLastInsertID(), 1);
  auto rows = Open("SELECT * FROM t;");
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->Row().AsString("s_text"), "0042");
  EXPECT_EQ(rows->Row().AsInteger("i_num"), -7);
  EXPECT_FALSE(rows->Row().AsBoolean("b_flag"));
  EXPECT_EQ(rows->Row().AsDateTime("dt_when"), when);
}

TEST_F(SQLiteStorageTest, NoRowsAndEmptyStatementGiveNil) {
  EXPECT_EQ(Open("SELECT * FROM t;"), nullptr);
  EXPECT_EQ(Open(""), nullptr);
  EXPECT_FALSE(Exec(""));
}

TEST_F(SQLiteStorageTest, FailedStatementIsLoggedAndStorageStaysUsable) {
  EXPECT_FALSE(Exec("INSERT INTO missing VALUES (1);"));
  EXPECT_EQ(Open("SELECT * FROM missing;"), nullptr);
  auto exec = log_.MessagesStartingWith("ExcecSQL Error: ");
  ASSERT_EQ(exec.size(), 1u);
  EXPECT_EQ(exec[0], "ExcecSQL Error: no such table: missing in query: INSERT INTO missing VALUES (1);");
  auto open = log_.MessagesStartingWith("OpenSQL Error: ");
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0], "OpenSQL Error: no such table: missing in query: SELECT * FROM missing;");
  EXPECT_NE(log_.LineOf("ExcecSQL Error").find(",ERROR,All,SQL,"), std::string::npos);
  EXPECT_TRUE(Exec("INSERT INTO t (i_num) VALUES (1);"));
}

TEST_F(SQLiteStorageTest, AFailingScriptLeavesNoPartOfItBehind) {
  EXPECT_FALSE(Exec("INSERT INTO t (i_num) VALUES (1);\r\nINSERT INTO missing VALUES (2);\r\n"));
  EXPECT_EQ(Open("SELECT i_num FROM t;"), nullptr);
  EXPECT_TRUE(Exec("INSERT INTO t (i_num) VALUES (1);\r\nINSERT INTO t (i_num) VALUES (2);\r\n"));
  auto rows = Open("SELECT i_num FROM t;");
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->Count(), 2u);
}

TEST_F(SQLiteStorageTest, ColumnWithoutTypePrefixFailsTheOpen) {
  ASSERT_TRUE(Exec("INSERT INTO t (i_num) VALUES (1);"));
  storage_->SetStatement("SELECT i_num AS num FROM t;");
  EXPECT_THROW(storage_->OpenSQL(), EStorage);
  EXPECT_EQ(log_.MessagesStartingWith("unknown field descriptor in header: num").size(), 1u);
}

TEST_F(SQLiteStorageTest, TableExistsMatchesTheWholeNameIgnoringCase) {
  ASSERT_TRUE(Exec("CREATE TABLE qv2_servers_old (i_x INTEGER);"));
  EXPECT_FALSE(storage_->TableExists("qv2_servers"));
  EXPECT_FALSE(storage_->TableExists("qv2_servers_ol"));
  EXPECT_TRUE(storage_->TableExists("QV2_SERVERS_OLD"));
  EXPECT_TRUE(storage_->ColumnExists("qv2_servers_old", "I_X"));
  EXPECT_FALSE(storage_->ColumnExists("qv2_servers_old", "i_y"));
  EXPECT_FALSE(storage_->ColumnExists("qv2_servers", "i_x"));
  EXPECT_TRUE(log_.MessagesStartingWith("ExcecSQL Error").empty());
}

TEST_F(SQLiteStorageTest, DatabaseIsInWalMode) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir_.File("server.dbs").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode;", -1, &stmt, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "wal");
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  auto rows = Open("SELECT synchronous AS i_sync FROM pragma_synchronous;");
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->Row().AsInteger("i_sync"), 1);  // NORMAL
}

TEST(SQLiteStorageOpen, FileThatIsNoDatabaseIsReportedAndLeftAlone) {
  TempDir dir;
  LogCapture log(dir);
  const std::string path = dir.File("server.dbs");
  const std::string content = "[settings]\nthis is a text file, not a database\n" + std::string(4096, 'x');
  test::WriteFile(path, content);
  try {
    TSQLiteStorage storage(path);
    FAIL() << "no exception";
  } catch (const ESQLiteStorage& e) {
    EXPECT_EQ(std::string(e.what()), "Database initialization error: file is not a database");
  }
  EXPECT_EQ(test::ReadFile(path), content);
  EXPECT_EQ(log.MessagesStartingWith("Database initialization error: file is not a database").size(), 1u);
}

TEST(SQLiteStorageOpen, UnreachablePathIsReported) {
  TempDir dir;
  LogCapture log(dir);
  EXPECT_THROW(TSQLiteStorage(dir.File("no/such/dir/server.dbs")), ESQLiteStorage);
  EXPECT_EQ(log.MessagesStartingWith("Database initialization error: ").size(), 1u);
}

// Several threads build, run and read statements at once through the lock:
// each finds its own statement intact between binding and running it.
TEST_F(SQLiteStorageTest, LockKeepsStatementsOfThreadsApart) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  std::atomic<int> broken{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        TStorageLock lock(*storage_);
        storage_->SetStatement("INSERT INTO t (i_num, s_text) VALUES (:iNum, :sText);");
        storage_->SetParamInteger(":iNum", t);
        std::this_thread::yield();  // invite another thread in, which the lock must keep out
        storage_->SetParamString(":sText", std::to_string(i));
        std::string expected = "INSERT INTO t (i_num, s_text) VALUES (" + std::to_string(t) + ", '" +
                               std::to_string(i) + "');";
        if (storage_->Statement() != expected || !storage_->ExecSQL()) ++broken;
        storage_->SetStatement("SELECT count(*) AS i_count FROM t WHERE i_num = " + std::to_string(t) + ";");
        auto rows = storage_->OpenSQL();
        if (!rows || rows->Row().AsInteger("i_count") != i + 1) ++broken;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(broken.load(), 0);
  auto rows = Open("SELECT count(*) AS i_count FROM t;");
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->Row().AsInteger("i_count"), kThreads * kRounds);
}

}  // namespace
}  // namespace qv
