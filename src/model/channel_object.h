// The channel tree of one virtual server.
//
// TChannels keeps the channels in a flat list keyed by runtime channel id
// (1, 2, 3, ... in order of addition, never reused while the server runs)
// and enforces the tree rules: at most two levels, sub-channels only under
// hierarchical top-level channels, no passwords on sub-channels, at most one
// default channel, no two siblings whose names are equal ignoring case.
// Registered channels (without cfUnregistered) are kept in storage and rebuilt
// with new runtime ids at the next start. Every channel also holds the players
// now in it (borrowed records) and the per-player channel privileges
// (model/channel_privileges.h).
//
// Operations that change several channels list the ids they touched in
// ChangedChannels() so that the caller can notify clients afterwards.
//
// Thread rules: no operation takes the tree's lock itself; callers hold it
// (Lock/Unlock, or std::lock_guard on the object) around every use. The tree
// is itself the lock the thread-safety analysis knows: its operations
// REQUIRES(this), its fields GUARDED_BY(this), std::lock_guard<TChannels> is
// an annotated holder (QV_ANNOTATED_LOCK_GUARD, base/mutex.h). Storage is
// locked inside for one script at a time. Lock order: player list, channel
// tree, storage.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"
#include "base/multi_list.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "model/channel_privileges.h"
#include "model/client_object.h"
#include "model/script_storage.h"
#include "model/server_types.h"
#include "protocol/protocol_errors.h"

namespace qv {

// A channel. Once added, every field is guarded by the owning tree's lock.
// Not annotated: a record does not know its tree (and is built outside one
// before AddChannel), so the analysis has no lock to name.
struct TChannelRec {
  int32_t Id = 0;          // runtime id; 0 until the tree assigns one
  uint16_t Flags = 0;      // cf* bits
  uint16_t Codec = 0;      // TCodec
  int32_t ParentId = -1;   // runtime id of the parent; -1 for a top-level channel
  uint16_t Order = 0;      // sort order shown to clients
  uint16_t MaxUsers = 0;
  std::string Name;
  std::string Topic;
  std::string Description;
  TText29 Password;        // empty: none
  TDateTime Created;
  int32_t StorageId = 0;         // row id in storage; 0 while not stored
  int32_t ParentStorageId = -1;  // storage id of the parent; -1 for a top-level channel
  TMultiList<TChannelAttrib> Privileges{512};  // keyed by player id
  std::vector<TClientRec*> Members;            // players now in the channel; borrowed

  bool IsSubChannel() const { return ParentId != -1; }
  bool IsRegistered() const { return (Flags & cfUnregistered) == 0; }
  bool HasMember(uint32_t playerId) const;
};

std::unique_ptr<TChannelRec> NewChannel();
void FreeAndClearChannel(std::unique_ptr<TChannelRec>& channel);

class CAPABILITY("mutex") TChannels {
 public:
  TChannels(int32_t serverId, TScriptStorage storage);
  ~TChannels();
  TChannels(const TChannels&) = delete;
  TChannels& operator=(const TChannels&) = delete;

  void Lock() ACQUIRE();
  void Unlock() RELEASE();
  void lock() ACQUIRE() { Lock(); }  // so std::lock_guard<TChannels> works
  void unlock() RELEASE() { Unlock(); }
  // Takes the lock only when it is free (the voice relay on the socket's
  // reader thread waits for nobody).
  bool try_lock() TRY_ACQUIRE(true);
  bool Locked() const { return locked_; }

  // The codec of the channel CreateDefaultChannel makes; the server object
  // sets it from its allowed codecs before loading.
  uint16_t DefaultCodec = codecCelp51;

  // --- building the tree ---

  // Adds the channel and returns its new id (> 0), or a pe* code (protocol/protocol_errors.h); on a code
  // the record stays with the caller. Stores a registered channel.
  int32_t AddChannel(std::unique_ptr<TChannelRec>&& channel) REQUIRES(this);
  // As AddChannel for a record whose Id the caller has set; never stores it.
  // Later AddChannel ids stay above every id given here.
  int32_t AddChannelID(std::unique_ptr<TChannelRec>&& channel) REQUIRES(this);
  // The "Default" channel, added (and stored) with AddChannel.
  int32_t CreateDefaultChannel() REQUIRES(this);
  // Deletes the channel and, for a top-level channel, its sub-channels (from
  // storage too). 0 or a pe* code; ChangedChannels lists sub-channels first.
  int32_t DeleteChannelTree(int32_t id) REQUIRES(this);
  // Rebuilds the tree from storage; true when at least one channel exists.
  bool LoadChannels() REQUIRES(this);

  // --- lookups ---

