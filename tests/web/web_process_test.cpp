// The web interface of the real quillvane-server process, driven over HTTP
// with a cookie-keeping client: login and logout, every action with its
// refusals and boxes, escaping, the path rules, cross-site refusals and the
// periodic credential re-check. Each test prepares its own database (a server
// on a free UDP port, its accounts) and configuration (a free HTTP port, no
// query port) and serves small templates written into its own document
// directory, so that the pages of httpdocs/ may change freely.
#include "web/web_fixture.h"

namespace qv {
namespace webtest {
namespace {

TEST_F(WebProcessTest, PagesBeforeLoginCookiesImagesAndMissingFiles) {
  TBrowser b(httpPort);
  auto first = b.Get("/");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->body, "LOGIN PAGE");
  EXPECT_TRUE(Has(b.setCookie_, "IDHTTPSESSIONID=")) << b.setCookie_;
  EXPECT_TRUE(Has(b.setCookie_, "HttpOnly") && Has(b.setCookie_, "SameSite=Lax")) << b.setCookie_;
  EXPECT_FALSE(Has(b.setCookie_, "Secure")) << "plain HTTP";
  EXPECT_EQ(b.Cookie().size(), 32u);
  // Every page but the two login pages is the login page; images need no login.
  EXPECT_EQ(b.Page("/settings.html"), "LOGIN PAGE");
  EXPECT_EQ(b.Page("/slogin.html"), "SUPERADMIN LOGIN");
  auto image = b.Get("/gfx/logo.png");
  EXPECT_EQ(image->body, "PNGDATA");
  EXPECT_EQ(image->get_header_value("Content-Type"), "image/png");
  auto head = b.Head("/gfx/logo.png");
  EXPECT_EQ(head->status, 200);
  EXPECT_EQ(head->get_header_value("Content-Length"), "7");
  auto missing = b.Get("/gfx/none.png");
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(missing->body, "<html><head><title>Error</title></head><body><h1>Not Found</h1></body></html>");
  EXPECT_TRUE(Has(Log(), "FileNotFound: \"" + Path("docs") + "/gfx/none.png\""));
  // A never-issued session id gets a new session.
  auto stranger = httplib::Client("127.0.0.1", httpPort).Get("/", {{"Cookie", "IDHTTPSESSIONID=0123"}});
  EXPECT_TRUE(Has(stranger->get_header_value("Set-Cookie"), "IDHTTPSESSIONID="));
}

TEST_F(WebProcessTest, LoginAndLogoutOfAdminsAndSuperadmins) {
  struct Case {
    const char* name; const char* password; bool superadmin; bool portGiven; const char* location; const char* page;
  } cases[] = {
      {"admin", "pw", false, true, "index.html", "INDEX user=admin id=1 name=First   RUNNING list=[] INCLUDED %%include%other.txt%"},
      {"root", "pw", true, false, "index.html", "INDEX user=root id=%%serverid%% name= SA-ONLY NO-SERVER  list=["},
      {"admin", "wrong", false, true, "login_error.html", "LOGIN PAGE"},
      {"user", "pw", false, false, "login_error.html", "LOGIN PAGE"},  // no such server port
      {"admin", "pw", true, true, "login_error.html", "LOGIN PAGE"},   // not a superadmin
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "/" + c.password);
    TBrowser b(httpPort);
    httplib::Params form{{"username", c.name}, {"password", c.password}, {"serverport", c.portGiven ? Port() : "1"}};
    if (c.superadmin) form.emplace("superadmin", "1");
    EXPECT_EQ(b.Action("/Login.QvCmd", form), c.location);
    EXPECT_TRUE(Has(b.Page("/index.html"), c.page)) << b.Page("/index.html");
    EXPECT_EQ(b.Action("/logout.qvcmd"), "login.html");
    EXPECT_EQ(b.Page("/index.html"), "LOGIN PAGE");
  }
  // A plain account may log in when its group has the web right.
  TBrowser user(httpPort);
  EXPECT_TRUE(user.LogIn("user", "pw", Port()));
}

// Four failed logins from one address lock it out (one log line): then the
// right password is refused too, while a logged-in session carries on.
TEST_F(WebProcessTest, PasswordGuessesLockTheAddressOut) {
  TBrowser admin = Admin();
  for (int i = 0; i < 4; ++i) {
    TBrowser guesser(httpPort);
    EXPECT_EQ(guesser.Action("/Login.QvCmd", {{"username", "admin"}, {"password", "guess" + std::to_string(i)},
                                              {"serverport", Port()}}),
              "login_error.html");
  }
  TBrowser late(httpPort);
  EXPECT_FALSE(late.LogIn("admin", "pw", Port()));
  EXPECT_TRUE(Has(admin.Page("/index.html"), "INDEX user=admin"));
  const std::string line = "login lock-out [interface: web, IP: 127.0.0.1, failures: 4, minutes: 10]";
  const std::string log = Log();
  EXPECT_TRUE(Has(log, line)) << log;
  EXPECT_EQ(log.find(line), log.rfind(line));
}

TEST_F(WebProcessTest, NothingOutsideTheDocumentDirectoryIsServed) {
  WriteFile(Path("secret.txt"), "SECRET");
  TBrowser b = Admin();
  for (const char* path : {"/../secret.txt", "/%2e%2e/secret.txt", "/gfx/../../secret.txt", "/..%2fsecret.txt",
                           "/gfx/..%2F..%2Fsecret.txt", "/..\\secret.txt", "/link.html", "//etc/passwd",
                           "/../server.ini"}) {
    SCOPED_TRACE(path);
    auto result = b.Get(path);
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->status == 403 || result->status == 404) << result->status;
    EXPECT_FALSE(Has(result->body, "SECRET") || Has(result->body, "HTTPServer") || Has(result->body, "root:"));
  }
  auto denied = b.Get("/../secret.txt");
  EXPECT_EQ(denied->status, 403);
  EXPECT_EQ(denied->body,
            "<html><head><title>Error</title></head><body><h1>Access denied</h1>\rYou do not have sufficient "
            "priviligies to access this document.</body></html>");
}

