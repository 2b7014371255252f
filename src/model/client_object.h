// The players connected to one virtual server.
//
// TClientRec is the player record every handler reads and writes; it also
// serves as the account record (accounts.h) and as the identity of query and
// web logins. TClients is the list of connected players, keyed by player id;
// it hands out player ids (1, 2, 3, ... until ResetPlayerIds) and random
// connection ids, and checks logins against stored accounts.
//
// Thread rules: TClients does not lock inside its operations. Every caller
// that reads or changes the list, or a record in it, holds the list's lock
// (Lock/Unlock, or std::lock_guard on the object) for the whole of its work.
// The list is itself the lock the thread-safety analysis knows
// (base/thread_annotations.h): its operations REQUIRES(this), its fields
// GUARDED_BY(this), and std::lock_guard<TClients> is an annotated holder
// (QV_ANNOTATED_LOCK_GUARD, base/mutex.h).
// Lock order: player list, then channel tree, then storage.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"
#include "base/hash_list.h"
#include "base/multi_list.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "model/script_storage.h"
#include "model/server_types.h"

namespace qv {

// The ids of the players one player does not want to hear. Values unused.
using TMuteList = THashList<void>;

// A player. While the record is in a TClients list, every field is guarded
// by that list's lock. Not annotated: a record does not know its list (and
// also lives outside any list, as an account or a handler's copy), so the
// analysis has no lock to name.
struct TClientRec {
  TClientRec();
  ~TClientRec();
  // A copy carries its own copy of the mute list (handlers test permissions
  // on temporary copies with other channel privileges).
  TClientRec(const TClientRec& other);
  TClientRec& operator=(const TClientRec& other);

  uint32_t ConnectionId = 0;  // session key carried by every packet of this player
  uint32_t PlayerId = 0;
  int32_t ChannelId = -1;          // -1 until the player has joined a channel
  uint16_t ChannelPrivileges = 0;  // cp* bits in the current channel
  uint16_t PlayerPrivileges = 0;   // sp* bits
  uint16_t PlayerFlags = 0;        // pf* bits and whatever else the client sets
  TText29 NickName;
  TText29 ClientName;
  TText29 ClientPlatform;
  std::array<uint16_t, 4> ClientVersion{};  // major, minor, release, build
  TText29 LoginName;      // empty for an anonymous login
  TText29 LoginPassword;  // as given at login or to set, plain text; never stored
  // The stored form of the account's password (password_hash.h), as read;
  // empty for a record whose LoginPassword is to be stored.
  std::string PasswordHash;
  TDateTime Created;      // creation of the stored account; 0 when anonymous
  bool LoginStep3Flag = false;
  bool Removing = false;  // departure already announced; do not announce again
  TDateTime LastActivity;
  TDateTime LoginTime;
  int32_t UploadBandwidth = 0;
  bool LoginComplete = false;
  int32_t StorageClientId = 0;  // "i_client_id" of the account; 0 when not registered
  std::unique_ptr<TMuteList> MuteList;

  bool IsRegistered() const { return (PlayerPrivileges & spRegistered) != 0; }
};

// Record helpers; the caller owns the record, no list lock is needed.
std::unique_ptr<TClientRec> NewClient();
void FreeAndClearClient(std::unique_ptr<TClientRec>& rec);
// True when id was added; false when already muted or rec has no mute list.
bool AddToPlayerMuteList(TClientRec* rec, uint32_t id);
// False when id was muted and is now removed; true when it was not muted (also
// for a missing record or mute list). The mute command replies with this value.
bool RemoveFromPlayerMuteList(TClientRec* rec, uint32_t id);
bool ClientInClientMuteList(const TClientRec* rec, uint32_t id);

class CAPABILITY("mutex") TClients {
 public:
  // Largest connection id GetNewConnectionID hands out (0xFFFFFE).
  static constexpr uint32_t kMaxConnectionId = 16777214;

