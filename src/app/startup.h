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
// Status() tells what start-up got running; the process has nothing to serve
// (and ends with a failure) when no virtual server, web interface or query
// interface runs. With a PID file set (-PID=) the process id is in it from
// the end of InitServer until ShutdownServer.
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
#include <vector>

#include "app/command_line.h"
#include "model/server_registry.h"
#include "storage/server_storage.h"
#include "web/web_interface.h"

namespace qv {

class TWebPost;
class TTCPQuery;
class TMetricsEndpoint;

// What start-up got running.
struct TStartupStatus {
  int ServersWanted = 0;   // active stored servers of this node (the default one on a first run)
  int ServersRunning = 0;
  bool WebRunning = false;
  bool QueryRunning = false;
  // In start-up order: the servers that failed ("UDP 8768 in use"), then the
  // web, query and metrics listeners, each running ("web interface on TCP
  // 14534") or not ("query interface TCP 51234 in use").
  std::vector<std::string> Notes;
  bool Problems = false;  // a wanted server or listener did not start

  bool Serving() const { return ServersRunning > 0 || WebRunning || QueryRunning; }
  // "2 of 3 virtual servers running; UDP 8768 in use; web interface on TCP 14534"
  std::string Text() const;
};

// Why a listener of type (SOCK_DGRAM, SOCK_STREAM) on address:port did not
// start, found by binding the same again: "UDP 8768 in use", "TCP 14534:
// address 10.1.2.3 not available", "UDP 8768: bad address x", or "UDP 8768
// not started" when the bind works now.
std::string BindProblem(int type, const std::string& address, int port);

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

  // What InitServer got running.
  const TStartupStatus& Status() const { return status_; }

  // SIGHUP: the administration listeners' certificate and key are read
  // again for new connections; a bad pair keeps the old one (logged).
  void ReloadCertificate();

  // The process storage: set from InitServer until ShutdownServer.
  TCustomStorage* Storage() const { return storage_.get(); }

 private:
  bool OpenStorage(const TProcessSettings& settings, bool mysqlConfigured);
  bool StartStoredServers(TProcessSettings& settings);
  bool ServersTableEmpty(bool& empty);
  bool StartServer(int32_t serverId, const TProcessSettings& settings);
  void StartListeners(const TProcessSettings& settings);
  // The certificate of the TLS listeners, made self-signed when none is
  // configured; settings get its fingerprint. Nothing when no listener wants TLS.
  void PrepareTls(TProcessSettings& settings);
  void ServerFailed(uint32_t port, const TProcessSettings& settings);
  void FirstRun(TProcessSettings& settings);
  int32_t NewestServerId(const TProcessSettings& settings);
  void StopWebPost();
  void ReleasePidFile();
  void ReleaseAll();

  const TRuntimeFactory runtimeFactory_;
  const std::chrono::milliseconds shutdownPause_;
  std::unique_ptr<TCustomStorage> storage_;
  std::unique_ptr<TWebInterface> web_;
  std::unique_ptr<TWebPost> webPost_;
  std::unique_ptr<TTCPQuery> query_;
  std::unique_ptr<TMetricsEndpoint> metrics_;
  std::shared_ptr<TTlsContext> tls_;  // nullptr: no TLS listener
  TStartupStatus status_;
  std::string pidFile_;  // written by this process; removed when it ends
  bool logCreated_ = false;
  bool registryCreated_ = false;
};

}  // namespace qv
