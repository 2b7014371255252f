#include "model/channel_object.h"

#include <algorithm>

#include <fmt/format.h>

#include "base/exception.h"
#include "base/log.h"
#include "base/text_utils.h"

namespace qv {

namespace {

constexpr const char* kLogCategory = "CHANNEL";

void SetFlag(uint16_t& flags, uint16_t bit, bool on) {
  flags = on ? static_cast<uint16_t>(flags | bit) : static_cast<uint16_t>(flags & ~bit);
}

}  // namespace

bool TChannelRec::HasMember(uint32_t playerId) const {
  return std::any_of(Members.begin(), Members.end(),
                     [playerId](const TClientRec* p) { return p->PlayerId == playerId; });
}

std::unique_ptr<TChannelRec> NewChannel() { return std::make_unique<TChannelRec>(); }

void FreeAndClearChannel(std::unique_ptr<TChannelRec>& channel) { channel.reset(); }

// --- TChannels: housekeeping ---

TChannels::TChannels(int32_t serverId, TScriptStorage storage)
    : serverId_(serverId), storage_(std::move(storage)) {}

TChannels::~TChannels() = default;

void TChannels::Lock() {
  mutex_.lock();
  locked_ = true;
}

bool TChannels::try_lock() {
  if (!mutex_.try_lock()) return false;
  locked_ = true;
  return true;
}

void TChannels::Unlock() {
  locked_ = false;
  mutex_.unlock();
}

void TChannels::LogFailure(std::string_view operation, const std::exception& e) const {
  LogMsg(lmtError, lmdAll,
         fmt::format("SID: {} {} Exception: {}", serverId_, operation, ExceptionText(e)),
         kLogCategory);
}

// --- adding and deleting ---

// The checks AddChannel and AddChannelID share, after their own id or name
// test: 0 when the channel may be added.
int32_t TChannels::CheckNewChannel(const TChannelRec& channel) const {
  if (!channel.IsSubChannel()) return 0;
  const TChannelRec* parent = GetChannelById(channel.ParentId);
  if (!parent) return peParentChannelNotFound;
  if (parent->IsSubChannel()) return peParentIsSubChannel;
  if (!(parent->Flags & cfHierarchical)) return peChannelNotHierarchical;
  return 0;
}

void TChannels::ApplyInheritance(TChannelRec& channel, bool keepDefault) const {
  if (channel.IsSubChannel()) {
    const TChannelRec* parent = GetChannelById(channel.ParentId);
    SetFlag(channel.Flags, cfHierarchical, false);
    if (!keepDefault) SetFlag(channel.Flags, cfDefault, false);
    channel.Codec = parent->Codec;
    // A sub-channel of a registered channel is always registered; one of an
    // unregistered channel keeps the flag it was given.
    if (parent->IsRegistered()) SetFlag(channel.Flags, cfUnregistered, false);
  }
  SetFlag(channel.Flags, cfPassword, !channel.Password.empty());
}

// The old default channel is stored at once: left with its flag in storage,
// the next start would pick whichever of the two rows it reads last.
void TChannels::TakeOverDefault(const TChannelRec& channel) {
  if (!(channel.Flags & cfDefault)) return;
  if (TChannelRec* old = GetDefaultChannelAsPointer()) {
    SetFlag(old->Flags, cfDefault, false);
    AddChanged(old->Id);
    if (old->IsRegistered()) SaveChannel(old);
  }
}

void TChannels::InsertChannel(std::unique_ptr<TChannelRec>&& channel, int32_t id) {
  channel->Id = id;
  list_.Add(std::move(channel), static_cast<uint32_t>(id));
}

int32_t TChannels::AddChannel(std::unique_ptr<TChannelRec>&& channel) {
  changedChannels_.clear();
  if (!channel) return peSubChannelPassword;
  try {
    if (channel->IsSubChannel() && !channel->Password.empty()) return peSubChannelPassword;
    if (GetChannelByName(channel->Name, channel->ParentId)) return peChannelExists;
    if (int32_t code = CheckNewChannel(*channel)) return code;
    ApplyInheritance(*channel, false);
    TakeOverDefault(*channel);
    // Loaded channels keep their stored creation time.
    if (!loading_) channel->Created = Now();
    const int32_t id = ++lastChannelId_;
    TChannelRec* added = channel.get();
    InsertChannel(std::move(channel), id);
    if (added->IsRegistered()) SaveChannel(added);
    return id;
  } catch (const std::exception& e) {
    LogFailure("AddChannel", e);
    return peSubChannelPassword;
  }
}

int32_t TChannels::AddChannelID(std::unique_ptr<TChannelRec>&& channel) {
  changedChannels_.clear();
  if (!channel) return peSubChannelPassword;
  try {
    if (channel->IsSubChannel() && !channel->Password.empty()) return peSubChannelPassword;
    const int32_t id = channel->Id;
    if (id < 1) return peBadArgument;
    if (GetChannelById(id)) return peChannelExists;
    if (int32_t code = CheckNewChannel(*channel)) return code;
    ApplyInheritance(*channel, true);
    TakeOverDefault(*channel);
    channel->Created = Now();
    // Keeps later AddChannel ids clear of this one, even after it is deleted.
    lastChannelId_ = std::max(lastChannelId_, id);
    InsertChannel(std::move(channel), id);
    return id;
  } catch (const std::exception& e) {
    LogFailure("AddChannelID", e);
    return peSubChannelPassword;
  }
}

int32_t TChannels::CreateDefaultChannel() {
  auto channel = NewChannel();
  channel->Flags = cfDefault;
  channel->Codec = DefaultCodec;
  channel->ParentId = -1;
  channel->Name = "Default";
  channel->Topic = "Default";
  channel->Description = "Default Channel";
  channel->MaxUsers = 32000;
  channel->Order = 0;
  channel->StorageId = 0;
  channel->ParentStorageId = -1;
  return AddChannel(std::move(channel));
}

void TChannels::RemoveAndFree(TChannelRec* channel) {
  AddChanged(channel->Id);
  DeleteChannelFromStorage(channel);
  list_.Remove(static_cast<uint32_t>(channel->Id));
}

int32_t TChannels::DeleteChannelTree(int32_t id) {
  changedChannels_.clear();
  try {
    TChannelRec* channel = GetChannelById(id);
    if (!channel) return peChannelIdNotFound;
    if (channel->Flags & cfDefault) return peDefaultChannelNotDeletable;
    if (!channel->IsSubChannel()) {
      for (int i = list_.Count() - 1; i >= 0; --i) {
        TChannelRec* sub = list_.Items(i);
        if (sub->ParentId == id) RemoveAndFree(sub);
      }
    }
    RemoveAndFree(channel);
    return 0;
  } catch (const std::exception& e) {
    LogFailure("DeleteChannelTree", e);
    return peChannelIdNotFound;
  }
}

// --- loading from storage ---

void TChannels::LoadTopLevelRow(const TStorageRow& row) {
  auto channel = NewChannel();
  channel->Created = row.AsDateTime("dt_channel_created");
  channel->Password = Trim(row.AsString("s_channel_password"));
  channel->MaxUsers = static_cast<uint16_t>(row.AsInteger("i_channel_maxusers"));
  channel->Order = static_cast<uint16_t>(row.AsInteger("i_channel_order"));
  channel->Description = row.AsString("s_channel_description");
  channel->Topic = row.AsString("s_channel_topic");
  channel->Name = row.AsString("s_channel_name");
  channel->ParentId = -1;
  channel->Codec = static_cast<uint16_t>(row.AsInteger("i_channel_codec"));
  channel->StorageId = row.AsInteger("i_channel_id");
  channel->ParentStorageId = -1;
  SetFlag(channel->Flags, cfModerated, row.AsBoolean("b_channel_flag_moderated"));
  SetFlag(channel->Flags, cfHierarchical, row.AsBoolean("b_channel_flag_hierarchical"));
  SetFlag(channel->Flags, cfDefault, row.AsBoolean("b_channel_flag_default"));
  AddChannel(std::move(channel));  // a rejected row is dropped
}

// A sub-channel row takes codec, max users and flags from its loaded parent,
// not from its own columns, so a stored tree cannot break the tree rules.
void TChannels::LoadSubChannelRow(const TStorageRow& row) {
  const int32_t parentStorageId = row.AsInteger("i_channel_parent_id");
  // The parent is found by its storage id: names need not be unique across
  // the whole tree, storage ids are.
  TChannelRec* parent = nullptr;
  for (const auto& candidate : list_.Items()) {
    if (!candidate->IsSubChannel() && candidate->StorageId == parentStorageId) {
      parent = candidate.get();
      break;
    }
  }
  if (!parent) return;
  auto channel = NewChannel();
  channel->Created = row.AsDateTime("dt_channel_created");
  channel->Order = static_cast<uint16_t>(row.AsInteger("i_channel_order"));
  channel->Description = row.AsString("s_channel_description");
  channel->Topic = row.AsString("s_channel_topic");
  channel->Name = row.AsString("s_channel_name");
  channel->StorageId = row.AsInteger("i_channel_id");
  channel->ParentStorageId = parent->StorageId;
  channel->ParentId = parent->Id;
  channel->Codec = parent->Codec;
  channel->MaxUsers = parent->MaxUsers;
  channel->Flags = parent->Flags;
  AddChannel(std::move(channel));
}

bool TChannels::LoadChannels() {
  loading_ = true;
  try {
    std::unique_ptr<TStorageContainer> rows;
    if (storage_.Valid()) {
      TStorageLock lock(*storage_);
      storage_.Load("read_channels.sql");
      storage_->SetParamInteger(":iServerID", serverId_);
      rows = storage_->OpenSQL();
    }
    if (!rows) {
      loading_ = false;
      CreateDefaultChannel();
      return list_.Count() > 0;
    }
    for (size_t i = 0; i < rows->Count(); ++i) {
      if (rows->RowAt(i).AsInteger("i_channel_parent_id") == -1) LoadTopLevelRow(rows->RowAt(i));
    }
    for (size_t i = 0; i < rows->Count(); ++i) {
      if (rows->RowAt(i).AsInteger("i_channel_parent_id") > 0) LoadSubChannelRow(rows->RowAt(i));
    }
    loading_ = false;
    return list_.Count() > 0;
  } catch (const std::exception& e) {
    loading_ = false;
    LogFailure("LoadChannels", e);
    return false;
  }
}

// --- lookups ---

TChannelRec* TChannels::GetChannelById(int32_t id) const {
  return list_.Get(static_cast<uint32_t>(id));
}

TChannelRec* TChannels::GetChannelByName(std::string_view name, int32_t parentId) const {
  for (const auto& channel : list_.Items()) {
    if ((parentId == -1 || channel->ParentId == parentId) && SameText(channel->Name, name)) {
      return channel.get();
    }
  }
  return nullptr;
}

TChannelRec* TChannels::GetDefaultChannelAsPointer() const {
  for (const auto& channel : list_.Items()) {
    if (channel->Flags & cfDefault) return channel.get();
  }
  return nullptr;
}

int32_t TChannels::GetDefaultChannel() const {
  const TChannelRec* channel = GetDefaultChannelAsPointer();
  return channel ? channel->Id : -1;
}

TChannelRec* TChannels::GetMainChannel(int32_t id) const {
  const TChannelRec* channel = GetChannelById(id);
  if (!channel || !channel->IsSubChannel()) return nullptr;
  return GetChannelById(channel->ParentId);
}

int32_t TChannels::GetTopChannelId(int32_t id) const {
  const TChannelRec* channel = GetChannelById(id);
  if (!channel) return -1;
  if (!channel->IsSubChannel()) return channel->Id;
  const TChannelRec* parent = GetChannelById(channel->ParentId);
  return parent ? parent->Id : -1;
}

bool TChannels::SameChannelTree(int32_t idA, int32_t idB) const {
  const int32_t topA = GetTopChannelId(idA);
  return topA != -1 && topA == GetTopChannelId(idB);
}

bool TChannels::HasSubChannels(const TChannelRec* channel) const {
  if (!channel) return false;
  return std::any_of(list_.Items().begin(), list_.Items().end(),
                     [channel](const auto& c) { return c->ParentId == channel->Id; });
}

// --- changing channels ---

void TChannels::UpdateSubChannels(const TChannelRec* parent) {
  changedChannels_.clear();
  if (!parent) return;
  try {
    const uint16_t inherited = parent->Flags & ~(cfHierarchical | cfDefault);
    for (const auto& sub : list_.Items()) {
      if (sub->ParentId != parent->Id) continue;
      sub->Flags = inherited;
      sub->Password.clear();
      AddChanged(sub->Id);
      // Sub-channels follow their parent into and out of storage. A parent
      // that became registered is stored first by the caller, so sub-channels
      // not yet stored are written whatever the parent's storage id is.
      if (parent->IsRegistered()) {
        if (sub->StorageId == 0) SaveChannel(sub.get());
      } else {
        DeleteChannelFromStorage(sub.get());
      }
      if (!(parent->Flags & (cfModerated | cfUnregistered))) RemoveModeratedAttribs(sub.get());
    }
  } catch (const std::exception& e) {
    LogFailure("UpdateSubChannels", e);
  }
}

void TChannels::SetDefaultChannelMaxUsers(uint16_t maxUsers) {
  if (TChannelRec* channel = GetDefaultChannelAsPointer()) channel->MaxUsers = maxUsers;
}

void TChannels::SaveChannel(TChannelRec* channel) {
  if (loading_ || !channel || !storage_.Valid()) return;
  try {
    if (channel->IsSubChannel()) {
      SetFlag(channel->Flags, cfHierarchical | cfDefault, false);
      channel->Password.clear();
      // A sub-channel is stored under its parent's current row; without one
      // it would come back as an orphan, so it waits until the parent is stored.
      const TChannelRec* parent = GetChannelById(channel->ParentId);
      if (!parent || parent->StorageId <= 0) return;
      channel->ParentStorageId = parent->StorageId;
    }
    TStorageLock lock(*storage_);
    const bool insert = channel->StorageId <= 0;
    if (insert) {
      storage_.Load("new_channel.sql");
      storage_->SetParamInteger(":iParentID", channel->ParentStorageId);
      storage_->SetParamDateTime(":dtCreated", channel->Created);
    } else {
      storage_.Load("edit_channel.sql");
      storage_->SetParamInteger(":iChannelID", channel->StorageId);
    }
    storage_->SetParamInteger(":iServerID", serverId_);
    storage_->SetParamString(":sPassword", channel->Password);
    storage_->SetParamString(":sName", channel->Name);
    storage_->SetParamString(":sTopic", channel->Topic);
    storage_->SetParamString(":sDescription", channel->Description);
    storage_->SetParamInteger(":iMaxUsers", channel->MaxUsers);
    storage_->SetParamInteger(":iOrder", channel->Order);
    storage_->SetParamInteger(":iCodec", channel->Codec);
    storage_->SetParamBool(":bModerated", (channel->Flags & cfModerated) != 0);
    storage_->SetParamBool(":bHierarchical", (channel->Flags & cfHierarchical) != 0);
    storage_->SetParamBool(":bDefault", (channel->Flags & cfDefault) != 0);
    // A failed insert keeps storage id 0: taking the last insert id would
    // make later edits overwrite some other row.
    if (storage_->ExecSQL() && insert) {
      channel->StorageId = static_cast<int32_t>(storage_->GetLastInsertID());
    }
  } catch (const std::exception& e) {
    LogFailure("SaveChannel", e);
  }
}

void TChannels::DeleteChannelFromStorage(TChannelRec* channel) {
  if (!channel || channel->StorageId <= 0 || !storage_.Valid()) return;
  try {
    TStorageLock lock(*storage_);
    storage_.Load("delete_channel.sql");
    storage_->SetParamInteger(":iServerID", serverId_);
    storage_->SetParamInteger(":iChannelID", channel->StorageId);
    storage_->ExecSQL();
    channel->StorageId = 0;
  } catch (const std::exception& e) {
    LogFailure("DeleteChannelFromStorage", e);
  }
}

// --- members ---

void TChannels::ClientJoinedChannel(TChannelRec* channel, TClientRec* player) {
  if (!channel || !player || channel->HasMember(player->PlayerId)) return;
  channel->Members.push_back(player);
}

void TChannels::ClientLeftChannel(TChannelRec* channel, const TClientRec* player) {
  if (!channel || !player) return;
  std::erase_if(channel->Members,
                [player](const TClientRec* p) { return p->PlayerId == player->PlayerId; });
}

void TChannels::ClearChannelClientLists(int32_t playerId) {
  const auto id = static_cast<uint32_t>(playerId);
  for (const auto& channel : list_.Items()) {
    std::erase_if(channel->Members, [id](const TClientRec* p) { return p->PlayerId == id; });
  }
}

}  // namespace qv
