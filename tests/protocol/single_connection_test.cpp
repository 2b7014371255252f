#include <gtest/gtest.h>

#include <vector>

#include "protocol/command_types.h"
#include "protocol/single_connection.h"

namespace qv {
namespace {

constexpr uint32_t kPlayer = 5;
constexpr uint32_t kConn = 0x01020304;

// A connection on a manual clock with helpers to read what it sends.
class ConnectionTest : public ::testing::Test {
 protected:
  TManualClock clock{1'000'000'000};
  std::unique_ptr<TPerformanceTime> now = NewStopwatch(&clock);

  std::unique_ptr<TSingleConnection> Make(uint8_t side, uint8_t flags = 7) {
    auto c = std::make_unique<TSingleConnection>(side, flags, kPlayer, kConn, clock);
    c->SetPeer("127.0.0.1", 4000);
    c->SetControlSequences(1, 3);
    return c;
  }
  TPacketPtr Next(TSingleConnection& c) {
    now->Restart();
    int64_t wait = 0;
    return c.NextPacket(*now, wait);
  }
  void Advance(double ms) { clock.AdvanceMs(ms); }
  void QueueCommand(TSingleConnection& c, uint16_t type, size_t payload = 0) {
    auto p = NewCommandPacket(type, 0, kPlayer);
    p->SetSize(p->Size() + payload);
    c.QueueReliable(FragmentCommand(std::move(p)));
  }
  bool Ack(TSingleConnection& c, uint32_t seq, uint16_t resend = 0) {
    now->Restart();
    return c.AckReceived(seq, resend, *now);
  }
  // Server side: sending CMD_sc_LoginStep6 and its acknowledgement connect.
  void Connect(TSingleConnection& c) {
    QueueCommand(c, CMD_sc_LoginStep6);
    auto p = Next(c);
    ASSERT_TRUE(p && p->IsCommand());
    ASSERT_TRUE(Ack(c, p->Sequence()));
    ASSERT_EQ(c.State(), stConnected);
  }
};

TEST_F(ConnectionTest, RetransmissionFollowsRoundTripEstimate) {
  auto c = Make(kSideServer);
  EXPECT_EQ(c->AverageRoundTrip(), 50);
  EXPECT_EQ(c->RetransmitTimeout(), 100);
  QueueCommand(*c, CMD_sc_NotifyTextMessage);
  auto first = Next(*c);
  ASSERT_TRUE(first && first->IsCommand());
  EXPECT_EQ(first->Sequence(), 1u);
  EXPECT_EQ(first->ResendCount(), 0);
  EXPECT_EQ(first->ConnectionId(), kConn);
  EXPECT_TRUE(first->VerifyChecksum());
  EXPECT_EQ(first->PeerPort(), 4000);

  Advance(100);
  EXPECT_EQ(Next(*c), nullptr);  // exactly the time-out: not yet
  Advance(1);
  auto again = Next(*c);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Sequence(), 1u);
  EXPECT_EQ(again->ResendCount(), 1);
  EXPECT_TRUE(again->VerifyChecksum());

  // An acknowledged resend counts as loss and gives no round-trip sample.
  EXPECT_TRUE(Ack(*c, 1, 1));
  EXPECT_EQ(c->PacketsLost(), 1u);
  EXPECT_EQ(c->AverageRoundTrip(), 50);
  EXPECT_FALSE(Ack(*c, 1, 0));  // no longer in the window

  // A slow first-time acknowledgement raises the estimate: 15 x 50 + 1000.
  QueueCommand(*c, CMD_sc_NotifyTextMessage);
  ASSERT_TRUE(Next(*c));
  Advance(1000);
  EXPECT_TRUE(Ack(*c, 2, 0));
  EXPECT_EQ(c->AverageRoundTrip(), 109);
  EXPECT_EQ(c->RetransmitTimeout(), 164);

