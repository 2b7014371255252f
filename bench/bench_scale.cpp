#include "bench_scale.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "bench_load.h"
#include "bench_stats.h"
#include "client/qv_client.h"
#include "murmur_load.h"
#include "murmur_server.h"
#include "protocol/command_types.h"
#include "protocol/packets.h"

namespace qv::bench {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kLoginTimeoutMs = 5000;
constexpr int kLoginAttempts = 3;
constexpr int kLoginWorkers = 8;
constexpr uint32_t kMaxPlayerId = 65536;
constexpr size_t kSinkSlots = 8;
// Targets of the scale scenarios.
constexpr double kIdleClientsCoreShare = 0.10;
constexpr double kFarmThreadShare = 0.70;
constexpr double kIdleProcessRssMb = 20.0;
constexpr const char* kMurmurIdleId = "murmur-idle-1000";

// --- the load: clients of one or more virtual servers ---------------------------

// Clients over endpoints of their own server (a client endpoint tells its
// connections apart by player id only, and every virtual server counts its
// player ids from 1). The channels of the shape are spread evenly over the
// servers: channel c lives on server c / channelsPerServer under the name
// channelName(c % channelsPerServer). Each server's clients share
// endpointsPerServer endpoints. The endpoints' taps time relayed voice (as the
// relay scenarios do) and count the pongs that answer the clients' pings.
class TScaleLoad : public TLoadTarget {
 public:
  TScaleLoad(TReceiveSink& sink, std::vector<uint16_t> serverPorts, int endpointsPerServer)
      : sink_(sink), ports_(std::move(serverPorts)), perServer_(std::max(1, endpointsPerServer)) {}

  ~TScaleLoad() override {
    clients_.clear();  // before the endpoints they share
    endpoints_.clear();
  }

  bool Connect(const TLoadShape& shape, uint16_t, const std::function<std::string(int)>& channelName,
               std::string& error) override {
    const int servers = static_cast<int>(ports_.size());
    const int channelsPerServer = std::max(1, shape.Channels() / servers);
    for (size_t e = 0; e < ports_.size() * static_cast<size_t>(perServer_); ++e) {
      auto slot = std::make_unique<TEndpointSlot>();
      slot->Endpoint = MakeEndpoint(*slot, e % kSinkSlots);
      endpoints_.push_back(std::move(slot));
    }
    std::vector<int> endpointOf(static_cast<size_t>(shape.Clients));
    std::vector<int> served(static_cast<size_t>(servers), 0);
    for (int i = 0; i < shape.Clients; ++i) {
      const int channel = shape.ChannelOf(i);
      const int server = std::min(channel / channelsPerServer, servers - 1);
      const int e = server * perServer_ + served[static_cast<size_t>(server)]++ % perServer_;
      endpointOf[static_cast<size_t>(i)] = e;
      clients_.push_back(std::make_unique<TQVClient>(endpoints_[static_cast<size_t>(e)]->Endpoint));
      clients_.back()->SetEventHandler([](const TClientEvent&) {});  // nothing queues up
      logins_.push_back(Request(i, ports_[static_cast<size_t>(server)], channelName(channel % channelsPerServer)));
    }
    // Logins over one endpoint take turns; a few workers take the endpoints
    // side by side.
    const int endpoints = static_cast<int>(endpoints_.size());
    const int workers = std::min(endpoints, kLoginWorkers);
    error = RunSideBySide(workers, [&](int w) -> std::string {
      for (int e = w; e < endpoints; e += workers) {
        for (int i = 0; i < shape.Clients; ++i) {
          if (endpointOf[static_cast<size_t>(i)] != e) continue;
          const int result = LoginWithRetry(i, *endpoints_[static_cast<size_t>(e)]);
          if (result != 1) return fmt::format("login of client {} failed with {}", i, result);
        }
      }
      return "";
    });
    return error.empty();
  }

  bool SendVoice(int client, const std::vector<uint8_t>& payload) override {
    return clients_[static_cast<size_t>(client)]->SendVoice(0, 0, payload);
  }