TEST_F(WebProcessTest, RequestValuesAreEscapedInPagesAndEncodedInRedirects) {
  TBrowser b = Admin();
  EXPECT_EQ(b.Page("/error_box.html?error_title=%3Cb%3E&error_text=%22x%22%26&error_url=a'b"),
            "ERROR[&lt;b&gt;|&quot;x&quot;&amp;|a&#39;b]");
  EXPECT_EQ(RawLocation(httpPort, b.Cookie(), "/add_client.qvcmd?CLIENTLOGINNAME=a%26b%20%3Cc%3E&CLIENTPW1=x&CLIENTPW2=x"),
            "ok_box.html?ok_title=operation%20successfully&ok_text=the%20user%20a%26b%20%3Cc%3E%20was%20added%20to%20"
            "server&ok_url=index.html");
  EXPECT_EQ(RawLocation(httpPort, b.Cookie(), "/ask_delete_client.qvcmd?CLIENTID=9&CLIENT=x%26y%20z"),
            "choice_box.html?choice_title=please%20choose&choice_text=you%20really%20want%20do%20delete%20x%26y%20z"
            "&choice_url_yes=DELETE_CLIENT.QVCMD%3Fclient%3Dx%2526y%2520z&choice_url_no=index.html&choice_yes=yes"
            "&choice_no=no");
  EXPECT_EQ(b.Page("/accounts.html"), "(admin|admin)(user|user)(a&amp;b &lt;c&gt;|a%26b%20%3Cc%3E)");
  // The session page shows values but never sets who the session is.
  const httplib::Headers own{{"Referer", "http://" + b.Host() + "/session"}};
  b.Post("/session", {{"ParamName", "superadmin"}, {"Param", "1"}}, own);
  b.Post("/session", {{"ParamName", "Colour"}, {"Param", "<red>"}}, own);
  const std::string session = b.Page("/session");
  EXPECT_TRUE(Has(session, "Colour=&lt;red&gt;")) << session;
  EXPECT_FALSE(Has(session, "superadmin=1")) << session;
  EXPECT_EQ(b.Action("/settings_basic.qvcmd"), Box("error", "invalid permissions"));
}

TEST_F(WebProcessTest, CrossSiteActionsAreRefused) {
  TBrowser b = Admin();
  auto foreign = b.Post("/logout.qvcmd", {}, {{"Origin", "http://evil.example"}});
  EXPECT_EQ(foreign->status, 403);
  foreign = b.Get("/logout.qvcmd", {{"Referer", "http://evil.example/page.html"}});
  EXPECT_EQ(foreign->status, 403);
  EXPECT_TRUE(Has(b.Page("/index.html"), "user=admin"));  // still logged in
  auto own = b.Get("/logout.qvcmd", {{"Origin", "http://" + b.Host()}, {"Referer", "http://" + b.Host() + "/x.html"}});
  EXPECT_EQ(own->status, 302);
  EXPECT_EQ(b.Page("/index.html"), "LOGIN PAGE");
}

