// Every shipped script, loaded, bound and run against the created schema the
// way the program calls it, on both back ends (MySQL when the test server of
// scripts/run-tests.sh is there): written, read back, typed values equal, and
// no parameter left in any statement.
#include <gtest/gtest.h>

#include <set>
#include <variant>

#include "base/text_utils.h"
#include "storage/schema.h"
#include "storage/sqlite_storage.h"
#include "storage_test_util.h"
#include "support/mysql_test_db.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::LogCapture;
using test::TempDir;

using TValue = std::variant<std::string, int64_t, bool, TDateTime>;
using TParams = std::vector<std::pair<std::string, TValue>>;

const std::vector<std::string> kCodecColumns = {
    "b_server_allow_codec_celp51",     "b_server_allow_codec_celp63",     "b_server_allow_codec_gsm148",
    "b_server_allow_codec_gsm164",     "b_server_allow_codec_celp52",     "b_server_allow_codec_speex2150",
    "b_server_allow_codec_speex3950",  "b_server_allow_codec_speex5950",  "b_server_allow_codec_speex8000",
    "b_server_allow_codec_speex11000", "b_server_allow_codec_speex15000", "b_server_allow_codec_speex18200",
    "b_server_allow_codec_speex24600"};
const std::vector<std::string> kCodecParams = {":bCelp51",     ":bCelp63",     ":bGSM148",     ":bGSM164",
                                               ":bCelp52",     ":bSpeex2150",  ":bSpeex3950",  ":bSpeex5950",
                                               ":bSpeex8000",  ":bSpeex11000", ":bSpeex15000", ":bSpeex18200",
                                               ":bSpeex24600"};

// The stored permissions, in permission order.
const std::vector<std::string> kPermissionColumns = {
    "b_sp_AccessWebAdminServer", "b_sp_AccessTcpServer", "b_sp_AccessVoice", "b_sp_AdminRegisterPlayer",
    "b_sp_AdminListDBUsers", "b_sp_AdminChangeOwnPassword", "b_sp_AdminChangeUserPassword",
    "b_sp_AdminSetServerPermissions", "b_sp_AdminListDBServers", "b_sp_AdminAddServer", "b_sp_AdminDeleteServer",
    "b_sp_AdminEditServerIpPort", "b_sp_AdminEditServerWebpostUrl", "b_sp_AdminEditServerName",
    "b_sp_AdminEditServerMaxUsers", "b_sp_AdminEditServerWelcomeMessage", "b_sp_AdminEditServerPassword",
    "b_sp_AdminEditServerType", "b_sp_AdminEditServerAllodCodecs", "b_sp_AdminBanIp", "b_sp_AdminMovePlayer",
    "b_sp_AdminStopServer", "b_sp_AdminStartServer", "b_sp_ChannelJoinRegisterred",
    "b_sp_ChannelCreateRegisterred", "b_sp_ChannelCreateUnregisterred", "b_sp_ChannelCreateDefault",
    "b_sp_ChannelCreateSubchannels", "b_sp_ChannelCreateModerated", "b_sp_ChannelDelete", "b_sp_ChannelEditName",
    "b_sp_ChannelEditPassword", "b_sp_ChannelEditTopic", "b_sp_ChannelEditDescription", "b_sp_ChannelEditOrder",
    "b_sp_ChannelEditMaxUsers", "b_sp_ChannelEditCodec", "b_sp_ChannelJoinChannelWithoutPassword",
    "b_sp_PrivilegeGrantSA", "b_sp_PrivilegeGrantCA", "b_sp_PrivilegeGrantAutoOp", "b_sp_PrivilegeGrantOp",
    "b_sp_PrivilegeGrantAutoV", "b_sp_PrivilegeGrantV", "b_sp_PrivilegeGrantAllowRegistration",
    "b_sp_PrivilegeRevokeSA", "b_sp_PrivilegeRevokeCA", "b_sp_PrivilegeRevokeAutoOp", "b_sp_PrivilegeRevokeOp",
    "b_sp_PrivilegeRevokeAutoV", "b_sp_PrivilegeRevokeV", "b_sp_PrivilegeRevokeAllowRegistration",
    "b_sp_PrivilegeAdminPlayerRegister", "b_sp_PrivilegePlayerDelete", "b_sp_PrivilegeRegisterSelfByDefault",
    "b_sp_SendTextToAll", "b_sp_SendTextToOwnChannel", "b_sp_SendTextToAllChannel", "b_sp_SendTextToPlayer",
    "b_sp_KickPlayerFromServer", "b_sp_KickPlayerFromChannel", "b_sp_AllowChannelCommanderStatus"};

