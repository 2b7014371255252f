// The start-up and shutdown sequences of the server process.
//
// InitServer opens the log, reads the forbidden nick names and the
// configuration file, opens the storage and makes sure its tables are
// current, publishes the process settings, creates the running-server
// registry and starts every active stored server, then the TCP query
// interface, the metrics endpoint (when enabled) and the server-list
// announcement. On the very first run (no
// stored server at all) it creates the default server on UDP 8767 and the
// accounts "admin" and "superadmin" with generated passwords instead.
// ShutdownServer stops the servers, last started first, then the
// announcement and the query interface, and frees the registry, the storage
// and finally the log.
//
// The object owns the storage; the log, settings and registry it creates are
// the process-wide ones, so only one TServerProcess may be initialised at a
// time. If InitServer fails, or ShutdownServer never ran, the destructor
// releases whatever was created, without the shutdown log lines.
//
// Thread rules: InitServer and ShutdownServer run on the main thread, before
// and after every other thread of the process.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "model/server_registry.h"
#include "storage/server_storage.h"
#include "web/web_interface.h"

namespace qv {

class TWebPost;
class TTCPQuery;
class TMetricsEndpoint;

class TServerProcess {
 public:
  // runtimeFactory makes the network side of every server started
  // (empty: servers run without one). shutdownPause is the grace time
  // before the last log line of ShutdownServer.
  explicit TServerProcess(TRuntimeFactory runtimeFactory,
                          std::chrono::milliseconds shutdownPause = std::chrono::milliseconds(1000));
  ~TServerProcess();
  TServerProcess(const TServerProcess&) = delete;
  TServerProcess& operator=(const TServerProcess&) = delete;

  // The start-up sequence. False after logging the failing step; the caller
  // then ends the process.
  bool InitServer(const TCommandLine& commandLine, const std::string& programDir);
  // The shutdown sequence; the log ends with "Server shutdown finished".
  void ShutdownServer();

  // The process storage: set from InitServer until ShutdownServer.
  TCustomStorage* Storage() const { return storage_.get(); }

 private:
  bool OpenStorage(const TProcessSettings& settings, bool mysqlConfigured);
  bool StartStoredServers(TProcessSettings& settings);
  bool ServersTableEmpty(bool& empty);
  void StartServer(int32_t serverId, const TProcessSettings& settings);
  void FirstRun(TProcessSettings& settings);
  int32_t NewestServerId(const TProcessSettings& settings);
  void StopWebPost();
  void ReleaseAll();

  const TRuntimeFactory runtimeFactory_;
  const std::chrono::milliseconds shutdownPause_;
  std::unique_ptr<TCustomStorage> storage_;
  std::unique_ptr<TWebInterface> web_;
  std::unique_ptr<TWebPost> webPost_;
  std::unique_ptr<TTCPQuery> query_;
  std::unique_ptr<TMetricsEndpoint> metrics_;
  bool logCreated_ = false;
  bool registryCreated_ = false;
};

}  // namespace qv
