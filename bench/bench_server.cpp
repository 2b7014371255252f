#include "bench_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

extern char** environ;

namespace qv::bench {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct TSqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using TSqlite = std::unique_ptr<sqlite3, TSqliteCloser>;

bool Exec(sqlite3* db, const std::string& sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = fmt::format("{}: {}", sql.substr(0, 60), message ? message : "?");
  sqlite3_free(message);
  return false;
}

}  // namespace

// --- child processes ---------------------------------------------------------

TChildProcess::~TChildProcess() {
  if (pid_ > 0 && !Reap()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
}

bool TChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const std::string& outputFile) {
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  const int result = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  exited_ = false;
  if (result != 0) pid_ = -1;
  return result == 0;
}

bool TChildProcess::Reap() {
  if (!exited_ && pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
  return exited_;
}

bool TChildProcess::Running() { return pid_ > 0 && !Reap(); }

int TChildProcess::Stop(int signal, std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  if (!Reap()) kill(pid_, signal);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!Reap() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  if (!exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    exited_ = true;
    return -1;
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool WaitForFileText(const std::string& file, const std::string& text, TChildProcess& child,
                     std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ReadWholeFile(file).find(text) != std::string::npos) return true;
    if (!child.Running()) return ReadWholeFile(file).find(text) != std::string::npos;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

uint16_t FreeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) close(fd);
  return port;
}

// --- the real server -----------------------------------------------------------

TQuillvaneServer::TQuillvaneServer(std::string buildDir, std::string workDir)
    : buildDir_(std::move(buildDir)), workDir_(std::move(workDir)) {}

std::vector<std::string> TQuillvaneServer::Args(const std::string& dir) const {
  return {"-INI=" + dir + "/server.ini", "-DB=" + dir + "/server.dbs", "-LOG=" + dir + "/server.log",
          "-SQL=" + buildDir_ + "/sqlite_sql/", "-BADNAMES=" + dir + "/bad_names.txt", "-NOPWDIALOG"};
}

// Loopback only, and nothing that reaches beyond the machine: no web
// interface, no server-list announcement, no external address detection.
// The TCP ports are free ones so that other servers on the machine are not
// disturbed.
bool TQuillvaneServer::WriteIni(const std::string& dir) const {
  std::ofstream ini(dir + "/server.ini");
  ini << "[Main Config]\n"
      << "BoundToIp=127.0.0.1\n"
      << "HTTPServer Enabled=0\n"
      << "HTTPServer Port=" << FreeUdpPort() << "\n"
      << "TCPQueryPort=" << FreeUdpPort() << "\n"
      << "ExternalIPDectection=0\n"
      << "[WebPost]\nEnabled=0\n";
  return static_cast<bool>(ini);
}

// The template's configuration without its [Metrics] section (the server
// may have written one back), then the section the scenario asks for.
bool TQuillvaneServer::WriteMetricsSettings(const std::string& ini, uint16_t port) {
  std::istringstream in(ReadWholeFile(ini));
  std::string kept, line;
  bool skipping = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '[') skipping = line.rfind("[Metrics]", 0) == 0;
    if (!skipping) kept += line + "\n";
  }
  std::ofstream out(ini, std::ios::trunc);
  out << kept << "[Metrics]\n"
      << "Enabled=" << (port != 0 ? 1 : 0) << "\n"
      << "Port=" << (port != 0 ? port : 9814) << "\n"
      << "BoundToIp=127.0.0.1\n";
  return static_cast<bool>(out);
}

bool TQuillvaneServer::PrepareTemplate(std::string& error) {
  const std::string dir = workDir_ + "/template";
  fs::create_directories(dir);
  if (!WriteIni(dir)) {
    error = "cannot write " + dir + "/server.ini";
    return false;
  }
  // The first run creates its default server on its fixed port; when that
  // port is busy the server is stored all the same, which is all we need.
  TChildProcess first;
  if (!first.Start(buildDir_ + "/quillvane-server", Args(dir), dir + "/first.out")) {
    error = "cannot start " + buildDir_ + "/quillvane-server";
    return false;
  }
  const bool ready = WaitForFileText(dir + "/server.log", "Server init finished", first, kRelayStartLimit);
  const int code = first.Stop(SIGTERM, kRelayStopLimit);
  if (!ready || code != 0) {
    error = fmt::format("first run did not finish (exit {}); see {}/server.log", code, dir);
    return false;
  }
  return true;
}

std::string TQuillvaneServer::ChannelName(const TServerLayout& layout, int index) {
  return fmt::format("{}{}", layout.Name, index);
}

bool TQuillvaneServer::ApplyLayout(const std::string& database, const TServerLayout& layout,
                                   std::string& error) const {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open(database.c_str(), &raw);
  TSqlite db(raw);
  if (opened != SQLITE_OK) {
    error = "cannot open " + database;
    return false;
  }
  if (!Exec(db.get(), fmt::format("UPDATE qv2_servers SET i_server_udpport = {}, i_server_maxusers = {}, "
                                  "b_server_active = -1",
                                  port_, layout.MaxUsers),
            error) ||
      !AddServers(db.get(), layout.Servers - 1, error)) {
    return false;
  }
  // Unmoderated registered channels without a password, far above the
  // group size, so that nothing but the relay limits the benchmark.
  for (int c = 0; c < layout.Channels; ++c) {
    const std::string sql = fmt::format(
        "INSERT INTO qv2_channels (i_server_id, i_channel_parent_id, s_channel_name, i_channel_maxusers, "
        "i_channel_order) SELECT i_server_id, -1, '{}', 32000, {} FROM qv2_servers",
        ChannelName(layout, c), c + 1);
    if (!Exec(db.get(), sql, error)) return false;
  }
  for (int a = 0; a < layout.Accounts; ++a) {
    const std::string sql = fmt::format(
        "INSERT INTO qv2_clients (i_server_id, s_client_name, s_client_password, dt_client_created) SELECT "
        "i_server_id, '{0}{1}', '{0}{1}-pw', COALESCE((SELECT MAX(dt_client_created) FROM qv2_clients), '') FROM "
        "qv2_servers",
        TServerLayout::AccountName, a);
    if (!Exec(db.get(), sql, error)) return false;
  }
  return true;
}

