// The flood generator: what an attacker on the open internet sends at a
// voice port, from many source addresses and ports at once, while the
// benchmark's clients talk.
//
// Each flood socket sends one kind of datagram (the kinds share the rate by
// fixed weights). Sockets are bound to 127.0.0.2 upwards, so the server sees
// many addresses as well as many ports, none of them the real clients'
// 127.0.0.1. A reader thread counts what the server sends back to every
// socket, so that the bytes returned can be held against the bytes sent.
//
// Thread rules: Start, Stop and Totals on the thread that drives the run;
// the generator's own sender and reader threads touch nothing else.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qv::bench {

enum TFloodKind : uint8_t {
  fkUnfinishedLogin,  // full login requests, never completed; their ids pinged once a second
  fkShortLogin,       // login requests cut to 88..145 bytes, checksum recomputed
  fkJunk,             // random bytes, and login requests with a broken checksum
  fkUnknownIds,       // acknowledgements, commands and voice with unknown ids or guessed connection ids
  fkForgedIds,        // voice and pings with a real player's ids, from another address
  fkWrongPassword,    // logins to a real account with a wrong password
  fkKindCount
};
const char* FloodKindName(TFloodKind kind);

// A logged-in player's ids, for the forged and guessed packets.
struct TFloodVictim {
  uint32_t PlayerId = 0;
  uint32_t ConnectionId = 0;
};

struct TFloodConfig {
  uint16_t ServerPort = 0;  // on 127.0.0.1
  double DatagramsPerSecond = 20000;
  int Sockets = 240;
  int Addresses = 30;  // 127.0.0.2 .. 127.0.0.(1 + Addresses)
  std::vector<TFloodVictim> Victims;
  std::string AccountName = "admin";
  uint32_t Seed = 1;
};

struct TFloodKindTotals {
  int Sockets = 0;
  uint64_t Sent = 0, SentBytes = 0;
  uint64_t Received = 0, ReceivedBytes = 0;
  // The largest bytes-back to bytes-sent ratio of one socket of this kind.
  double MaxSocketRatio = 0;
};

struct TFloodTotals {
  double Seconds = 0;
  std::array<TFloodKindTotals, fkKindCount> Kinds{};
  uint64_t SocketDrops = 0;  // datagrams for the flood sockets the kernel dropped
  uint64_t Sent() const;
  uint64_t SentBytes() const;
  uint64_t ReceivedBytes() const;
  double MaxSocketRatio() const;
};

class TFloodLoad {
 public:
  explicit TFloodLoad(TFloodConfig config);
  ~TFloodLoad();  // stops
  TFloodLoad(const TFloodLoad&) = delete;
  TFloodLoad& operator=(const TFloodLoad&) = delete;

  // Opens the sockets and starts sending. False with a reason.
  bool Start(std::string& error);
  // Stops sending, collects late answers for a moment, closes the sockets.
  void Stop();
  // Everything since Start (complete once stopped).
  TFloodTotals Totals() const;

 private:
  struct TSocket {
    int Fd = -1;
    uint16_t Port = 0;
    TFloodKind Kind = fkJunk;
    std::atomic<uint64_t> Sent{0}, SentBytes{0}, Received{0}, ReceivedBytes{0};
    // From the login reply of an unfinished login: the ids its pings carry.
    std::atomic<uint64_t> Ids{0};  // player id << 32 | connection id; 0: none yet
    uint32_t PingSequence = 0;     // sender thread only
  };

  bool OpenSockets(std::string& error);
  void SendLoop();
  void ReadLoop();
  void SendOne(TSocket& socket);
  void SendPings();
  void Transmit(TSocket& socket, const uint8_t* data, size_t size);
  std::vector<uint8_t> Datagram(TFloodKind kind);
  void NoteReply(TSocket& socket, const uint8_t* data, size_t size);

  const TFloodConfig config_;
  std::vector<std::unique_ptr<TSocket>> sockets_;
  std::array<std::vector<TSocket*>, fkKindCount> byKind_;
  std::array<size_t, fkKindCount> nextOfKind_{};
  uint64_t random_;  // sender thread only
  uint64_t counter_ = 0;
  int epoll_ = -1;
  std::atomic<bool> sending_{false}, reading_{false};
  std::thread sender_, reader_;
  int64_t startNs_ = 0, stopNs_ = 0;
  uint64_t dropsAtStart_ = 0, dropsAtStop_ = 0;
};

}  // namespace qv::bench
