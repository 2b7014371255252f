// qv-voice-bench: the voice relay measured end to end, beside the raw
// fan-out baseline and murmur (Debian's mumble-server) under the same load.
//
// For every scenario it starts the relay (a prepared quillvane-server, then
// qv-fanout-baseline, then murmurd), puts the clients into their channels,
// lets the speakers talk at 50 datagrams a second and measures a window of
// steady traffic. The murmur family's ids are "murmur-<scenario id>": --only
// murmur runs each scenario on Quillvane and murmur, without the baseline. It prints one table and writes the same
// figures as JSON. It exits non-zero when a scenario could not run. The scale scenarios (bench_scale.h) follow, against
// the real server only.
//
// Usage: qv-voice-bench [--build-dir DIR] [--json FILE] [--quick] [--only TEXT] [--no-murmur] [--keep] [--profile]
// --profile records the server with perf during its steps (kept in the work directory).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_load.h"
#include "bench_scale.h"
#include "bench_server.h"
#include "murmur_load.h"
#include "murmur_server.h"
#include "paired_scenarios.h"

namespace qv::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The relay scenarios of all three relays, then the scale scenarios; what
// does not fit is reported as not run.
constexpr auto kTimeBudget = std::chrono::seconds(840);
constexpr auto kScaleTimeBudget = std::chrono::seconds(360);  // the scale scenarios, after the others
constexpr double kSettleSeconds = 1.0;  // login notifications die down

struct TScenario {
  std::string Id;
  std::string Title;
  TLoadShape Shape;
  std::vector<int> Steps;  // speakers per channel; more than one: a ramp
};

struct TOptions {
  std::string BuildDir;
  std::string JsonFile;
  std::string Only;
  bool Quick = false;
  bool Keep = false;
  bool Profile = false;  // perf record of the server during its steps
  bool NoMurmur = false;  // Quillvane and the baseline only
};

struct TRelayRun {
  std::string Relay;
  bool Selected = false;  // --only chose it
  bool Ok = false;
  std::string Error;
  double ConnectSeconds = 0;
  std::vector<TStepResult> Steps;
  std::optional<TMurmurTransport> Transport;  // murmur: how its voice came
  // The step the table shows: the only one, or the last a ramp sustained.
  const TStepResult* Headline() const {
    const TStepResult* best = nullptr;
    for (const auto& s : Steps) {
      if (!s.Behind && !s.GeneratorSaturated) best = &s;
    }
    return best ? best : (Steps.empty() ? nullptr : &Steps.front());
  }
};

struct TScenarioRun {
  const TScenario* Scenario = nullptr;
  TRelayRun Quillvane, Baseline, Murmur;
};

std::vector<TScenario> Scenarios(bool quick) {
  auto shape = [](int clients, int channelSize, size_t payload) {
    TLoadShape s;
    s.Clients = clients;
    s.ChannelSize = channelSize;
    s.PayloadSize = payload;
    return s;
  };
  // From 8 speakers per channel on, each step adds about 10%, so the last step
  // that kept up lies within about 10% of the relay's limit.
  std::vector<int> ramp = quick ? std::vector<int>{1, 4, 16}
                                : std::vector<int>{1, 2, 4, 6, 8, 9, 10, 11, 12, 13, 14, 16, 18, 20, 22, 24, 26, 29, 32, 35, 39, 43, 49};
  return {
      {"c100-g10-s1-33B", "100 clients, 10 channels of 10, 1 speaker each, 33 B", shape(100, 10, 33), {1}},
      {"c500-g50-s1-33B", "500 clients, 10 channels of 50, 1 speaker each, 33 B", shape(500, 50, 33), {1}},
      {"c200-g200-s4-33B", "200 clients, 1 channel of 200, 4 speakers, 33 B", shape(200, 200, 33), {4}},
      {"c200-g200-s4-320B", "200 clients, 1 channel of 200, 4 speakers, 320 B", shape(200, 200, 320), {4}},
      {"ramp-c200-g50-33B", "ramp: 200 clients, 4 channels of 50, speakers per channel raised", shape(200, 50, 33),
       ramp},
  };
}

