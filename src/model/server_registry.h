// TServerRegistry: the virtual servers running in this process.
//
// A server registers itself while it starts (TServerObject::Start) and is
// found here by its storage id by the query and web interfaces and the
// server-list announcement. Once started through StartServer the registry
// holds the server: StopServers stops and unregisters it at once, and the
// server is freed when the last holder lets go of it, so a query or web
// thread that found it never sees it freed under it.
//
// The registry also keeps the factory of the servers' network side
// (TServerRuntime), so that the model does not depend on the module that
// implements it.
//
// The one process-wide registry is created by start-up before any server
// starts (CreateServerRegistry) and freed at shutdown (FreeServerRegistry);
// tests may create registries of their own.
//
// Thread rules: every method may be called from any thread; one mutex guards
// the list. Lookups hand out shared pointers: hold them in `auto` for the
// current command and no longer (a held server keeps its memory, not its
// running state).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/mutex.h"

namespace qv {

class TServerObject;
class TServerRuntime;

// Makes the network side of a starting server (not yet started).
using TRuntimeFactory = std::function<std::unique_ptr<TServerRuntime>(TServerObject&)>;

class TServerRegistry {
 public:
  // runtimeFactory may be empty: servers then run without a network side
  // (storage and lifecycle tests, tools).
  explicit TServerRegistry(TRuntimeFactory runtimeFactory = {});
  // Stops and frees every server still registered.
  ~TServerRegistry();
  TServerRegistry(const TServerRegistry&) = delete;
  TServerRegistry& operator=(const TServerRegistry&) = delete;

  const TRuntimeFactory& RuntimeFactory() const { return runtimeFactory_; }

  // False when this object or another server with its ServerId is registered.
  bool RegisterServer(TServerObject* server);
  // Removes the server; hands back the registry's hold on it, if any.
  std::shared_ptr<TServerObject> UnregisterServer(TServerObject* server);

  // Starts the server and, on success, keeps it; nullptr when Start failed
  // (the server is then freed).
  std::shared_ptr<TServerObject> StartServer(std::shared_ptr<TServerObject> server, int32_t serverId,
                                             uint32_t port);

  std::shared_ptr<TServerObject> FindServer(int32_t id);
  // The trimmed text as a decimal id; nullptr for empty or non-numeric text.
  std::shared_ptr<TServerObject> FindServerByText(std::string_view text);
  // Stops and unregisters the server with this id; 0 does so for every
  // server, the last registered first. Each is freed once nobody holds it.
  void StopServers(int32_t id);
  // The running servers in registration order: decimal id and server.
  std::vector<std::pair<std::string, std::shared_ptr<TServerObject>>> ServerList();
  int Count();

 private:
  struct TEntry {
    TServerObject* server;
    std::shared_ptr<TServerObject> held;  // null while the server is starting
  };
  std::vector<TEntry>::iterator Find(const TServerObject* server) REQUIRES(mutex_);
  static std::shared_ptr<TServerObject> Shared(const TEntry& entry);

  const TRuntimeFactory runtimeFactory_;
  TMutex mutex_;
  std::vector<TEntry> servers_ GUARDED_BY(mutex_);
};

// The process-wide registry.
void CreateServerRegistry(TRuntimeFactory runtimeFactory);
// Stops every server and frees the registry.
void FreeServerRegistry();
// The registry, or nullptr before CreateServerRegistry / after FreeServerRegistry.
TServerRegistry* GetServerRegistry();

}  // namespace qv
