// Starting a virtual server the one way the process does it: at start-up,
// from the query interface and from the web interface.
//
// Thread rules: any thread; the registry and the process settings lock
// themselves.
#pragma once

#include <cstdint>

#include "model/script_storage.h"
#include "model/server_registry.h"

namespace qv {

class TServerObject;

// Creates a server object on the storage with the process settings' bind
// address, access-log switch and forbidden nick names, and starts it through
// the registry, which then owns it. serverId > 0 starts that stored server;
// serverId 0 creates a new stored server on port (0: the default port).
// nullptr when the server did not start.
TServerObject* StartConfiguredServer(TServerRegistry& registry, const TScriptStorage& storage, int32_t serverId,
                                     uint32_t port);

}  // namespace qv
