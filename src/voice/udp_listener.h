// TQVUDPListener: the protocol thread of one running virtual server.
//
// The only thread that interprets the voice protocol. It takes the events of
// the server's packet buffer one at a time, looks up the player the event
// belongs to, and calls the handler for the packet's class and command type;
// it turns time-outs and closed connections into disconnects and runs the
// external commands that the administration interfaces queue on the server.
// Handlers are members named after their command; each group of commands
// lives in its own source file (login, channel, player, voice relay, info,
// external commands), and the tables of command_table.h dispatch to them.
//
// Thread rules: Start, Terminate, RemoveAllPlayers and Join are called by the
// server's network side (TVoiceRuntime). Everything else runs on the listener
// thread, one event at a time, while it holds the server's player-list lock
// and then its channel-tree lock; handlers therefore never race with each other and need
// no locking of their own. The packet buffer's lock is a leaf inside buffer
// calls. A started listener ends only once the packet buffer shuts down, so
// its owner shuts the buffer down before Join or destruction.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/log.h"
#include "model/server_object.h"
#include "protocol/packet_buffer.h"
#include "protocol/packets.h"
#include "protocol/udp_sender.h"
#include "voice/command_table.h"
#include "voice/wire_layouts.h"

namespace qv {

// Reasons carried by CMD_sc_NotifyPlayerLeftScope.
enum TLeftScopeReason : uint16_t {
  lrLeftServer = 1,   // quit, time-out, connection closed, failed login
  lrKicked = 2,       // kicked from the server
  lrServerStops = 4,  // the virtual server stops
  lrLeftView = 6,     // left the recipient's view
};

// Login results carried in CMD_sc_LoginStep2.
enum TLoginResult : int32_t {
  lcAccepted = 1,
  lcBadLogin = -1,
  lcServerFull = -2,
  lcNickNameInUse = -4,
  lcVersionNotSupported = -5,
  lcBanned = -6,
  lcLoginNameInUse = -7,
  lcNoAccount = -21,
};
// CMD_sc_LoginStep2 with the verdict; FillLoginReply adds the server's details.
TPacketPtr NewLoginReply(const TClientRec& player, int32_t result);
void FillLoginReply(TPacket& packet, const TServerSettings& settings, int32_t result);
// Writes a player entry at the packet's position.
void WritePlayerEntry(TPacket& packet, const TClientRec& player);
// Writes the 66-byte group permission table at the packet's position.
void WritePermissionTable(TPacket& packet, const TPermissionTable& table);
// CMD_sc_NotifyPlayerLeftScope about playerId, addressed to `to`.
TPacketPtr NewLeftScopePacket(const TClientRec& to, uint32_t playerId, uint16_t reason,
                              std::string_view reasonText, uint32_t actingPlayerId);

// The fields of a CMD_cs_LoginStep1 request (login_handlers.cpp).
struct TLoginRequest;

class TQVUDPListener {
 public:
  // The server's model and settings, and the buffer its events come from.
  TQVUDPListener(TServerObject& server, TCustomPacketBuffer& buffer);
  ~TQVUDPListener();
  TQVUDPListener(const TQVUDPListener&) = delete;
  TQVUDPListener& operator=(const TQVUDPListener&) = delete;

  // --- called by the network side ---
  // The sender of the server's socket, set before Start: relayed voice is
  // then sent on this thread once the event is handled (TQVUDPSender::
  // SendReady) instead of waking the sender thread for every datagram.
  void SetSender(TQVUDPSender* sender) { sender_ = sender; }
  void Start();
  // Sets the stopping flag: from now on the thread handles no more events.
  void Terminate();
  // Tells every player that the server stops and closes his connection, and
  // writes the access-log line of every player's disconnect. The caller holds
  // the player-list lock, then the channel-tree lock.
  void RemoveAllPlayers();
  // Waits for the thread to end (the packet buffer must be shutting down).
  void Join();

  // Handles one event as the thread's loop does: takes both locks, finds the
  // player, dispatches, disconnects when asked to. The loop calls it; tests
  // drive a listener without thread through it.
  void ProcessEvent(uint32_t playerId, TEventKind kind, TPacketPtr packet);

  // --- used by handlers (listener thread, both locks held) ---

