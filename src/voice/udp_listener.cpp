#include "voice/udp_listener.h"

#include <fmt/format.h>

#include "base/log.h"
#include "protocol/command_types.h"

namespace qv {

namespace {
constexpr const char* kErrorCategory = "UDP Listener";
constexpr const char* kAccessCategory = "AccessLog";
}  // namespace

TQVUDPListener::TQVUDPListener(TServerObject& server, TCustomPacketBuffer& buffer)
    : server_(server), buffer_(buffer), serverId_(server.ServerId) {}

TQVUDPListener::~TQVUDPListener() {
  Terminate();
  Join();
}

void TQVUDPListener::Start() {
  if (!thread_.joinable()) thread_ = std::thread(&TQVUDPListener::Execute, this);
}

void TQVUDPListener::Terminate() {
  stopping_ = true;
  terminated_ = true;
}

void TQVUDPListener::Join() {
  if (thread_.joinable()) thread_.join();
}

// ---------------------------------------------------------------------------
// Logging

void TQVUDPListener::LogError(const std::string& text) const {
  LogMsg(lmtError, lmdImportant, fmt::format("SID: {} {}", serverId_, text), kErrorCategory);
}

void TQVUDPListener::LogError(const TRemoteLine& line) const {
  LogRemote(lmtError, lmdImportant, line.Prefixed(fmt::format("SID: {} ", serverId_)), kErrorCategory);
}

void TQVUDPListener::LogAccess(const std::string& text) const {
  if (!server_.AccessLog) return;
  LogMsg(lmtAll, lmdInfo, fmt::format("SID: {} {}", serverId_, text), kAccessCategory);
}

void TQVUDPListener::LogAccess(const TRemoteLine& line) const {
  if (!server_.AccessLog) return;
  LogRemote(lmtAll, lmdInfo, line.Prefixed(fmt::format("SID: {} ", serverId_)), kAccessCategory);
}

void TQVUDPListener::LogHandlerException(std::string_view handler, const std::exception& e) const {
  LogError(fmt::format("{} Exception: {}", handler, ExceptionText(e)));
}

// ---------------------------------------------------------------------------
// The event loop

void TQVUDPListener::Execute() {
  serverId_ = server_.ServerId;
  LoadChannelTree();
  for (;;) {
    if (terminated_ && Buffer().ShuttingDown()) break;
    if (!WaitForEvent()) break;
    HandleEvent();
    packet_.reset();
    // Outside the server's locks: the send waits for no one else.
    if (sendPending_) {
      sendPending_ = false;
      sender_->SendReady();
    }
  }
  Buffer().MarkThreadDone(kListenerThreadBit);
}

void TQVUDPListener::LoadChannelTree() {
  std::lock_guard<TChannels> lock(Channels());
  Channels().LoadChannels();
  Channels().SetDefaultChannelMaxUsers(server_.Settings().MaxUsers);
}

// False once the buffer shuts down. A failed wait counts as an event of no
// consequence (an evPacket without packet).
bool TQVUDPListener::WaitForEvent() {
  try {
    Buffer().GetNextEvent(eventPlayerId_, eventKind_, packet_);
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
  if (eventKind_ == evClosed || eventKind_ == evTimedOut) Buffer().RemoveConnection(eventPlayerId_);
}

void TQVUDPListener::ProcessEvent(uint32_t playerId, TEventKind kind, TPacketPtr packet) {
  eventPlayerId_ = playerId;
  eventKind_ = kind;
  packet_ = std::move(packet);
  HandleEvent();
  packet_.reset();
}

void TQVUDPListener::HandleEvent() {
  std::lock_guard<TClients> players(Clients());
  std::lock_guard<TChannels> channels(Channels());
  // The stop may have begun while this thread waited for the locks: its
  // removal of every player has run, and the event is no longer handled.
  if (stopping_) {
    DropClosedConnection();
    return;
  }
  try {
    player_ = Clients().GetClientByID(eventPlayerId_);
    disconnect_ = false;
    if (DispatchEvent()) {
      if (disconnect_) DisconnectPlayer();
      ResetPlayerIdsWhenIdle();
    }
  } catch (const std::exception& e) {
    LogError(fmt::format("Execute Exception: {}", ExceptionText(e)));
  }
  player_ = nullptr;
}

bool TQVUDPListener::DispatchEvent() {
  switch (eventKind_) {
    case evPacket:
      return DispatchPacket();
    case evTimedOut:
    case evClosed:
      disconnect_ = true;
      return true;
    case evExternal:
      return !RunExternalCommand();
    case evShutdown:
      break;
  }
  return true;
}

bool TQVUDPListener::DispatchPacket() {
  if (!packet_) return true;
  TPacket& packet = *packet_;
  if (player_) player_->LastActivity = Now();
  if (packet.IsC2SVoice()) {
    if (!player_) return true;  // e.g. voice during login: dropped
    if (const TRequestRow* row = FindRow(kVoiceTargets, packet.VoiceTarget())) Run(*row, player_, packet, false);
    return false;
  }
  std::span<const TRequestRow> table;
  if (packet.IsControl()) {
    table = kControlCommands;
  } else if (packet.IsCommand()) {
    table = kClientCommands;
  }
  if (const TRequestRow* row = FindRow(table, packet.CommandType())) Run(*row, player_, packet);
  return true;
}

// ---------------------------------------------------------------------------
// Disconnect and the player-id counter

void TQVUDPListener::DisconnectPlayer() {
  if (player_) {
    LogAccess(RemoteLine("client disconnected. [Nick: {}]", player_->NickName.str()));
    Channels().ClientLeftChannel(Channels().GetChannelById(player_->ChannelId), player_);
    NotifyPlayerLeftScope(player_->PlayerId, lrLeftServer, "", 0);
    std::unique_ptr<TClientRec> gone = Clients().DeleteClient(player_);
    player_ = nullptr;
  }
  Channels().ClearChannelClientLists(static_cast<int32_t>(eventPlayerId_));
  Channels().ClearChannelAttribs(static_cast<int32_t>(eventPlayerId_));
  Buffer().RemoveConnection(eventPlayerId_);
  ClearChannelUp(-1);
}

// Player ids start again at 1 once nobody is connected, so that they stay
// small on a long-running server.
void TQVUDPListener::ResetPlayerIdsWhenIdle() {
  if (Buffer().ConnectionCount() != 0) return;
  if (Clients().Count() > 0) {
    LogError("unable to reset playerid.");
  } else {
    Clients().ResetPlayerIds();
  }
}

// ---------------------------------------------------------------------------
// Stop

// Every player's connection closes now, also that of a player who is
// already leaving: his disconnect line would otherwise come only when the
// protocol thread sees the close, which it no longer handles.
void TQVUDPListener::RemoveAllPlayers() {
  for (const auto& player : Clients().Items()) {
    LogAccess(RemoteLine("client disconnected. [Nick: {}]", player->NickName.str()));
    if (player->Removing) continue;
    player->Removing = true;
    auto packet = NewCommandPacket(qv::CMD_sc_NotifyPlayerLeftScope, player->ConnectionId, player->PlayerId);
    packet->SetSize(LeftScopeLayout::Size);
    packet->SetU32(LeftScopeLayout::PlayerId, player->PlayerId);
    packet->SetU16(LeftScopeLayout::Reason, lrServerStops);
    SendPacket(std::move(packet), true);
  }
}

// ---------------------------------------------------------------------------
// Sending

void TQVUDPListener::SendPacket(TPacketPtr packet, bool closeAfter) {
  try {
    Buffer().SendPacket(std::move(packet), closeAfter);
  } catch (const std::exception& e) {
    // A full queue: this recipient misses the packet; the others still get theirs.
    LogError(fmt::format("SendPacket Exception: {}", ExceptionText(e)));
  }
}

void TQVUDPListener::SendError(int32_t code, uint16_t requestType, uint32_t requestSequence) {
  if (player_) SendError(*player_, code, requestType, requestSequence);
}

void TQVUDPListener::SendError(const TClientRec& to, int32_t code, uint16_t requestType,
                               uint32_t requestSequence) {
  SendPacket(NewErrorPacket(static_cast<int16_t>(code), to.ConnectionId, to.PlayerId, requestType,
                            requestSequence));
}

}  // namespace qv