  QueueCommand(*c, CMD_sc_NotifyTextMessage);
  ASSERT_TRUE(Next(*c));
  Advance(164);
  EXPECT_EQ(Next(*c), nullptr);
  Advance(1);
  auto third = Next(*c);
  ASSERT_TRUE(third);
  EXPECT_EQ(third->Sequence(), 3u);
  EXPECT_EQ(third->ResendCount(), 1);
}

TEST_F(ConnectionTest, WindowOfEightLetsControlAndVoiceThrough) {
  auto c = Make(kSideServer, 6);  // no retransmission in this test
  Connect(*c);
  for (int i = 0; i < 9; ++i) QueueCommand(*c, CMD_sc_NotifyTextMessage);
  for (uint32_t seq = 2; seq < 10; ++seq) {
    auto p = Next(*c);
    ASSERT_TRUE(p && p->IsCommand());
    EXPECT_EQ(p->Sequence(), seq);
  }
  EXPECT_EQ(c->WindowCount(), 8u);
  EXPECT_EQ(c->ReliableCount(), 1u);
  c->QueueUnreliable(NewControlPacket(ctPong, 0, kPlayer));
  c->QueueVoice(NewS2CVoicePacket(0, 1, 0, kPlayer, 0, 0, 9, 0));
  auto voice = Next(*c);  // voice first, unreliable once voice is empty
  ASSERT_TRUE(voice && voice->IsS2CVoice());
  EXPECT_EQ(voice->VoiceSequence(), 1);
  EXPECT_EQ(voice->ConnectionId(), kConn);
  auto control = Next(*c);
  ASSERT_TRUE(control && control->IsControl());
  EXPECT_EQ(control->Sequence(), 2u);  // control sequence started at 1
  EXPECT_TRUE(control->VerifyChecksum());
  EXPECT_EQ(Next(*c), nullptr);
  EXPECT_TRUE(Ack(*c, 2));
  auto ninth = Next(*c);
  ASSERT_TRUE(ninth && ninth->IsCommand());
  EXPECT_EQ(ninth->Sequence(), 10u);
}

TEST_F(ConnectionTest, ReorderRingAndAcknowledgements) {
  auto c = Make(kSideClient);
  // expected + 15 is acknowledged and buffered, expected + 16 is neither.
  EXPECT_EQ(c->CommandReceived(16, 3, 24), cvProcess);
  EXPECT_EQ(c->CommandReceived(17, 0, 24), cvDrop);
  auto ack = Next(*c);
  ASSERT_TRUE(ack);
  std::vector<uint8_t> expected = {0xF1, 0xBE, 0x03, 0x00, 0x04, 0x03, 0x02, 0x01,
                                   0x05, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(ack->Data(), ack->Data() + ack->Size()), expected);
  EXPECT_EQ(Next(*c), nullptr);  // nothing for 17

  auto cmd = [](uint32_t seq) {
    auto p = NewCommandPacket(CMD_sc_NotifyTextMessage, kConn, kPlayer);
    p->SetSequence(seq);
    return p;
  };
  c->PlaceCommand(cmd(16));
  EXPECT_EQ(c->TakeInOrder(), nullptr);
  // The slot of 16 is filled: a second copy is acknowledged but dropped.
  EXPECT_EQ(c->CommandReceived(16, 1, 24), cvDrop);
  for (uint32_t s = 1; s <= 15; ++s) {
    ASSERT_EQ(c->CommandReceived(s, 0, 24), cvProcess);
    c->PlaceCommand(cmd(s));
  }
  for (uint32_t s = 1; s <= 16; ++s) {
    auto p = c->TakeInOrder();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Sequence(), s);
  }
  EXPECT_EQ(c->TakeInOrder(), nullptr);
  EXPECT_EQ(c->NextExpectedCommand(), 17u);
  // A delivered command arriving again is acknowledged again and dropped.
  EXPECT_EQ(c->CommandReceived(3, 2, 24), cvProcess);
  c->PlaceCommand(cmd(3));
  EXPECT_EQ(c->TakeInOrder(), nullptr);
  int acks = 0;
  while (auto p = Next(*c)) {
    ASSERT_TRUE(p->IsAck());
    ++acks;
  }
  EXPECT_EQ(acks, 1 + 15 + 1);
}

TEST_F(ConnectionTest, VoiceSequenceWrapLateAndLoss) {
  auto c = Make(kSideServer);
  c->SetNextExpectedVoice(65534);
  c->VoiceReceived(3);  // a new round, not a late packet
  EXPECT_EQ(c->NextExpectedVoice(), 4);
  EXPECT_EQ(c->PacketsLost(), 0u);
  c->SetNextExpectedVoice(200);
  c->VoiceReceived(100);  // late: nothing changes
  EXPECT_EQ(c->NextExpectedVoice(), 200);
  EXPECT_EQ(c->PacketsLost(), 0u);
  c->VoiceReceived(206);
  EXPECT_EQ(c->NextExpectedVoice(), 207);
  EXPECT_EQ(c->PacketsLost(), 6u);
  c->VoiceReceived(30000);  // a jump of 10000 or more is not counted as loss
  EXPECT_EQ(c->PacketsLost(), 6u);
  EXPECT_EQ(c->NextExpectedVoice(), 30001);
  c->SetNextExpectedVoice(0);
  c->VoiceReceived(65535);
  EXPECT_EQ(c->NextExpectedVoice(), 0);
}

TEST_F(ConnectionTest, OutgoingVoiceSequenceWraps) {
  auto c = Make(kSideServer);
  Connect(*c);
  for (int i = 0; i < 65537; ++i) {
    c->QueueVoice(NewS2CVoicePacket(0, 0, 0, kPlayer, 0, 0, 9, 0));
    auto p = Next(*c);
    ASSERT_TRUE(p);
    if (i == 65534) {
      EXPECT_EQ(p->VoiceSequence(), 65535);
    } else if (i == 65535) {
      EXPECT_EQ(p->VoiceSequence(), 0);
    }
  }
}

TEST_F(ConnectionTest, ReassemblyOfFragments) {
  auto c = Make(kSideClient);
  auto big = NewCommandPacket(CMD_sc_LoginStep4, kConn, kPlayer);
  big->SetSize(24 + 20 * 536);
  for (size_t i = 24; i < big->Size(); ++i) big->SetU8(i, static_cast<uint8_t>(i * 7));
  std::vector<uint8_t> payload(big->Data() + 24, big->Data() + big->Size());
  auto fragments = FragmentCommand(std::move(big));
  ASSERT_EQ(fragments.size(), 20u);
  TPacketPtr message;
  for (size_t k = 0; k < fragments.size(); ++k) {
    fragments[k]->SetSequence(static_cast<uint32_t>(k + 1));
    auto out = c->Reassemble(std::move(fragments[k]));
    if (k + 1 < 20) {
      ASSERT_EQ(out, nullptr) << k;
    } else {
      message = std::move(out);
    }
  }
  ASSERT_TRUE(message);
  ASSERT_EQ(message->Size(), 24u + 20 * 536);
  EXPECT_EQ(message->Sequence(), 1u);  // the header of the first fragment
  EXPECT_EQ(message->FragmentsLeft(), 19);
  EXPECT_EQ(message->Position(), 0u);
  EXPECT_EQ(std::vector<uint8_t>(message->Data() + 24, message->Data() + message->Size()), payload);

  // An unfragmented command passes through.
  auto single = NewCommandPacket(CMD_sc_NotifyTextMessage, kConn, kPlayer);
  EXPECT_TRUE(c->Reassemble(std::move(single)));
}

TEST_F(ConnectionTest, ReassemblyStopsAtSizeCap) {
  auto c = Make(kSideClient);
  auto huge = NewCommandPacket(CMD_sc_LoginStep4, kConn, kPlayer);
  huge->SetSize(24 + 250 * 536);
  auto fragments = FragmentCommand(std::move(huge));
  std::vector<size_t> sizes;
  for (auto& f : fragments) {
    if (auto out = c->Reassemble(std::move(f))) sizes.push_back(out->Size());
  }
  // The first message is cut once it holds 200 payload pieces (>= 107201
  // bytes); the remaining 50 fragments form a second message.
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[0], 24u + 200 * 536);
  EXPECT_EQ(sizes[1], 24u + 50 * 536);
}