std::string PermissionParam(const std::string& column) {
  if (column == "b_sp_SendTextToAll") return ":bSendTextToAllPlayers";
  return ":b" + column.substr(5);
}

// Parameter names as scripts write them: a colon, a type group, a capital
// letter and more letters or digits.
std::vector<std::string> FindParameters(const std::string& text) {
  std::vector<std::string> found;
  for (size_t pos = text.find(':'); pos != std::string::npos; pos = text.find(':', pos + 1)) {
    size_t word = pos + 1;
    if (text.compare(word, 2, "dt") == 0) {
      word += 2;
    } else if (word < text.size() && (text[word] == 'i' || text[word] == 's' || text[word] == 'b')) {
      word += 1;
    } else {
      continue;
    }
    if (word >= text.size() || !std::isupper(static_cast<unsigned char>(text[word]))) continue;
    while (word < text.size() && std::isalnum(static_cast<unsigned char>(text[word]))) ++word;
    found.push_back(text.substr(pos, word - pos));
  }
  return found;
}

enum class TBackEnd { SQLite, MySQL };

class ScriptsTest : public ::testing::TestWithParam<TBackEnd> {
 protected:
  void SetUp() override {
    if (GetParam() == TBackEnd::MySQL) {
      if (!test::MySqlHost()) GTEST_SKIP() << "QV_TEST_MYSQL is not set (scripts/run-tests.sh starts a MariaDB server)";
      mysql_ = std::make_unique<test::TMySqlTestDatabase>();
      storage_ = std::make_unique<TDBExpressStorage>(mysql_->Config(dir_));
    } else {
      storage_ = std::make_unique<TSQLiteStorage>(dir_.File("server.dbs"));
    }
    ASSERT_TRUE(CreateTables(*storage_, scripts_));
  }

  void Load(const std::string& script, const TParams& params) {
    ASSERT_TRUE(storage_->LoadSQL(scripts_ + script)) << script;
    for (const auto& [name, value] : params) {
      if (auto* s = std::get_if<std::string>(&value)) storage_->SetParamString(name, *s);
      if (auto* i = std::get_if<int64_t>(&value)) storage_->SetParamInteger(name, *i);
      if (auto* b = std::get_if<bool>(&value)) storage_->SetParamBool(name, *b);
      if (auto* d = std::get_if<TDateTime>(&value)) storage_->SetParamDateTime(name, *d);
    }
    std::vector<std::string> left = FindParameters(storage_->Statement());
    EXPECT_TRUE(left.empty()) << script << " leaves " << left.front();
  }
  bool Exec(const std::string& script, const TParams& params) {
    TStorageLock lock(*storage_);
    Load(script, params);
    return storage_->ExecSQL();
  }
  std::unique_ptr<TStorageContainer> Open(const std::string& script, const TParams& params) {
    TStorageLock lock(*storage_);
    Load(script, params);
    return storage_->OpenSQL();
  }
  int64_t NewServer(int64_t port) {
    EXPECT_TRUE(Exec("new_server.sql", {{":iServerPort", port}, {":dtServerCreated", Now()}, {":sNode", std::string()}}));
    return storage_->GetLastInsertID();
  }

  TempDir dir_;
  LogCapture log_{dir_};
  std::string scripts_ = test::SourceScriptDir();
  std::unique_ptr<test::TMySqlTestDatabase> mysql_;  // outlives the storage
  std::unique_ptr<TCustomStorage> storage_;
  const TDateTime created_ = EncodeDateTime(2023, 7, 14, 9, 30, 15, 250);
};

