#include "model/server_node.h"

#include "base/log.h"
#include "model/process_settings.h"

namespace qv {

bool RowOnThisNode(const TStorageRow& row) { return row.AsString("s_server_node") == GetSettings().NodeName; }

bool ServerOnThisNode(const TScriptStorage& storage, int32_t serverId) {
  if (!storage.Valid()) return false;
  try {
    TStorageLock lock(*storage);
    if (!storage.Load("read_server.sql")) return false;
    storage->SetParamInteger(":iServerID", serverId);
    std::unique_ptr<TStorageContainer> rows = storage->OpenSQL();
    return !rows || RowOnThisNode(rows->Row());
  } catch (const std::exception& e) {
    LogMsg(lmtError, lmdAll, "SID: " + std::to_string(serverId) + " ServerOnThisNode Exception: " + ExceptionText(e),
           "SERVER");
    return false;
  }
}

}  // namespace qv
