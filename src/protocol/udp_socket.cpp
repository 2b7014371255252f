#include "protocol/udp_socket.h"

#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qv {

namespace {

sockaddr_in MakeAddress(const std::string& ip, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (ip.empty()) {
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) {
    throw ESocketError("Invalid address " + ip);
  }
  return addr;
}

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

TUDPSocket::~TUDPSocket() { Close(); }

void TUDPSocket::Open(uint16_t port, const std::string& bindAddress) {
  if (fd_ >= 0) throw ESocketError("Socket already open");
  sockaddr_in addr = MakeAddress(bindAddress, port);
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw ESocketError(ErrnoText("socket"));
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::string text = ErrnoText("bind to port " + std::to_string(port));
    ::close(fd_);
    fd_ = -1;
    throw ESocketError(text);
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &len);
  localPort_ = ntohs(bound.sin_port);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) {
    std::string text = ErrnoText("eventfd");
    ::close(fd_);
    fd_ = -1;
    throw ESocketError(text);
  }
  active_.store(true);
}

void TUDPSocket::Start(TReadHandler handler, size_t maxDatagram) {
  if (fd_ < 0) throw ESocketError("Socket not open");
  if (reader_.joinable()) throw ESocketError("Socket already started");
  reader_ = std::thread(&TUDPSocket::ReadLoop, this, std::move(handler), maxDatagram);
}

void TUDPSocket::Close() {
  active_.store(false);
  if (reader_.joinable()) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    reader_.join();
  }
  if (fd_ >= 0) ::close(fd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
  fd_ = -1;
  wakeFd_ = -1;
}

void TUDPSocket::ReadLoop(TReadHandler handler, size_t maxDatagram) {
  std::vector<uint8_t> buffer(maxDatagram);
  pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  // Under load many datagrams wait at once: each wake-up reads up to a batch
  // of them before polling again (which also notices the stop request).
  constexpr int kBatch = 64;
  while (active_.load()) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    for (int i = 0; i < kBatch; ++i) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      // MSG_TRUNC makes the call report the datagram's real length, so an
      // over-long datagram is recognised and dropped instead of cut.
      ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) break;  // nothing more waiting (or a transient error)
      if (static_cast<size_t>(n) > buffer.size()) continue;
      char ip[INET_ADDRSTRLEN] = {0};
      ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
      try {
        handler(buffer.data(), static_cast<size_t>(n), ip, ntohs(from.sin_port));
      } catch (...) {
        // The handler owns its error handling; nothing may end the reader.
      }
    }
  }
}

void TUDPSocket::SendTo(const uint8_t* data, size_t size, const std::string& ip, uint16_t port) {
  if (fd_ < 0) throw ESocketError("Socket not open");
  sockaddr_in to = MakeAddress(ip, port);
  ssize_t n = ::sendto(fd_, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  if (n < 0) throw ESocketError(ErrnoText("sendto " + ip + ":" + std::to_string(port)));
}

int TUDPSocket::SendMany(mmsghdr* messages, unsigned count) {
  if (fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  return ::sendmmsg(fd_, messages, count, 0);
}

size_t SendAllMessages(mmsghdr* messages, unsigned count, const TSendManyCall& send,
                       const TSendFailure& onFailure) {
  size_t sent = 0;
  unsigned next = 0;
  while (next < count) {
    int n = send(messages + next, count - next);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      next += static_cast<unsigned>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // The message at next failed (n == 0 would never progress: the same).
      onFailure(next, n < 0 ? errno : EIO);
      ++next;
    }
  }
  return sent;
}

}  // namespace qv
