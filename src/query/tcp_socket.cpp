#include "query/tcp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

namespace qv {

namespace {

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

TTCPSocket::TTCPSocket(int fd) : fd_(fd) {}

TTCPSocket::~TTCPSocket() {
  if (tls_) tls_->Close();
  tls_.reset();
  if (fd_ >= 0) close(fd_);
}

TTCPSocket::TTCPSocket(TTCPSocket&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), sendTimeoutSeconds_(other.sendTimeoutSeconds_), tls_(std::move(other.tls_)) {}

TTCPSocket& TTCPSocket::operator=(TTCPSocket&& other) noexcept {
  if (this != &other) {
    tls_.reset();
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    sendTimeoutSeconds_ = other.sendTimeoutSeconds_;
    tls_ = std::move(other.tls_);
  }
  return *this;
}

bool TTCPSocket::StartTls(std::shared_ptr<SSL_CTX> context, int timeoutMs) {
  if (fd_ < 0 || !context) return false;
  tls_ = std::make_unique<TTlsStream>(std::move(context), fd_);
  return tls_->Accept(TTlsStream::TClock::now() + std::chrono::milliseconds(timeoutMs));
}

TTCPSocket::TReadResult TTCPSocket::Read(std::string& into, int timeoutMs) {
  if (tls_) {
    char chunk[4096];
    const long got = tls_->Read(chunk, sizeof chunk, TTlsStream::TClock::now() + std::chrono::milliseconds(timeoutMs));
    if (got < 0) return rrTimeout;
    if (got == 0) return rrClosed;
    into.append(chunk, static_cast<size_t>(got));
    return rrData;
  }
  pollfd p{fd_, POLLIN, 0};
  int ready = poll(&p, 1, timeoutMs);
  if (ready == 0) return rrTimeout;
  if (ready < 0) return errno == EINTR ? rrTimeout : rrClosed;
  char chunk[4096];
  ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return rrTimeout;
  if (got <= 0) return rrClosed;
  into.append(chunk, static_cast<size_t>(got));
  return rrData;
}

bool TTCPSocket::Write(std::string_view data) {
  if (tls_)
    return tls_->Write(data.data(), data.size(),
                       TTlsStream::TClock::now() + std::chrono::seconds(sendTimeoutSeconds_));
  while (!data.empty()) {
    ssize_t sent = send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

void TTCPSocket::SetSendTimeout(int seconds) {
  sendTimeoutSeconds_ = seconds;
  timeval tv{seconds, 0};
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void TTCPSocket::Shutdown() {
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

std::string TTCPSocket::PeerAddress() const {
  sockaddr_in addr{};
  socklen_t size = sizeof addr;
  if (getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &size) != 0 || addr.sin_family != AF_INET) return "";
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return text;
}

TTCPListenSocket::TTCPListenSocket(const std::string& bindIp, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!bindIp.empty() && inet_pton(AF_INET, bindIp.c_str(), &addr.sin_addr) != 1)
    throw ETCPSocket("invalid bind address " + bindIp);
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw ETCPSocket(ErrnoText("socket"));
  int on = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const char* failed = nullptr;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) failed = "bind";
  else if (listen(fd_, 64) != 0) failed = "listen";
  else if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) failed = "pipe";
  if (failed) {
    std::string message = ErrnoText(failed);
    close(fd_);
    fd_ = -1;
    throw ETCPSocket(message);
  }
}

TTCPListenSocket::~TTCPListenSocket() {
  for (int fd : {fd_, wake_[0], wake_[1]}) {
    if (fd >= 0) close(fd);
  }
}

TTCPSocket TTCPListenSocket::Accept() {
  for (;;) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return TTCPSocket();
    }
    if (p[1].revents != 0) return TTCPSocket();
    int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return TTCPSocket(fd);
    // A connection reset before accept, or no descriptors left: try again
    // after a short pause rather than spinning.
    if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) poll(p + 1, 1, 100);
  }
}

void TTCPListenSocket::Stop() {
  char one = 1;
  [[maybe_unused]] ssize_t written = write(wake_[1], &one, 1);
}

uint16_t TTCPListenSocket::LocalPort() const {
  sockaddr_in addr{};
  socklen_t size = sizeof addr;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &size) != 0) return 0;
  return ntohs(addr.sin_port);
}

}  // namespace qv