TStepConfig StepConfig(const TScenario& scenario, int speakers, bool quick) {
  TStepConfig c;
  c.SpeakersPerChannel = speakers;
  const bool ramp = scenario.Steps.size() > 1;
  c.WarmupSeconds = quick ? 0.5 : 1.0;
  c.MeasureSeconds = quick ? 1.5 : (ramp ? 3.0 : 5.0);
  c.DrainSeconds = quick ? 0.3 : 0.5;
  return c;
}

// Runs the steps of one scenario against a relay that is already up.
void RunSteps(TRelayRun& run, const TScenario& scenario, TLoadTarget& target, TReceiveSink& sink, pid_t pid,
              uint16_t port, bool quick, Clock::time_point deadline) {
  for (size_t i = 0; i < scenario.Steps.size(); ++i) {
    const int speakers = scenario.Steps[i];
    if (Clock::now() > deadline) {
      run.Error = "time budget spent";
      return;
    }
    run.Steps.push_back(RunStep(target, sink, scenario.Shape, StepConfig(scenario, speakers, quick), pid, port));
    const TStepResult& s = run.Steps.back();
    // On a shared machine one step can fail because of a neighbour; a ramp
    // only ends when the same load fails twice in a row.
    const bool confirmed = run.Steps.size() > 1 && run.Steps[run.Steps.size() - 2].SpeakersPerChannel == speakers;
    const bool failed = s.Behind || s.GeneratorSaturated;
    if (scenario.Steps.size() > 1 && failed && !confirmed) --i;
    std::printf("  %-9s %2d spk/ch: relayed %8.0f/s of %8.0f/s, p99 %7.2f ms, loss %5.2f%%, relay thread %3.0f%%, "
                "generator %3.0f%% (busiest thread %3.0f%%)%s\n",
                run.Relay.c_str(), speakers, s.RelayedPps, s.ExpectedPps, s.P99Ms, s.LossPercent,
                100 * s.RelayBusiestThread, 100 * s.GeneratorCores, 100 * s.GeneratorBusiestThread,
                s.GeneratorSaturated ? "  GENERATOR SATURATED" : (s.Behind ? "  behind" : ""));
    std::fflush(stdout);
    if (failed && (confirmed || scenario.Steps.size() == 1)) return;
  }
}

// Connects the clients, settles, runs the steps.
void DriveLoad(TRelayRun& run, const TScenario& scenario, TLoadTarget& target, TReceiveSink& sink, pid_t pid,
               uint16_t port, const std::function<std::string(int)>& channelName, const TOptions& options,
               Clock::time_point deadline, const std::function<void()>& beforeSteps = {}) {
  const auto connectStart = Clock::now();
  if (!target.Connect(scenario.Shape, port, channelName, run.Error)) return;
  run.ConnectSeconds = std::chrono::duration<double>(Clock::now() - connectStart).count();
  std::printf("  %-9s %d clients in their channels after %.1f s\n", run.Relay.c_str(), scenario.Shape.Clients,
              run.ConnectSeconds);
  std::this_thread::sleep_for(std::chrono::duration<double>(kSettleSeconds));
  if (beforeSteps) beforeSteps();
  RunSteps(run, scenario, target, sink, pid, port, options.Quick, deadline);
  run.Ok = run.Error.empty() && !run.Steps.empty();
}

// One channel per group of clients, and room for all of them.
TServerLayout ScenarioLayout(const TScenario& scenario) {
  TServerLayout layout;
  layout.Name = "bench";
  layout.Channels = scenario.Shape.Channels();
  layout.MaxUsers = static_cast<uint16_t>(scenario.Shape.Clients + 10);
  return layout;
}

