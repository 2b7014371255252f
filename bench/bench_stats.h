// Measuring tools of the voice benchmark: a latency histogram, the voice
// stamp every benchmark payload starts with, and what /proc says about a
// process (CPU time per process and per thread, peak resident memory) and
// about UDP sockets (datagrams the kernel dropped for want of buffer room).
//
// Thread rules: TLatencyHistogram is a plain value (callers lock); the
// /proc readers are free functions safe from any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace qv::bench {

// Monotonic nanoseconds; the same clock in every process of this machine.
int64_t NowNs();

// The stamp at the start of each benchmark payload. The rest of the payload
// is padding up to the chosen codec size.
struct TVoiceStamp {
  uint32_t Speaker = 0;   // client index of the speaker
  uint32_t Sequence = 0;  // per speaker, from 1
  int64_t SentNs = 0;     // NowNs() when handed to the client's send call
};
inline constexpr size_t kStampSize = 20;
void WriteStamp(uint8_t* out, const TVoiceStamp& stamp);
// nullopt when the bytes are no stamp.
std::optional<TVoiceStamp> ReadStamp(const uint8_t* data, size_t size);

// Latencies in 10-microsecond buckets up to one second; slower ones count in
// the last bucket (the exact maximum is kept apart).
class TLatencyHistogram {
 public:
  TLatencyHistogram();
  void Add(int64_t ns);
  void Merge(const TLatencyHistogram& other);
  uint64_t Count() const { return count_; }
  // Milliseconds below which the fraction q (0..1) of samples lie.
  double PercentileMs(double q) const;
  double MaxMs() const { return static_cast<double>(maxNs_) / 1e6; }

 private:
  static constexpr int64_t kBucketNs = 10'000;
  static constexpr size_t kBuckets = 100'000;
  std::vector<uint32_t> buckets_;
  uint64_t count_ = 0;
  int64_t maxNs_ = 0;
};

// utime + stime of a process (or of one of its threads) in seconds; 0 when gone.
double ProcessCpuSeconds(pid_t pid);
// CPU seconds of each thread of a process, by thread id, to the nanosecond
// where the kernel keeps schedstat.
std::map<pid_t, double> ThreadCpuSeconds(pid_t pid);
// The largest per-thread CPU increase between two snapshots.
double BusiestThreadSeconds(const std::map<pid_t, double>& before, const std::map<pid_t, double>& after);
// The process's CPU between two snapshots as the sum of its threads' (a
// thread that ended in between loses its share of the window; a new one
// counts whole).
double ThreadsCpuDelta(const std::map<pid_t, double>& before, const std::map<pid_t, double>& after);
// VmHWM in kibibytes; 0 when unknown.
uint64_t PeakRssKb(pid_t pid);
// Datagrams the kernel dropped on the IPv4 UDP sockets bound to these local ports.
uint64_t UdpDrops(const std::vector<uint16_t>& localPorts);
// Total CPU of the machine (all processes), in seconds, and the core count:
// tells how busy the machine was around a measurement.
double MachineBusySeconds();
int CoreCount();

}  // namespace qv::bench