TEST_F(WebProcessTest, AccountActionsAndTheirRefusals) {
  TBrowser admin = Admin();
  TBrowser user(httpPort);
  ASSERT_TRUE(user.LogIn("user", "pw", Port()));
  TBrowser root = Root();
  TBrowser guest(httpPort);
  const std::string noRight = Box("error", "invalid permissions");
  struct Case { TBrowser* who; const char* action; httplib::Params form; std::string location; } cases[] = {
      {&guest, "/add_client.qvcmd", {}, Box("error", "your selected server is invalid")},
      {&user, "/add_client.qvcmd", {{"CLIENTLOGINNAME", "x"}, {"CLIENTPW1", "a"}, {"CLIENTPW2", "a"}}, noRight},
      {&user, "/add_client.qvcmd", {{"CLIENTLOGINNAME", "x"}, {"CLIENTPW1", "a"}, {"CLIENTPW2", "a"}, {"CLIENT", "user"}}, noRight},
      {&admin, "/add_client.qvcmd", {{"CLIENTLOGINNAME", "bob"}, {"CLIENTPW1", "a"}, {"CLIENTPW2", "b"}}, Box("error", "the passwords dont match")},
      {&admin, "/add_client.qvcmd", {{"CLIENTLOGINNAME", "bob"}, {"CLIENTPW1", "a"}, {"CLIENTPW2", "a"}}, Box("ok", "the user bob was added to server")},
      {&admin, "/add_client.qvcmd", {{"CLIENTLOGINNAME", "bob"}, {"CLIENTPW1", "a"}, {"CLIENTPW2", "a"}}, Box("error", "a user with name already exists")},
      {&user, "/edit_client.qvcmd", {{"CLIENTID", "1"}, {"CLIENTPW1", "n"}, {"CLIENTPW2", "n"}, {"CLIENT", "user"}}, noRight},
      {&admin, "/edit_client.qvcmd", {{"CLIENTID", "2"}, {"CLIENTPW1", "n"}, {"CLIENTPW2", "m"}, {"CLIENT", "user"}}, Box("error", "the passwords dont match")},
      {&admin, "/edit_client.qvcmd", {{"CLIENTID", "2"}, {"CLIENTSERVERADMIN", "1"}, {"CLIENT", "user"}}, Box("ok", "the user user was edited")},
      {&user, "/ask_delete_client.qvcmd", {{"CLIENTID", "1"}, {"CLIENT", "user"}}, noRight},
      {&admin, "/settings_basic.qvcmd", {}, noRight},
      {&root, "/add_sclient.qvcmd", {{"CLIENTLOGINNAME", "boss"}, {"CLIENTPW1", "a"}, {"CLIENTPW2", "a"}}, Box("ok", "the user boss was added to server")},
      {&root, "/add_sclient.qvcmd", {{"CLIENTLOGINNAME", "boss"}, {"CLIENTPW1", "a"}, {"CLIENTPW2", "a"}}, Box("error", "a user with name already exists")},
      {&root, "/edit_sclient.qvcmd", {{"CLIENTID", "3"}, {"CLIENTPW1", "pw"}, {"CLIENTPW2", "pw"}, {"CLIENT", "root"}}, Box("ok", "the user root was edited")},
      {&root, "/settings_basic.qvcmd", {{"BASIC_ISPNAME", "Net<1>"}, {"basic_country", "4428"}, {"BASIC_LISTPUBLIC", "1"}}, "index.html"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(std::string(c.action) + " " + c.location);
    EXPECT_EQ(c.who->Action(c.action, c.form), c.location);
  }
  EXPECT_EQ(admin.Page("/accounts.html"), "(admin|admin)(user|user)(bob|bob)");
  EXPECT_TRUE(Has(root.Page("/saccounts.html"), "(boss#"));
  EXPECT_TRUE(Has(test::ReadFile(Path("server.ini")), "ISPName=Net<1>"));
  const std::string basic = root.Page("/basic.html");
  EXPECT_TRUE(Has(basic, "Net&lt;1&gt;|checked|[1116]")) << basic;  // countries only, no regions
  EXPECT_TRUE(Has(basic, "[4426][4428selected][4438]") && !Has(basic, "[4000]")) << basic;
  // The deletion uses the id the question stored, whatever the confirmation names.
  EXPECT_EQ(admin.Action("/ask_delete_client.qvcmd", {{"CLIENTID", "2"}, {"CLIENT", "a b"}}),
            Choice("you really want do delete a b", "DELETE_CLIENT.QVCMD?client=a%20b"));
  EXPECT_EQ(admin.Action("/delete_client.qvcmd?client=bob"), Box("ok", "user deleted"));
  EXPECT_EQ(admin.Page("/accounts.html"), "(admin|admin)(bob|bob)");
  const std::string supers = root.Page("/saccounts.html");
  const std::string bossId = supers.substr(supers.find("(boss#") + 6, supers.find(')', supers.find("(boss#")) - supers.find("(boss#") - 6);
  EXPECT_TRUE(Has(root.Action("/ask_delete_sclient.qvcmd", {{"CLIENTID", bossId}, {"CLIENT", "boss"}}), "choice_box.html"));
  EXPECT_EQ(root.Action("/delete_sclient.qvcmd"), Box("ok", "user deleted"));
  EXPECT_FALSE(Has(root.Page("/saccounts.html"), "boss"));
}

TEST_F(WebProcessTest, ServerSettingsAndPermissions) {
  TBrowser admin = Admin();
  TBrowser root = Root();
  ASSERT_EQ(root.Action("/select_server.qvcmd", {{"serverid", std::to_string(serverId)}}), "index.html");
  EXPECT_EQ(admin.Page("/settings.html"), "First|8||Clan Server");
  // Only a superadmin changes the maximum.
  EXPECT_EQ(admin.Action("/settings_server.qvcmd", {{"SERVERNAME", "First"}, {"SERVERMAXUSERS", "20"}}),
            Box("error", "invalid permissions"));
  EXPECT_TRUE(Has(admin.Action("/settings_server.qvcmd", {{"SERVERNAME", "Renamed"}, {"SERVERMAXUSERS", "8"},
                                                          {"SERVERPASSWORD", " pass "}, {"SERVERTYPE", "2"}}),
                  "ok_box.html?ok_title=operation successfully&ok_text=server config has been changed&ok_url=http://"));
  EXPECT_EQ(root.Page("/settings.html"), "Renamed|8|pass|Public Server");
  EXPECT_TRUE(Has(root.Action("/settings_server.qvcmd", {{"SERVERNAME", "Third"}, {"SERVERMAXUSERS", "many"}}), "ok_box"));
  EXPECT_EQ(root.Page("/settings.html"), "Third|8||Public Server");
  EXPECT_EQ(root.Action("/settings_server.qvcmd", {{"SERVERUDPPORT", "1"}}),
            Box("error", "if you want to edit udpport, please stop first the server"));
  // The voice group's form offers neither access nor admin rights.
  const std::string form = admin.Page("/permissions.html");
  EXPECT_TRUE(Has(form, "GROUP=V{[ugV_upChannelCreateSubchannels=]")) << form;
  EXPECT_FALSE(Has(form, "upAccessVoice") || Has(form, "upAdmin") || Has(form, "Reserved")) << form;
  EXPECT_TRUE(Has(admin.Action("/permissions_server.qvcmd", {{"ugV_upChannelCreateSubchannels", "1"}}), "ok_box"));
  EXPECT_TRUE(Has(admin.Page("/permissions.html"), "[ugV_upChannelCreateSubchannels=checked]"));
}

TEST_F(WebProcessTest, ServerLifecycle) {
  TBrowser root = Root();
  TBrowser admin = Admin();
  const std::string other = std::to_string(FreePort(SOCK_DGRAM));
  const std::string id = std::to_string(serverId), newId = std::to_string(serverId + 1);
  const std::string host = root.Host();
  struct Case { TBrowser* who; std::string action; httplib::Params form; std::string location; } cases[] = {
      {&admin, "/add_server.qvcmd", {{"SERVERUDPPORT", other}}, Box("error", "invalid permissions")},
      {&root, "/add_server.qvcmd", {{"SERVERUDPPORT", Port()}}, Box("error", "there is already an server with the same udpport")},
      {&root, "/add_server.qvcmd", {{"SERVERUDPPORT", other}, {"SERVERNAME", "Second"}}, Box("ok", "server config has been changed", "http://" + host + "/index.html")},
      {&admin, "/start_server.qvcmd?serverid=" + newId, {}, Box("error", "invalid permissions")},
      {&admin, "/start_server.qvcmd?serverid=" + id, {}, Box("error", "server has been NOT started")},
      {&root, "/start_server.qvcmd?serverid=" + newId, {}, Box("ok", "server has been started", "http://" + host + "/index.html")},
      {&root, "/ask_delete_server.qvcmd?SERVERID=" + newId, {}, Box("error", "server is running, cant delete it")},
      {&admin, "/delete_server.qvcmd", {}, Box("error", "invalid permissions")},
      {&root, "/stop_server.qvcmd?serverid=" + newId, {}, Box("ok", "server has been stopped", "http://" + host + "/index.html")},
      {&root, "/stop_server.qvcmd?serverid=" + newId, {}, Box("error", "server has been NOT stopped")},
      {&admin, "/stop_server.qvcmd?serverid=" + id, {}, Box("ok", "server has been stopped", "http://" + host + "/index.html")},
      {&admin, "/start_server.qvcmd?serverid=" + id, {}, Box("ok", "server has been started", "http://" + host + "/index.html")},
      {&root, "/ask_delete_server.qvcmd?SERVERID=" + newId, {}, Choice("you really want do delete server " + newId, "DELETE_SERVER.QVCMD?serverid=" + newId)},
      {&root, "/delete_server.qvcmd?serverid=" + id, {}, Box("ok", "server was deleted", "http://" + host + "/index.html")},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.action);
    EXPECT_EQ(c.who->Action(c.action, c.form), c.location);
    if (c.action == "/add_server.qvcmd" && c.who == &root && Has(c.location, "ok_box")) {
      const std::string list = root.Page("/index.html");
      EXPECT_TRUE(Has(list, "<" + newId + ":Second:" + other + ":<a href=\"start_server.qvcmd?serverid=" + newId + "\">"))
          << list;
      EXPECT_TRUE(Has(list, "<" + id + ":First:" + Port() + ":<a href=\"stop_server.qvcmd?serverid=" + id + "\"><img src=\"gfx/server-run.png\" alt=\"Stop Server\" border=\"0\"></a>>"));
    }
  }
  const std::string list = root.Page("/index.html");
  EXPECT_TRUE(Has(list, "<" + id + ":First:")) << list;
  EXPECT_FALSE(Has(list, ":Second:")) << list;
}

