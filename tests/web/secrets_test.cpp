// Stored passwords through the running process: a database of an older
// version (clear-text passwords) is hashed at start and its accounts still
// log in; every way of setting a password stores a hash that logs in.
#include <functional>
#include <map>

#include "base/password_hash.h"
#include "e2e/query_fixture.h"
#include "web_fixture.h"

namespace qv {
namespace webtest {
namespace {

using test::TQueryConnection;

class SecretsTest : public WebProcessTest {
 protected:
  void SetUp() override {
    if (BuildDir().empty()) GTEST_SKIP() << "QV_BUILD_DIR is not set";
    udpPort = FreePort(SOCK_DGRAM);
    httpPort = FreePort(SOCK_STREAM);
    queryPort = FreePort(SOCK_STREAM);
    PrepareDatabase();
    {
      // As an older version stored them: every password in clear.
      TSQLiteStorage db(Path("server.dbs"));
      TStorageLock lock(db);
      db.SetStatement("UPDATE qv2_clients SET s_client_password = 'pw'");
      ASSERT_TRUE(db.ExecSQL());
    }
    test::WriteServerIni(Path("server.ini"), queryPort, httpPort, "BoundToIp=127.0.0.1\n");
    fs::create_directories(Path("docs/gfx"));
    for (const auto& [name, text] : kDocs) WriteFile(Path(std::string("docs/") + name), text);
    Start();
  }

  struct TStoredRow {
    int32_t Id = 0;
    std::string Password;
  };
  // The stored rows by login name ("0:" before superadmins' names).
  std::map<std::string, TStoredRow> Stored() {
    TSQLiteStorage db(Path("server.dbs"));
    TStorageLock lock(db);
    db.SetStatement("SELECT i_client_id, i_server_id, s_client_name, s_client_password FROM qv2_clients");
    std::map<std::string, TStoredRow> rows;
    auto result = db.OpenSQL();
    for (size_t i = 0; result && i < result->Count(); ++i) {
      const TStorageRow& row = result->RowAt(i);
      const std::string prefix = row.AsInteger("i_server_id") == 0 ? "0:" : "";
      rows[prefix + row.AsString("s_client_name")] = {row.AsInteger("i_client_id"), row.AsString("s_client_password")};
    }
    return rows;
  }
  std::unique_ptr<TQueryConnection> Query() {
    auto c = std::make_unique<TQueryConnection>(queryPort);
    EXPECT_EQ(c->Send("slogin root pw"), "OK\r\n");
    EXPECT_EQ(c->Send("sel " + Port()), "OK\r\n");
    return c;
  }

  uint16_t queryPort = 0;
};

TEST_F(SecretsTest, ClearTextRowsOfAnOlderVersionAreHashedOnceAndStillLogIn) {
  EXPECT_TRUE(Has(Log(), "Hashed 3 clear-text account password(s)")) << Log();
  const auto rows = Stored();
  ASSERT_EQ(rows.size(), 3u);
  for (const auto& [name, row] : rows)
    EXPECT_TRUE(IsPasswordHash(row.Password) && VerifyPassword(row.Password, "pw")) << name << ": " << row.Password;

  TBrowser admin(httpPort), root(httpPort), guess(httpPort);
  EXPECT_TRUE(admin.LogIn("admin", "pw", Port()));
  EXPECT_TRUE(root.LogIn("root", "pw", "", true));
  EXPECT_FALSE(guess.LogIn("admin", "PW", Port()));
  EXPECT_TRUE(Has(admin.Page("/index.html"), "INDEX user=admin")) << "the session works without a password kept";
  TQueryConnection query(queryPort);
  EXPECT_EQ(query.Send("slogin root pw"), "OK\r\n");
  EXPECT_EQ(query.Send("sel " + Port()), "OK\r\n");
  EXPECT_EQ(query.Send("login admin pw"), "OK\r\n");
  EXPECT_EQ(query.Send("login admin nope"), "ERROR, invalid login\r\n");

  ASSERT_EQ(server_->Finish(SIGTERM), 0);
  fs::remove(Path("server.log"));
  Start();
  EXPECT_FALSE(Has(Log(), "clear-text account password")) << "only the first start finds any";
  EXPECT_TRUE(TBrowser(httpPort).LogIn("root", "pw", "", true));
}

TEST_F(SecretsTest, EveryWayOfSettingAPasswordStoresAHashThatLogsIn) {
  TBrowser admin = Admin(), root = Root();
  auto query = Query();
  const auto before = Stored();
  struct TCase {
    std::string how;      // what sets the password
    std::string account;  // its key in Stored()
    std::string password;
    std::function<void()> set;
  };
  const std::vector<TCase> cases = {
      {"query dbuseradd", "qa", "qa-pw", [&] { EXPECT_EQ(query->Send("dbuseradd qa qa-pw qa-pw 0"), "OK\r\n"); }},
      {"query dbsuseradd", "0:qs", "qs-pw", [&] { EXPECT_EQ(query->Send("dbsuseradd qs qs-pw qs-pw"), "OK\r\n"); }},
      {"query dbuserchangepw", "user", "user-2",
       [&] { EXPECT_EQ(query->Send("dbuserchangepw " + std::to_string(before.at("user").Id) + " user-2 user-2"), "OK\r\n"); }},
      {"query dbsuserchangepw", "0:qs", "qs-2",
       [&] { EXPECT_EQ(query->Send("dbsuserchangepw " + std::to_string(Stored().at("0:qs").Id) + " qs-2 qs-2"), "OK\r\n"); }},
      {"web add_client", "wa", "wa-pw",
       [&] { admin.Action("/add_client.qvcmd", {{"CLIENTLOGINNAME", "wa"}, {"CLIENTPW1", "wa-pw"}, {"CLIENTPW2", "wa-pw"}}); }},
      {"web edit_client", "wa", "wa-2",
       [&] {
         admin.Action("/edit_client.qvcmd", {{"CLIENTID", std::to_string(Stored().at("wa").Id)}, {"CLIENTPW1", "wa-2"},
                                             {"CLIENTPW2", "wa-2"}, {"CLIENTSERVERADMIN", "0"}});
       }},
      {"web add_sclient", "0:ws", "ws-pw",
       [&] { root.Action("/add_sclient.qvcmd", {{"CLIENTLOGINNAME", "ws"}, {"CLIENTPW1", "ws-pw"}, {"CLIENTPW2", "ws-pw"}}); }},
      {"web edit_sclient", "0:ws", "ws-2",
       [&] {
         root.Action("/edit_sclient.qvcmd",
                     {{"CLIENTID", std::to_string(Stored().at("0:ws").Id)}, {"CLIENTPW1", "ws-2"}, {"CLIENTPW2", "ws-2"}});
       }},
  };
  for (const TCase& c : cases) {
    c.set();
    const auto rows = Stored();
    ASSERT_TRUE(rows.count(c.account)) << c.how;
    const std::string& stored = rows.at(c.account).Password;
    EXPECT_TRUE(IsPasswordHash(stored) && VerifyPassword(stored, c.password)) << c.how << ": " << stored;
    const bool super = c.account.rfind("0:", 0) == 0;
    EXPECT_TRUE(TBrowser(httpPort).LogIn(super ? c.account.substr(2) : c.account, c.password, super ? "" : Port(), super))
        << c.how;
  }
}

}  // namespace
}  // namespace webtest
}  // namespace qv
