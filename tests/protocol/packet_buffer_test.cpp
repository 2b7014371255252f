#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>

#include "protocol/command_types.h"
#include "protocol/ignored_addresses.h"
#include "base/hash_list.h"
#include "protocol/packet_buffer.h"

namespace qv {
namespace {

constexpr uint32_t kPlayer = 5;
constexpr uint32_t kConn = 0xA1B2C3D4;
constexpr uint16_t kClientPort = 40000;

// A server-side buffer on a manual clock with one connection; the test plays
// the client by hand-building datagrams and the listener and sender by
// stepping the buffer.
class BufferTest : public ::testing::Test {
 protected:
  TManualClock clock{1'000'000'000};
  TCustomPacketBuffer server{kSideServer, 7, &clock};

  void SetUp() override { server.AddConnection(kPlayer, kConn, 1, kClientPort, "127.0.0.1"); }

  static TPacketPtr FromClient(TPacketPtr p, uint16_t port = kClientPort) {
    p->SetChecksum();
    p->SetPeer("127.0.0.1", port);
    return p;
  }
  static TPacketPtr Command(uint32_t seq, uint16_t type = CMD_cs_InfoSendText) {
    auto p = NewCommandPacket(type, kConn, kPlayer);
    p->SetSequence(seq);
    return FromClient(std::move(p));
  }
  static TPacketPtr Control(uint16_t type, uint32_t seq) {
    auto p = NewControlPacket(type, kConn, kPlayer);
    p->SetSequence(seq);
    return FromClient(std::move(p));
  }
  std::string Refusal(TCustomPacketBuffer& b, TPacketPtr p) {
    try {
      b.ReceivePacket(std::move(p));
    } catch (const ECustomPacketBuffer& e) {
      return e.what();
    }
    return "";
  }
  std::vector<TPacketPtr> Outgoing(TCustomPacketBuffer& b) {
    std::vector<TPacketPtr> out;
    int64_t wait = 0;
    while (b.TryTakeOutgoing(out, 64, wait) > 0) {
    }
    return out;
  }
  // A few listener steps without time passing: enough to finish a scan and
  // start the next cycle when one is due.
  bool NextEvent(uint32_t& id, TEventKind& kind, TPacketPtr& packet) {
    int64_t wait = 0;
    for (int step = 0; step < 3; ++step) {
      if (server.TryNextEvent(id, kind, packet, wait)) return true;
    }
    return false;
  }
  // Sends CMD_sc_LoginStep6 and acknowledges it as the client would.
  void Connect() {
    server.SendPacket(NewCommandPacket(CMD_sc_LoginStep6, 0, kPlayer));
    auto out = Outgoing(server);
    ASSERT_EQ(out.size(), 1u);
    server.ReceivePacket(FromClient(NewAckPacket(0, kConn, kPlayer, out[0]->Sequence())));
    ASSERT_EQ(server.ConnectionState(kPlayer), stConnected);
  }
};

TEST_F(BufferTest, RefusedDatagrams) {
  auto bad = Command(1);
  bad->SetU8(12, 9);  // breaks the checksum
  EXPECT_EQ(Refusal(server, std::move(bad)), "Invalid Packet");
  std::vector<uint8_t> short23(23, 0);
  short23[0] = 0xF0;
  short23[1] = 0xBE;
  EXPECT_EQ(Refusal(server, std::make_unique<TPacket>(short23.data(), 23, "127.0.0.1", 1)),
            "Invalid Packet");
  EXPECT_EQ(Refusal(server, FromClient(NewS2CVoicePacket(0, 0, kConn, kPlayer, 1, 0, 1, 0))),
            "S2C recv on Server");
  auto wrong = NewCommandPacket(CMD_cs_InfoSendText, kConn + 1, kPlayer);
  wrong->SetSequence(1);
  EXPECT_EQ(Refusal(server, FromClient(std::move(wrong))), "wrong Connection + player combo");
  EXPECT_EQ(Refusal(server, FromClient(NewC2SVoicePacket(0, 0, kConn, kPlayer, 1, 0))),
            "Recv voice data during login");
  // Unknown player: dropped without a reply.
  auto stranger = NewCommandPacket(CMD_cs_InfoSendText, kConn, 99);
  stranger->SetSequence(1);
  EXPECT_EQ(Refusal(server, FromClient(std::move(stranger))), "");
  EXPECT_TRUE(Outgoing(server).empty());
  // Every datagram is counted, refused or not.
  EXPECT_EQ(server.GetStatistics().PacketsReceived, 6u);

  TCustomPacketBuffer client(kSideClient, 3, &clock);
  EXPECT_EQ(Refusal(client, FromClient(NewC2SVoicePacket(0, 0, kConn, kPlayer, 1, 0))),
            "C2S recv on Client");
}

TEST_F(BufferTest, CommandsAcknowledgedDeliveredInOrder) {
  server.ReceivePacket(Command(2));
  uint32_t id = 0;
  TEventKind kind{};
  TPacketPtr packet;
  EXPECT_FALSE(NextEvent(id, kind, packet));
  server.ReceivePacket(Command(1));
  ASSERT_TRUE(NextEvent(id, kind, packet));
  EXPECT_EQ(kind, evPacket);
  EXPECT_EQ(id, kPlayer);
  EXPECT_EQ(packet->Sequence(), 1u);
  ASSERT_TRUE(NextEvent(id, kind, packet));
  EXPECT_EQ(packet->Sequence(), 2u);
  auto acks = Outgoing(server);
  ASSERT_EQ(acks.size(), 2u);
  EXPECT_TRUE(acks[0]->IsAck());
  EXPECT_EQ(acks[0]->Sequence(), 2u);
  EXPECT_EQ(acks[1]->Sequence(), 1u);
  EXPECT_EQ(acks[1]->PeerPort(), kClientPort);
}

TEST_F(BufferTest, LoginRequestsAndRepliesWithoutConnection) {
  auto login = NewControlPacket(CMD_cs_LoginStep1, 0, 0);
  login->SetSize(180);
  server.ReceivePacket(FromClient(std::move(login), 5555));
  uint32_t id = 1;
  TEventKind kind{};
  TPacketPtr packet;
  ASSERT_TRUE(NextEvent(id, kind, packet));
  EXPECT_EQ(kind, evPacket);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(packet->PeerPort(), 5555);

  // The server's login reply carries connection id 0 and the next control
  // sequence of the connection (started at 1).
  auto reply = NewControlPacket(CMD_sc_LoginStep2, 0, kPlayer);
  reply->SetSize(436);
  server.SendPacket(std::move(reply));
  auto out = Outgoing(server);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]->ConnectionId(), 0u);
  EXPECT_EQ(out[0]->Sequence(), 2u);
  EXPECT_TRUE(out[0]->VerifyChecksum());