TEST_F(ConnectionTest, ClosingAllSentClosesAfterTenSecondsWithoutAck) {
  auto c = Make(kSideServer);
  Connect(*c);
  QueueCommand(*c, CMD_sc_NotifyPlayerLeftScope);
  c->BeginClose();
  EXPECT_EQ(c->State(), stClosing);
  ASSERT_TRUE(Next(*c));
  EXPECT_EQ(c->State(), stClosingAllSent);
  Advance(9999);
  now->Restart();
  EXPECT_FALSE(c->CloseExpired(*now));
  EXPECT_EQ(c->TimeLeft(*now), 1000);  // never times out in this state
  Advance(1);
  now->Restart();
  EXPECT_TRUE(c->CloseExpired(*now));
  EXPECT_EQ(c->State(), stClosed);
}

TEST_F(ConnectionTest, ClosingAllSentClosesOnLastAck) {
  auto c = Make(kSideServer);
  Connect(*c);
  QueueCommand(*c, CMD_sc_NotifyPlayerLeftScope);
  c->BeginClose();
  auto p = Next(*c);
  ASSERT_TRUE(p);
  EXPECT_TRUE(Ack(*c, p->Sequence()));
  EXPECT_EQ(c->State(), stClosed);
}

TEST_F(ConnectionTest, ReceiveTimeOutsPerState) {
  auto c = Make(kSideServer);
  now->Restart();
  c->NoteReceive(*now);
  Advance(1999);
  now->Restart();
  EXPECT_EQ(c->TimeLeft(*now), 1);
  Advance(1);
  now->Restart();
  EXPECT_EQ(c->TimeLeft(*now), 0);
  now->Restart();
  c->NoteReceive(*now);
  Connect(*c);
  Advance(29999);
  now->Restart();
  EXPECT_EQ(c->TimeLeft(*now), 1);
  // A silence far beyond the stopwatch ceiling still counts as timed out.
  Advance(200000);
  now->Restart();
  EXPECT_EQ(c->TimeLeft(*now), 0);
  auto untimed = Make(kSideServer, cfRetransmit);
  Advance(100000);
  now->Restart();
  EXPECT_EQ(untimed->TimeLeft(*now), 1000);
}

