#include "paired_scenarios.h"

#include "client/qv_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <fmt/format.h>
#include <sstream>
#include <thread>

namespace qv::bench {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kSettle = 1s;            // login notifications die down
constexpr auto kFloodLead = 1s;         // the flood fills what it can before the window
constexpr auto kScrapeInterval = 1s;

TStepConfig Config(bool quick) {
  TStepConfig c;
  c.SpeakersPerChannel = 1;
  c.WarmupSeconds = quick ? 0.5 : 1.0;
  c.MeasureSeconds = quick ? 1.5 : 5.0;
  c.DrainSeconds = quick ? 0.3 : 0.5;
  return c;
}

TLoadShape Shape(int clients, int channelSize) {
  TLoadShape s;
  s.Clients = clients;
  s.ChannelSize = channelSize;
  s.PayloadSize = 33;
  return s;
}

uint64_t FileSize(const std::string& path) {
  std::error_code ignored;
  const auto size = fs::file_size(path, ignored);
  return ignored ? 0 : size;
}

// GET /metrics once a second, as a monitoring system would, over plain
// HTTP/1.1 with a fresh connection each time.
class TScraper {
 public:
  explicit TScraper(uint16_t port) : port_(port), thread_([this] { Loop(); }) {}
  ~TScraper() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // One scrape on the caller's thread (once stopped).
  void ScrapeNow() { Scrape(); }
  int Scrapes() const { return scrapes_; }
  int Failures() const { return failures_; }
  // A series summed over the virtual servers, at the first and the last
  // scrape and at most. Series with a result label are named "<metric>:<result>".
  double First(const std::string& series) const { return Lookup(first_, series); }
  double Last(const std::string& series) const { return Lookup(last_, series); }
  double Max(const std::string& series) const { return Lookup(max_, series); }

 private:
  void Loop() {
    while (!stop_) {
      const auto next = std::chrono::steady_clock::now() + kScrapeInterval;
      Scrape();
      while (!stop_ && std::chrono::steady_clock::now() < next) std::this_thread::sleep_for(20ms);
    }
  }

  void Scrape() {
    ++scrapes_;
    const std::string body = Get();
    if (body.rfind("HTTP/1.1 200", 0) != 0) {
      ++failures_;
      return;
    }
    std::map<std::string, double> values;
    std::istringstream lines(body.substr(body.find("\r\n\r\n") + 4));
    std::string line;
    while (std::getline(lines, line)) {
      const size_t space = line.rfind(' ');
      if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
      std::string series = line.substr(0, line.find_first_of("{ "));
      for (const char* result : {"accepted", "refused"}) {
        if (line.find(fmt::format("result=\"{}\"", result)) != std::string::npos) series += std::string(":") + result;
      }
      values[series] += std::strtod(line.c_str() + space + 1, nullptr);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (first_.empty()) first_ = values;
    last_ = values;
    for (const auto& [series, value] : values) max_[series] = std::max(max_[series], value);
  }

  double Lookup(const std::map<std::string, double>& values, const std::string& series) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = values.find(series);
    return found == values.end() ? 0 : found->second;
  }

  std::string Get() const {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return {};
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char buffer[8192];
      for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return reply;
  }

  const uint16_t port_;
  std::atomic<bool> stop_{false};
  std::atomic<int> scrapes_{0}, failures_{0};
  mutable std::mutex mutex_;
  std::map<std::string, double> first_, last_, max_;  // guarded by mutex_
  std::thread thread_;
};

// The server's CPU for one scrape, with 500 players on: scrapes back to
// back against the same time without them (the players' pings go on).
double CpuPerScrapeMs(TScraper& scraper, pid_t pid) {
  constexpr int kScrapes = 1000;  // /proc counts CPU in 10 ms ticks
  const int64_t idleStart = NowNs();
  const double idleCpu = ProcessCpuSeconds(pid);
  std::this_thread::sleep_for(1s);
  const double idlePerSecond = (ProcessCpuSeconds(pid) - idleCpu) / (static_cast<double>(NowNs() - idleStart) / 1e9);
  const int64_t start = NowNs();
  const double cpu = ProcessCpuSeconds(pid);
  for (int i = 0; i < kScrapes; ++i) scraper.ScrapeNow();
  const double seconds = static_cast<double>(NowNs() - start) / 1e9;
  return std::max(0.0, ProcessCpuSeconds(pid) - cpu - idlePerSecond * seconds) * 1000 / kScrapes;
}

// Accounts that log in and out at a steady rate, one after the other over
// one endpoint: each a full login (its password hash checked by the server),
// then a quit. Cycles through the accounts so that none is still leaving
// when it comes again.
class TLoginChurn {
 public:
  TLoginChurn(uint16_t port, int accounts, double perSecond)
      : thread_([this, port, accounts, perSecond] { Loop(port, accounts, perSecond); }) {}
  ~TLoginChurn() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Once stopped.
  void Fill(TConditionRow& row) const {
    row.Logins = logins_;
    row.LoginFailures = failures_;
    row.LoginMeanMs = logins_ + failures_ > 0 ? totalMs_ / (logins_ + failures_) : 0;
    row.LoginMaxMs = maxMs_;
  }

