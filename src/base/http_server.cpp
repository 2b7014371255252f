#include "base/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <thread>

namespace qv {

namespace {

using TClock = std::chrono::steady_clock;

// One thread per connection, at most `max` at a time; further connections
// wait for a free thread. shutdown() waits until every thread has finished.
class TConnectionThreads final : public httplib::TaskQueue {
 public:
  explicit TConnectionThreads(size_t max) : max_(max) {}

  void enqueue(std::function<void()> fn) override {
    TMutexLock guard(mutex_);
    if (active_ >= max_) {
      pending_.push_back(std::move(fn));
      return;
    }
    ++active_;
    std::thread([this, task = std::move(fn)]() mutable { Run(std::move(task)); }).detach();
  }

  void shutdown() override {
    std::unique_lock<std::mutex> lock(mutex_.Native());
    mutex_.AssertHeld();  // not followed through std::unique_lock
    idle_.wait(lock, [this]() REQUIRES(mutex_) { return active_ == 0; });
  }

 private:
  void Run(std::function<void()> task) {
    for (;;) {
      task();
      task = nullptr;
      TMutexLock guard(mutex_);
      if (pending_.empty()) {
        // The last touch of this object: shutdown() may free it once the
        // lock is released.
        --active_;
        idle_.notify_all();
        return;
      }
      task = std::move(pending_.front());
      pending_.pop_front();
    }
  }

  const size_t max_;
  TMutex mutex_;
  std::condition_variable idle_;
  size_t active_ GUARDED_BY(mutex_) = 0;
  std::deque<std::function<void()>> pending_ GUARDED_BY(mutex_);
};

std::string AddressText(const sockaddr_storage& addr, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  port = 0;
  if (addr.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
    inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    port = ntohs(in.sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
    inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    port = ntohs(in6.sin6_port);
  }
  return text;
}

int MillisecondsUntil(TClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 60000));
}

// The connection as the library reads and writes it: bytes come from what
// ReadHead gathered first, then from the socket until the request's deadline.
class TGuardedStream final : public httplib::Stream {
 public:
  enum THead { hdComplete, hdClosed, hdTimeout, hdTooLarge };

  // tls: nullptr for plain HTTP.
  TGuardedStream(socket_t sock, const THttpLimits& limits, TTlsStream* tls)
      : sock_(sock), limits_(limits), tls_(tls) {}

  // A refusal that ends the connection, sent without waiting.
  void Refuse(std::string_view statusLine) {
    const std::string text = std::string(statusLine) + "\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    if (tls_) {
      tls_->Write(text.data(), text.size(), TClock::now() + std::chrono::seconds(1));
      return;
    }
    std::string_view rest = text;
    while (!rest.empty()) {
      const ssize_t sent = send(sock_, rest.data(), rest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent <= 0) return;
      rest.remove_prefix(static_cast<size_t>(sent));
    }
  }

  // Waits for the next request head: its first byte within firstByte, the
  // whole head within the request time-out, at most MaxHeadBytes.
  THead ReadHead(std::chrono::milliseconds firstByte) {
    buffer_.erase(0, offset_);
    offset_ = 0;
    const auto start = TClock::now();
    deadline_ = start + limits_.RequestTimeout;
    const auto firstDeadline = start + std::min(firstByte, limits_.RequestTimeout);
    for (;;) {
      const size_t end = buffer_.find("\r\n\r\n");
      if (end != std::string::npos && end + 4 <= limits_.MaxHeadBytes) break;
      if (buffer_.size() >= limits_.MaxHeadBytes) return hdTooLarge;
      const auto until = buffer_.empty() ? firstDeadline : deadline_;
      if (!Fill(until, limits_.MaxHeadBytes - buffer_.size())) return closed_ ? hdClosed : hdTimeout;
    }
    writeDeadline_ = TClock::now() + limits_.ResponseTimeout;
    return hdComplete;
  }

  bool Started() const { return !buffer_.empty(); }

  bool is_readable() const override {
    return offset_ < buffer_.size() || (tls_ && tls_->Pending()) || Wait(POLLIN, deadline_);
  }
  bool is_writable() const override { return Wait(POLLOUT, writeDeadline_); }

