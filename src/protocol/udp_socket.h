// TUDPSocket: a bound UDP socket with its own reader thread.
//
// Open binds to a port (0: any free port) on all local addresses or on one;
// Start runs a reader thread that receives every datagram into a buffer of
// the given size (8192 bytes on a server: longer datagrams are dropped), up to a
// batch per system call, and calls the read handler with the
// bytes and the sender's IPv4 address text and port. SendTo puts a datagram on
// the same socket, so replies leave from the bound port. The server binds its
// voice port; a client (tools, tests, load generators) binds port 0.
//
// Thread rules: Open, Start and Close are called by the owner; SendTo may be
// called from any thread while the socket is open. The handler runs on the
// reader thread and must not call Close. Destruction closes the socket and
// joins the reader.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include <sys/socket.h>

#include "base/exception.h"
#include "protocol/packets.h"

namespace qv {

QV_EXCEPTION_CLASS(ESocketError, Exception);

// A call with sendmmsg's contract: sends messages from the front and returns
// how many went out, or -1 (errno set) when the first one failed.
using TSendManyCall = std::function<int(mmsghdr* messages, unsigned count)>;
// Called with the index and errno of a message the kernel refused.
using TSendFailure = std::function<void(unsigned index, int error)>;

// Sends every message with as few calls as it takes: after a partial result
// the rest follows, a refused message is dropped (onFailure) and sending goes
// on after it, so one bad datagram costs only itself. Returns how many went
// out.
size_t SendAllMessages(mmsghdr* messages, unsigned count, const TSendManyCall& send,
                       const TSendFailure& onFailure);

class TUDPSocket {
 public:
  static constexpr size_t kReceiveBufferSize = 8192;
  // Clients take whatever a server relays: a relayed voice packet is a few
  // bytes longer than the largest datagram the server accepts.
  static constexpr size_t kLargestDatagram = 65535;
  using TReadHandler =
      std::function<void(const uint8_t* data, size_t size, const std::string& ip, uint16_t port)>;

  TUDPSocket() = default;
  ~TUDPSocket();
  TUDPSocket(const TUDPSocket&) = delete;
  TUDPSocket& operator=(const TUDPSocket&) = delete;

  // Raises ESocketError when the address is no IPv4 address or the bind fails.
  void Open(uint16_t port, const std::string& bindAddress = "");
  // Starts the reader thread; the socket must be open. Datagrams longer than
  // maxDatagram bytes are dropped.
  void Start(TReadHandler handler, size_t maxDatagram = kReceiveBufferSize);
  // Stops the reader and closes the socket; safe to call twice.
  void Close();

  bool Active() const { return active_.load(); }
  // The bound port (useful after Open(0)).
  uint16_t LocalPort() const { return localPort_; }

  // Raises ESocketError when the address is invalid or the send fails.
  void SendTo(const uint8_t* data, size_t size, const std::string& ip, uint16_t port);
  void SendPacket(const TPacket& packet) {
    SendTo(packet.Data(), packet.Size(), packet.PeerIp(), packet.PeerPort());
  }
  // One sendmmsg call on the socket (contract of TSendManyCall).
  int SendMany(mmsghdr* messages, unsigned count);

 private:
  void ReadLoop(TReadHandler handler, size_t maxDatagram);

  int fd_ = -1;
  uint16_t localPort_ = 0;
  std::atomic<bool> active_{false};
  std::thread reader_;
};

}  // namespace qv