TRelayRun RunQuillvane(const TScenario& scenario, TQuillvaneServer& server, const TOptions& options,
                       Clock::time_point deadline) {
  TRelayRun run;
  run.Relay = "quillvane";
  run.Selected = true;
  const TServerLayout layout = ScenarioLayout(scenario);
  if (!server.Start(scenario.Id, layout, run.Error)) return run;
  TReceiveSink sink(static_cast<size_t>(scenario.Shape.Sockets));
  auto target = MakeQuillvaneLoad(sink);
  TChildProcess profiler;
  const std::string profile = server.Directory(scenario.Id) + "/perf.data";
  auto startProfiler = [&] {
    if (!options.Profile) return;
    if (!fs::exists("/usr/bin/perf")) {
      std::printf("  no profile: /usr/bin/perf is not installed\n");
      return;
    }
    // A profile with call graphs (the kernel's complete, the server's as far
    // as frame pointers reach) of the server's own code and the kernel work
    // it asks for, sampled only while the load runs.
    profiler.Start("/usr/bin/perf",
                   {"record", "-q", "-g", "-F", "1999", "-p", std::to_string(server.Pid()), "-o", profile},
                   profile + ".out");
  };
  DriveLoad(run, scenario, *target, sink, server.Pid(), server.Port(),
            [&](int c) { return TQuillvaneServer::ChannelName(layout, c); }, options, deadline, startProfiler);
  if (options.Profile) profiler.Stop(SIGINT, std::chrono::seconds(20));
  if (options.Profile && fs::exists(profile)) {
    std::printf("  profile: perf report -i %s --sort symbol\n", profile.c_str());
  }
  if (!server.Running()) {
    run.Ok = false;
    run.Error = "the server ended during the run";
  }
  // The server says goodbye to every client; they must still be there to
  // acknowledge it, so the server stops first.
  const int code = server.Stop();
  if (run.Ok && code != 0) std::printf("  warning: quillvane-server exited with %d\n", code);
  return run;
}

TRelayRun RunBaseline(const TScenario& scenario, TBaselineRelay& relay, const TOptions& options,
                      Clock::time_point deadline) {
  TRelayRun run;
  run.Relay = "baseline";
  run.Selected = true;
  if (!relay.Start(scenario.Id, run.Error)) return run;
  {
    TReceiveSink sink(static_cast<size_t>(scenario.Shape.Sockets));
    auto target = MakeBaselineLoad(sink);
    DriveLoad(run, scenario, *target, sink, relay.Pid(), relay.Port(), {}, options, deadline);
    if (!relay.Running()) {
      run.Ok = false;
      run.Error = "the baseline ended during the run";
    }
  }
  relay.Stop();
  return run;
}

TRelayRun RunMurmur(const TScenario& scenario, TMurmurServer& server, const TOptions& options,
                    Clock::time_point deadline) {
  TRelayRun run;
  run.Relay = "murmur";
  run.Selected = true;
  const TServerLayout layout = ScenarioLayout(scenario);
  if (!server.Start(scenario.Id, layout, run.Error)) return run;
  {
    TReceiveSink sink(static_cast<size_t>(scenario.Shape.Sockets));
    TMurmurLoad target(sink, scenario.Shape.Sockets);
    DriveLoad(run, scenario, target, sink, server.Pid(), server.Port(),
              [&](int c) { return TQuillvaneServer::ChannelName(layout, c); }, options, deadline);
    run.Transport = target.Transport();
    const TMurmurTransport& t = *run.Transport;
    std::printf("  %-9s %s\n", run.Relay.c_str(), Describe(t).c_str());
    if (run.Ok && (t.TunnelledVoice > 0 || t.UdpVoice == 0)) {
      run.Ok = false;
      run.Error = "voice did not come over murmur's UDP path";
    }
    if (!server.Running()) {
      run.Ok = false;
      run.Error = "murmurd ended during the run";
    }
    // Before the clients close: murmur would tell each of them about every other one leaving.
    const int code = server.Stop();
    if (run.Ok && code != 0) std::printf("  warning: murmurd exited with %d\n", code);
  }
  return run;
}

// --- output -----------------------------------------------------------------------

std::string Ratio(double a, double b) { return b > 0 ? fmt::format("{:.2f}", a / b) : "-"; }

void PrintRow(const std::string& name, const TStepResult& s) {
  std::printf("  %-9s %5d %9.0f %9.0f %7.2f %7.2f %7.2f %6.2f %8.4f %7.1f %5.0f%% %5.0f%% %5.0f%%%s\n", name.c_str(),
              s.Speakers, s.OfferedPps, s.RelayedPps, s.P50Ms, s.P99Ms, s.MaxMs, s.LossPercent, s.RelayCpuPer1k,
              s.RelayPeakRssMb, 100 * s.RelayBusiestThread, 100 * s.GeneratorCores, 100 * s.GeneratorBusiestThread,
              s.GeneratorSaturated ? " SATURATED" : "");
}

