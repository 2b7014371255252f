// Registered accounts: rows of the clients table, one per login name and
// virtual server. Server accounts carry their server's id; superadmin
// accounts (administrators of the whole process, for the query and web
// interfaces) carry server id 0 and are always server admins.
//
// TClientRec is the account record: LoginName, LoginPassword, PlayerPrivileges
// (spSA = server admin), Created and StorageClientId ("i_client_id").
// Records returned by the load operations belong to the caller.
//
// Thread rules: every operation holds the storage lock for its whole
// duration. Callers on a listener thread take their player-list lock first.
// Failures are logged (category "CLIENT") and give the neutral result.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

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

}  // namespace qv
