// qv-fanout-baseline: the least a voice relay can do on this machine.
//
// One thread, one UDP socket, no protocol and no locks: a client joins a
// group with one datagram, and every voice datagram goes out once to each
// other member of its group. Datagrams come in with recvmmsg and leave with
// sendmmsg, each copy a per-recipient header plus the received payload by
// reference (no copy of the payload). The voice benchmark runs it under the
// same load as the server to show how far the server is from the machine.
//
// Usage: qv-fanout-baseline [port]   (default 0: any free port on 127.0.0.1)
// Prints "port <n>" once bound; SIGTERM or SIGINT end it after printing
// "relayed <n>".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fanout_wire.h"

namespace qv::bench {
namespace {

volatile std::sig_atomic_t gStop = 0;

void OnStopSignal(int) { gStop = 1; }

// No SA_RESTART: a blocked recvmmsg returns EINTR so the loop sees the flag.
void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

struct TMember {
  sockaddr_in Address{};
  uint32_t ClientId = 0;
};

bool SameMember(const TMember& m, const sockaddr_in& address, uint32_t clientId) {
  return m.ClientId == clientId && m.Address.sin_port == address.sin_port &&
         m.Address.sin_addr.s_addr == address.sin_addr.s_addr;
}

class TFanoutRelay {
 public:
  explicit TFanoutRelay(int fd) : fd_(fd), groups_(65536) { PrepareReceive(); }

  void Run() {
    while (!gStop) {
      int n = ::recvmmsg(fd_, in_.data(), kInBatch, MSG_WAITFORONE, nullptr);
      if (n < 0) continue;  // EINTR (the stop flag) or a transient error
      for (int i = 0; i < n; ++i) Handle(static_cast<size_t>(i));
      Flush();  // before the receive buffers are reused
      for (int i = 0; i < n; ++i) in_[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
  }
  uint64_t Relayed() const { return relayed_; }

 private:
  static constexpr int kInBatch = 64;
  static constexpr size_t kOutBatch = 1024;  // UIO_MAXIOV, the most sendmmsg takes
  static constexpr size_t kBufferSize = 2048;

  void PrepareReceive() {
    for (int i = 0; i < kInBatch; ++i) {
      inIov_[i] = {inData_[i].data(), kBufferSize};
      in_[i] = {};
      in_[i].msg_hdr.msg_name = &inFrom_[i];
      in_[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
      in_[i].msg_hdr.msg_iov = &inIov_[i];
      in_[i].msg_hdr.msg_iovlen = 1;
    }
  }

  void Handle(size_t i) {
    const size_t size = in_[i].msg_len;
    if (size < kFanoutInHeader) return;
    const uint8_t* data = inData_[i].data();
    const TFanoutHeader h = ReadFanoutHeader(data);
    if (h.Kind == fkJoin) {
      Join(h, inFrom_[i]);
    } else if (h.Kind == fkVoice) {
      for (const TMember& m : groups_[h.Group]) {
        if (!SameMember(m, inFrom_[i], h.ClientId)) AddCopy(m, data + kFanoutInHeader, size - kFanoutInHeader);
      }
    }
  }

  void Join(const TFanoutHeader& h, const sockaddr_in& from) {
    std::vector<TMember>& group = groups_[h.Group];
    bool known = false;
    for (const TMember& m : group) known = known || SameMember(m, from, h.ClientId);
    if (!known) group.push_back({from, h.ClientId});
    uint8_t reply[kFanoutOutHeader];
    WriteFanoutHeader(reply, sizeof reply, {fkJoined, h.Group, h.ClientId});
    ::sendto(fd_, reply, sizeof reply, 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
  }

  void AddCopy(const TMember& m, const uint8_t* payload, size_t size) {
    if (outCount_ == kOutBatch) Flush();
    const size_t k = outCount_++;
    WriteFanoutHeader(outHeader_[k].data(), kFanoutOutHeader, {fkRelayed, 0, m.ClientId});
    outIov_[k][0] = {outHeader_[k].data(), kFanoutOutHeader};
    outIov_[k][1] = {const_cast<uint8_t*>(payload), size};
    out_[k] = {};
    out_[k].msg_hdr.msg_name = const_cast<sockaddr_in*>(&m.Address);
    out_[k].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    out_[k].msg_hdr.msg_iov = outIov_[k].data();
    out_[k].msg_hdr.msg_iovlen = 2;
  }

  void Flush() {
    size_t sent = 0;
    while (sent < outCount_) {
      int n = ::sendmmsg(fd_, out_.data() + sent, static_cast<unsigned>(outCount_ - sent), 0);
      if (n < 0 && errno == EINTR) continue;
      // A datagram the kernel refuses (a full buffer) is skipped, as a relay
      // that must not stall would drop it.
      sent += n > 0 ? static_cast<size_t>(n) : 1;
      relayed_ += n > 0 ? static_cast<uint64_t>(n) : 0;
    }
    outCount_ = 0;
  }

  const int fd_;
  std::vector<std::vector<TMember>> groups_;  // by group number
  std::array<std::array<uint8_t, kBufferSize>, kInBatch> inData_{};
  std::array<sockaddr_in, kInBatch> inFrom_{};
  std::array<iovec, kInBatch> inIov_{};
  std::array<mmsghdr, kInBatch> in_{};
  std::array<std::array<uint8_t, kFanoutOutHeader>, kOutBatch> outHeader_{};
  std::array<std::array<iovec, 2>, kOutBatch> outIov_{};
  std::array<mmsghdr, kOutBatch> out_{};
  size_t outCount_ = 0;
  uint64_t relayed_ = 0;
};

int OpenSocket(uint16_t port, uint16_t& boundPort) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  boundPort = ntohs(address.sin_port);
  return fd;
}

}  // namespace
}  // namespace qv::bench

int main(int argc, char** argv) {
  using namespace qv::bench;
  const uint16_t port = argc > 1 ? static_cast<uint16_t>(std::atoi(argv[1])) : 0;
  InstallStopHandlers();
  uint16_t boundPort = 0;
  const int fd = OpenSocket(port, boundPort);
  if (fd < 0) {
    std::perror("qv-fanout-baseline: bind");
    return 1;
  }
  std::printf("port %u\n", boundPort);
  std::fflush(stdout);
  // The relay's arrays are large; they live on the heap, not the stack.
  auto relay = std::make_unique<TFanoutRelay>(fd);
  relay->Run();
  std::printf("relayed %llu\n", static_cast<unsigned long long>(relay->Relayed()));
  ::close(fd);
  return 0;
}
