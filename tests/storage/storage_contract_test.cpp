// The back-end independent part of the storage: script loading, parameter
// binding, typed fields, rows and result containers.
#include <gtest/gtest.h>

#include "storage/server_storage.h"
#include "storage_test_util.h"

namespace qv {
namespace {

using test::LogCapture;
using test::TempDir;

// A storage without a database: only the statement text matters here.
class TTextStorage : public TCustomStorage {
 public:
  TTextStorage() : TCustomStorage("none") {}
  using TCustomStorage::StatementCommands;
  bool ExecSQL() override { return !Statement().empty(); }
  std::unique_ptr<TStorageContainer> OpenSQL() override { return nullptr; }
  int64_t GetLastInsertID() override { return 0; }
  bool TableExists(const std::string&) override { return false; }
  bool ColumnExists(const std::string&, const std::string&) override { return false; }
};

TEST(StorageBinding, StringIsQuotedWithInnerQuotesDoubled) {
  TTextStorage storage;
  storage.SetStatement("INSERT INTO t VALUES (:sName);");
  storage.SetParamString(":sName", "O'Brien's ''x'");
  EXPECT_EQ(storage.Statement(), "INSERT INTO t VALUES ('O''Brien''s ''''x''');");
}

TEST(StorageBinding, ValueHoldingALaterParameterNameStaysUnchanged) {
  TTextStorage storage;
  storage.SetStatement("a=:sName b=:sTopic c=:iOrder");
  storage.SetParamString(":sName", "see :sTopic and :iOrder");
  storage.SetParamString(":sTopic", "x");
  storage.SetParamInteger(":iOrder", 7);
  EXPECT_EQ(storage.Statement(), "a='see :sTopic and :iOrder' b='x' c=7");
}

TEST(StorageBinding, EveryOccurrenceIsReplacedIgnoringCase) {
  TTextStorage storage;
  storage.SetStatement("WHERE a = :iServerID OR b = :ISERVERID OR c = :iserverid");
  storage.SetParamInteger(":iServerID", -42);
  EXPECT_EQ(storage.Statement(), "WHERE a = -42 OR b = -42 OR c = -42");
}

TEST(StorageBinding, TypedTextFormsAndUnboundParametersStay) {
  TTextStorage storage;
  storage.SetStatement(":bYes :bNo :dtCreated :iBig :sLeft");
  storage.SetParamBool(":bYes", true);
  storage.SetParamBool(":bNo", false);
  storage.SetParamDateTime(":dtCreated", EncodeDateTime(2024, 2, 29, 13, 5, 9, 7));
  storage.SetParamInteger(":iBig", 4000000000LL);
  EXPECT_EQ(storage.Statement(), "-1 0 '29022024130509007' 4000000000 :sLeft");
}

TEST(StorageBinding, DateTimeTextRoundTripsAndOddTextsReadAsZero) {
  TDateTime when = EncodeDateTime(1999, 12, 31, 23, 59, 58, 999);
  EXPECT_EQ(StorageDateTimeText(when), "31121999235958999");
  EXPECT_EQ(StorageDateTimeValue("31121999235958999"), when);
  EXPECT_EQ(StorageDateTimeText(TDateTime{}), "30121899000000000");
  EXPECT_EQ(StorageDateTimeValue("3112199923595899"), TDateTime{});     // 16 characters
  EXPECT_EQ(StorageDateTimeValue("311219992359589990"), TDateTime{});   // 18 characters
  EXPECT_EQ(StorageDateTimeValue("32131999235958999"), TDateTime{});    // no such date
  EXPECT_EQ(StorageDateTimeValue("3112199923595899x"), TDateTime{});
}

// Scripts are cut into commands at ";" outside quotes of the script text;
// bound values are never cut, whatever they hold.
TEST(StorageCommands, ScriptIsCutBeforeValuesAreBound) {
  struct TCase {
    const char* script;
    const char* value;  // bound to :sV
    std::vector<std::string> commands;
  };
  const std::vector<TCase> cases = {
      {"A;B", "", {"A", "B"}},
      {"A;\r\nB;\r\n", "", {"A", "\r\nB"}},
      {"A", "", {"A"}},
      {" ;\r\n;", "", {}},
      {"X 'a;b' \"c;d\";Y", "", {"X 'a;b' \"c;d\"", "Y"}},
      {"INSERT :sV;SELECT 1;", "x\"; DROP TABLE qv2_bans; --", {"INSERT 'x\"; DROP TABLE qv2_bans; --'", "SELECT 1"}},
      {"U :sV;V", "it's; ';", {"U 'it''s; '';'", "V"}},
  };
  for (const TCase& c : cases) {
    TTextStorage storage;
    storage.SetStatement(c.script);
    storage.SetParamString(":sV", c.value);
    EXPECT_EQ(storage.StatementCommands(), c.commands) << c.script;
  }
}

TEST(StorageLoad, LinesAreJoinedWithCrLfAndAMissingFileIsLogged) {
  TempDir dir;
  LogCapture log(dir);
  TTextStorage storage;
  test::WriteFile(dir.File("a.sql"), "SELECT 1\nFROM t\r\nWHERE x = :iX;");
  ASSERT_TRUE(storage.LoadSQL(dir.File("a.sql")));
  EXPECT_EQ(storage.Statement(), "SELECT 1\r\nFROM t\r\nWHERE x = :iX;\r\n");

  std::string missing = dir.File("missing.sql");
  EXPECT_FALSE(storage.LoadSQL(missing));
  EXPECT_EQ(storage.Statement(), "");
  EXPECT_FALSE(storage.ExecSQL());
  EXPECT_FALSE(storage.LoadSQL(dir.Path().string()));  // a directory is no script
  ASSERT_EQ(log.MessagesStartingWith("SQL file not found ").size(), 2u);
  EXPECT_EQ(log.MessagesStartingWith("SQL file not found ")[0], "SQL file not found " + missing);
  EXPECT_NE(log.LineOf("SQL file not found").find(",ERROR,All,SQL,"), std::string::npos);
}

TEST(StorageScriptPath, SeparatorIsAddedOnlyWhenMissing) {
  EXPECT_EQ(ScriptPath("/x/sqlite_sql/", "a.sql"), "/x/sqlite_sql/a.sql");
  EXPECT_EQ(ScriptPath("/x/sqlite_sql", "a.sql"), "/x/sqlite_sql/a.sql");
}

TEST(StorageFields, PrefixDecidesTypeAndEmptyRules) {
  auto text = CreateStorageField("s_name", "", true);
  auto number = CreateStorageField("i_count", "", true);
  auto flagSqlite = CreateStorageField("b_flag", "", true);
  auto flagMysql = CreateStorageField("b_flag", "", false);
  auto when = CreateStorageField("dt_created", "0102200304050600", true);
  EXPECT_EQ(text->AsString(), "");
  EXPECT_EQ(number->AsInteger(), 0);
  EXPECT_TRUE(flagSqlite->AsBoolean());
  EXPECT_FALSE(flagMysql->AsBoolean());
  EXPECT_EQ(when->AsDateTime(), TDateTime{});
  EXPECT_EQ(when->AsString(), "30121899000000000");
  EXPECT_THROW(text->AsInteger(), EStorage);
  EXPECT_THROW(number->AsDateTime(), EStorage);
}

TEST(StorageFields, BooleanTextsAndForms) {
  EXPECT_FALSE(CreateStorageField("b_x", "0", true)->AsBoolean());
  EXPECT_TRUE(CreateStorageField("b_x", "-1", false)->AsBoolean());
  EXPECT_TRUE(CreateStorageField("b_x", "5", false)->AsBoolean());
  EXPECT_TRUE(CreateStorageField("b_x", "TRUE", false)->AsBoolean());
  EXPECT_FALSE(CreateStorageField("b_x", "false", true)->AsBoolean());
  auto yes = CreateStorageField("b_x", "1", true);
  EXPECT_EQ(yes->AsString(), "-1");
  EXPECT_EQ(yes->AsInteger(), 1);
  EXPECT_EQ(CreateStorageField("b_x", "0", true)->AsInteger(), 0);
  EXPECT_THROW(CreateStorageField("b_x", "maybe", true), EStorage);
}

TEST(StorageFields, IntegersAreSigned32Bit) {
  EXPECT_EQ(CreateStorageField("i_x", "-2147483648", true)->AsInteger(), INT32_MIN);
  EXPECT_EQ(CreateStorageField("I_X", "2147483647", true)->AsString(), "2147483647");
  EXPECT_THROW(CreateStorageField("i_x", "2147483648", true), EStorage);
  EXPECT_THROW(CreateStorageField("i_x", "12abc", true), EStorage);
}

TEST(StorageFields, UnknownPrefixIsLoggedAndFails) {
  TempDir dir;
  LogCapture log(dir);
  try {
    CreateStorageField("name", "x", true);
    FAIL() << "no exception";
  } catch (const EStorage& e) {
    EXPECT_STREQ(e.what(), "unknown field descriptor in header: name");
  }
  EXPECT_EQ(log.MessagesStartingWith("unknown field descriptor in header: name").size(), 1u);
}

TEST(StorageRow, LookupIgnoresCaseAndMissingFieldFails) {
  TStorageRow row;
  row.Add(CreateStorageField("s_server_name", "Lobby", true));
  row.Add(CreateStorageField("i_server_id", "3", true));
  row.Add(CreateStorageField("b_server_active", "-1", true));
  row.Add(CreateStorageField("S_SERVER_NAME", "duplicate", true));  // ignored
  EXPECT_EQ(row.FieldByName("S_SERVER_NAME").AsString(), "Lobby");
  EXPECT_EQ(row.AsInteger("I_Server_Id"), 3);
  ASSERT_EQ(row.Count(), 3u);
  EXPECT_EQ(row.Field(0).Name(), "b_server_active");  // sorted by name
  EXPECT_EQ(row.FindField("s_server"), nullptr);
  try {
    row.FieldByName("s_missing");
    FAIL() << "no exception";
  } catch (const EStorage& e) {
    EXPECT_STREQ(e.what(), "field s_missing not found");
  }
}

TEST(StorageContainer, CursorWalksTheRows) {
  TStorageContainer rows;
  for (const char* id : {"1", "2"}) {
    auto row = std::make_unique<TStorageRow>();
    row->Add(CreateStorageField("i_id", id, true));
    rows.Add(std::move(row));
  }
  std::vector<int> seen;
  for (rows.First(); !rows.Eof(); rows.Next()) seen.push_back(rows.Row().AsInteger("i_id"));
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  EXPECT_THROW(rows.Row(), EStorage);
  rows.First();
  EXPECT_EQ(rows.Row().AsInteger("i_id"), 1);
}

}  // namespace
}  // namespace qv