TEST_F(WebProcessTest, PasswordChangedElsewhereEndsTheSessionAtTheNextCheck) {
  TBrowser admin = Admin();
  TBrowser root = Root();
  ASSERT_EQ(root.Action("/select_server.qvcmd", {{"serverid", std::to_string(serverId)}}), "index.html");
  ASSERT_TRUE(Has(root.Action("/edit_client.qvcmd", {{"CLIENTID", "1"}, {"CLIENTPW1", "new"}, {"CLIENTPW2", "new"},
                                                     {"CLIENTSERVERADMIN", "1"}, {"CLIENT", "admin"}}),
                  "ok_box"));
  EXPECT_TRUE(Has(admin.Page("/index.html"), "user=admin"));  // checked less than 11 seconds ago
  std::this_thread::sleep_for(11s);
  auto denied = admin.Get("/index.html");
  EXPECT_EQ(denied->status, 403);
  EXPECT_EQ(admin.Get("/gfx/logo.png")->status, 200);
  EXPECT_EQ(admin.Action("/logout.qvcmd"), "login.html");  // still possible
  EXPECT_EQ(admin.Page("/index.html"), "LOGIN PAGE");
  // An own password change keeps the session valid.
  TBrowser again(httpPort);
  ASSERT_TRUE(again.LogIn("admin", "new", Port()));
  EXPECT_TRUE(Has(again.Action("/edit_client.qvcmd", {{"CLIENTID", "1"}, {"CLIENTPW1", "pw"}, {"CLIENTPW2", "pw"},
                                                      {"CLIENTSERVERADMIN", "1"}, {"CLIENT", "admin"}}),
                  "ok_box"));
  std::this_thread::sleep_for(11s);
  EXPECT_TRUE(Has(again.Page("/index.html"), "user=admin"));
}

}  // namespace
}  // namespace webtest
}  // namespace qv
