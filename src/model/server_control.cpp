#include "model/server_control.h"

#include "base/log.h"
#include "model/process_settings.h"

namespace qv {

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
