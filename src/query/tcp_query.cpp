#include "query/tcp_query.h"

#include <algorithm>

#include "base/date_time.h"
#include "base/log.h"
#include "model/process_settings.h"
#include "query/query_commands.h"

namespace qv {

namespace {

constexpr const char* kCategory = "TCPQUERY";
// A peer that stops reading gets this long before a write gives up.
constexpr int kSendTimeoutSeconds = 60;

// "GET / HTTP/1.1", "POST /x HTTP/1.0": a method word, a target and a version.
bool IsHttpRequestLine(std::string_view line) {
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos || blank == 0) return false;
  for (char c : line.substr(0, blank))
    if (c < 'A' || c > 'Z') return false;
  const size_t version = line.rfind(" HTTP/");
  if (version == std::string_view::npos || version <= blank) return false;
  const std::string_view number = line.substr(version + 6);
  return !number.empty() && number.find_first_not_of("0123456789.") == std::string_view::npos;
}

}  // namespace

TQueryLimits QueryLimitsFromSettings() {
  const TProcessSettings settings = GetSettings();
  TQueryLimits limits;
  limits.PerAddress = static_cast<size_t>(settings.QueryConnectionsPerAddress);
  limits.LineTimeout = std::chrono::seconds(settings.QueryLineSeconds);
  return limits;
}

TTCPQuery::TTCPQuery(TScriptStorage storage, TServerRegistry& registry, uint16_t port, const std::string& bindIp,
                     TQueryLimits limits)
    : limits_(limits), context_{registry, std::move(storage), Now(), {}} {
  if (port == 0) return;  // the TLS port only (ListenTls)
  try {
    listener_ = std::make_unique<TTCPListenSocket>(bindIp, port);
    acceptThread_ = std::thread([this] { AcceptLoop(*listener_, false); });
  } catch (const std::exception& e) {
    listener_.reset();
    LogFmt(lmtError, lmdAll, "TCPQuery startup failed with port %1, Exception: %2", kCategory, port, e.what());
  }
}

TTCPQuery::~TTCPQuery() {
  try {
    Stop();
  } catch (...) {
    // Freeing the listener must not fail the shutdown.
  }
}

uint16_t TTCPQuery::Port() const { return listener_ ? listener_->LocalPort() : 0; }
uint16_t TTCPQuery::TlsPort() const { return tlsListener_ ? tlsListener_->LocalPort() : 0; }

bool TTCPQuery::ListenTls(uint16_t port, const std::string& bindIp, std::shared_ptr<TTlsContext> tls) {
  try {
    tls_ = std::move(tls);
    tlsListener_ = std::make_unique<TTCPListenSocket>(bindIp, port);
    tlsAcceptThread_ = std::thread([this] { AcceptLoop(*tlsListener_, true); });
    return true;
  } catch (const std::exception& e) {
    tlsListener_.reset();
    LogFmt(lmtError, lmdAll, "TCPQuery TLS startup failed with port %1, Exception: %2", kCategory, port, e.what());
    return false;
  }
}

void TTCPQuery::Stop() {
  if (listener_) listener_->Stop();
  if (tlsListener_) tlsListener_->Stop();
  if (acceptThread_.joinable()) acceptThread_.join();
  if (tlsAcceptThread_.joinable()) tlsAcceptThread_.join();
  std::list<std::unique_ptr<TConnection>> all;
  {
    TMutexLock lock(mutex_);
    stopping_ = true;
    for (auto& c : connections_) c->Socket.Shutdown();
    all.swap(connections_);
  }
  for (auto& c : all) {
    if (c->Thread.joinable()) c->Thread.join();
  }
  listener_.reset();
  tlsListener_.reset();
}

size_t TTCPQuery::SessionCount() {
  TMutexLock lock(mutex_);
  size_t open = 0;
  for (const auto& c : connections_) open += c->Done.load() ? 0 : 1;
  return open;
}

void TTCPQuery::ReapFinished() {
  std::list<std::unique_ptr<TConnection>> finished;
  {
    TMutexLock lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if ((*it)->Done.load()) finished.splice(finished.end(), connections_, it);
      it = next;
    }
  }
  for (auto& c : finished) c->Thread.join();
}

