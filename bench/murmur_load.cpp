#include "murmur_load.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fmt/format.h>
#include <mutex>
#include <thread>

#include "bench_stats.h"
#include "murmur_messages.pb.h"
#include "ocb2_aes.h"

namespace qv::bench {

namespace mp = qvbench::murmur;

namespace {

constexpr uint32_t kClientVersion = 1 << 16 | 3 << 8 | 0;  // speaks as a 1.3.0 client
constexpr int64_t kMsNs = 1'000'000;
constexpr int64_t kEstablishNs = 20'000 * kMsNs;  // one client's login, move and UDP path
constexpr int64_t kKeepAliveNs = 5'000 * kMsNs;   // murmur's client pings every 5 s
constexpr int64_t kTickNs = 100 * kMsNs;
constexpr int64_t kUdpPingRetryMs = 200;
constexpr int kLoginWorkers = 16;  // TLS handshakes in flight at once

int RemainingMs(int64_t deadlineNs) {
  return static_cast<int>(std::clamp<int64_t>((deadlineNs - NowNs()) / kMsNs, 0, 60'000));
}

// Waits for the socket to become readable or writable; false at the deadline.
bool WaitFor(int fd, short events, int64_t deadlineNs) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, std::max(RemainingMs(deadlineNs), 1)) > 0;
}

}  // namespace

std::shared_ptr<SSL_CTX> MakeMurmurTlsContext() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx) SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);  // the server's certificate is self-made
  return std::shared_ptr<SSL_CTX>(ctx, SSL_CTX_free);
}

// --- one control connection --------------------------------------------------------

TMurmurControl::TMurmurControl(std::shared_ptr<SSL_CTX> context) : context_(std::move(context)) {}

TMurmurControl::~TMurmurControl() {
  if (ssl_) SSL_free(ssl_);
  if (fd_ >= 0) close(fd_);
}

// Non-blocking from the start: the handshake, the login and the reader
// threads' draining all wait in poll() with their own deadlines.
bool TMurmurControl::Connect(uint16_t port, int64_t deadlineNs, std::string& error) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int one = 1;
  if (fd_ < 0 || setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
      connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error = fmt::format("cannot connect to port {}", port);
    return false;
  }
  const int flags = fcntl(fd_, F_GETFL);
  ssl_ = context_ ? SSL_new(context_.get()) : nullptr;
  if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0 || !ssl_ || SSL_set_fd(ssl_, fd_) != 1) {
    error = "cannot set up TLS";
    return false;
  }
  for (;;) {
    ERR_clear_error();
    const int r = SSL_connect(ssl_);
    if (r == 1) return true;
    const int e = SSL_get_error(ssl_, r);
    const short want = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (want == 0 || !WaitFor(fd_, want, deadlineNs)) {
      error = fmt::format("TLS handshake failed (error {})", e);
      return false;
    }
  }
}

bool TMurmurControl::Send(uint16_t type, const google::protobuf::MessageLite& body) {
  if (ended_ || !ssl_) return false;
  const std::vector<uint8_t> frame = MurmurFrame(type, body);
  const int64_t deadline = NowNs() + 5'000 * kMsNs;
  for (;;) {
    ERR_clear_error();
    const int r = SSL_write(ssl_, frame.data(), static_cast<int>(frame.size()));
    if (r > 0) return true;
    const int e = SSL_get_error(ssl_, r);
    const short want = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    if (want == 0 || !WaitFor(fd_, want, deadline)) {
      ended_ = true;
      return false;
    }
  }
}

int TMurmurControl::ReadSome(uint8_t* buffer, int size) {
  if (ended_) return -1;
  ERR_clear_error();
  const int r = SSL_read(ssl_, buffer, size);
  if (r > 0) return r;
  const int e = SSL_get_error(ssl_, r);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return 0;
  ended_ = true;
  return -1;
}

std::optional<TMurmurFrame> TMurmurControl::Read(int64_t deadlineNs) {
  uint8_t buffer[16384];
  for (;;) {
    if (auto frame = frames_.Next()) return frame;
    if (frames_.Broken()) return std::nullopt;
    const int n = ReadSome(buffer, sizeof buffer);
    if (n > 0) {
      frames_.Append(buffer, static_cast<size_t>(n));
    } else if (n < 0 || NowNs() >= deadlineNs || (!HasPending() && !WaitFor(fd_, POLLIN, deadlineNs))) {
      return std::nullopt;
    }
  }
}

