// Starting and inspecting stored virtual servers: the one way the process
// starts a server (at start-up, from the query interface and from the web
// interface), and the stored settings of a server that may not be running.
//
// Thread rules: any thread; the storage functions take the storage lock for
// their own scripts, StartStoredServer the registry's lock.
#pragma once

#include <cstdint>
#include <memory>

#include "model/script_storage.h"
#include "model/server_object.h"
#include "model/server_registry.h"

namespace qv {

// The stored settings ("read_server.sql") and the six group permission sets
// of a server. False when there is no such server or reading failed.
bool LoadStoredSettings(const TScriptStorage& storage, int32_t serverId, TServerSettings& settings);

// Creates a server object on the storage with the process settings' bind
// address, access-log switch and forbidden nick names, and starts it through
// the registry, which then owns it. serverId > 0 starts that stored server;
// serverId 0 creates a new stored server on port (0: the default port).
// nullptr when the server did not start.
std::shared_ptr<TServerObject> StartConfiguredServer(TServerRegistry& registry, const TScriptStorage& storage, int32_t serverId,
                                                     uint32_t port);

}  // namespace qv
