#include "model/server_start.h"

#include <memory>

#include "model/process_settings.h"
#include "model/server_object.h"

namespace qv {

TServerObject* StartConfiguredServer(TServerRegistry& registry, const TScriptStorage& storage, int32_t serverId,
                                     uint32_t port) {
  const TProcessSettings settings = GetSettings();
  auto server = std::make_unique<TServerObject>(storage, registry);
  server->BoundToIp = settings.BoundToIp;
  server->AccessLog = settings.AccessLog;
  server->IsBadName = IsBadName;
  return registry.StartServer(std::move(server), serverId, port);
}

}  // namespace qv