bool TMurmurControl::Drain(std::vector<TMurmurFrame>& frames) {
  uint8_t buffer[16384];
  for (int n; (n = ReadSome(buffer, sizeof buffer)) > 0;) frames_.Append(buffer, static_cast<size_t>(n));
  while (auto frame = frames_.Next()) frames.push_back(std::move(*frame));
  return !ended_ && !frames_.Broken();
}

bool TMurmurControl::HasPending() const { return ssl_ && SSL_pending(ssl_) > 0; }

// --- login and channels ---------------------------------------------------------------

namespace {

template <typename T>
bool Parse(const TMurmurFrame& frame, T& message) {
  return message.ParseFromString(frame.Body);
}

// A ChannelState that names a channel: remembered by name.
void NoteChannel(const TMurmurFrame& frame, TMurmurSession& session) {
  mp::ChannelState c;
  if (Parse(frame, c) && c.has_channel_id() && c.has_name()) session.Channels[c.name()] = c.channel_id();
}

std::string Refusal(const TMurmurFrame& frame) {
  if (frame.Type == mmReject) {
    mp::Reject r;
    Parse(frame, r);
    return fmt::format("login refused ({}): {}", r.type(), r.reason());
  }
  mp::PermissionDenied d;
  Parse(frame, d);
  return fmt::format("permission denied ({}): {}", d.type(), d.reason());
}

}  // namespace

bool MurmurLogin(TMurmurControl& control, const std::string& name, const std::string& password,
                 TMurmurSession& session, int64_t deadlineNs, std::string& error) {
  mp::Version version;
  version.set_version(kClientVersion);
  version.set_release("qv-voice-bench");
  version.set_os("Linux");
  version.set_os_version("bench");
  mp::Authenticate auth;
  auth.set_username(name);
  if (!password.empty()) auth.set_password(password);
  auth.set_opus(true);
  if (!control.Send(mmVersion, version) || !control.Send(mmAuthenticate, auth)) {
    error = "cannot send the login";
    return false;
  }
  while (auto frame = control.Read(deadlineNs)) {
    switch (frame->Type) {
      case mmCryptSetup: {
        mp::CryptSetup c;
        if (Parse(*frame, c)) {
          session.Key = c.key();
          session.ClientNonce = c.client_nonce();
          session.ServerNonce = c.server_nonce();
        }
        break;
      }
      case mmChannelState: NoteChannel(*frame, session); break;
      case mmReject: error = Refusal(*frame); return false;
      case mmServerSync: {
        mp::ServerSync sync;
        if (!Parse(*frame, sync) || !sync.has_session() || session.Key.empty()) {
          error = "ServerSync without a session or before CryptSetup";
          return false;
        }
        session.Session = sync.session();
        return true;
      }
      default: break;
    }
  }
  error = "no ServerSync before the deadline";
  return false;
}

bool MurmurCreateChannels(TMurmurControl& control, TMurmurSession& session, const std::vector<std::string>& names,
                          int64_t deadlineNs, std::string& error) {
  auto missing = [&] {
    return std::count_if(names.begin(), names.end(), [&](const std::string& n) { return !session.Channels.count(n); });
  };
  for (const std::string& name : names) {
    if (session.Channels.count(name)) continue;
    mp::ChannelState create;
    create.set_parent(0);
    create.set_name(name);
    create.set_temporary(false);
    if (!control.Send(mmChannelState, create)) {
      error = "cannot send ChannelState";
      return false;
    }
  }
  while (missing() > 0) {
    auto frame = control.Read(deadlineNs);
    if (!frame) {
      error = fmt::format("{} channels were not created", missing());
      return false;
    }
    if (frame->Type == mmChannelState) NoteChannel(*frame, session);
    if (frame->Type == mmPermissionDenied || frame->Type == mmReject) {
      error = Refusal(*frame);
      return false;
    }
  }
  return true;
}

// --- the load ----------------------------------------------------------------------------