  TCustomPacketBuffer client(kSideClient, 3, &clock);
  client.SetStoreLoginReply(true);
  client.ReceivePacket(std::move(out[0]));
  auto stored = client.TakeLoginReply();
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->Size(), 436u);
  EXPECT_EQ(client.TakeLoginReply(), nullptr);
}

TEST_F(BufferTest, PingAnsweredOnlyWhenConnected) {
  server.ReceivePacket(Control(ctPing, 3));
  EXPECT_TRUE(Outgoing(server).empty());
  Connect();
  Outgoing(server);
  server.ReceivePacket(Control(ctPing, 0x11223344));
  auto out = Outgoing(server);
  ASSERT_EQ(out.size(), 1u);
  auto& pong = *out[0];
  ASSERT_EQ(pong.Size(), 24u);
  std::vector<uint8_t> head(pong.Data(), pong.Data() + 16);
  std::vector<uint8_t> expected = {0xF4, 0xBE, 0x02, 0x00, 0xD4, 0xC3, 0xB2, 0xA1,
                                   0x05, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};
  EXPECT_EQ(head, expected);
  EXPECT_EQ(pong.GetU32(20), 0x11223344u);
  EXPECT_TRUE(pong.VerifyChecksum());
}

TEST_F(BufferTest, CloseAfterDuringLoginClosesOnceSent) {
  auto reply = NewControlPacket(CMD_sc_LoginStep2, 0, kPlayer);
  server.SendPacket(std::move(reply), true);
  EXPECT_EQ(server.ConnectionState(kPlayer), stClosingBeforeLogin);
  // Closing refuses new packets.
  server.SendPacket(NewCommandPacket(CMD_sc_NotifyTextMessage, 0, kPlayer));
  ASSERT_EQ(Outgoing(server).size(), 1u);
  EXPECT_EQ(server.ConnectionState(kPlayer), stClosed);
  EXPECT_EQ(Refusal(server, Command(1)), "recv data after close");
  uint32_t id = 0;
  TEventKind kind{};
  TPacketPtr packet;
  ASSERT_TRUE(NextEvent(id, kind, packet));
  EXPECT_EQ(kind, evClosed);
  EXPECT_EQ(id, kPlayer);
  // Reported again on every cycle until removed.
  clock.AdvanceMs(51);
  ASSERT_TRUE(NextEvent(id, kind, packet));
  EXPECT_EQ(kind, evClosed);
  server.RemoveConnection(kPlayer);
  clock.AdvanceMs(51);
  EXPECT_FALSE(NextEvent(id, kind, packet));
  EXPECT_EQ(server.ConnectionCount(), 0);
}

