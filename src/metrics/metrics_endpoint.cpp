#include "metrics/metrics_endpoint.h"

#include <httplib.h>
#include <sodium.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "base/http_server.h"
#include "base/failure_limiter.h"
#include "base/log.h"
#include "base/password_hash.h"
#include "base/login_audit.h"
#include "base/version.h"
#include "model/process_settings.h"
#include "model/server_node.h"
#include "model/server_object.h"

namespace qv {

namespace {

constexpr const char* kCategory = "METRICS";
const auto g_processStart = std::chrono::steady_clock::now();
const auto g_processStartTime = std::chrono::system_clock::now();

struct TCounterRow {
  const char* name;
  const char* help;
  TServerCounters::TCounter TServerCounters::*counter;
  const char* extraLabel;  // "" or a label added to the server's
};

constexpr std::array<TCounterRow, 12> kCounterRows = {{
    {"quillvane_voice_received_datagrams_total", "Voice datagrams received from players.",
     &TServerCounters::VoiceReceived, ""},
    {"quillvane_voice_received_bytes_total", "Bytes of voice datagrams received from players.",
     &TServerCounters::VoiceBytesReceived, ""},
    {"quillvane_voice_relayed_datagrams_total", "Voice datagrams relayed to listeners.",
     &TServerCounters::VoiceRelayed, ""},
    {"quillvane_voice_relayed_bytes_total", "Bytes of voice datagrams relayed to listeners.",
     &TServerCounters::VoiceBytesRelayed, ""},
    {"quillvane_voice_dropped_datagrams_total", "Voice datagrams dropped by a bandwidth limit.",
     &TServerCounters::VoiceDropped, ""},
    {"quillvane_voice_shed_datagrams_total", "Voice datagrams dropped for age before sending.",
     &TServerCounters::VoiceShed, ""},
    {"quillvane_commands_received_total", "Reliable commands received from players.",
     &TServerCounters::CommandsReceived, ""},
    {"quillvane_resends_total", "Reliable commands sent again.", &TServerCounters::Resends, ""},
    {"quillvane_server_logins_total", "Voice logins of the server by verdict.", &TServerCounters::LoginsAccepted,
     ",result=\"accepted\""},
    {"quillvane_server_logins_total", "", &TServerCounters::LoginsRefused, ",result=\"refused\""},
    {"quillvane_send_failures_total", "Datagrams the socket refused to send.", &TServerCounters::SendFailures,
     ""},
    {"quillvane_ignored_datagrams_total",
     "Datagrams dropped unread because their address sent too many that named no connection.",
     &TServerCounters::DatagramsIgnored, ""},
}};

void Family(std::string& out, const char* name, const char* help, const char* type) {
  if (*help == '\0') return;  // a second series of the family before
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void Sample(std::string& out, const std::string& name, const std::string& labels, uint64_t value) {
  out += name;
  if (!labels.empty()) out += "{" + labels + "}";
  out += ' ';
  out += std::to_string(value);
  out += '\n';
}

void Sample(std::string& out, const std::string& name, double value) {
  out += name;
  out += ' ';
  out += fmt::format("{}", value);
  out += '\n';
}

std::string ServerLabels(const std::string& id, uint32_t port) {
  return "server=\"" + id + "\",port=\"" + std::to_string(port) + "\"";
}

// --- the process, as /proc shows it ---

struct TProcessFigures {
  double CpuSeconds = 0;
  uint64_t ResidentBytes = 0;
  uint64_t VirtualBytes = 0;
  uint64_t OpenFds = 0;
  uint64_t MaxFds = 0;
};

TProcessFigures ProcessFigures() {
  TProcessFigures f;
  const auto page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  if (statm >> size >> resident) {
    f.VirtualBytes = size * page;
    f.ResidentBytes = resident * page;
  }
  // utime and stime are fields 14 and 15; the name before them (field 2,
  // in parentheses) may hold blanks, so counting starts after its ')'.
  std::ifstream statFile("/proc/self/stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  const size_t nameEnd = stat.rfind(')');
  if (nameEnd != std::string::npos) {
    std::istringstream fields(stat.substr(nameEnd + 1));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int n = 3; n <= 13; ++n) fields >> field;
    if (fields >> utime >> stime) f.CpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec))
    ++f.OpenFds;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) f.MaxFds = limit.rlim_cur;
  return f;
}

struct TServerSample {
  std::string labels;
  uint64_t players = 0;
  uint64_t channels = 0;
  const TServerCounters* counters = nullptr;
};

// A stored server of this node, running or not.
struct TStoredSample {
  std::string labels;
  bool up = false;
  uint64_t maxPlayers = 0;
};

// The stored servers of this node by id; a stopped one's player limit from
// its row. Running servers without a row (none outside tests) count too.
std::map<int32_t, TStoredSample> StoredServers(
    const TScriptStorage& storage, const std::vector<std::pair<std::string, std::shared_ptr<TServerObject>>>& running) {
  std::map<int32_t, TStoredSample> stored;
  if (storage.Valid()) {
    try {
      std::vector<std::pair<int32_t, uint32_t>> rows;
      {
        TStorageLock lock(*storage);
        if (storage.Load("read_servers.sql")) {
          std::unique_ptr<TStorageContainer> list = storage->OpenSQL();
          for (size_t i = 0; list && i < list->Count(); ++i) {
            const TStorageRow& row = list->RowAt(i);
            if (RowOnThisNode(row))
              rows.emplace_back(row.AsInteger("i_server_id"), static_cast<uint32_t>(row.AsInteger("i_server_udpport")));
          }
        }
      }
      for (const auto& [id, port] : rows) stored[id].labels = ServerLabels(std::to_string(id), port);
      for (auto& [id, sample] : stored) {
        TStorageLock lock(*storage);
        if (!storage.Load("read_server.sql")) continue;
        storage->SetParamInteger(":iServerID", id);
        std::unique_ptr<TStorageContainer> row = storage->OpenSQL();
        if (row) sample.maxPlayers = static_cast<uint64_t>(row->Row().AsInteger("i_server_maxusers"));
      }
    } catch (const std::exception& e) {
      LogMsg(lmtError, lmdAll, "Metrics Exception: " + ExceptionText(e), kCategory);
    }
  }
  for (const auto& [id, server] : running) {
    const TServerSettings settings = server->Settings();
    TStoredSample& sample = stored[server->ServerId];
    sample.labels = ServerLabels(id, settings.UdpPort);
    sample.up = true;
    sample.maxPlayers = settings.MaxUsers;
  }
  return stored;
}

}  // namespace

