// TVoiceRuntime: the network side of a running virtual server (the
// model's TServerRuntime): its packet buffer, the protocol thread
// (TQVUDPListener), the sender thread and the UDP socket with its reader.
//
// Start creates them in that order and opens the socket last; Stop takes
// the players off the server, gives their connections up to 350 ms to
// close, ends the threads and frees the parts in reverse order.
//
// Thread rules: as TServerRuntime. The socket's reader thread only hands
// datagrams to the buffer (OnUDPRead); the buffer's lock is a leaf.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "model/server_object.h"
#include "model/server_runtime.h"
#include "protocol/packet_buffer.h"
#include "protocol/udp_sender.h"
#include "protocol/udp_socket.h"

namespace qv {

class TQVUDPListener;

class TVoiceRuntime : public TServerRuntime {
 public:
  explicit TVoiceRuntime(TServerObject& server);
  ~TVoiceRuntime() override;
  TVoiceRuntime(const TVoiceRuntime&) = delete;
  TVoiceRuntime& operator=(const TVoiceRuntime&) = delete;

  // The factory the server registry uses.
  static std::unique_ptr<TServerRuntime> Create(TServerObject& server);
  // The voice runtime of a running server; nullptr when it has none.
  static TVoiceRuntime* Of(const TServerObject& server);

  bool Start() override;
  void Stop() override;
  void WakeListener() override;

  // While started.
  TCustomPacketBuffer& Buffer() const { return *buffer_; }
  TQVUDPSender& Sender() const { return *sender_; }

 private:
  void OnUDPRead(const uint8_t* data, size_t size, const std::string& ip, uint16_t port);
  void StopThreads();
  void Free();

  TServerObject& server_;
  std::unique_ptr<TCustomPacketBuffer> buffer_;
  std::unique_ptr<TUDPSocket> socket_;
  std::unique_ptr<TQVUDPListener> listener_;
  std::unique_ptr<TQVUDPSender> sender_;
};

// The packet buffer of a running server, held for an administration thread:
// the server's Stop waits until the holder lets go. Empty when the server
// does not run (or runs without a network side).
class TBufferLease {
 public:
  TBufferLease() = default;
  explicit TBufferLease(const TServerObject& server);
  explicit operator bool() const { return buffer_ != nullptr; }
  TCustomPacketBuffer* operator->() const { return buffer_; }
  TCustomPacketBuffer& operator*() const { return *buffer_; }

 private:
  TServerObject::TRuntimeLease lease_;
  TCustomPacketBuffer* buffer_ = nullptr;
};

}  // namespace qv
