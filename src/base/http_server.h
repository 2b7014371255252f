// THttpServer: the HTTP server (cpp-httplib) with the bounds that a server
// facing untrusted peers needs and the library does not set by itself.
//
// The library bounds one header line (8 KB) and waits at most 5 seconds per
// read, but neither the whole request head nor the time a peer may take for
// it by dripping one byte at a time, nor the connections of one address.
// Here each connection reads its request heads itself before the library
// parses them:
//  - the request line and header lines together are at most MaxHeadBytes
//    (beyond: 431 and the connection closes, nothing is processed);
//  - a request's head and body must arrive within RequestTimeout of its
//    first wait (beyond: the connection closes, nothing is processed), the
//    next request of a kept-alive connection must begin within IdleTimeout;
//  - at most PerAddress connections of one peer address are served at once
//    (beyond: 503 and closed at once), so that one address cannot hold the
//    whole thread budget;
//  - every connection has a thread of its own, at most MaxThreads at a time
//    (further connections wait for a free one).
// With SetTls, every connection speaks TLS (the handshake within
// RequestTimeout) with the context current when it was accepted; the same
// bounds hold for what it carries.
//
// Thread rules: configure and start (bind_to_port, listen_after_bind) on the
// owner's thread; connections run on threads of their own; stop() from any
// thread. Destroy only after listen_after_bind has returned.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "base/mutex.h"
#include "base/tls_context.h"

namespace qv {

struct THttpLimits {
  size_t MaxThreads = 500;
  size_t PerAddress = 32;  // 0: no limit
  size_t MaxHeadBytes = 32 * 1024;
  std::chrono::milliseconds RequestTimeout{20000};
  std::chrono::milliseconds IdleTimeout{5000};
  // Writing one response, for a peer that stops reading.
  std::chrono::milliseconds ResponseTimeout{60000};
  size_t RequestsPerConnection = 100;
};

class THttpServer : public httplib::Server {
 public:
  explicit THttpServer(const THttpLimits& limits);

  const THttpLimits& Limits() const { return limits_; }
  // Serves HTTPS with tls (before the server starts).
  void SetTls(std::shared_ptr<TTlsContext> tls) { tls_ = std::move(tls); }
  bool Tls() const { return tls_ != nullptr; }
  // Connections being served for the address (tests and metrics).
  size_t ConnectionsOf(const std::string& address);

 private:
  bool process_and_close_socket(socket_t sock) override;
  // Counts a connection of address; false when the address has its limit.
  bool Admit(const std::string& address);
  void Release(const std::string& address);

  const THttpLimits limits_;
  std::shared_ptr<TTlsContext> tls_;
  TMutex mutex_;
  std::map<std::string, size_t> perAddress_ GUARDED_BY(mutex_);
};

}  // namespace qv