  TClients(int32_t serverId, TScriptStorage storage);
  ~TClients();
  TClients(const TClients&) = delete;
  TClients& operator=(const TClients&) = delete;

  void Lock() ACQUIRE();
  void Unlock() RELEASE();
  void lock() ACQUIRE() { Lock(); }  // so std::lock_guard<TClients> works
  void unlock() RELEASE() { Unlock(); }
  // Takes the lock only when it is free (the voice relay on the socket's
  // reader thread waits for nobody).
  bool try_lock() TRY_ACQUIRE(true);
  bool Locked() const { return locked_; }

  // Takes the record into the list under its PlayerId; false (the record
  // stays with the caller) for an empty record or a player id in use.
  bool AddClient(std::unique_ptr<TClientRec>&& rec) REQUIRES(this);
  // Takes the record with rec's PlayerId out of the list and hands it back;
  // nullptr when it is not in the list.
  std::unique_ptr<TClientRec> DeleteClient(const TClientRec* rec) REQUIRES(this);
  TClientRec* GetClientByID(uint32_t id) const REQUIRES(this);
  // First player in list order whose nick name equals name exactly.
  TClientRec* GetClientByNickName(std::string_view name) const REQUIRES(this);
  // Whether a connected player is logged in with this login name.
  bool isLoggedIn(std::string_view name) const REQUIRES(this);

  // A random connection id in 1..kMaxConnectionId that no connected player
  // holds, drawn from the operating system's random source so that a peer
  // cannot predict another player's session key.
  uint32_t GetNewConnectionID() REQUIRES(this);
  // The id after the last one handed out that no connected player holds
  // (wrapping past 0xFFFFFFFF to 1); NextPlayerId takes it, PeekPlayerId
  // only looks (a refused login consumes no id).
  uint32_t NextPlayerId() REQUIRES(this);
  uint32_t PeekPlayerId() const REQUIRES(this);
  void ResetPlayerIds() REQUIRES(this) { lastPlayerId_ = 0; }
  uint32_t LastPlayerId() const REQUIRES(this) { return lastPlayerId_; }

  int Count() const REQUIRES(this) { return list_.Count(); }
  TClientRec* Items(int index) const REQUIRES(this) { return list_.Items(index); }
  // The connected players in list order, for range-for loops.
  const std::vector<std::unique_ptr<TClientRec>>& Items() const REQUIRES(this) { return list_.Items(); }
  int MaxCount() const REQUIRES(this) { return list_.MaxCount(); }

  int32_t ServerId() const { return serverId_; }
  const TScriptStorage& Storage() const { return storage_; }

  // The login check: a new record with spSA, Created and StorageClientId of
  // the matching account of this server, or nullptr (unknown name, wrong
  // password, failure). The password hash is checked on the calling thread
  // (DBCheckLogin of accounts.h; tens of milliseconds).
  std::unique_ptr<TClientRec> DBValidLogin(std::string_view name, std::string_view password);

  // The account operations of accounts.h for this server.
  int DBAddUser(TClientRec& rec);
  void DBSaveUser(TClientRec& rec);
  void DBDeleteUser(TClientRec& rec);
  void DBDeleteUser(int32_t clientId);
  std::unique_ptr<TClientRec> DBLoadUser(int32_t clientId);

 private:
  void LogFailure(std::string_view operation, const std::exception& e) const;

  const int32_t serverId_;
  const TScriptStorage storage_;
  std::mutex mutex_;                     // what Lock takes; the analysis knows it as the list itself
  std::atomic<bool> locked_{false};      // set while some thread holds mutex_
  uint32_t lastPlayerId_ GUARDED_BY(this) = 0;
  TMultiList<TClientRec> list_ GUARDED_BY(this){512};
  std::random_device random_ GUARDED_BY(this);
};

}  // namespace qv

QV_ANNOTATED_LOCK_GUARD(qv::TClients);