  std::vector<uint16_t> LocalPorts() const override {
    std::vector<uint16_t> ports;
    for (const auto& e : endpoints_) ports.push_back(e->Endpoint->LocalPort());
    return ports;
  }

  uint64_t Pongs() const { return pongs_.load(); }
  int LoggedIn() const {
    int n = 0;
    for (const auto& c : clients_) n += c->LoggedIn() ? 1 : 0;
    return n;
  }

 private:
  struct TEndpointSlot {
    std::shared_ptr<TClientEndpoint> Endpoint;
    // Voice for a player the server kept from a lost login reply is not ours.
    std::unique_ptr<std::atomic<bool>[]> Admitted = std::make_unique<std::atomic<bool>[]>(kMaxPlayerId);
  };

  std::shared_ptr<TClientEndpoint> MakeEndpoint(TEndpointSlot& slot, size_t sinkSlot) {
    return TClientEndpoint::Create("127.0.0.1", [this, &slot, sinkSlot](const uint8_t* data, size_t size) {
      if (size < ControlHeader::Size) return false;
      const unsigned kind = data[0] | data[1] << 8;
      if (kind == pcControl && (data[2] | data[3] << 8) == ctPong) {
        pongs_.fetch_add(1, std::memory_order_relaxed);
        return false;  // the client's buffer takes its round trip from it
      }
      if (kind != pcS2CVoice || size < S2CVoiceHeader::Size) return false;
      const uint32_t recipient = static_cast<uint32_t>(data[8] | data[9] << 8 | data[10] << 16) |
                                 static_cast<uint32_t>(data[11]) << 24;
      if (recipient < kMaxPlayerId && slot.Admitted[recipient]) {
        sink_.Record(sinkSlot, data + S2CVoiceHeader::Size, size - S2CVoiceHeader::Size);
      }
      return true;
    });
  }

  // As in the relay scenarios: a login reply lost while others arrive is
  // asked for again, under another nick.
  int LoginWithRetry(int client, TEndpointSlot& slot) {
    TQVClient& c = *clients_[static_cast<size_t>(client)];
    int result = peNoReplyFromServer;
    for (int attempt = 0; attempt < kLoginAttempts && result == peNoReplyFromServer; ++attempt) {
      result = c.Login(logins_[static_cast<size_t>(client)]);
    }
    if (result == 1 && c.PlayerId() < kMaxPlayerId) slot.Admitted[c.PlayerId()] = true;
    return result;
  }

  static TClientLogin Request(int client, uint16_t port, const std::string& channel) {
    TClientLogin login;
    login.UniqueNick = true;
    login.ServerPort = port;
    login.NickName = fmt::format("bench{}", client);
    login.Channel = channel;
    login.TimeoutMs = kLoginTimeoutMs;
    return login;
  }

  TReceiveSink& sink_;
  const std::vector<uint16_t> ports_;
  const int perServer_;
  std::vector<std::unique_ptr<TEndpointSlot>> endpoints_;
  std::vector<std::unique_ptr<TQVClient>> clients_;
  std::vector<TClientLogin> logins_;
  std::atomic<uint64_t> pongs_{0};
};

// --- measuring ---------------------------------------------------------------------

// A field of /proc/<pid>/status in kibibytes (VmRSS, VmHWM); 0 when unknown.
uint64_t StatusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1));
  }
  return 0;
}

struct TIdleSample {
  int64_t Ns = 0;
  double Machine = 0;
  std::map<pid_t, double> ServerThreads, OwnThreads;
  uint64_t Pongs = 0;
};

TIdleSample Sample(pid_t server, uint64_t pongs) {
  TIdleSample s;
  s.Ns = NowNs();
  s.Machine = MachineBusySeconds();
  s.ServerThreads = ThreadCpuSeconds(server);
  s.OwnThreads = ThreadCpuSeconds(getpid());
  s.Pongs = pongs;
  return s;
}

