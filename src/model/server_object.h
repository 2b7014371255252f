// TServerObject: one virtual voice server of this process.
//
// Holds the server's settings (stored in "qv2_servers"), its permission table
// and cached IP bans, the command block through which the administration
// interfaces act on the running server, its player list and channel tree,
// and the network side it starts and stops (TServerRuntime: socket, packet
// buffer, protocol and sender threads). While started it is registered in a
// TServerRegistry.
//
// Where this departs from the design's picture of one object that owns
// every part and is its own settings record:
// - the socket, buffer and threads sit behind TServerRuntime, made by the
//   registry's factory (the voice module provides it), so that the model
//   does not depend on the protocol and cannot touch them unguarded;
// - the settings are a member, read as a copy through Settings() and changed
//   only through ChangeSettings(), so that every access takes Lock;
// - Stop leaves the player list and channel tree in place until the object
//   is freed or started again: a query or web thread that still holds the
//   server (the registry hands out shared pointers) never finds them gone.
//
// Thread rules: Start and Stop run on the creator's thread (start-up, a query
// or web request). The settings and Bans are guarded by Lock. The player list
// and the channel tree have their own locks (player list first); the
// protocol thread holds both for every event. One external command at a time
// runs through ExecuteExternalCommand.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "base/date_time.h"
#include "base/failure_limiter.h"
#include "base/mutex.h"
#include "base/password_check_pool.h"
#include "model/channel_object.h"
#include "model/client_object.h"
#include "model/script_storage.h"
#include "model/security.h"
#include "model/server_registry.h"
#include "model/server_runtime.h"
#include "model/server_types.h"
#include "protocol/server_counters.h"

namespace qv {

constexpr uint32_t kDefaultUdpPort = 8767;
extern const char* const kDefaultServerName;      // "Quillvane Server"
extern const char* const kDefaultWelcomeMessage;  // a greeting in square brackets

// What a server stores in "qv2_servers", and the permission table that goes
// with it. A snapshot of a running server's settings is Settings().
struct TServerSettings {
  uint32_t UdpPort = kDefaultUdpPort;
  TText29 Name;
  TText29 Platform;
  std::array<uint16_t, 4> Version{};
  uint16_t ServerFlags = sfClan;
  TText255 WelcomeMessage;
  std::array<bool, kCodecCount> AllowCodec{};
  uint16_t MaxUsers = 8;
  TText29 Password;
  TPermissionTable Permissions{};
  TText255 WebLinkUrl;
  TText255 WebPostUrl;