TEST(ScriptFiles, NoParameterNameBeginsAnotherInTheSameScript) {
  size_t scripts = 0;
  for (const auto& entry : fs::directory_iterator(test::SourceScriptDir())) {
    std::string text = test::ReadFile(entry.path().string());
    std::set<std::string> names;
    for (const std::string& name : FindParameters(text)) names.insert(LowerCase(name));
    std::string file = entry.path().filename().string();
    if (file == "edit_server.sql") {
      EXPECT_EQ(names.size(), 23u);
    }
    if (file == "new_server_privilege.sql" || file == "edit_server_privilege.sql") {
      EXPECT_EQ(names.size(), 64u) << file;  // server, group and one per stored permission
    }
    for (const std::string& a : names)
      for (const std::string& b : names)
        EXPECT_TRUE(a == b || b.rfind(a, 0) != 0) << entry.path().filename() << ": " << a << " begins " << b;
    ++scripts;
  }
  EXPECT_EQ(scripts, 38u);
}

TEST_P(ScriptsTest, ServerRowsAreCreatedEditedReadAndDeleted) {
  int64_t id = NewServer(9001);
  ASSERT_GT(id, 0);
  auto port = Open("read_server_port.sql", {{":iPort", int64_t{9001}}});
  ASSERT_TRUE(port);
  EXPECT_EQ(port->Row().AsInteger("i_server_id"), id);

  TParams edit = {{":iServerID", id}, {":iMaxUser", int64_t{50}}, {":iServerPort", int64_t{9002}},
                  {":bActive", true}, {":bClanServer", true}};
  for (size_t i = 0; i < kCodecParams.size(); ++i) edit.emplace_back(kCodecParams[i], i % 2 == 0);
  edit.insert(edit.end(), {{":sName", std::string("It's \"the\", lobby")},
                           {":sWelcome", std::string("Hello,\r\nworld \xE4")},
                           {":sPassword", std::string("p'w")},
                           {":sWebPostURL", std::string("http://post.example/")},
                           {":sWebLinkURL", std::string("http://link.example/")}});
  ASSERT_TRUE(Exec("edit_server.sql", edit));

  auto rows = Open("read_server.sql", {{":iServerID", id}});
  ASSERT_TRUE(rows);
  const TStorageRow& row = rows->Row();
  EXPECT_EQ(row.AsString("s_server_name"), "It's \"the\", lobby");
  EXPECT_EQ(row.AsString("s_server_welcomemessage"), "Hello,\r\nworld \xE4");
  EXPECT_EQ(row.AsInteger("i_server_maxusers"), 50);
  EXPECT_EQ(row.AsInteger("i_server_udpport"), 9002);
  EXPECT_EQ(row.AsString("s_server_password"), "p'w");
  EXPECT_TRUE(row.AsBoolean("b_server_clan_server"));
  for (size_t i = 0; i < kCodecColumns.size(); ++i) EXPECT_EQ(row.AsBoolean(kCodecColumns[i]), i % 2 == 0) << i;
  EXPECT_EQ(row.AsString("s_server_weblinkurl"), "http://link.example/");
  EXPECT_EQ(row.AsString("s_server_webposturl"), "http://post.example/");

  int64_t second = NewServer(9003);
  auto all = Open("read_servers.sql", {});
  ASSERT_TRUE(all);
  ASSERT_EQ(all->Count(), 2u);
  EXPECT_EQ(all->RowAt(0).AsInteger("i_server_id"), id);
  EXPECT_TRUE(all->RowAt(0).AsBoolean("b_server_active"));
  EXPECT_EQ(all->RowAt(1).AsInteger("i_server_id"), second);
  EXPECT_EQ(all->RowAt(1).AsInteger("i_server_udpport"), 9003);
  EXPECT_EQ(all->RowAt(1).AsString("s_server_name"), "Quillvane Server");

  ASSERT_TRUE(Exec("delete_server.sql", {{":iServerID", id}}));
  EXPECT_EQ(Open("read_server.sql", {{":iServerID", id}}), nullptr);
  EXPECT_EQ(NewServer(9004), second + 1);  // ids of deleted servers are never handed out again
}