// One row of the scale table.
struct TScaleRow {
  std::string Id;
  std::string Title;
  int Servers = 1;
  int Clients = 0;
  bool Ok = false;
  std::string Error;
  double ConnectSeconds = 0;
  int Threads = 0;         // the server's threads
  double ServerCores = 0;  // server CPU over the window, in cores
  double BusiestThread = 0;
  double RssMb = 0, PeakRssMb = 0;
  double GeneratorCores = 0, GeneratorBusiestThread = 0;
  double OtherMachineCores = 0;
  double PongsPerSecond = 0;
  int StillLoggedIn = 0;
  bool Relay = false;  // rows with speakers carry a step
  TStepResult Step;
};

void FillMemory(TScaleRow& row, pid_t server) {
  row.RssMb = static_cast<double>(StatusKb(server, "VmRSS")) / 1024.0;
  row.PeakRssMb = static_cast<double>(StatusKb(server, "VmHWM")) / 1024.0;
  row.Threads = static_cast<int>(ThreadCpuSeconds(server).size());
}

// The window between two samples.
void FillIdle(TScaleRow& row, const TIdleSample& a, const TIdleSample& b) {
  const double wall = static_cast<double>(b.Ns - a.Ns) / 1e9;
  const double server = ThreadsCpuDelta(a.ServerThreads, b.ServerThreads),
               own = ThreadsCpuDelta(a.OwnThreads, b.OwnThreads);
  row.ServerCores = server / wall;
  row.BusiestThread = BusiestThreadSeconds(a.ServerThreads, b.ServerThreads) / wall;
  row.GeneratorCores = own / wall;
  row.GeneratorBusiestThread = BusiestThreadSeconds(a.OwnThreads, b.OwnThreads) / wall;
  row.OtherMachineCores = std::max(0.0, (b.Machine - a.Machine - server - own) / wall);
  row.PongsPerSecond = static_cast<double>(b.Pongs - a.Pongs) / wall;
}

// Starts the server for a row; false (with the row's error) when it did not start.
bool StartServer(TQuillvaneServer& server, TScaleRow& row, const TServerLayout& layout) {
  if (server.Start(row.Id, layout, row.Error)) return true;
  std::printf("  could not start: %s\n", row.Error.c_str());
  return false;
}

void StopServer(TQuillvaneServer& server) {
  const int code = server.Stop();
  if (code != 0) std::printf("  warning: quillvane-server exited with %d\n", code);
}

// Profiles the server while a step runs, when asked to.
class TProfiler {
 public:
  TProfiler(bool enabled, pid_t pid, std::string file) : file_(std::move(file)) {
    if (!enabled) return;
    if (!fs::exists("/usr/bin/perf")) {
      std::printf("  no profile: /usr/bin/perf is not installed\n");
      return;
    }
    running_ = child_.Start("/usr/bin/perf", {"record", "-q", "-F", "1999", "-p", std::to_string(pid), "-o", file_},
                            file_ + ".out");
  }
  ~TProfiler() {
    if (!running_) return;
    child_.Stop(SIGINT, std::chrono::seconds(20));
    std::printf("  profile: perf report -i %s --sort symbol\n", file_.c_str());
  }

 private:
  std::string file_;
  TChildProcess child_;
  bool running_ = false;
};

// --- the scenarios ----------------------------------------------------------------------

void IdleProcess(TQuillvaneServer& server, TScaleRow& row, const TScaleConfig& config) {
  TServerLayout layout;
  layout.Name = "bench";
  layout.MaxUsers = 32;
  if (!StartServer(server, row, layout)) return;
  std::this_thread::sleep_for(config.Quick ? 1s : 3s);
  const TIdleSample a = Sample(server.Pid(), 0);
  std::this_thread::sleep_for(config.Quick ? 2s : 10s);
  FillIdle(row, a, Sample(server.Pid(), 0));
  FillMemory(row, server.Pid());
  row.Ok = server.Running();
  StopServer(server);
}