void PrintRatios(const char* label, const TStepResult& q, const TStepResult& b) {
  std::printf("  %-9s %5s %9s %9s %7s %7s %7s %6s %8s %7s %6s %6s %6s\n", label, "", Ratio(q.OfferedPps, b.OfferedPps).c_str(),
              Ratio(q.RelayedPps, b.RelayedPps).c_str(), Ratio(q.P50Ms, b.P50Ms).c_str(), Ratio(q.P99Ms, b.P99Ms).c_str(),
              Ratio(q.MaxMs, b.MaxMs).c_str(), Ratio(q.LossPercent, b.LossPercent).c_str(),
              Ratio(q.RelayCpuPer1k, b.RelayCpuPer1k).c_str(), Ratio(q.RelayPeakRssMb, b.RelayPeakRssMb).c_str(),
              Ratio(q.RelayBusiestThread, b.RelayBusiestThread).c_str(), Ratio(q.GeneratorCores, b.GeneratorCores).c_str(), "");
}

void PrintRelay(const TRelayRun& run) {
  if (!run.Selected) return;
  if (const TStepResult* s = run.Ok || !run.Steps.empty() ? run.Headline() : nullptr) {
    PrintRow(run.Relay, *s);
  } else {
    std::printf("  %-9s NOT RUN: %s\n", run.Relay.c_str(), run.Error.c_str());
  }
}

void PrintTable(const std::vector<TScenarioRun>& runs) {
  std::printf("\n%-11s %5s %9s %9s %7s %7s %7s %6s %8s %7s %6s %6s %6s\n", "  relay", "spk", "offered/s",
              "relayed/s", "p50 ms", "p99 ms", "max ms", "loss%", "cpu s/1k", "rss MB", "relay", "gen", "gen");
  std::printf("%-11s %5s %9s %9s %7s %7s %7s %6s %8s %7s %6s %6s %6s\n", "", "", "", "", "", "", "", "", "", "",
              "thread", "cpu", "thread");
  for (const TScenarioRun& r : runs) {
    std::printf("%s\n", r.Scenario->Title.c_str());
    PrintRelay(r.Quillvane);
    PrintRelay(r.Baseline);
    PrintRelay(r.Murmur);
    const TStepResult* q = r.Quillvane.Headline();
    if (const TStepResult* b = r.Baseline.Headline(); q && b) PrintRatios("q/base", *q, *b);
    if (const TStepResult* m = r.Murmur.Headline(); q && m) PrintRatios("q/murmur", *q, *m);
  }
  std::printf("\nrelayed/s counts datagrams that reached a listener; loss%% is against what the channel members\n"
              "should have received; cpu s/1k is relay CPU seconds per 1000 relayed datagrams; relay thread and\n"
              "gen thread are the busiest thread's share of one core; gen cpu is the load generator's own CPU.\n"
              "q/base and q/murmur are Quillvane's figures divided by the baseline's and by murmur's.\n"
              "A ramp row is the last step that kept up (loss <= 1%%, p99 <= 40 ms, generator not saturated).\n");
}