TEST_P(ScriptsTest, ChannelsAndTheirPrivileges) {
  int64_t server = NewServer(9001);
  auto channel = [&](int64_t parent, const std::string& name, bool flag) -> TParams {
    return {{":iParentID", parent},        {":dtCreated", created_},         {":iServerID", server},
            {":sPassword", std::string("x'y")}, {":sName", name},           {":sTopic", std::string("topic")},
            {":sDescription", std::string("a, \"b\"")}, {":iMaxUsers", int64_t{25}}, {":iOrder", int64_t{3}},
            {":iCodec", int64_t{12}},     {":bModerated", flag},            {":bHierarchical", !flag},
            {":bDefault", flag}};
  };
  ASSERT_TRUE(Exec("new_channel.sql", channel(-1, "Top", true)));
  int64_t top = storage_->GetLastInsertID();
  ASSERT_TRUE(Exec("new_channel.sql", channel(top, "Sub", false)));
  int64_t sub = storage_->GetLastInsertID();

  auto rows = Open("read_channels.sql", {{":iServerID", server}});
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->Count(), 2u);
  const TStorageRow& first = rows->RowAt(0);
  EXPECT_EQ(first.AsInteger("i_channel_id"), top);
  EXPECT_EQ(first.AsInteger("i_channel_parent_id"), -1);
  EXPECT_EQ(first.AsDateTime("dt_channel_created"), created_);
  EXPECT_EQ(first.AsString("s_channel_name"), "Top");
  EXPECT_EQ(first.AsString("s_channel_topic"), "topic");
  EXPECT_EQ(first.AsString("s_channel_description"), "a, \"b\"");
  EXPECT_EQ(first.AsString("s_channel_password"), "x'y");
  EXPECT_EQ(first.AsInteger("i_channel_maxusers"), 25);
  EXPECT_EQ(first.AsInteger("i_channel_order"), 3);
  EXPECT_EQ(first.AsInteger("i_channel_codec"), 12);
  EXPECT_TRUE(first.AsBoolean("b_channel_flag_moderated"));
  EXPECT_FALSE(first.AsBoolean("b_channel_flag_hierarchical"));
  EXPECT_TRUE(first.AsBoolean("b_channel_flag_default"));
  EXPECT_EQ(rows->RowAt(1).AsInteger("i_channel_parent_id"), top);

  // An edit binds the channel id instead of the parent and creation time.
  TParams edit = channel(0, "Renamed", false);
  edit.erase(edit.begin(), edit.begin() + 2);
  edit.insert(edit.begin(), {":iChannelID", top});
  ASSERT_TRUE(Exec("edit_channel.sql", edit));
  rows = Open("read_channels.sql", {{":iServerID", server}});
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->RowAt(0).AsString("s_channel_name"), "Renamed");
  EXPECT_EQ(rows->RowAt(0).AsInteger("i_channel_parent_id"), -1);
  EXPECT_EQ(rows->RowAt(0).AsDateTime("dt_channel_created"), created_);
  EXPECT_FALSE(rows->RowAt(0).AsBoolean("b_channel_flag_default"));
  EXPECT_EQ(rows->RowAt(1).AsString("s_channel_name"), "Sub");

  TParams key = {{":iServerID", server}, {":iClientID", int64_t{7}}, {":iChannelID", sub}};
  EXPECT_EQ(Open("read_channel_privilege.sql", key), nullptr);
  TParams save = key;
  save.insert(save.end(), {{":bAdmin", true}, {":bAutoOP", false}, {":bAutoVoice", true}});
  ASSERT_TRUE(Exec("new_channel_privilege.sql", save));
  save[4].second = true;
  ASSERT_TRUE(Exec("edit_channel_privilege.sql", save));
  auto privilege = Open("read_channel_privilege.sql", key);
  ASSERT_TRUE(privilege);
  EXPECT_TRUE(privilege->Row().AsBoolean("b_cp_flag_admin"));
  EXPECT_TRUE(privilege->Row().AsBoolean("b_cp_flag_autoop"));
  EXPECT_TRUE(privilege->Row().AsBoolean("b_cp_flag_autovoice"));

  ASSERT_TRUE(Exec("remove_moderatedattribs.sql", {{":iServerID", server}, {":iChannelID", sub}}));
  privilege = Open("read_channel_privilege.sql", key);
  ASSERT_TRUE(privilege);
  EXPECT_TRUE(privilege->Row().AsBoolean("b_cp_flag_admin"));
  EXPECT_FALSE(privilege->Row().AsBoolean("b_cp_flag_autoop"));
  EXPECT_FALSE(privilege->Row().AsBoolean("b_cp_flag_autovoice"));

  ASSERT_TRUE(Exec("delete_channel.sql", {{":iServerID", server}, {":iChannelID", sub}}));
  rows = Open("read_channels.sql", {{":iServerID", server}});
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->Count(), 1u);
  EXPECT_EQ(Open("read_channel_privilege.sql", key), nullptr);
}