 private:
  void Loop(uint16_t port, int accounts, double perSecond) {
    std::shared_ptr<TClientEndpoint> endpoint = TClientEndpoint::Create("127.0.0.1");
    const auto period = std::chrono::nanoseconds(static_cast<int64_t>(1e9 / perSecond));
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; !stop_; ++i) {
      const std::string account = fmt::format("{}{}", TServerLayout::AccountName, i % accounts);
      TClientLogin login;
      login.ServerPort = port;
      login.NickName = fmt::format("{}-{}", account, i);
      login.LoginName = account;
      login.Password = account + "-pw";
      login.TimeoutMs = 5000;
      TQVClient client(endpoint);
      const int64_t start = NowNs();
      const int result = client.Login(login);
      const double ms = static_cast<double>(NowNs() - start) / 1e6;
      totalMs_ += ms;
      maxMs_ = std::max(maxMs_, ms);
      if (result == 1) {
        ++logins_;
        client.Quit(1000);
      } else {
        ++failures_;
      }
      next += period;
      std::this_thread::sleep_until(next);
    }
  }

  std::atomic<bool> stop_{false};
  int logins_ = 0, failures_ = 0;  // the churn's thread, read once it has ended
  double totalMs_ = 0, maxMs_ = 0;
  std::thread thread_;
};

}  // namespace

