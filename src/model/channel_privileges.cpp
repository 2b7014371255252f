#include "model/channel_privileges.h"

#include <memory>

#include "model/channel_object.h"

namespace qv {

namespace {

// Auto-operator and auto-voice count as operator and voice wherever
// privileges are read.
uint16_t WithImplied(uint16_t flags) {
  if (flags & cpAutoOP) flags |= cpOP;
  if (flags & cpAutoV) flags |= cpV;
  return flags;
}

}  // namespace

void TChannels::RemoveModeratedAttribs(const TChannelRec* channel) {
  if (!channel || !channel->IsRegistered() || channel->StorageId <= 0 || !storage_.Valid()) return;
  try {
    TStorageLock lock(*storage_);
    storage_.Load("remove_moderatedattribs.sql");
    storage_->SetParamInteger(":iServerID", serverId_);
    storage_->SetParamInteger(":iChannelID", channel->StorageId);
    storage_->ExecSQL();
  } catch (const std::exception& e) {
    LogFailure("RemoveModeratedAttribs", e);
  }
}

uint16_t TChannels::GetChannelAttribs(TChannelRec* channel, const TClientRec* player) {
  if (!channel || !player) return 0;
  try {
    if (const TChannelAttrib* entry = channel->Privileges.Get(player->PlayerId)) {
      return WithImplied(entry->Flags);
    }
    if (!player->IsRegistered() || !channel->IsRegistered()) return 0;
    const uint16_t flags = WithImplied(ReadChannelPrivilege(channel, player));
    if (flags != 0) {
      auto entry = std::make_unique<TChannelAttrib>();
      entry->Flags = flags;
      entry->PlayerId = player->PlayerId;
      channel->Privileges.Add(std::move(entry), player->PlayerId);
    }
    return flags;
  } catch (const std::exception& e) {
    LogFailure("GetChannelAttribs", e);
    return 0;
  }
}

uint16_t TChannels::ReadChannelPrivilege(const TChannelRec* channel, const TClientRec* player) {
  if (!channel || !player || channel->StorageId <= 0 || player->StorageClientId <= 0) return 0;
  if (!storage_.Valid()) return 0;
  try {
    TStorageLock lock(*storage_);
    storage_.Load("read_channel_privilege.sql");
    storage_->SetParamInteger(":iServerID", serverId_);
    storage_->SetParamInteger(":iClientID", player->StorageClientId);
    storage_->SetParamInteger(":iChannelID", channel->StorageId);
    std::unique_ptr<TStorageContainer> rows = storage_->OpenSQL();
    if (!rows) return 0;
    const TStorageRow& row = rows->Row();
    uint16_t flags = 0;
    if (row.AsBoolean("b_cp_flag_admin")) flags |= cpCA;
    if (row.AsBoolean("b_cp_flag_autoop")) flags |= cpAutoOP;
    if (row.AsBoolean("b_cp_flag_autovoice")) flags |= cpAutoV;
    return flags;
  } catch (const std::exception& e) {
    LogFailure("ReadChannelPrivilege", e);
    return 0;
  }
}

void TChannels::SetChannelAttribs(TChannelRec* channel, const TClientRec* player) {
  if (!channel || !player) return;
  try {
    TChannelAttrib* entry = channel->Privileges.Get(player->PlayerId);
    if (!entry) {
      auto created = std::make_unique<TChannelAttrib>();
      created->PlayerId = player->PlayerId;
      entry = created.get();
      channel->Privileges.Add(std::move(created), player->PlayerId);
    }
    entry->Flags = player->ChannelPrivileges;
    if (player->IsRegistered() && channel->IsRegistered()) SavePlayerChannelPrivilege(channel, player);
  } catch (const std::exception& e) {
    LogFailure("SetChannelAttribs", e);
  }
}

// Operator and voice are never stored; only admin, auto-operator and auto-voice.
void TChannels::WriteChannelPrivilege(const TChannelRec* channel, int32_t storageClientId, uint16_t flags) {
  TStorageLock lock(*storage_);
  auto bindKey = [&] {
    storage_->SetParamInteger(":iServerID", serverId_);
    storage_->SetParamInteger(":iClientID", storageClientId);
    storage_->SetParamInteger(":iChannelID", channel->StorageId);
  };
  storage_.Load("read_channel_privilege.sql");
  bindKey();
  const bool exists = storage_->OpenSQL() != nullptr;
  storage_.Load(exists ? "edit_channel_privilege.sql" : "new_channel_privilege.sql");
  bindKey();
  storage_->SetParamBool(":bAdmin", (flags & cpCA) != 0);
  storage_->SetParamBool(":bAutoOP", (flags & cpAutoOP) != 0);
  storage_->SetParamBool(":bAutoVoice", (flags & cpAutoV) != 0);
  storage_->ExecSQL();
}

void TChannels::SaveChannelPrivilege(const TChannelRec* channel, int32_t storageClientId, uint16_t flags) {
  if (!channel || channel->StorageId <= 0 || storageClientId <= 0 || !storage_.Valid()) return;
  try {
    WriteChannelPrivilege(channel, storageClientId, flags);
  } catch (const std::exception& e) {
    LogFailure("SaveChannelPrivilege", e);
  }
}

void TChannels::SavePlayerChannelPrivilege(const TChannelRec* channel, const TClientRec* player) {
  if (!channel || !player || !player->IsRegistered()) return;
  if (channel->StorageId <= 0 || player->StorageClientId <= 0 || !storage_.Valid()) return;
  try {
    WriteChannelPrivilege(channel, player->StorageClientId, player->ChannelPrivileges);
  } catch (const std::exception& e) {
    LogFailure("SavePlayerChannelPrivilege", e);
  }
}

void TChannels::ClearChannelAttribs(int32_t playerId) {
  if (playerId <= 0) return;
  const auto key = static_cast<uint32_t>(playerId);
  for (int i = list_.Count() - 1; i >= 0; --i) {
    TChannelRec* channel = list_.Items(i);
    if (channel->Privileges.Contains(key)) channel->Privileges.Remove(key);
  }
}

void TChannels::UpdatePlayerChannelAttribs(const TClientRec* player) {
  if (!player || !player->IsRegistered()) return;
  for (const auto& channel : list_.Items()) {
    if (!channel->IsRegistered()) continue;
    if (const TChannelAttrib* entry = channel->Privileges.Get(player->PlayerId)) {
      SaveChannelPrivilege(channel.get(), player->StorageClientId, entry->Flags);
    }
  }
}

// Stores what each entry records for this channel, not the player's current
// privileges: those belong to the channel he sits in, which may be another.
void TChannels::UpdateChannelAttribs(TChannelRec* channel, const TClients& clients) {
  if (!channel || !channel->IsRegistered()) return;
  for (const auto& entry : channel->Privileges.Items()) {
    const TClientRec* player = clients.GetClientByID(entry->PlayerId);
    if (player && player->IsRegistered()) {
      SaveChannelPrivilege(channel, player->StorageClientId, entry->Flags);
    }
  }
}

void TChannels::ClearModeratedChannelAttribs(TChannelRec* channel) {
  if (!channel) return;
  RemoveModeratedAttribs(channel);
  for (const auto& entry : channel->Privileges.Items()) {
    entry->Flags &= static_cast<uint16_t>(~(cpOP | cpV | cpAutoOP | cpAutoV));
  }
}

}  // namespace qv
