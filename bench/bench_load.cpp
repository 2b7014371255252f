#include "bench_load.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fmt/format.h>
#include <thread>

#include "client/qv_client.h"
#include "fanout_wire.h"
#include "protocol/packets.h"

namespace qv::bench {

using namespace std::chrono_literals;

namespace {

constexpr int64_t kFrameNs = 20'000'000;  // 50 datagrams a second per speaker
constexpr uint8_t kCodec = 0;             // the server never looks at the codec data
constexpr int kLoginTimeoutMs = 3000;
constexpr int64_t kLateNs = 5'000'000;    // a send this far behind its slot counts as late
// A step has fallen behind when this share is lost or queues hold it back
// two frames or more.
constexpr double kBehindLossPercent = 1.0;
constexpr double kBehindP99Ms = 40.0;
constexpr double kSaturatedThread = 0.90;

int64_t SecondsToNs(double s) { return static_cast<int64_t>(s * 1e9); }

}  // namespace

int TLoadShape::MembersOf(int channel) const {
  return std::max(0, std::min(ChannelSize, Clients - channel * ChannelSize));
}

// --- receiving -----------------------------------------------------------------

TReceiveSink::TReceiveSink(size_t slots) {
  for (size_t i = 0; i < slots; ++i) slots_.push_back(std::make_unique<TSlot>());
}

void TReceiveSink::Record(size_t slot, const uint8_t* payload, size_t size) {
  const int64_t now = NowNs();
  const std::optional<TVoiceStamp> stamp = ReadStamp(payload, size);
  TSlot& s = *slots_[slot];
  std::lock_guard<std::mutex> lock(s.Mutex);
  if (stamp && stamp->SentNs >= windowStart_.load(std::memory_order_relaxed) &&
      stamp->SentNs < windowEnd_.load(std::memory_order_relaxed)) {
    s.Totals.Latency.Add(now - stamp->SentNs);
    ++s.Totals.InWindow;
  } else {
    ++s.Totals.Other;
  }
}

void TReceiveSink::SetWindow(int64_t startNs, int64_t endNs) {
  windowStart_ = startNs;
  windowEnd_ = endNs;
}

TReceiveSink::TTotals TReceiveSink::TakeTotals() {
  TTotals all;
  for (auto& slot : slots_) {
    std::lock_guard<std::mutex> lock(slot->Mutex);
    all.Latency.Merge(slot->Totals.Latency);
    all.InWindow += slot->Totals.InWindow;
    all.Other += slot->Totals.Other;
    slot->Totals = TTotals{};
  }
  return all;
}

// --- the voice server as target ------------------------------------------------

namespace {

class TQuillvaneLoad : public TLoadTarget {
 public:
  explicit TQuillvaneLoad(TReceiveSink& sink) : sink_(sink) {}

  ~TQuillvaneLoad() override {
    clients_.clear();  // before the endpoints they share
    endpoints_.clear();
  }

  bool Connect(const TLoadShape& shape, uint16_t relayPort, const std::function<std::string(int)>& channelName,
               std::string& error) override {
    for (int k = 0; k < shape.Sockets; ++k) endpoints_.push_back(MakeEndpoint(static_cast<size_t>(k)));
    for (int i = 0; i < shape.Clients; ++i) {
      clients_.push_back(std::make_unique<TQVClient>(endpoints_[static_cast<size_t>(i % shape.Sockets)]));
      clients_.back()->SetEventHandler([](const TClientEvent&) {});  // nothing queues up
    }
    error = RunSideBySide(shape.Sockets, [&](int k) -> std::string {
      for (int i = k; i < shape.Clients; i += shape.Sockets) {
        const int result = LoginWithRetry(i, Request(i, relayPort, channelName(shape.ChannelOf(i))));
        if (result != 1) return fmt::format("login of client {} failed with {}", i, result);
      }
      return "";
    });
    return error.empty();
  }

