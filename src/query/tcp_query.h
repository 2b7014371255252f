// TTCPQuery: the line-oriented administration interface of the process.
//
// Listens on one TCP port for all virtual servers together and serves each
// connection on a thread of its own: greeting "[QV]", then one command per
// line, each answered in full before the next line is read (the commands are
// query_commands.h). What one peer may hold is bounded: a connection whose
// line grows beyond 4096 bytes, whose line is not complete within the line
// time-out of its first byte (a line drip-fed a byte at a time), or that
// sends nothing for 10 minutes, is closed; beyond 100 connections at once, or
// beyond PerAddress connections of one address, a new one is closed at once.
// A first line that is an HTTP request line (a web page that makes its
// visitor's browser post to this port) closes the connection before anything
// runs.
//
// ListenTls adds a second port where each connection speaks the same
// protocol inside TLS (the handshake within the line time-out); both ports
// share the limits, the sessions and the failed-login table.
//
// Thread rules: construct and destroy on one thread (start-up, shutdown).
// The destructor stops accepting, shuts every connection's socket down (which
// ends its blocked read or write) and joins every thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/mutex.h"
#include "model/script_storage.h"
#include "model/server_registry.h"
#include "query/query_session.h"
#include "query/tcp_socket.h"

namespace qv {

struct TQueryLimits {
  size_t PerAddress = 5;
  std::chrono::milliseconds LineTimeout{30000};
};
// The limits the process settings give.
TQueryLimits QueryLimitsFromSettings();

class TTCPQuery {
 public:
  static constexpr size_t kMaxLineLength = 4096;
  static constexpr size_t kMaxConnections = 100;
  static constexpr std::chrono::seconds kIdleTimeout{600};

  // Starts listening on port (on bindIp only, when given); port 0: no plain
  // port (ListenTls adds the only one). A failure is logged; the object
  // then stays inactive.
  TTCPQuery(TScriptStorage storage, TServerRegistry& registry, uint16_t port, const std::string& bindIp,
            TQueryLimits limits = QueryLimitsFromSettings());
  ~TTCPQuery();
  TTCPQuery(const TTCPQuery&) = delete;
  TTCPQuery& operator=(const TTCPQuery&) = delete;

  // Listens on a second port for TLS connections; false after logging why.
  bool ListenTls(uint16_t port, const std::string& bindIp, std::shared_ptr<TTlsContext> tls);

  bool Active() const { return listener_ != nullptr; }
  // The port listened on; 0 when inactive.
  uint16_t Port() const;
  // The TLS port listened on; 0 when none.
  uint16_t TlsPort() const;
  // Connections being served.
  size_t SessionCount();

 private:
  struct TConnection {
    TConnection(TTCPSocket socket, std::string address, bool tls)
        : Socket(std::move(socket)), Address(std::move(address)), Tls(tls) {}
    TTCPSocket Socket;
    const std::string Address;
    const bool Tls;
    std::thread Thread;
    std::atomic<bool> Done{false};
  };

  void AcceptLoop(TTCPListenSocket& listener, bool tls);
  void Serve(TConnection& connection);
  void ServeLines(TTCPSocket& socket, TQuerySession& session);
  // Joins and frees the connections whose threads have ended.
  void ReapFinished();
  // Whether another connection of the address fits.
  bool AddressHasRoom(const std::string& address) const REQUIRES(mutex_);
  void Stop();

  const TQueryLimits limits_;
  TQueryContext context_;
  std::unique_ptr<TTCPListenSocket> listener_;
  std::thread acceptThread_;
  std::shared_ptr<TTlsContext> tls_;
  std::unique_ptr<TTCPListenSocket> tlsListener_;
  std::thread tlsAcceptThread_;
  TMutex mutex_;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::list<std::unique_ptr<TConnection>> connections_ GUARDED_BY(mutex_);
};

}  // namespace qv