TPairedRun RunFloodScenario(TQuillvaneServer& server, const TPairedOptions& options) {
  TPairedRun run;
  run.Id = kFloodScenarioId;
  run.Title = fmt::format("flood: 100 clients, 10 channels of 10, 1 speaker each, 33 B; {:.0f} flood datagrams a second",
                          options.FloodRate);
  const TLoadShape shape = Shape(100, 10);
  TServerLayout layout;
  layout.Name = "bench";
  layout.Channels = shape.Channels();
  // Room for hundreds more: the server's own bounds on logins in progress,
  // not the player limit, are what holds the flood back.
  layout.MaxUsers = static_cast<uint16_t>(shape.Clients + 300);
  layout.MetricsPort = FreeUdpPort();  // the players and logins during the flood
  if (!server.Start(run.Id, layout, run.Error)) return run;
  const std::string log = server.Directory(run.Id) + "/server.log";
  const TStepConfig config = Config(options.Quick);
  // The sink outlives the clients, and the server stops before both: it
  // says goodbye to every client.
  TReceiveSink sink(static_cast<size_t>(shape.Sockets));
  auto target = MakeQuillvaneLoad(sink);
  if (target->Connect(shape, server.Port(), [&](int c) { return TQuillvaneServer::ChannelName(layout, c); },
                      run.Error)) {
    std::this_thread::sleep_for(kSettle);
    auto measure = [&](const std::string& label, bool flooded) {
      TConditionRow row;
      row.Label = label;
      const uint64_t logBefore = FileSize(log);
      const int64_t start = NowNs();
      std::unique_ptr<TFloodLoad> flood;
      if (flooded) {
        TFloodConfig fc;
        fc.ServerPort = server.Port();
        fc.DatagramsPerSecond = options.FloodRate;
        for (const TSessionIds& s : target->Sessions()) fc.Victims.push_back({s.PlayerId, s.ConnectionId});
        flood = std::make_unique<TFloodLoad>(fc);
        std::string error;
        if (!flood->Start(error)) {
          run.Error = error;
          return;
        }
      }
      TScraper scraper(layout.MetricsPort);
      if (flooded) std::this_thread::sleep_for(kFloodLead);
      row.Step = RunStep(*target, sink, shape, config, server.Pid(), server.Port());
      if (flood) {
        // A newcomer logs in while the flood goes on.
        TQVClient newcomer;
        TClientLogin login;
        login.ServerPort = server.Port();
        login.NickName = "newcomer";
        login.UniqueNick = true;
        login.TimeoutMs = 10000;
        const int64_t loginStart = NowNs();
        row.NewcomerLogin = newcomer.Login(login);
        row.NewcomerSeconds = static_cast<double>(NowNs() - loginStart) / 1e9;
        if (row.NewcomerLogin == 1) newcomer.Quit(1000);
        flood->Stop();
        std::this_thread::sleep_for(kScrapeInterval);  // the logins the flood's last second brought
        row.Flood = flood->Totals();
      }
      row.LogBytesPerSecond = static_cast<double>(FileSize(log) - logBefore) / (static_cast<double>(NowNs() - start) / 1e9);
      row.ServerCores = row.Step.RelayCpuSeconds / config.MeasureSeconds;
      scraper.Stop();
      row.Scrapes = scraper.Scrapes();
      row.ScrapeFailures = scraper.Failures();
      row.MostPlayers = scraper.Max("quillvane_players");
      for (auto [counter, series] : {std::pair{&row.LoginsAccepted, "quillvane_logins_total:accepted"},
                                     {&row.LoginsRefused, "quillvane_logins_total:refused"}}) {
        *counter = scraper.Last(series) - scraper.First(series);
      }
      std::printf("  %-16s relayed %6.0f/s, p99 %6.2f ms, loss %5.2f%%, server %3.0f%% of a core\n", label.c_str(),
                  row.Step.RelayedPps, row.Step.P99Ms, row.Step.LossPercent, 100 * row.ServerCores);
      std::fflush(stdout);
      run.Rows.push_back(std::move(row));
    };
    measure("no flood", false);
    measure("flood", true);
    measure("after the flood", false);
  }
  if (!server.Running()) run.Error = "the server ended during the run";
  const int code = server.Stop();
  run.Ok = run.Error.empty() && run.Rows.size() == 3;
  if (run.Ok && code != 0) std::printf("  warning: quillvane-server exited with %d\n", code);
  return run;
}

TPairedRun RunLoginsScenario(TQuillvaneServer& server, const TPairedOptions& options) {
  constexpr int kAccounts = 20;
  TPairedRun run;
  run.Id = kLoginsScenarioId;
  run.Title = fmt::format(
      "logins: 100 clients, 10 channels of 10, 1 speaker each, 33 B; without and with {:.0f} account "
      "logins and logouts a second (hashed passwords)",
      options.LoginRate);
  const TLoadShape shape = Shape(100, 10);
  TServerLayout layout;
  layout.Name = "bench";
  layout.Channels = shape.Channels();
  layout.MaxUsers = static_cast<uint16_t>(shape.Clients + 10);
  layout.Accounts = kAccounts;
  if (!server.Start(run.Id, layout, run.Error)) return run;
  const TStepConfig config = Config(options.Quick);
  const int rounds = options.Quick ? 1 : 3;
  TReceiveSink sink(static_cast<size_t>(shape.Sockets));
  auto target = MakeQuillvaneLoad(sink);
  if (target->Connect(
          shape, server.Port(), [&](int c) { return TQuillvaneServer::ChannelName(layout, c); }, run.Error)) {
    std::this_thread::sleep_for(kSettle);
    for (int round = 1; round <= rounds; ++round) {
      for (const bool logins : {false, true}) {
        TConditionRow row;
        row.Label = fmt::format("{} ({})", logins ? "logins" : "no logins", round);
        std::unique_ptr<TLoginChurn> churn;
        if (logins) {
          churn = std::make_unique<TLoginChurn>(server.Port(), kAccounts, options.LoginRate);
          std::this_thread::sleep_for(kSettle);  // the churn runs at its rate before the window
        }
        row.Step = RunStep(*target, sink, shape, config, server.Pid(), server.Port());
        if (churn) {
          churn->Stop();
          churn->Fill(row);
        }
        row.ServerCores = row.Step.RelayCpuSeconds / config.MeasureSeconds;
        std::printf(
            "  %-16s relayed %6.0f/s, p99 %6.2f ms, loss %5.2f%%, server %3.0f%% of a core, %d logins (%d "
            "failed), login %.0f ms mean, %.0f ms max\n",
            row.Label.c_str(), row.Step.RelayedPps, row.Step.P99Ms, row.Step.LossPercent, 100 * row.ServerCores,
            row.Logins, row.LoginFailures, row.LoginMeanMs, row.LoginMaxMs);
        std::fflush(stdout);
        run.Rows.push_back(std::move(row));
      }
    }
  }
  if (!server.Running()) run.Error = "the server ended during the run";
  server.Stop();
  for (const auto& r : run.Rows) {
    if (r.Label.rfind("logins", 0) == 0 && (r.Logins == 0 || r.LoginFailures > 0)) {
      run.Error = "not every account login was accepted";
    }
  }
  run.Ok = run.Error.empty() && static_cast<int>(run.Rows.size()) == 2 * rounds;
  return run;
}