  bool IsClan() const { return (ServerFlags & sfClan) != 0; }
  // Bit n set when codec n is allowed.
  uint32_t CodecMask() const;
};

// The defaults of a server that has no stored settings yet.
TServerSettings DefaultServerSettings();

// Writes the settings of a stored server through "edit_server.sql" (always as
// active). False when the script failed.
bool SaveSettings(const TScriptStorage& storage, int32_t serverId, const TServerSettings& settings);

// Inserts a server row ("new_server.sql") of this process's node
// (GetSettings().NodeName) and returns its id; 0 on failure.
int32_t CreateServerRow(const TScriptStorage& storage, uint32_t port);

// "1D 01:01:01" from one day on, "00:00:59" below.
std::string FormatUptime(uint64_t seconds);
// Whole seconds between two times, rounded to the nearest second.
uint32_t SecondsBetween(TDateTime later, TDateTime earlier);

// External command types (the command block's CommandType).
enum TExternalCommandType : uint8_t {
  ecNone = 0,
  ecAddClient = 1,
  ecDelClient = 2,
  ecMoveClientToChannel = 3,
  ecAddChannel = 4,
  ecDelChannel = 5,
  ecNotifyChangedServerProperties = 6,
  ecCheckServerOK = 7,
  ecSetUserPrivilege = 8,
  // The moderation commands (model/server_moderation.h).
  ecKickFromChannel = 9,         // Argument1 player id, Text reason
  ecBanPlayer = 10,              // Argument1 player id, Argument2 minutes, Text reason, Author banned-by
  ecSendText = 11,               // Argument1 target kind (tk*), Argument2 target id, Text, Author sender
  ecEditChannel = 12,            // Argument1 channel id, Channel, Changes
  ecSetChannelPrivilege = 13,    // Argument1 player id, Argument2 1 grant / 0 revoke, Privileges one cp* bit
  ecChangeServerPrivilege = 14,  // Argument1 player id, Argument2 1 grant / 0 revoke, Privileges one sp* bit
};

// The fields of a channel an administration interface creates or edits.
struct TChannelFields {
  int32_t ParentId = -1;  // creation only: -1 for a top-level channel
  std::string Name;
  std::string Topic;
  std::string Description;
  std::string Password;  // empty: none
  uint16_t Codec = 0;    // TCodec
  uint16_t MaxUsers = 0;
  uint16_t Order = 0;
  uint16_t Flags = 0;  // cf* bits
};
// Which fields an edit changes (the Changes of ecEditChannel).
enum TChannelField : uint16_t {
  chfName = 0x01,
  chfTopic = 0x02,
  chfDescription = 0x04,
  chfPassword = 0x08,
  chfCodec = 0x10,
  chfMaxUsers = 0x20,
  chfOrder = 0x40,
  chfFlags = 0x80,
};
// The result of ExternalCommand_CheckServerOK.
constexpr int32_t kServerOK = 815;
// The result while no handler has set one (also: nobody answered in time).
constexpr int32_t kNoResult = -10;
constexpr int kExternalCommandWaitMs = 5000;
constexpr int kAliveCheckWaitMs = 1500;

struct TExternalCommand {
  uint8_t CommandType = ecNone;
  int32_t Argument1 = 0;
  int32_t Argument2 = 0;
  uint16_t Privileges = 0;  // for ecSetUserPrivilege
  int32_t Result = kNoResult;
  bool ServerTypeChanged = false;  // for ecNotifyChangedServerProperties
  // ecDelClient: announce him as kicked with Text as the reason, his own copy
  // ending his connection, instead of removing him at once as a disconnect.
  bool Kick = false;
  // ecAddChannel: a channel of these fields, added as a client adds one
  // (stored when registered, parent and name checked), instead of the
  // unnamed top-level channel of id Argument1 and codec Argument2. The
  // result is then the new channel's id (> 0) or a refusal.
  bool HasChannel = false;
  TChannelFields Channel;
  uint16_t Changes = 0;  // TChannelField bits, for ecEditChannel
  std::string Text;      // a reason or a message
  std::string Author;    // who bans or sends
};

class TServerObject : public std::enable_shared_from_this<TServerObject> {
 public:
  // storage: the process storage and script directory; registry: where the
  // server registers while it runs.
  TServerObject(TScriptStorage storage, TServerRegistry& registry);
  // Stops the server if it still runs. Does not unregister it.
  ~TServerObject();
  TServerObject(const TServerObject&) = delete;
  TServerObject& operator=(const TServerObject&) = delete;

  // serverId < 1 creates a new stored server (port 0: 8767). False, with
  // nothing left registered or running, on failure.
  bool Start(int32_t serverId, uint32_t port);
  // Stops the network side; safe to call twice.
  void Stop();
  // Creates the player list and the channel tree of server serverId (Start
  // does; a protocol thread driven without a network side gets its model so).
  void CreateModel(int32_t serverId);
  // The network side while started (nullptr before, after, and for servers
  // of a registry without a runtime factory). Only the owner's thread and
  // the server's own threads use it bare; other threads take a lease.
  TServerRuntime* Runtime() const { return runtime_.get(); }

  // A hold on the network side of a running server, for the administration
  // threads: Stop waits until every lease is let go before it frees the
  // network side. Empty when the server does not run. Take it before the
  // player-list lock, as Stop does, and keep it for one command only.
  class TRuntimeLease {
   public:
    TRuntimeLease() = default;
    TRuntimeLease(std::shared_lock<std::shared_mutex> lock, TServerRuntime* runtime)
        : lock_(std::move(lock)), runtime_(runtime) {}
    explicit operator bool() const { return runtime_ != nullptr; }
    TServerRuntime* get() const { return runtime_; }

   private:
    std::shared_lock<std::shared_mutex> lock_;
    TServerRuntime* runtime_ = nullptr;
  };
  TRuntimeLease LeaseRuntime() const;

  bool SaveSettings();
  TPermissionSet ReadGroupPermissions(TUserGroup group);
  void SaveGroupPermissions(TUserGroup group, const TPermissionSet& permissions);
  void ReloadBans();
  bool IsIpBanned(std::string_view ip) const;
  // Failed voice logins per address (its own lock).
  TFailureLimiter LoginFailures;

