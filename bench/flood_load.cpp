#include "flood_load.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fmt/format.h>

#include "bench_stats.h"
#include "client/qv_client.h"
#include "protocol/command_types.h"
#include "protocol/packets.h"

namespace qv::bench {

namespace {

constexpr int64_t kSecondNs = 1'000'000'000;
constexpr auto kTick = std::chrono::milliseconds(1);
// Answers still on their way when the sending stops.
constexpr auto kLateAnswers = std::chrono::milliseconds(300);
constexpr int kReceiveBuffer = 1 << 20;
// Shares of the rate, in twentieths.
constexpr std::array<int, fkKindCount> kWeights{5, 4, 3, 5, 2, 1};

uint64_t Next(uint64_t& state) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

std::vector<uint8_t> Bytes(const TPacket& packet) { return {packet.Data(), packet.Data() + packet.Size()}; }

TPacketPtr LoginRequest(const std::string& loginName, const std::string& password, const std::string& nick) {
  TClientLogin login;
  login.LoginName = loginName;
  login.Password = password;
  login.NickName = nick;
  login.UniqueNick = true;
  TPacketPtr p = BuildLoginRequest(login);
  p->SetChecksum();
  return p;
}

}  // namespace

const char* FloodKindName(TFloodKind kind) {
  switch (kind) {
    case fkUnfinishedLogin: return "unfinished login";
    case fkShortLogin: return "short login";
    case fkJunk: return "junk";
    case fkUnknownIds: return "unknown ids";
    case fkForgedIds: return "forged address";
    case fkWrongPassword: return "wrong password";
    case fkKindCount: break;
  }
  return "?";
}

uint64_t TFloodTotals::Sent() const {
  uint64_t n = 0;
  for (const auto& k : Kinds) n += k.Sent;
  return n;
}

uint64_t TFloodTotals::SentBytes() const {
  uint64_t n = 0;
  for (const auto& k : Kinds) n += k.SentBytes;
  return n;
}

uint64_t TFloodTotals::ReceivedBytes() const {
  uint64_t n = 0;
  for (const auto& k : Kinds) n += k.ReceivedBytes;
  return n;
}

double TFloodTotals::MaxSocketRatio() const {
  double r = 0;
  for (const auto& k : Kinds) r = std::max(r, k.MaxSocketRatio);
  return r;
}

TFloodLoad::TFloodLoad(TFloodConfig config) : config_(std::move(config)), random_(config_.Seed * 0x9E3779B97F4A7C15ull | 1) {}

TFloodLoad::~TFloodLoad() {
  Stop();
  for (auto& s : sockets_) {
    if (s->Fd >= 0) close(s->Fd);
  }
  if (epoll_ >= 0) close(epoll_);
}

bool TFloodLoad::OpenSockets(std::string& error) {
  epoll_ = epoll_create1(0);
  if (epoll_ < 0) {
    error = "epoll_create1 failed";
    return false;
  }
  int weightSum = 0;
  for (int w : kWeights) weightSum += w;
  // Kinds take consecutive sockets; consecutive sockets lie on different addresses.
  std::vector<TFloodKind> kinds;
  for (int k = 0; k < fkKindCount; ++k) {
    const int count = std::max(1, config_.Sockets * kWeights[k] / weightSum);
    kinds.insert(kinds.end(), static_cast<size_t>(count), static_cast<TFloodKind>(k));
  }
  for (size_t j = 0; j < kinds.size(); ++j) {
    auto s = std::make_unique<TSocket>();
    s->Kind = kinds[j];
    s->Fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + static_cast<uint32_t>(j % static_cast<size_t>(config_.Addresses)));
    socklen_t length = sizeof address;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = s.get();
    if (s->Fd < 0 || setsockopt(s->Fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer) != 0 ||
        bind(s->Fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(s->Fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        epoll_ctl(epoll_, EPOLL_CTL_ADD, s->Fd, &event) != 0) {
      error = fmt::format("cannot open flood socket {}", j);
      if (s->Fd >= 0) close(s->Fd);
      return false;
    }
    s->Port = ntohs(address.sin_port);
    byKind_[s->Kind].push_back(s.get());
    sockets_.push_back(std::move(s));
  }
  return true;
}

bool TFloodLoad::Start(std::string& error) {
  if (!OpenSockets(error)) return false;
  std::vector<uint16_t> ports;
  for (const auto& s : sockets_) ports.push_back(s->Port);
  dropsAtStart_ = UdpDrops(ports);
  startNs_ = NowNs();
  sending_ = reading_ = true;
  reader_ = std::thread(&TFloodLoad::ReadLoop, this);
  sender_ = std::thread(&TFloodLoad::SendLoop, this);
  return true;
}

void TFloodLoad::Stop() {
  if (!sender_.joinable()) return;
  sending_ = false;
  sender_.join();
  stopNs_ = NowNs();
  std::this_thread::sleep_for(kLateAnswers);
  reading_ = false;
  reader_.join();
  std::vector<uint16_t> ports;
  for (const auto& s : sockets_) ports.push_back(s->Port);
  dropsAtStop_ = UdpDrops(ports);
}

TFloodTotals TFloodLoad::Totals() const {
  TFloodTotals t;
  t.Seconds = static_cast<double>((stopNs_ ? stopNs_ : NowNs()) - startNs_) / 1e9;
  t.SocketDrops = dropsAtStop_ >= dropsAtStart_ ? dropsAtStop_ - dropsAtStart_ : 0;
  for (const auto& s : sockets_) {
    TFloodKindTotals& k = t.Kinds[s->Kind];
    ++k.Sockets;
    k.Sent += s->Sent;
    k.SentBytes += s->SentBytes;
    k.Received += s->Received;
    k.ReceivedBytes += s->ReceivedBytes;
    if (s->SentBytes > 0) {
      k.MaxSocketRatio = std::max(k.MaxSocketRatio, static_cast<double>(s->ReceivedBytes) / static_cast<double>(s->SentBytes));
    }
  }
  return t;
}

// Paced in 1 ms ticks; a sender that fell behind (the machine was busy) does
// not try to catch up more than a tenth of a second.
void TFloodLoad::SendLoop() {
  std::vector<TFloodKind> schedule;
  for (int k = 0; k < fkKindCount; ++k) schedule.insert(schedule.end(), static_cast<size_t>(kWeights[k]), static_cast<TFloodKind>(k));
  const auto backlogLimit = static_cast<uint64_t>(config_.DatagramsPerSecond / 10);
  uint64_t sent = 0;
  int64_t nextPings = startNs_ + kSecondNs;
  while (sending_) {
    const int64_t now = NowNs();
    const auto due = static_cast<uint64_t>(static_cast<double>(now - startNs_) * config_.DatagramsPerSecond / 1e9);
    if (due > sent + backlogLimit) sent = due - backlogLimit;
    for (; sent < due; ++sent) {
      const TFloodKind kind = schedule[sent % schedule.size()];
      auto& sockets = byKind_[kind];
      SendOne(*sockets[nextOfKind_[kind]++ % sockets.size()]);
    }
    if (now >= nextPings) {
      SendPings();
      nextPings += kSecondNs;
    }
    std::this_thread::sleep_for(kTick);
  }
}

void TFloodLoad::Transmit(TSocket& socket, const uint8_t* data, size_t size) {
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(config_.ServerPort);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (sendto(socket.Fd, data, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&server), sizeof server) ==
      static_cast<ssize_t>(size)) {
    socket.Sent.fetch_add(1, std::memory_order_relaxed);
    socket.SentBytes.fetch_add(size, std::memory_order_relaxed);
  }
}

void TFloodLoad::SendOne(TSocket& socket) {
  const std::vector<uint8_t> datagram = Datagram(socket.Kind);
  Transmit(socket, datagram.data(), datagram.size());
}

// An unfinished login is kept alive the way a client keeps its connection:
// a ping a second with the ids of the login reply.
void TFloodLoad::SendPings() {
  for (TSocket* s : byKind_[fkUnfinishedLogin]) {
    const uint64_t ids = s->Ids.load(std::memory_order_relaxed);
    if (ids == 0) continue;
    TPacketPtr ping = NewControlPacket(ctPing, static_cast<uint32_t>(ids), static_cast<uint32_t>(ids >> 32));
    ping->SetSequence(++s->PingSequence);
    ping->SetChecksum();
    Transmit(*s, ping->Data(), ping->Size());
  }
}

std::vector<uint8_t> TFloodLoad::Datagram(TFloodKind kind) {
  const uint64_t r = Next(random_);
  ++counter_;
  const bool haveVictim = !config_.Victims.empty();
  const TFloodVictim victim = haveVictim ? config_.Victims[r % config_.Victims.size()] : TFloodVictim{};
  switch (kind) {
    case fkUnfinishedLogin:
      return Bytes(*LoginRequest("", "", fmt::format("flood{}", counter_)));
    case fkShortLogin: {
      TPacketPtr p = LoginRequest("", "", fmt::format("short{}", counter_));
      p->SetSize(88 + (r >> 8) % 58);  // 88..145 bytes
      p->SetChecksum();
      return Bytes(*p);
    }
    case fkJunk: {
      if (r & 1) {  // a login request whose checksum does not match
        TPacketPtr p = LoginRequest("", "", "junk");
        p->SetU32(ControlHeader::Checksum, p->GetU32(ControlHeader::Checksum) ^ 0x5A5A5A5A);
        return Bytes(*p);
      }
      std::vector<uint8_t> bytes(1 + (r >> 8) % 300);
      uint64_t fill = r;
      for (auto& b : bytes) b = static_cast<uint8_t>(Next(fill));
      if (bytes.size() >= 2 && (r & 2)) {  // a known class in front of the garbage
        bytes[0] = static_cast<uint8_t>(0xF0 + (r >> 4) % 5);
        bytes[1] = 0xBE;
      }
      return bytes;
    }
    case fkUnknownIds: {
      // Half of them guess a real player's connection id.
      const uint32_t playerId = (haveVictim && (r & 1)) ? victim.PlayerId : static_cast<uint32_t>(r >> 32);
      const auto connectionId = static_cast<uint32_t>(Next(random_));
      TPacketPtr p;
      switch ((r >> 1) % 3) {
        case 0: p = NewAckPacket(0, connectionId, playerId, static_cast<uint32_t>(r >> 8)); break;
        case 1:
          p = NewCommandPacket(CMD_cs_PlayerChannelSwitch, connectionId, playerId);
          p->SetSequence(static_cast<uint32_t>(r >> 16) % 1000);
          p->WriteU32(1);
          p->WriteText("", kShortTextField);
          p->SetChecksum();
          break;
        default:
          p = NewC2SVoicePacket(0, 0, connectionId, playerId, static_cast<uint16_t>(r >> 16), 0);
          p->Write(std::vector<uint8_t>(33, 0xAA).data(), 33);
      }
      return Bytes(*p);
    }
    case fkForgedIds: {
      if (!haveVictim) return Datagram(fkUnknownIds);
      TPacketPtr p;
      if (r & 1) {
        p = NewControlPacket(ctPing, victim.ConnectionId, victim.PlayerId);
        p->SetSequence(static_cast<uint32_t>(r >> 8));
        p->SetChecksum();
      } else {
        p = NewC2SVoicePacket(0, 0, victim.ConnectionId, victim.PlayerId, static_cast<uint16_t>(r >> 16), 0);
        p->Write(std::vector<uint8_t>(33, 0xAA).data(), 33);
      }
      return Bytes(*p);
    }
    case fkWrongPassword:
      return Bytes(*LoginRequest(config_.AccountName, fmt::format("guess{}", counter_), "guess"));
    case fkKindCount: break;
  }
  return {};
}

void TFloodLoad::NoteReply(TSocket& socket, const uint8_t* data, size_t size) {
  socket.Received.fetch_add(1, std::memory_order_relaxed);
  socket.ReceivedBytes.fetch_add(size, std::memory_order_relaxed);
  if (socket.Kind != fkUnfinishedLogin || size < ControlHeader::Size) return;
  TPacket packet(data, size, "", 0);
  if (!packet.IsControl() || packet.CommandType() != CMD_sc_LoginStep2) return;
  const TLoginReply reply = ParseLoginReply(packet);
  if (reply.Result == 1 && reply.PlayerId != 0) {
    socket.Ids = static_cast<uint64_t>(reply.PlayerId) << 32 | reply.ConnectionId;
  }
}

void TFloodLoad::ReadLoop() {
  std::array<epoll_event, 64> events;
  std::array<uint8_t, 4096> buffer;
  while (reading_) {
    const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 50);
    for (int i = 0; i < n; ++i) {
      TSocket& s = *static_cast<TSocket*>(events[static_cast<size_t>(i)].data.ptr);
      for (;;) {
        const ssize_t size = recv(s.Fd, buffer.data(), buffer.size(), 0);
        if (size < 0) break;
        NoteReply(s, buffer.data(), static_cast<size_t>(size));
      }
    }
  }
}

}  // namespace qv::bench