  bool SendVoice(int client, const std::vector<uint8_t>& payload) override {
    return clients_[static_cast<size_t>(client)]->SendVoice(0, kCodec, payload);
  }

  std::vector<uint16_t> LocalPorts() const override {
    std::vector<uint16_t> ports;
    for (const auto& e : endpoints_) ports.push_back(e->LocalPort());
    return ports;
  }

  std::vector<TSessionIds> Sessions() const override {
    std::vector<TSessionIds> ids;
    for (const auto& c : clients_) {
      if (c->LoggedIn()) ids.push_back({c->PlayerId(), c->LoginReply().ConnectionId});
    }
    return ids;
  }

 private:
  // Relayed voice is timed on the socket's reader thread: the client packet
  // buffer never sees it, so the client's own queueing stays out of the figures.
  std::shared_ptr<TClientEndpoint> MakeEndpoint(size_t slot) {
    return TClientEndpoint::Create("127.0.0.1", [this, slot](const uint8_t* data, size_t size) {
      if (size < S2CVoiceHeader::Size || (data[0] | data[1] << 8) != pcS2CVoice) return false;
      const uint32_t recipient = static_cast<uint32_t>(data[8] | data[9] << 8 | data[10] << 16) |
                                 static_cast<uint32_t>(data[11]) << 24;
      if (!Admitted(recipient)) return true;
      sink_.Record(slot, data + S2CVoiceHeader::Size, size - S2CVoiceHeader::Size);
      return true;
    });
  }

  // While hundreds log in, the notifications about each arrival flood the
  // client sockets and a login reply (sent once, unacknowledged) can be
  // dropped there. The login is then asked for again; the server keeps the
  // unanswered player until it times out, so the new one needs another nick.
  int LoginWithRetry(int client, const TClientLogin& login) {
    TQVClient& c = *clients_[static_cast<size_t>(client)];
    int result = peNoReplyFromServer;
    for (int attempt = 0; attempt < kLoginAttempts && result == peNoReplyFromServer; ++attempt) result = c.Login(login);
    if (result == 1) Admit(c.PlayerId());
    return result;
  }

  void Admit(uint32_t playerId) {
    if (playerId < kMaxPlayerId) admitted_[playerId] = true;
  }
  // Voice for a player the server kept from a lost login reply is not ours.
  bool Admitted(uint32_t playerId) const { return playerId < kMaxPlayerId && admitted_[playerId]; }

  static TClientLogin Request(int client, uint16_t port, const std::string& channel) {
    TClientLogin login;
    login.UniqueNick = true;
    login.ServerPort = port;
    login.NickName = fmt::format("bench{}", client);
    login.Channel = channel;
    login.TimeoutMs = kLoginTimeoutMs;
    return login;
  }

  static constexpr uint32_t kMaxPlayerId = 65536;
  static constexpr int kLoginAttempts = 3;

  TReceiveSink& sink_;
  std::unique_ptr<std::atomic<bool>[]> admitted_ = std::make_unique<std::atomic<bool>[]>(kMaxPlayerId);
  std::vector<std::shared_ptr<TClientEndpoint>> endpoints_;
  std::vector<std::unique_ptr<TQVClient>> clients_;
};

// --- the raw fan-out baseline as target -----------------------------------------

class TBaselineLoad : public TLoadTarget {
 public:
  explicit TBaselineLoad(TReceiveSink& sink) : sink_(sink) {}

  ~TBaselineLoad() override {
    stop_ = true;
    for (auto& r : readers_) r.join();
    for (int fd : fds_) close(fd);
  }

