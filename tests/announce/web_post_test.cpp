// The server-list announcement against a local UDP receiver and a local HTTP
// receiver: heartbeat bytes, form posts, a server that stops mid-pass, a post
// URL that never answers, shutdown, and the external address detection.
#include <gtest/gtest.h>
#include <httplib.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "model/countries.h"
#include "announce/external_ip.h"
#include "announce/web_post.h"
#include "base/log.h"
#include "base/version.h"
#include "model/model_test_util.h"
#include "model/server_object.h"
#include "voice/voice_runtime.h"
#include "protocol/udp_socket.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using TBytes = std::array<uint8_t, kHeartbeatSize>;

// Test-side writers of the expected datagram: a length byte and the characters.
void PutText(TBytes& b, size_t offset, const std::string& text) {
  b[offset] = static_cast<uint8_t>(text.size());
  std::memcpy(&b[offset + 1], text.data(), text.size());
}
void PutBytes(TBytes& b, size_t offset, std::initializer_list<uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<ptrdiff_t>(offset));
}

TEST(Heartbeat, ByteLayout) {
  TProcessSettings on;
  on.IspName = "Hosting";
  on.IspLinkUrl = "http://isp.example";
  on.AdminEmail = "ops@example.org";
  on.IspCountryNumber = 4147;  // Poland
  on.ListPublic = true;
  TAnnouncedServer clan;
  clan.Name = "Clan";
  clan.Platform = "Linux";
  clan.Version = {2, 0, 19, 40};
  clan.UdpPort = 0x12345;  // low 16 bits only
  clan.ServerFlags = sfClan | sfFreeware;
  clan.HasPassword = true;
  clan.Uptime = 0x01020304;
  clan.MaxPlayers = 32;
  clan.Players = 3;
  clan.Channels = 7;
  clan.Bandwidth = 0x0000000512345678;

  TBytes clanBytes{};
  PutText(clanBytes, 0, "Hosting");
  PutText(clanBytes, 30, "http://isp.example");
  PutText(clanBytes, 286, "ops@example.org");
  PutText(clanBytes, 316, "Clan");
  PutText(clanBytes, 346, "Linux");
  PutBytes(clanBytes, 376, {0x0F, 0x45, 0x23, 0x33, 0x10, 32, 0, 3, 0, 7, 0, 0x04, 0x03, 0x02, 0x01,
                            0x78, 0x56, 0x34, 0x12, 0x05, 0, 0, 0, 2, 0, 19, 40});

  TProcessSettings off = on;
  off.ListPublic = false;
  off.IspCountryNumber = 9999;  // not in the table: sent as the bare number
  off.AdminEmail = std::string(40, 'a');  // cut to 29
  TAnnouncedServer open = clan;
  open.ServerFlags = sfPublic;
  open.HasPassword = false;
  open.Bandwidth = 0;
  TBytes openBytes = clanBytes;
  PutText(openBytes, 286, std::string(29, 'a'));
  PutBytes(openBytes, 376, {0x00});
  PutBytes(openBytes, 379, {0x0F, 0x27});
  PutBytes(openBytes, 391, {0, 0, 0, 0, 0, 0, 0, 0});

  const struct {
    const char* name;
    const TProcessSettings& settings;
    const TAnnouncedServer& server;
    const TBytes& expected;
  } cases[] = {{"all flags", on, clan, clanBytes}, {"no flags, cut, unknown country", off, open, openBytes}};
  for (const auto& c : cases) EXPECT_EQ(BuildHeartbeat(c.settings, c.server), c.expected) << c.name;
}

TEST(Countries, TableAndLookups) {
  const auto& table = CountryTable();
  ASSERT_EQ(table.size(), 267u);
  EXPECT_EQ(std::count_if(table.begin(), table.end(), [](const TCountry& c) { return c.Number % 100 == 0; }),
            27);
  EXPECT_EQ(CountryName(1149), "R\xC3\xA9union");
  EXPECT_EQ(CountryName(1116), "Burundi");
  EXPECT_EQ(CountryName(6000), "Antartica");
  EXPECT_EQ(CountryName(9999), "Unknown");
  EXPECT_TRUE(IsCountry(5435));
  EXPECT_FALSE(IsCountry(4400));
  EXPECT_FALSE(IsCountry(4199));
}