TEST_F(ConnectionTest, ClientPingsWhenSilent) {
  auto c = Make(kSideClient);
  c->SetControlSequences(7, 9);
  auto login6 = NewCommandPacket(CMD_sc_LoginStep6, kConn, kPlayer);
  c->Delivered(*login6);
  ASSERT_EQ(c->State(), stConnected);
  EXPECT_EQ(Next(*c), nullptr);
  Advance(1010);
  auto ping = Next(*c);
  ASSERT_TRUE(ping && ping->IsControl());
  EXPECT_EQ(ping->CommandType(), ctPing);
  EXPECT_EQ(ping->Size(), 20u);
  EXPECT_EQ(ping->Sequence(), 8u);
  EXPECT_TRUE(ping->VerifyChecksum());
  // A pong for that ping within 1010 ms is a round-trip sample.
  Advance(210);
  now->Restart();
  c->PongReceived(8, *now);
  EXPECT_EQ(c->AverageRoundTrip(), std::llround((15 * 50 + 210) / 16.0));
}

TEST_F(ConnectionTest, ThrottlePrunesToOneSpeaker) {
  auto c = Make(kSideServer);
  Connect(*c);
  c->SetBandwidthLimit(1);  // 128 bytes per second
  auto voice = [](uint32_t speaker) {
    auto p = NewS2CVoicePacket(0, 0, 0, kPlayer, 0, 0, speaker, 0);
    p->SetSize(122);
    return p;
  };
  c->QueueVoice(voice(1));
  c->QueueVoice(voice(2));
  c->QueueVoice(voice(1));
  c->QueueVoice(voice(2));
  c->QueueVoice(voice(2));
  auto first = Next(*c);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->SpeakerId(), 1u);
  EXPECT_EQ(Next(*c), nullptr);  // over the allowance: throttle and prune
  EXPECT_TRUE(c->VoiceThrottle());
  EXPECT_EQ(c->CurrentSpeaker(), 2u);
  EXPECT_EQ(c->VoiceCount(), 3u);
  c->SetBandwidthLimit(0);
  EXPECT_FALSE(c->VoiceThrottle());
}

}  // namespace
}  // namespace qv
