// Starting, inspecting and deleting stored virtual servers: the one way the
// process starts a server (at start-up, from the query interface and from the
// web interface), the stored settings of a server that may not be running,
// and the rules both administration interfaces share (which UDP ports a
// server may have, which are taken, how a stored server is deleted, whose
// accounts are the superadmins'), so that their handlers only parse and
// reply.
//
// Thread rules: any thread; the storage functions take the storage lock for
// their own scripts, StartConfiguredServer the registry's lock.
#pragma once

#include <cstdint>
#include <memory>

#include "model/script_storage.h"
#include "model/server_object.h"
#include "model/server_registry.h"

namespace qv {

// The accounts stored under this server id are the superadmins': they reach
// every server.
inline constexpr int32_t kSuperAdminServerId = 0;

// Whether a virtual server may have the UDP port: 1 to 65535 (0 would ask for
// the default port, and a port beyond 16 bits cannot be bound).
bool ValidUdpPort(int64_t port);

// The id of the stored server on the UDP port; 0 when there is none.
int32_t ServerIdOfPort(const TScriptStorage& storage, int64_t port);
// Whether a stored server uses the UDP port (false, logged, when the storage
// cannot say).
bool PortInUse(const TScriptStorage& storage, int64_t port);

enum TDeleteServerResult : uint8_t {
  dsDeleted,    // gone from the storage (or there was no such server)
  dsRunning,    // refused: it runs in this process
  dsOtherNode,  // refused: it belongs to another node (kOtherNodeError)
};
// Deletes the stored server (its row and all that belongs to it,
// "delete_server.sql") unless it runs (registry: nullptr for none) or belongs
// to another node. An id below 1 deletes nothing.
TDeleteServerResult DeleteStoredServer(TServerRegistry* registry, const TScriptStorage& storage, int32_t serverId);

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