  bool Connect(const TLoadShape& shape, uint16_t relayPort, const std::function<std::string(int)>&,
               std::string& error) override {
    shape_ = shape;
    relay_.sin_family = AF_INET;
    relay_.sin_port = htons(relayPort);
    relay_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    joined_ = std::make_unique<std::atomic<bool>[]>(static_cast<size_t>(shape.Clients));
    for (int k = 0; k < shape.Sockets; ++k) {
      if (!OpenSocket(error)) return false;
    }
    for (int k = 0; k < shape.Sockets; ++k) readers_.emplace_back(&TBaselineLoad::ReadLoop, this, static_cast<size_t>(k));
    return JoinAll(error);
  }

  bool SendVoice(int client, const std::vector<uint8_t>& payload) override {
    std::array<uint8_t, 2048> datagram;
    const size_t size = std::min(payload.size(), datagram.size() - kFanoutInHeader);
    WriteFanoutHeader(datagram.data(), kFanoutInHeader,
                      {fkVoice, static_cast<uint16_t>(shape_.ChannelOf(client)), static_cast<uint32_t>(client)});
    std::copy_n(payload.begin(), size, datagram.begin() + kFanoutInHeader);
    return Send(client, datagram.data(), kFanoutInHeader + size);
  }

  std::vector<uint16_t> LocalPorts() const override { return ports_; }

 private:
  bool OpenSocket(std::string& error) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    timeval timeout{0, 100'000};  // lets the reader see the stop flag
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
      if (fd >= 0) close(fd);
      error = "cannot open a client socket";
      return false;
    }
    fds_.push_back(fd);
    ports_.push_back(ntohs(address.sin_port));
    return true;
  }

  bool Send(int client, const uint8_t* data, size_t size) {
    const int fd = fds_[static_cast<size_t>(client % shape_.Sockets)];
    return sendto(fd, data, size, 0, reinterpret_cast<const sockaddr*>(&relay_), sizeof relay_) ==
           static_cast<ssize_t>(size);
  }

  // Joins are datagrams too: those not yet confirmed are sent again.
  bool JoinAll(std::string& error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLoginTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      int missing = 0;
      for (int i = 0; i < shape_.Clients; ++i) {
        if (joined_[static_cast<size_t>(i)]) continue;
        ++missing;
        uint8_t join[kFanoutInHeader];
        WriteFanoutHeader(join, sizeof join, {fkJoin, static_cast<uint16_t>(shape_.ChannelOf(i)), static_cast<uint32_t>(i)});
        Send(i, join, sizeof join);
      }
      if (missing == 0) return true;
      std::this_thread::sleep_for(200ms);
    }
    error = "baseline joins were not confirmed";
    return false;
  }

