// TSingleConnection: the protocol state of one peer.
//
// Identity (player id, connection id, peer address), the state machine from
// login to closed, four outgoing queues served in a fixed priority (acks,
// then retransmissions, then new commands in an 8-slot send window, then
// pings, unreliable control packets and voice), retransmission driven by the
// measured round trip, a 16-slot reorder ring for incoming commands,
// reassembly of fragmented commands, loss and round-trip statistics, and a
// per-connection bandwidth limit with voice throttling.
//
// The same class serves the server side (side 1) and the client side (side 0).
//
// Thread rules: not synchronised. Its owner, TCustomPacketBuffer, calls every
// method with the buffer lock held, so only one thread is ever inside.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include <netinet/in.h>

#include "protocol/bandwidth_calc.h"
#include "protocol/fifo_list.h"
#include "protocol/packets.h"
#include "protocol/server_counters.h"
#include "protocol/time_tools.h"

namespace qv {

enum TConnectionState : uint8_t {
  stLoggingIn = 0,
  stConnected = 1,
  stClosing = 2,
  stClosingBeforeLogin = 3,
  stClosingAllSent = 4,
  stClosed = 5,
};

// Connection flags (the server uses all three).
inline constexpr uint8_t cfRetransmit = 0x01;  // resend unacknowledged commands
inline constexpr uint8_t cfTimeouts = 0x02;    // receive and close time-outs, client pings

inline constexpr uint8_t kSideClient = 0;
inline constexpr uint8_t kSideServer = 1;

// What to do with a received command after its acknowledgement was queued.
enum TCommandVerdict : uint8_t { cvProcess, cvDrop };

class TSingleConnection {
 public:
  static constexpr size_t kWindowSize = 8;
  static constexpr size_t kRingSize = 16;
  static constexpr size_t kRoundTripSamples = 16;
  static constexpr int64_t kElapsedCeilingMs = 120000;
  static constexpr int64_t kCloseTimeoutMs = 10000;
  static constexpr int64_t kLoginTimeoutMs = 2000;
  static constexpr int64_t kConnectedTimeoutMs = 30000;
  static constexpr int64_t kPingIntervalMs = 1010;
  static constexpr int64_t kThrottleReleaseMs = 1000;
  // A reassembled message is delivered as soon as it reaches this size.
  static constexpr size_t kMaxMessageSize = 107201;
  static constexpr int kQueueMax = 1024;
  // Voice is real time: a listener gains nothing from speech that has waited
  // longer than this (ten 20 ms frames; a jitter buffer covers far less), so
  // older voice is shed instead of sent, and under overload the queue stays
  // this short and delivery levels off instead of turning into delay.
  static constexpr int64_t kVoiceDelayBoundMs = 200;
  // Hardening against peers on the open internet (see the block below).
  static constexpr int kMaxResends = 6;          // then the peer counts as gone
  static constexpr int64_t kMaxBackoffMs = 4000;  // longest wait between resends
  static constexpr int64_t kLoginDeadlineMs = 10000;
  static constexpr uint64_t kAmplification = 3;  // bytes out per byte in before verification

  // clock must outlive the connection.
  TSingleConnection(uint8_t side, uint8_t flags, uint32_t playerId, uint32_t connectionId,
                    const TClock& clock);
  ~TSingleConnection();
  TSingleConnection(const TSingleConnection&) = delete;
  TSingleConnection& operator=(const TSingleConnection&) = delete;

  // -- Sending ---------------------------------------------------------------

  // The next datagram to send (addressed, checksummed) or null. waitMs gets
  // the milliseconds until the bandwidth limit allows sending again.
  TPacketPtr NextPacket(const TPerformanceTime& now, int64_t& waitMs);

  // Queueing by the buffer's SendPacket (admission rules are the buffer's).
  // All fragments of one command or none: raises EFIFOList, queueing nothing,
  // when they do not fit, so a peer never sees a message with a gap.
  void QueueReliable(TPacketList fragments);
  // Stamps the packet with the queueing time and first sheds voice that
  // waited beyond kVoiceDelayBoundMs.
  void QueueVoice(TPacketPtr packet) { QueueVoice(std::move(packet), clock_.NowNs()); }
  void QueueVoice(TPacketPtr packet, int64_t nowNs);
  void QueueUnreliable(TPacketPtr packet) { unreliable_.Push(std::move(packet)); }
  // Starts closing (stClosing, or stClosingBeforeLogin from stLoggingIn).
  void BeginClose();