  // The error reply to the current request, addressed to the current player
  // (or to the given one): the code's 16 bits as command type, then the
  // request's type and sequence.
  void SendError(int32_t code, uint16_t requestType, uint32_t requestSequence);
  void SendError(const TClientRec& to, int32_t code, uint16_t requestType, uint32_t requestSequence);
  // Announces that a player leaves to every connected player who sees him
  // (himself included: his copy closes his connection). Nothing for a player
  // who is unknown, has not completed his login or is already leaving.
  void NotifyPlayerLeftScope(uint32_t playerId, uint16_t reason, std::string_view reasonText,
                             uint32_t actingPlayerId);
  // Whether viewer sees subject: everyone on a clan server, players in the
  // same channel tree on a public one.
  bool CheckClientInView(const TClientRec* subject, const TClientRec* viewer) const;

  // --- login, logout and the view (login_handlers.cpp, view_notifications.cpp) ---

  // The nick itself when free; else the nick followed by the smallest free
  // number; "Guest<n>" for an empty nick or when the number does not fit.
  std::string GetGuestPlayerName(std::string_view nick) const;
  // The login's channel list, player list and end of login, to one player.
  void CMD_sc_LoginStep4(const TClientRec& to);
  void CMD_sc_LoginStep5(const TClientRec& to);
  void CMD_sc_LoginStep6(TClientRec& to);
  // CMD_sc_NotifyPlayerEnteredScope to every other player who sees him.
  void NotifyPlayerEnteredScope(uint32_t playerId);
  // Up to ten player entries per packet (CMD_sc_LoginStep5 and
  // CMD_sc_NotifyPlayersInSwitchedChannel share the 468-byte layout).
  void SendPlayerEntries(const TClientRec& to, uint16_t commandType,
                         const std::vector<const TClientRec*>& players);

  // --- permission checks (permission_checks.cpp) ---

  // The player's own rights, with the channel groups of his current channel.
  bool HasPermission(const TClientRec* player, TUserPermissions permission) const;
  // As HasPermission with his privileges in that channel; false when either is missing.
  bool CheckClientChannelPermission(TChannelRec* channel, const TClientRec* player,
                                    TUserPermissions permission) const;
  // As HasPermission for the admin of a channel he is about to create.
  bool CheckClientCAPermission(const TClientRec* player, TUserPermissions permission) const;
  // The player's channel privileges on entering the channel; clears pfRequestVoice.
  void SetPlayerChannelFlagsAndPrivileges(TChannelRec* channel, TClientRec* player);
  // Takes operator and voice (also the automatic ones) from everybody in the
  // channel, announcing each with action 3.
  void RemoveModeratedFlags(int32_t channelId);
  // 0: may join; 1: wrong password; -102, -110 or -113.
  int32_t CheckChannelJoin(int32_t channelId, std::string_view password) const;

  // --- the view's notifications (view_notifications.cpp) ---

  // Privilege notifications (types 106 and 107) to everybody who sees the subject.
  void NotifyPlayerChannelPrivilegeChanged(uint32_t playerId, uint32_t originator, uint8_t action,
                                           uint8_t privilegeIndex);
  void NotifyPlayerPrivilegesChanged(uint32_t playerId, uint32_t originator, uint8_t action,
                                     uint8_t privilegeIndex);
  // After a player changed channel: type 103 to those who keep seeing him,
  // left/entered scope and the new view's players where the view changes.
  void NotifyPlayerSwitchedChannel(uint32_t playerId, int32_t oldChannelId, int32_t newChannelId);
  void NotifyPlayersInSwitchedChannel(uint32_t playerId);
  // After the server type changed: the players he now sees (clan), or the
  // ones he no longer sees (public).
  void UpdateClanServerPlayerListTo(uint32_t playerId);
  void UpdatePublicServerPlayerListTo(uint32_t playerId);
  // Removes empty unregistered top-level channels: the one given, or (for a
  // negative id) every one, and announces each removed channel.
  void ClearChannelUp(int32_t channelId);
  // CMD_sc_NotifyChannelDestroyed to every connected player.
  void NotifyChannelDestroyed(int32_t channelId, uint32_t originator);
  // Channel notifications to every connected player; nothing when the
  // channel does not exist. The properties notification also takes operator
  // and voice from the players of a channel that is not moderated.
  void NotifyChannelCreated(int32_t channelId, uint32_t originator);
  void NotifyChannelPropertiesChanged(int32_t channelId, uint32_t originator);
  void NotifyChannelMaxUsersChanged(int32_t channelId, uint32_t originator);
  // Queues a packet for the player named in its header.
  void SendPacket(TPacketPtr packet, bool closeAfter = false);
  // Moves a logged-in player into another channel as a move by `originator`
  // does: his privileges there, the move notification, his flags, the member
  // lists and the removal of the tree he left when it is empty and unregistered.
  void MovePlayerToChannel(TClientRec& player, TChannelRec& channel, uint32_t originator);
  // Clears a pending voice request of a player who holds spSA, cpCA, cpOP or
  // cpV, and announces his flags.
  void SettleVoiceRequest(TClientRec& player);