struct TMurmurLoad::TClient {
  explicit TClient(std::shared_ptr<SSL_CTX> tls) : Control(std::move(tls)) {}
  ~TClient() {
    if (Udp >= 0) close(Udp);
  }
  TMurmurControl Control;
  TCryptState Crypt;
  std::mutex SendMutex;  // Crypt's sending side and the sends on Udp
  int Udp = -1;
  uint16_t UdpPort = 0;
  uint32_t Session = 0;
  uint64_t Sequence = 0;  // the driving thread
  // The reader thread that owns the client, once adopted.
  int64_t NextPingNs = 0;
  std::atomic<bool> Open{true};
};

struct TMurmurLoad::TReader {
  size_t Slot = 0;
  int Epoll = -1;
  std::thread Thread;
  std::mutex Mutex;
  std::vector<size_t> Adopted;  // guarded by Mutex: handed over, not yet taken
  std::vector<size_t> Clients;  // the reader thread only
};

TMurmurLoad::TMurmurLoad(TReceiveSink& sink, int readers) : sink_(sink), tls_(MakeMurmurTlsContext()) {
  for (int r = 0; r < std::max(1, readers); ++r) {
    auto reader = std::make_unique<TReader>();
    reader->Slot = static_cast<size_t>(r);
    reader->Epoll = epoll_create1(EPOLL_CLOEXEC);
    readers_.push_back(std::move(reader));
  }
}

TMurmurLoad::~TMurmurLoad() {
  stop_ = true;
  for (auto& r : readers_) {
    if (r->Thread.joinable()) r->Thread.join();
    if (r->Epoll >= 0) close(r->Epoll);
  }
}

bool TMurmurLoad::Connect(const TLoadShape& shape, uint16_t relayPort,
                          const std::function<std::string(int)>& channelName, std::string& error) {
  if (!tls_) {
    error = "no TLS client context";
    return false;
  }
  for (int i = 0; i < shape.Clients; ++i) clients_.push_back(std::make_unique<TClient>(tls_));
  for (auto& r : readers_) r->Thread = std::thread(&TMurmurLoad::ReadLoop, this, std::ref(*r));
  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  error = RunSideBySide(std::min(kLoginWorkers, shape.Clients), [&](int) -> std::string {
    for (int i; !failed && (i = next++) < shape.Clients;) {
      const std::string e = Establish(static_cast<size_t>(i), relayPort, channelName(shape.ChannelOf(i)));
      if (!e.empty()) {
        failed = true;
        return fmt::format("client {}: {}", i, e);
      }
      Adopt(static_cast<size_t>(i));
    }
    return "";
  });
  return error.empty();
}

// Log in as "bench<i>", move into the channel, then open the UDP path.
std::string TMurmurLoad::Establish(size_t index, uint16_t port, const std::string& channel) {
  TClient& client = *clients_[index];
  const int64_t deadline = NowNs() + kEstablishNs;
  std::string error;
  TMurmurSession session;
  if (!client.Control.Connect(port, deadline, error)) return error;
  if (!MurmurLogin(client.Control, fmt::format("bench{}", index), "", session, deadline, error)) return error;
  client.Session = session.Session;
  if (!client.Crypt.SetKey(session.Key, session.ClientNonce, session.ServerNonce, NowNs())) {
    return "CryptSetup without a 16-byte key and nonces";
  }
  const auto found = session.Channels.find(channel);
  if (found == session.Channels.end()) return "no channel " + channel;
  mp::UserState move;
  move.set_session(session.Session);
  move.set_channel_id(found->second);
  if (!client.Control.Send(mmUserState, move)) return "cannot send UserState";
  for (bool moved = false; !moved;) {
    auto frame = client.Control.Read(deadline);
    if (!frame) return "not moved into " + channel;
    mp::UserState state;
    if (frame->Type == mmPermissionDenied) return Refusal(*frame);
    moved = frame->Type == mmUserState && Parse(*frame, state) && state.session() == session.Session &&
            state.has_channel_id() && state.channel_id() == found->second;
  }
  return OpenUdp(client, port, deadline, error) ? "" : error;
}