TEST_F(BufferTest, CommandWhileClosingIsAcknowledgedButRefused) {
  Connect();
  server.SendPacket(NewCommandPacket(CMD_sc_NotifyPlayerLeftScope, 0, kPlayer), true);
  EXPECT_EQ(server.ConnectionState(kPlayer), stClosing);
  EXPECT_EQ(Refusal(server, Command(1)), "recv command while closing.");
  auto out = Outgoing(server);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(out[0]->IsAck());
  EXPECT_EQ(server.ConnectionState(kPlayer), stClosingAllSent);
  // The client never acknowledges: closed 10 s after the close began.
  uint32_t id = 0;
  TEventKind kind{};
  TPacketPtr packet;
  clock.AdvanceMs(9990);
  Outgoing(server);  // retransmissions keep going meanwhile
  EXPECT_FALSE(NextEvent(id, kind, packet));
  clock.AdvanceMs(60);
  ASSERT_TRUE(NextEvent(id, kind, packet));
  EXPECT_EQ(kind, evClosed);
}

TEST_F(BufferTest, TimeOutsAndOverflowReported) {
  uint32_t id = 0;
  TEventKind kind{};
  TPacketPtr packet;
  clock.AdvanceMs(1999);
  EXPECT_FALSE(NextEvent(id, kind, packet));
  clock.AdvanceMs(60);
  ASSERT_TRUE(NextEvent(id, kind, packet));
  EXPECT_EQ(kind, evTimedOut);
  EXPECT_EQ(id, kPlayer);

  server.AddConnection(6, 66, 1, kClientPort, "127.0.0.1");
  server.ReceivePacket(FromClient([] {
    auto p = NewControlPacket(ctPing, 66, 6);
    p->SetSequence(3);
    return p;
  }()));
  for (int i = 0; i < 513; ++i) server.SendPacket(NewCommandPacket(CMD_sc_NotifyTextMessage, 0, 6));
  server.RemoveConnection(kPlayer);
  clock.AdvanceMs(51);
  ASSERT_TRUE(NextEvent(id, kind, packet));
  EXPECT_EQ(kind, evTimedOut);
  EXPECT_EQ(id, 6u);
}

TEST_F(BufferTest, ConnectionBookkeeping) {
  EXPECT_EQ(server.GetConnectionInfo(1234).ConnectionId, 0u);
  TConnectionInfo info = server.GetConnectionInfo(kPlayer);
  EXPECT_EQ(info.ConnectionId, kConn);
  EXPECT_EQ(info.Ip, "127.0.0.1");
  EXPECT_EQ(info.AverageRoundTrip, 50u);
  try {
    server.AddConnection(kPlayer, 1, 1, 1, "127.0.0.1");
    FAIL();
  } catch (const EHashList& e) {
    EXPECT_STREQ(e.what(), "Item nr 5 already exists");
  }
  // Voice to a connection still logging in is dropped silently.
  server.SendPacket(NewS2CVoicePacket(0, 0, 0, kPlayer, 0, 0, 1, 0));
  EXPECT_TRUE(Outgoing(server).empty());
  server.SetBandwidthLimit(kPlayer, -1);
  server.SetBandwidthLimit(kPlayer, 10);
}

TEST_F(BufferTest, ConnectionsTakeTurnsSending) {
  server.AddConnection(6, 66, 1, kClientPort, "127.0.0.1");
  for (int i = 0; i < 3; ++i) {
    server.SendPacket(NewControlPacket(CMD_sc_LoginStep2, 0, kPlayer));
    server.SendPacket(NewControlPacket(CMD_sc_LoginStep2, 0, 6));
  }
  std::vector<uint32_t> order;
  for (auto& p : Outgoing(server)) order.push_back(p->PlayerId());
  EXPECT_EQ(order, (std::vector<uint32_t>{kPlayer, 6, kPlayer, 6, kPlayer, 6}));
  EXPECT_EQ(server.GetStatistics().PacketsSent, 6u);
}

TEST_F(BufferTest, ExternalWakeOnlyWhenIdle) {
  server.ReceivePacket(Command(1));
  server.WakeListener();
  uint32_t id = 0;
  TEventKind kind{};
  TPacketPtr packet;
  server.GetNextEvent(id, kind, packet);
  EXPECT_EQ(kind, evPacket);
  server.GetNextEvent(id, kind, packet);
  EXPECT_EQ(kind, evExternal);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(packet, nullptr);
}