std::string MetricsText(const TScriptStorage& storage, TServerRegistry& registry, const TSessionCounts& sessions) {
  std::vector<std::pair<std::string, std::shared_ptr<TServerObject>>> servers = registry.ServerList();
  std::vector<TServerSample> samples;
  for (const auto& [id, server] : servers) {
    TServerSample sample;
    sample.labels = ServerLabels(id, server->Settings().UdpPort);
    if (server->Clients && server->Channels) {
      std::lock_guard<TClients> players(*server->Clients);
      std::lock_guard<TChannels> channels(*server->Channels);
      sample.players = static_cast<uint64_t>(server->Clients->Count());
      sample.channels = static_cast<uint64_t>(server->Channels->Count());
    }
    sample.counters = &server->Counters;
    samples.push_back(std::move(sample));
  }

  std::string out;
  Family(out, "quillvane_build_info", "The server's version; always 1.", "gauge");
  Sample(out, "quillvane_build_info", "version=\"" + VersionNumbers() + "\"", 1);
  const TProcessFigures figures = ProcessFigures();
  Family(out, "process_cpu_seconds_total", "User and system CPU time spent in seconds.", "counter");
  Sample(out, "process_cpu_seconds_total", figures.CpuSeconds);
  Family(out, "process_start_time_seconds", "Start time of the process since unix epoch in seconds.", "gauge");
  Sample(out, "process_start_time_seconds",
         std::chrono::duration<double>(g_processStartTime.time_since_epoch()).count());
  const struct {
    const char* name;
    const char* help;
    uint64_t value;
  } standard[] = {
      {"process_resident_memory_bytes", "Resident memory size in bytes.", figures.ResidentBytes},
      {"process_virtual_memory_bytes", "Virtual memory size in bytes.", figures.VirtualBytes},
      {"process_open_fds", "Number of open file descriptors.", figures.OpenFds},
      {"process_max_fds", "Maximum number of open file descriptors.", figures.MaxFds},
  };
  for (const auto& row : standard) {
    Family(out, row.name, row.help, "gauge");
    Sample(out, row.name, "", row.value);
  }
  const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - g_processStart);
  const struct {
    const char* name;
    const char* help;
    uint64_t value;
  } process[] = {
      {"quillvane_uptime_seconds", "Seconds since the process started.", static_cast<uint64_t>(uptime.count())},
      {"quillvane_servers_running", "Virtual servers running.", samples.size()},
      {"quillvane_query_sessions", "Open connections of the query interface.", sessions.Query},
      {"quillvane_web_sessions", "Sessions of the web interface.", sessions.Web},
      {"quillvane_resident_memory_bytes", "Resident memory of the process (deprecated: process_resident_memory_bytes).",
       figures.ResidentBytes},
  };
  for (const auto& row : process) {
    Family(out, row.name, row.help, "gauge");
    Sample(out, row.name, "", row.value);
  }
  Family(out, "quillvane_logins_total", "Logins by interface and outcome (accepted or the reason of the refusal).",
         "counter");
  for (int i = 0; i < kLoginInterfaces; ++i) {
    const auto interface = static_cast<TLoginInterface>(i);
    for (int o = 0; o < kLoginOutcomes; ++o) {
      const auto outcome = static_cast<TLoginOutcome>(o);
      Sample(out, "quillvane_logins_total",
             fmt::format("interface=\"{}\",reason=\"{}\"", LoginInterfaceName(interface), LoginOutcomeLabel(outcome)),
             LoginCount(interface, outcome));
    }
  }
  Family(out, "quillvane_lockouts_total", "Addresses locked out for guessing passwords, by interface.", "counter");
  for (int i = 0; i < kLoginInterfaces; ++i) {
    const auto interface = static_cast<TLoginInterface>(i);
    Sample(out, "quillvane_lockouts_total", fmt::format("interface=\"{}\"", LoginInterfaceName(interface)),
           LockOutCount(interface));
  }
  const std::map<int32_t, TStoredSample> stored = StoredServers(storage, servers);
  Family(out, "quillvane_server_up", "Whether the stored server of this node runs (1) or not (0).", "gauge");
  for (const auto& [id, s] : stored) Sample(out, "quillvane_server_up", s.labels, s.up ? 1 : 0);
  Family(out, "quillvane_max_players", "The player limit of the stored server.", "gauge");
  for (const auto& [id, s] : stored) Sample(out, "quillvane_max_players", s.labels, s.maxPlayers);
  Family(out, "quillvane_players", "Players logged in.", "gauge");
  for (const TServerSample& s : samples) Sample(out, "quillvane_players", s.labels, s.players);
  Family(out, "quillvane_channels", "Channels.", "gauge");
  for (const TServerSample& s : samples) Sample(out, "quillvane_channels", s.labels, s.channels);
  for (const TCounterRow& row : kCounterRows) {
    Family(out, row.name, row.help, "counter");
    for (const TServerSample& s : samples)
      Sample(out, row.name, s.labels + row.extraLabel, (s.counters->*row.counter).load(std::memory_order_relaxed));
  }
  return out;
}