// Saturation is named per step; the machine's other load is summed up once.
void PrintWarnings(const std::vector<TScenarioRun>& runs) {
  double otherMax = 0, otherSum = 0, lateMax = 0;
  int steps = 0;
  for (const TScenarioRun& r : runs) {
    for (const TRelayRun* run : {&r.Quillvane, &r.Baseline, &r.Murmur}) {
      for (const TStepResult& s : run->Steps) {
        ++steps;
        otherSum += s.OtherMachineCores;
        otherMax = std::max(otherMax, s.OtherMachineCores);
        lateMax = std::max(lateMax, s.LateSendPercent);
        if (!s.GeneratorSaturated) continue;
        std::printf("WARNING: the load generator did not keep up (%s / %s / %d speakers per channel): busiest "
                    "thread %.0f%%, %llu datagrams dropped at its sockets, other processes used %.1f cores; these "
                    "figures show the generator's or the machine's limit, not the relay's\n",
                    r.Scenario->Id.c_str(), run->Relay.c_str(), s.SpeakersPerChannel, 100 * s.GeneratorBusiestThread,
                    static_cast<unsigned long long>(s.GeneratorSocketDrops), s.OtherMachineCores);
      }
    }
  }
  if (steps == 0) return;
  std::printf("other processes on the machine used %.1f cores on average during the measurements (at most %.1f);\n"
              "at most %.1f%% of a step's sends left more than 5 ms behind their slot.%s\n",
              otherSum / steps, otherMax, lateMax,
              otherMax > 0.5 ? " The machine was not quiet: latencies and the ramp's end are noisy." : "");
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string StepJson(const TStepResult& s) {
  return fmt::format(
      "{{\"speakers_per_channel\": {}, \"speakers\": {}, \"sent\": {}, \"expected\": {}, \"received\": {}, "
      "\"offered_pps\": {:.1f}, \"expected_pps\": {:.1f}, \"relayed_pps\": {:.1f}, \"latency_ms\": "
      "{{\"p50\": {:.3f}, \"p99\": {:.3f}, \"max\": {:.3f}}}, \"loss_percent\": {:.3f}, "
      "\"relay_cpu_seconds\": {:.3f}, \"relay_cpu_seconds_per_1000\": {:.5f}, \"relay_busiest_thread\": {:.3f}, "
      "\"relay_peak_rss_mb\": {:.1f}, \"generator_cores\": {:.3f}, \"generator_busiest_thread\": {:.3f}, "
      "\"late_send_percent\": {:.2f}, \"generator_socket_drops\": {}, \"relay_socket_drops\": {}, "
      "\"other_machine_cores\": {:.2f}, \"generator_saturated\": {}, \"behind\": {}}}",
      s.SpeakersPerChannel, s.Speakers, s.Sent, s.Expected, s.Received, s.OfferedPps, s.ExpectedPps, s.RelayedPps,
      s.P50Ms, s.P99Ms, s.MaxMs, s.LossPercent, s.RelayCpuSeconds, s.RelayCpuPer1k, s.RelayBusiestThread,
      s.RelayPeakRssMb, s.GeneratorCores, s.GeneratorBusiestThread, s.LateSendPercent, s.GeneratorSocketDrops,
      s.RelaySocketDrops, s.OtherMachineCores, s.GeneratorSaturated, s.Behind);
}

std::string TransportJson(const TMurmurTransport& t) {
  return fmt::format("{{\"udp_voice\": {}, \"tunnelled_voice\": {}, \"udp_pongs\": {}, \"tls_pongs\": {}, "
                     "\"decrypt_failures\": {}, \"resyncs_asked\": {}, \"resyncs_answered\": {}, \"ended\": {}}}",
                     t.UdpVoice, t.TunnelledVoice, t.UdpPongs, t.TlsPongs, t.DecryptFailures, t.ResyncsAsked,
                     t.ResyncsAnswered, t.Ended);
}

std::string RelayJson(const TRelayRun& run) {
  if (!run.Selected) return "null";
  std::string steps;
  for (const auto& s : run.Steps) steps += (steps.empty() ? "" : ", ") + StepJson(s);
  return fmt::format("{{\"ok\": {}, \"error\": {}, \"connect_seconds\": {:.2f}, \"transport\": {}, \"steps\": [{}]}}",
                     run.Ok, JsonString(run.Error), run.ConnectSeconds,
                     run.Transport ? TransportJson(*run.Transport) : "null", steps);
}

// Quillvane's headline figures divided by another relay's.
std::string RatioJson(const TRelayRun& quillvane, const TRelayRun& other) {
  const TStepResult* q = quillvane.Headline();
  const TStepResult* b = other.Headline();
  if (!q || !b) return "null";
  auto ratio = [](double a, double c) { return c > 0 ? fmt::format("{:.3f}", a / c) : std::string("null"); };
  return fmt::format(
      "{{\"offered_pps\": {}, \"relayed_pps\": {}, \"latency_p50\": {}, \"latency_p99\": {}, \"latency_max\": {}, "
      "\"loss_percent\": {}, \"relay_cpu_seconds_per_1000\": {}, \"relay_busiest_thread\": {}, "
      "\"relay_peak_rss_mb\": {}}}",
      ratio(q->OfferedPps, b->OfferedPps), ratio(q->RelayedPps, b->RelayedPps), ratio(q->P50Ms, b->P50Ms),
      ratio(q->P99Ms, b->P99Ms), ratio(q->MaxMs, b->MaxMs), ratio(q->LossPercent, b->LossPercent),
      ratio(q->RelayCpuPer1k, b->RelayCpuPer1k), ratio(q->RelayBusiestThread, b->RelayBusiestThread),
      ratio(q->RelayPeakRssMb, b->RelayPeakRssMb));
}

bool WriteJson(const std::string& file, const std::vector<TScenarioRun>& runs,
               const std::vector<TPairedRun>& paired, double loadBefore, double loadAfter) {
  std::string scenarios;
  for (const TScenarioRun& r : runs) {
    const TLoadShape& s = r.Scenario->Shape;
    scenarios += fmt::format(
        "{}    {{\"id\": {}, \"title\": {}, \"clients\": {}, \"channel_size\": {}, \"payload_bytes\": {}, "
        "\"client_sockets\": {},\n     \"quillvane\": {},\n     \"baseline\": {},\n     \"murmur\": {},\n     "
        "\"ratio\": {},\n     \"ratio_murmur\": {}}}",
        scenarios.empty() ? "" : ",\n", JsonString(r.Scenario->Id), JsonString(r.Scenario->Title), s.Clients,
        s.ChannelSize, s.PayloadSize, s.Sockets, RelayJson(r.Quillvane), RelayJson(r.Baseline), RelayJson(r.Murmur),
        RatioJson(r.Quillvane, r.Baseline), RatioJson(r.Quillvane, r.Murmur));
  }
  std::string pairedJson;
  for (const TPairedRun& p : paired) pairedJson += (pairedJson.empty() ? "    " : ",\n    ") + PairedRunJson(p);
  std::error_code ignored;
  fs::create_directories(fs::path(file).parent_path(), ignored);
  std::ofstream out(file);
  out << fmt::format("{{\"cores\": {}, \"load_average_1m_at_start\": {:.2f}, \"load_average_1m_at_end\": {:.2f}, "
                     "\"scenarios\": [\n{}\n],\n\"paired\": [\n{}\n]}}\n",
                     CoreCount(), loadBefore, loadAfter, scenarios, pairedJson);
  return static_cast<bool>(out);
}

// --- the run ------------------------------------------------------------------------

double LoadAverage() {
  double load = 0;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

std::string DefaultJsonFile(const std::string& buildDir) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&now));
  return buildDir + "/bench-results/voice-bench-" + stamp + ".json";
}