// The window of an idle-clients row, once the clients are in: the logins'
// notifications and the first round of pings die down, then the server's
// CPU, memory and answers to the pings are taken.
void MeasureIdleClients(TScaleRow& row, pid_t server, const std::function<uint64_t()>& pongs,
                        const std::function<int()>& loggedIn, const TScaleConfig& config) {
  std::printf("  %d clients logged in after %.1f s\n", row.Clients, row.ConnectSeconds);
  std::fflush(stdout);
  std::this_thread::sleep_for(config.Quick ? 2s : 5s);
  const TIdleSample a = Sample(server, pongs());
  std::this_thread::sleep_for(config.Quick ? 5s : 20s);
  FillIdle(row, a, Sample(server, pongs()));
  FillMemory(row, server);
  row.StillLoggedIn = loggedIn();
  row.Ok = row.StillLoggedIn == row.Clients;
  if (!row.Ok) row.Error = fmt::format("only {} of {} clients still logged in", row.StillLoggedIn, row.Clients);
}

TServerLayout IdleLayout(const TLoadShape& shape) {
  TServerLayout layout;
  layout.Name = "bench";
  layout.Channels = shape.Channels();
  layout.MaxUsers = static_cast<uint16_t>(shape.Clients + 16);
  return layout;
}

TLoadShape IdleShape(int clients) {
  TLoadShape shape;
  shape.Clients = clients;
  shape.ChannelSize = 10;
  return shape;
}

void IdleClients(TQuillvaneServer& server, TScaleRow& row, const TScaleConfig& config) {
  const TLoadShape shape = IdleShape(row.Clients);
  const TServerLayout layout = IdleLayout(shape);
  if (!StartServer(server, row, layout)) return;
  {
    TReceiveSink sink(kSinkSlots);
    TScaleLoad load(sink, server.Ports(), 8);
    const auto start = std::chrono::steady_clock::now();
    if (load.Connect(shape, server.Port(), [&](int c) { return TQuillvaneServer::ChannelName(layout, c); },
                     row.Error)) {
      row.ConnectSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      MeasureIdleClients(row, server.Pid(), [&] { return load.Pongs(); }, [&] { return load.LoggedIn(); }, config);
      row.Ok = row.Ok && server.Running();
    }
    // The server says goodbye to every client; they must still be there to
    // acknowledge it, so the server stops first.
    StopServer(server);
  }
}

// The same 1000 idle clients on murmur, each with its TLS connection and UDP
// socket, pinging as murmur's own client does (TLS and UDP every 5 s).
void MurmurIdleClients(TMurmurServer& murmur, TScaleRow& row, const TScaleConfig& config) {
  const TLoadShape shape = IdleShape(row.Clients);
  const TServerLayout layout = IdleLayout(shape);
  if (!murmur.Start(row.Id, layout, row.Error)) {
    std::printf("  could not start: %s\n", row.Error.c_str());
    return;
  }
  {
    TReceiveSink sink(kSinkSlots);
    TMurmurLoad load(sink, static_cast<int>(kSinkSlots));
    const auto start = std::chrono::steady_clock::now();
    if (load.Connect(shape, murmur.Port(), [&](int c) { return TQuillvaneServer::ChannelName(layout, c); },
                     row.Error)) {
      row.ConnectSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      MeasureIdleClients(
          row, murmur.Pid(),
          [&] {
            const TMurmurTransport t = load.Transport();
            return t.UdpPongs + t.TlsPongs;
          },
          [&] { return load.Connected(); }, config);
      row.Ok = row.Ok && murmur.Running();
      std::printf("  %s\n", Describe(load.Transport()).c_str());
    }
    const int code = murmur.Stop();
    if (code != 0) std::printf("  warning: murmurd exited with %d\n", code);
  }
}

