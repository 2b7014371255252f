// Creating the tables of a fresh database and upgrading older ones.
#include <gtest/gtest.h>

#include "storage/schema.h"
#include "storage/sqlite_storage.h"
#include "storage_test_util.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::LogCapture;
using test::TempDir;

const std::vector<std::string> kTables = {"qv2_servers",           "qv2_channels",          "qv2_clients",
                                          "qv2_channel_privileges", "qv2_server_privileges", "qv2_bans"};

// Remembers which scripts were loaded.
class TRecordingStorage : public TSQLiteStorage {
 public:
  using TSQLiteStorage::TSQLiteStorage;
  bool LoadSQL(const std::string& path) override {
    loaded.push_back(fs::path(path).filename().string());
    return TSQLiteStorage::LoadSQL(path);
  }
  std::vector<std::string> loaded;
};

class SchemaTest : public ::testing::Test {
 protected:
  std::unique_ptr<TRecordingStorage> OpenDatabase() {
    return std::make_unique<TRecordingStorage>(dir_.File("server.dbs"));
  }
  // A copy of the shipped scripts that a test may spoil.
  std::string CopyScripts() {
    fs::path copy = dir_.Path() / "scripts";
    fs::copy(test::SourceScriptDir(), copy);
    return copy.string() + "/";
  }
  // Replaces "qv2_servers" by one lacking the given codec columns, keeping a row.
  void DropCodecColumns(TCustomStorage& storage, const std::vector<std::string>& columns) {
    std::string create = test::ReadFile(scripts_ + "create_servers.sql");
    for (const std::string& column : columns) {
      size_t at = create.find("  " + column + " ");
      ASSERT_NE(at, std::string::npos) << column;
      create.erase(at, create.find('\n', at) + 1 - at);
    }
    storage.SetStatement("DROP TABLE qv2_servers;\n" + create +
                         "INSERT INTO qv2_servers (s_server_name, i_server_udpport) VALUES ('Old', 8767);");
    ASSERT_TRUE(storage.ExecSQL());
  }

  TempDir dir_;
  LogCapture log_{dir_};
  std::string scripts_ = test::SourceScriptDir();
};

TEST_F(SchemaTest, FreshDatabaseGetsAllTablesInOrder) {
  auto storage = OpenDatabase();
  ASSERT_TRUE(CreateTables(*storage, scripts_));
  std::vector<std::string> created;
  for (const std::string& table : kTables) created.push_back("created table " + table);
  EXPECT_EQ(log_.MessagesStartingWith("created table "), created);
  EXPECT_NE(log_.LineOf("created table").find(",WARNING,Info,SQL,"), std::string::npos);
  for (const std::string& table : kTables) EXPECT_TRUE(storage->TableExists(table)) << table;
  storage->loaded.clear();
  EXPECT_TRUE(UpgradeDatabase(*storage, scripts_));
  EXPECT_TRUE(storage->loaded.empty());
}

TEST_F(SchemaTest, CompleteDatabaseRunsNoScript) {
  ASSERT_TRUE(CreateTables(*OpenDatabase(), scripts_));
  auto storage = OpenDatabase();
  EXPECT_TRUE(CreateTables(*storage, scripts_));
  EXPECT_TRUE(UpgradeDatabase(*storage, scripts_));
  EXPECT_TRUE(storage->loaded.empty());
  EXPECT_EQ(log_.MessagesStartingWith("created table ").size(), kTables.size());  // from the first run only
  EXPECT_TRUE(log_.MessagesStartingWith("Upgrading").empty());
}

TEST_F(SchemaTest, LeftoverTableWithALongerNameDoesNotHideAMissingOne) {
  auto storage = OpenDatabase();
  storage->SetStatement("CREATE TABLE qv2_servers_old (i_x INTEGER);");
  ASSERT_TRUE(storage->ExecSQL());
  ASSERT_TRUE(CreateTables(*storage, scripts_));
  EXPECT_EQ(log_.MessagesStartingWith("created table ").front(), "created table qv2_servers");
}