// The server learns the client's UDP address from the first datagram that
// decrypts under its key; until then it tunnels voice through TLS. The
// ping's answer over UDP shows the path works both ways.
bool TMurmurLoad::OpenUdp(TClient& client, uint16_t port, int64_t deadlineNs, std::string& error) {
  client.Udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  sockaddr_in server = address;
  server.sin_port = htons(port);
  if (client.Udp < 0 || bind(client.Udp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(client.Udp, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(client.Udp, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    error = "cannot open the UDP socket";
    return false;
  }
  client.UdpPort = ntohs(address.sin_port);
  while (NowNs() < deadlineNs) {
    if (!SendUdp(client, MurmurPing(static_cast<uint64_t>(NowNs() / 1000)))) break;
    const int64_t wait = std::min(deadlineNs, NowNs() + kUdpPingRetryMs * kMsNs);
    while (WaitFor(client.Udp, POLLIN, wait)) {
      uint8_t in[2048], plain[2048];
      const ssize_t n = recv(client.Udp, in, sizeof in, 0);
      if (n > static_cast<ssize_t>(kCryptHeader) && client.Crypt.Decrypt(in, static_cast<size_t>(n), plain, NowNs()) &&
          plain[0] >> 5 == mutPing) {
        return true;
      }
    }
  }
  error = "no UDP ping answer";
  return false;
}

void TMurmurLoad::Adopt(size_t index) {
  TReader& r = *readers_[index % readers_.size()];
  std::lock_guard<std::mutex> lock(r.Mutex);
  r.Adopted.push_back(index);
}

bool TMurmurLoad::SendUdp(TClient& client, const std::vector<uint8_t>& plain) {
  uint8_t out[kOcbMaxPlain + kCryptHeader];
  std::lock_guard<std::mutex> lock(client.SendMutex);
  if (!client.Crypt.Encrypt(plain.data(), plain.size(), out)) return false;
  const size_t size = plain.size() + kCryptHeader;
  return send(client.Udp, out, size, MSG_DONTWAIT) == static_cast<ssize_t>(size);
}

bool TMurmurLoad::SendVoice(int client, const std::vector<uint8_t>& payload) {
  TClient& c = *clients_[static_cast<size_t>(client)];
  return SendUdp(c, MurmurClientVoice(0, ++c.Sequence, payload.data(), payload.size(), false));
}

std::vector<uint16_t> TMurmurLoad::LocalPorts() const {
  std::vector<uint16_t> ports;
  for (const auto& c : clients_) {
    if (c->UdpPort != 0) ports.push_back(c->UdpPort);
  }
  return ports;
}

std::string Describe(const TMurmurTransport& t) {
  return fmt::format("voice over UDP {}, tunnelled through TLS {}; pongs over UDP {}, over TLS {}; decrypt failures "
                     "{}, resyncs asked {}, answered {}; {} connections ended",
                     t.UdpVoice, t.TunnelledVoice, t.UdpPongs, t.TlsPongs, t.DecryptFailures, t.ResyncsAsked,
                     t.ResyncsAnswered, t.Ended);
}

TMurmurTransport TMurmurLoad::Transport() const {
  const TCounters& c = counters_;
  return {c.UdpVoice.load(), c.TunnelledVoice.load(), c.UdpPongs.load(), c.TlsPongs.load(), c.DecryptFailures.load(),
          c.ResyncsAsked.load(), c.ResyncsAnswered.load(), c.Ended.load()};
}

int TMurmurLoad::Connected() const {
  return static_cast<int>(std::count_if(clients_.begin(), clients_.end(), [](const auto& c) {
    return c->UdpPort != 0 && c->Open.load();
  }));
}

// --- the reader threads --------------------------------------------------------------

void TMurmurLoad::ReadLoop(TReader& reader) {
  constexpr int kEvents = 64;
  epoll_event events[kEvents];
  int64_t nextTick = 0;
  while (!stop_) {
    const int n = epoll_wait(reader.Epoll, events, kEvents, 20);
    for (int i = 0; i < n; ++i) {
      TClient& c = *clients_[events[i].data.u64 >> 1];
      if (events[i].data.u64 & 1) ReadUdp(reader, c);
      else ReadControl(reader, c);
    }
    const int64_t now = NowNs();
    if (now < nextTick) continue;
    nextTick = now + kTickNs;
    std::vector<size_t> adopted;
    {
      std::lock_guard<std::mutex> lock(reader.Mutex);
      adopted.swap(reader.Adopted);
    }
    for (size_t index : adopted) {
      TClient& c = *clients_[index];
      for (auto [fd, udp] : {std::pair{c.Control.Fd(), 0}, {c.Udp, 1}}) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = index << 1 | static_cast<uint64_t>(udp);
        epoll_ctl(reader.Epoll, EPOLL_CTL_ADD, fd, &e);
      }
      // Pings spread over the interval; what the login left buffered is read now.
      c.NextPingNs = now + kKeepAliveNs * static_cast<int64_t>(index % 50 + 1) / 50;
      reader.Clients.push_back(index);
      ReadControl(reader, c);
    }
    for (size_t index : reader.Clients) {
      TClient& c = *clients_[index];
      if (c.Open && c.Control.HasPending()) ReadControl(reader, c);
      KeepAlive(c, now);
    }
  }
}

void TMurmurLoad::ReadUdp(TReader& reader, TClient& client) {
  uint8_t in[2048], plain[2048];
  for (;;) {
    const ssize_t n = recv(client.Udp, in, sizeof in, MSG_DONTWAIT);
    if (n <= 0) return;
    const int64_t now = NowNs();
    if (!client.Crypt.Decrypt(in, static_cast<size_t>(n), plain, now)) {
      counters_.DecryptFailures.fetch_add(1, std::memory_order_relaxed);
      if (client.Crypt.WantsResync(now) && client.Control.Send(mmCryptSetup, mp::CryptSetup())) {
        counters_.ResyncsAsked.fetch_add(1, std::memory_order_relaxed);
      }
      continue;
    }
    const size_t size = static_cast<size_t>(n) - kCryptHeader;
    if (size > 0 && plain[0] >> 5 == mutPing) {
      counters_.UdpPongs.fetch_add(1, std::memory_order_relaxed);
    } else if (auto voice = ReadRelayedVoice(plain, size)) {
      counters_.UdpVoice.fetch_add(1, std::memory_order_relaxed);
      sink_.Record(reader.Slot, voice->Opus, voice->OpusSize);
    }
  }
}

void TMurmurLoad::ReadControl(TReader& reader, TClient& client) {
  if (!client.Open) return;
  std::vector<TMurmurFrame> frames;
  const bool open = client.Control.Drain(frames);
  for (const TMurmurFrame& frame : frames) {
    switch (frame.Type) {
      case mmUDPTunnel: counters_.TunnelledVoice.fetch_add(1, std::memory_order_relaxed); break;
      case mmPing: counters_.TlsPongs.fetch_add(1, std::memory_order_relaxed); break;
      case mmCryptSetup: {
        mp::CryptSetup setup;
        if (!Parse(frame, setup)) break;
        if (setup.has_key() && setup.has_client_nonce() && setup.has_server_nonce()) {
          std::lock_guard<std::mutex> lock(client.SendMutex);
          client.Crypt.SetKey(setup.key(), setup.client_nonce(), setup.server_nonce(), NowNs());
        } else if (setup.has_server_nonce()) {
          client.Crypt.SetDecryptIv(setup.server_nonce());
        } else {
          // The server asks for the nonce this client encrypts with.
          TAesBlock iv;
          {
            std::lock_guard<std::mutex> lock(client.SendMutex);
            iv = client.Crypt.EncryptIv();
          }
          mp::CryptSetup answer;
          answer.set_client_nonce(std::string(iv.begin(), iv.end()));
          if (client.Control.Send(mmCryptSetup, answer)) {
            counters_.ResyncsAnswered.fetch_add(1, std::memory_order_relaxed);
          }
        }
        break;
      }
      default: break;
    }
  }
  if (!open) {
    client.Open = false;
    counters_.Ended.fetch_add(1, std::memory_order_relaxed);
    // An ended connection stays readable: it leaves the reader's set.
    epoll_ctl(reader.Epoll, EPOLL_CTL_DEL, client.Control.Fd(), nullptr);
  }
}

void TMurmurLoad::KeepAlive(TClient& client, int64_t now) {
  if (!client.Open || now < client.NextPingNs) return;
  client.NextPingNs += kKeepAliveNs;
  mp::Ping ping;
  ping.set_timestamp(static_cast<uint64_t>(now / 1000));
  ping.set_good(client.Crypt.Good());
  ping.set_late(client.Crypt.Late());
  ping.set_lost(client.Crypt.Lost());
  ping.set_resync(client.Crypt.Resyncs());
  client.Control.Send(mmPing, ping);
  SendUdp(client, MurmurPing(static_cast<uint64_t>(now / 1000)));
}

}  // namespace qv::bench
