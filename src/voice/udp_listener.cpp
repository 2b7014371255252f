#include "voice/udp_listener.h"

#include <fmt/format.h>

#include "base/log.h"
#include "protocol/command_types.h"
#include "voice/channel_handlers.h"
#include "voice/command_table.h"
#include "voice/view_notifications.h"
#include "voice/wire_layouts.h"

namespace qv {

TQVUDPListener::TQVUDPListener(TServerObject& server, TCustomPacketBuffer& buffer)
    : server_(server), context_(server, buffer) {}

TQVUDPListener::~TQVUDPListener() {
  Terminate();
  Join();
}

void TQVUDPListener::Start() {
  if (thread_.joinable()) return;
  context_.Buffer().SetDirectVoice([this](TPacketPtr& packet) { return TakeVoiceOnReader(packet); });
  thread_ = std::thread(&TQVUDPListener::Execute, this);
}

void TQVUDPListener::Terminate() {
  stopping_ = true;
  terminated_ = true;
}

void TQVUDPListener::Join() {
  if (thread_.joinable()) thread_.join();
}

// ---------------------------------------------------------------------------
// The event loop

void TQVUDPListener::Execute() {
  context_.SetServerId(server_.ServerId);
  LoadChannelTree();
  ready_.store(true, std::memory_order_release);
  for (;;) {
    if (terminated_ && context_.Buffer().ShuttingDown()) break;
    if (!WaitForEvent()) break;
    const bool send = HandleEvent();
    packet_.reset();
    // Outside the server's locks: the send waits for no one else.
    if (send) context_.Relay().Sender->SendReady();
  }
  context_.Buffer().MarkThreadDone(kListenerThreadBit);
}

void TQVUDPListener::LoadChannelTree() {
  std::lock_guard<TChannels> lock(*server_.Channels);
  server_.Channels->LoadChannels();
  server_.Channels->SetDefaultChannelMaxUsers(server_.Settings().MaxUsers);
}

// False once the buffer shuts down. A failed wait counts as an event of no
// consequence (an evPacket without packet).
bool TQVUDPListener::WaitForEvent() {
  try {
    context_.Buffer().GetNextEvent(eventPlayerId_, eventKind_, packet_);
  } catch (const std::exception&) {
    eventKind_ = evPacket;
    packet_.reset();
  }
  return eventKind_ != evShutdown;
}

// While the server stops, players are no longer handled, but a connection
// that finished sending its goodbye is dropped at once so that the stop need
// not wait for it.
void TQVUDPListener::DropClosedConnection() {
  if (eventKind_ == evClosed || eventKind_ == evTimedOut) context_.Buffer().RemoveConnection(eventPlayerId_);
}

void TQVUDPListener::ProcessEvent(uint32_t playerId, TEventKind kind, TPacketPtr packet) {
  eventPlayerId_ = playerId;
  eventKind_ = kind;
  packet_ = std::move(packet);
  HandleEvent();
  packet_.reset();
}

bool TQVUDPListener::TakeVoiceOnReader(TPacketPtr& packet) {
  if (!ready_.load(std::memory_order_acquire)) return false;
  bool send = false;
  {
    if (!server_.Clients->try_lock()) return false;
    std::lock_guard<TClients> players(*server_.Clients, std::adopt_lock);
    if (!server_.Channels->try_lock()) return false;
    std::lock_guard<TChannels> channels(*server_.Channels, std::adopt_lock);
    // Once the stop has begun, voice is dropped here as the thread drops it.
    if (!stopping_) {
      try {
        context_.BeginEvent(server_.Clients->GetClientByID(packet->PlayerId()));
        RelayVoice(context_.CurrentPlayer(), *packet);
      } catch (const std::exception& e) {
        context_.LogError(fmt::format("Execute Exception: {}", ExceptionText(e)));
      }
      context_.EndEvent();
    }
    send = TakeSendPending();
  }
  packet.reset();
  if (send) context_.Relay().Sender->SendReady();
  return true;
}

bool TQVUDPListener::TakeSendPending() {
  TVoiceRelayState& relay = context_.Relay();
  const bool pending = relay.SendPending;
  relay.SendPending = false;
  return pending;
}

bool TQVUDPListener::HandleEvent() {
  std::lock_guard<TClients> players(*server_.Clients);
  std::lock_guard<TChannels> channels(*server_.Channels);
  // The stop may have begun while this thread waited for the locks: its
  // removal of every player has run, and the event is no longer handled.
  if (stopping_) {
    DropClosedConnection();
    return TakeSendPending();
  }
  try {
    context_.BeginEvent(server_.Clients->GetClientByID(eventPlayerId_));
    if (DispatchEvent()) {
      if (context_.DisconnectRequested()) DisconnectPlayer();
      ResetPlayerIdsWhenIdle();
    }
  } catch (const std::exception& e) {
    context_.LogError(fmt::format("Execute Exception: {}", ExceptionText(e)));
  }
  context_.EndEvent();
  // Logins whose account check has come back (the check's end woke the loop).
  context_.LoginChecks().RunFinished(context_);
  return TakeSendPending();
}

bool TQVUDPListener::DispatchEvent() {
  switch (eventKind_) {
    case evPacket:
      return DispatchPacket();
    case evTimedOut:
    case evClosed: context_.RequestDisconnect(); return true;
    case evExternal: return !RunExternalCommand(context_);
    case evShutdown:
      break;
  }
  return true;
}

bool TQVUDPListener::DispatchPacket() {
  if (!packet_) return true;
  TPacket& packet = *packet_;
  TClientRec* player = context_.CurrentPlayer();
  if (packet.IsC2SVoice()) {
    RelayVoice(player, packet);
    return player == nullptr;
  }
  if (player) player->LastActivity = Now();
  std::span<const TRequestRow> table;
  if (packet.IsControl()) {
    table = kControlCommands;
  } else if (packet.IsCommand()) {
    table = kClientCommands;
  }
  if (const TRequestRow* row = FindRow(table, packet.CommandType())) RunRequest(context_, *row, player, packet);
  return true;
}

// Voice without a player (during his login, say) is dropped.
void TQVUDPListener::RelayVoice(TClientRec* speaker, TPacket& packet) {
  if (!speaker) return;
  speaker->LastActivity = Now();
  if (const TRequestRow* row = FindRow(kVoiceTargets, packet.VoiceTarget())) {
    RunRequest(context_, *row, speaker, packet, false);
  }
}

// ---------------------------------------------------------------------------
// Disconnect and the player-id counter

void TQVUDPListener::DisconnectPlayer() {
  if (TClientRec* player = context_.CurrentPlayer()) {
    context_.LogAccess(RemoteLine("client disconnected. [Nick: {}]", player->NickName.str()));
    context_.Channels().ClientLeftChannel(context_.Channels().GetChannelById(player->ChannelId), player);
    voice::NotifyPlayerLeftScope(context_, player->PlayerId, lrLeftServer, "", 0);
    std::unique_ptr<TClientRec> gone = context_.Clients().DeleteClient(player);
    context_.ForgetCurrentPlayer();
  }
  context_.Channels().ClearChannelClientLists(static_cast<int32_t>(eventPlayerId_));
  context_.Channels().ClearChannelAttribs(static_cast<int32_t>(eventPlayerId_));
  context_.Buffer().RemoveConnection(eventPlayerId_);
  voice::ClearChannelUp(context_, -1);
}

// Player ids start again at 1 once nobody is connected, so that they stay
// small on a long-running server.
void TQVUDPListener::ResetPlayerIdsWhenIdle() {
  if (context_.Buffer().ConnectionCount() != 0) return;
  if (server_.Clients->Count() > 0) {
    context_.LogError("unable to reset playerid.");
  } else {
    server_.Clients->ResetPlayerIds();
  }
}

// ---------------------------------------------------------------------------
// Stop

// Every player's connection closes now, also that of a player who is
// already leaving: his disconnect line would otherwise come only when the
// protocol thread sees the close, which it no longer handles.
void TQVUDPListener::RemoveAllPlayers() {
  for (const auto& player : context_.Clients().Items()) {
    context_.LogAccess(RemoteLine("client disconnected. [Nick: {}]", player->NickName.str()));
    if (player->Removing) continue;
    player->Removing = true;
    auto packet = NewCommandPacket(qv::CMD_sc_NotifyPlayerLeftScope, player->ConnectionId, player->PlayerId);
    packet->SetSize(LeftScopeLayout::Size);
    packet->SetU32(LeftScopeLayout::PlayerId, player->PlayerId);
    packet->SetU16(LeftScopeLayout::Reason, lrServerStops);
    context_.SendPacket(std::move(packet), true);
  }
}

}  // namespace qv
