// The real quillvane-server process with the web interface, for the web
// tests: a cookie-keeping client (TBrowser), the small templates each test
// looks at, and the fixture that prepares a database (a server on a free UDP
// port, its accounts) and a configuration (a free HTTP port, no query port).
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <optional>
#include <thread>

#include "model/accounts.h"
#include "model/security.h"
#include "model/server_object.h"
#include "storage/schema.h"
#include "storage/sqlite_storage.h"
#include "support/server_process.h"

namespace qv {
namespace webtest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::BuildDir;
using test::FreePort;
using test::Has;
using test::TempDir;
using test::WriteFile;

// The templates: each shows what its test looks at.
const std::pair<const char*, const char*> kDocs[] = {
    {"login.html", "LOGIN PAGE"},
    {"slogin.html", "SUPERADMIN LOGIN"},
    {"login_error.html", "LOGIN ERROR"},
    {"index.html",
     "INDEX user=%%LOGGEDINUSERNAME%% id=%%serverid%% name=%%SERVERNAME%% "
     "%!COMMENT_ON_NOT_SUPERADMIN!%SA-ONLY%!COMMENT_OFF_NOT_SUPERADMIN!% "
     "%!COMMENT_ON_SERVER_SELECTED!%NO-SERVER%!COMMENT_OFF_SERVER_SELECTED!% "
     "%!COMMENT_ON_SERVER_NOT_RUNNING!%RUNNING%!COMMENT_OFF_SERVER_NOT_RUNNING!% "
     "list=[%!SERVER_LIST!%] %%INCLUDE%part.txt% %%include%other.txt%"},
    {"part.txt", "INCLUDED"},
    {"other.txt", "NOT SHOWN"},
    {"error_box.html", "ERROR[%%ERROR_TITLE%%|%%ERROR_TEXT%%|%%ERROR_URL%%]"},
    {"ok_box.html", "OK[%%OK_TITLE%%|%%OK_TEXT%%|%%OK_URL%%]"},
    {"choice_box.html", "CHOICE[%%CHOICE_TEXT%%|%%CHOICE_URL_YES%%]"},
    {"server_manager_servers_list.html", "<%%SERVER_ID%%:%%SERVER_NAME%%:%%SERVER_UDPPORT%%:%%SERVER_RUNNING%%>"},
    {"settings.html", "%%SERVERNAME%%|%%SERVERMAXUSERS%%|%%SERVERPASSWORD%%|%%SERVERTYPE%%"},
    {"permissions.html", "%!SERVERCFG_GROUP_PERMISSIONS_V!%"},
    {"server_manager_grouppermission.html", "GROUP=%%DESCRIPTION%%{%%PERMISSIONS%%}"},
    {"server_manager_permissionfield.html", "[%%NAME%%=%%SELECTED%%]"},
    {"accounts.html", "%!SERVERCFG_DATABASE_CLIENT_MANAGER_CLIENTLIST!%"},
    {"database_client_manager_clientlist.html", "(%%CLIENT_LOGINNAME%%|%%CLIENT_LOGINNAME_URL%%)"},
    {"saccounts.html", "%!SERVERCFG_DATABASE_SCLIENT_MANAGER_CLIENTLIST!%"},
    {"database_sclient_manager_clientlist.html", "(%%CLIENT_LOGINNAME%%#%%CLIENT_ID%%)"},
    {"basic.html", "%%BASIC_ISPNAME%%|%%BASIC_LISTPUBLIC%%|%!COUNTRY_OPTIONLIST!%"},
    {"server_country_option.html", "[%%COUNTRY_NUMBER%%%%COUNTRY_SELECTED%%]"},
    {"gfx/logo.png", "PNGDATA"},
};

// A browser: one session cookie, redirects not followed; over HTTPS with
// https (any certificate accepted, as for a self-signed one).
class TBrowser {
 public:
  explicit TBrowser(int port, bool https = false)
      : client_(std::string(https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port)),
        host_("127.0.0.1:" + std::to_string(port)),
        scheme_(https ? "https://" : "http://") {
    client_.set_read_timeout(30s);
    client_.enable_server_certificate_verification(false);
  }
  httplib::Result Get(const std::string& path, httplib::Headers extra = {}) {
    return Keep(client_.Get(path.c_str(), With(extra)));
  }
  httplib::Result Post(const std::string& path, const httplib::Params& form, httplib::Headers extra = {}) {
    return Keep(client_.Post(path.c_str(), With(extra), form));
  }
  httplib::Result Head(const std::string& path) { return Keep(client_.Head(path.c_str(), With({}))); }
  // The Location of an action's redirect ("" when it did not redirect).
  std::string Action(const std::string& path, const httplib::Params& form = {}) {
    auto result = Post(path, form, {{"Referer", scheme_ + host_ + "/index.html"}});
    return result && result->status == 302 ? result->get_header_value("Location") : "status " + std::to_string(result ? result->status : -1);
  }
  std::string Page(const std::string& path) {
    auto result = Get(path);
    return result ? result->body : "";
  }
  bool LogIn(const std::string& name, const std::string& password, const std::string& port, bool superadmin = false) {
    httplib::Params form{{"username", name}, {"password", password}, {"serverport", port}};
    if (superadmin) form.emplace("superadmin", "1");
    return Action("/login.qvcmd", form) == "index.html";
  }
  const std::string& Cookie() const { return cookie_; }
  const std::string& Host() const { return host_; }