TEST_P(ScriptsTest, ServerPrivilegesStoreEveryPermission) {
  int64_t server = NewServer(9001);
  auto save = [&](const char* script, bool invert) {
    TParams params = {{":iServerID", server}, {":sGroup", std::string("_ugSA")}};
    for (size_t i = 0; i < kPermissionColumns.size(); ++i)
      params.emplace_back(PermissionParam(kPermissionColumns[i]), (i % 3 == 0) != invert);
    return Exec(script, params);
  };
  auto check = [&](bool invert) {
    auto rows = Open("read_server_privilege.sql", {{":iServerID", server}, {":sGroup", std::string("_ugSA")}});
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->Row().Count(), kPermissionColumns.size());
    for (size_t i = 0; i < kPermissionColumns.size(); ++i)
      EXPECT_EQ(rows->Row().AsBoolean(kPermissionColumns[i]), (i % 3 == 0) != invert) << kPermissionColumns[i];
  };
  ASSERT_TRUE(save("new_server_privilege.sql", false));
  check(false);
  ASSERT_TRUE(save("edit_server_privilege.sql", true));
  check(true);
  EXPECT_EQ(Open("read_server_privilege.sql", {{":iServerID", server}, {":sGroup", std::string("_ugCA")}}),
            nullptr);
}

TEST_P(ScriptsTest, AccountsAndLogins) {
  int64_t server = NewServer(9001);
  auto account = [&](int64_t serverId, const std::string& name, const std::string& password, bool admin) -> TParams {
    return {{":dtCreated", created_}, {":sName", name}, {":sPassword", password}, {":bServerAdmin", admin},
            {":iServerID", serverId}};
  };
  ASSERT_TRUE(Exec("new_client.sql", account(server, "admin", "se'cret", true)));
  int64_t admin = storage_->GetLastInsertID();
  ASSERT_TRUE(Exec("new_client.sql", account(0, "superadmin", "root", true)));
  int64_t super = storage_->GetLastInsertID();
  EXPECT_NE(admin, super);

  auto listed = Open("read_clients.sql", {{":iServerID", server}});
  ASSERT_TRUE(listed);
  ASSERT_EQ(listed->Count(), 1u);
  EXPECT_EQ(listed->Row().AsInteger("i_client_id"), admin);
  EXPECT_EQ(listed->Row().AsString("s_client_name"), "admin");
  EXPECT_EQ(listed->Row().AsDateTime("dt_client_created"), created_);
  EXPECT_TRUE(listed->Row().AsBoolean("b_client_privilege_serveradmin"));

  auto byName = Open("read_clients_name.sql", {{":sName", std::string("admin")}, {":iServerID", server}});
  ASSERT_TRUE(byName);
  EXPECT_EQ(byName->Row().AsString("s_client_password"), "se'cret");
  auto byId = Open("read_clients_id.sql", {{":iClientID", super}, {":iServerID", int64_t{0}}});
  ASSERT_TRUE(byId);
  EXPECT_EQ(byId->Row().AsString("s_client_name"), "superadmin");

  auto login = [&](const std::string& password, const std::string& name, int64_t serverId) {
    return Open("read_client_login.sql", {{":sPassword", password}, {":sName", name}, {":iServerID", serverId}});
  };
  auto ok = login("se'cret", "admin", server);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->Row().AsInteger("i_client_id"), admin);
  EXPECT_EQ(ok->Row().AsDateTime("dt_client_created"), created_);
  EXPECT_TRUE(ok->Row().AsBoolean("b_client_privilege_serveradmin"));
  EXPECT_EQ(login("wrong", "admin", server), nullptr);
  EXPECT_EQ(login("se'cret", "admin", 0), nullptr);
  EXPECT_EQ(login("' OR '1'='1", "admin", server), nullptr);
  EXPECT_TRUE(login("root", "superadmin", 0));

  ASSERT_TRUE(Exec("edit_client.sql", {{":iClientId", admin}, {":sName", std::string("boss")},
                                       {":sPassword", std::string("new")}, {":bServerAdmin", false},
                                       {":iServerID", server}}));
  byId = Open("read_clients_id.sql", {{":iClientID", admin}, {":iServerID", server}});
  ASSERT_TRUE(byId);
  EXPECT_EQ(byId->Row().AsString("s_client_name"), "boss");
  EXPECT_EQ(byId->Row().AsString("s_client_password"), "new");
  EXPECT_FALSE(byId->Row().AsBoolean("b_client_privilege_serveradmin"));

  ASSERT_TRUE(Exec("delete_client.sql", {{":iServerID", server}, {":iClientID", admin}}));
  EXPECT_EQ(Open("read_clients_id.sql", {{":iClientID", admin}, {":iServerID", server}}), nullptr);
  EXPECT_TRUE(Open("read_clients_id.sql", {{":iClientID", super}, {":iServerID", int64_t{0}}}));
}