namespace {

std::string Base64(const std::string& text) {
  std::string out(sodium_base64_encoded_len(text.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.resize(std::strlen(out.c_str()));
  return out;
}

}  // namespace

TMetricsEndpoint::TMetricsEndpoint(TScriptStorage storage, TServerRegistry& registry, TSessionCounter sessions)
    : storage_(std::move(storage)), registry_(registry), sessions_(std::move(sessions)) {}

TMetricsEndpoint::~TMetricsEndpoint() { Stop(); }

bool TMetricsEndpoint::Start(int port, const std::string& bindIp, std::shared_ptr<TTlsContext> tls,
                             const std::string& user, const std::string& password) {
  try {
    // A thread budget of its own, and slow or huge request heads dropped,
    // so that clients that dribble their requests cannot starve the scrape.
    THttpLimits limits;
    limits.MaxThreads = 64;
    limits.RequestTimeout = std::chrono::seconds(5);
    http_ = std::make_unique<THttpServer>(limits);
    if (tls) http_->SetTls(std::move(tls));
    if (!user.empty()) {
      const std::string expected = "Basic " + Base64(user + ":" + password);
      http_->set_pre_routing_handler([this, expected](const httplib::Request& http, httplib::Response& reply) {
        // Guessing the password: an address with too many wrong ones is
        // refused for a while without its guesses being compared. A request
        // without credentials (a browser's first try) is no guess.
        const std::string& address = http.remote_addr;
        const TFailureLimits limits = GetSettings().LoginFailureLimits;
        if (authFailures_.Refused(address, limits)) {
          reply.status = 429;
          reply.set_header("Retry-After", std::to_string(limits.LockSeconds));
          return httplib::Server::HandlerResponse::Handled;
        }
        const std::string given = http.get_header_value("Authorization");
        if (SameSecret(given, expected)) return httplib::Server::HandlerResponse::Unhandled;
        if (!given.empty() && authFailures_.CountFailure(address, limits))
          LogRemote(lmtError, lmdImportant, LockedOutLine(address, limits), kCategory);
        reply.status = 401;
        reply.set_header("WWW-Authenticate", "Basic realm=\"quillvane metrics\"");
        return httplib::Server::HandlerResponse::Handled;
      });
    }
    http_->Get("/metrics", [this](const httplib::Request&, httplib::Response& reply) {
      const TSessionCounts counts = sessions_ ? sessions_() : TSessionCounts{};
      reply.set_content(MetricsText(storage_, registry_, counts), "text/plain; version=0.0.4; charset=utf-8");
    });
    if (!http_->bind_to_port(bindIp, port))
      throw std::runtime_error("unable to bind " + bindIp + ":" + std::to_string(port));
    listener_ = std::thread([this] { http_->listen_after_bind(); });
    for (int waited = 0; !http_->is_running(); ++waited) {
      if (waited >= 5000) throw std::runtime_error("the listener did not start");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    LogFmt(lmtAll, lmdInfo, "Metrics endpoint listening on %1:%2", kCategory, bindIp, port);
    return true;
  } catch (const std::exception& e) {
    LogMsg(lmtError, lmdAll, "Metrics startup failed with port " + std::to_string(port) + ", Exception:" + e.what(),
           kCategory);
    Stop();
    return false;
  }
}

void TMetricsEndpoint::Stop() {
  if (http_) http_->stop();
  if (listener_.joinable()) listener_.join();
  http_.reset();
}

}  // namespace qv
