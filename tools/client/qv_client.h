// TQVClient: the client side of the voice protocol, for tools, end-to-end
// tests and load generators.
//
// A client logs in to one virtual server (anonymously or with an account),
// keeps a mirror of the channels and players it is told about, turns every
// packet the server sends into a TClientEvent, and sends commands and voice.
//
// Transport. Clients talk through a TClientEndpoint: one UDP socket, one
// client-side packet buffer, its sender thread and one dispatcher thread that
// hands each received event to the client it belongs to (by player id). A
// client made without an endpoint gets one of its own (three threads); any
// number of clients may share one endpoint instead (still three threads), so
// a load generator runs hundreds of clients without hundreds of threads.
// Clients that share an endpoint must log in to the same virtual server:
// the packet buffer tells connections apart by player id only. Logins over
// one endpoint take turns (the server's login reply names no request).
//
// Events. By default events queue in the client (WaitFor, TakeEvents); with
// an event handler they go to the handler instead, on the dispatcher thread.
//
// Thread rules: every public method of TQVClient may be called from any
// thread. Event handlers run on the endpoint's dispatcher thread while the
// endpoint's client table is locked (the login verdict alone on the thread
// that calls Login): they may send, but must not destroy a client, log in or
// quit. The endpoint lives as long as its last client.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/mutex.h"
#include "protocol/packet_buffer.h"
#include "protocol/protocol_errors.h"
#include "protocol/udp_sender.h"
#include "protocol/udp_socket.h"

