// TCustomPacketBuffer: the hub of one endpoint's protocol traffic.
//
// Three threads meet here. The socket's reader thread hands in every received
// datagram (ReceivePacket); one consumer thread (the server's listener, or a
// client tool) takes events out (GetNextEvent) and queues packets to send
// (SendPacket); the sender thread takes the next datagrams for the wire
// (TryTakeOutgoing). The buffer owns every peer connection, validates,
// acknowledges, orders and reassembles commands, filters voice, answers pings,
// picks which connection sends next (round robin over a ready queue plus a
// full scan every 50 ms), reports time-outs and closures, and coordinates
// shutdown. It does no socket work.
//
// Side 1 is the server (kSideServer, created with cfRetransmit | cfTimeouts),
// side 0 the client.
//
// A server's consumer may also take voice straight from the reader
// (SetDirectVoice): while it waits for its next event with nothing queued,
// a voice datagram from a connection is handed to it on the reader's thread
// instead of through the event queue, which saves a thread wake-up per
// datagram. Voice that finds the consumer busy or anything queued goes
// through the queue, so it never overtakes what arrived before it.
//
// Thread rules: every public method may be called from any thread. One mutex
// (a leaf lock) guards the connections and the queues; waiting happens outside
// it, and the direct voice consumer is called without it. Owners stop and
// join the threads that use the buffer before destroying it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/mutex.h"
#include "protocol/bandwidth_calc.h"
#include "protocol/event.h"
#include "protocol/fifo_list.h"
#include "base/hash_list.h"
#include "protocol/ignored_addresses.h"
#include "protocol/packets.h"
#include "protocol/server_counters.h"
#include "protocol/single_connection.h"
#include "protocol/time_tools.h"

namespace qv {

QV_EXCEPTION_CLASS(ECustomPacketBuffer, Exception);

// What GetNextEvent hands to the consumer.
enum TEventKind : uint8_t {
  evPacket = 0,    // a packet for the consumer; player id = its PlayerId
  evTimedOut = 1,  // the connection timed out or its reliable queue overflowed
  evClosed = 2,    // the connection finished closing
  evShutdown = 3,  // the buffer is shutting down; the consumer must end
  evExternal = 4,  // WakeListener was called and nothing else is pending
};

// Thread-done bits for MarkThreadDone.
inline constexpr int kSenderThreadBit = 0;
inline constexpr int kListenerThreadBit = 1;
inline constexpr int kAllThreadsDone = (1 << kSenderThreadBit) | (1 << kListenerThreadBit);

struct TConnectionInfo {
  uint32_t ConnectionId = 0;  // 0: no such connection, the rest is unset
  uint32_t PacketsSent = 0;
  uint32_t BytesSent = 0;  // low 32 bits
  uint32_t PacketsReceived = 0;
  uint32_t BytesReceived = 0;  // low 32 bits
  std::string Ip;
  uint16_t Port = 0;
  uint32_t PacketLoss = 0;  // hundredths of a percent
  uint32_t AverageRoundTrip = 0;  // ms
};

struct TBufferStatistics {
  uint32_t PacketsReceived = 0;
  uint32_t PacketsSent = 0;
  uint64_t BytesReceived = 0;
  uint64_t BytesSent = 0;
  TBandWidthRates Incoming;
  TBandWidthRates Outgoing;
  uint64_t VoiceShed = 0;  // voice datagrams dropped for waiting too long
  uint64_t IgnoredDatagrams = 0;  // dropped unread: their address is ignored
};

// One recipient of SendVoiceCopies.
struct TVoiceCopy {
  uint32_t PlayerId = 0;
  uint32_t ConnectionId = 0;
  uint8_t Target = 0;  // the voice target byte of his copy
};

// Takes a voice packet on the reader's thread (it moves out of packet) or
// leaves it and returns false when it cannot now.
using TDirectVoice = std::function<bool(TPacketPtr& packet)>;

class TCustomPacketBuffer {
 public:
  static constexpr int64_t kCycleMs = 50;
  static constexpr size_t kReliableOverflow = 512;
  // Ready-queue entry standing for the connectionless queue.
  static constexpr uint32_t kConnectionlessId = static_cast<uint32_t>(-2);
  static constexpr int kIncomingMax = 4096;
  // Room in the incoming queue kept for commands: voice and login requests
  // are shed once less than this is left.
  static constexpr size_t kCommandReserve = 512;
  // A server connection's voice queue admits voice while it holds fewer than
  // this: a little below the queue's bound, so that voice is refused quietly
  // instead of a full queue raising.
  static constexpr size_t kVoiceAdmitMax = TSingleConnection::kQueueMax - 20;
  // The login verdict is 436 bytes: a shorter request could be answered
  // only with more than three times its size, so it gets no answer.
  static constexpr size_t kMinLoginRequest = 146;