// 1000 clients in channels of 10 with one speaker each, on `servers` virtual
// servers (one channel each when there are as many servers as channels).
void RelayAtScale(TQuillvaneServer& server, TScaleRow& row, const TScaleConfig& config) {
  TLoadShape shape;
  shape.Clients = row.Clients;
  shape.ChannelSize = 10;
  shape.Sockets = 8;
  TServerLayout layout;
  layout.Name = "bench";
  layout.Servers = row.Servers;
  layout.Channels = shape.Channels() / row.Servers;
  layout.MaxUsers = static_cast<uint16_t>(shape.Clients / row.Servers + 16);
  if (!StartServer(server, row, layout)) return;
  {
    TReceiveSink sink(kSinkSlots);
    // One endpoint per virtual server, or eight on one server.
    TScaleLoad load(sink, server.Ports(), row.Servers == 1 ? 8 : 1);
    const auto start = std::chrono::steady_clock::now();
    if (load.Connect(shape, server.Port(), [&](int c) { return TQuillvaneServer::ChannelName(layout, c); },
                     row.Error)) {
      row.ConnectSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf("  %d clients on %d virtual server%s logged in after %.1f s\n", shape.Clients, row.Servers,
                  row.Servers == 1 ? "" : "s", row.ConnectSeconds);
      std::fflush(stdout);
      std::this_thread::sleep_for(config.Quick ? 2s : 5s);
      TStepConfig step;
      step.SpeakersPerChannel = 1;
      step.WarmupSeconds = config.Quick ? 0.5 : 1.0;
      step.MeasureSeconds = config.Quick ? 2.0 : 8.0;
      step.DrainSeconds = 0.5;
      {
        TProfiler profiler(config.Profile, server.Pid(), server.Directory(row.Id) + "/perf.data");
        row.Step = RunStep(load, sink, shape, step, server.Pid(), server.Port());
      }
      row.Relay = true;
      const TStepResult& s = row.Step;
      row.ServerCores = s.RelayCpuSeconds / step.MeasureSeconds;
      row.BusiestThread = s.RelayBusiestThread;
      row.GeneratorCores = s.GeneratorCores;
      row.GeneratorBusiestThread = s.GeneratorBusiestThread;
      row.OtherMachineCores = s.OtherMachineCores;
      FillMemory(row, server.Pid());
      row.StillLoggedIn = load.LoggedIn();
      row.Ok = server.Running() && s.Received > 0;
    }
    StopServer(server);
  }
}

// --- output --------------------------------------------------------------------------------

void PrintScaleTable(const std::vector<TScaleRow>& rows) {
  std::printf("\nscale scenarios\n");
  std::printf("  %-40s %4s %5s %5s %9s %7s %6s %6s %8s %6s %7s %7s %6s %6s %7s\n", "scenario", "srv", "clnts",
              "thrds", "relayed/s", "p99 ms", "loss%", "cpu", "cpu s/1k", "thread", "rss MB", "hwm MB", "gen",
              "gen", "pongs/s");
  std::printf("  %-40s %4s %5s %5s %9s %7s %6s %6s %8s %6s %7s %7s %6s %6s %7s\n", "", "", "", "", "", "", "",
              "core", "", "", "", "", "cpu", "thread", "");
  for (const TScaleRow& r : rows) {
    if (!r.Ok && r.Threads == 0) {
      std::printf("  %-40s NOT RUN: %s\n", r.Title.c_str(), r.Error.c_str());
      continue;
    }
    const std::string relayed = r.Relay ? fmt::format("{:.0f}", r.Step.RelayedPps) : "-";
    const std::string p99 = r.Relay ? fmt::format("{:.2f}", r.Step.P99Ms) : "-";
    const std::string loss = r.Relay ? fmt::format("{:.2f}", r.Step.LossPercent) : "-";
    const std::string per1k = r.Relay ? fmt::format("{:.4f}", r.Step.RelayCpuPer1k) : "-";
    const std::string pongs = r.Relay ? "-" : fmt::format("{:.0f}", r.PongsPerSecond);
    std::printf("  %-40s %4d %5d %5d %9s %7s %6s %5.1f%% %8s %5.1f%% %7.1f %7.1f %5.1f%% %5.1f%% %7s%s\n",
                r.Title.c_str(), r.Servers, r.Clients, r.Threads, relayed.c_str(), p99.c_str(), loss.c_str(),
                100 * r.ServerCores, per1k.c_str(), 100 * r.BusiestThread, r.RssMb, r.PeakRssMb,
                100 * r.GeneratorCores, 100 * r.GeneratorBusiestThread, pongs.c_str(),
                r.Ok ? "" : (" FAILED: " + r.Error).c_str());
  }
  std::printf("cpu core is the server's CPU over the window as a share of one core; thread its busiest thread;\n"
              "rss MB and hwm MB are VmRSS at the end and VmHWM (peak); pongs/s the server's answers to the\n"
              "clients' pings. Rows with speakers: 1000 clients in channels of 10, one speaker each.\n");
}

