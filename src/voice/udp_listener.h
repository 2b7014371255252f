// TQVUDPListener: the protocol thread of one running virtual server.
//
// The only thread that interprets the voice protocol. It takes the events of
// the server's packet buffer one at a time, looks up the player the event
// belongs to, and runs the handler the command tables (command_table.h)
// name for the packet's class and command type; it turns time-outs and
// closed connections into disconnects, runs the external commands that
// the administration interfaces queue on the server, and finishes the voice
// logins whose account check has come back from a worker (login_checks.h). The handlers are free
// functions over the listener's TListenerContext, one header per group of
// commands (login_handlers.h, channel_handlers.h, player_handlers.h,
// info_handlers.h, voice_relay.h, external_commands.h; view_notifications.h
// and permission_checks.h hold what they share).
//
// Voice datagrams that arrive while the thread waits for its next event are
// relayed on the socket's reader thread instead (TakeVoiceOnReader, called by
// the packet buffer), which spares the hand-over and the wake-up of this
// thread per datagram; the reader takes the same two locks, and only when
// both are free, so voice the reader cannot relay at once takes the usual
// way through the event queue.
//
// Thread rules: Start, Terminate, RemoveAllPlayers and Join are called by the
// server's network side (TVoiceRuntime). Everything else runs on the listener
// thread, one event at a time, or on the reader for its voice, while it holds
// the server's player-list lock and then its channel-tree lock; handlers
// therefore never race with each other and need no locking of their own. The packet buffer's lock is a leaf
// inside buffer calls. A started listener ends only once the packet buffer
// shuts down, so its owner shuts the buffer down before Join or destruction.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "base/thread_annotations.h"
#include "model/server_object.h"
#include "protocol/packet_buffer.h"
#include "protocol/packets.h"
#include "protocol/udp_sender.h"
#include "voice/listener_context.h"

namespace qv {

class TQVUDPListener {
 public:
  // The server's model and settings, and the buffer its events come from.
  TQVUDPListener(TServerObject& server, TCustomPacketBuffer& buffer);
  ~TQVUDPListener();
  TQVUDPListener(const TQVUDPListener&) = delete;
  TQVUDPListener& operator=(const TQVUDPListener&) = delete;

  // The sender of the server's socket, set before Start: relayed voice is
  // then sent on this thread once the event is handled (TQVUDPSender::
  // SendReady) instead of waking the sender thread for every datagram.
  void SetSender(TQVUDPSender* sender) { context_.Relay().Sender = sender; }
  // Starts the thread and makes the buffer hand voice to the reader's relay
  // (TakeVoiceOnReader); called before the socket's reader starts.
  void Start();
  // Sets the stopping flag: from now on the thread handles no more events.
  void Terminate();
  // Tells every player that the server stops and closes his connection, and
  // writes the access-log line of every player's disconnect. The caller holds
  // the player-list lock, then the channel-tree lock (not annotated: the
  // caller names the lists through its own reference to the server, which
  // the analysis cannot tell from the listener's).
  void RemoveAllPlayers();
  // Waits for the thread to end (the packet buffer must be shutting down).
  void Join();

  // Handles one event as the thread's loop does: takes both locks, finds the
  // player, dispatches, disconnects when asked to. The loop calls it; tests
  // drive a listener without thread through it.
  void ProcessEvent(uint32_t playerId, TEventKind kind, TPacketPtr packet);
  // The reader's relay of one voice datagram: takes it (true) when both
  // locks are free and relays it as the thread would, then sends the copies;
  // leaves it (false) otherwise, and before the thread has loaded the
  // channel tree.
  bool TakeVoiceOnReader(TPacketPtr& packet) EXCLUDES(*server_.Clients, *server_.Channels);

  // What the handlers work with (tests call handlers over it, holding no lock
  // as no other thread runs).
  TListenerContext& Context() { return context_; }

 private:
  void Execute();
  void LoadChannelTree();
  bool WaitForEvent();
  void DropClosedConnection();
  // Takes the player-list lock, then the channel-tree lock, for the event;
  // true when relayed voice waits to be sent (TQVUDPSender::SendReady, once
  // the locks are released).
  bool HandleEvent() EXCLUDES(*server_.Clients, *server_.Channels);
  bool TakeSendPending() REQUIRES(*server_.Clients, *server_.Channels);
  void RelayVoice(TClientRec* speaker, TPacket& packet) REQUIRES(*server_.Clients, *server_.Channels);
  // False when the event is complete and the disconnect and id reset are skipped.
  bool DispatchEvent() REQUIRES(*server_.Clients, *server_.Channels);
  bool DispatchPacket() REQUIRES(*server_.Clients, *server_.Channels);
  void DisconnectPlayer() REQUIRES(*server_.Clients, *server_.Channels);
  void ResetPlayerIdsWhenIdle() REQUIRES(*server_.Clients);

  TServerObject& server_;
  TListenerContext context_;

  // The current event: listener thread only.
  uint32_t eventPlayerId_ = 0;
  TEventKind eventKind_ = evPacket;
  TPacketPtr packet_;

  std::atomic<bool> ready_{false};       // the channel tree is loaded: the reader may relay
  std::atomic<bool> stopping_{false};    // set by Terminate; no events are handled
  std::atomic<bool> terminated_{false};  // set by Terminate; the loop ends at shutdown
  std::thread thread_;
};

}  // namespace qv
