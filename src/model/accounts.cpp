#include "model/accounts.h"

#include <fmt/format.h>

#include "base/exception.h"
#include "base/log.h"
#include "base/text_utils.h"

namespace qv {

namespace {

constexpr int32_t kSuperAdminServerId = 0;

void LogFailure(std::string_view label, const std::exception& e) {
  LogMsg(lmtError, lmdAll, fmt::format("{} Exception: {}", label, ExceptionText(e)), "CLIENT");
}

// The account row of this name on this server, or nullptr. Caller holds the lock.
std::unique_ptr<TStorageContainer> ReadByName(const TScriptStorage& storage, int32_t serverId,
                                              std::string_view name) {
  storage.Load("read_clients_name.sql");
  storage->SetParamString(":sName", name);
  storage->SetParamInteger(":iServerID", serverId);
  return storage->OpenSQL();
}

int AddAccount(const TScriptStorage& storage, int32_t serverId, TClientRec& rec, bool serverAdmin) {
  TStorageLock lock(*storage);
  if (ReadByName(storage, serverId, rec.LoginName)) return peLoginNameInUse;
  storage.Load("new_client.sql");
  storage->SetParamDateTime(":dtCreated", Now());
  storage->SetParamString(":sName", rec.LoginName);
  storage->SetParamString(":sPassword", rec.LoginPassword);
  storage->SetParamBool(":bServerAdmin", serverAdmin);
  storage->SetParamInteger(":iServerID", serverId);
  // A failed insert must not hand out the id of some earlier row.
  if (!storage->ExecSQL()) return peLoginNameInUse;
  rec.StorageClientId = static_cast<int32_t>(storage->GetLastInsertID());
  return 0;
}

void SaveAccount(const TScriptStorage& storage, int32_t serverId, TClientRec& rec, bool serverAdmin) {
  if (Trim(rec.LoginName.str()).empty()) return;
  TStorageLock lock(*storage);
  std::unique_ptr<TStorageContainer> existing = ReadByName(storage, serverId, rec.LoginName);
  if (existing) {
    storage.Load("edit_client.sql");
    storage->SetParamInteger(":iClientId", existing->Row().AsInteger("i_client_id"));
  } else {
    storage.Load("new_client.sql");
    storage->SetParamDateTime(":dtCreated", Now());
  }
  storage->SetParamString(":sName", rec.LoginName);
  storage->SetParamString(":sPassword", rec.LoginPassword);
  storage->SetParamBool(":bServerAdmin", serverAdmin);
  storage->SetParamInteger(":iServerID", serverId);
  if (!storage->ExecSQL()) return;
  if (rec.StorageClientId == 0) {
    // After an update there is no new row: the id is the row's own.
    rec.StorageClientId = existing ? existing->Row().AsInteger("i_client_id")
                                   : static_cast<int32_t>(storage->GetLastInsertID());
  }
}

void DeleteAccount(const TScriptStorage& storage, int32_t serverId, int32_t clientId) {
  TStorageLock lock(*storage);
  storage.Load("delete_client.sql");
  storage->SetParamInteger(":iServerID", serverId);
  storage->SetParamInteger(":iClientID", clientId);
  storage->ExecSQL();
}

std::unique_ptr<TClientRec> RecordFromRow(const TStorageRow& row, bool readServerAdmin) {
  auto rec = NewClient();
  if (!rec) return nullptr;
  if (readServerAdmin && row.AsBoolean("b_client_privilege_serveradmin")) rec->PlayerPrivileges |= spSA;
  rec->LoginName = row.AsString("s_client_name");
  rec->LoginPassword = row.AsString("s_client_password");
  rec->Created = row.AsDateTime("dt_client_created");
  rec->StorageClientId = row.AsInteger("i_client_id");
  return rec;
}

std::unique_ptr<TClientRec> LoadById(const TScriptStorage& storage, int32_t serverId, int32_t clientId,
                                     bool readServerAdmin) {
  TStorageLock lock(*storage);
  storage.Load("read_clients_id.sql");
  storage->SetParamInteger(":iClientID", clientId);
  storage->SetParamInteger(":iServerID", serverId);
  std::unique_ptr<TStorageContainer> rows = storage->OpenSQL();
  return rows ? RecordFromRow(rows->Row(), readServerAdmin) : nullptr;
}

}  // namespace

int DBAddUser(const TScriptStorage& storage, int32_t serverId, TClientRec& rec) {
  try {
    return AddAccount(storage, serverId, rec, (rec.PlayerPrivileges & spSA) != 0);
  } catch (const std::exception& e) {
    LogFailure("DBAddUser", e);
    return peLoginNameInUse;
  }
}

int DBAddSuperUser(const TScriptStorage& storage, TClientRec& rec) {
  try {
    return AddAccount(storage, kSuperAdminServerId, rec, true);
  } catch (const std::exception& e) {
    LogFailure("DBAddSuperUser", e);
    return peLoginNameInUse;
  }
}

void DBSaveUser(const TScriptStorage& storage, int32_t serverId, TClientRec& rec) {
  try {
    SaveAccount(storage, serverId, rec, (rec.PlayerPrivileges & spSA) != 0);
  } catch (const std::exception& e) {
    LogFailure("DBSaveUser", e);
  }
}

void DBSaveSuperUser(const TScriptStorage& storage, TClientRec& rec) {
  try {
    SaveAccount(storage, kSuperAdminServerId, rec, true);
  } catch (const std::exception& e) {
    LogFailure("_DBSaveSuperUser", e);
  }
}

void DBDeleteUser(const TScriptStorage& storage, int32_t serverId, TClientRec& rec) {
  try {
    DeleteAccount(storage, serverId, rec.StorageClientId);
    rec.LoginName.clear();
    rec.LoginPassword.clear();
    rec.StorageClientId = -1;
  } catch (const std::exception& e) {
    LogFailure("DBDeleteUser", e);
  }
}

void DBDeleteUser(const TScriptStorage& storage, int32_t serverId, int32_t clientId) {
  try {
    DeleteAccount(storage, serverId, clientId);
  } catch (const std::exception& e) {
    LogFailure("_DBDeleteUser", e);
  }
}

std::unique_ptr<TClientRec> DBLoadUser(const TScriptStorage& storage, int32_t serverId,
                                       int32_t clientId) {
  try {
    return LoadById(storage, serverId, clientId, true);
  } catch (const std::exception& e) {
    LogFailure("_DBLoadUser", e);
    return nullptr;
  }
}

std::unique_ptr<TClientRec> DBLoadUser(const TScriptStorage& storage, int32_t serverId,
                                       std::string_view name) {
  try {
    TStorageLock lock(*storage);
    std::unique_ptr<TStorageContainer> rows = ReadByName(storage, serverId, name);
    return rows ? RecordFromRow(rows->Row(), true) : nullptr;
  } catch (const std::exception& e) {
    LogFailure("DBLoadUser", e);
    return nullptr;
  }
}

std::unique_ptr<TClientRec> DBLoadSuperUser(const TScriptStorage& storage, int32_t clientId) {
  try {
    return LoadById(storage, kSuperAdminServerId, clientId, false);
  } catch (const std::exception& e) {
    LogFailure("DBLoadSuperUser", e);
    return nullptr;
  }
}

}  // namespace qv