namespace qv {

class TQVClient;

// Login results (TLoginResult) besides the server's, from protocol_errors.h:
// peNoReplyFromServer (no CMD_sc_LoginStep2 in time), peConnectionTimedOut
// (accepted, but the login did not complete), peBadResponse (a reply that
// could not be read).

struct TClientLogin {
  std::string ServerIp = "127.0.0.1";
  uint16_t ServerPort = 8767;
  std::string NickName;
  std::string LoginName;  // empty: anonymous
  // The account password; for an anonymous login the server password.
  std::string Password;
  bool ServerPasswordFlag = false;  // the password must also be the server password
  bool UniqueNick = false;          // let the server make the nick name unique
  std::string ClientName = "quillvane-client";
  std::string ClientPlatform = "Linux";
  std::array<uint16_t, 4> ClientVersion{2, 0, 32, 60};
  std::string Channel;
  std::string SubChannel;
  std::string ChannelPassword;
  int32_t UploadBandwidth = 0;  // kilobits per second; 0: no limit
  bool Step3Flag = false;
  // False: stop after the verdict (the server times the login out).
  bool CompleteLogin = true;
  int TimeoutMs = 5000;
};

// CMD_sc_LoginStep2 as received.
struct TLoginReply {
  int32_t Result = 0;
  uint32_t PlayerId = 0;
  uint32_t ConnectionId = 0;
  std::string ServerName;
  std::string ServerPlatform;
  std::array<uint16_t, 4> ServerVersion{};
  uint32_t CodecMask = 0;
  uint16_t ServerFlags = 0;
  std::array<uint8_t, 66> Permissions{};
  uint32_t MaxPlayers = 0;
  std::string WelcomeMessage;
};

struct TClientPlayer {
  uint32_t PlayerId = 0;
  int32_t ChannelId = -1;
  uint16_t ChannelPrivileges = 0;
  uint16_t PlayerPrivileges = 0;
  uint16_t PlayerFlags = 0;
  std::string NickName;
};

struct TClientChannel {
  int32_t Id = 0;
  uint16_t Flags = 0;
  uint16_t Codec = 0;
  int32_t ParentId = -1;
  uint16_t Order = 0;
  uint16_t MaxUsers = 0;
  std::string Name;
  std::string Topic;
  std::string Description;
};

enum TClientEventKind : uint8_t {
  ceLoginReply,       // the verdict; Code = result
  ceChannelList,      // CMD_sc_LoginStep4: Channels
  cePlayerList,       // CMD_sc_LoginStep5: Players
  ceLoginComplete,    // CMD_sc_LoginStep6
  cePlayerEntered,    // Players[0]
  cePlayerLeft,       // PlayerId, Reason, ActorId, Text
  cePlayerSwitched,   // PlayerId, OldChannelId, ChannelId, Privileges
  cePlayersInView,    // CMD_sc_NotifyPlayersInSwitchedChannel: Players
  cePlayerKicked,     // from a channel: PlayerId, OldChannelId, ChannelId, Privileges, Text
  cePlayerMoved,      // PlayerId, OldChannelId, ChannelId, ActorId, Privileges
  cePlayerFlags,      // PlayerId, Value = flags
  ceRequestedVoice,   // PlayerId, Text
  ceChannelPrivilege, // PlayerId, Action, Value = privilege index, ActorId
  cePlayerPrivilege,  // PlayerId, Action, Value = privilege index, ActorId
  ceChannelCreated,   // ActorId, Channels[0]
  ceChannelChanged,   // ChannelId, ActorId, Text or Value (by CommandType)
  ceChannelDestroyed, // ChannelId, ActorId
  ceTextMessage,      // Value, Action = target kind, Nick, Text
  ceServerProperties, // CMD_sc_NotifyServerPropertiesChanged: Value = max users, Text = name
  ceError,            // Code, FailedType, FailedSequence
  ceCommand,          // any other command (see Raw)
  ceVoice,            // SpeakerId, Target, Codec, Payload
  ceTimedOut,         // the connection timed out
  ceClosed,           // the connection closed
};

struct TClientEvent {
  TClientEventKind Kind = ceCommand;
  uint16_t CommandType = 0;
  bool Malformed = false;  // shorter than its layout; parsed fields are partial
  int32_t Code = 0;
  uint32_t PlayerId = 0;
  int32_t ChannelId = 0;
  int32_t OldChannelId = 0;
  uint16_t Privileges = 0;
  uint16_t Reason = 0;
  uint32_t ActorId = 0;
  uint8_t Action = 0;
  uint32_t Value = 0;
  uint16_t FailedType = 0;
  uint32_t FailedSequence = 0;
  std::string Nick;
  std::string Text;
  std::vector<TClientPlayer> Players;
  std::vector<TClientChannel> Channels;
  uint8_t Target = 0;
  uint8_t Codec = 0;
  uint32_t SpeakerId = 0;
  std::vector<uint8_t> Payload;
  std::vector<uint8_t> Raw;  // the whole packet as received
};

// Decodes one packet the server sent (command or server voice).
TClientEvent ParseServerPacket(const TPacket& packet);
// Decodes a CMD_sc_LoginStep2 packet; Result peBadResponse when unreadable.
TLoginReply ParseLoginReply(const TPacket& packet);
// A readable one-line description of an event.
std::string DescribeEvent(const TClientEvent& event);
// The CMD_cs_LoginStep1 request (180 bytes) and CMD_cs_LoginStep3 (120 bytes).
TPacketPtr BuildLoginRequest(const TClientLogin& login);
TPacketPtr BuildLoginStep3(const TClientLogin& login, uint32_t connectionId, uint32_t playerId);
// "2.0.32.60" into four numbers; nullopt when malformed.
std::optional<std::array<uint16_t, 4>> ParseVersion(const std::string& text);

class TClientEndpoint {
 public:
  // Sees every received datagram on the socket's reader thread before the
  // packet buffer does; true means it took the datagram. A load generator
  // timestamps relayed voice here, free of the client's own queueing.
  using TDatagramTap = std::function<bool(const uint8_t* data, size_t size)>;

  // Binds an ephemeral UDP port (on bindAddress, or all addresses) and
  // starts the reader, sender and dispatcher threads. Raises ESocketError.
  static std::shared_ptr<TClientEndpoint> Create(const std::string& bindAddress = "",
                                                 TDatagramTap tap = nullptr);
  ~TClientEndpoint();
  TClientEndpoint(const TClientEndpoint&) = delete;
  TClientEndpoint& operator=(const TClientEndpoint&) = delete;

  uint16_t LocalPort() const { return socket_.LocalPort(); }
  TCustomPacketBuffer& Buffer() { return buffer_; }

 private:
  friend class TQVClient;
  TClientEndpoint() = default;
  void Start(const std::string& bindAddress);
  void Dispatch();
  // False when another client already holds the player id.
  bool Attach(uint32_t playerId, TQVClient* client);
  // keepConnection: the connection stays (without client) until it times
  // out or a login gets its player id.
  void Detach(uint32_t playerId, TQVClient* client, bool keepConnection = false);

