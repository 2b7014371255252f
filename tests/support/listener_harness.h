// A server object with its player list, channel tree and a packet buffer,
// but no threads and no socket: its protocol thread's handling is driven one
// event at a time (TQVUDPListener::ProcessEvent), its handlers are called
// over the listener's context, and what it sends is read straight from the
// buffer.
#pragma once

#include <cstdint>
#include <memory>

#include "model/server_object.h"
#include "protocol/packet_buffer.h"
#include "voice/udp_listener.h"

namespace qv::test {

class TListenerHarness {
 public:
  explicit TListenerHarness(int32_t serverId) : server(TScriptStorage{}, registry) {
    server.CreateModel(serverId);
    listener = std::make_unique<TQVUDPListener>(server, buffer);
  }
  ~TListenerHarness() { listener.reset(); }
  TListenerHarness(const TListenerHarness&) = delete;
  TListenerHarness& operator=(const TListenerHarness&) = delete;

  // What the listener's handlers work with: tests call them over it.
  TListenerContext& Context() { return listener->Context(); }

  // The server's settings as a test wants them (there is no storage to keep them).
  template <typename Edit>
  void EditSettings(Edit edit) {
    server.ChangeSettings([&](TServerSettings& s) { edit(s); });
  }

  TServerRegistry registry;
  TServerObject server;
  TCustomPacketBuffer buffer{kSideServer, 7};
  std::unique_ptr<TQVUDPListener> listener;
};

}  // namespace qv::test