  // clock: time source of every stopwatch (nullptr: the steady clock); must
  // outlive the buffer. Waits on events always use real time.
  TCustomPacketBuffer(uint8_t side, uint8_t flags, const TClock* clock = nullptr);
  // Shuts down if that was not done yet (without waiting for threads) and
  // frees every connection and queued packet.
  ~TCustomPacketBuffer();
  TCustomPacketBuffer(const TCustomPacketBuffer&) = delete;
  TCustomPacketBuffer& operator=(const TCustomPacketBuffer&) = delete;

  // Reader thread. Takes ownership; raises ECustomPacketBuffer (or EFIFOList
  // when a queue is full) for packets it refuses. Callers swallow exceptions.
  // A server ignores for a while addresses that send many datagrams naming
  // no connection (TIgnoredAddresses); what they send is dropped silently
  // unless it belongs to a connection of theirs.
  void ReceivePacket(TPacketPtr packet);
  // Server side, set before the reader starts and constant afterwards: the
  // consumer that may take voice on the reader's thread (see above). The
  // packet it leaves is queued as if there were no such consumer.
  void SetDirectVoice(TDirectVoice consumer) { directVoice_ = std::move(consumer); }
  // Queues a packet on the connection named by its PlayerId (freed when there
  // is none). With closeAfter the connection starts closing once it is queued.
  // Refused packets are freed silently; a full queue raises EFIFOList.
  void SendPacket(TPacketPtr packet, bool closeAfter = false);
  // Queues a packet that belongs to no connection; it goes to its own peer
  // address (a client's CMD_cs_LoginStep1, for instance).
  void SendConnectionless(TPacketPtr packet);

  // Consumer. Blocks until an event exists; packet is set for evPacket only.
  void GetNextEvent(uint32_t& playerId, TEventKind& kind, TPacketPtr& packet);
  // One non-blocking step of GetNextEvent: true with an event, or false with
  // the milliseconds to wait before the next step.
  bool TryNextEvent(uint32_t& playerId, TEventKind& kind, TPacketPtr& packet, int64_t& waitMs);

  // Queues one copy of the voice packet image per recipient, under one
  // acquisition of the lock, with the recipient's ids and target byte, each on
  // the recipient's voice queue under the rules of SendPacket (recipients
  // without a connection or refused are skipped). Copies reuse spare packets.
  // Without wakeSender the caller sends them itself (TQVUDPSender::SendReady)
  // or wakes the sender (WakeSender); true when anything was queued.
  bool SendVoiceCopies(const TPacket& image, const TVoiceCopy* copies, size_t count, bool wakeSender = true);
  // Takes back sent packets (the list is emptied); they serve later copies.
  void Recycle(TPacketList& packets);

  // Sender, batched: appends up to max datagrams ready now (addressed,
  // checksummed) to out and returns how many; when it appends nothing,
  // waitMs gets the milliseconds until the next scheduling step is due.
  size_t TryTakeOutgoing(TPacketList& out, size_t max, int64_t& waitMs);
  // Waits up to waitMs (plus a little) for WakeSender or new packets.
  void WaitForOutgoing(int64_t waitMs);
  void WakeSender() { senderWake_.Signal(); }