// Copies of the default server (its settings, its group permissions and its
// default channel), each on the next of ports_.
bool TQuillvaneServer::AddServers(sqlite3* db, int count, std::string& error) const {
  if (count <= 0) return true;
  if (!Exec(db,
            "CREATE TEMP TABLE s AS SELECT * FROM qv2_servers WHERE i_server_id = (SELECT MIN(i_server_id) FROM "
            "qv2_servers); CREATE TEMP TABLE p AS SELECT * FROM qv2_server_privileges WHERE i_server_id = (SELECT "
            "i_server_id FROM s); CREATE TEMP TABLE c AS SELECT * FROM qv2_channels WHERE i_server_id = (SELECT "
            "i_server_id FROM s); BEGIN",
            error)) {
    return false;
  }
  for (int i = 1; i <= count; ++i) {
    const std::string sql = fmt::format(
        "UPDATE s SET i_server_id = NULL, i_server_udpport = {0}, s_server_name = 'bench server {1}'; "
        "INSERT INTO qv2_servers SELECT * FROM s; "
        "UPDATE p SET i_server_id = (SELECT MAX(i_server_id) FROM qv2_servers); UPDATE c SET i_server_id = (SELECT MAX(i_server_id) FROM "
        "qv2_servers), i_channel_id = NULL; INSERT INTO qv2_server_privileges SELECT * FROM p; "
        "INSERT INTO qv2_channels SELECT * FROM c",
        ports_[static_cast<size_t>(i)], i);
    if (!Exec(db, sql, error)) return false;
  }
  return Exec(db, "COMMIT", error);
}

bool TQuillvaneServer::Start(const std::string& scenario, const TServerLayout& layout, std::string& error) {
  const std::string dir = workDir_ + "/" + scenario;
  fs::create_directories(dir);
  for (const char* file : {"server.dbs", "server.ini", "bad_names.txt"}) {
    std::error_code ignored;
    fs::copy_file(workDir_ + "/template/" + file, dir + "/" + file, fs::copy_options::overwrite_existing, ignored);
  }
  if (!WriteMetricsSettings(dir + "/server.ini", layout.MetricsPort)) {
    error = "cannot write " + dir + "/server.ini";
    return false;
  }
  ports_.clear();
  for (int i = 0; i < std::max(layout.Servers, 1); ++i) {
    // Ports free a moment ago; two calls may return the same one.
    uint16_t port = 0;
    for (int attempt = 0; attempt < 20 && (port == 0 || std::find(ports_.begin(), ports_.end(), port) != ports_.end());
         ++attempt) {
      port = FreeUdpPort();
    }
    ports_.push_back(port);
  }
  port_ = ports_.front();
  if (port_ == 0 || !ApplyLayout(dir + "/server.dbs", layout, error)) {
    if (error.empty()) error = "no free UDP port";
    return false;
  }
  if (!child_.Start(buildDir_ + "/quillvane-server", Args(dir), dir + "/server.out")) {
    error = "cannot start quillvane-server";
    return false;
  }
  const std::string log = dir + "/server.log";
  bool started = WaitForFileText(log, "Server init finished", child_, kRelayStartLimit);
  for (uint16_t port : ports_) {
    started = started &&
              WaitForFileText(log, fmt::format("Starting server with port: {}", port), child_, kRelayStartLimit);
  }
  if (!started || !child_.Running()) {
    error = "server did not start; see " + log;
    Stop();
    return false;
  }
  return true;
}

int TQuillvaneServer::Stop() { return child_.Stop(SIGTERM, kRelayStopLimit); }

// --- the baseline ----------------------------------------------------------------

TBaselineRelay::TBaselineRelay(std::string buildDir, std::string workDir)
    : buildDir_(std::move(buildDir)), workDir_(std::move(workDir)) {}

bool TBaselineRelay::Start(const std::string& scenario, std::string& error) {
  const std::string dir = workDir_ + "/" + scenario;
  fs::create_directories(dir);
  const std::string out = dir + "/baseline.out";
  if (!child_.Start(buildDir_ + "/qv-fanout-baseline", {}, out)) {
    error = "cannot start qv-fanout-baseline";
    return false;
  }
  if (!WaitForFileText(out, "port ", child_, kRelayStartLimit)) {
    error = "baseline did not start; see " + out;
    Stop();
    return false;
  }
  const std::string text = ReadWholeFile(out);
  port_ = static_cast<uint16_t>(std::stoul(text.substr(text.find("port ") + 5)));
  return true;
}

int TBaselineRelay::Stop() { return child_.Stop(SIGTERM, kRelayStopLimit); }

}  // namespace qv::bench
