// murmur's clients for the voice benchmark: per client a TLS control
// connection (murmur_wire.h framing, murmur_messages.proto bodies) and a UDP
// socket of its own carrying voice under the OCB2-AES128 crypt state of
// ocb2_aes.h.
//
// TMurmurControl is one control connection (its socket non-blocking
// throughout: the login waits with deadlines, reader threads drain it). TMurmurLoad is the load
// target: it logs the clients in side by side, moves each into its channel
// (UserState) and establishes its UDP path with an encrypted ping that the
// server must answer over UDP, so that the server relays voice on its UDP
// path and not through the TLS connection. Reader threads (one sink slot
// each) own the clients' sockets from then on: they decrypt and time relayed
// voice, count voice that came tunnelled over TLS instead, answer resync
// requests and keep each client alive as murmur's own client does (a TLS
// ping and a UDP ping every 5 s).
//
// The process ignores SIGPIPE: TLS writes go through write(2), and one to a
// connection the server has closed must fail, not end the process.
//
// Thread rules: TMurmurControl belongs to one thread at a time. TMurmurLoad's
// Connect, SendVoice and the counters run on the driving thread; SendVoice
// shares only a client's sending side (its own mutex) with the readers.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench_load.h"
#include "murmur_wire.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace google::protobuf {
class MessageLite;
}

namespace qv::bench {

// A TLS client context that takes the server's self-made certificate.
std::shared_ptr<SSL_CTX> MakeMurmurTlsContext();

class TMurmurControl {
 public:
  explicit TMurmurControl(std::shared_ptr<SSL_CTX> context);
  ~TMurmurControl();
  TMurmurControl(const TMurmurControl&) = delete;
  TMurmurControl& operator=(const TMurmurControl&) = delete;

  // TCP connect to 127.0.0.1:port and the TLS handshake, blocking up to the deadline.
  bool Connect(uint16_t port, int64_t deadlineNs, std::string& error);
  // One whole frame (waits for room when the socket is full).
  bool Send(uint16_t type, const google::protobuf::MessageLite& body);
  // Blocking: the next frame, or nullopt at the deadline or when the connection ends.
  std::optional<TMurmurFrame> Read(int64_t deadlineNs);
  // Non-blocking: every frame readable now; false once the connection has ended.
  bool Drain(std::vector<TMurmurFrame>& frames);
  // Bytes the TLS layer holds that no readiness event will announce.
  bool HasPending() const;
  int Fd() const { return fd_; }

 private:
  int ReadSome(uint8_t* buffer, int size);  // > 0 bytes, 0 none yet, < 0 ended
  std::shared_ptr<SSL_CTX> context_;
  int fd_ = -1;
  SSL* ssl_ = nullptr;
  bool ended_ = false;
  TFrameReader frames_;
};

// What a login told the client.
struct TMurmurSession {
  uint32_t Session = 0;
  std::map<std::string, uint32_t> Channels;  // by name
  std::string Key, ClientNonce, ServerNonce;
};

// Version and Authenticate, then the server's state up to ServerSync.
bool MurmurLogin(TMurmurControl& control, const std::string& name, const std::string& password,
                 TMurmurSession& session, int64_t deadlineNs, std::string& error);
// As SuperUser: creates the channels below the root that are missing and
// waits until the server has announced them all.
bool MurmurCreateChannels(TMurmurControl& control, TMurmurSession& session, const std::vector<std::string>& names,
                          int64_t deadlineNs, std::string& error);

// Counters of a TMurmurLoad since it connected.
struct TMurmurTransport {
  uint64_t UdpVoice = 0;        // relayed voice datagrams that came over UDP and decrypted
  uint64_t TunnelledVoice = 0;  // voice that came over TLS (UDPTunnel) instead
  uint64_t UdpPongs = 0, TlsPongs = 0;
  uint64_t DecryptFailures = 0;
  uint64_t ResyncsAsked = 0;     // by the clients
  uint64_t ResyncsAnswered = 0;  // the server's requests the clients answered
  uint64_t Ended = 0;            // control connections the server closed
};
// One line for the run's output.
std::string Describe(const TMurmurTransport& t);

class TMurmurLoad : public TLoadTarget {
 public:
  // readers: reader threads, each one slot of the sink.
  TMurmurLoad(TReceiveSink& sink, int readers);
  ~TMurmurLoad() override;

  bool Connect(const TLoadShape& shape, uint16_t relayPort, const std::function<std::string(int)>& channelName,
               std::string& error) override;
  bool SendVoice(int client, const std::vector<uint8_t>& payload) override;
  std::vector<uint16_t> LocalPorts() const override;

  TMurmurTransport Transport() const;
  // Clients whose control connection is still open.
  int Connected() const;

 private:
  struct TClient;
  struct TReader;
  std::string Establish(size_t index, uint16_t port, const std::string& channel);
  bool OpenUdp(TClient& client, uint16_t port, int64_t deadlineNs, std::string& error);
  void Adopt(size_t index);
  void ReadLoop(TReader& reader);
  void ReadUdp(TReader& reader, TClient& client);
  void ReadControl(TReader& reader, TClient& client);
  void KeepAlive(TClient& client, int64_t now);
  bool SendUdp(TClient& client, const std::vector<uint8_t>& plain);

  TReceiveSink& sink_;
  std::shared_ptr<SSL_CTX> tls_;
  std::vector<std::unique_ptr<TClient>> clients_;
  std::vector<std::unique_ptr<TReader>> readers_;
  std::atomic<bool> stop_{false};
  struct TCounters {
    std::atomic<uint64_t> UdpVoice{0}, TunnelledVoice{0}, UdpPongs{0}, TlsPongs{0}, DecryptFailures{0},
        ResyncsAsked{0}, ResyncsAnswered{0}, Ended{0};
  } counters_;
};

}  // namespace qv::bench
