#include "model/server_control.h"

#include "base/log.h"
#include "model/process_settings.h"
#include "model/server_node.h"

namespace qv {

namespace {

constexpr int64_t kMaxUdpPort = 65535;
constexpr const char* kLogCategory = "SECURITY";  // where PortInUse logged before it moved here

}  // namespace

bool ValidUdpPort(int64_t port) { return port >= 1 && port <= kMaxUdpPort; }

int32_t ServerIdOfPort(const TScriptStorage& storage, int64_t port) {
  TStorageLock lock(*storage);
  if (!storage.Load("read_server_port.sql")) return 0;
  storage->SetParamInteger(":iPort", port);
  std::unique_ptr<TStorageContainer> rows = storage->OpenSQL();
  return rows ? static_cast<int32_t>(rows->Row().AsInteger("i_server_id")) : 0;
}

bool PortInUse(const TScriptStorage& storage, int64_t port) {
  if (!storage.Valid()) return false;
  try {
    return ServerIdOfPort(storage, port) != 0;
  } catch (const std::exception& e) {
    LogMsg(lmtError, lmdAll, "PortInUse Exception: " + ExceptionText(e), kLogCategory);
    return false;
  }
}

TDeleteServerResult DeleteStoredServer(TServerRegistry* registry, const TScriptStorage& storage, int32_t serverId) {
  if (registry && registry->FindServer(serverId)) return dsRunning;
  if (serverId < 1) return dsDeleted;
  if (!ServerOnThisNode(storage, serverId)) return dsOtherNode;
  TStorageLock lock(*storage);
  if (storage.Load("delete_server.sql")) {
    storage->SetParamInteger(":iServerID", serverId);
    storage->ExecSQL();
  }
  return dsDeleted;
}

bool LoadStoredSettings(const TScriptStorage& storage, int32_t serverId, TServerSettings& settings) {
  if (!storage.Valid() || serverId < 1) return false;
  TServerSettings loaded = DefaultServerSettings();
  {
    TStorageLock lock(*storage);
    if (!storage.Load("read_server.sql")) return false;
    storage->SetParamInteger(":iServerID", serverId);
    std::unique_ptr<TStorageContainer> rows = storage->OpenSQL();
    if (!rows) return false;
    const TStorageRow& row = rows->Row();
    loaded.Name = row.AsString("s_server_name");
    loaded.WelcomeMessage = row.AsString("s_server_welcomemessage");
    loaded.MaxUsers = static_cast<uint16_t>(row.AsInteger("i_server_maxusers"));
    loaded.UdpPort = static_cast<uint32_t>(row.AsInteger("i_server_udpport"));
    loaded.Password = row.AsString("s_server_password");
    loaded.ServerFlags = row.AsBoolean("b_server_clan_server") ? sfClan : sfPublic;
    for (size_t i = 0; i < kCodecTable.size(); ++i) loaded.AllowCodec[i] = row.AsBoolean(kCodecTable[i].Column);
    loaded.WebLinkUrl = row.AsString("s_server_weblinkurl");
    loaded.WebPostUrl = row.AsString("s_server_webposturl");
  }
  for (int g = 0; g < kUserGroupCount; ++g) {
    const auto group = static_cast<TUserGroup>(g);
    loaded.Permissions[group] = ReadGroupPermissions(storage, serverId, UserGroupName(group));
  }
  settings = loaded;
  return true;
}

std::shared_ptr<TServerObject> StartConfiguredServer(TServerRegistry& registry, const TScriptStorage& storage, int32_t serverId,
                                     uint32_t port) {
  const TProcessSettings process = GetSettings();
  auto server = std::make_unique<TServerObject>(storage, registry);
  server->BoundToIp = process.BoundToIp;
  server->AccessLog = process.AccessLog;
  server->IsBadName = IsBadName;
  return registry.StartServer(std::move(server), serverId, port);
}

}  // namespace qv
