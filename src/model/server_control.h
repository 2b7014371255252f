// Starting and inspecting stored virtual servers for the administration
// interfaces: the stored settings of a server that may not be running, and
// starting a stored server by id the way start-up does.
//
// Thread rules: any thread; the storage functions take the storage lock for
// their own scripts, StartStoredServer the registry's lock.
#pragma once

#include <cstdint>

#include "model/script_storage.h"
#include "model/server_object.h"
#include "model/server_registry.h"

namespace qv {

// The stored settings ("read_server.sql") and the six group permission sets
// of a server. False when there is no such server or reading failed.
bool LoadStoredSettings(const TScriptStorage& storage, int32_t serverId, TServerSettings& settings);

// Creates a server object on the storage, with the process settings start-up
// gives every server (bind address, access log, forbidden names), and starts
// it from its stored settings. The running server, owned by the registry, or
// nullptr when it did not start.
TServerObject* StartStoredServer(TServerRegistry& registry, const TScriptStorage& storage, int32_t serverId);

}  // namespace qv