TPairedRun RunMetricsScenario(TQuillvaneServer& server, const TPairedOptions& options) {
  TPairedRun run;
  run.Id = kMetricsScenarioId;
  run.Title = "metrics: 500 clients, 10 channels of 50, 1 speaker each, 33 B; endpoint off and on (scraped every second)";
  const TLoadShape shape = Shape(500, 50);
  const TStepConfig config = Config(options.Quick);
  const int rounds = options.Quick ? 1 : 3;
  for (int round = 1; round <= rounds && run.Error.empty(); ++round) {
    for (const bool on : {false, true}) {
      TServerLayout layout;
      layout.Name = "bench";
      layout.Channels = shape.Channels();
      layout.MaxUsers = static_cast<uint16_t>(shape.Clients + 10);
      layout.MetricsPort = on ? FreeUdpPort() : 0;  // a port free for UDP is as good as any for TCP here
      const std::string id = fmt::format("{}-{}-{}", run.Id, on ? "on" : "off", round);
      if (!server.Start(id, layout, run.Error)) return run;
      TConditionRow row;
      row.Label = fmt::format("metrics {} ({})", on ? "on" : "off", round);
      const std::string log = server.Directory(id) + "/server.log";
      const uint64_t logBefore = FileSize(log);
      const int64_t start = NowNs();
      {
        TReceiveSink sink(static_cast<size_t>(shape.Sockets));
        auto target = MakeQuillvaneLoad(sink);
        if (target->Connect(shape, server.Port(), [&](int c) { return TQuillvaneServer::ChannelName(layout, c); },
                            run.Error)) {
          std::unique_ptr<TScraper> scraper;
          if (on) scraper = std::make_unique<TScraper>(layout.MetricsPort);
          std::this_thread::sleep_for(kSettle);
          row.Step = RunStep(*target, sink, shape, config, server.Pid(), server.Port());
          row.ServerCores = row.Step.RelayCpuSeconds / config.MeasureSeconds;
          row.LogBytesPerSecond =
              static_cast<double>(FileSize(log) - logBefore) / (static_cast<double>(NowNs() - start) / 1e9);
          if (scraper) {
            scraper->Stop();
            row.Scrapes = scraper->Scrapes();
            row.ScrapeFailures = scraper->Failures();
            row.ScrapedRelayed = scraper->Last("quillvane_voice_relayed_datagrams_total");
            row.CpuPerScrapeMs = CpuPerScrapeMs(*scraper, server.Pid());
          }
          std::printf("  %-16s relayed %6.0f/s, p99 %6.2f ms, loss %5.2f%%, %.4f cpu s/1k, %d scrapes (%d failed)\n",
                      row.Label.c_str(), row.Step.RelayedPps, row.Step.P99Ms, row.Step.LossPercent,
                      row.Step.RelayCpuPer1k, row.Scrapes, row.ScrapeFailures);
          std::fflush(stdout);
          run.Rows.push_back(row);
        }
        if (!server.Running()) run.Error = "the server ended during the run";
        server.Stop();  // before the clients go: it says goodbye to each
      }
      if (on && row.Scrapes > 0 && (row.ScrapeFailures > 0 || row.ScrapedRelayed <= 0)) {
        run.Error = "the metrics endpoint did not answer every scrape with moving counters";
      }
      if (!run.Error.empty()) return run;
    }
  }
  run.Ok = run.Error.empty();
  return run;
}

