// Registered accounts: rows of the clients table, one per login name and
// virtual server. Server accounts carry their server's id; superadmin
// accounts (administrators of the whole process, for the query and web
// interfaces) carry server id 0 and are always server admins.
//
// TClientRec is the account record: LoginName, PasswordHash, PlayerPrivileges
// (spSA = server admin), Created and StorageClientId ("i_client_id").
// Records returned by the load operations belong to the caller.
//
// Passwords are stored hashed (base/password_hash.h), never in clear: a
// record written with an empty PasswordHash stores the hash of its
// LoginPassword (made before the storage lock is taken), then holds it.
// Loaded records carry the stored hash and an empty LoginPassword.
//
// Thread rules: every operation holds the storage lock for its whole
// duration. Callers on a listener thread take their player-list lock first.
// Failures are logged (category "CLIENT") and give the neutral result.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "base/login_audit.h"
#include "base/password_check_pool.h"

#include "model/client_object.h"
#include "model/script_storage.h"
#include "protocol/protocol_errors.h"

namespace qv {

// 0, or peLoginNameInUse (the name exists on that server, or the insert
// failed). Sets rec.StorageClientId to the new row's id.
int DBAddUser(const TScriptStorage& storage, int32_t serverId, TClientRec& rec);
int DBAddSuperUser(const TScriptStorage& storage, TClientRec& rec);

// Insert or update by name; nothing for a blank name. A record without a
// storage id gets the id of the row written.
void DBSaveUser(const TScriptStorage& storage, int32_t serverId, TClientRec& rec);
void DBSaveSuperUser(const TScriptStorage& storage, TClientRec& rec);

// Deletes the account row of rec, then empties its name and password and sets
// its StorageClientId to -1.
void DBDeleteUser(const TScriptStorage& storage, int32_t serverId, TClientRec& rec);
// Deletes the account row with this id; changes no record.
void DBDeleteUser(const TScriptStorage& storage, int32_t serverId, int32_t clientId);

// A new record for the account, or nullptr when there is none.
std::unique_ptr<TClientRec> DBLoadUser(const TScriptStorage& storage, int32_t serverId,
                                       int32_t clientId);
std::unique_ptr<TClientRec> DBLoadUser(const TScriptStorage& storage, int32_t serverId,
                                       std::string_view name);
// Name, password, creation time and id of a superadmin account; PlayerPrivileges stay 0.
std::unique_ptr<TClientRec> DBLoadSuperUser(const TScriptStorage& storage, int32_t clientId);

// Gives rec a new password: the next write stores its hash.
void SetAccountPassword(TClientRec& rec, std::string_view password);

// Decides whether a login's secret fits the stored hash of its account.
using TPasswordVerifier = std::function<TPasswordCheck(const std::string& storedHash)>;
// Checks password through pool, or directly on the calling thread without one.
TPasswordVerifier PasswordVerifier(std::string_view password, TPasswordCheckPool* pool);

// The login check of every interface: the account name of serverId (0: a
// superadmin account) read with "read_clients_name.sql", its stored hash
// given to verify (outside the storage lock), then "read_client_login.sql"
// run with ":sPassword" = that stored hash. loAccepted with *account (spSA,
// Created, StorageClientId, LoginName, PasswordHash of the row), or
// loUnknownAccount, loWrongPassword, loBusy (verify was busy), loOther
// (a storage failure, logged).
TLoginOutcome DBCheckLogin(const TScriptStorage& storage, int32_t serverId, std::string_view name,
                           const TPasswordVerifier& verify, std::unique_ptr<TClientRec>* account);

// Replaces every clear-text password of the clients table (every server and
// the superadmins) by its hash; the number of rows changed, logged as one
// line when there were any. A database of this version has none.
int DBHashClearPasswords(const TScriptStorage& storage);

}  // namespace qv
