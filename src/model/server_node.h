// Node names: several processes on several machines may share one database.
// Each process has a node name ([Main Config] "NodeName", empty by default);
// a server row belongs to the node stamped on it when it was created, and
// only that node's process starts, stops or deletes it. Lists of stored
// servers still show every row.
//
// Thread rules: those of the storage (these take the storage lock themselves).
#pragma once

#include <cstdint>

#include "model/script_storage.h"

namespace qv {

// The refusal the administration interfaces give for another node's server.
inline constexpr const char* kOtherNodeError = "server of another node";

// Whether a row of "read_servers.sql" or "read_server.sql" belongs to this
// process's node (GetSettings().NodeName; letter case counts).
bool RowOnThisNode(const TStorageRow& row);

// Whether this process may start, stop or delete the stored server: true when
// its row belongs to this node or there is no such row (the caller reports a
// missing server in its own way); false for another node's row or when the
// row cannot be read (logged).
bool ServerOnThisNode(const TScriptStorage& storage, int32_t serverId);

}  // namespace qv