// --- output -----------------------------------------------------------------------

namespace {

double MeanCpuPer1k(const TPairedRun& run, const std::string& prefix) {
  double sum = 0;
  int n = 0;
  for (const auto& r : run.Rows) {
    if (r.Label.rfind(prefix, 0) == 0) {
      sum += r.Step.RelayCpuPer1k;
      ++n;
    }
  }
  return n ? sum / n : 0;
}

void PrintFlood(const TFloodTotals& f) {
  std::printf("  flood: %llu datagrams (%.0f/s, %.1f MB) from %d sockets; %.1f MB sent back, %.2f times; largest share "
              "of one socket %.2f; %llu dropped at the flood's sockets\n",
              static_cast<unsigned long long>(f.Sent()), static_cast<double>(f.Sent()) / f.Seconds,
              static_cast<double>(f.SentBytes()) / 1e6, [&] {
                int n = 0;
                for (const auto& k : f.Kinds) n += k.Sockets;
                return n;
              }(),
              static_cast<double>(f.ReceivedBytes()) / 1e6,
              f.SentBytes() ? static_cast<double>(f.ReceivedBytes()) / static_cast<double>(f.SentBytes()) : 0.0,
              f.MaxSocketRatio(), static_cast<unsigned long long>(f.SocketDrops));
  std::printf("    %-16s %7s %9s %10s %9s %10s %6s %10s\n", "kind", "sockets", "sent", "bytes", "answers", "bytes",
              "ratio", "max/socket");
  for (int k = 0; k < fkKindCount; ++k) {
    const TFloodKindTotals& t = f.Kinds[static_cast<size_t>(k)];
    std::printf("    %-16s %7d %9llu %10llu %9llu %10llu %6.2f %10.2f\n", FloodKindName(static_cast<TFloodKind>(k)),
                t.Sockets, static_cast<unsigned long long>(t.Sent), static_cast<unsigned long long>(t.SentBytes),
                static_cast<unsigned long long>(t.Received), static_cast<unsigned long long>(t.ReceivedBytes),
                t.SentBytes ? static_cast<double>(t.ReceivedBytes) / static_cast<double>(t.SentBytes) : 0.0,
                t.MaxSocketRatio);
  }
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

void PrintPairedRun(const TPairedRun& run) {
  std::printf("%s\n", run.Title.c_str());
  if (run.Rows.empty()) {
    std::printf("  NOT RUN: %s\n", run.Error.c_str());
    return;
  }
  std::printf("  %-18s %9s %9s %7s %7s %6s %7s %8s %8s %6s\n", "condition", "offered/s", "relayed/s", "p50 ms",
              "p99 ms", "loss%", "server", "cpu s/1k", "log B/s", "gen");
  for (const auto& r : run.Rows) {
    std::printf("  %-18s %9.0f %9.0f %7.2f %7.2f %6.2f %6.0f%% %8.4f %8.0f %5.0f%%%s\n", r.Label.c_str(),
                r.Step.OfferedPps, r.Step.RelayedPps, r.Step.P50Ms, r.Step.P99Ms, r.Step.LossPercent,
                100 * r.ServerCores, r.Step.RelayCpuPer1k, r.LogBytesPerSecond, 100 * r.Step.GeneratorCores,
                r.Step.GeneratorSaturated ? " SATURATED" : "");
  }
  for (const auto& r : run.Rows) {
    if (!r.Flood) continue;
    PrintFlood(*r.Flood);
    std::printf("  a newcomer's login during the flood: %s after %.2f s\n",
                r.NewcomerLogin == 1 ? "accepted" : fmt::format("result {}", r.NewcomerLogin).c_str(), r.NewcomerSeconds);
    std::printf("  during the flood: at most %.0f players logged in or logging in (the limit is 400); logins %.0f "
                "accepted, %.0f refused\n", r.MostPlayers, r.LoginsAccepted, r.LoginsRefused);
  }
  if (run.Id == kLoginsScenarioId) {
    for (const auto& r : run.Rows) {
      if (r.Logins + r.LoginFailures == 0) continue;
      std::printf("  %-18s %d account logins and logouts (%d failed), login %.0f ms mean, %.0f ms max\n",
                  r.Label.c_str(), r.Logins, r.LoginFailures, r.LoginMeanMs, r.LoginMaxMs);
    }
  }
  if (run.Id == kMetricsScenarioId) {
    const double off = MeanCpuPer1k(run, "metrics off"), on = MeanCpuPer1k(run, "metrics on");
    double scrapeMs = 0;
    for (const auto& r : run.Rows) scrapeMs += r.CpuPerScrapeMs / static_cast<double>(run.Rows.size() / 2);
    std::printf("  cpu s/1k: off %.4f, on %.4f (mean of %zu rounds), on/off %s; server CPU per scrape %.2f ms\n", off,
                on, run.Rows.size() / 2, off > 0 ? fmt::format("{:.3f}", on / off).c_str() : "-", scrapeMs);
  }
  if (!run.Error.empty()) std::printf("  could not finish: %s\n", run.Error.c_str());
}

std::string PairedRunJson(const TPairedRun& run) {
  std::string rows;
  for (const auto& r : run.Rows) {
    std::string flood = "null";
    if (r.Flood) {
      std::string kinds;
      for (int k = 0; k < fkKindCount; ++k) {
        const TFloodKindTotals& t = r.Flood->Kinds[static_cast<size_t>(k)];
        kinds += fmt::format("{}{{\"kind\": \"{}\", \"sockets\": {}, \"sent\": {}, \"sent_bytes\": {}, \"answers\": {}, "
                             "\"answer_bytes\": {}, \"max_socket_ratio\": {:.3f}}}",
                             kinds.empty() ? "" : ", ", FloodKindName(static_cast<TFloodKind>(k)), t.Sockets, t.Sent,
                             t.SentBytes, t.Received, t.ReceivedBytes, t.MaxSocketRatio);
      }
      flood = fmt::format("{{\"seconds\": {:.2f}, \"socket_drops\": {}, \"newcomer_login\": {}, "
                          "\"newcomer_login_seconds\": {:.3f}, \"kinds\": [{}]}}",
                          r.Flood->Seconds, r.Flood->SocketDrops, r.NewcomerLogin, r.NewcomerSeconds, kinds);
    }
    rows += fmt::format(
        "{}{{\"condition\": {}, \"offered_pps\": {:.1f}, \"relayed_pps\": {:.1f}, \"latency_ms\": {{\"p50\": {:.3f}, "
        "\"p99\": {:.3f}, \"max\": {:.3f}}}, \"loss_percent\": {:.3f}, \"server_cores\": {:.3f}, "
        "\"relay_cpu_seconds_per_1000\": {:.5f}, \"log_bytes_per_second\": {:.0f}, \"generator_cores\": {:.3f}, "
        "\"other_machine_cores\": {:.2f}, \"generator_saturated\": {}, \"scrapes\": {}, \"scrape_failures\": {}, "
        "\"most_players\": {:.0f}, \"logins_accepted\": {:.0f}, \"logins_refused\": {:.0f}, "
        "\"cpu_ms_per_scrape\": {:.3f}, \"logins\": {}, \"login_failures\": {}, \"login_mean_ms\": {:.1f}, "
        "\"login_max_ms\": {:.1f}, \"flood\": {}}}",
        rows.empty() ? "" : ",\n      ", JsonText(r.Label), r.Step.OfferedPps, r.Step.RelayedPps, r.Step.P50Ms,
        r.Step.P99Ms, r.Step.MaxMs, r.Step.LossPercent, r.ServerCores, r.Step.RelayCpuPer1k, r.LogBytesPerSecond,
        r.Step.GeneratorCores, r.Step.OtherMachineCores, r.Step.GeneratorSaturated, r.Scrapes, r.ScrapeFailures,
        r.MostPlayers, r.LoginsAccepted, r.LoginsRefused, r.CpuPerScrapeMs, r.Logins, r.LoginFailures, r.LoginMeanMs,
        r.LoginMaxMs, flood);
  }
  return fmt::format("{{\"id\": {}, \"title\": {}, \"ok\": {}, \"error\": {},\n     \"rows\": [{}]}}",
                     JsonText(run.Id), JsonText(run.Title), run.Ok, JsonText(run.Error), rows);
}

}  // namespace qv::bench
