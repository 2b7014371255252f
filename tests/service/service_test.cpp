// The server as an operator runs it: installed with `cmake --install` into a
// temporary prefix and started from there with only the file locations on
// its command line, a database prepared beforehand (one server on a free UDP
// port) and a configuration with free ports. Checks the install tree, a
// protocol login, what start-up tells the service manager and standard
// error, log rotation with the shipped snippet, the metrics endpoint and the
// fail2ban filter on real refused logins.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <signal.h>
#include <spawn.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <tuple>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/ini_file.h"
#include "client/qv_client.h"
#include "model/accounts.h"
#include "model/server_object.h"
#include "storage/schema.h"
#include "storage/sqlite_storage.h"
#include "support/server_process.h"
#include "support/test_dir.h"

extern char** environ;

namespace qv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FreePort;
using test::Has;
using test::ReadFile;
using test::TempDir;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Runs a shell command with its output in `out`; its exit status.
int Shell(const std::string& command, const std::string& out) {
  const int status = std::system((command + " > '" + out + "' 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Have(const char* program) { return Shell(std::string("command -v ") + program, "/dev/null") == 0; }

// A datagram socket where the server's notices to the service manager arrive
// (NOTIFY_SOCKET), as systemd would receive them.
class TNotifySocket {
 public:
  explicit TNotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, std::min(path.size(), sizeof address.sun_path - 1));
    bound_ = path.size() < sizeof address.sun_path && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval limit{30, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~TNotifySocket() { close(fd_); }
  bool Bound() const { return bound_; }
  std::string Env() const { return "NOTIFY_SOCKET=" + path_; }
  // The next notice, or "(none)" after 30 s.
  std::string Next() {
    char text[512] = {};
    ssize_t got = recv(fd_, text, sizeof text - 1, 0);
    return got > 0 ? std::string(text, static_cast<size_t>(got)) : std::string("(none)");
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

// A socket that holds a loopback port, as another program would.
class TPortHolder {
 public:
  TPortHolder(int type, uint16_t port) {
    fd_ = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    held_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            (type != SOCK_STREAM || listen(fd_, 1) == 0);
  }
  ~TPortHolder() { close(fd_); }
  bool Held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

// Whether a TCP connection to ip:port is accepted.
bool Connects(const std::string& ip, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

bool WaitUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 3000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return condition();
}

class ServiceTest : public ::testing::Test {
 protected:
  // One install tree for the whole suite.
  static void SetUpTestSuite() {
    if (Env("QV_BUILD_DIR").empty()) return;
    prefix_ = new TempDir();
    const std::string command = "cmake --install '" + Env("QV_BUILD_DIR") + "' --prefix '" +
                                prefix_->Path().string() + "' > '" + prefix_->File("install.txt") + "' 2>&1";
    installed_ = std::system(command.c_str()) == 0;
  }
  static void TearDownTestSuite() {
    delete prefix_;
    prefix_ = nullptr;
  }

  void SetUp() override {
    if (!prefix_) GTEST_SKIP() << "QV_BUILD_DIR is not set";
    ASSERT_TRUE(installed_) << ReadFile(prefix_->File("install.txt"));
    udpPort = FreePort(SOCK_DGRAM);
    httpPort = FreePort(SOCK_STREAM);
  }
  void TearDown() override { Stop(); }

  static std::string Installed(const std::string& path) { return prefix_->File(path); }
  std::string Path(const std::string& name) const { return dir.File(name); }
  std::string Log() const { return ReadFile(Path("server.log")); }

  // A fresh database from the installed scripts, one server on udpPort, and a
  // configuration from the installed sample with free ports; extra keys
  // as given.
  void Prepare(const std::vector<std::tuple<std::string, std::string, std::string>>& extra = {}) {
    TSQLiteStorage db(Path("server.dbs"));
    const std::string sql = Installed("share/quillvane/sqlite_sql/");
    ASSERT_TRUE(CreateTables(db, sql));
    TScriptStorage scripts{&db, sql};
    for (uint16_t port : {udpPort, secondUdpPort}) {
      if (port == 0) continue;
      int32_t id = CreateServerRow(scripts, port);
      TServerSettings settings = DefaultServerSettings();
      settings.UdpPort = port;
      ASSERT_TRUE(SaveSettings(scripts, id, settings));
    }
    fs::copy_file(Installed("share/quillvane/server.ini"), Path("server.ini"));
    TIniFile ini(Path("server.ini"));
    ASSERT_TRUE(ini.Load());
    ini.WriteInteger("Main Config", "HTTPServer Port", httpPort);
    ini.WriteInteger("Main Config", "TCPQueryPort", 0);
    ini.WriteString("Main Config", "BoundToIp", "127.0.0.1");
    ini.WriteBool("Main Config", "ExternalIPDectection", false);
    ini.WriteBool("WebPost", "Enabled", false);
    for (const auto& [section, key, value] : extra) ini.WriteString(section, key, value);
    ASSERT_TRUE(ini.UpdateFile());
  }

  // The installed server with the file locations only; environment as this
  // process's plus `extraEnv`. JOURNAL_STREAM=err names the file that takes
  // its standard error (as systemd names the journal's stream).
  void Start(std::vector<std::string> extraEnv = {}) {
    std::vector<std::string> args = {Installed("bin/quillvane-server"), "-INI=" + Path("server.ini"),
                                     "-DB=" + Path("server.dbs"), "-LOG=" + Path("server.log"),
                                     "-BADNAMES=" + Path("bad_names.txt"), "-PID=" + Path("server.pid")};
    test::WriteFile(Path("err.txt"), "");
    for (std::string& e : extraEnv) {
      struct stat st {};
      if (e == "JOURNAL_STREAM=err" && stat(Path("err.txt").c_str(), &st) == 0)
        e = "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env(extraEnv);
    for (char** e = environ; *e; ++e) env.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, Path("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, Path("err.txt").c_str(), O_WRONLY | O_APPEND, 0644);
    ASSERT_EQ(posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_TRUE(WaitUntil([&] { return Has(Log(), "Server init finished"); })) << Log();
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    EXPECT_EQ(Exit(), 0) << ReadFile(Path("err.txt"));
  }

  // Waits for the process to end by itself (SIGKILL after 30 s): its exit
  // status, -1 when it had to be killed or ended by a signal.
  int Exit() {
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 3000 && !(ended = waitpid(pid_, &status, WNOHANG) == pid_); ++i)
      std::this_thread::sleep_for(10ms);
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  int LogIn(TQVClient& client, const std::string& nick) {
    TClientLogin login;
    login.ServerPort = udpPort;
    login.NickName = nick;
    login.TimeoutMs = 10000;
    return client.Login(login);
  }

  static inline TempDir* prefix_ = nullptr;
  static inline bool installed_ = false;
  TempDir dir;
  uint16_t udpPort = 0;
  uint16_t secondUdpPort = 0;  // a second stored server when set
  uint16_t httpPort = 0;
  pid_t pid_ = -1;
};

TEST_F(ServiceTest, InstallTreeHoldsTheFilesAndTheInstalledServerRunsFromIt) {
  for (const char* file : {"bin/quillvane-server", "bin/quillvane-client", "share/quillvane/sqlite_sql/read_servers.sql",
                           "share/quillvane/httpdocs/index.html", "share/quillvane/server.ini",
                           "share/man/man8/quillvane-server.8.gz", "etc/logrotate.d/quillvane",
                           "etc/fail2ban/filter.d/quillvane.conf", "etc/quillvane/server.ini",
                           "lib/systemd/system/quillvane.service"}) {
    EXPECT_TRUE(fs::is_regular_file(Installed(file))) << file;
  }
  // Nothing lands beside the programs but the programs.
  EXPECT_FALSE(fs::exists(Installed("bin/sqlite_sql")));
  TNotifySocket notify(Path("notify"));
  ASSERT_TRUE(notify.Bound());
  const uint16_t metricsPort = FreePort(SOCK_STREAM);
  Prepare({{"Metrics", "Port", std::to_string(metricsPort)}});
  Start({notify.Env()});
  EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=1 of 1 virtual server running; web interface on TCP " +
                               std::to_string(httpPort));
  TQVClient client;
  EXPECT_EQ(LogIn(client, "operator"), 1);
  // The metrics endpoint is off by default.
  EXPECT_FALSE(httplib::Client("127.0.0.1", metricsPort).Get("/metrics"));
  EXPECT_EQ(ReadFile(Path("server.pid")), std::to_string(pid_) + "\n");
  Stop();
  EXPECT_EQ(notify.Next(), "STOPPING=1");
  EXPECT_FALSE(fs::exists(Path("server.pid")));
  EXPECT_EQ(ReadFile(Path("err.txt")), "");  // nothing went wrong
  EXPECT_FALSE(Has(Log(), "FileNotFound")) << Log();
  EXPECT_TRUE(fs::exists(Path("bad_names.txt")));
  EXPECT_FALSE(fs::exists(Installed("bin/server.ini")));
}

// Debian's python (with its python3-prometheus-client) before any other.
std::string Python() { return fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

// The samples of the metrics endpoint as the Prometheus client library
// parses them: "name labels" to value. The text passes `promtool check
// metrics`, and every metric the shipped dashboard's queries name is served.
std::map<std::string, double> Scrape(uint16_t port, const std::string& outFile) {
  const std::string command = Python() + " '" + Env("QV_SOURCE_DIR") + "/tests/service/check_metrics.py' http://127.0.0.1:" +
                              std::to_string(port) + "/metrics --dashboard '" + Env("QV_SOURCE_DIR") +
                              "/dist/grafana-dashboard.json' > '" + outFile + "' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << ReadFile(outFile);
  std::map<std::string, double> samples;
  std::istringstream lines(ReadFile(outFile));
  std::string name, labels;
  double value = 0;
  while (lines >> name >> labels >> value) samples[name + " " + labels] = value;
  return samples;
}

TEST_F(ServiceTest, MetricsFollowLoginsAndVoice) {
  if (std::system((Python() + " -c 'import prometheus_client' > /dev/null 2>&1").c_str()) != 0 || !Have("promtool"))
    GTEST_SKIP() << "python3-prometheus-client or promtool is missing";
  const uint16_t metricsPort = FreePort(SOCK_STREAM);
  secondUdpPort = FreePort(SOCK_DGRAM);
  Prepare({{"Metrics", "Enabled", "1"}, {"Metrics", "Port", std::to_string(metricsPort)}});
  {
    // The second stored server is stopped.
    TSQLiteStorage db(Path("server.dbs"));
    db.SetStatement("UPDATE qv2_servers SET b_server_active = 0 WHERE i_server_id = 2");
    ASSERT_TRUE(db.ExecSQL());
  }
  Start();
  const std::string server = "port=" + std::to_string(udpPort) + ",server=1";
  const std::string stopped = "port=" + std::to_string(secondUdpPort) + ",server=2";
  std::map<std::string, double> before = Scrape(metricsPort, Path("before.txt"));
  ASSERT_EQ(before.count("quillvane_voice_relayed_datagrams_total " + server), 1u) << ReadFile(Path("before.txt"));

  TQVClient speaker, listener, refused;
  ASSERT_EQ(LogIn(speaker, "speaker"), 1);
  ASSERT_EQ(LogIn(listener, "listener"), 1);
  TClientLogin old;
  old.ServerPort = udpPort;
  old.NickName = "old";
  old.ClientVersion = {2, 0, 27, 39};
  old.TimeoutMs = 10000;
  EXPECT_EQ(refused.Login(old), -5);
  bool heard = false;
  for (int i = 0; i < 50 && !heard; ++i) {
    speaker.SendVoice(0, 5, std::vector<uint8_t>(100, static_cast<uint8_t>(i)));
    heard = listener.WaitFor(ceVoice, 200).has_value();
  }
  ASSERT_TRUE(heard);

  std::map<std::string, double> after = Scrape(metricsPort, Path("after.txt"));
  const std::string dump = ReadFile(Path("after.txt"));
  auto grew = [&](const std::string& sample) { return after[sample] - before[sample]; };
  struct Expect {
    std::string sample;
    double least, most;
  } cases[] = {
      {"quillvane_players " + server, 2, 2},
      {"quillvane_channels " + server, 1, 1e9},
      {"quillvane_servers_running -", 1, 1},
      {"quillvane_resident_memory_bytes -", 1, 1e12},
      {"process_resident_memory_bytes -", 1, 1e12},
      {"process_cpu_seconds_total -", 0.001, 1e6},
      {"process_start_time_seconds -", 1.7e9, 1e11},
      {"process_open_fds -", 5, 1e6},
      {"process_max_fds -", 64, 1e9},
      {"quillvane_build_info version=2.0.19.40", 1, 1},
      {"quillvane_server_up " + server, 1, 1},
      {"quillvane_server_up " + stopped, 0, 0},
      {"quillvane_max_players " + server, 8, 8},
      {"quillvane_max_players " + stopped, 8, 8},
      {"quillvane_uptime_seconds -", 0, 1e6},
      {"quillvane_web_sessions -", 0, 0},
      {"quillvane_query_sessions -", 0, 0},
  };
  for (const Expect& e : cases) {
    ASSERT_EQ(after.count(e.sample), 1u) << e.sample << "\n" << dump;
    EXPECT_GE(after[e.sample], e.least) << e.sample;
    EXPECT_LE(after[e.sample], e.most) << e.sample;
  }
  const Expect growth[] = {
      {"quillvane_server_logins_total " + server.substr(0, server.find(",")) + ",result=accepted," + server.substr(server.find(",") + 1), 2, 2},
      {"quillvane_server_logins_total " + server.substr(0, server.find(",")) + ",result=refused," + server.substr(server.find(",") + 1), 1, 1},
      {"quillvane_logins_total interface=voice,reason=accepted", 2, 2},
      {"quillvane_logins_total interface=voice,reason=version_not_supported", 1, 1},
      {"quillvane_logins_total interface=web,reason=wrong_password", 0, 0},
      {"quillvane_lockouts_total interface=voice", 0, 0},
      {"quillvane_voice_received_datagrams_total " + server, 1, 50},
      {"quillvane_voice_received_bytes_total " + server, 100, 50 * 200},
      {"quillvane_voice_relayed_datagrams_total " + server, 1, 50},
      {"quillvane_voice_relayed_bytes_total " + server, 100, 50 * 200},
      {"quillvane_commands_received_total " + server, 2, 1e6},
      {"quillvane_voice_shed_datagrams_total " + server, 0, 0},
      {"quillvane_send_failures_total " + server, 0, 0},
      {"quillvane_ignored_datagrams_total " + server, 0, 0},
  };
  for (const Expect& e : growth) {
    ASSERT_EQ(after.count(e.sample), 1u) << e.sample << "\n" << dump;
    EXPECT_GE(grew(e.sample), e.least) << e.sample;
    EXPECT_LE(grew(e.sample), e.most) << e.sample;
  }
  // Nothing but /metrics.
  auto other = httplib::Client("127.0.0.1", metricsPort).Get("/");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 404);
}

// What start-up could not start is on standard error (at the journal's
// priorities when that is the journal), in the log and in the STATUS= line;
// with nothing at all to serve the process ends with status 1. The web and
// query listeners bind their own addresses, or BoundToIp.
TEST_F(ServiceTest, StartupTellsWhatRunsAndWhatNot) {
  const uint16_t queryPort = FreePort(SOCK_STREAM);
  const uint16_t second = FreePort(SOCK_DGRAM);
  const std::string udp = std::to_string(udpPort), web = std::to_string(httpPort), query = std::to_string(queryPort);
  struct {
    const char* what;
    uint16_t second;  // a second stored server's port, or 0
    std::vector<std::pair<int, uint16_t>> held;
    std::vector<std::tuple<std::string, std::string, std::string>> config;
    bool journal;
    int exit;  // -1: keeps running
    std::string notice;
    std::vector<std::string> errors;  // lines on standard error
  } cases[] = {
      {"the second server's port is taken",
       second,
       {{SOCK_DGRAM, second}},
       {},
       true,
       -1,
       "READY=1\nSTATUS=1 of 2 virtual servers running; UDP " + std::to_string(second) +
           " in use; web interface on TCP " + web,
       {"<3>[TServerObject] SID: 2 Server startup failed with port " + std::to_string(second) + ", Exception: ",
        "<4>[SERVER] Start-up: 1 of 2 virtual servers running; UDP " + std::to_string(second) + " in use"}},
      {"every port is taken",
       0,
       {{SOCK_DGRAM, udpPort}, {SOCK_STREAM, httpPort}},
       {},
       true,
       1,
       "STATUS=nothing to serve: 0 of 1 virtual server running; UDP " + udp + " in use; web interface TCP " + web +
           " in use",
       {"<3>[WEBINTERFACE] WebInterface startup failed with port " + web,
        "<3>[GENERAL] nothing to serve, shutdown initiated: 0 of 1 virtual server running"}},
      {"the web interface's address is not here, the query interface has its own",
       0,
       {},
       {{"Main Config", "WebBoundToIp", "192.0.2.1"},
        {"Main Config", "QueryBoundToIp", "127.0.0.2"},
        {"Main Config", "TCPQueryPort", query}},
       false,
       -1,
       "READY=1\nSTATUS=1 of 1 virtual server running; web interface TCP " + web +
           ": address 192.0.2.1 not available; query interface on TCP " + query,
       {"ERROR [WEBINTERFACE] WebInterface startup failed with port " + web}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* file : {"server.dbs", "server.ini", "server.log"}) fs::remove(Path(file));
    secondUdpPort = c.second;
    std::vector<std::unique_ptr<TPortHolder>> holders;
    for (const auto& [type, port] : c.held) {
      holders.push_back(std::make_unique<TPortHolder>(type, port));
      ASSERT_TRUE(holders.back()->Held()) << port;
    }
    Prepare(c.config);
    TNotifySocket notify(Path("notify"));
    std::vector<std::string> env = {notify.Env()};
    if (c.journal) env.push_back("JOURNAL_STREAM=err");
    Start(env);
    EXPECT_EQ(notify.Next(), c.notice);
    if (c.exit >= 0) {
      EXPECT_EQ(Exit(), c.exit);
    }
    const std::string err = ReadFile(Path("err.txt"));
    for (const std::string& line : c.errors) EXPECT_TRUE(Has(err, "\n" + line) || err.rfind(line, 0) == 0) << line << "\n" << err;
    if (c.exit < 0 && !c.journal) {
      // The query interface answers on its own address only.
      EXPECT_TRUE(Connects("127.0.0.2", queryPort)) << "query on 127.0.0.2";
      EXPECT_FALSE(Connects("127.0.0.1", queryPort)) << "query on 127.0.0.1";
    }
    Stop();
    fs::remove(Path("notify"));
  }
}

// systemd's own checker accepts the unit (its program taken from the
// install tree, where it exists).
TEST_F(ServiceTest, SystemdAcceptsTheUnit) {
  if (std::system("command -v systemd-analyze > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "systemd-analyze is missing";
  std::string unit = ReadFile(Installed("lib/systemd/system/quillvane.service"));
  const size_t at = unit.find("ExecStart=");
  ASSERT_NE(at, std::string::npos);
  const size_t program = unit.find("/quillvane-server", at);
  unit.replace(at + 10, program - at - 10, Installed("bin"));
  test::WriteFile(Path("quillvane.service"), unit);
  const std::string command = "systemd-analyze verify '" + Path("quillvane.service") + "' > '" + Path("verify.txt") + "' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << ReadFile(Path("verify.txt"));
  EXPECT_EQ(ReadFile(Path("verify.txt")), "");
  for (const char* line : {"Type=notify", "User=quillvane", "Restart=on-failure", "ProtectSystem=strict",
                           "-INI=/etc/quillvane/server.ini -DB=/var/lib/quillvane/server.dbs -LOG=/var/log/quillvane/server.log",
                           "-PID=/run/quillvane/quillvane-server.pid"})
    EXPECT_TRUE(Has(unit, line)) << line;
  // The sandbox, as systemd rates it (0 is the tightest, 10 none at all).
  Shell("systemd-analyze security --offline=true '" + Path("quillvane.service") + "'", Path("security.txt"));
  const std::string rating = ReadFile(Path("security.txt"));
  const std::string head = "Overall exposure level for quillvane.service: ";
  const size_t level = rating.find(head);
  ASSERT_NE(level, std::string::npos) << rating;
  EXPECT_LE(std::stod(rating.substr(level + head.size())), 1.5) << rating;
}

// The shipped logrotate snippet (its paths moved into the test's directory)
// rotates the log of a running server without any service manager: the
// server, found through its PID file, reopens its log, so the moved file
// ends before the rotation and the new one has everything after it.
TEST_F(ServiceTest, LogrotateSnippetRotatesThroughThePidFile) {
  if (!Have("logrotate")) GTEST_SKIP() << "logrotate is missing";
  Prepare();
  Start();
  const passwd* user = getpwuid(getuid());
  const group* grp = getgrgid(getgid());
  ASSERT_TRUE(user && grp);
  const std::string owner = std::string(user->pw_name) + " " + grp->gr_name;
  std::string conf = ReadFile(Installed("etc/logrotate.d/quillvane"));
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"/var/log/quillvane", dir.Path().string()},
                                 {"/run/quillvane/quillvane-server.pid", Path("server.pid")},
                                 {"su quillvane quillvane", "su " + owner},
                                 {"0640 quillvane quillvane", "0640 " + owner}}) {
    ASSERT_TRUE(Has(conf, from)) << from;
    conf.replace(conf.find(from), from.size(), to);
  }
  test::WriteFile(Path("logrotate.conf"), conf);
  ASSERT_EQ(Shell("logrotate -f -s '" + Path("logrotate.state") + "' '" + Path("logrotate.conf") + "'",
                  Path("logrotate.txt")), 0)
      << ReadFile(Path("logrotate.txt"));
  ASSERT_TRUE(WaitUntil([&] { return Has(Log(), "log file reopened"); })) << ReadFile(Path("server.log.1"));
  TQVClient client;
  EXPECT_EQ(LogIn(client, "after"), 1);
  Stop();
  EXPECT_TRUE(Has(Log(), "Server shutdown finished")) << Log();
  const std::string rotated = ReadFile(Path("server.log.1"));
  EXPECT_TRUE(Has(rotated, "Server init finished"));
  EXPECT_FALSE(Has(rotated, "log file reopened") || Has(rotated, "Server shutdown")) << rotated;
}

// The shipped fail2ban filter, run by Debian's fail2ban-regex over the log of
// real voice logins, matches the password and account guesses and nothing
// else: not the accepted logins, not refusals that are no attack.
TEST_F(ServiceTest, Fail2banFilterMatchesPasswordGuessesOnly) {
  if (!Have("fail2ban-regex")) GTEST_SKIP() << "fail2ban is missing";
  const uint16_t queryPort = FreePort(SOCK_STREAM);
  Prepare({{"log", "access", "1"}, {"Main Config", "TCPQueryPort", std::to_string(queryPort)}});
  {
    TSQLiteStorage db(Path("server.dbs"));
    TClientRec account;
    account.LoginName = "bob";
    account.LoginPassword = "bobpw";
    ASSERT_EQ(DBAddUser(TScriptStorage{&db, Installed("share/quillvane/sqlite_sql/")}, 1, account), 0);
  }
  Start();
  struct {
    const char* nick;
    const char* login;
    const char* password;
    bool old;  // a client version the server refuses
    int code;
    bool guess;
  } logins[] = {
      {"anna", "", "", false, 1, false},       {"bob", "bob", "bobpw", false, 1, false},
      {"b", "bob", "nope", false, -21, true},  {"e", "eve", "x", false, -21, true},
      {"b", "bob", "again", false, -21, true}, {"old", "", "", true, -5, false},
      {"anna", "", "", false, -4, false},
  };
  std::vector<std::unique_ptr<TQVClient>> clients;
  int guesses = 0;
  for (const auto& l : logins) {
    clients.push_back(std::make_unique<TQVClient>());
    TClientLogin login;
    login.ServerPort = udpPort;
    login.NickName = l.nick;
    login.LoginName = l.login;
    login.Password = l.password;
    if (l.old) login.ClientVersion = {2, 0, 27, 39};
    login.TimeoutMs = 10000;
    EXPECT_EQ(clients.back()->Login(login), l.code) << l.nick;
    guesses += l.guess;
  }
  // The web and the query interface write the same line: a wrong password
  // at each (one each, far from the query's lock-out).
  // The shipped configuration serves HTTPS (a self-signed certificate).
  httplib::Client web("https://127.0.0.1:" + std::to_string(httpPort));
  web.enable_server_certificate_verification(false);
  const std::string origin = "https://127.0.0.1:" + std::to_string(httpPort);
  auto refused = web.Post("/login.qvcmd", {{"Origin", origin}},
                          httplib::Params{{"username", "bob"}, {"password", "nope"},
                                          {"serverport", std::to_string(udpPort)}});
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->get_header_value("Location"), "login_error.html");
  ++guesses;
  const int query = test::ConnectFrom(queryPort, "127.0.0.1");
  ASSERT_GE(query, 0);
  const std::string line = "slogin superadmin nope\n";
  ASSERT_EQ(write(query, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  std::string reply;
  char buffer[256];
  for (ssize_t n; reply.find("ERROR") == std::string::npos && (n = read(query, buffer, sizeof buffer)) > 0;)
    reply.append(buffer, static_cast<size_t>(n));
  close(query);
  EXPECT_TRUE(Has(reply, "ERROR, invalid login")) << reply;
  ++guesses;
  ASSERT_TRUE(WaitUntil([&] { return Has(Log(), "interface: query, reason: "); })) << Log();
  // The refusals are warnings, which the log writes out at once.
  const std::string filter = Env("QV_SOURCE_DIR") + "/dist/fail2ban/filter.d/quillvane.conf";
  ASSERT_EQ(Shell("fail2ban-regex '" + Path("server.log") + "' '" + filter + "'", Path("fail2ban.txt")), 0)
      << ReadFile(Path("fail2ban.txt"));
  const std::string result = ReadFile(Path("fail2ban.txt"));
  EXPECT_TRUE(Has(result, " ignored, " + std::to_string(guesses) + " matched, ")) << result;
  EXPECT_EQ(ReadFile(Installed("etc/fail2ban/filter.d/quillvane.conf")), ReadFile(filter));
}

}  // namespace
}  // namespace qv