  ssize_t read(char* ptr, size_t size) override {
    if (offset_ >= buffer_.size()) {
      buffer_.clear();
      offset_ = 0;
      if (!Fill(deadline_, std::max<size_t>(size, 4096))) return -1;
    }
    const size_t n = std::min(size, buffer_.size() - offset_);
    std::copy_n(buffer_.data() + offset_, n, ptr);
    offset_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (tls_) return tls_->Write(ptr, size, writeDeadline_) ? static_cast<ssize_t>(size) : -1;
    if (!Wait(POLLOUT, writeDeadline_)) return -1;
    const ssize_t sent = send(sock_, ptr, size, MSG_NOSIGNAL);
    return sent < 0 ? -1 : sent;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t size = sizeof addr;
    if (getpeername(sock_, reinterpret_cast<sockaddr*>(&addr), &size) == 0) ip = AddressText(addr, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage addr{};
    socklen_t size = sizeof addr;
    if (getsockname(sock_, reinterpret_cast<sockaddr*>(&addr), &size) == 0) ip = AddressText(addr, port);
  }
  socket_t socket() const override { return sock_; }

 private:
  bool Wait(short events, TClock::time_point deadline) const {
    for (;;) {
      pollfd p{sock_, events, 0};
      const int ready = poll(&p, 1, MillisecondsUntil(deadline));
      if (ready > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
      if (ready == 0 && TClock::now() >= deadline) return false;
      if (ready < 0 && errno != EINTR) return false;
    }
  }

  // Appends what arrives before deadline (at most `most` bytes); false on
  // the deadline or when the peer closed.
  bool Fill(TClock::time_point deadline, size_t most) {
    char chunk[4096];
    if (tls_) {
      const long got = tls_->Read(chunk, std::min(most, sizeof chunk), deadline);
      return got >= 0 && Took(got, chunk);  // -1: the deadline
    }
    if (!Wait(POLLIN, deadline)) return false;
    return Took(recv(sock_, chunk, std::min(most, sizeof chunk), 0), chunk);
  }
  bool Took(ssize_t got, const char* chunk) {
    if (got <= 0) {
      closed_ = true;
      return false;
    }
    buffer_.append(chunk, static_cast<size_t>(got));
    return true;
  }

  const socket_t sock_;
  const THttpLimits& limits_;
  TTlsStream* const tls_;
  std::string buffer_;
  size_t offset_ = 0;  // what the library has read of buffer_
  bool closed_ = false;
  TClock::time_point deadline_{};
  TClock::time_point writeDeadline_{};
};

}  // namespace

THttpServer::THttpServer(const THttpLimits& limits) : limits_(limits) {
  const size_t threads = limits_.MaxThreads;
  new_task_queue = [threads] { return new TConnectionThreads(threads); };
}

size_t THttpServer::ConnectionsOf(const std::string& address) {
  TMutexLock guard(mutex_);
  auto it = perAddress_.find(address);
  return it == perAddress_.end() ? 0 : it->second;
}

bool THttpServer::Admit(const std::string& address) {
  TMutexLock guard(mutex_);
  size_t& count = perAddress_[address];
  if (limits_.PerAddress > 0 && count >= limits_.PerAddress) {
    if (count == 0) perAddress_.erase(address);
    return false;
  }
  ++count;
  return true;
}

void THttpServer::Release(const std::string& address) {
  TMutexLock guard(mutex_);
  auto it = perAddress_.find(address);
  if (it != perAddress_.end() && --it->second == 0) perAddress_.erase(it);
}

bool THttpServer::process_and_close_socket(socket_t sock) {
  std::unique_ptr<TTlsStream> tls;
  if (tls_) tls = std::make_unique<TTlsStream>(tls_->Current(), sock);
  TGuardedStream stream(sock, limits_, tls.get());
  std::string address;
  int port = 0;
  stream.get_remote_ip_and_port(address, port);
  bool served = false;
  if (!Admit(address)) {
    if (!tls) stream.Refuse("HTTP/1.1 503 Service Unavailable");
  } else if (tls && !tls->Accept(TClock::now() + limits_.RequestTimeout)) {
    Release(address);
  } else {
    for (size_t n = 0; n < limits_.RequestsPerConnection && svr_sock_ != INVALID_SOCKET; ++n) {
      const auto head = stream.ReadHead(n == 0 ? limits_.RequestTimeout : limits_.IdleTimeout);
      if (head == TGuardedStream::hdTooLarge) stream.Refuse("HTTP/1.1 431 Request Header Fields Too Large");
      if (head == TGuardedStream::hdTimeout && stream.Started()) stream.Refuse("HTTP/1.1 408 Request Timeout");
      if (head != TGuardedStream::hdComplete) break;
      bool closed = false;
      served = process_request(stream, n + 1 == limits_.RequestsPerConnection, closed, nullptr);
      if (!served || closed) break;
    }
    Release(address);
  }
  if (tls) tls->Close();
  shutdown(sock, SHUT_RDWR);
  close(sock);
  return served;
}

}  // namespace qv
