#include "model/accounts.h"

#include <fmt/format.h>

#include <optional>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/log.h"
#include "base/password_hash.h"
#include "base/text_utils.h"

namespace qv {

namespace {

constexpr int32_t kSuperAdminServerId = 0;

void LogFailure(std::string_view label, const std::exception& e) {
  LogMsg(lmtError, lmdAll, fmt::format("{} Exception: {}", label, ExceptionText(e)), "CLIENT");
}

// The account row of this name on this server, or nullptr. The caller holds
// the storage lock (TStorageLock; not annotated: it is a recursive mutex,
// which the thread-safety analysis does not model).
std::unique_ptr<TStorageContainer> ReadByName(const TScriptStorage& storage, int32_t serverId,
                                              std::string_view name) {
  storage.Load("read_clients_name.sql");
  storage->SetParamString(":sName", name);
  storage->SetParamInteger(":iServerID", serverId);
  return storage->OpenSQL();
}

// The hash to store for rec: the one it holds, or a new one of its
// LoginPassword. Made before the storage lock: hashing takes a while.
std::string StoredPassword(const TClientRec& rec) {
  return rec.PasswordHash.empty() ? HashPassword(rec.LoginPassword.str()) : rec.PasswordHash;
}

int AddAccount(const TScriptStorage& storage, int32_t serverId, TClientRec& rec, bool serverAdmin) {
  const std::string stored = StoredPassword(rec);
  TStorageLock lock(*storage);
  if (ReadByName(storage, serverId, rec.LoginName)) return peLoginNameInUse;
  storage.Load("new_client.sql");
  storage->SetParamDateTime(":dtCreated", Now());
  storage->SetParamString(":sName", rec.LoginName);
  storage->SetParamString(":sPassword", stored);
  storage->SetParamBool(":bServerAdmin", serverAdmin);
  storage->SetParamInteger(":iServerID", serverId);
  // A failed insert must not hand out the id of some earlier row.
  if (!storage->ExecSQL()) return peLoginNameInUse;
  rec.PasswordHash = stored;
  rec.StorageClientId = static_cast<int32_t>(storage->GetLastInsertID());
  return 0;
}

void SaveAccount(const TScriptStorage& storage, int32_t serverId, TClientRec& rec, bool serverAdmin) {
  if (Trim(rec.LoginName.str()).empty()) return;
  const std::string stored = StoredPassword(rec);
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
  storage->SetParamString(":sPassword", stored);
  storage->SetParamBool(":bServerAdmin", serverAdmin);
  storage->SetParamInteger(":iServerID", serverId);
  if (!storage->ExecSQL()) return;
  rec.PasswordHash = stored;
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
  rec->PasswordHash = row.AsString("s_client_password");
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

// The stored hash of the first account row of name, or nullopt.
std::optional<std::string> ReadStoredHash(const TScriptStorage& storage, int32_t serverId, std::string_view name) {
  TStorageLock lock(*storage);
  std::unique_ptr<TStorageContainer> rows = ReadByName(storage, serverId, name);
  if (!rows) return std::nullopt;
  return rows->Row().AsString("s_client_password");
}

// The login script's row for the stored hash that verified.
std::unique_ptr<TClientRec> ReadLoginRow(const TScriptStorage& storage, int32_t serverId, std::string_view name,
                                         const std::string& storedHash) {
  TStorageLock lock(*storage);
  if (!storage.Load("read_client_login.sql")) return nullptr;
  storage->SetParamString(":sPassword", storedHash);
  storage->SetParamString(":sName", name);
  storage->SetParamInteger(":iServerID", serverId);
  std::unique_ptr<TStorageContainer> rows = storage->OpenSQL();
  if (!rows) return nullptr;
  const TStorageRow& row = rows->Row();
  auto rec = NewClient();
  if (!rec) return nullptr;
  if (row.AsBoolean("b_client_privilege_serveradmin")) rec->PlayerPrivileges |= spSA;
  rec->Created = row.AsDateTime("dt_client_created");
  rec->StorageClientId = row.AsInteger("i_client_id");
  rec->LoginName = name;
  rec->PasswordHash = storedHash;
  return rec;
}

}  // namespace

void SetAccountPassword(TClientRec& rec, std::string_view password) {
  rec.LoginPassword = password;
  rec.PasswordHash.clear();
}

TPasswordVerifier PasswordVerifier(std::string_view password, TPasswordCheckPool* pool) {
  return [secret = std::string(password), pool](const std::string& stored) {
    if (pool) return pool->Check(stored, secret);
    return VerifyPassword(stored, secret) ? pcMatch : pcMismatch;
  };
}

TLoginOutcome DBCheckLogin(const TScriptStorage& storage, int32_t serverId, std::string_view name,
                           const TPasswordVerifier& verify, std::unique_ptr<TClientRec>* account) {
  if (!storage.Valid()) return loOther;
  try {
    const std::optional<std::string> stored = ReadStoredHash(storage, serverId, name);
    if (!stored) return loUnknownAccount;
    switch (verify(*stored)) {
      case pcMatch: break;
      case pcBusy: return loBusy;
      case pcMismatch: return loWrongPassword;
    }
    // A password changed since the hash was read finds no row.
    std::unique_ptr<TClientRec> rec = ReadLoginRow(storage, serverId, name, *stored);
    if (!rec) return loWrongPassword;
    if (account) *account = std::move(rec);
    return loAccepted;
  } catch (const std::exception& e) {
    LogFailure("DBCheckLogin", e);
    return loOther;
  }
}

int DBHashClearPasswords(const TScriptStorage& storage) {
  int changed = 0;
  try {
    struct TClear {
      int32_t ClientId;
      std::string Password;
    };
    std::vector<TClear> clear;
    {
      TStorageLock lock(*storage);
      if (!storage.Load("read_client_passwords.sql")) return 0;
      std::unique_ptr<TStorageContainer> rows = storage->OpenSQL();
      for (size_t i = 0; rows && i < rows->Count(); ++i) {
        const TStorageRow& row = rows->RowAt(i);
        std::string password = row.AsString("s_client_password");
        if (!IsPasswordHash(password)) clear.push_back({row.AsInteger("i_client_id"), std::move(password)});
      }
    }
    for (TClear& row : clear) {
      const std::string stored = HashPassword(row.Password);
      TStorageLock lock(*storage);
      storage.Load("edit_client_password.sql");
      storage->SetParamString(":sPassword", stored);
      storage->SetParamInteger(":iClientId", row.ClientId);
      if (storage->ExecSQL()) ++changed;
    }
    if (changed > 0)
      LogMsg(lmtDebug, lmdImportant, fmt::format("Hashed {} clear-text account password(s)", changed), "CLIENT");
  } catch (const std::exception& e) {
    LogFailure("DBHashClearPasswords", e);
  }
  return changed;
}

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
    rec.PasswordHash.clear();
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