  TDatagramTap tap_;  // set before the reader starts, never changed after
  TCustomPacketBuffer buffer_{kSideClient, cfRetransmit | cfTimeouts};
  TUDPSocket socket_;
  std::unique_ptr<TQVUDPSender> sender_;
  std::thread dispatcher_;
  std::mutex loginMutex_;  // one login exchange at a time
  TMutex clientsMutex_;
  std::unordered_map<uint32_t, TQVClient*> clients_ GUARDED_BY(clientsMutex_);
};

class TQVClient {
 public:
  using TEventHandler = std::function<void(const TClientEvent&)>;

  // endpoint null: the client makes its own.
  explicit TQVClient(std::shared_ptr<TClientEndpoint> endpoint = nullptr);
  ~TQVClient();
  TQVClient(const TQVClient&) = delete;
  TQVClient& operator=(const TQVClient&) = delete;

  // Runs the login: 1 when the player is in (or, without CompleteLogin, was
  // accepted), the server's negative code, or a kClient* code. A client logs
  // in once; a second call on a logged-in client disconnects it first.
  int Login(const TClientLogin& login);
  // Sends CMD_cs_PlayerQuit and waits (up to timeoutMs) for the server's
  // farewell; true when it came. The connection then lingers in the endpoint
  // so that a resent farewell is still acknowledged.
  bool Quit(int timeoutMs = 3000);
  // Forgets the connection without telling the server.
  void Disconnect();

  // Commands. False when not logged in.
  bool SendCommand(uint16_t commandType, const std::vector<uint8_t>& payload);
  bool SendText(uint8_t targetKind, uint32_t targetId, const std::string& text, uint32_t value = 0);
  bool SwitchChannel(int32_t channelId, const std::string& password = "");
  // Voice for target 0 (channel), 1 (whisper; data starts with the whisper
  // list, see WhisperData) or 2 (parent channel).
  bool SendVoice(uint8_t target, uint8_t codec, const std::vector<uint8_t>& data,
                 uint16_t voiceWord = 0);
  // Whisper list (kind 0 channel, 1 player) followed by the codec data.
  static std::vector<uint8_t> WhisperData(const std::vector<std::pair<uint8_t, uint32_t>>& entries,
                                          const std::vector<uint8_t>& codecData);

  // Events, when no handler is set.
  void SetEventHandler(TEventHandler handler);
  // Removes and returns the first queued event that matches, waiting up to
  // timeoutMs for one; other events stay queued.
  std::optional<TClientEvent> WaitFor(const std::function<bool(const TClientEvent&)>& match,
                                      int timeoutMs);
  std::optional<TClientEvent> WaitFor(TClientEventKind kind, int timeoutMs);
  std::vector<TClientEvent> TakeEvents();

  // State.
  bool LoggedIn() const;
  uint32_t PlayerId() const;
  TLoginReply LoginReply() const;
  std::vector<TClientChannel> Channels() const;
  std::vector<TClientPlayer> Players() const;
  std::optional<TClientPlayer> FindPlayer(uint32_t playerId) const;
  TClientEndpoint& Endpoint() { return *endpoint_; }

 private:
  friend class TClientEndpoint;
  static constexpr size_t kMaxQueuedEvents = 100000;

  void Release(bool keepConnection);
  int ExchangeLoginRequest(const TClientLogin& login, TLoginReply& reply);
  // Dispatcher thread: an event for this client.
  void Deliver(TClientEvent event);
  void Apply(const TClientEvent& event);  // caller holds mutex_
  bool Queue(TPacketPtr packet);

  std::shared_ptr<TClientEndpoint> endpoint_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_:
  bool attached_ = false;
  bool loggedIn_ = false;
  bool loginComplete_ = false;
  bool farewell_ = false;  // own CMD_sc_NotifyPlayerLeftScope received
  uint32_t playerId_ = 0;
  uint32_t connectionId_ = 0;
  uint16_t voiceSequence_ = 0;
  TLoginReply reply_;
  std::map<int32_t, TClientChannel> channels_;
  std::map<uint32_t, TClientPlayer> players_;
  std::deque<TClientEvent> events_;
  TEventHandler handler_;
};

}  // namespace qv