  // -- Receiving -------------------------------------------------------------

  // Counts the command, queues its acknowledgement unless the sequence lies
  // 16 or more beyond the expected one, and classifies it.
  TCommandVerdict CommandReceived(uint32_t sequence, uint16_t resendCount, size_t size);
  // Files a command that CommandReceived let through: duplicates below the
  // expected sequence and sequences beyond the ring are freed.
  void PlaceCommand(TPacketPtr command);
  // The next command in sequence order if it has arrived, else null.
  TPacketPtr TakeInOrder();
  // True when an acknowledgement freed a window slot.
  bool AckReceived(uint32_t sequence, uint16_t resendCount, const TPerformanceTime& now);
  // Counts a packet handed to the listener; on the client side the delivery
  // of CMD_sc_LoginStep6 completes the login.
  void Delivered(const TPacket& packet);
  // Passes whole commands and other packets through; collects fragments and
  // returns the complete message, or null while fragments are missing.
  TPacketPtr Reassemble(TPacketPtr packet);
  // Voice and control sequence bookkeeping of received packets.
  void VoiceReceived(uint16_t sequence);
  void ControlReceived(uint32_t sequence);
  void PongReceived(uint32_t pingSequence, const TPerformanceTime& now);
  void NoteReceive(const TPerformanceTime& now) { lastReceive_->Assign(now); }

  // Also builds the socket address every sent packet carries (only when the
  // peer changed).
  void SetPeer(std::string ip, uint16_t port);

  // -- Time-outs and measurement --------------------------------------------

  // Milliseconds until the receive time-out; 0 means the peer timed out.
  int64_t TimeLeft(const TPerformanceTime& now) const;
  // Applies the close time-out; true when the state is stClosed.
  bool CloseExpired(const TPerformanceTime& now);
  void AddRoundTrip(int64_t ms);
  // kilobitsPerSecond * 128 bytes per second (0: no limit); throttle off.
  void SetBandwidthLimit(int64_t kilobitsPerSecond);

  // -- Accessors -------------------------------------------------------------

  uint8_t Side() const { return side_; }
  uint32_t PlayerId() const { return playerId_; }
  uint32_t ConnectionId() const { return connectionId_; }
  TConnectionState State() const { return state_; }
  const std::string& PeerIp() const { return ip_; }
  uint16_t PeerPort() const { return port_; }
  bool VoiceThrottle() const { return throttle_; }
  uint32_t CurrentSpeaker() const { return speaker_; }
  int64_t BandwidthLimit() const { return meter_.Limit(); }
  size_t ReliableCount() const { return reliable_.Count(); }
  size_t VoiceCount() const { return voice_.Count(); }
  size_t VoiceBytes() const { return voice_.TotalSize(); }
  size_t WindowCount() const { return windowCount_; }
  int64_t AverageRoundTrip() const { return average_; }
  int64_t RetransmitTimeout() const { return rto_; }
  uint32_t NextExpectedCommand() const { return nextCommand_; }
  uint16_t NextExpectedVoice() const { return nextVoice_; }
  uint32_t ControlSequence() const { return controlSeq_; }
  uint32_t PacketsSent() const { return packetsSent_; }
  uint64_t BytesSent() const { return bytesSent_; }
  uint32_t PacketsReceived() const { return packetsReceived_; }
  uint64_t BytesReceived() const { return bytesReceived_; }
  uint64_t PacketsLost() const { return packetsLost_; }
  // Voice datagrams shed for waiting too long.
  uint64_t VoiceShed() const { return voiceShed_; }
  // The server-wide counter that each shed datagram is added to as well.
  void SetShedCounter(TServerCounters::TCounter* counter) { shedCounter_ = counter; }

