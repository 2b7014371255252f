// qv-bandwidth-meter-bench: what the bandwidth meters cost per sent datagram.
//
// Every datagram the relay sends passes three meter calls: the connection's
// TimeUntilAllowed and Add (TClientBandWidthCalc, no lock) and the buffer's
// outgoing Add (TBandWidthCalc with its lock). Each benchmark times one call
// kind on a manual clock that moves 20 microseconds per send (50,000
// datagrams a second), so a 250 ms slot closes every 12,500 sends as it would
// under load; one more times the three together, and one a meter that was
// left alone for a minute (240 slots to close at once).
//
// Usage: qv-bandwidth-meter-bench [Google Benchmark options]
#include <benchmark/benchmark.h>

#include <memory>

#include "protocol/bandwidth_calc.h"
#include "protocol/time_tools.h"

namespace qv {
namespace {

constexpr int64_t kNsPerSend = 20'000;
constexpr uint32_t kDatagram = 33 + 24;  // codec bytes and the relayed voice header

struct TMeterRig {
  TManualClock clock{1'000'000'000};
  std::unique_ptr<TPerformanceTime> now = NewStopwatch(&clock);
  void Step() {
    clock.AdvanceNs(kNsPerSend);
    now->Restart();
  }
};

// The manual clock's step alone, included in every figure below.
void BM_ClockStepOnly(benchmark::State& state) {
  TMeterRig rig;
  for (auto _ : state) rig.Step();
}
BENCHMARK(BM_ClockStepOnly);

void BM_ConnectionAdd(benchmark::State& state) {
  TMeterRig rig;
  TClientBandWidthCalc meter(&rig.clock);
  meter.SetLimit(state.range(0));
  for (auto _ : state) {
    rig.Step();
    meter.Add(kDatagram, rig.now.get());
  }
}
BENCHMARK(BM_ConnectionAdd)->Arg(0)->Arg(1'000'000);

void BM_ConnectionTimeUntilAllowed(benchmark::State& state) {
  TMeterRig rig;
  TClientBandWidthCalc meter(&rig.clock);
  meter.SetLimit(1'000'000'000);  // never throttles: every call goes the whole way
  for (auto _ : state) {
    rig.Step();
    benchmark::DoNotOptimize(meter.TimeUntilAllowed(rig.now.get()));
    meter.Add(kDatagram, rig.now.get());
  }
}
BENCHMARK(BM_ConnectionTimeUntilAllowed);

void BM_BufferAddWithLock(benchmark::State& state) {
  TMeterRig rig;
  TBandWidthCalc meter(true, &rig.clock);
  for (auto _ : state) {
    rig.Step();
    meter.Add(kDatagram, rig.now.get());
  }
}
BENCHMARK(BM_BufferAddWithLock);

// What one relayed copy pays: the connection's check and count, the buffer's count.
void BM_PerSentDatagram(benchmark::State& state) {
  TMeterRig rig;
  TClientBandWidthCalc connection(&rig.clock);
  TBandWidthCalc outgoing(true, &rig.clock);
  for (auto _ : state) {
    rig.Step();
    benchmark::DoNotOptimize(connection.TimeUntilAllowed(rig.now.get()));
    connection.Add(kDatagram, rig.now.get());
    outgoing.Add(kDatagram, rig.now.get());
  }
}
BENCHMARK(BM_PerSentDatagram);

// The stopwatch reading itself (the steady clock), which the buffer does once
// per scheduling step, not per meter call.
void BM_StopwatchRestart(benchmark::State& state) {
  auto now = NewStopwatch();
  for (auto _ : state) now->Restart();
}
BENCHMARK(BM_StopwatchRestart);

// The first send after a quiet minute closes 240 slots.
void BM_AddAfterQuietMinute(benchmark::State& state) {
  TMeterRig rig;
  TClientBandWidthCalc meter(&rig.clock);
  for (auto _ : state) {
    rig.clock.AdvanceNs(60'000'000'000);
    rig.now->Restart();
    meter.Add(kDatagram, rig.now.get());
  }
}
BENCHMARK(BM_AddAfterQuietMinute);

}  // namespace
}  // namespace qv

BENCHMARK_MAIN();
