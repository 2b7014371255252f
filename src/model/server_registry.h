// TServerRegistry: the virtual servers running in this process.
//
// A server registers itself while it starts (TServerObject::Start) and is
// found here by its storage id by the query and web interfaces and the
// server-list announcement. Once started through StartServer the registry
// owns the server: StopServers stops, unregisters and frees it.
//
// The registry also keeps the factory of the servers' protocol threads, so
// that the model does not depend on the module that implements them.
//
// The one process-wide registry is created by start-up before any server
// starts (CreateServerRegistry) and freed at shutdown (FreeServerRegistry);
// tests may create registries of their own.
//
// Thread rules: every method may be called from any thread; one mutex guards
// the list. A pointer returned by a lookup stays valid only as long as nobody
// stops that server: do not keep it beyond the current command.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv {

class TServerObject;
class TServerListener;

// Makes the protocol thread of a starting server (not yet started).
using TListenerFactory = std::function<std::unique_ptr<TServerListener>(TServerObject&)>;

class TServerRegistry {
 public:
  // listenerFactory may be empty: servers then run without a protocol thread
  // (storage and lifecycle tests, tools).
  explicit TServerRegistry(TListenerFactory listenerFactory = {});
  // Stops and frees every server still registered.
  ~TServerRegistry();
  TServerRegistry(const TServerRegistry&) = delete;
  TServerRegistry& operator=(const TServerRegistry&) = delete;

  const TListenerFactory& ListenerFactory() const { return listenerFactory_; }

  // False when this object or another server with its ServerId is registered.
  bool RegisterServer(TServerObject* server);
  // Removes the server; hands back the registry's ownership of it, if any.
  std::unique_ptr<TServerObject> UnregisterServer(TServerObject* server);

  // Starts the server and, on success, keeps it; nullptr when Start failed
  // (the server is then freed).
  TServerObject* StartServer(std::unique_ptr<TServerObject> server, int32_t serverId, uint32_t port);

  TServerObject* FindServer(int32_t id);
  // The trimmed text as a decimal id; nullptr for empty or non-numeric text.
  TServerObject* FindServerByText(std::string_view text);
  // Stops, unregisters and frees the server with this id; 0 does so for
  // every server, the last registered first.
  void StopServers(int32_t id);
  // The running servers in registration order: decimal id and server.
  std::vector<std::pair<std::string, TServerObject*>> ServerList();
  int Count();

 private:
  struct TEntry {
    TServerObject* server;
    std::unique_ptr<TServerObject> owned;  // null while the server is starting
  };
  // Caller holds mutex_.
  std::vector<TEntry>::iterator Find(const TServerObject* server);
  void StopEntry(TEntry& entry);

  const TListenerFactory listenerFactory_;
  std::mutex mutex_;
  std::vector<TEntry> servers_;  // guarded by mutex_
};

// The process-wide registry.
void CreateServerRegistry(TListenerFactory listenerFactory);
// Stops every server and frees the registry.
void FreeServerRegistry();
// The registry, or nullptr before CreateServerRegistry / after FreeServerRegistry.
TServerRegistry* GetServerRegistry();

}  // namespace qv
