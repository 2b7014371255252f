// The server as an operator runs it: installed with `cmake --install` into a
// temporary prefix and started from there with only the file locations on
// its command line, a database prepared beforehand (one server on a free UDP
// port) and a configuration with free ports. Checks the install tree, a
// protocol login, the log reopened on SIGHUP and the metrics endpoint.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
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
    int32_t id = CreateServerRow(scripts, udpPort);
    TServerSettings settings = DefaultServerSettings();
    settings.UdpPort = udpPort;
    ASSERT_TRUE(SaveSettings(scripts, id, settings));
    fs::copy_file(Installed("share/doc/quillvane/server.ini"), Path("server.ini"));
    TIniFile ini(Path("server.ini"));
    ASSERT_TRUE(ini.Load());
    ini.WriteInteger("Main Config", "HTTPServer Port", FreePort(SOCK_STREAM));
    ini.WriteInteger("Main Config", "TCPQueryPort", 0);
    ini.WriteString("Main Config", "BoundToIp", "127.0.0.1");
    ini.WriteBool("Main Config", "ExternalIPDectection", false);
    ini.WriteBool("WebPost", "Enabled", false);
    for (const auto& [section, key, value] : extra) ini.WriteString(section, key, value);
    ASSERT_TRUE(ini.UpdateFile());
  }

  // The installed server with the file locations only; environment as this
  // process's plus `extraEnv`.
  void Start(const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> args = {Installed("bin/quillvane-server"), "-INI=" + Path("server.ini"),
                                     "-DB=" + Path("server.dbs"), "-LOG=" + Path("server.log"),
                                     "-BADNAMES=" + Path("bad_names.txt")};
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
    posix_spawn_file_actions_addopen(&actions, 2, Path("err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_TRUE(WaitUntil([&] { return Has(Log(), "Server init finished"); })) << Log();
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 3000 && waitpid(pid_, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
    if (kill(pid_, 0) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      ADD_FAILURE() << "the server did not stop";
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(Path("err.txt"));
    }
    pid_ = -1;
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
  pid_t pid_ = -1;
};

TEST_F(ServiceTest, InstallTreeHoldsTheFilesAndTheInstalledServerRunsFromIt) {
  for (const char* file : {"bin/quillvane-server", "bin/quillvane-client", "share/quillvane/sqlite_sql/read_servers.sql",
                           "share/quillvane/httpdocs/index.html", "share/doc/quillvane/server.ini",
                           "etc/logrotate.d/quillvane", "etc/quillvane/server.ini",
                           "lib/systemd/system/quillvane.service"}) {
    EXPECT_TRUE(fs::is_regular_file(Installed(file))) << file;
  }
  // Nothing lands beside the programs but the programs.
  EXPECT_FALSE(fs::exists(Installed("bin/sqlite_sql")));
  // The service manager's notices, as systemd would receive them.
  int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = Path("notify");
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  timeval limit{30, 0};
  setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  auto notice = [&] {
    char text[256] = {};
    ssize_t got = recv(notify, text, sizeof text - 1, 0);
    return got > 0 ? std::string(text, static_cast<size_t>(got)) : std::string("(none)");
  };

  const uint16_t metricsPort = FreePort(SOCK_STREAM);
  Prepare({{"Metrics", "Port", std::to_string(metricsPort)}});
  Start({"NOTIFY_SOCKET=" + socketPath});
  EXPECT_EQ(notice(), "READY=1");
  TQVClient client;
  EXPECT_EQ(LogIn(client, "operator"), 1);
  // The metrics endpoint is off by default.
  EXPECT_FALSE(httplib::Client("127.0.0.1", metricsPort).Get("/metrics"));
  Stop();
  EXPECT_EQ(notice(), "STOPPING=1");
  close(notify);
  EXPECT_FALSE(Has(Log(), "FileNotFound")) << Log();
  EXPECT_TRUE(fs::exists(Path("bad_names.txt")));
  EXPECT_FALSE(fs::exists(Installed("bin/server.ini")));
}

// Debian's python (with its python3-prometheus-client) before any other.
std::string Python() { return fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

// The samples of the metrics endpoint as the Prometheus client library
// parses them: "name labels" to value.
std::map<std::string, double> Scrape(uint16_t port, const std::string& outFile) {
  const std::string command = Python() + " '" + Env("QV_SOURCE_DIR") + "/tests/service/parse_metrics.py' http://127.0.0.1:" +
                              std::to_string(port) + "/metrics > '" + outFile + "' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << ReadFile(outFile);
  std::map<std::string, double> samples;
  std::istringstream lines(ReadFile(outFile));
  std::string name, labels;
  double value = 0;
  while (lines >> name >> labels >> value) samples[name + " " + labels] = value;
  return samples;
}

TEST_F(ServiceTest, MetricsFollowLoginsAndVoice) {
  if (std::system((Python() + " -c 'import prometheus_client' > /dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "python3-prometheus-client is missing";
  const uint16_t metricsPort = FreePort(SOCK_STREAM);
  Prepare({{"Metrics", "Enabled", "1"}, {"Metrics", "Port", std::to_string(metricsPort)}});
  Start();
  const std::string server = "port=" + std::to_string(udpPort) + ",server=1";
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
      {"quillvane_logins_total " + server.substr(0, server.find(",")) + ",result=accepted," + server.substr(server.find(",") + 1), 2, 2},
      {"quillvane_logins_total " + server.substr(0, server.find(",")) + ",result=refused," + server.substr(server.find(",") + 1), 1, 1},
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
                           "-INI=/etc/quillvane/server.ini -DB=/var/lib/quillvane/server.dbs -LOG=/var/log/quillvane/server.log"})
    EXPECT_TRUE(Has(unit, line)) << line;
}

// What `cpack -G DEB` in the build tree gives: the files in the system's
// places, dependencies from the shared libraries, the configuration marked
// as such and the maintainer scripts.
TEST_F(ServiceTest, DebianPackage) {
  if (std::system("command -v dpkg-deb > /dev/null 2>&1 && command -v dpkg-shlibdeps > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "dpkg-deb or dpkg-shlibdeps is missing";
  auto run = [&](const std::string& command) {
    const std::string full = command + " > '" + Path("out.txt") + "' 2>&1";
    EXPECT_EQ(std::system(full.c_str()), 0) << command << "\n" << ReadFile(Path("out.txt"));
    return ReadFile(Path("out.txt"));
  };
  run("cpack -G DEB --config '" + Env("QV_BUILD_DIR") + "/CPackConfig.cmake' -B '" + Path("pkg") + "'");
  std::string deb;
  for (const auto& entry : fs::directory_iterator(Path("pkg")))
    if (entry.path().extension() == ".deb") deb = entry.path().string();
  ASSERT_FALSE(deb.empty());
  const std::string files = run("dpkg-deb -c '" + deb + "'");
  for (const char* file : {" ./usr/bin/quillvane-server\n", " ./usr/bin/quillvane-client\n",
                           " ./usr/share/quillvane/sqlite_sql/read_servers.sql\n",
                           " ./usr/share/quillvane/httpdocs/index.html\n", " ./usr/share/doc/quillvane/server.ini\n",
                           " ./etc/quillvane/server.ini\n", " ./etc/logrotate.d/quillvane\n",
                           " ./lib/systemd/system/quillvane.service\n"})
    EXPECT_TRUE(Has(files, file)) << file << files;
  EXPECT_FALSE(Has(files, "/usr/local")) << files;
  EXPECT_EQ(run("dpkg-deb -f '" + deb + "' Package Section"), "Package: quillvane\nSection: net\n");
  const std::string depends = run("dpkg-deb -f '" + deb + "' Depends");
  for (const char* library : {"adduser", "libc6", "libsqlite3-0", "libmariadb3", "libsystemd0", "libfmt"})
    EXPECT_TRUE(Has(depends, library)) << library << " in " << depends;
  run("dpkg-deb -e '" + deb + "' '" + Path("control") + "'");
  EXPECT_EQ(ReadFile(Path("control/conffiles")), "/etc/quillvane/server.ini\n/etc/logrotate.d/quillvane\n");
  const std::string postinst = ReadFile(Path("control/postinst"));
  EXPECT_TRUE(Has(postinst, "adduser --system") && Has(postinst, "deb-systemd-helper enable quillvane.service"));
  EXPECT_FALSE(Has(postinst, "deb-systemd-invoke start"));
  EXPECT_TRUE(fs::status(Path("control/postinst")).permissions() == fs::perms(0755));
}

TEST_F(ServiceTest, SighupReopensTheLogFileAndTheServerGoesOn) {
  Prepare();
  Start();
  fs::rename(Path("server.log"), Path("server.log.1"));
  kill(pid_, SIGHUP);
  ASSERT_TRUE(WaitUntil([&] { return Has(Log(), "log file reopened"); })) << ReadFile(Path("server.log.1"));
  TQVClient client;
  EXPECT_EQ(LogIn(client, "after"), 1);
  Stop();
  // The new file has what followed; the moved one ends before the signal.
  EXPECT_TRUE(Has(Log(), "Server shutdown finished")) << Log();
  const std::string rotated = ReadFile(Path("server.log.1"));
  EXPECT_TRUE(Has(rotated, "Server init finished"));
  EXPECT_FALSE(Has(rotated, "log file reopened") || Has(rotated, "Server shutdown")) << rotated;
}

}  // namespace
}  // namespace qv