bool TTCPQuery::AddressHasRoom(const std::string& address) const {
  size_t open = 0;
  for (const auto& c : connections_) open += !c->Done.load() && c->Address == address ? 1 : 0;
  return open < limits_.PerAddress;
}

void TTCPQuery::AcceptLoop(TTCPListenSocket& listener, bool tls) {
  for (;;) {
    TTCPSocket socket = listener.Accept();
    if (!socket.Valid()) return;
    ReapFinished();
    std::string address = socket.PeerAddress();
    TMutexLock lock(mutex_);
    // Beyond the limits the socket closes as it goes out of scope.
    if (stopping_ || connections_.size() >= kMaxConnections || !AddressHasRoom(address)) continue;
    try {
      auto connection = std::make_unique<TConnection>(std::move(socket), std::move(address), tls);
      TConnection* c = connection.get();
      c->Thread = std::thread([this, c] {
        try {
          Serve(*c);
        } catch (const std::exception& e) {
          // Out of memory, say: this connection ends, the process goes on.
          LogMsg(lmtError, lmdAll, "TTCPQuery.OnExecute Exception: " + ExceptionText(e), kCategory);
        }
        c->Socket.Shutdown();
        c->Done = true;
      });
      connections_.push_back(std::move(connection));
    } catch (const std::exception& e) {
      LogMsg(lmtError, lmdAll, "TTCPQuery.OnConnect Exception: " + ExceptionText(e), kCategory);
    }
  }
}

void TTCPQuery::Serve(TConnection& connection) {
  TTCPSocket& socket = connection.Socket;
  socket.SetSendTimeout(kSendTimeoutSeconds);
  if (connection.Tls && !socket.StartTls(tls_->Current(), static_cast<int>(limits_.LineTimeout.count()))) return;
  const std::string& address = connection.Address;
  context_.FailedLogins.Purge(Now());
  if (context_.FailedLogins.Refused(address)) {
    socket.Write(std::string(kStillBannedLine) + std::string(kCrLf));
    return;
  }
  std::unique_ptr<TQuerySession> session;
  try {
    session = std::make_unique<TQuerySession>(context_, address);
    session->TakeSnapshot();
  } catch (const std::exception&) {
    LogMsg(lmtError, lmdAll, "TTCPQuery.OnConnect: unable to initialize object", kCategory);
  }
  if (!socket.Write("[QV]" + std::string(kCrLf)) || !session) return;
  ServeLines(socket, *session);
  try {
    session.reset();
  } catch (const std::exception&) {
    LogMsg(lmtError, lmdAll, "TTCPQuery.OnDisconnect: unable to deinitialize object", kCategory);
  }
}

void TTCPQuery::ServeLines(TTCPSocket& socket, TQuerySession& session) {
  using Clock = std::chrono::steady_clock;
  std::string buffer;
  Clock::time_point lastData = Clock::now();
  Clock::time_point lineStart = lastData;  // the first byte of the line in buffer
  bool first = true;
  for (;;) {
    const size_t end = buffer.find('\n');
    if (end == std::string::npos) {
      // Room for a full line and its CR; anything longer closes the connection.
      if (buffer.size() > kMaxLineLength + 1) return;
      // An idle connection waits for its next line; a started line must end in time.
      const Clock::time_point deadline = buffer.empty() ? lastData + kIdleTimeout : lineStart + limits_.LineTimeout;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return;
      const bool empty = buffer.empty();
      const auto result = socket.Read(buffer, static_cast<int>(std::min<int64_t>(left.count(), 60000)));
      if (result == TTCPSocket::rrClosed) return;
      if (result == TTCPSocket::rrData) lastData = Clock::now();
      if (empty && !buffer.empty()) lineStart = lastData;
      continue;
    }
    std::string line = buffer.substr(0, end);
    buffer.erase(0, end + 1);
    lineStart = Clock::now();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxLineLength) return;
    if (std::exchange(first, false) && IsHttpRequestLine(line)) return;
    bool quit = false;
    const TQueryReply reply = DispatchQueryLine(session, line, quit);
    if (quit) return;
    if (!reply.Text.empty() && !socket.Write(reply.Text)) return;
    if (reply.Close) return;
  }
}

}  // namespace qv