  // Raises EHashList "Item nr %d already exists" for a second connection of
  // the same player id.
  void AddConnection(uint32_t playerId, uint32_t connectionId, uint32_t controlStart,
                     uint16_t port, const std::string& ip);
  void RemoveConnection(uint32_t playerId);
  int ConnectionCount();
  // Negative values are ignored; 0 removes the limit.
  void SetBandwidthLimit(uint32_t playerId, int kilobits);
  TConnectionInfo GetConnectionInfo(uint32_t playerId);
  TBufferStatistics GetStatistics();
  // State of a connection, or stClosed when there is none.
  TConnectionState ConnectionState(uint32_t playerId);

  void WakeListener();
  void MarkThreadDone(int bit);
  // Sets the shutdown flag, wakes both threads and waits up to waitMs for
  // both to report done.
  void Shutdown(int waitMs = 2000);
  bool ShuttingDown() const { return shutdown_.load(); }

  // Client side: keep the next CMD_sc_LoginStep2 instead of dropping it.
  void SetStoreLoginReply(bool store);
  // The stored login reply, or null.
  TPacketPtr TakeLoginReply();

  uint8_t Side() const { return side_; }

  // --- Hardening against peers on the open internet (address_guards.cpp) ---

  // Until a packet with its connection id arrives, the connection sends at
  // most three times requestBytes (the login request that made it).
  void LimitUntilVerified(uint32_t playerId, uint32_t requestBytes);
  // Connections still logging in (answered by their peer or not: a login
  // kept alive by pings still holds a player slot until its deadline): those
  // from ip, and all of them.
  struct TPendingLogins {
    int FromAddress = 0;
    int Total = 0;
  };
  TPendingLogins PendingLogins(const std::string& ip);
  // Packets with a connection's ids from another address (all connections).
  uint64_t ForeignPackets();
  // Begins the buffer's own log lines ("SID: 3 ").
  void SetLogPrefix(std::string prefix);

  // The counters this buffer adds to (its own until set). Set before the
  // threads that use the buffer start; constant afterwards.
  void SetCounters(TServerCounters& counters) { counters_ = &counters; }
  TServerCounters& Counters() const { return *counters_; }

 private:
  enum TScanPhase : uint8_t { spScanning, spDraining };
  struct TScanState {
    size_t cursor = 0;
    TScanPhase phase = spScanning;
    std::unique_ptr<TPerformanceTime> cycle;
  };

  // Helpers of the public calls: each needs mutex_ held.
  void ReceiveLocked(TPacketPtr packet) REQUIRES(mutex_);
  bool NextEventLocked(uint32_t& playerId, TEventKind& kind, TPacketPtr& packet, int64_t& waitMs) REQUIRES(mutex_);
  TSingleConnection* Find(uint32_t playerId) const REQUIRES(mutex_) { return byPlayer_.Get(playerId); }
  void MarkReady(uint32_t playerId) REQUIRES(mutex_);
  void ReceiveOnConnection(TSingleConnection& c, TPacketPtr packet) REQUIRES(mutex_);
  void ReceiveCommand(TSingleConnection& c, TPacketPtr packet) REQUIRES(mutex_);
  void ReceiveVoice(TSingleConnection& c, TPacketPtr packet) REQUIRES(mutex_);
  void ReceiveControl(TSingleConnection& c, TPacketPtr packet) REQUIRES(mutex_);
  void DeliverToListener(TPacketPtr packet) REQUIRES(mutex_);
  void QueueOnConnection(TSingleConnection& c, TPacketPtr packet) REQUIRES(mutex_);
  bool VoiceAdmitted(const TSingleConnection& c, const TPacket& packet) const REQUIRES(mutex_);
  void StartCycle(TScanState& scan) REQUIRES(mutex_);
  int64_t CycleElapsed(TScanState& scan) REQUIRES(mutex_);
  bool ScanConnections(uint32_t& playerId, TEventKind& kind) REQUIRES(mutex_);
  bool TakeIncoming(uint32_t& playerId, TEventKind& kind, TPacketPtr& packet, int64_t& waitMs) REQUIRES(mutex_);
  TPacketPtr ScanForOutput(int64_t& waitMs) REQUIRES(mutex_);
  TPacketPtr ServeReadyQueue(int64_t& waitMs) REQUIRES(mutex_);
  TPacketPtr NextFrom(uint32_t playerId, int64_t& waitMs) REQUIRES(mutex_);
  TPacketPtr TakeConnectionless() REQUIRES(mutex_);
  TPacketPtr NextOutgoingLocked(int64_t& waitMs) REQUIRES(mutex_);
  // Hardening (address_guards.cpp).
  void RefuseForeignAddress(TSingleConnection& c, const TPacket& packet) REQUIRES(mutex_);
  bool IgnoreDatagram(const TPacket& packet) REQUIRES(mutex_);
  void NoteStray(const TPacket& packet) REQUIRES(mutex_);
  int64_t NowMs() const REQUIRES(mutex_) { return now_->TimestampNs() / 1'000'000; }
  bool IncomingHasRoom(bool command) const REQUIRES(mutex_);

