// TQVUDPSender: the sender thread of one endpoint.
//
// Takes what the packet buffer has ready in batches (TryTakeOutgoing, up to
// kBatch datagrams) and hands each batch to the kernel with sendmmsg,
// addressed to each packet's peer (the socket address its connection built),
// then gives the packets back to the buffer for reuse. A datagram without an
// address (port 0, a connection without a network peer) is counted and
// dropped, and so is a datagram the socket refuses (logged at most once a
// second); the rest of its batch goes out. Once the buffer shuts down the thread drains what is immediately
// ready and reports its end to the buffer (MarkThreadDone, sender bit).
//
// Another thread that has just queued packets (the server's protocol thread
// after relaying a voice datagram) may send them itself with SendReady instead
// of waking the sender thread: a wake-up and a switch between threads cost
// more than the send when only a few datagrams are ready. Taking a batch and
// sending it happen under one lock, so batches leave in the order they were
// taken, whichever thread sends them.
//
// Thread rules: Start, Terminate and the destructor are called by the owner;
// SendReady by any thread while the sender exists and its socket is open.
// The thread leaves its wait only when the buffer shuts down, so the
// owner calls TCustomPacketBuffer::Shutdown before destroying the sender; the
// destructor joins the thread. The buffer and socket must outlive the sender.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

#include "base/mutex.h"
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

  // Sends what is ready (up to one batch) on the calling thread, unless the
  // sender thread is sending at the moment; wakes the sender thread for what
  // it leaves.
  void SendReady();

  uint32_t DroppedNoAddress() const { return droppedNoAddress_.load(); }
  uint32_t Sent() const { return sent_.load(); }
  uint32_t SendFailures() const { return sendFailures_.load(); }

 private:
  // Datagrams per sendmmsg call.
  static constexpr size_t kBatch = 256;

  void Execute();
  // Fills batch_ with what is ready now; false when nothing is, with waitMs
  // until the buffer's next step is due.
  bool TakeBatch(int64_t& waitMs) REQUIRES(sendMutex_);
  // Sends batch_ (all but the unaddressed) and recycles it.
  void SendBatch() REQUIRES(sendMutex_);
  void NoteFailure(const std::exception& e) REQUIRES(sendMutex_);
  void LogError(const char* format, const std::exception& e);

  TCustomPacketBuffer& buffer_;
  TUDPSocket& socket_;
  const int serverId_;
  std::atomic<bool> terminated_{false};
  std::atomic<uint32_t> droppedNoAddress_{0};
  std::atomic<uint32_t> sent_{0};
  std::atomic<uint32_t> sendFailures_{0};
  // Held from taking a batch until it is sent; guards what follows.
  TMutex sendMutex_;
  // The batch and its sendmmsg arguments, kept between batches.
  TPacketList batch_ GUARDED_BY(sendMutex_);
  std::vector<mmsghdr> messages_ GUARDED_BY(sendMutex_);
  std::vector<iovec> iovecs_ GUARDED_BY(sendMutex_);
  std::vector<sockaddr_in> addresses_ GUARDED_BY(sendMutex_);
  std::vector<size_t> indexes_ GUARDED_BY(sendMutex_);  // message -> position in batch_
  bool draining_ GUARDED_BY(sendMutex_) = false;  // after the main loop: failures log "Exception2"
  std::chrono::steady_clock::time_point lastLog_ GUARDED_BY(sendMutex_) = std::chrono::steady_clock::time_point::min();
  std::thread thread_;
};

}  // namespace qv