TEST_P(ScriptsTest, BansAreAddedListedAndLifted) {
  int64_t server = NewServer(9001);
  for (const char* ip : {"10.0.0.*", "192.168.4.7"}) {
    ASSERT_TRUE(Exec("new_ban.sql", {{":iServerID", server}, {":sBy", std::string("admin (1.2.3.4)")},
                                     {":sIP", std::string(ip)}, {":dtCreated", created_}, {":iMinutes", int64_t{0}}}));
  }
  auto bans = Open("read_bans.sql", {{":iServerID", server}});
  ASSERT_TRUE(bans);
  ASSERT_EQ(bans->Count(), 2u);
  EXPECT_EQ(bans->RowAt(0).AsString("s_ban_ip"), "10.0.0.*");
  EXPECT_EQ(bans->RowAt(0).AsInteger("i_ban_minutes"), 0);
  EXPECT_EQ(bans->RowAt(0).AsString("s_ban_by"), "admin (1.2.3.4)");
  ASSERT_TRUE(Exec("delete_ban_ip.sql", {{":iServerID", server}, {":sIP", std::string("10.0.0.*")}}));
  bans = Open("read_bans.sql", {{":iServerID", server}});
  ASSERT_TRUE(bans);
  ASSERT_EQ(bans->Count(), 1u);
  EXPECT_EQ(bans->Row().AsString("s_ban_ip"), "192.168.4.7");
  EXPECT_EQ(Open("read_bans.sql", {{":iServerID", server + 1}}), nullptr);
}

TEST_P(ScriptsTest, DeletingAServerRemovesEverythingItOwned) {
  int64_t server = NewServer(9001);
  int64_t other = NewServer(9002);
  for (int64_t id : {server, other}) {
    ASSERT_TRUE(Exec("new_ban.sql", {{":iServerID", id}, {":sBy", std::string("a")}, {":sIP", std::string("1.*")},
                                     {":dtCreated", created_}, {":iMinutes", int64_t{0}}}));
    ASSERT_TRUE(Exec("new_client.sql", {{":dtCreated", created_}, {":sName", std::string("n")},
                                        {":sPassword", std::string("p")}, {":bServerAdmin", false},
                                        {":iServerID", id}}));
  }
  ASSERT_TRUE(Exec("delete_server.sql", {{":iServerID", server}}));
  EXPECT_EQ(Open("read_bans.sql", {{":iServerID", server}}), nullptr);
  EXPECT_EQ(Open("read_clients.sql", {{":iServerID", server}}), nullptr);
  EXPECT_TRUE(Open("read_bans.sql", {{":iServerID", other}}));
  EXPECT_TRUE(Open("read_clients.sql", {{":iServerID", other}}));
}

