// The voice load generator: clients in channels, speakers at 50 datagrams a
// second, and receivers that time every relayed payload.
//
// A TLoadTarget is one relay under load, seen from the client side: the
// voice server (TQVClient objects over a few shared endpoints) or the raw
// fan-out baseline (plain sockets). Both hand each relayed payload to a
// TReceiveSink, which measures latency from the stamp at its start and
// counts what arrived. RunStep drives one measurement: it paces the
// speakers, snapshots CPU and drops of both sides around a measurement
// window, and reports what happened.
//
// Thread rules: a target's reader threads call TReceiveSink::Record (one
// slot per thread); everything else runs on the thread that drives the run.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bench_stats.h"

namespace qv::bench {

// Clients fill channels in order: client i sits in channel i / ChannelSize.
struct TLoadShape {
  int Clients = 0;
  int ChannelSize = 0;
  size_t PayloadSize = 33;  // codec bytes per datagram, stamp included
  int Sockets = 4;          // client sockets the clients share

  int Channels() const { return (Clients + ChannelSize - 1) / ChannelSize; }
  int ChannelOf(int client) const { return client / ChannelSize; }
  int MembersOf(int channel) const;
};

class TReceiveSink {
 public:
  struct TTotals {
    TLatencyHistogram Latency;
    uint64_t InWindow = 0;  // payloads sent inside the window and received
    uint64_t Other = 0;     // sent outside the window, or not ours
  };

  explicit TReceiveSink(size_t slots);
  // Reader thread `slot`: one relayed payload, stamp first.
  void Record(size_t slot, const uint8_t* payload, size_t size);
  // Payloads sent within [startNs, endNs) are measured.
  void SetWindow(int64_t startNs, int64_t endNs);
  // Everything recorded since the last call, merged.
  TTotals TakeTotals();

 private:
  struct TSlot {
    std::mutex Mutex;
    TTotals Totals;  // guarded by Mutex
  };
  std::vector<std::unique_ptr<TSlot>> slots_;
  std::atomic<int64_t> windowStart_{0};
  std::atomic<int64_t> windowEnd_{0};
};

// A logged-in client's ids (the flood forges packets with them).
struct TSessionIds {
  uint32_t PlayerId = 0;
  uint32_t ConnectionId = 0;
};

class TLoadTarget {
 public:
  virtual ~TLoadTarget() = default;
  // Puts every client into its channel (channel c is named channelName(c)).
  virtual bool Connect(const TLoadShape& shape, uint16_t relayPort,
                       const std::function<std::string(int)>& channelName, std::string& error) = 0;
  virtual bool SendVoice(int client, const std::vector<uint8_t>& payload) = 0;
  // Local ports of the client sockets (for their drop counters).
  virtual std::vector<uint16_t> LocalPorts() const = 0;
  // The clients' ids, where the relay has sessions.
  virtual std::vector<TSessionIds> Sessions() const { return {}; }
};

// TQVClient objects over shape.Sockets shared endpoints; relayed voice is
// taken on the endpoints' reader threads, before the client packet buffer.
std::unique_ptr<TLoadTarget> MakeQuillvaneLoad(TReceiveSink& sink);
// Plain sockets speaking the baseline's join/voice datagrams.
std::unique_ptr<TLoadTarget> MakeBaselineLoad(TReceiveSink& sink);

// Runs work(0) .. work(count - 1) on threads side by side (logins over one
// endpoint take turns, the endpoints log in side by side); the first failure
// text one of them returned, or "" when all succeeded.
std::string RunSideBySide(int count, const std::function<std::string(int)>& work);

struct TStepConfig {
  int SpeakersPerChannel = 1;
  double WarmupSeconds = 1;
  double MeasureSeconds = 4;
  double DrainSeconds = 0.5;
};

struct TStepResult {
  int SpeakersPerChannel = 0;
  int Speakers = 0;
  uint64_t Sent = 0, Expected = 0, Received = 0;
  double OfferedPps = 0, ExpectedPps = 0, RelayedPps = 0;
  double P50Ms = 0, P99Ms = 0, MaxMs = 0;
  double LossPercent = 0;
  double RelayCpuSeconds = 0, RelayCpuPer1k = 0, RelayBusiestThread = 0;  // thread: share of one core
  double RelayPeakRssMb = 0;
  double GeneratorCores = 0, GeneratorBusiestThread = 0, LateSendPercent = 0;
  uint64_t GeneratorSocketDrops = 0, RelaySocketDrops = 0;
  double OtherMachineCores = 0;  // CPU used by everything else on the machine
  bool GeneratorSaturated = false;
  bool Behind = false;  // relayed packets fell behind (loss or queueing)
};

TStepResult RunStep(TLoadTarget& target, TReceiveSink& sink, const TLoadShape& shape, const TStepConfig& config,
                    pid_t relayPid, uint16_t relayPort);

}  // namespace qv::bench