TEST_F(BufferTest, BlockingCallsEndOnShutdown) {
  std::thread listener([&] {
    uint32_t id = 0;
    TEventKind kind{};
    TPacketPtr packet;
    server.GetNextEvent(id, kind, packet);
    EXPECT_EQ(kind, evShutdown);
    server.MarkThreadDone(kListenerThreadBit);
  });
  std::thread sender([&] {
    // As the sender thread waits: only the shutdown ends this wait.
    server.WaitForOutgoing(std::numeric_limits<int32_t>::max() - 2);
    EXPECT_TRUE(server.ShuttingDown());
    server.MarkThreadDone(kSenderThreadBit);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  server.Shutdown();
  listener.join();
  sender.join();
  TPacketList none;
  int64_t wait = 0;
  EXPECT_EQ(server.TryTakeOutgoing(none, 1, wait), 0u);
}

TEST_F(BufferTest, ShutdownFreesQueuedPackets) {
  Connect();
  for (int i = 0; i < 40; ++i) server.SendPacket(NewCommandPacket(CMD_sc_NotifyTextMessage, 0, kPlayer));
  for (int i = 0; i < 40; ++i) server.SendPacket(NewS2CVoicePacket(0, 0, 0, kPlayer, 0, 0, 1, 0));
  auto big = NewCommandPacket(CMD_sc_LoginStep4, 0, kPlayer);
  big->SetSize(3000);
  server.SendPacket(std::move(big));
  server.ReceivePacket(Command(3));  // sits in the reorder ring
  server.ReceivePacket(Command(1));  // sits in the incoming queue
  auto frag = NewCommandPacket(CMD_cs_InfoSendText, kConn, kPlayer);
  frag->SetSequence(2);
  frag->SetFragmentsLeft(1);
  server.ReceivePacket(FromClient(std::move(frag)));  // a reassembly in progress
  int64_t wait = 0;
  TPacketList sent;
  server.TryTakeOutgoing(sent, 5, wait);  // window partly filled
  server.Shutdown(0);
  // Leak checking under ASan proves the rest is freed with the buffer.
}

// Random and mutated datagrams must never crash the buffer nor break it.
TEST_F(BufferTest, SurvivesRandomAndMutatedDatagrams) {
  Connect();
  std::mt19937 rng(12345);
  auto byte = [&] { return static_cast<uint8_t>(rng()); };
  std::vector<TPacketPtr> seeds;
  seeds.push_back(Command(7));
  seeds.push_back(FromClient(NewAckPacket(0, kConn, kPlayer, 3)));
  seeds.push_back(FromClient(NewC2SVoicePacket(0, 0, kConn, kPlayer, 9, 0)));
  seeds.push_back(Control(ctPing, 50));
  seeds.push_back(Control(ctPong, 50));
  auto login = NewControlPacket(CMD_cs_LoginStep1, 0, 0);
  login->SetSize(180);
  seeds.push_back(FromClient(std::move(login)));
  auto frag = NewCommandPacket(CMD_cs_InfoSendText, kConn, kPlayer);
  frag->SetSize(600);
  frag->SetFragmentsLeft(3);
  seeds.push_back(FromClient(std::move(frag)));

  uint32_t id = 0;
  TEventKind kind{};
  TPacketPtr packet;
  int64_t wait = 0;
  for (int i = 0; i < 200000; ++i) {
    TPacketPtr p;
    uint32_t mode = rng() % 4;
    if (mode == 0) {
      std::vector<uint8_t> raw(rng() % 16 == 0 ? rng() % 8193 : rng() % 64);
      for (auto& b : raw) b = byte();
      if (raw.size() >= 2 && rng() % 2 == 0) {
        raw[0] = static_cast<uint8_t>(0xF0 + rng() % 5);
        raw[1] = 0xBE;
      }
      p = std::make_unique<TPacket>(raw.data(), raw.size(), "127.0.0.1", kClientPort);
    } else {
      p = seeds[rng() % seeds.size()]->Clone();
      if (rng() % 3 == 0) p->SetSize(rng() % 64);
      int flips = 1 + rng() % 4;
      for (int f = 0; f < flips && p->Size() > 0; ++f) p->SetU8(rng() % p->Size(), byte());
      // Mostly keep the header sane so the datagram gets past validation.
      if (mode != 3 && p->Size() >= 12) {
        p->SetU32(4, kConn);
        p->SetU32(8, rng() % 8 == 0 ? 0 : kPlayer);
      }
      if (mode != 1 && p->IsKnownClass()) p->SetChecksum();
    }
    try {
      server.ReceivePacket(std::move(p));
    } catch (const Exception&) {
    }
    if (i % 64 == 0) {
      while (server.TryNextEvent(id, kind, packet, wait) && kind == evPacket) packet.reset();
      TPacketList sent;
      while (server.TryTakeOutgoing(sent, 64, wait) > 0) sent.clear();
    }
  }
  // Still a working buffer: a fresh connection gets a command through.
  server.AddConnection(77, 0x77, 1, kClientPort, "127.0.0.1");
  auto cmd = NewCommandPacket(CMD_cs_InfoSendText, 0x77, 77);
  cmd->SetSequence(1);
  server.ReceivePacket(FromClient(std::move(cmd)));
  bool delivered = false;
  clock.AdvanceMs(51);
  for (int i = 0; i < 100 && !delivered; ++i) {
    if (server.TryNextEvent(id, kind, packet, wait) && kind == evPacket && id == 77) delivered = true;
  }
  EXPECT_TRUE(delivered);
}

// Voice copies are queued together and carry each recipient's ids and target
// byte; voice older than the bound is shed at queueing and at the head of the
// queue, commands never.
TEST_F(BufferTest, VoiceCopiesQueuedTogetherAndStaleVoiceShed) {
  Connect();
  server.AddConnection(6, 66, 1, kClientPort, "127.0.0.1");  // still logging in: skipped
  auto image = NewS2CVoicePacket(0, 3, 0, 0, 9, 0x1234, 42, 9);
  image->SetSize(S2CVoiceHeader::Size + 4);
  image->SetU32(S2CVoiceHeader::Size, 0xA5A5A5A5);
  const TVoiceCopy copies[] = {{kPlayer, kConn, 1}, {6, 66, 0}, {99, 1, 0}};
  auto relay = [&](uint16_t n) {
    image->SetU16(S2CVoiceHeader::SpeakerSequence, n);
    server.SendVoiceCopies(*image, copies, 3);
  };
  constexpr int64_t kBound = TSingleConnection::kVoiceDelayBoundMs;
  relay(1);                                                    // t = 0
  clock.AdvanceMs(kBound - 50);
  server.SendPacket(NewCommandPacket(CMD_cs_InfoSendText, 0, kPlayer));
  relay(2);                                                    // t = bound - 50
  clock.AdvanceMs(100);
  relay(3);                                                    // 1 is shed on queueing
  clock.AdvanceMs(kBound - 50);                                // 2 is now too old, 3 not

  TPacketList out;
  int64_t waitMs = 0;
  EXPECT_EQ(server.TryTakeOutgoing(out, 1, waitMs), 1u);
  EXPECT_EQ(server.TryTakeOutgoing(out, 256, waitMs), 1u);
  EXPECT_EQ(server.TryTakeOutgoing(out, 256, waitMs), 0u);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_TRUE(out[0]->IsCommand());
  const TPacket& voice = *out[1];
  ASSERT_TRUE(voice.IsS2CVoice());
  EXPECT_EQ(voice.GetU16(S2CVoiceHeader::SpeakerSequence), 3);
  EXPECT_EQ(voice.VoiceTarget(), 1);
  EXPECT_EQ(voice.ConnectionId(), kConn);
  EXPECT_EQ(voice.PlayerId(), kPlayer);
  EXPECT_EQ(voice.SpeakerId(), 42u);
  EXPECT_EQ(voice.GetU32(S2CVoiceHeader::Size), 0xA5A5A5A5u);
  ASSERT_NE(voice.PeerAddress(), nullptr);
  EXPECT_EQ(ntohs(voice.PeerAddress()->sin_port), kClientPort);
  EXPECT_EQ(server.GetStatistics().VoiceShed, 2u);
  server.Recycle(out);
  EXPECT_TRUE(out.empty());
}

// --- Hardening against peers on the open internet ---

// A forged source never answers: whatever is queued for it, it receives at
// most three times the bytes of its login request, and a request too short
// to be answered within that gets nothing.
TEST_F(BufferTest, SilentAddressGetsAtMostThreeTimesWhatItSent) {
  for (auto [size, refusal] : {std::pair<size_t, const char*>{145, "login request too short"}, {146, ""}}) {
    auto login = NewControlPacket(CMD_cs_LoginStep1, 0, 0);
    login->SetSize(size);
    EXPECT_EQ(Refusal(server, FromClient(std::move(login))), refusal) << size;
  }
  server.LimitUntilVerified(kPlayer, 146);
  auto reply = NewControlPacket(CMD_sc_LoginStep2, 0, kPlayer);
  reply->SetSize(436);
  server.SendPacket(std::move(reply));
  for (int i = 0; i < 3; ++i) {
    auto text = NewCommandPacket(CMD_sc_NotifyTextMessage, 0, kPlayer);
    text->SetSize(2000);
    server.SendPacket(std::move(text));
  }
  size_t bytes = 0;
  for (int step = 0; step < 600; ++step) {  // a minute
    for (auto& p : Outgoing(server)) bytes += p->Size();
    clock.AdvanceMs(100);
    uint32_t id = 0;
    TEventKind kind{};
    TPacketPtr packet;
    NextEvent(id, kind, packet);
  }
  EXPECT_EQ(bytes, 436u);  // the verdict alone fits into 3 x 146
}

// The first packet with the connection id proves the address: from then on
// the connection sends without that allowance.
TEST_F(BufferTest, AnsweringPeerIsNoLongerLimited) {
  server.LimitUntilVerified(kPlayer, 146);
  server.ReceivePacket(Command(1));
  auto text = NewCommandPacket(CMD_sc_NotifyTextMessage, 0, kPlayer);
  text->SetSize(2000);
  server.SendPacket(std::move(text));
  size_t bytes = 0;
  for (auto& p : Outgoing(server)) bytes += p->Size();
  EXPECT_GT(bytes, 3u * 146);
}

// An unacknowledged command is resent a few times with growing pauses, then
// the connection counts as timed out, even while the peer keeps pinging.
TEST_F(BufferTest, ResendsAreBoundedAndEndTheConnection) {
  Connect();
  server.SendPacket(NewCommandPacket(CMD_sc_NotifyTextMessage, 0, kPlayer));
  int copies = 0;
  int64_t timedOutAtMs = -1;
  for (int64_t ms = 0; ms <= 60000 && timedOutAtMs < 0; ms += 50) {
    for (auto& p : Outgoing(server)) copies += p->IsCommand() ? 1 : 0;
    if (ms % 1000 == 0) server.ReceivePacket(Control(ctPing, static_cast<uint32_t>(10 + ms / 1000)));
    uint32_t id = 0;
    TEventKind kind{};
    TPacketPtr packet;
    if (NextEvent(id, kind, packet) && kind == evTimedOut) timedOutAtMs = ms;
    clock.AdvanceMs(50);
  }
  EXPECT_EQ(copies, 1 + TSingleConnection::kMaxResends);
  EXPECT_GT(timedOutAtMs, 0);
  EXPECT_LT(timedOutAtMs, TSingleConnection::kConnectedTimeoutMs);
}

// While logging in, only packets with content keep the connection alive, and
// nothing keeps it past the login deadline.
TEST_F(BufferTest, LoginTimeOutIgnoresPacketsThatOnlyCarryIds) {
  struct Row {
    const char* what;
    std::function<TPacketPtr(uint32_t player, uint32_t conn, uint32_t n)> make;
    bool alive;  // after 2.1 s with a packet at 1.5 s
  };
  const Row rows[] = {
      {"ping", [](uint32_t pl, uint32_t co, uint32_t n) { auto p = NewControlPacket(ctPing, co, pl); p->SetSequence(n + 3); return p; }, false},
      {"stray ack", [](uint32_t pl, uint32_t co, uint32_t n) { return NewAckPacket(0, co, pl, 100 + n); }, false},
      {"command", [](uint32_t pl, uint32_t co, uint32_t n) { auto p = NewCommandPacket(CMD_cs_LoginStep3, co, pl); p->SetSequence(n); return p; }, true},
  };
  for (const Row& row : rows) {
    TCustomPacketBuffer b{kSideServer, 7, &clock};
    b.AddConnection(9, 0x99, 1, kClientPort, "127.0.0.1");
    auto timedOut = [&b] {
      uint32_t id = 0;
      TEventKind kind{};
      TPacketPtr packet;
      int64_t wait = 0;
      for (int step = 0; step < 3; ++step) {
        if (b.TryNextEvent(id, kind, packet, wait) && kind == evTimedOut) return true;
      }
      return false;
    };
    uint32_t n = 1;
    clock.AdvanceMs(1500);
    b.ReceivePacket(FromClient(row.make(9, 0x99, n++)));
    clock.AdvanceMs(600);
    EXPECT_EQ(timedOut(), !row.alive) << row.what;
    // Content every second does not outlast the 10 s deadline.
    while (!timedOut() && n < 30) {
      b.ReceivePacket(FromClient(row.make(9, 0x99, n++)));
      clock.AdvanceMs(1000);
    }
    EXPECT_LE(n, 12u) << row.what;
  }
}

// The address is fixed when the connection is made: the right ids from
// another address change nothing and are counted.
TEST_F(BufferTest, RightIdsFromAnotherAddressAreDropped) {
  Connect();
  for (auto [ip, port] : {std::pair<const char*, uint16_t>{"127.0.0.1", 40001}, {"127.0.0.2", kClientPort}}) {
    auto p = NewCommandPacket(CMD_cs_InfoSendText, kConn, kPlayer);
    p->SetSequence(1);
    p->SetChecksum();
    p->SetPeer(ip, port);
    EXPECT_EQ(Refusal(server, std::move(p)), "packet from another address");
  }
  EXPECT_EQ(server.ForeignPackets(), 2u);
  EXPECT_TRUE(Outgoing(server).empty());  // no acknowledgement
  uint32_t id = 0;
  TEventKind kind{};
  TPacketPtr packet;
  EXPECT_FALSE(NextEvent(id, kind, packet));
  EXPECT_EQ(server.GetConnectionInfo(kPlayer).Port, kClientPort);
  server.ReceivePacket(Command(1));  // the real peer carries on
  ASSERT_TRUE(NextEvent(id, kind, packet));
  EXPECT_EQ(packet->Sequence(), 1u);
}

// A full listener queue sheds voice first; a command it cannot take is not
// acknowledged, and its resend gets through once the listener caught up.
TEST_F(BufferTest, ListenerQueueShedsVoiceBeforeCommands) {
  Connect();
  Outgoing(server);
  uint16_t voiceSeq = 1;
  size_t queued = 0;
  while (Refusal(server, FromClient(NewC2SVoicePacket(0, 0, kConn, kPlayer, voiceSeq++, 0))).empty()) ++queued;
  EXPECT_EQ(queued, TCustomPacketBuffer::kIncomingMax - TCustomPacketBuffer::kCommandReserve);
  uint32_t seq = 1;
  while (Refusal(server, Command(seq)).empty()) ++seq;
  EXPECT_EQ(Refusal(server, Command(seq)), "listener queue full");
  auto acks = Outgoing(server);
  ASSERT_FALSE(acks.empty());
  EXPECT_EQ(acks.back()->Sequence(), seq - 1);  // the refused one is not acknowledged
  uint32_t id = 0;
  TEventKind kind{};
  TPacketPtr packet;
  uint32_t commands = 0;
  while (NextEvent(id, kind, packet)) commands += packet && packet->IsCommand() ? 1 : 0;
  server.ReceivePacket(Command(seq));
  while (NextEvent(id, kind, packet)) commands += packet && packet->IsCommand() ? 1 : 0;
  EXPECT_EQ(commands, seq);  // every command reached the listener
}

// Voice goes to the direct consumer only while it waits for its next event
// with nothing queued; otherwise, and when the consumer leaves it, it takes
// the queue behind what came first, so it never overtakes a command.
TEST_F(BufferTest, DirectVoiceOnlyWhenTheConsumerIsIdleAndNothingWaits) {
  Connect();
  Outgoing(server);
  bool accept = true;
  std::vector<uint16_t> direct;
  server.SetDirectVoice([&](TPacketPtr& p) {
    if (!accept) return false;
    direct.push_back(p->VoiceSequence());
    p.reset();
    return true;
  });
  struct Case {
    const char* name;
    bool busy;          // the consumer took an event and has not come back
    bool commandFirst;  // a command waits in the queue
    bool accept;        // the consumer takes what it is given
    bool expectDirect;
  };
  const Case cases[] = {
      {"idle, nothing queued", false, false, true, true},
      {"consumer busy", true, false, true, false},
      {"command queued first", false, true, true, false},
      {"consumer leaves it", false, false, false, false},
  };
  uint16_t voiceSeq = 1;
  uint32_t commandSeq = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t id = 0;
    TEventKind kind{};
    TPacketPtr packet;
    while (NextEvent(id, kind, packet)) {
    }
    direct.clear();
    accept = c.accept;
    if (c.busy) {
      server.ReceivePacket(Command(commandSeq++));
      ASSERT_TRUE(NextEvent(id, kind, packet));
    }
    if (c.commandFirst) server.ReceivePacket(Command(commandSeq++));
    const uint16_t seq = voiceSeq++;
    server.ReceivePacket(FromClient(NewC2SVoicePacket(0, 0, kConn, kPlayer, seq, 0)));
    EXPECT_EQ(direct, c.expectDirect ? std::vector<uint16_t>{seq} : std::vector<uint16_t>{});
    std::vector<std::string> events;
    while (NextEvent(id, kind, packet)) {
      if (packet)
        events.push_back(packet->IsCommand() ? "command" : "voice " + std::to_string(packet->VoiceSequence()));
    }
    std::vector<std::string> expected;
    if (c.commandFirst) expected.push_back("command");
    if (!c.expectDirect) expected.push_back("voice " + std::to_string(seq));
    EXPECT_EQ(events, expected);
  }
}

// Datagrams that name no connection count against their address: past the
// limit within the window, everything from it is dropped unread for a while,
// except what belongs to a connection of its own at its fixed address.
TEST_F(BufferTest, AddressesSendingStrayDatagramsAreIgnored) {
  Connect();
  const TIgnoreLimits limits;
  struct Row {
    const char* what;
    std::function<TPacketPtr()> make;  // checksummed, from 127.0.0.1
  };
  auto stray = [](TPacketPtr p) {
    p->SetChecksum();
    p->SetPeer("127.0.0.1", 41000);
    return p;
  };
  const Row rows[] = {
      {"unknown player", [&] { return stray(NewAckPacket(0, kConn, 99, 1)); }},
      {"wrong connection id", [&] { return stray(NewAckPacket(0, kConn + 1, kPlayer, 1)); }},
      {"bad checksum", [&] { auto p = stray(NewControlPacket(ctPing, kConn, kPlayer)); p->SetU8(12, 9); return p; }},
      {"short login request", [&] { return stray(NewControlPacket(CMD_cs_LoginStep1, 0, 0)); }},
  };
  uint32_t id = 0;
  TEventKind kind{};
  TPacketPtr packet;
  auto loginDelivered = [&](const char* ip) {
    auto login = NewControlPacket(CMD_cs_LoginStep1, 0, 0);
    login->SetSize(180);
    login->SetChecksum();
    login->SetPeer(ip, 5555);
    server.ReceivePacket(std::move(login));
    return NextEvent(id, kind, packet) && packet && packet->PeerIp() == ip;
  };
  uint32_t seq = 1;
  uint32_t pingSeq = 10;
  auto pass = [&](int64_t ms) {  // the player pings meanwhile
    for (; ms > 0; ms -= 10000) {
      clock.AdvanceMs(static_cast<double>(std::min<int64_t>(ms, 10000)));
      server.ReceivePacket(Control(ctPing, pingSeq++));
    }
  };
  uint64_t ignored = 0;
  for (const Row& row : rows) {
    for (int i = 0; i < limits.StrayLimit - 1; ++i) {
      auto p = row.make();
      p->SetPeer("127.0.0.1", static_cast<uint16_t>(41000 + i % 100));  // ports do not count
      Refusal(server, std::move(p));
      if (i == limits.StrayLimit / 2) pass(limits.WindowMs - 100);
    }
    EXPECT_TRUE(loginDelivered("127.0.0.1")) << row.what;
    Refusal(server, row.make());
    EXPECT_FALSE(loginDelivered("127.0.0.1")) << row.what;
    EXPECT_TRUE(loginDelivered("127.0.0.2")) << row.what;
    // The player's ids from another port of the address: dropped unread.
    auto forged = NewCommandPacket(CMD_cs_InfoSendText, kConn, kPlayer);
    forged->SetSequence(seq);
    EXPECT_EQ(Refusal(server, FromClient(std::move(forged), 40001)), "") << row.what;
    ignored += 2;
    EXPECT_EQ(server.GetStatistics().IgnoredDatagrams, ignored) << row.what;
    // The player at the address keeps his connection.
    Outgoing(server);
    server.ReceivePacket(Command(seq++));
    ASSERT_TRUE(NextEvent(id, kind, packet)) << row.what;
    EXPECT_EQ(id, kPlayer) << row.what;
    EXPECT_EQ(Outgoing(server).size(), 1u) << row.what;  // its acknowledgement
    pass(limits.IgnoreMs);
    EXPECT_TRUE(loginDelivered("127.0.0.1")) << row.what;
  }
}

// The tables stay within their bounds: a new address pushes out the oldest.
TEST(IgnoredAddressesTest, BoundedTablesLetTheOldestGo) {
  const TIgnoreLimits limits{2, 100, 1000, 3, 2};
  struct Step {
    int64_t atMs;
    const char* ip;
    bool reportsIgnored;  // this stray made the address ignored
  };
  struct Row {
    const char* what;
    std::vector<Step> steps;
    std::vector<std::string> ignoredAtEnd;
  };
  const Row rows[] = {
      {"strays further apart than the window",
       {{0, "a", false}, {100, "a", false}, {150, "a", true}},
       {"a"}},
      {"counted addresses beyond the bound",
       {{0, "a", false}, {1, "b", false}, {2, "c", false}, {3, "d", false}, {4, "a", false}, {5, "d", true}},
       {"d"}},
      {"ignored addresses beyond the bound",
       {{0, "a", false}, {0, "a", true}, {1, "b", false}, {1, "b", true}, {2, "c", false}, {2, "c", true}},
       {"b", "c"}},
      {"ignoring ends", {{0, "a", false}, {0, "a", true}, {999, "b", false}, {1000, "b", true}}, {"b"}},
  };
  for (const Row& row : rows) {
    TIgnoredAddresses table(limits);
    int64_t now = 0;
    for (const Step& step : row.steps) {
      now = step.atMs;
      EXPECT_EQ(table.CountStray(step.ip, now), step.reportsIgnored) << row.what << " " << step.ip << step.atMs;
    }
    for (const char* ip : {"a", "b", "c", "d"}) {
      const bool expected = std::find(row.ignoredAtEnd.begin(), row.ignoredAtEnd.end(), ip) != row.ignoredAtEnd.end();
      EXPECT_EQ(table.Ignored(ip, now), expected) << row.what << " " << ip;
    }
  }
}

}  // namespace
}  // namespace qv
