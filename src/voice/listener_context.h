// TListenerContext: what the protocol thread's handlers work with.
//
// One per running virtual server, owned by its TQVUDPListener. It carries
// the server's player list and channel tree, the packet buffer, the sending
// of packets and error replies, the log helpers, the player of the event in
// hand and the voice relay's reusable scratch. Handlers are free functions
// over it (namespace qv::voice, one header per command group).
//
// Thread rules: used on the listener thread only, one event at a time, while
// the listener holds the server's player-list lock and then its channel-tree
// lock (tests drive it the same way, without the thread). The packet buffer's
// lock is a leaf inside buffer calls. The account checks of voice logins
// (LoginChecks) run on the password pool's workers and come back to this
// thread; the context's end waits for the checks at work and drops the rest.
//
// What the thread-safety analysis sees of that rule: the listener's own
// dispatch REQUIRES both locks and takes them around each event (checked,
// voice/udp_listener.h); Clients() and Channels() then state that they are
// held (ASSERT_CAPABILITY) for the handlers. Stated, not checked, because
// the handlers are reached through the command tables' function pointers
// (voice/command_table.h): the analysis looks at one function at a time and
// does not carry a REQUIRES through a pointer, so a REQUIRES on each handler
// would be checked inside it but never at its call.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "base/thread_annotations.h"
#include "model/server_object.h"
#include "protocol/packet_buffer.h"
#include "protocol/packets.h"
#include "protocol/udp_sender.h"
#include "voice/login_checks.h"

namespace qv {

// The voice relay's state between datagrams: the relayed packet of the
// current datagram and its recipients (both reused, the buffer reuses the
// copies' packets, so relaying allocates nothing in the steady state) and the
// count of parent-channel voice without a parent channel.
struct TVoiceRelayState {
  TPacket Image;
  std::vector<TVoiceCopy> Copies;
  uint32_t ParentChannelMisses = 0;
  TQVUDPSender* Sender = nullptr;  // set before the thread starts
  bool SendPending = false;        // copies queued without waking the sender
};

class TListenerContext {
 public:
  TListenerContext(TServerObject& server, TCustomPacketBuffer& buffer);
  ~TListenerContext();
  TListenerContext(const TListenerContext&) = delete;
  TListenerContext& operator=(const TListenerContext&) = delete;

  // The server's player list and channel tree, held by the listener for the
  // event in hand (see the thread rules above).
  TClients& Clients() const RETURN_CAPABILITY(*server_.Clients) ASSERT_CAPABILITY(*server_.Clients) {
    return *server_.Clients;
  }
  TChannels& Channels() const RETURN_CAPABILITY(*server_.Channels) ASSERT_CAPABILITY(*server_.Channels) {
    return *server_.Channels;
  }
  TCustomPacketBuffer& Buffer() const { return buffer_; }
  TServerObject& Server() const { return server_; }
  int32_t ServerId() const { return serverId_; }
  void SetServerId(int32_t id) { serverId_ = id; }

  // The player of the event in hand (nullptr when the event has none) and
  // whether he is to be disconnected once the handler returns.
  TClientRec* CurrentPlayer() const { return player_; }
  void BeginEvent(TClientRec* player) {
    player_ = player;
    disconnect_ = false;
  }
  void EndEvent() { player_ = nullptr; }
  void ForgetCurrentPlayer() { player_ = nullptr; }
  void RequestDisconnect() { disconnect_ = true; }
  bool DisconnectRequested() const { return disconnect_; }

  TVoiceRelayState& Relay() { return relay_; }

  // The voice logins waiting for their account check, and the pool the
  // checks run on (the server's, else the process's).
  TLoginChecks& LoginChecks() const { return *loginChecks_; }
  TPasswordCheckPool& PasswordChecks() const { return passwordChecks_ ? *passwordChecks_ : SharedPasswordChecks(); }

  // Queues a packet for the player named in its header; a full queue costs
  // this recipient the packet (logged), the others still get theirs.
  void SendPacket(TPacketPtr packet, bool closeAfter = false);
  // The error reply to the current request, addressed to the current player
  // (or to the given one): the code's 16 bits as command type, then the
  // request's type and sequence.
  void SendError(int32_t code, uint16_t requestType, uint32_t requestSequence);
  void SendError(const TClientRec& to, int32_t code, uint16_t requestType, uint32_t requestSequence);

  // "SID: <id> <text>" to "UDP Listener" (errors), "AccessLog" or "UDP
  // VOICE". Lines that carry what a remote peer sent (its address, its
  // names) are passed as TRemoteLine, so that a flood of them is limited by
  // their shape.
  void LogError(const std::string& text) const;
  void LogError(const TRemoteLine& line) const;
  void LogAccess(const std::string& text) const;
  void LogAccess(const TRemoteLine& line) const;
  void LogVoice(const std::string& text) const;
  // A handler's exception line: "<name> Exception: <class>.<message>".
  void LogHandlerException(std::string_view handler, const std::exception& e) const;

 private:
  TServerObject& server_;
  TCustomPacketBuffer& buffer_;
  int32_t serverId_ = 0;
  TClientRec* player_ = nullptr;
  bool disconnect_ = false;
  TVoiceRelayState relay_;
  const std::shared_ptr<TPasswordCheckPool> passwordChecks_;
  const std::shared_ptr<TLoginChecks> loginChecks_;
};

}  // namespace qv