  // A copy of the settings, taken under Lock.
  TServerSettings Settings() const;
  // Applies change to the settings under Lock, then stores them. The way the
  // administration interfaces change a server's settings. False when storing
  // failed (the change stays in effect for the running server).
  bool ChangeSettings(const std::function<void(TServerSettings&)>& change);
  bool IsClanServer() const;
  // The permission check against the server's group permissions, under Lock.
  bool HasPermission(const TClientRec* player, TUserPermissions permission) const;
  // Seconds since the server started.
  uint32_t Uptime() const;

  // Administration side of the command block: waits up to timeoutMs for the
  // protocol thread to run the command and returns its result (kNoResult when
  // it did not answer in time or the server is not running).
  int32_t ExecuteExternalCommand(const TExternalCommand& command, int timeoutMs);
  // The commands the administration interfaces send, each waiting as long
  // as its kind allows: a result of ExecuteExternalCommand.
  int32_t MoveClientToChannel(int32_t channelId, int32_t playerId);
  int32_t SetUserPrivilege(int32_t playerId, uint16_t privileges);
  // After the settings changed; serverTypeChanged when clan/public changed.
  int32_t NotifyChangedServerProperties(bool serverTypeChanged);
  // Whether the protocol thread answers the alive check in time.
  bool CheckServerOK();
  // Protocol-thread side: the pending command (type ecNone when there is
  // none), and the completion that wakes the waiting caller.
  TExternalCommand TakeExternalCommand();
  void CompleteExternalCommand(int32_t result);

  // Guards the settings, StartTime and Bans.
  mutable std::mutex Lock;
  // Set by Start before the threads exist, constant while registered.
  int32_t ServerId = 0;
  // Local address the socket binds to; empty for all addresses. Set before Start.
  std::string BoundToIp;
  // Whether connects and disconnects are written to the access log. Set before Start.
  bool AccessLog = false;
  // Whether a nick name is forbidden (the process's list of bad names); none
  // is when empty. Set before Start.
  std::function<bool(std::string_view)> IsBadName;
  // Where the account checks of voice logins run; the process's shared pool
  // when empty. Set before Start (a test gives a pool with a slow check).
  std::shared_ptr<TPasswordCheckPool> PasswordChecks;
  TDateTime StartTime;  // guarded by Lock
  std::atomic<uint32_t> LoginsSinceNotify{0};
  // Traffic and login counters for monitoring; they outlive restarts.
  TServerCounters Counters;
  const TScriptStorage Storage;
  std::unique_ptr<TStorageContainer> Bans;  // guarded by Lock
  std::atomic<bool> Running{false};

  // The model, from Start until the next Start or the end of the object;
  // each has its own lock. The tree's member lists borrow the player
  // records: Channels is declared after Clients so that it goes first.
  std::unique_ptr<TClients> Clients;
  std::unique_ptr<TChannels> Channels;

 private:
  bool CreateNewServer(uint32_t port);
  bool LoadStoredServer(int32_t serverId);
  void ReadServerRow(const TStorageRow& row);
  void SetDefaultCodec();
  bool StartRuntime();
  void LogStopFailure(const std::exception& e);

  TServerRegistry& registry_;
  TServerSettings settings_;  // guarded by Lock
  // Written by Start and Stop under runtimeLock_ held exclusively; read by
  // leases under it shared.
  mutable std::shared_mutex runtimeLock_;
  std::unique_ptr<TServerRuntime> runtime_;

  // The command block. CommandLock lets one caller at a time use it. Each
  // command gets a ticket, so that a late answer to a caller who gave up
  // waiting is never taken for the answer to the next caller.
  std::mutex CommandLock;
  TMutex blockMutex_;
  std::condition_variable_any blockDone_;
  TExternalCommand block_ GUARDED_BY(blockMutex_);
  uint64_t issued_ GUARDED_BY(blockMutex_) = 0;     // tickets handed out
  uint64_t taken_ GUARDED_BY(blockMutex_) = 0;      // ticket being run
  uint64_t completed_ GUARDED_BY(blockMutex_) = 0;  // last ticket answered
  int32_t completedResult_ GUARDED_BY(blockMutex_) = kNoResult;
};

}  // namespace qv
