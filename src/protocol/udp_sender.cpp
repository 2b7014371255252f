#include "protocol/udp_sender.h"

#include <chrono>

#include "base/log.h"

namespace qv {

namespace {

constexpr const char* kCategory = "TQVUDPSender.Execute";

// Exceptions of the buffer's step are not the sender's to handle: the
// connection state they concern is the buffer's.
TPacketPtr NextOutgoing(TCustomPacketBuffer& buffer) {
  try {
    return buffer.GetNextOutgoing(-1);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

TQVUDPSender::TQVUDPSender(TCustomPacketBuffer& buffer, TUDPSocket& socket, int serverId)
    : buffer_(buffer), socket_(socket), serverId_(serverId) {}

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

void TQVUDPSender::Send(const TPacket& packet) {
  // A connection without a network peer (port 0) still produces output; it
  // must neither reach the network nor count as a send failure.
  if (packet.PeerPort() == 0) {
    droppedNoAddress_.fetch_add(1);
    return;
  }
  socket_.SendPacket(packet);
  sent_.fetch_add(1);
}

void TQVUDPSender::LogError(const char* format, const std::exception& e) {
  const auto* q = dynamic_cast<const Exception*>(&e);
  std::string cls = q ? q->ClassName() : "std::exception";
  LogFmt(lmtError, lmdImportant, std::string("SID: %1 ") + format, kCategory, serverId_, cls,
         std::string(e.what()));
}

void TQVUDPSender::Execute() {
  auto lastLog = std::chrono::steady_clock::time_point::min();
  for (;;) {
    if (terminated_.load() && buffer_.ShuttingDown()) break;
    TPacketPtr packet = NextOutgoing(buffer_);
    if (!packet) break;
    try {
      Send(*packet);
    } catch (const std::exception& e) {
      // One datagram that cannot be sent (a refused or unroutable address)
      // must not silence the whole server: drop it, the reliable layer
      // resends commands. Log at most one line per second.
      sendFailures_.fetch_add(1);
      TServerCounters::Add(buffer_.Counters().SendFailures);
      auto now = std::chrono::steady_clock::now();
      if (now - lastLog >= std::chrono::seconds(1)) {
        lastLog = now;
        LogError("Exception1 %2.%3", e);
      }
    }
  }
  try {
    while (TPacketPtr packet = NextOutgoing(buffer_)) Send(*packet);
  } catch (const std::exception& e) {
    LogError("Exception2 %2.%3", e);
  }
  buffer_.MarkThreadDone(kSenderThreadBit);
}

}  // namespace qv
