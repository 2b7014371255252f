#include "metrics/metrics_endpoint.h"

#include <httplib.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <fstream>

#include "base/http_server.h"
#include "base/log.h"
#include "model/server_object.h"

namespace qv {

namespace {

constexpr const char* kCategory = "METRICS";
const auto g_processStart = std::chrono::steady_clock::now();

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
    {"quillvane_logins_total", "Login attempts by verdict.", &TServerCounters::LoginsAccepted,
     ",result=\"accepted\""},
    {"quillvane_logins_total", "", &TServerCounters::LoginsRefused, ",result=\"refused\""},
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

uint64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  if (!(statm >> size >> resident)) return 0;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

struct TServerSample {
  std::string labels;
  uint64_t players = 0;
  uint64_t channels = 0;
  const TServerCounters* counters = nullptr;
};

}  // namespace

std::string MetricsText(TServerRegistry& registry, const TSessionCounts& sessions) {
  std::vector<std::pair<std::string, std::shared_ptr<TServerObject>>> servers = registry.ServerList();
  std::vector<TServerSample> samples;
  for (const auto& [id, server] : servers) {
    TServerSample sample;
    sample.labels = "server=\"" + id + "\",port=\"" + std::to_string(server->Settings().UdpPort) + "\"";
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
      {"quillvane_resident_memory_bytes", "Resident memory of the process.", ResidentBytes()},
  };
  for (const auto& row : process) {
    Family(out, row.name, row.help, "gauge");
    Sample(out, row.name, "", row.value);
  }
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

TMetricsEndpoint::TMetricsEndpoint(TServerRegistry& registry, TSessionCounter sessions)
    : registry_(registry), sessions_(std::move(sessions)) {}

TMetricsEndpoint::~TMetricsEndpoint() { Stop(); }

bool TMetricsEndpoint::Start(int port, const std::string& bindIp) {
  try {
    // A thread budget of its own, and slow or huge request heads dropped,
    // so that clients that dribble their requests cannot starve the scrape.
    THttpLimits limits;
    limits.MaxThreads = 64;
    limits.RequestTimeout = std::chrono::seconds(5);
    http_ = std::make_unique<THttpServer>(limits);
    http_->Get("/metrics", [this](const httplib::Request&, httplib::Response& reply) {
      const TSessionCounts counts = sessions_ ? sessions_() : TSessionCounts{};
      reply.set_content(MetricsText(registry_, counts), "text/plain; version=0.0.4; charset=utf-8");
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