  // -- Hardening -------------------------------------------------------------
  // Until the peer proves that it receives what is sent to its address (a
  // packet with the connection id arrives), the connection sends at most
  // kAmplification times the bytes credited (the login request): commands
  // wait in their queue, other packets that do not fit are dropped.
  void LimitUntilVerified(uint64_t requestBytes);
  void MarkVerified() { limited_ = false; }
  bool Verified() const { return !limited_; }
  // Packets with the right ids from another address: counted; true when the
  // caller should log (the first one, then at most once a minute).
  bool NoteForeignPacket(const TPerformanceTime& now);
  uint64_t ForeignPackets() const { return foreignPackets_; }

  // Set by the buffer when the connection is added.
  void SetControlSequences(uint32_t outgoing, uint32_t nextExpected);
  void SetNextExpectedVoice(uint16_t sequence) { nextVoice_ = sequence; }

 private:
  struct TWindowSlot {
    TPacketPtr packet;
    std::unique_ptr<TPerformanceTime> firstSend;
    std::unique_ptr<TPerformanceTime> lastSend;
  };

  bool Enabled(uint8_t flag) const { return (flags_ & flag) != 0; }
  int64_t Since(TPerformanceTime& watch, const TPerformanceTime& now) const;
  // Slot due for retransmission, or kWindowSize.
  size_t DueRetransmission(const TPerformanceTime& now);
  TPacketPtr Retransmit(size_t slot, const TPerformanceTime& now);
  TPacketPtr SendNewCommand(const TPerformanceTime& now);
  TPacketPtr SendUnreliableOrVoice(const TPerformanceTime& now);
  TPacketPtr MakePing(const TPerformanceTime& now);
  bool PingDue(const TPerformanceTime& now);
  void ThrottleAndPrune(const TPerformanceTime& now);
  void Finish(TPacket& packet, const TPerformanceTime& now);
  void ShedStaleVoice(int64_t nowNs);
  bool WithinAllowance(const TPacket& packet) const;
  // A command resent kMaxResends times and still unacknowledged.
  bool GaveUp(const TPerformanceTime& now) const;
  int64_t ResendInterval(const TWindowSlot& slot) const;

  const uint8_t side_;
  const uint8_t flags_;
  const uint32_t playerId_;
  const uint32_t connectionId_;
  const TClock& clock_;
  TConnectionState state_ = stLoggingIn;
  std::string ip_;
  uint16_t port_ = 0;
  sockaddr_in address_{};

  TFIFOList ack_{16, kQueueMax, 4};
  TFIFOList reliable_{16, kQueueMax, 8};
  TFIFOList voice_{64, kQueueMax, 32};
  TFIFOList unreliable_{32, kQueueMax, 16};

  uint32_t commandSeq_ = 0;
  uint16_t voiceSeq_ = 0;
  uint32_t controlSeq_ = 0;
  uint32_t nextCommand_ = 1;
  uint16_t nextVoice_ = 1;
  uint32_t nextControl_ = 0;

  std::array<TPacketPtr, kRingSize> ring_;
  size_t ringHead_ = 0;

  std::array<TWindowSlot, kWindowSize> window_;
  size_t windowCount_ = 0;

  std::array<int64_t, kRoundTripSamples> roundTrips_;
  size_t roundTripIndex_ = 0;
  int64_t average_ = 50;
  int64_t rto_ = 100;

  std::unique_ptr<TPerformanceTime> lastReceive_;
  std::unique_ptr<TPerformanceTime> lastSend_;
  std::unique_ptr<TPerformanceTime> lastPing_;
  std::unique_ptr<TPerformanceTime> closeStart_;  // null until closing begins
  std::unique_ptr<TPerformanceTime> throttleTimer_;

  uint32_t packetsSent_ = 0;
  uint64_t bytesSent_ = 0;
  uint32_t packetsReceived_ = 0;
  uint64_t bytesReceived_ = 0;
  uint64_t packetsLost_ = 0;
  uint64_t voiceShed_ = 0;
  TServerCounters::TCounter* shedCounter_ = nullptr;

  TPacketPtr reassembly_;  // null when no fragmented command is in progress
  TClientBandWidthCalc meter_;
  bool throttle_ = false;
  uint32_t speaker_ = 0;

  std::unique_ptr<TPerformanceTime> created_;
  bool limited_ = false;
  uint64_t credit_ = 0;
  uint64_t foreignPackets_ = 0;
  std::unique_ptr<TPerformanceTime> foreignLogged_;  // null until first logged
};

}  // namespace qv