  void ReadLoop(size_t slot) {
    constexpr int kBatch = 64;
    constexpr size_t kSize = 2048;
    std::vector<std::array<uint8_t, kSize>> data(kBatch);
    std::array<iovec, kBatch> iov{};
    std::array<mmsghdr, kBatch> msgs{};
    for (int i = 0; i < kBatch; ++i) {
      iov[i] = {data[i].data(), kSize};
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    const int fd = fds_[slot];
    while (!stop_) {
      const int n = recvmmsg(fd, msgs.data(), kBatch, MSG_WAITFORONE, nullptr);
      for (int i = 0; i < n; ++i) Handle(slot, data[i].data(), msgs[i].msg_len);
    }
  }

  void Handle(size_t slot, const uint8_t* data, size_t size) {
    if (size < kFanoutOutHeader) return;
    const TFanoutHeader h = ReadFanoutHeader(data);
    if (h.Kind == fkRelayed) {
      sink_.Record(slot, data + kFanoutOutHeader, size - kFanoutOutHeader);
    } else if (h.Kind == fkJoined && h.ClientId < static_cast<uint32_t>(shape_.Clients)) {
      joined_[h.ClientId] = true;
    }
  }

  TReceiveSink& sink_;
  TLoadShape shape_;
  sockaddr_in relay_{};
  std::vector<int> fds_;
  std::vector<uint16_t> ports_;
  std::unique_ptr<std::atomic<bool>[]> joined_;
  std::vector<std::thread> readers_;
  std::atomic<bool> stop_{false};
};

// --- one measurement ----------------------------------------------------------------

// What is read before and after the window.
struct TSnapshot {
  int64_t Ns = 0;
  double Machine = 0;
  std::map<pid_t, double> RelayThreads, OwnThreads;
  uint64_t OwnDrops = 0, RelayDrops = 0;
};

TSnapshot TakeSnapshot(pid_t relayPid, const std::vector<uint16_t>& ownPorts, uint16_t relayPort) {
  TSnapshot s;
  s.Ns = NowNs();
  s.Machine = MachineBusySeconds();
  s.RelayThreads = ThreadCpuSeconds(relayPid);
  s.OwnThreads = ThreadCpuSeconds(getpid());
  s.OwnDrops = UdpDrops(ownPorts);
  s.RelayDrops = UdpDrops({relayPort});
  return s;
}

// The first `perChannel` members of every channel speak, spread evenly over
// the 20 ms frame so that the relay sees a steady stream, not bursts.
std::vector<int> ChooseSpeakers(const TLoadShape& shape, int perChannel) {
  std::vector<int> speakers;
  for (int c = 0; c < shape.Channels(); ++c) {
    const int count = std::min(perChannel, shape.MembersOf(c));
    for (int j = 0; j < count; ++j) speakers.push_back(c * shape.ChannelSize + j);
  }
  return speakers;
}

struct TPacing {
  uint64_t Sent = 0, Expected = 0, Late = 0, Total = 0;
  TSnapshot Before, After;
};

TPacing Pace(TLoadTarget& target, TReceiveSink& sink, const TLoadShape& shape, const std::vector<int>& speakers,
             const TStepConfig& config, pid_t relayPid, uint16_t relayPort) {
  TPacing p;
  const int64_t start = NowNs();
  const int64_t windowStart = start + SecondsToNs(config.WarmupSeconds);
  const int64_t windowEnd = windowStart + SecondsToNs(config.MeasureSeconds);
  sink.SetWindow(windowStart, windowEnd);
  const std::vector<uint16_t> ownPorts = target.LocalPorts();
  std::vector<uint32_t> sequence(speakers.size(), 0);
  std::vector<uint8_t> payload(std::max(shape.PayloadSize, kStampSize), 0x55);
  bool inWindow = false;
  const int64_t count = static_cast<int64_t>(speakers.size());
  for (int64_t n = 0;; ++n) {
    const size_t k = static_cast<size_t>(n % count);
    const int64_t due = start + (n / count) * kFrameNs + static_cast<int64_t>(k) * kFrameNs / count;
    if (due >= windowEnd) break;
    if (!inWindow && due >= windowStart) {
      p.Before = TakeSnapshot(relayPid, ownPorts, relayPort);
      inWindow = true;
    }
    int64_t now = NowNs();
    if (due > now) {
      std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
      now = NowNs();
    }
    if (now - due > kLateNs) ++p.Late;
    ++p.Total;
    WriteStamp(payload.data(), {static_cast<uint32_t>(speakers[k]), ++sequence[k], now});
    const bool sent = target.SendVoice(speakers[k], payload);
    if (sent && now >= windowStart && now < windowEnd) {
      ++p.Sent;
      p.Expected += static_cast<uint64_t>(shape.MembersOf(shape.ChannelOf(speakers[k])) - 1);
    }
  }
  p.After = TakeSnapshot(relayPid, ownPorts, relayPort);
  return p;
}

}  // namespace

std::unique_ptr<TLoadTarget> MakeQuillvaneLoad(TReceiveSink& sink) { return std::make_unique<TQuillvaneLoad>(sink); }
std::unique_ptr<TLoadTarget> MakeBaselineLoad(TReceiveSink& sink) { return std::make_unique<TBaselineLoad>(sink); }