// A local server list: UDP heartbeats and HTTP form posts, recorded in order.
class ServerListFake {
 public:
  ServerListFake() {
    udp_.Open(0, "127.0.0.1");
    udp_.Start([this](const uint8_t* data, size_t size, const std::string&, uint16_t) {
      std::lock_guard lock(mutex_);
      heartbeats_.emplace_back(data, data + size);
      changed_.notify_all();
    });
    http_.Post(R"(/(\w+))", [this](const httplib::Request& req, httplib::Response& res) {
      const std::string path = req.matches[1];
      if (onPost) onPost(path);
      if (path == "hang") {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 20s, [this] { return released_; });
      }
      std::lock_guard lock(mutex_);
      posts_.emplace_back(path, req.body);
      changed_.notify_all();
      res.set_content("ok", "text/plain");
    });
    http_.Get("/getip.php", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard lock(mutex_);
      ++ipRequests_;
      res.set_content("HOST=list<br>IP=198.51.100.7<BR>", "text/html");
    });
    httpPort_ = http_.bind_to_any_port("127.0.0.1");
    server_ = std::thread([this] { http_.listen_after_bind(); });
  }
  ~ServerListFake() {
    Release();
    http_.stop();
    server_.join();
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(httpPort_) + "/" + path;
  }
  std::string UdpHost() const { return "127.0.0.1:" + std::to_string(udp_.LocalPort()); }
  std::string HttpHost() const { return "127.0.0.1:" + std::to_string(httpPort_); }

  // Waits (bounded) until `count` heartbeats and `postCount` posts arrived.
  bool WaitFor(size_t count, size_t postCount) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 20s,
                             [&] { return heartbeats_.size() >= count && posts_.size() >= postCount; });
  }
  std::vector<std::vector<uint8_t>> Heartbeats() {
    std::lock_guard lock(mutex_);
    return {heartbeats_.begin(), heartbeats_.end()};
  }
  std::vector<std::pair<std::string, std::string>> Posts() {
    std::lock_guard lock(mutex_);
    return posts_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    heartbeats_.clear();
    posts_.clear();
  }
  void Release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  bool Released() {
    std::lock_guard lock(mutex_);
    return released_;
  }
  int IpRequests() {
    std::lock_guard lock(mutex_);
    return ipRequests_;
  }

  std::function<void(const std::string&)> onPost;  // runs on the HTTP thread before the reply

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<uint8_t>> heartbeats_;               // guarded by mutex_
  std::vector<std::pair<std::string, std::string>> posts_;    // guarded by mutex_
  bool released_ = false;                                     // guarded by mutex_
  int ipRequests_ = 0;                                        // guarded by mutex_
  TUDPSocket udp_;
  httplib::Server http_;
  int httpPort_ = 0;
  std::thread server_;
};

uint16_t FreePort() {
  TUDPSocket probe;
  probe.Open(0, "127.0.0.1");
  return probe.LocalPort();
}

class AnnounceTest : public ::testing::Test {
 protected:
  AnnounceTest() : saved_(GetSettings()) {
    TProcessSettings s;
    s.ServerListHost = list.UdpHost();
    s.PostUrl = list.Url("list");
    s.AdminEmail = "ops@example.org";
    s.IspLinkUrl = "http://isp.example/a b";
    s.IspName = "Hosting";
    s.IspCountryNumber = 1149;
    s.QueryPort = 51999;
    s.AnnounceIntervalSeconds = 1;
    s.BoundToIp = "127.0.0.1";  // posts and heartbeats leave from that address
    SetSettings(s);
  }
  ~AnnounceTest() override { SetSettings(saved_); }

