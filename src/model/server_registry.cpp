#include "model/server_registry.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "base/text_utils.h"
#include "model/server_object.h"

namespace qv {

TServerRegistry::TServerRegistry(TRuntimeFactory runtimeFactory) : runtimeFactory_(std::move(runtimeFactory)) {}

TServerRegistry::~TServerRegistry() { StopServers(0); }

std::vector<TServerRegistry::TEntry>::iterator TServerRegistry::Find(const TServerObject* server) {
  return std::find_if(servers_.begin(), servers_.end(),
                      [server](const TEntry& e) { return e.server == server; });
}

bool TServerRegistry::RegisterServer(TServerObject* server) {
  if (!server) return false;
  TMutexLock lock(mutex_);
  const bool taken = std::any_of(servers_.begin(), servers_.end(), [server](const TEntry& e) {
    return e.server == server || e.server->ServerId == server->ServerId;
  });
  if (taken) return false;
  servers_.push_back(TEntry{server, nullptr});
  return true;
}

std::shared_ptr<TServerObject> TServerRegistry::UnregisterServer(TServerObject* server) {
  TMutexLock lock(mutex_);
  auto it = Find(server);
  if (it == servers_.end()) return nullptr;
  std::shared_ptr<TServerObject> held = std::move(it->held);
  servers_.erase(it);
  return held;
}

std::shared_ptr<TServerObject> TServerRegistry::StartServer(std::shared_ptr<TServerObject> server,
                                                            int32_t serverId, uint32_t port) {
  if (!server || !server->Start(serverId, port)) return nullptr;
  TMutexLock lock(mutex_);
  auto it = Find(server.get());
  // Stopped by another thread between Start and here: the server is
  // unregistered already, and letting go of it is all that is left to do.
  if (it == servers_.end()) return nullptr;
  it->held = server;
  return server;
}

// A server still starting is held by whoever started it: shared when that
// holder is a shared pointer, not found otherwise.
std::shared_ptr<TServerObject> TServerRegistry::Shared(const TEntry& entry) {
  return entry.held ? entry.held : entry.server->weak_from_this().lock();
}

std::shared_ptr<TServerObject> TServerRegistry::FindServer(int32_t id) {
  TMutexLock lock(mutex_);
  for (const TEntry& e : servers_) {
    if (e.server->ServerId == id) return Shared(e);
  }
  return nullptr;
}

std::shared_ptr<TServerObject> TServerRegistry::FindServerByText(std::string_view text) {
  std::optional<int64_t> id = ParseInt(Trim(text));
  if (!id || *id < INT32_MIN || *id > INT32_MAX) return nullptr;
  return FindServer(static_cast<int32_t>(*id));
}

// Servers are stopped with the registry locked, so that a server with the
// same id cannot start (and find its port still bound) before the old one
// has let go of it.
void TServerRegistry::StopServers(int32_t id) {
  TMutexLock lock(mutex_);
  for (size_t i = servers_.size(); i-- > 0;) {
    if (id != 0 && servers_[i].server->ServerId != id) continue;
    TEntry entry = std::move(servers_[i]);
    servers_.erase(servers_.begin() + static_cast<std::ptrdiff_t>(i));
    entry.server->Stop();
  }
}

std::vector<std::pair<std::string, std::shared_ptr<TServerObject>>> TServerRegistry::ServerList() {
  TMutexLock lock(mutex_);
  std::vector<std::pair<std::string, std::shared_ptr<TServerObject>>> list;
  list.reserve(servers_.size());
  for (const TEntry& e : servers_) {
    if (std::shared_ptr<TServerObject> server = Shared(e)) {
      list.emplace_back(std::to_string(e.server->ServerId), std::move(server));
    }
  }
  return list;
}

int TServerRegistry::Count() {
  TMutexLock lock(mutex_);
  return static_cast<int>(servers_.size());
}

// --- the process-wide registry ---

namespace {
std::unique_ptr<TServerRegistry>& GlobalRegistry() {
  static std::unique_ptr<TServerRegistry> registry;
  return registry;
}
}  // namespace

void CreateServerRegistry(TRuntimeFactory runtimeFactory) {
  GlobalRegistry() = std::make_unique<TServerRegistry>(std::move(runtimeFactory));
}

void FreeServerRegistry() { GlobalRegistry().reset(); }

TServerRegistry* GetServerRegistry() { return GlobalRegistry().get(); }

}  // namespace qv
