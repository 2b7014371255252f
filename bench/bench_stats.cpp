#include "bench_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace qv::bench {

namespace {

constexpr uint32_t kStampMagic = 0x31425651;  // "QVB1"

void PutU32(uint8_t* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetU32(const uint8_t* in) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(in[i]) << (8 * i);
  return v;
}

double TicksToSeconds(unsigned long long ticks) {
  static const long perSecond = sysconf(_SC_CLK_TCK);
  return static_cast<double>(ticks) / static_cast<double>(perSecond);
}

// Fields 14 and 15 of a stat file; the command name in field 2 may hold
// blanks and parentheses, so parsing starts after its last ')'.
double StatFileCpuSeconds(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return TicksToSeconds(utime + stime);
}

// The time a thread ran, from its schedstat (nanoseconds, the scheduler's own
// account) where the kernel keeps one; else from its stat file, whose ticks
// of 10 ms would make a 5-second window's CPU uncertain by a fifth.
double TaskCpuSeconds(const std::string& dir) {
  std::ifstream in(dir + "/schedstat");
  unsigned long long runNs = 0;
  if (in >> runNs) return static_cast<double>(runNs) / 1e9;
  return StatFileCpuSeconds(dir + "/stat");
}

}  // namespace

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void WriteStamp(uint8_t* out, const TVoiceStamp& stamp) {
  PutU32(out, kStampMagic);
  PutU32(out + 4, stamp.Speaker);
  PutU32(out + 8, stamp.Sequence);
  PutU32(out + 12, static_cast<uint32_t>(static_cast<uint64_t>(stamp.SentNs)));
  PutU32(out + 16, static_cast<uint32_t>(static_cast<uint64_t>(stamp.SentNs) >> 32));
}

std::optional<TVoiceStamp> ReadStamp(const uint8_t* data, size_t size) {
  if (size < kStampSize || GetU32(data) != kStampMagic) return std::nullopt;
  TVoiceStamp stamp;
  stamp.Speaker = GetU32(data + 4);
  stamp.Sequence = GetU32(data + 8);
  stamp.SentNs = static_cast<int64_t>(GetU32(data + 12) | static_cast<uint64_t>(GetU32(data + 16)) << 32);
  return stamp;
}

TLatencyHistogram::TLatencyHistogram() : buckets_(kBuckets, 0) {}

void TLatencyHistogram::Add(int64_t ns) {
  ns = std::max<int64_t>(ns, 0);
  const size_t bucket = std::min<size_t>(static_cast<size_t>(ns / kBucketNs), kBuckets - 1);
  ++buckets_[bucket];
  ++count_;
  maxNs_ = std::max(maxNs_, ns);
}

void TLatencyHistogram::Merge(const TLatencyHistogram& other) {
  for (size_t i = 0; i < kBuckets; ++i) buckets_[i] += other.buckets_[i];
  count_ += other.count_;
  maxNs_ = std::max(maxNs_, other.maxNs_);
}

// The upper edge of the bucket that holds the q-th sample: never optimistic
// by more than one bucket (10 microseconds).
double TLatencyHistogram::PercentileMs(double q) const {
  if (count_ == 0) return 0;
  const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(q * static_cast<double>(count_) + 0.5));
  uint64_t seen = 0;
  for (size_t i = 0; i < kBuckets; ++i) {
    seen += buckets_[i];
    if (seen >= rank) return std::min(static_cast<double>((i + 1) * kBucketNs), static_cast<double>(maxNs_)) / 1e6;
  }
  return MaxMs();
}

double ProcessCpuSeconds(pid_t pid) { return StatFileCpuSeconds("/proc/" + std::to_string(pid) + "/stat"); }

std::map<pid_t, double> ThreadCpuSeconds(pid_t pid) {
  std::map<pid_t, double> threads;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return threads;
  while (dirent* entry = readdir(d)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const pid_t tid = static_cast<pid_t>(std::stol(entry->d_name));
    threads[tid] = TaskCpuSeconds(dir + "/" + entry->d_name);
  }
  closedir(d);
  return threads;
}

double BusiestThreadSeconds(const std::map<pid_t, double>& before, const std::map<pid_t, double>& after) {
  double busiest = 0;
  for (const auto& [tid, seconds] : after) {
    auto it = before.find(tid);
    busiest = std::max(busiest, seconds - (it == before.end() ? 0 : it->second));
  }
  return busiest;
}

double ThreadsCpuDelta(const std::map<pid_t, double>& before, const std::map<pid_t, double>& after) {
  double total = 0;
  for (const auto& [tid, seconds] : after) {
    auto it = before.find(tid);
    total += std::max(0.0, seconds - (it == before.end() ? 0 : it->second));
  }
  return total;
}

uint64_t PeakRssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

// Lines of /proc/net/udp: "sl local rem st tx:rx tr:when retr uid timeout
// inode ref pointer drops", the local address as hex "ADDR:PORT".
uint64_t UdpDrops(const std::vector<uint16_t>& localPorts) {
  std::ifstream in("/proc/net/udp");
  std::string line;
  std::getline(in, line);  // heading
  uint64_t drops = 0;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, field, last;
    fields >> slot >> local;
    const size_t colon = local.find(':');
    if (colon == std::string::npos) continue;
    const auto port = static_cast<uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16));
    if (std::find(localPorts.begin(), localPorts.end(), port) == localPorts.end()) continue;
    while (fields >> field) last = field;
    if (!last.empty()) drops += std::stoull(last);
  }
  return drops;
}

double MachineBusySeconds() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
  return TicksToSeconds(user + nice + system + irq + softirq + steal);
}

int CoreCount() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

}  // namespace qv::bench
