// TLS for the administration listeners (web, query, metrics): the server's
// certificate and key, reloadable while connections are served, and one
// server-side TLS connection over a socket with deadlines.
//
// TTlsContext holds the current OpenSSL context. Load reads a certificate
// (PEM, with its chain) and its private key and takes them only when they
// belong together; a failed load keeps the context in use. Connections take
// the context current at their accept and keep it, so a reload (SIGHUP)
// reaches new connections only.
//
// EnsureSelfSigned makes a self-signed certificate and key (EC P-256, ten
// years, the host name as subject) when the files do not exist yet; the key
// file is written rw------- and the certificate rw-r-----.
//
// Thread rules: Load, Current, Fingerprint from any thread. A TTlsStream
// belongs to the connection's thread; Shutdown of its socket from another
// thread ends a blocked read or write.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "base/exception.h"
#include "base/mutex.h"

using SSL_CTX = struct ssl_ctx_st;
using SSL = struct ssl_st;

namespace qv {

QV_EXCEPTION_CLASS(ETls, Exception);

class TTlsContext {
 public:
  TTlsContext(std::string certFile, std::string keyFile);
  // Reads the files again; false with the reason in error (the context in
  // use stays).
  bool Load(std::string& error);
  // The context new connections use (nullptr before a successful Load).
  std::shared_ptr<SSL_CTX> Current() const;
  // SHA-256 of the current certificate, as "AB:CD:..." (empty before Load).
  std::string Fingerprint() const;
  const std::string& CertFile() const { return certFile_; }
  const std::string& KeyFile() const { return keyFile_; }

 private:
  const std::string certFile_;
  const std::string keyFile_;
  mutable TMutex mutex_;
  std::shared_ptr<SSL_CTX> context_ GUARDED_BY(mutex_);
  std::string fingerprint_ GUARDED_BY(mutex_);
};

// Makes certFile and keyFile when neither exists; false with the reason in
// error when that fails. Existing files are never touched.
bool EnsureSelfSigned(const std::string& certFile, const std::string& keyFile, const std::string& hostName,
                      std::string& error);

// A TLS connection on a connected socket (server side). Reads and writes
// wait at most until the deadline given.
class TTlsStream {
 public:
  using TClock = std::chrono::steady_clock;
  TTlsStream(std::shared_ptr<SSL_CTX> context, int fd);
  ~TTlsStream();
  TTlsStream(const TTlsStream&) = delete;
  TTlsStream& operator=(const TTlsStream&) = delete;

  // The handshake; false when it fails or the deadline passes.
  bool Accept(TClock::time_point deadline);
  // Bytes read (> 0), 0 when the connection closed or failed, -1 at the
  // deadline.
  long Read(char* into, size_t size, TClock::time_point deadline);
  // Writes all of it; false on a failure or the deadline.
  bool Write(const char* data, size_t size, TClock::time_point deadline);
  // Whether decrypted bytes wait to be read.
  bool Pending() const;
  // Sends the close notice (best effort).
  void Close();

 private:
  // Waits until the socket is ready for what the last call wants.
  bool WaitFor(int sslError, TClock::time_point deadline) const;

  std::shared_ptr<SSL_CTX> context_;
  SSL* ssl_ = nullptr;
  int fd_ = -1;
};

}  // namespace qv
