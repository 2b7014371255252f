// Thin RAII wrappers over POSIX TCP sockets for the query interface.
//
// TTCPSocket owns one connected stream socket; TTCPListenSocket owns one
// listening socket and a wake-up pipe, so that Stop from another thread ends
// a blocked Accept. Shutdown on a connected socket ends a Read or Write that
// blocks in another thread; the descriptor stays open until the object is
// destroyed, so that it can never be reused while another thread still
// refers to it.
//
// Thread rules: one thread reads and writes a socket; any thread may call
// Shutdown (TTCPSocket) or Stop (TTCPListenSocket) at any time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/exception.h"
#include "base/tls_context.h"

namespace qv {

QV_EXCEPTION_CLASS(ETCPSocket, Exception);

class TTCPSocket {
 public:
  enum TReadResult { rrData, rrClosed, rrTimeout };

  TTCPSocket() = default;
  explicit TTCPSocket(int fd);
  ~TTCPSocket();
  TTCPSocket(TTCPSocket&& other) noexcept;
  TTCPSocket& operator=(TTCPSocket&& other) noexcept;
  TTCPSocket(const TTCPSocket&) = delete;
  TTCPSocket& operator=(const TTCPSocket&) = delete;

  bool Valid() const { return fd_ >= 0; }
  // Makes the connection a TLS one (the handshake within timeoutMs); every
  // Read and Write after it goes through TLS. False when the handshake fails.
  bool StartTls(std::shared_ptr<SSL_CTX> context, int timeoutMs);
  // Appends what arrives within timeoutMs to `into`; rrClosed when the peer
  // closed, the socket was shut down or failed.
  TReadResult Read(std::string& into, int timeoutMs);
  // The whole text, or false (peer gone, shut down, or the send time-out of
  // SetSendTimeout passed).
  bool Write(std::string_view data);
  void SetSendTimeout(int seconds);
  // Ends both directions; wakes a Read or Write blocked in another thread.
  void Shutdown();
  // The peer's address in dotted form; empty when unknown.
  std::string PeerAddress() const;

 private:
  int fd_ = -1;
  int sendTimeoutSeconds_ = 60;
  std::unique_ptr<TTlsStream> tls_;
};

class TTCPListenSocket {
 public:
  // Listens on port, on bindIp or on every local address when it is empty.
  // Raises ETCPSocket when that fails.
  TTCPListenSocket(const std::string& bindIp, uint16_t port);
  ~TTCPListenSocket();
  TTCPListenSocket(const TTCPListenSocket&) = delete;
  TTCPListenSocket& operator=(const TTCPListenSocket&) = delete;

  // The next connection; an invalid socket once Stop was called.
  TTCPSocket Accept();
  void Stop();
  uint16_t LocalPort() const;

 private:
  int fd_ = -1;
  int wake_[2] = {-1, -1};
};

}  // namespace qv