bool ParseOptions(int argc, char** argv, TOptions& options) {
  options.BuildDir = fs::canonical("/proc/self/exe").parent_path().string();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--build-dir" && hasValue) options.BuildDir = argv[++i];
    else if (a == "--json" && hasValue) options.JsonFile = argv[++i];
    else if (a == "--only" && hasValue) options.Only = argv[++i];
    else if (a == "--quick") options.Quick = true;
    else if (a == "--keep") options.Keep = true;
    else if (a == "--no-murmur")
      options.NoMurmur = true;
    else if (a == "--profile") options.Profile = options.Keep = true;
    else return false;
  }
  if (options.JsonFile.empty()) options.JsonFile = DefaultJsonFile(options.BuildDir);
  return true;
}

int Run(const TOptions& options) {
  const auto deadline = Clock::now() + kTimeBudget;
  const double loadBefore = LoadAverage();
  std::printf("voice relay benchmark: %d cores, load average %.2f at start\n", CoreCount(), loadBefore);
  char pattern[] = "/tmp/qv-bench-XXXXXX";
  if (!mkdtemp(pattern)) {
    std::perror("mkdtemp");
    return 2;
  }
  const std::string workDir = pattern;
  // The work directory goes on every way out, unless asked to stay.
  struct TWorkDirGuard {
    std::string Dir;
    bool Keep;
    ~TWorkDirGuard() {
      std::error_code ignored;
      if (Keep) std::printf("work directory kept: %s\n", Dir.c_str());
      else fs::remove_all(Dir, ignored);
    }
  } guard{workDir, options.Keep};
  TQuillvaneServer server(options.BuildDir, workDir);
  TBaselineRelay baseline(options.BuildDir, workDir);
  TMurmurServer murmur(workDir);
  std::string error;
  if (!server.PrepareTemplate(error)) {
    std::fprintf(stderr, "cannot prepare the server: %s\n", error.c_str());
    return 2;
  }
  const std::vector<TScenario> scenarios = Scenarios(options.Quick);
  std::vector<TScenarioRun> runs;
  bool allRan = true;
  auto selected = [&](const std::string& id) { return options.Only.empty() || id.find(options.Only) != std::string::npos; };
  for (const TScenario& scenario : scenarios) {
    // Quillvane runs whenever the baseline or murmur does: the ratios need it.
    const bool withBaseline = selected(scenario.Id),
               withMurmur = !options.NoMurmur && selected("murmur-" + scenario.Id);
    if (!withBaseline && !withMurmur) continue;
    std::printf("%s\n", scenario.Title.c_str());
    std::fflush(stdout);
    TScenarioRun run;
    run.Scenario = &scenario;
    run.Quillvane = RunQuillvane(scenario, server, options, deadline);
    if (withBaseline) run.Baseline = RunBaseline(scenario, baseline, options, deadline);
    if (withMurmur) run.Murmur = RunMurmur(scenario, murmur, options, deadline);
    for (const TRelayRun* r : {&run.Quillvane, &run.Baseline, &run.Murmur}) {
      if (r->Selected && !r->Ok) {
        allRan = false;
        std::printf("  %s could not run: %s\n", r->Relay.c_str(), r->Error.c_str());
      }
    }
    runs.push_back(std::move(run));
  }
  // The same load on the server alone, under two conditions each.
  std::vector<TPairedRun> paired;
  for (const auto& [id, runPaired] : {std::pair{kFloodScenarioId, &RunFloodScenario},
                                      {kLoginsScenarioId, &RunLoginsScenario},
                                      {kMetricsScenarioId, &RunMetricsScenario}}) {
    if (!options.Only.empty() && std::string(id).find(options.Only) == std::string::npos) continue;
    std::printf("%s\n", id);
    std::fflush(stdout);
    paired.push_back(Clock::now() < deadline ? runPaired(server, {options.Quick}) : TPairedRun{id, id, false, "time budget spent", {}});
    if (!paired.back().Ok) allRan = false;
  }
  if (!runs.empty()) PrintTable(runs);
  for (const TPairedRun& p : paired) PrintPairedRun(p);
  PrintWarnings(runs);
  TScaleConfig scale;
  scale.Quick = options.Quick;
  scale.Profile = options.Profile;
  scale.Only = options.Only;
  scale.Murmur = &murmur;
  scale.JsonFile = options.JsonFile.substr(0, options.JsonFile.rfind(".json")) + "-scale.json";
  scale.Deadline = Clock::now() + kScaleTimeBudget;
  const TScaleOutcome scaleOutcome = RunScaleScenarios(server, scale);
  allRan = allRan && scaleOutcome.AllRan;
  if (runs.empty() && paired.empty() && scaleOutcome.Matched == 0) {
    std::fprintf(stderr, "no scenario matches \"%s\"\n", options.Only.c_str());
    allRan = false;
  }
  const double loadAfter = LoadAverage();
  std::printf("load average %.2f at start, %.2f at the end\n", loadBefore, loadAfter);
  if ((!runs.empty() || !paired.empty()) && WriteJson(options.JsonFile, runs, paired, loadBefore, loadAfter)) {
    std::printf("JSON: %s\n", options.JsonFile.c_str());
  }
  return allRan ? 0 : 1;
}

}  // namespace
}  // namespace qv::bench

int main(int argc, char** argv) {
  // A TLS write to a connection murmur has closed fails instead of ending the run.
  signal(SIGPIPE, SIG_IGN);
  qv::bench::TOptions options;
  if (!qv::bench::ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: qv-voice-bench [--build-dir DIR] [--json FILE] [--quick] [--only TEXT] [--no-murmur] [--keep] "
                 "[--profile]\n");
    return 2;
  }
  return qv::bench::Run(options);
}