// Texts an attacker would pick, stored through the scripts as account names,
// passwords, channel names and topics, come back byte for byte; a password
// or login name that differs only in letter case is refused.
TEST_P(ScriptsTest, HostileTextsRoundTripAndLoginsCompareExactly) {
  const std::vector<std::string> texts = {
      "it's",
      "ends with \\",
      "\\'; DROP TABLE qv2_bans; --",
      "x\"; DROP TABLE qv2_bans; --",
      "Robert'); DELETE FROM qv2_clients;--",
      "' OR '1'='1",
      "a;b;'c';\"d\";",
      "\\\\\\'\\",
      "SELECT * FROM qv2_clients WHERE 1; UPDATE qv2_servers SET b_server_active = 0",
      "-- c\r\n/* x */ #",
      "junk \x01\x7f\x80\xfe\xff end",
  };
  int64_t server = NewServer(9001);
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(Exec("new_client.sql", {{":dtCreated", created_}, {":sName", text}, {":sPassword", text},
                                        {":bServerAdmin", false}, {":iServerID", server}}));
    int64_t id = storage_->GetLastInsertID();
    auto login = Open("read_client_login.sql", {{":sPassword", text}, {":sName", text}, {":iServerID", server}});
    ASSERT_TRUE(login);
    ASSERT_EQ(login->Count(), 1u);
    EXPECT_EQ(login->Row().AsInteger("i_client_id"), id);
    auto account = Open("read_clients_id.sql", {{":iClientID", id}, {":iServerID", server}});
    ASSERT_TRUE(account);
    EXPECT_EQ(account->Row().AsString("s_client_name"), text);
    EXPECT_EQ(account->Row().AsString("s_client_password"), text);

    TParams channel = {{":iParentID", int64_t{-1}}, {":dtCreated", created_}, {":iServerID", server},
                       {":sPassword", text},        {":sName", text},         {":sTopic", text},
                       {":sDescription", text},     {":iMaxUsers", int64_t{5}}, {":iOrder", int64_t{0}},
                       {":iCodec", int64_t{0}},     {":bModerated", false},   {":bHierarchical", false},
                       {":bDefault", false}};
    ASSERT_TRUE(Exec("new_channel.sql", channel));
    int64_t channelId = storage_->GetLastInsertID();
    auto channels = Open("read_channels.sql", {{":iServerID", server}});
    ASSERT_TRUE(channels);
    const TStorageRow& row = channels->RowAt(channels->Count() - 1);
    EXPECT_EQ(row.AsInteger("i_channel_id"), channelId);
    EXPECT_EQ(row.AsString("s_channel_name"), text);
    EXPECT_EQ(row.AsString("s_channel_topic"), text);
    EXPECT_EQ(row.AsString("s_channel_description"), text);
    EXPECT_EQ(row.AsString("s_channel_password"), text);
  }
  for (const char* table : {"qv2_bans", "qv2_clients", "qv2_channels", "qv2_servers"})
    EXPECT_TRUE(storage_->TableExists(table)) << table;
  auto all = Open("read_clients.sql", {{":iServerID", server}});
  ASSERT_TRUE(all);
  EXPECT_EQ(all->Count(), texts.size());

  ASSERT_TRUE(Exec("new_client.sql", {{":dtCreated", created_}, {":sName", std::string("Admin")},
                                      {":sPassword", std::string("Secret")}, {":bServerAdmin", true},
                                      {":iServerID", server}}));
  struct TLogin {
    const char* name;
    const char* password;
    bool accepted;
  };
  for (const TLogin& login : {TLogin{"Admin", "Secret", true}, TLogin{"Admin", "secret", false},
                              TLogin{"Admin", "SECRET", false}, TLogin{"admin", "Secret", false},
                              TLogin{"Admin", "Secret ", false}}) {
    auto rows = Open("read_client_login.sql", {{":sPassword", std::string(login.password)},
                                               {":sName", std::string(login.name)}, {":iServerID", server}});
    EXPECT_EQ(rows != nullptr, login.accepted) << login.name << " / " << login.password;
  }
}

INSTANTIATE_TEST_SUITE_P(BackEnds, ScriptsTest, ::testing::Values(TBackEnd::SQLite, TBackEnd::MySQL),
                         [](const auto& info) { return info.param == TBackEnd::SQLite ? "SQLite" : "MySQL"; });

}  // namespace
}  // namespace qv