 private:
  httplib::Headers With(httplib::Headers extra) const {
    if (!cookie_.empty()) extra.emplace("Cookie", "IDHTTPSESSIONID=" + cookie_);
    return extra;
  }
  httplib::Result Keep(httplib::Result result) {
    if (result && result->has_header("Set-Cookie")) {
      const std::string value = result->get_header_value("Set-Cookie");
      cookie_ = value.substr(value.find('=') + 1, 32);
      setCookie_ = value;
    }
    return result;
  }
  httplib::Client client_;
  std::string host_;
  std::string scheme_;
  std::string cookie_;

 public:
  std::string setCookie_;
};

// A box redirect as the client reads it (the client decodes header values;
// the encoded bytes are checked once with a raw request).
inline std::string Box(const std::string& kind, const std::string& text, const std::string& url = "index.html") {
  const std::string title = kind == "error" ? "error occured" : "operation successfully";
  return kind + "_box.html?" + kind + "_title=" + title + "&" + kind + "_text=" + text + "&" + kind + "_url=" + url;
}
inline std::string Choice(const std::string& text, const std::string& yes) {
  return "choice_box.html?choice_title=please choose&choice_text=" + text + "&choice_url_yes=" + yes +
         "&choice_url_no=index.html&choice_yes=yes&choice_no=no";
}

// The Location header of a GET exactly as the server sent it.
inline std::string RawLocation(int port, const std::string& cookie, const std::string& path) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval limit{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nReferer: http://" + host +
                                "/index.html\r\nCookie: IDHTTPSESSIONID=" + cookie + "\r\nConnection: close\r\n\r\n";
    send(fd, request.data(), request.size(), 0);
    char buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof(buffer), 0)) > 0;) reply.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  const size_t at = reply.find("Location: ");
  return at == std::string::npos ? "" : reply.substr(at + 10, reply.find("\r\n", at) - at - 10);
}

class WebProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (BuildDir().empty()) GTEST_SKIP() << "QV_BUILD_DIR is not set";
    udpPort = FreePort(SOCK_DGRAM);
    httpPort = FreePort(SOCK_STREAM);
    PrepareDatabase();
    test::WriteServerIni(Path("server.ini"), 0, httpPort, "BoundToIp=127.0.0.1\nLoginFailureLimit=4\n" + MoreIni());
    fs::create_directories(Path("docs/gfx"));
    for (const auto& [name, text] : kDocs) WriteFile(Path(std::string("docs/") + name), text);
    fs::create_symlink(Path("server.ini"), Path("docs/link.html"));
    Start();
  }
  void TearDown() override {
    // A sanitizer report ends the server with a failure code.
    if (server_) {
      EXPECT_EQ(server_->Finish(SIGTERM), 0) << "the server did not stop cleanly" << server_->Err();
    }
  }
  // Lines a test's fixture adds to the configuration (sections may follow).
  virtual std::string MoreIni() const { return ""; }
  std::string Path(const std::string& name) const { return dir.File(name); }
  std::string Log() const { return test::ReadFile(Path("server.log")); }

  void PrepareDatabase() {
    TSQLiteStorage db(Path("server.dbs"));
    const std::string sql = BuildDir() + "/sqlite_sql/";
    ASSERT_TRUE(CreateTables(db, sql));
    TScriptStorage scripts{&db, sql};
    serverId = CreateServerRow(scripts, udpPort);
    TServerSettings settings = DefaultServerSettings();
    settings.UdpPort = udpPort;
    settings.Name = "First";
    ASSERT_TRUE(SaveSettings(scripts, serverId, settings));
    TPermissionTable table{};
    table[ugSA].set();  // server admins may do everything
    table[ugRegisterred].set(upAccessWebAdminServer);  // plain accounts may only log in
    for (int g = 0; g < kUserGroupCount; ++g)
      SaveGroupPermissions(scripts, serverId, UserGroupName(static_cast<TUserGroup>(g)), table[g]);
    for (auto [name, privileges] : {std::pair<const char*, int>{"admin", spSA}, std::pair<const char*, int>{"user", 0}}) {
      TClientRec rec;
      rec.LoginName = name;
      rec.LoginPassword = "pw";
      rec.PlayerPrivileges = static_cast<uint16_t>(privileges);
      ASSERT_EQ(DBAddUser(scripts, serverId, rec), 0);
    }
    TClientRec root;
    root.LoginName = "root";
    root.LoginPassword = "pw";
    ASSERT_EQ(DBAddSuperUser(scripts, root), 0);
  }

  void Start() {
    server_.emplace(test::ServerCommand(dir, "", {"-HTTPDOCS=" + Path("docs"), "-nopwdialog"}), Path("out.txt"),
                    Path("err.txt"));
    ASSERT_TRUE(server_->WaitForText(Path("server.log"), "Server init finished")) << Log();
  }

  std::string Port() const { return std::to_string(udpPort); }
  TBrowser Admin() {
    TBrowser b(httpPort);
    EXPECT_TRUE(b.LogIn("admin", "pw", Port()));
    return b;
  }
  TBrowser Root() {
    TBrowser b(httpPort);
    EXPECT_TRUE(b.LogIn("root", "pw", "", true));
    return b;
  }

  TempDir dir;
  uint16_t udpPort = 0;
  uint16_t httpPort = 0;
  int32_t serverId = 0;
  std::optional<test::TChildProcess> server_;
};

}  // namespace webtest
}  // namespace qv