  TChannelRec* GetChannelById(int32_t id) const REQUIRES(this);
  // First channel in list order whose name equals name ignoring case and
  // whose parent is parentId (any parent when parentId is -1).
  TChannelRec* GetChannelByName(std::string_view name, int32_t parentId) const REQUIRES(this);
  int32_t GetDefaultChannel() const REQUIRES(this);  // -1 when there is none
  TChannelRec* GetDefaultChannelAsPointer() const REQUIRES(this);
  TChannelRec* GetMainChannel(int32_t id) const REQUIRES(this);  // the parent; nullptr for top-level or missing
  int32_t GetTopChannelId(int32_t id) const REQUIRES(this);      // -1 when id or its parent is missing
  bool SameChannelTree(int32_t idA, int32_t idB) const REQUIRES(this);
  bool HasSubChannels(const TChannelRec* channel) const REQUIRES(this);

  int Count() const REQUIRES(this) { return list_.Count(); }
  TChannelRec* Items(int index) const REQUIRES(this) { return list_.Items(index); }
  const std::vector<std::unique_ptr<TChannelRec>>& Items() const REQUIRES(this) { return list_.Items(); }
  int MaxCount() const REQUIRES(this) { return list_.MaxCount(); }
  // The ids the last AddChannel, AddChannelID, DeleteChannelTree or
  // UpdateSubChannels touched besides its own result.
  const std::vector<int32_t>& ChangedChannels() const REQUIRES(this) { return changedChannels_; }

  // --- changing channels ---

  // Gives the sub-channels of parent its flags (without cfHierarchical and
  // cfDefault) and no password, and follows the parent into or out of storage.
  void UpdateSubChannels(const TChannelRec* parent) REQUIRES(this);
  void SetDefaultChannelMaxUsers(uint16_t maxUsers) REQUIRES(this);
  void SaveChannel(TChannelRec* channel) REQUIRES(this);
  void DeleteChannelFromStorage(TChannelRec* channel) REQUIRES(this);

  // --- channel privileges (the per-player store, channel_privileges.cpp) ---

  // The player's privileges in the channel, from the privilege list or, for
  // a registered player in a registered channel, from storage; cpAutoOP
  // implies cpOP and cpAutoV implies cpV.
  uint16_t GetChannelAttribs(TChannelRec* channel, const TClientRec* player) REQUIRES(this);
  // Records the player's current ChannelPrivileges for the channel (and
  // stores them for a registered player in a registered channel).
  void SetChannelAttribs(TChannelRec* channel, const TClientRec* player) REQUIRES(this);
  void ClearChannelAttribs(int32_t playerId) REQUIRES(this);
  void UpdatePlayerChannelAttribs(const TClientRec* player) REQUIRES(this);
  void UpdateChannelAttribs(TChannelRec* channel, const TClients& clients) REQUIRES(this, clients);
  void ClearModeratedChannelAttribs(TChannelRec* channel) REQUIRES(this);
  void RemoveModeratedAttribs(const TChannelRec* channel) REQUIRES(this);
  uint16_t ReadChannelPrivilege(const TChannelRec* channel, const TClientRec* player) REQUIRES(this);
  void SaveChannelPrivilege(const TChannelRec* channel, int32_t storageClientId, uint16_t flags) REQUIRES(this);
  void SavePlayerChannelPrivilege(const TChannelRec* channel, const TClientRec* player) REQUIRES(this);

  // --- members ---

  void ClientJoinedChannel(TChannelRec* channel, TClientRec* player) REQUIRES(this);
  void ClientLeftChannel(TChannelRec* channel, const TClientRec* player) REQUIRES(this);
  void ClearChannelClientLists(int32_t playerId) REQUIRES(this);

  int32_t ServerId() const { return serverId_; }

 private:
  int32_t CheckNewChannel(const TChannelRec& channel) const REQUIRES(this);
  void ApplyInheritance(TChannelRec& channel, bool keepDefault) const REQUIRES(this);
  void TakeOverDefault(const TChannelRec& channel) REQUIRES(this);
  void InsertChannel(std::unique_ptr<TChannelRec>&& channel, int32_t id) REQUIRES(this);
  void RemoveAndFree(TChannelRec* channel) REQUIRES(this);
  void LoadTopLevelRow(const TStorageRow& row) REQUIRES(this);
  void LoadSubChannelRow(const TStorageRow& row) REQUIRES(this);
  void WriteChannelPrivilege(const TChannelRec* channel, int32_t storageClientId, uint16_t flags);
  void LogFailure(std::string_view operation, const std::exception& e) const;
  void AddChanged(int32_t id) REQUIRES(this) { changedChannels_.push_back(id); }

  const int32_t serverId_;
  const TScriptStorage storage_;
  std::mutex mutex_;                          // what Lock takes; the analysis knows it as the tree itself
  std::atomic<bool> locked_{false};           // set while some thread holds mutex_
  int32_t lastChannelId_ GUARDED_BY(this) = 0;
  TMultiList<TChannelRec> list_ GUARDED_BY(this){128};
  std::vector<int32_t> changedChannels_ GUARDED_BY(this);
  bool loading_ GUARDED_BY(this) = false;  // no storing while set
};

}  // namespace qv

QV_ANNOTATED_LOCK_GUARD(qv::TChannels);