void PrintTargets(const std::vector<TScaleRow>& rows) {
  double other = 0;
  int counted = 0;
  for (const TScaleRow& r : rows) {
    if (!r.Ok) continue;
    other = std::max(other, r.OtherMachineCores);
    ++counted;
    if (r.Id == "scale-idle-process") {
      std::printf("target: idle process under %.0f MB RSS: %.1f MB (peak %.1f) %s\n", kIdleProcessRssMb, r.RssMb,
                  r.PeakRssMb, r.PeakRssMb < kIdleProcessRssMb ? "met" : "MISSED");
    } else if (r.Id == "scale-idle-1000") {
      std::printf("target: 1000 idle clients under %.0f%% of a core: %.1f%% %s\n", 100 * kIdleClientsCoreShare,
                  100 * r.ServerCores, r.ServerCores < kIdleClientsCoreShare ? "met" : "MISSED");
    } else if (r.Id == "scale-farm-100x10") {
      std::printf("target: 100 virtual servers x 10 clients, no thread above %.0f%% of a core: %.1f%% %s\n",
                  100 * kFarmThreadShare, 100 * r.BusiestThread,
                  r.BusiestThread <= kFarmThreadShare ? "met" : "MISSED");
    }
  }
  const TScaleRow* farm = nullptr;
  const TScaleRow* one = nullptr;
  for (const TScaleRow& r : rows) {
    if (r.Id == "scale-farm-100x10" && r.Ok) farm = &r;
    if (r.Id == "scale-one-server-100x10" && r.Ok) one = &r;
  }
  if (farm && one && one->Step.RelayCpuPer1k > 0) {
    std::printf("100 virtual servers against one: %.2f times the CPU per relayed datagram, %.2f times the peak RSS\n",
                farm->Step.RelayCpuPer1k / one->Step.RelayCpuPer1k,
                one->PeakRssMb > 0 ? farm->PeakRssMb / one->PeakRssMb : 0.0);
  }
  const TScaleRow* idle = nullptr;
  const TScaleRow* murmurIdle = nullptr;
  for (const TScaleRow& r : rows) {
    if (r.Id == "scale-idle-1000" && r.Ok) idle = &r;
    if (r.Id == kMurmurIdleId && r.Ok) murmurIdle = &r;
  }
  if (idle && murmurIdle) {
    auto ratio = [](double a, double b) { return b > 0 ? fmt::format("{:.2f}", a / b) : std::string("-"); };
    std::printf("1000 idle clients, Quillvane / murmur: server CPU %s, busiest thread %s, RSS %s, peak RSS %s "
                "(connected in %.1f s and %.1f s)\n",
                ratio(idle->ServerCores, murmurIdle->ServerCores).c_str(),
                ratio(idle->BusiestThread, murmurIdle->BusiestThread).c_str(), ratio(idle->RssMb, murmurIdle->RssMb).c_str(),
                ratio(idle->PeakRssMb, murmurIdle->PeakRssMb).c_str(), idle->ConnectSeconds, murmurIdle->ConnectSeconds);
  }
  if (counted > 0) std::printf("other processes used at most %.1f cores during these windows\n", other);
}

std::string RowJson(const TScaleRow& r) {
  std::string step = "null";
  if (r.Relay) {
    const TStepResult& s = r.Step;
    step = fmt::format("{{\"offered_pps\": {:.1f}, \"relayed_pps\": {:.1f}, \"loss_percent\": {:.3f}, "
                       "\"latency_ms\": {{\"p50\": {:.3f}, \"p99\": {:.3f}, \"max\": {:.3f}}}, "
                       "\"relay_cpu_seconds_per_1000\": {:.5f}, \"generator_saturated\": {}}}",
                       s.OfferedPps, s.RelayedPps, s.LossPercent, s.P50Ms, s.P99Ms, s.MaxMs, s.RelayCpuPer1k,
                       s.GeneratorSaturated);
  }
  return fmt::format(
      "    {{\"id\": \"{}\", \"servers\": {}, \"clients\": {}, \"ok\": {}, \"error\": \"{}\", "
      "\"connect_seconds\": {:.2f}, \"server_threads\": {}, \"server_cores\": {:.4f}, "
      "\"busiest_thread\": {:.4f}, \"rss_mb\": {:.2f}, \"peak_rss_mb\": {:.2f}, \"generator_cores\": {:.3f}, "
      "\"generator_busiest_thread\": {:.3f}, \"other_machine_cores\": {:.2f}, \"pongs_per_second\": {:.1f}, "
      "\"still_logged_in\": {}, \"step\": {}}}",
      r.Id, r.Servers, r.Clients, r.Ok, r.Error, r.ConnectSeconds, r.Threads, r.ServerCores, r.BusiestThread,
      r.RssMb, r.PeakRssMb, r.GeneratorCores, r.GeneratorBusiestThread, r.OtherMachineCores, r.PongsPerSecond,
      r.StillLoggedIn, step);
}