  // A running server with its own port and these details; returns it.
  auto StartServer(const std::string& name, bool clan, const std::string& password,
                             const std::string& ownPostPath) {
    TServerSettings s = DefaultServerSettings();
    s.UdpPort = FreePort();
    s.Name = name;
    s.ServerFlags = clan ? sfClan : sfPublic;
    s.Password = password;
    s.MaxUsers = 16;
    s.WebLinkUrl = "http://clan.example/";
    s.WebPostUrl = ownPostPath.empty() ? "" : " " + list.Url(ownPostPath) + " ";
    const int32_t id = CreateServerRow(db.Scripts(), kDefaultUdpPort);
    EXPECT_TRUE(SaveSettings(db.Scripts(), id, s));
    auto server = std::make_unique<TServerObject>(db.Scripts(), registry);
    server->BoundToIp = "127.0.0.1";
    auto started = registry.StartServer(std::move(server), id, 0);
    EXPECT_TRUE(started);
    return started;
  }
  void Change(const std::function<void(TProcessSettings&)>& change) {
    TProcessSettings s = GetSettings();
    change(s);
    SetSettings(s);
  }
  uint16_t HeartbeatPort(const std::vector<uint8_t>& datagram) {
    return static_cast<uint16_t>(datagram.at(377) | datagram.at(378) << 8);
  }

  ServerListFake list;
  test::TestDatabase db;
  TServerRegistry registry{TVoiceRuntime::Create};
  TWebPost webPost{[this] { return &registry; }};

 private:
  TProcessSettings saved_;
};

// The uptime (0 or 1 second here) written as "N".
std::string WithoutUptime(std::string body) {
  const size_t at = body.find("server_uptime=");
  if (at == std::string::npos) return body;
  const size_t value = at + 14;
  return body.replace(value, body.find('&', value) - value, "N");
}

TEST_F(AnnounceTest, PassSendsHeartbeatsAndFormsAsConfigured) {
  auto clan = StartServer("Clan & Co", true, "secret", "own");
  auto open = StartServer("Open", false, "", "");
  // Traffic for the bandwidth field: any datagram counts as incoming.
  TUDPSocket peer;
  peer.Open(0, "127.0.0.1");
  const std::vector<uint8_t> junk(600, 0xAB);
  peer.SendTo(junk.data(), junk.size(), "127.0.0.1", static_cast<uint16_t>(clan->Settings().UdpPort));
  auto rate = [&] {
    const TBufferStatistics st = TBufferLease(*clan)->GetStatistics();
    return static_cast<uint64_t>(std::llround(st.Incoming.PerMinute + st.Outgoing.PerMinute));
  };
  for (int i = 0; i < 400 && rate() == 0; ++i) std::this_thread::sleep_for(10ms);
  const uint64_t before = rate();
  ASSERT_GT(before, 0u);

  webPost.AnnounceAll();
  const uint64_t after = rate();
  ASSERT_TRUE(list.WaitFor(2, 3));
  auto beats = list.Heartbeats();
  ASSERT_EQ(beats.size(), 2u);
  EXPECT_EQ(beats[0].size(), 403u);
  EXPECT_EQ(HeartbeatPort(beats[0]), clan->Settings().UdpPort);
  EXPECT_EQ(HeartbeatPort(beats[1]), open->Settings().UdpPort);
  EXPECT_EQ(beats[0][376], 0x0F);  // listed, clan, freeware, password
  EXPECT_EQ(beats[1][376], 0x05);  // listed, freeware
  uint64_t bandwidth = 0;
  for (int i = 7; i >= 0; --i) bandwidth = bandwidth << 8 | beats[0][391 + i];
  EXPECT_LE(bandwidth, before);  // the meter only falls while nothing arrives
  EXPECT_GE(bandwidth, after);

  const std::string clanForm =
      "server_adminemail=ops%40example.org&server_isplinkurl=http%3A%2F%2Fisp.example%2Fa%20b"
      "&server_ispname=Hosting&server_ispcountry=R%E9union&server_platform=" + PlatformText() +
      "&server_version_major=2&server_version_minor=0&server_version_release=19&server_version_build=40"
      "&server_port=" + std::to_string(clan->Settings().UdpPort) +
      "&server_name=Clan%20%26%20Co&server_uptime=N&server_password=1&server_type1=clan"
      "&server_type2=freeware&clients_current=0&clients_maximum=16&channels_current=" +
      std::to_string(clan->Channels->Count()) +
      "&server_linkurl=http%3A%2F%2Fclan.example%2F&server_queryport=51999&public=1";
  auto posts = list.Posts();
  ASSERT_EQ(posts.size(), 3u);
  EXPECT_EQ(posts[0].first, "list");
  EXPECT_EQ(WithoutUptime(posts[0].second), clanForm);
  EXPECT_EQ(posts[1].first, "own");  // the server's own URL, trimmed, gets the same form
  EXPECT_EQ(WithoutUptime(posts[1].second), clanForm);
  EXPECT_EQ(posts[2].first, "list");
  EXPECT_NE(posts[2].second.find("server_name=Open&"), std::string::npos);
  EXPECT_NE(posts[2].second.find("server_type1=public&server_type2=freeware"), std::string::npos);

  // Announcements off: heartbeats only.
  list.Clear();
  Change([](TProcessSettings& s) { s.WebPostEnabled = false; });
  webPost.AnnounceAll();
  ASSERT_TRUE(list.WaitFor(2, 0));
  EXPECT_TRUE(list.Posts().empty());

  // No configured post URL: only the server's own URL hears of it; without
  // a server-list host there are no heartbeats.
  list.Clear();
  Change([](TProcessSettings& s) {
    s.WebPostEnabled = true;
    s.PostUrl = "  ";
    s.ServerListHost = "";
  });
  webPost.AnnounceAll();
  posts = list.Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].first, "own");
  EXPECT_TRUE(list.Heartbeats().empty());
}

