// The web interface tried as an attacker would: requests forged by other
// sites, planted session ids, hostile stored values, rights, and what one
// peer may hold of the HTTP server. Each table also shows the legitimate use.
#include <poll.h>

#include "web/web_fixture.h"
#include "web/web_session.h"

namespace qv {
namespace webtest {
namespace {

// One raw connection from a chosen loopback address.
class TRawConnection {
 public:
  TRawConnection(uint16_t port, const std::string& from) {
    fd_ = test::ConnectFrom(port, from);
    closed_ = fd_ < 0;
  }
  ~TRawConnection() { close(fd_); }
  bool Send(const std::string& bytes) {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // What arrives within ms (until the server closes).
  std::string Read(int ms) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return got;
      char chunk[4096];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) {
        closed_ = true;
        return got;
      }
      got.append(chunk, static_cast<size_t>(n));
    }
  }
  // Sends one byte of text every interval; true when the server closed the
  // connection before all of it was sent.
  bool Drip(const std::string& text, std::chrono::milliseconds interval) {
    for (char c : text) {
      if (!Send(std::string(1, c))) return true;
      Read(static_cast<int>(interval.count()));
      if (closed_) return true;
    }
    return false;
  }
  bool Closed() const { return closed_; }

 private:
  int fd_ = -1;
  bool closed_ = false;
};

TEST_F(WebProcessTest, ForgedRequestsChangeNothing) {
  TBrowser root = Root();
  const std::string own = "http://" + root.Host();
  const std::string add = "/add_sclient.qvcmd?CLIENTLOGINNAME=evil&CLIENTPW1=x&CLIENTPW2=x";
  struct Case {
    const char* name;
    std::string path;
    httplib::Headers headers;
    int status;
  } cases[] = {
      {"neither Origin nor Referer (a no-referrer page)", add, {}, 403},
      {"a page of another port of the same host", add, {{"Referer", "http://127.0.0.1:1/x.html"}}, 403},
      {"another site", add, {{"Origin", "http://evil.example"}, {"Referer", own + "/index.html"}}, 403},
      {"a sandboxed page", add, {{"Origin", "null"}}, 403},
      {"another site closing the session", "/session?action=close", {}, 403},
      {"a rebound host name", add, {{"Host", "rebind.example"}, {"Origin", "http://rebind.example"}}, 421},
      {"a NUL in the path", "/index.html%00.png", {{"Referer", own + "/"}}, 400},
      {"a NUL in a field", add + "%00", {{"Referer", own + "/"}}, 400},
      {"the interface's own page", "/add_sclient.qvcmd?CLIENTLOGINNAME=good&CLIENTPW1=x&CLIENTPW2=x",
       {{"Referer", own + "/superadmin_accounts.html"}}, 302},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = root.Get(c.path, c.headers);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
  }
  const std::string accounts = root.Page("/saccounts.html");
  EXPECT_TRUE(Has(accounts, "(good#") && !Has(accounts, "evil")) << accounts;
  // A password followed by a NUL does not log in.
  TBrowser guesser(httpPort);
  auto nul = guesser.Post("/login.qvcmd", {{"username", "root"}, {"password", std::string("pw\0x", 4)}, {"superadmin", "1"}},
                          {{"Referer", own + "/slogin.html"}});
  EXPECT_EQ(nul->status, 400);
  EXPECT_EQ(guesser.Page("/index.html"), "LOGIN PAGE");

  // Every page: no inline or foreign script, no framing, referrers to the own origin only.
  auto page = root.Get("/index.html");
  EXPECT_TRUE(Has(page->get_header_value("Content-Security-Policy"), "script-src 'self';"));
  EXPECT_TRUE(Has(page->get_header_value("Content-Security-Policy"), "frame-ancestors 'none'"));
  EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
  EXPECT_EQ(page->get_header_value("Referrer-Policy"), "same-origin");

  // Links a box shows lead back into the interface only.
  const std::pair<std::string, std::string> urls[] = {
      {"javascript:alert(1)", "index.html"},
      {"JaVaScRiPt%3Aalert(1)", "index.html"},
      {"java%09script:alert(1)", "index.html"},
      {"http://evil.example/x", "index.html"},
      {"//evil.example/x", "index.html"},
      {"/%5Cevil.example", "index.html"},
      {"server_settings.html%3Fx%3D1", "server_settings.html?x=1"},
      {own + "/index.html", own + "/index.html"},
  };
  for (const auto& [url, shown] : urls)
    EXPECT_EQ(root.Page("/error_box.html?error_title=t&error_text=x&error_url=" + url), "ERROR[t|x|" + shown + "]")
        << url;
  // The back URL of a server action's box comes from the Referer: only an own one.
  ASSERT_EQ(root.Action("/select_server.qvcmd", {{"serverid", std::to_string(serverId)}}), "index.html");
  auto back = root.Post("/settings_server.qvcmd", {{"SERVERNAME", "First"}, {"SERVERMAXUSERS", "8"}},
                        {{"Origin", own}, {"Referer", "http://evil.example/page.html"}});
  EXPECT_EQ(back->get_header_value("Location"), Box("ok", "server config has been changed"));
}

TEST_F(WebProcessTest, LoginAndLogoutGiveNewSessionIds) {
  TBrowser victim(httpPort);
  ASSERT_EQ(victim.Page("/"), "LOGIN PAGE");
  const std::string planted = victim.Cookie();  // as another port of the host could have set it
  ASSERT_TRUE(victim.LogIn("admin", "pw", Port()));
  const std::string loggedIn = victim.Cookie();
  EXPECT_NE(loggedIn, planted);
  auto withPlanted = [&](const std::string& id) {
    return httplib::Client("127.0.0.1", httpPort).Get("/index.html", {{"Cookie", "IDHTTPSESSIONID=" + id}})->body;
  };
  EXPECT_EQ(withPlanted(planted), "LOGIN PAGE");
  EXPECT_TRUE(Has(victim.Page("/index.html"), "user=admin"));
  // The session page shows the values, never the password.
  const std::string session = victim.Page("/session");
  EXPECT_TRUE(Has(session, "username=admin") && !Has(session, "=pw\n")) << session;
  EXPECT_EQ(victim.Action("/logout.qvcmd"), "login.html");
  EXPECT_NE(victim.Cookie(), loggedIn);
  EXPECT_EQ(withPlanted(loggedIn), "LOGIN PAGE");
}

// A flood of requests without a cookie fills the visitors' places only.
TEST(SessionStore, VisitorsNeverPushOutLoggedInSessions) {
  TSessionStore store;
  const std::string admin = store.Create(true)->Id();
  const std::string firstVisitor = store.Create()->Id();
  for (size_t i = 0; i < TSessionStore::kMaxSessions + 50; ++i) store.Create();
  EXPECT_NE(store.Find(admin), nullptr);
  EXPECT_EQ(store.Find(firstVisitor), nullptr);
  EXPECT_EQ(store.Count(), TSessionStore::kMaxSessions + 1);
}

TEST_F(WebProcessTest, StoredValuesAndRights) {
  WriteFile(Path("docs/permissions_r.html"), "%!SERVERCFG_GROUP_PERMISSIONS_R!%");
  TBrowser root = Root();
  ASSERT_EQ(root.Action("/select_server.qvcmd", {{"serverid", std::to_string(serverId)}}), "index.html");
  const std::string changed = Box("ok", "server config has been changed", "http://" + root.Host() + "/index.html");
  const std::string badMaximum = Box("error", "the maximum of users is invalid");
  struct Case {
    httplib::Params form;
    std::string location, page;
  } cases[] = {
      // A stored value that reads like a placeholder is shown as it is.
      {{{"SERVERNAME", "%%SERVERPASSWORD%%"}, {"SERVERPASSWORD", "secret"}, {"SERVERMAXUSERS", "8"}}, changed,
       "%%SERVERPASSWORD%%|8|secret|"},
      {{{"SERVERNAME", "x"}, {"SERVERMAXUSERS", "70000"}}, badMaximum, "%%SERVERPASSWORD%%|8|secret|"},
      {{{"SERVERNAME", "x"}, {"SERVERMAXUSERS", "-1"}}, badMaximum, "%%SERVERPASSWORD%%|8|secret|"},
      {{{"SERVERNAME", "a\x1b[2Jb"}, {"SERVERPASSWORD", "secret"}, {"SERVERMAXUSERS", "9"}}, changed, "a[2Jb|9|secret|"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(root.Action("/settings_server.qvcmd", c.form), c.location);
    EXPECT_TRUE(Has(root.Page("/settings.html"), c.page)) << root.Page("/settings.html");
  }
  // Plain accounts may register accounts now, but not make admins.
  root.Page("/permissions_r.html");  // the group whose form is submitted
  ASSERT_EQ(root.Action("/permissions_server.qvcmd", {{"ugRegisterred_upAccessWebAdminServer", "1"},
                                                       {"ugRegisterred_upAdminRegisterPlayer", "1"}}),
            changed);
  TBrowser user(httpPort);
  ASSERT_TRUE(user.LogIn("user", "pw", Port()));
  const httplib::Params account{{"CLIENTLOGINNAME", "clerk"}, {"CLIENTPW1", "Pass4711"}, {"CLIENTPW2", "Pass4711"}};
  httplib::Params admin = account;
  admin.emplace("CLIENTSERVERADMIN", "1");
  EXPECT_EQ(user.Action("/add_client.qvcmd", admin), Box("error", "invalid permissions"));
  EXPECT_EQ(user.Action("/add_client.qvcmd", account), Box("ok", "the user clerk was added to server"));
  const std::string log = Log();
  EXPECT_TRUE(Has(log, "admin change [interface: web, IP: 127.0.0.1, LoginName: user, change: ADD_CLIENT.QVCMD serverid=" +
                           std::to_string(serverId) + " CLIENTLOGINNAME=clerk CLIENTSERVERADMIN=]"))
      << log;
  EXPECT_TRUE(Has(log, "admin change [interface: web, IP: 127.0.0.1, LoginName: root, change: SETTINGS_SERVER.QVCMD"));
  EXPECT_FALSE(Has(log, "Pass4711"));
}

// Short limits: a request within 1 second, 4 connections per address; and
// the metrics endpoint on.
class WebLimitsTest : public WebProcessTest {
 protected:
  std::string MoreIni() const override {
    return "WebRequestSeconds=1\nWebConnectionsPerAddress=4\n[Metrics]\nEnabled=1\nBoundToIp=127.0.0.1\nPort=" +
           std::to_string(metricsPort) + "\n";
  }
  const uint16_t metricsPort = test::FreePort(SOCK_STREAM);
};

TEST_F(WebLimitsTest, WhatOnePeerMayHoldIsBounded) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(httpPort) + "\r\n";
  const std::string pad = "X-Pad: " + std::string(1000, 'p') + "\r\n";
  std::string huge = "GET / HTTP/1.1\r\n" + host;
  for (int i = 0; i < 40; ++i) huge += pad;
  const struct {
    const char* name;
    std::string head;
    const char* reply;
  } heads[] = {
      {"a head of 40 KB", huge + "\r\n", "HTTP/1.1 431 "},
      {"an ordinary request", "GET / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n", "HTTP/1.1 200 "},
  };
  for (const auto& c : heads) {
    SCOPED_TRACE(c.name);
    TRawConnection connection(httpPort, "127.0.0.1");
    connection.Send(c.head);
    EXPECT_EQ(connection.Read(5000).rfind(c.reply, 0), 0u);
  }
  const struct {
    const char* name;
    std::string start, drip;
  } drips[] = {
      {"a head dripped a byte at a time", "GET / HTTP/1.1\r\n", host + "X-A: bcdefghijklmnop\r\n\r\n"},
      {"a body dripped after its head", "POST /login.qvcmd HTTP/1.1\r\n" + host + "Content-Length: 40\r\n\r\n",
       std::string(40, 'x')},
  };
  for (const auto& c : drips) {
    SCOPED_TRACE(c.name);
    TRawConnection connection(httpPort, "127.0.0.1");
    connection.Send(c.start);
    EXPECT_TRUE(connection.Drip(c.drip, std::chrono::milliseconds(250)));  // closed within 1 second
  }
  // Four connections hold their address's share; the fifth is refused at once, another address is served.
  std::vector<std::unique_ptr<TRawConnection>> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(std::make_unique<TRawConnection>(httpPort, "127.0.0.3"));
    held.back()->Send("GET / HTTP/1.1\r\n");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  TRawConnection fifth(httpPort, "127.0.0.3");
  fifth.Send("GET / HTTP/1.1\r\n" + host + "\r\n");
  EXPECT_EQ(fifth.Read(5000).rfind("HTTP/1.1 503 ", 0), 0u);
  TRawConnection other(httpPort, "127.0.0.4");
  other.Send("GET / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
  EXPECT_TRUE(Has(other.Read(5000), "LOGIN PAGE"));
  // Connections dribbling to the metrics port do not starve the scrape.
  std::vector<std::unique_ptr<TRawConnection>> slow;
  for (int i = 0; i < 20; ++i) {
    slow.push_back(std::make_unique<TRawConnection>(metricsPort, "127.0.0.1"));
    slow.back()->Send("GET /metrics HTTP/1.1\r\n");
  }
  httplib::Client scraper("127.0.0.1", metricsPort);
  scraper.set_read_timeout(std::chrono::seconds(3));
  auto metrics = scraper.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_TRUE(Has(metrics->body, "quillvane_uptime_seconds"));
}

}  // namespace
}  // namespace webtest
}  // namespace qv
