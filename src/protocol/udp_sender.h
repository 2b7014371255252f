// TQVUDPSender: the sender thread of one endpoint.
//
// Takes each datagram the packet buffer hands out (GetNextOutgoing) and puts
// it on the endpoint's UDP socket, addressed to the packet's peer. A datagram
// without an address (port 0, a connection without a network peer) is counted
// and dropped, and so is a datagram the socket refuses (logged at most once a
// second). Once the buffer shuts down the thread drains what is immediately
// ready and reports its end to the buffer (MarkThreadDone, sender bit).
//
// Thread rules: Start, Terminate and the destructor are called by the owner.
// The thread leaves GetNextOutgoing only when the buffer shuts down, so the
// owner calls TCustomPacketBuffer::Shutdown before destroying the sender; the
// destructor joins the thread. The buffer and socket must outlive the sender.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "protocol/packet_buffer.h"
#include "protocol/udp_socket.h"

namespace qv {

class TQVUDPSender {
 public:
  TQVUDPSender(TCustomPacketBuffer& buffer, TUDPSocket& socket, int serverId);
  ~TQVUDPSender();
  TQVUDPSender(const TQVUDPSender&) = delete;
  TQVUDPSender& operator=(const TQVUDPSender&) = delete;

  void Start();
  // Asks the thread to end once the buffer is shutting down.
  void Terminate() { terminated_.store(true); }
  void Join();
  bool Running() const { return thread_.joinable(); }

  uint32_t DroppedNoAddress() const { return droppedNoAddress_.load(); }
  uint32_t Sent() const { return sent_.load(); }
  uint32_t SendFailures() const { return sendFailures_.load(); }

 private:
  void Execute();
  // Sends one datagram unless it has no address; raises on send failure.
  void Send(const TPacket& packet);
  void LogError(const char* format, const std::exception& e);

  TCustomPacketBuffer& buffer_;
  TUDPSocket& socket_;
  const int serverId_;
  std::atomic<bool> terminated_{false};
  std::atomic<uint32_t> droppedNoAddress_{0};
  std::atomic<uint32_t> sent_{0};
  std::atomic<uint32_t> sendFailures_{0};
  std::thread thread_;
};

}  // namespace qv