  const uint8_t side_;
  const uint8_t flags_;
  const TClock& clock_;
  TServerCounters ownCounters_;
  TServerCounters* counters_ = &ownCounters_;

  TMutex mutex_;  // a leaf: no other lock is taken while it is held
  std::vector<std::unique_ptr<TSingleConnection>> connections_ GUARDED_BY(mutex_);
  THashList<TSingleConnection> byPlayer_ GUARDED_BY(mutex_){1024};
  TFIFOList incoming_ GUARDED_BY(mutex_){512, kIncomingMax, 512};
  TFIFOList connectionless_ GUARDED_BY(mutex_){512, 4096, 512};
  TFIFOList_Playerid ready_ GUARDED_BY(mutex_){256, 100000, 256};
  TScanState listenerScan_ GUARDED_BY(mutex_);
  TScanState senderScan_ GUARDED_BY(mutex_);
  std::unique_ptr<TPerformanceTime> now_ GUARDED_BY(mutex_);
  uint32_t packetsReceived_ GUARDED_BY(mutex_) = 0;
  uint64_t bytesReceived_ GUARDED_BY(mutex_) = 0;
  uint32_t packetsSent_ GUARDED_BY(mutex_) = 0;
  uint64_t bytesSent_ GUARDED_BY(mutex_) = 0;
  int threadsDone_ GUARDED_BY(mutex_) = 0;
  bool storeLoginReply_ GUARDED_BY(mutex_) = false;
  // Spare packets for voice copies: the steady state of the relay allocates
  // nothing. Holds at most kSparePackets (about a megabyte).
  static constexpr size_t kSparePackets = 1024;
  TPacketList spare_ GUARDED_BY(mutex_);
  uint64_t voiceShedOfRemoved_ GUARDED_BY(mutex_) = 0;
  TPacketPtr loginReply_ GUARDED_BY(mutex_);
  uint64_t foreignPackets_ GUARDED_BY(mutex_) = 0;
  TIgnoredAddresses ignored_ GUARDED_BY(mutex_);
  uint64_t ignoredDatagrams_ GUARDED_BY(mutex_) = 0;
  std::string logPrefix_ GUARDED_BY(mutex_);
  // The direct voice consumer, the voice of the ReceivePacket in hand that
  // goes to it, and whether the consumer is handling an event it took (from
  // one TryNextEvent to the next).
  TDirectVoice directVoice_;
  TPacketPtr directPacket_ GUARDED_BY(mutex_);
  bool consumerBusy_ GUARDED_BY(mutex_) = false;

  std::atomic<bool> shutdown_{false};
  std::atomic<bool> externalWake_{false};
  TWindowsEvent listenerWake_;
  TWindowsEvent senderWake_;
  TWindowsEvent threadsDoneEvent_;
  TBandWidthCalc incomingMeter_;  // own lock
  TBandWidthCalc outgoingMeter_;  // own lock
};

}  // namespace qv
