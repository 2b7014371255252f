#include "protocol/udp_sender.h"

#include <chrono>
#include <cstring>

#include <arpa/inet.h>

#include "base/log.h"

namespace qv {

namespace {

constexpr const char* kCategory = "TQVUDPSender.Execute";

}  // namespace

TQVUDPSender::TQVUDPSender(TCustomPacketBuffer& buffer, TUDPSocket& socket, int serverId)
    : buffer_(buffer), socket_(socket), serverId_(serverId) {
  batch_.reserve(kBatch);
  messages_.resize(kBatch);
  iovecs_.resize(kBatch);
  addresses_.resize(kBatch);
  indexes_.resize(kBatch);
}

TQVUDPSender::~TQVUDPSender() {
  Terminate();
  Join();
}

void TQVUDPSender::Start() {
  if (!thread_.joinable()) thread_ = std::thread(&TQVUDPSender::Execute, this);
}

void TQVUDPSender::Join() {
  if (thread_.joinable()) thread_.join();
}

void TQVUDPSender::LogError(const char* format, const std::exception& e) {
  const auto* q = dynamic_cast<const Exception*>(&e);
  std::string cls = q ? q->ClassName() : "std::exception";
  LogFmt(lmtError, lmdImportant, std::string("SID: %1 ") + format, kCategory, serverId_, cls,
         std::string(e.what()));
}

// One datagram that cannot be sent (a refused or unroutable address) must not
// silence the whole server: it is dropped, the reliable layer resends
// commands. At most one line per second.
void TQVUDPSender::NoteFailure(const std::exception& e) {
  sendFailures_.fetch_add(1);
  TServerCounters::Add(buffer_.Counters().SendFailures);
  auto now = std::chrono::steady_clock::now();
  if (now - lastLog_ >= std::chrono::seconds(1)) {
    lastLog_ = now;
    LogError(draining_ ? "Exception2 %2.%3" : "Exception1 %2.%3", e);
  }
}

// Exceptions of the buffer's step are not the sender's to handle: the
// connection state they concern is the buffer's.
bool TQVUDPSender::TakeBatch(int64_t& waitMs) {
  batch_.clear();
  waitMs = 0;
  try {
    buffer_.TryTakeOutgoing(batch_, kBatch, waitMs);
  } catch (...) {
  }
  return !batch_.empty();
}

void TQVUDPSender::SendReady() {
  if (!sendMutex_.try_lock()) {
    // The sender thread takes the next batch as soon as it has sent this one.
    buffer_.WakeSender();
    return;
  }
  TMutexLock lock(sendMutex_, kAdoptLock);
  int64_t waitMs = 0;
  if (!TakeBatch(waitMs)) return;
  // Under load more is ready than one batch: the rest is the sender
  // thread's, so that the caller returns to its own work.
  const bool more = batch_.size() == kBatch;
  SendBatch();
  if (more) buffer_.WakeSender();
}

void TQVUDPSender::SendBatch() {
  unsigned count = 0;
  for (size_t i = 0; i < batch_.size(); ++i) {
    const TPacket& packet = *batch_[i];
    // A connection without a network peer (port 0) still produces output; it
    // must neither reach the network nor count as a send failure.
    if (packet.PeerPort() == 0) {
      droppedNoAddress_.fetch_add(1);
      continue;
    }
    sockaddr_in& to = addresses_[count];
    if (const sockaddr_in* built = packet.PeerAddress()) {
      to = *built;
    } else {
      // A connectionless packet carries only the address text.
      to = sockaddr_in{};
      to.sin_family = AF_INET;
      to.sin_port = htons(packet.PeerPort());
      if (inet_pton(AF_INET, packet.PeerIp().c_str(), &to.sin_addr) != 1) {
        NoteFailure(ESocketError("Invalid address " + packet.PeerIp()));
        continue;
      }
    }
    iovecs_[count] = iovec{const_cast<uint8_t*>(packet.Data()), packet.Size()};
    mmsghdr& m = messages_[count];
    m = mmsghdr{};
    m.msg_hdr.msg_name = &to;
    m.msg_hdr.msg_namelen = sizeof to;
    m.msg_hdr.msg_iov = &iovecs_[count];
    m.msg_hdr.msg_iovlen = 1;
    indexes_[count] = i;
    ++count;
  }
  size_t sent = SendAllMessages(
      messages_.data(), count, [this](mmsghdr* m, unsigned n) { return socket_.SendMany(m, n); },
      [this](unsigned index, int error) {
        sendMutex_.AssertHeld();  // called inside SendAllMessages, under SendBatch's lock
        const TPacket& packet = *batch_[indexes_[index]];
        NoteFailure(ESocketError("sendto " + packet.PeerIp() + ":" + std::to_string(packet.PeerPort()) +
                                 ": " + std::strerror(error)));
      });
  sent_.fetch_add(static_cast<uint32_t>(sent));
  buffer_.Recycle(batch_);
}

void TQVUDPSender::Execute() {
  int64_t waitMs = 0;
  for (;;) {
    if (terminated_.load() && buffer_.ShuttingDown()) break;
    {
      TMutexLock lock(sendMutex_);
      if (TakeBatch(waitMs)) {
        SendBatch();
        continue;
      }
    }
    if (buffer_.ShuttingDown()) break;
    buffer_.WaitForOutgoing(waitMs);
  }
  // What was ready when shutdown began still goes out.
  TMutexLock lock(sendMutex_);
  draining_ = true;
  while (TakeBatch(waitMs)) SendBatch();
  buffer_.MarkThreadDone(kSenderThreadBit);
}

}  // namespace qv
