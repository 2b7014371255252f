#include "protocol/udp_socket.h"

#include <array>
#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
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
  active_.store(true);
}

void TUDPSocket::Start(TReadHandler handler, size_t maxDatagram) {
  if (fd_ < 0) throw ESocketError("Socket not open");
  if (reader_.joinable()) throw ESocketError("Socket already started");
  reader_ = std::thread(&TUDPSocket::ReadLoop, this, std::move(handler), maxDatagram);
}

// The reader blocks in its receive call; a shutdown of the socket makes the
// call return at once (with an empty message) and the reader sees that it is
// to end. On an unconnected UDP socket shutdown reports ENOTCONN but still
// takes effect.
void TUDPSocket::Close() {
  active_.store(false);
  if (reader_.joinable()) {
    ::shutdown(fd_, SHUT_RDWR);
    reader_.join();
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// One system call per wake-up: recvmmsg waits for the first datagram and
// takes whatever else is waiting with it, up to a batch.
void TUDPSocket::ReadLoop(TReadHandler handler, size_t maxDatagram) {
  constexpr unsigned kBatch = 16;
  // Left uninitialised: a slot's pages become resident only once a datagram
  // is received into it, so a quiet socket keeps one slot's worth.
  std::unique_ptr<uint8_t[]> buffers(new uint8_t[kBatch * maxDatagram]);
  std::array<mmsghdr, kBatch> messages{};
  std::array<iovec, kBatch> vectors{};
  std::array<sockaddr_in, kBatch> senders{};
  while (active_.load()) {
    for (unsigned i = 0; i < kBatch; ++i) {
      vectors[i] = {buffers.get() + i * maxDatagram, maxDatagram};
      messages[i].msg_hdr = {};
      messages[i].msg_hdr.msg_name = &senders[i];
      messages[i].msg_hdr.msg_namelen = sizeof senders[i];
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = ::recvmmsg(fd_, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
    if (n < 0) {
      if (errno == EINTR || errno == ENOMEM || errno == ENOBUFS) continue;
      return;
    }
    if (n == 0) return;
    for (int i = 0; i < n && active_.load(); ++i) {
      // A datagram longer than the slot arrives cut: it is dropped, not read.
      if ((messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) continue;
      char ip[INET_ADDRSTRLEN] = {0};
      ::inet_ntop(AF_INET, &senders[i].sin_addr, ip, sizeof ip);
      try {
        handler(static_cast<const uint8_t*>(vectors[i].iov_base), messages[i].msg_len, ip, ntohs(senders[i].sin_port));
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