  TClients& Clients() const { return *server_.Clients; }
  TChannels& Channels() const { return *server_.Channels; }
  TCustomPacketBuffer& Buffer() const { return buffer_; }
  TServerObject& Server() const { return server_; }

  // --- handlers (command_table.cpp runs them): each takes the request
  // and returns 0 or the refusal to send back ---
  // login and logout
  int32_t CMD_cs_LoginStep1(TClientRec* player, TPacket& request);
  int32_t CMD_cs_LoginStep3(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerQuit(TClientRec* player, TPacket& request);
  // --- channel commands ---
  int32_t CMD_cs_ChannelCreate(TClientRec* player, TPacket& request);
  int32_t CMD_cs_ChannelChangePassword(TClientRec* player, TPacket& request);
  int32_t CMD_cs_ChannelChangeProperties(TClientRec* player, TPacket& request);
  int32_t CMD_cs_ChannelChangeName(TClientRec* player, TPacket& request);
  int32_t CMD_cs_ChannelChangeTopic(TClientRec* player, TPacket& request);
  int32_t CMD_cs_ChannelChangeDescription(TClientRec* player, TPacket& request);
  int32_t CMD_cs_ChannelDestroy(TClientRec* player, TPacket& request);
  int32_t CMD_cs_ChannelChangeMaxUsers(TClientRec* player, TPacket& request);
  int32_t CMD_cs_ChannelChangeOrder(TClientRec* player, TPacket& request);
  // --- player commands ---
  int32_t CMD_cs_PlayerKick(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerKickFromChannel(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerChannelSwitch(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerFlagsChanged(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerRequestVoice(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerChangeChannelPrivilege(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerChangePrivilege(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerRegister(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerAdminRegister(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerMutePlayer(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerMovePlayer(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerSetUploadBandwidth(TClientRec* player, TPacket& request);
  // --- bans, information requests and text ---
  int32_t CMD_cs_PlayerBanIp(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerBanIpPlayer(TClientRec* player, TPacket& request);
  int32_t CMD_cs_PlayerUnbanIp(TClientRec* player, TPacket& request);
  int32_t CMD_cs_InfoRequestPlayerConnectionInfoOnId(TClientRec* player, TPacket& request);
  int32_t CMD_cs_InfoRequestServerInfo(TClientRec* player, TPacket& request);
  int32_t CMD_cs_InfoRequestBanIpList(TClientRec* player, TPacket& request);
  int32_t CMD_cs_InfoSendText(TClientRec* player, TPacket& request);
  // --- voice relay, by VoiceTarget 0, 1 and 2 ---
  int32_t ProgressVoiceData_SendVoiceDataToChannel(TClientRec* speaker, TPacket& datagram);
  int32_t ProgressVoiceData_SendVoiceDataWhisper(TClientRec* speaker, TPacket& datagram);
  int32_t ProgressVoiceData_SendVoiceDataToParentChannel(TClientRec* speaker, TPacket& datagram);
  // --- external commands; each returns the command's result ---
  int32_t ExternalCommand_AddClient(const TExternalCommand& command);
  int32_t ExternalCommand_DelClient(const TExternalCommand& command);
  int32_t ExternalCommand_MoveClientToChannel(const TExternalCommand& command);
  int32_t ExternalCommand_AddChannel(const TExternalCommand& command);
  int32_t ExternalCommand_DelChannel(const TExternalCommand& command);
  int32_t ExternalCommand_NotifyChangedServerProperties(const TExternalCommand& command);
  int32_t ExternalCommand_CheckServerOK(const TExternalCommand& command);
  int32_t ExternalCommand_SetUserPrivilege(const TExternalCommand& command);

 protected:
  // Asks for the current event's player to be disconnected once the handler returns.
  void RequestDisconnect() { disconnect_ = true; }

  // "SID: <id> <text>" to "UDP Listener" (errors) or "AccessLog". Lines
  // that carry what a remote peer sent (its address, its names) are passed
  // as TRemoteLine, so that a flood of them is limited by their shape.
  void LogError(const std::string& text) const;
  void LogError(const TRemoteLine& line) const;
  void LogAccess(const std::string& text) const;
  void LogAccess(const TRemoteLine& line) const;
  // A handler's exception line: "<name> Exception: <class>.<message>".
  void LogHandlerException(std::string_view handler, const std::exception& e) const;

 private:
  void Execute();
  void LoadChannelTree();
  bool WaitForEvent();
  void DropClosedConnection();
  void HandleEvent();
  // False when the event is complete and steps 6 and 7 are skipped.
  bool DispatchEvent();
  bool DispatchPacket();
  // The frame of every handler (command_table.cpp): the gate, the size
  // check, the handler, the refusal and the one try/catch. Voice failures
  // are not logged.
  void Run(const TRequestRow& row, TClientRec* player, TPacket& request, bool logFailure = true);
  int32_t Run(const TExternalRow& row, const TExternalCommand& command);
  bool RunExternalCommand();
  void DisconnectPlayer();
  void ResetPlayerIdsWhenIdle();
  bool ChannelTreeHoldsPlayers(const TChannelRec* channel) const;
  // Login steps (login_handlers.cpp).
  int32_t ReadLoginIdentity(TClientRec& rec, const TLoginRequest& request);
  void AdmitLogin(std::unique_ptr<TClientRec> rec, const TLoginRequest& login, const TServerSettings& settings,
                  const TPacket& request);
  void SendRefusal(TPacketPtr reply, const TPacket& request);
  void CountLoginFailure(const TPacket& request);
  bool JoinLoginChannel(TClientRec& player, const std::string& channelName,
                        const std::string& subChannelName, const std::string& password);
  // The view (view_notifications.cpp).
  void SendPrivilegeChanged(uint16_t commandType, uint32_t playerId, uint32_t originator, uint8_t action,
                            uint8_t privilegeIndex);
  bool MoveStaysInTree(const TChannelRec* oldChannel, const TChannelRec* newChannel) const;
  bool InOldTree(const TClientRec& player, const TChannelRec* oldChannel, bool bothKnown) const;
  TPacketPtr NewSwitchedChannelPacket(const TClientRec& to, const TClientRec& mover, int32_t oldChannelId,
                                      int32_t newChannelId) const;
  bool DeleteEmptyChannelTree(TChannelRec* channel, uint32_t originator);
  // The voice relay (voice_relay.cpp).
  void BuildRelayedVoice(const TPacket& in, size_t dataOffset, size_t dataLength, uint32_t speakerId);
  void RelayTo(const TClientRec& recipient, uint8_t target);
  void RelayToMembers(const TChannelRec& channel, const TClientRec& speaker, uint8_t target);
  // Queues the copies RelayTo collected, all under one lock of the buffer.
  void FlushRelayed();
  void LogVoice(const std::string& text) const;
  // Text, information and bans (info_handlers.cpp).
  void SendTextMessage(const TClientRec& from, uint32_t value, uint8_t kind, uint32_t targetId,
                       const std::string& text);
  TPacketPtr NewConnectionInfoReply(const TClientRec& to, const TClientRec& about);
  void StoreBan(const TClientRec& by, const std::string& ip, uint16_t minutes);
  void RemoveBannedPlayer(TClientRec& target, const std::string& reason, uint32_t actingPlayerId);
  // External commands (external_commands.cpp).
  TClientRec* ExternalTarget(int32_t playerId) const;

  TServerObject& server_;
  TCustomPacketBuffer& buffer_;
  int32_t serverId_ = 0;  // copied when the thread starts

  // The current event: listener thread only.
  uint32_t eventPlayerId_ = 0;
  TEventKind eventKind_ = evPacket;
  TPacketPtr packet_;
  TClientRec* player_ = nullptr;
  bool disconnect_ = false;
  // Voice relay, listener thread only: the relayed packet of the current
  // datagram and its recipients (both reused, the buffer reuses the copies'
  // packets, so relaying allocates nothing in the steady state) and the count
  // of parent-channel voice without a parent channel.
  TPacket voiceImage_;
  std::vector<TVoiceCopy> voiceCopies_;
  uint32_t parentChannelMisses_ = 0;
  TQVUDPSender* sender_ = nullptr;  // set before the thread starts
  bool sendPending_ = false;        // copies queued without waking the sender

  std::atomic<bool> stopping_{false};    // set by Terminate; no events are handled
  std::atomic<bool> terminated_{false};  // set by Terminate; the loop ends at shutdown
  std::thread thread_;
};

// CMD_sc_NotifyPlayerFlagsChanged about the player to everybody who sees him.
// Call with the player list locked.
void NotifyPlayerFlagsChanged(TQVUDPListener& listener, const TClientRec& player);

}  // namespace qv
