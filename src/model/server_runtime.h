// TServerRuntime: the network side of one running virtual server.
//
// The UDP socket, the packet buffer, the protocol thread and the sender
// thread live behind this interface; the voice module implements it
// (TVoiceRuntime) and the registry's factory makes one for every server that
// starts. The model itself never touches a socket or a packet.
//
// Thread rules: Start and Stop run on the server owner's thread, Stop after a
// successful Start only. WakeListener may be called from any thread between
// the two.
#pragma once

#include <functional>
#include <memory>

namespace qv {

class TServerObject;

class TServerRuntime {
 public:
  virtual ~TServerRuntime() = default;
  // Creates the packet buffer, starts the protocol and sender threads and
  // opens the socket on the server's port (and bound address). False when
  // the socket cannot be opened: the failure is logged and everything that
  // was started is stopped again.
  virtual bool Start() = 0;
  // Says goodbye to every player, gives the connections a moment to close,
  // ends the threads and closes the socket. The server's player list and
  // channel tree stay; nothing in the runtime uses them afterwards.
  virtual void Stop() = 0;
  // Wakes the protocol thread: an external command is waiting.
  virtual void WakeListener() = 0;
};

// Makes the runtime of a starting server (not yet started).
using TRuntimeFactory = std::function<std::unique_ptr<TServerRuntime>(TServerObject&)>;

}  // namespace qv