void WriteScaleJson(const std::string& file, const std::vector<TScaleRow>& rows) {
  std::string body;
  for (const TScaleRow& r : rows) body += (body.empty() ? "" : ",\n") + RowJson(r);
  std::error_code ignored;
  fs::create_directories(fs::path(file).parent_path(), ignored);
  std::ofstream out(file);
  out << fmt::format("{{\"cores\": {}, \"scale_scenarios\": [\n{}\n]}}\n", CoreCount(), body);
  if (out) std::printf("JSON: %s\n", file.c_str());
}

}  // namespace

TScaleOutcome RunScaleScenarios(TQuillvaneServer& server, const TScaleConfig& config) {
  struct TEntry {
    std::string Id, Title;
    int Servers, Clients;
    std::function<void(TScaleRow&)> Run;
    std::string Peer;  // the row this one is compared with: selecting this one selects it too
  };
  auto quillvane = [&](void (*run)(TQuillvaneServer&, TScaleRow&, const TScaleConfig&)) {
    return [&server, &config, run](TScaleRow& row) { run(server, row, config); };
  };
  const std::vector<TEntry> entries = {
      {"scale-idle-process", "idle process, default server", 1, 0, quillvane(IdleProcess), ""},
      {"scale-idle-1000", "1000 idle clients, one server", 1, 1000, quillvane(IdleClients), ""},
      {"scale-farm-100x10", "100 servers x 10 clients, 1 speaker each", 100, 1000, quillvane(RelayAtScale), ""},
      {"scale-one-server-100x10", "one server, 100 channels of 10, 1 spk each", 1, 1000, quillvane(RelayAtScale), ""},
      {kMurmurIdleId, "murmur: 1000 idle clients, one server", 1, 1000,
       [&](TScaleRow& row) {
         if (config.Murmur) MurmurIdleClients(*config.Murmur, row, config);
         else row.Error = "no murmur server";
       },
       "scale-idle-1000"},
  };
  auto matches = [&](const std::string& id) { return config.Only.empty() || id.find(config.Only) != std::string::npos; };
  TScaleOutcome outcome;
  std::vector<TScaleRow> rows;
  for (const TEntry& e : entries) {
    const bool peerOfSelected = std::any_of(entries.begin(), entries.end(),
                                            [&](const TEntry& f) { return f.Peer == e.Id && matches(f.Id); });
    if (!matches(e.Id) && !peerOfSelected) continue;
    ++outcome.Matched;
    TScaleRow row;
    row.Id = e.Id;
    row.Title = e.Title;
    row.Servers = e.Servers;
    row.Clients = e.Clients;
    std::printf("%s\n", e.Title.c_str());
    std::fflush(stdout);
    if (std::chrono::steady_clock::now() > config.Deadline) {
      row.Error = "time budget spent";
    } else {
      e.Run(row);
    }
    if (!row.Ok) {
      outcome.AllRan = false;
      std::printf("  could not run: %s\n", row.Error.c_str());
    }
    rows.push_back(std::move(row));
  }
  if (rows.empty()) return outcome;
  PrintScaleTable(rows);
  PrintTargets(rows);
  WriteScaleJson(config.JsonFile, rows);
  return outcome;
}

}  // namespace qv::bench