TEST_F(SchemaTest, DatabaseLackingOnlyTheSpeex2150ColumnRunsOnlyTheFirstUpgrade) {
  auto storage = OpenDatabase();
  ASSERT_TRUE(CreateTables(*storage, scripts_));
  DropCodecColumns(*storage, {"b_server_allow_codec_speex2150"});
  storage->loaded.clear();
  ASSERT_TRUE(UpgradeDatabase(*storage, scripts_));
  EXPECT_EQ(storage->loaded, std::vector<std::string>{"upgrade_1.sql"});
  EXPECT_EQ(log_.MessagesStartingWith("Upgrading"),
            (std::vector<std::string>{"Upgrading database script upgrade_1.sql", "Upgrading successfully"}));
  EXPECT_NE(log_.LineOf("Upgrading successfully").find(",ALL,Info,"), std::string::npos);
  EXPECT_TRUE(storage->ColumnExists("qv2_servers", "b_server_allow_codec_speex2150"));
}

TEST_F(SchemaTest, DatabaseWithoutSpeexColumnsIsBroughtUpToDate) {
  const std::vector<std::string> speex = {
      "b_server_allow_codec_speex2150",  "b_server_allow_codec_speex3950",  "b_server_allow_codec_speex5950",
      "b_server_allow_codec_speex8000",  "b_server_allow_codec_speex11000", "b_server_allow_codec_speex15000",
      "b_server_allow_codec_speex18200", "b_server_allow_codec_speex24600"};
  auto storage = OpenDatabase();
  ASSERT_TRUE(CreateTables(*storage, scripts_));
  DropCodecColumns(*storage, speex);
  storage->SetStatement("ALTER TABLE qv2_servers DROP COLUMN s_server_node;");
  ASSERT_TRUE(storage->ExecSQL());
  storage->loaded.clear();
  ASSERT_TRUE(UpgradeDatabase(*storage, scripts_));
  EXPECT_EQ(storage->loaded, (std::vector<std::string>{"upgrade_1.sql", "upgrade_2.sql", "upgrade_3.sql"}));
  // The old row reads through the current script, with the new codecs
  // allowed and the empty node.
  storage->LoadSQL(scripts_ + "read_server.sql");
  storage->SetParamInteger(":iServerID", 1);
  auto rows = storage->OpenSQL();
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->Row().AsString("s_server_name"), "Old");
  for (const std::string& column : speex) EXPECT_TRUE(rows->Row().AsBoolean(column)) << column;
  EXPECT_EQ(rows->Row().AsString("s_server_node"), "");
}

TEST_F(SchemaTest, FailedFirstUpgradeFailsEvenWhenTheSecondSucceeds) {
  scripts_ = CopyScripts();
  test::WriteFile(scripts_ + "upgrade_1.sql", "ALTER TABLE qv2_nothing ADD COLUMN b_x SMALLINT;\r\n");
  auto storage = OpenDatabase();
  ASSERT_TRUE(CreateTables(*storage, scripts_));
  DropCodecColumns(*storage, {"b_server_allow_codec_speex2150", "b_server_allow_codec_speex15000"});
  test::WriteFile(scripts_ + "upgrade_2.sql",
                  "ALTER TABLE qv2_servers ADD COLUMN b_server_allow_codec_speex15000 SMALLINT;\r\n");
  EXPECT_FALSE(UpgradeDatabase(*storage, scripts_));
  EXPECT_EQ(log_.MessagesStartingWith("Upgrading"),
            (std::vector<std::string>{"Upgrading database script upgrade_1.sql", "Upgrading failed!",
                                      "Upgrading database script upgrade_2.sql", "Upgrading successfully"}));
}

TEST_F(SchemaTest, TableThatCannotBeCreatedStopsTheCreation) {
  scripts_ = CopyScripts();
  test::WriteFile(scripts_ + "create_clients.sql", "CREATE TABLE broken (;\r\n");
  fs::remove(scripts_ + "create_channels.sql");
  auto storage = OpenDatabase();
  EXPECT_FALSE(CreateTables(*storage, scripts_));
  EXPECT_EQ(log_.MessagesStartingWith("created table "), std::vector<std::string>{"created table qv2_servers"});
  EXPECT_EQ(log_.MessagesStartingWith("unable to create table").size(), 1u);
  EXPECT_EQ(log_.MessagesStartingWith("SQL file not found ").size(), 1u);
  EXPECT_FALSE(storage->TableExists("qv2_clients"));  // never reached

  test::WriteFile(scripts_ + "create_channels.sql", "CREATE TABLE other (i_x INTEGER);\r\n");
  EXPECT_FALSE(CreateTables(*storage, scripts_));  // runs, but not the table it must create
}

}  // namespace
}  // namespace qv