TEST_F(AnnounceTest, ServerStoppedBetweenSnapshotAndTurn) {
  StartServer("First", true, "", "");
  auto second = StartServer("Second", true, "", "own");
  const int32_t secondId = second->ServerId;
  // The first server's post stops the second while the pass runs.
  list.onPost = [&](const std::string& path) {
    if (path == "list" && registry.FindServer(secondId)) registry.StopServers(secondId);
  };
  webPost.AnnounceAll();
  list.onPost = nullptr;
  auto posts = list.Posts();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[1], std::make_pair(std::string("list"), std::string()));  // a form without fields
  ASSERT_EQ(list.Heartbeats().size(), 1u);  // none for the stopped server
  EXPECT_EQ(registry.FindServer(secondId), nullptr);
}

TEST_F(AnnounceTest, SilentPostUrlDelaysNoHeartbeatAndStopDoesNotWaitForIt) {
  StartServer("One", true, "", "");
  StartServer("Two", true, "", "");
  Change([&](TProcessSettings& s) { s.PostUrl = list.Url("hang"); });
  webPost.Start();  // the first pass comes after half a second
  // Both heartbeats arrive while the post URL still holds the first request.
  ASSERT_TRUE(list.WaitFor(2, 0));
  EXPECT_FALSE(list.Released());
  webPost.Terminate();
  webPost.Join();
  EXPECT_FALSE(list.Released());  // stopping did not wait for the silent URL
}

TEST(ExternalIp, ReplyParsing) {
  const struct {
    const char* reply;
    std::optional<std::string> address;
  } cases[] = {
      {"IP=198.51.100.7<br>", "198.51.100.7"},
      {"HOST=x<BR>IP= 203.0.113.9 \r\nIP=1.1.1.1", "203.0.113.9"},
      {"ip=198.51.100.7", std::nullopt},
      {"IP=<br>", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseExternalIpReply(c.reply), c.address) << c.reply;
}

TEST(ExternalIp, AskedOfTheServerListHost) {
  test::TempDir dir;
  CreateLog(dir.File("server.ini"), "Debug", dir.File("server.log"));
  ServerListFake list;
  TProcessSettings s;
  s.ServerListHost = list.HttpHost();
  EXPECT_EQ(DetectExternalIp(s), "198.51.100.7");
  s.ExternalIpDetection = false;
  EXPECT_EQ(DetectExternalIp(s), std::nullopt);
  s.ExternalIpDetection = true;
  s.ServerListHost = "";
  EXPECT_EQ(DetectExternalIp(s), std::nullopt);
  EXPECT_EQ(list.IpRequests(), 1);
  EXPECT_EQ(test::ReadFile(dir.File("server.log")).find("unable to detect external ip"), std::string::npos);

  s.ServerListHost = "127.0.0.1:" + std::to_string(FreePort());  // nobody listens there
  EXPECT_EQ(DetectExternalIp(s), std::nullopt);
  FreeLog();
  EXPECT_NE(test::ReadFile(dir.File("server.log")).find("unable to detect external ip"), std::string::npos);
}

}  // namespace
}  // namespace qv
