#include "base/tls_context.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace qv {

namespace {

std::string OpenSslError(const std::string& what) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return what;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return what + ": " + text;
}

std::string FingerprintOf(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!cert || X509_digest(cert, EVP_sha256(), digest, &size) != 1) return "";
  std::string text;
  char hex[4];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", digest[i]);
    text += hex;
  }
  return text;
}

int MillisecondsUntil(TTlsStream::TClock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TTlsStream::TClock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 60000));
}

// Writes text to a new file of this mode; false when the file exists or
// cannot be written.
bool WriteNewFile(const std::string& path, const std::string& text, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  fchmod(fd, mode);  // whatever the umask
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == text.size();
}

template <typename T, void (*Free)(T*)>
struct TFree {
  void operator()(T* p) const { Free(p); }
};
using TKey = std::unique_ptr<EVP_PKEY, TFree<EVP_PKEY, EVP_PKEY_free>>;
using TCert = std::unique_ptr<X509, TFree<X509, X509_free>>;
using TBio = std::unique_ptr<BIO, TFree<BIO, BIO_free_all>>;

std::string PemOf(int (*write)(BIO*, void*), void* object) {
  TBio bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get(), object) != 1) return "";
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

}  // namespace

TTlsContext::TTlsContext(std::string certFile, std::string keyFile)
    : certFile_(std::move(certFile)), keyFile_(std::move(keyFile)) {}

bool TTlsContext::Load(std::string& error) {
  std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (!context) {
    error = OpenSslError("no TLS context");
    return false;
  }
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (SSL_CTX_use_certificate_chain_file(context.get(), certFile_.c_str()) != 1) {
    error = OpenSslError("certificate " + certFile_);
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(context.get(), keyFile_.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = OpenSslError("key " + keyFile_);
    return false;
  }
  if (SSL_CTX_check_private_key(context.get()) != 1) {
    error = OpenSslError("key " + keyFile_ + " does not belong to certificate " + certFile_);
    return false;
  }
  const std::string fingerprint = FingerprintOf(SSL_CTX_get0_certificate(context.get()));
  TMutexLock guard(mutex_);
  context_ = std::move(context);
  fingerprint_ = fingerprint;
  return true;
}

std::shared_ptr<SSL_CTX> TTlsContext::Current() const {
  TMutexLock guard(mutex_);
  return context_;
}

std::string TTlsContext::Fingerprint() const {
  TMutexLock guard(mutex_);
  return fingerprint_;
}

bool EnsureSelfSigned(const std::string& certFile, const std::string& keyFile, const std::string& hostName,
                      std::string& error) {
  std::error_code ec;
  if (std::filesystem::exists(certFile, ec) || std::filesystem::exists(keyFile, ec)) return true;
  TKey key(EVP_EC_gen("P-256"));
  TCert cert(X509_new());
  if (!key || !cert) {
    error = OpenSslError("cannot make a key");
    return false;
  }
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  std::FILE* random = std::fopen("/dev/urandom", "rb");
  const bool haveSerial = random && std::fread(serial, 1, sizeof serial, random) == sizeof serial;
  if (random) std::fclose(random);
  if (!haveSerial) {
    error = "no random source";
    return false;
  }
  serial[0] &= 0x7F;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
  BN_free(number);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  const std::string subject = hostName.empty() ? "localhost" : hostName.substr(0, 64);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(subject.c_str()), -1,
                             -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
    error = OpenSslError("cannot sign the certificate");
    return false;
  }
  const std::string keyPem = PemOf(
      [](BIO* bio, void* k) {
        return PEM_write_bio_PrivateKey(bio, static_cast<EVP_PKEY*>(k), nullptr, nullptr, 0, nullptr, nullptr);
      },
      key.get());
  const std::string certPem = PemOf([](BIO* bio, void* c) { return PEM_write_bio_X509(bio, static_cast<X509*>(c)); },
                                    cert.get());
  if (keyPem.empty() || certPem.empty() || !WriteNewFile(keyFile, keyPem, 0600) ||
      !WriteNewFile(certFile, certPem, 0640)) {
    error = "cannot write " + keyFile + " and " + certFile;
    return false;
  }
  return true;
}

TTlsStream::TTlsStream(std::shared_ptr<SSL_CTX> context, int fd) : context_(std::move(context)), fd_(fd) {
  if (!context_) return;
  ssl_ = SSL_new(context_.get());
  if (!ssl_) return;
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  SSL_set_fd(ssl_, fd_);
}

TTlsStream::~TTlsStream() {
  if (ssl_) SSL_free(ssl_);
}

bool TTlsStream::WaitFor(int sslError, TClock::time_point deadline) const {
  const short events = sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
  for (;;) {
    pollfd p{fd_, events, 0};
    const int ready = poll(&p, 1, MillisecondsUntil(deadline));
    if (ready > 0) return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0 || (p.revents & events) != 0;
    if (ready == 0 && TClock::now() >= deadline) return false;
    if (ready < 0 && errno != EINTR) return false;
  }
}

bool TTlsStream::Accept(TClock::time_point deadline) {
  if (!ssl_) return false;
  for (;;) {
    ERR_clear_error();
    const int result = SSL_accept(ssl_);
    if (result == 1) return true;
    const int error = SSL_get_error(ssl_, result);
    if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) || !WaitFor(error, deadline)) return false;
  }
}

long TTlsStream::Read(char* into, size_t size, TClock::time_point deadline) {
  if (!ssl_) return -1;
  for (;;) {
    ERR_clear_error();
    const int result = SSL_read(ssl_, into, static_cast<int>(std::min<size_t>(size, 1 << 20)));
    if (result > 0) return result;
    const int error = SSL_get_error(ssl_, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return 0;  // closed, or broken
    if (!WaitFor(error, deadline)) return TClock::now() >= deadline ? -1 : 0;
  }
}

bool TTlsStream::Write(const char* data, size_t size, TClock::time_point deadline) {
  if (!ssl_) return false;
  while (size > 0) {
    ERR_clear_error();
    const int result = SSL_write(ssl_, data, static_cast<int>(std::min<size_t>(size, 1 << 20)));
    if (result > 0) {
      data += result;
      size -= static_cast<size_t>(result);
      continue;
    }
    const int error = SSL_get_error(ssl_, result);
    if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) || !WaitFor(error, deadline)) return false;
  }
  return true;
}

bool TTlsStream::Pending() const { return ssl_ && SSL_pending(ssl_) > 0; }

void TTlsStream::Close() {
  if (ssl_) SSL_shutdown(ssl_);
}

}  // namespace qv
