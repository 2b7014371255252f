// The monitoring endpoint: GET /metrics in the Prometheus text exposition
// format, over its own small HTTP listener (off unless [Metrics] Enabled=1).
//
// Per stored server of this node (labels server="<id>", port="<udp port>"):
// whether it runs and its player limit. Per running virtual server: the
// players and channels, and every counter of TServerCounters. Process-wide:
// the build, the standard process_* figures (CPU, memory, start time, file
// descriptors), uptime, virtual servers running, query and web sessions,
// logins by interface and reason, lock-outs by interface. Names follow the
// Prometheus conventions (counters end in _total, units in the name).
// quillvane_resident_memory_bytes stays for this release as an alias of
// process_resident_memory_bytes. Every other path is 404.
//
// Thread rules: Start and Stop on the owner's thread; requests are served on
// the listener's threads and read the registry, the storage (under its lock,
// one script at a time), the servers' counters and the login counters
// (atomic) and their model under its locks (player list, then channel tree).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/failure_limiter.h"
#include "base/tls_context.h"
#include "model/script_storage.h"
#include "model/server_registry.h"

namespace qv {
class THttpServer;
}

namespace qv {

// Sessions of the administration interfaces, as the process counts them.
struct TSessionCounts {
  size_t Query = 0;
  size_t Web = 0;
};
using TSessionCounter = std::function<TSessionCounts()>;

// The exposition text for the servers of registry and the stored servers of
// this node in storage (none when storage is not valid).
std::string MetricsText(const TScriptStorage& storage, TServerRegistry& registry, const TSessionCounts& sessions);

class TMetricsEndpoint {
 public:
  TMetricsEndpoint(TScriptStorage storage, TServerRegistry& registry, TSessionCounter sessions);
  ~TMetricsEndpoint();
  TMetricsEndpoint(const TMetricsEndpoint&) = delete;
  TMetricsEndpoint& operator=(const TMetricsEndpoint&) = delete;

  // Listens on bindIp:port. False after logging
  // "Metrics startup failed with port <port>, Exception:<message>".
  // With tls it serves HTTPS; with a user, every request must carry HTTP
  // basic authentication of user and password (otherwise 401); an address
  // that sent too many wrong ones gets 429 for the login lock-out's time.
  bool Start(int port, const std::string& bindIp, std::shared_ptr<TTlsContext> tls = nullptr,
             const std::string& user = "", const std::string& password = "");
  // Stops listening and waits for the listener; safe to call twice.
  void Stop();

 private:
  const TScriptStorage storage_;
  TServerRegistry& registry_;
  const TSessionCounter sessions_;
  // Wrong basic-authentication passwords by address.
  TFailureLimiter authFailures_;
  std::unique_ptr<THttpServer> http_;
  std::thread listener_;
};

}  // namespace qv