std::string RunSideBySide(int count, const std::function<std::string(int)>& work) {
  std::vector<std::string> failures(static_cast<size_t>(std::max(count, 0)));
  std::vector<std::thread> threads;
  for (int k = 0; k < count; ++k) threads.emplace_back([&, k] { failures[static_cast<size_t>(k)] = work(k); });
  for (auto& t : threads) t.join();
  for (const auto& f : failures) {
    if (!f.empty()) return f;
  }
  return "";
}

TStepResult RunStep(TLoadTarget& target, TReceiveSink& sink, const TLoadShape& shape, const TStepConfig& config,
                    pid_t relayPid, uint16_t relayPort) {
  const std::vector<int> speakers = ChooseSpeakers(shape, config.SpeakersPerChannel);
  sink.TakeTotals();  // forget what arrived before this step
  const TPacing p = Pace(target, sink, shape, speakers, config, relayPid, relayPort);
  std::this_thread::sleep_for(std::chrono::nanoseconds(SecondsToNs(config.DrainSeconds)));
  const TReceiveSink::TTotals totals = sink.TakeTotals();

  TStepResult r;
  r.SpeakersPerChannel = config.SpeakersPerChannel;
  r.Speakers = static_cast<int>(speakers.size());
  const double wall = static_cast<double>(p.After.Ns - p.Before.Ns) / 1e9;
  r.Sent = p.Sent;
  r.Expected = p.Expected;
  r.Received = totals.InWindow;
  r.OfferedPps = static_cast<double>(p.Sent) / config.MeasureSeconds;
  r.ExpectedPps = static_cast<double>(p.Expected) / config.MeasureSeconds;
  r.RelayedPps = static_cast<double>(totals.InWindow) / config.MeasureSeconds;
  r.P50Ms = totals.Latency.PercentileMs(0.50);
  r.P99Ms = totals.Latency.PercentileMs(0.99);
  r.MaxMs = totals.Latency.MaxMs();
  r.LossPercent = p.Expected == 0 ? 0 : std::max(0.0, 100.0 * (1.0 - static_cast<double>(totals.InWindow) / static_cast<double>(p.Expected)));
  r.RelayCpuSeconds = ThreadsCpuDelta(p.Before.RelayThreads, p.After.RelayThreads);
  r.RelayCpuPer1k = totals.InWindow == 0 ? 0 : r.RelayCpuSeconds / (static_cast<double>(totals.InWindow) / 1000.0);
  r.RelayBusiestThread = BusiestThreadSeconds(p.Before.RelayThreads, p.After.RelayThreads) / wall;
  r.RelayPeakRssMb = static_cast<double>(PeakRssKb(relayPid)) / 1024.0;
  const double ownCpu = ThreadsCpuDelta(p.Before.OwnThreads, p.After.OwnThreads);
  r.GeneratorCores = ownCpu / wall;
  r.GeneratorBusiestThread = BusiestThreadSeconds(p.Before.OwnThreads, p.After.OwnThreads) / wall;
  r.LateSendPercent = p.Total == 0 ? 0 : 100.0 * static_cast<double>(p.Late) / static_cast<double>(p.Total);
  r.GeneratorSocketDrops = p.After.OwnDrops - p.Before.OwnDrops;
  r.RelaySocketDrops = p.After.RelayDrops - p.Before.RelayDrops;
  r.OtherMachineCores = std::max(0.0, (p.After.Machine - p.Before.Machine - r.RelayCpuSeconds - ownCpu) / wall);
  // Late sends alone do not make the generator the bottleneck: on a busy
  // machine the pacing thread simply waits for a core. They are reported apart.
  r.GeneratorSaturated = r.GeneratorBusiestThread >= kSaturatedThread ||
                         static_cast<double>(r.GeneratorSocketDrops) > 0.005 * static_cast<double>(p.Expected);
  r.Behind = r.LossPercent > kBehindLossPercent || r.P99Ms > kBehindP99Ms;
  return r;
}

}  // namespace qv::bench
