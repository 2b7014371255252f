#include "voice/voice_runtime.h"

#include <fmt/format.h>

#include <chrono>
#include <thread>

#include "base/log.h"
#include "voice/udp_listener.h"

namespace qv {

namespace {
constexpr const char* kLogCategory = "TServerObject";
constexpr int kStopPollLimit = 350;  // ms the stop waits for connections to close
constexpr int kShutdownWaitMs = 2000;
}  // namespace

TVoiceRuntime::TVoiceRuntime(TServerObject& server) : server_(server) {}

TVoiceRuntime::~TVoiceRuntime() { Stop(); }

std::unique_ptr<TServerRuntime> TVoiceRuntime::Create(TServerObject& server) {
  return std::make_unique<TVoiceRuntime>(server);
}

TVoiceRuntime* TVoiceRuntime::Of(const TServerObject& server) {
  return dynamic_cast<TVoiceRuntime*>(server.Runtime());
}

TBufferLease::TBufferLease(const TServerObject& server) : lease_(server.LeaseRuntime()) {
  if (auto* runtime = dynamic_cast<TVoiceRuntime*>(lease_.get())) buffer_ = &runtime->Buffer();
}

bool TVoiceRuntime::Start() {
  const uint32_t port = server_.Settings().UdpPort;
  buffer_ = std::make_unique<TCustomPacketBuffer>(kSideServer, cfRetransmit | cfTimeouts);
  buffer_->SetLogPrefix(fmt::format("SID: {} ", server_.ServerId));
  socket_ = std::make_unique<TUDPSocket>();
  listener_ = std::make_unique<TQVUDPListener>(server_, *buffer_);
  buffer_->SetCounters(server_.Counters);
  sender_ = std::make_unique<TQVUDPSender>(*buffer_, *socket_, server_.ServerId);
  listener_->SetSender(sender_.get());
  listener_->Start();
  sender_->Start();
  try {
    socket_->Open(static_cast<uint16_t>(port), server_.BoundToIp);
    socket_->Start([this](const uint8_t* data, size_t size, const std::string& ip, uint16_t peerPort) {
      OnUDPRead(data, size, ip, peerPort);
    });
  } catch (const std::exception& e) {
    LogFmt(lmtError, lmdAll, "SID: %1 Server startup failed with port %2, Exception: %3", kLogCategory,
           server_.ServerId, port, ExceptionText(e));
    StopThreads();
    Free();
    return false;
  }
  return true;
}

void TVoiceRuntime::OnUDPRead(const uint8_t* data, size_t size, const std::string& ip, uint16_t port) {
  // The reader thread is joined before the buffer is freed, so the buffer is
  // there; a buffer that is shutting down takes nothing more.
  if (buffer_->ShuttingDown() || !socket_->Active()) return;
  try {
    buffer_->ReceivePacket(std::make_unique<TPacket>(data, size, ip, port));
  } catch (...) {
    // Invalid datagrams vanish without trace.
  }
}

void TVoiceRuntime::WakeListener() {
  if (buffer_) buffer_->WakeListener();
}

void TVoiceRuntime::Stop() {
  if (!buffer_) return;
  listener_->Terminate();
  {
    std::lock_guard<TClients> players(*server_.Clients);
    std::lock_guard<TChannels> channels(*server_.Channels);
    listener_->RemoveAllPlayers();
  }
  // The goodbye packets leave while their connections close; the protocol
  // thread drops each connection as it finishes closing.
  for (int i = 0; i < kStopPollLimit && buffer_->ConnectionCount() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  StopThreads();
  Free();
}

// Ends the protocol and sender threads, then the socket's reader, so that
// nothing uses the buffer or the socket any more.
void TVoiceRuntime::StopThreads() {
  sender_->Terminate();
  buffer_->Shutdown(kShutdownWaitMs);
  listener_->Join();
  sender_->Join();
  socket_->Close();
}

void TVoiceRuntime::Free() {
  sender_.reset();
  listener_.reset();
  socket_.reset();
  buffer_.reset();
}

}  // namespace qv
