// Voice over loopback: a virtual server with its protocol threads runs in
// this process on a free port, with its own SQLite file; protocol
// clients log in, talk, whisper and mute, and the relayed packets are checked
// in the bytes they received.
//
// The same server also faces what the open internet sends: forged packets
// with a player's ids and floods of logins that never finish.
//
// "Nobody else heard it" is shown without waiting for silence: after the
// voice under test, a marker packet is relayed to the same listeners; a
// listener's packets leave in order, so once the marker is in, anything
// relayed before it would be too.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/command_types.h"
#include "support/live_server.h"
#include "voice/voice_runtime.h"

namespace qv {
namespace {

using Bytes = std::vector<uint8_t>;
using test::kWaitMs;
using test::WaitUntil;

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(seed + i * 13);
  return data;
}

bool IsVoiceFrom(const TClientEvent& e, uint32_t speakerId) { return e.Kind == ceVoice && e.SpeakerId == speakerId; }

// A plain UDP socket with a receive buffer larger than any datagram.
class RawSocket {
 public:
  explicit RawSocket(uint16_t localPort = 0) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(localPort);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  ~RawSocket() { ::close(fd_); }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  void SendTo(const Bytes& data, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  // The next datagram whose first two bytes are cls; empty after kWaitMs.
  Bytes ReceiveClass(uint16_t cls) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    Bytes buffer(65536);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, 100) <= 0) continue;
      ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
      if (n >= 2 && (buffer[0] | buffer[1] << 8) == cls) return Bytes(buffer.begin(), buffer.begin() + n);
    }
    return {};
  }
  // Every datagram already waiting.
  std::vector<Bytes> Drain() {
    std::vector<Bytes> all;
    Bytes buffer(65536);
    for (;;) {
      ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0) return all;
      all.emplace_back(buffer.begin(), buffer.begin() + n);
    }
  }

 private:
  int fd_ = -1;
};

Bytes BytesOf(TPacketPtr p) {
  p->SetChecksum();
  return Bytes(p->Data(), p->Data() + p->Size());
}

Bytes LoginRequestBytes(const std::string& nick, size_t size = 180) {
  auto p = NewControlPacket(CMD_cs_LoginStep1, 0, 0);
  p->SetSize(size);
  p->SetU16(80, 2);
  p->SetU16(84, 32);
  p->SetU16(86, 60);
  if (size >= 180) {
    p->SetU8(150, static_cast<uint8_t>(nick.size()));
    for (size_t i = 0; i < nick.size(); ++i) p->SetU8(151 + i, static_cast<uint8_t>(nick[i]));
  }
  return BytesOf(std::move(p));
}

class VoiceLoopbackTest : public test::LiveServerTest {
 protected:
  void SetUp() override { StartServer(); }

  void AddChannel(const std::string& name) { LiveServerTest::AddChannel(name, 0, -1, 32); }

  // ownEndpoint: the client gets a socket of its own instead of the shared one.
  TQVClient& Login(const std::string& nick, const std::string& channel = "", bool ownEndpoint = false) {
    TQVClient& client = NewClient(ownEndpoint);
    EXPECT_EQ(client.Login(Request(nick, channel)), 1) << nick;
    // Voice reaches him once the server has his acknowledgement of the end of the login.
    EXPECT_TRUE(WaitUntil([&] { return TVoiceRuntime::Of(*server)->Buffer().ConnectionState(client.PlayerId()) == stConnected; }));
    return client;
  }

  static std::optional<TClientEvent> WaitVoice(TQVClient& client, uint32_t speakerId) {
    return client.WaitFor([&](const TClientEvent& e) { return IsVoiceFrom(e, speakerId); }, kWaitMs);
  }
  // Whether any voice packet from the speaker is still queued in the client.
  static bool HeardFrom(TQVClient& client, uint32_t speakerId) {
    for (const TClientEvent& e : client.TakeEvents())
      if (IsVoiceFrom(e, speakerId)) return true;
    return false;
  }
};

TEST_F(VoiceLoopbackTest, ChannelVoiceIsHeardByTheOthersInTheChannelOnly) {
  ASSERT_NE(server, nullptr);
  AddChannel("Other");
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  TQVClient& carol = Login("carol", "Other");
  TQVClient& dave = Login("dave", "Other");
  const Bytes data = Pattern(500, 1);

  ASSERT_TRUE(alice.SendVoice(0, 3, data, 0x5A6B));
  auto heard = WaitVoice(bob, alice.PlayerId());
  ASSERT_TRUE(heard);
  const Bytes& raw = heard->Raw;
  ASSERT_EQ(raw.size(), 22u + data.size());
  const uint32_t bobId = bob.PlayerId(), aliceId = alice.PlayerId();
  EXPECT_EQ(Bytes(raw.begin(), raw.begin() + 4), (Bytes{0xF3, 0xBE, 0x00, 0x03}));
  EXPECT_EQ(Bytes(raw.begin() + 8, raw.begin() + 12),
            (Bytes{static_cast<uint8_t>(bobId), static_cast<uint8_t>(bobId >> 8), 0, 0}));
  EXPECT_EQ(Bytes(raw.begin() + 14, raw.begin() + 16), (Bytes{0x6B, 0x5A}));
  EXPECT_EQ(Bytes(raw.begin() + 16, raw.begin() + 20),
            (Bytes{static_cast<uint8_t>(aliceId), static_cast<uint8_t>(aliceId >> 8), 0, 0}));
  EXPECT_EQ(Bytes(raw.begin() + 20, raw.begin() + 22), (Bytes{0x01, 0x00}));  // alice's first voice packet
  EXPECT_EQ(Bytes(raw.begin() + 22, raw.end()), data);

  // Markers: dave talks to carol, bob talks to alice.
  ASSERT_TRUE(dave.SendVoice(0, 3, Pattern(10, 2)));
  ASSERT_TRUE(bob.SendVoice(0, 3, Pattern(10, 3)));
  ASSERT_TRUE(WaitVoice(carol, dave.PlayerId()));
  ASSERT_TRUE(WaitVoice(alice, bob.PlayerId()));
  EXPECT_FALSE(HeardFrom(carol, aliceId));
  EXPECT_FALSE(HeardFrom(dave, aliceId));
  EXPECT_FALSE(HeardFrom(alice, aliceId));
}

TEST_F(VoiceLoopbackTest, MutedSpeakerAndUngrantedModeratedVoiceAreNotHeard) {
  ASSERT_NE(server, nullptr);
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  TQVClient& carol = Login("carol");

  // Bob mutes alice through the protocol.
  ASSERT_TRUE(bob.SendCommand(CMD_cs_PlayerMutePlayer,
                              {static_cast<uint8_t>(alice.PlayerId()), 0, 0, 0, 1}));
  ASSERT_TRUE(bob.WaitFor([](const TClientEvent& e) { return e.CommandType == CMD_sc_PlayerMutePlayerReply; },
                          kWaitMs));
  ASSERT_TRUE(alice.SendVoice(0, 3, Pattern(20, 4)));
  ASSERT_TRUE(WaitVoice(carol, alice.PlayerId()));
  ASSERT_TRUE(carol.SendVoice(0, 3, Pattern(20, 5)));  // the marker
  ASSERT_TRUE(WaitVoice(bob, carol.PlayerId()));
  EXPECT_FALSE(HeardFrom(bob, alice.PlayerId()));
  ASSERT_TRUE(WaitVoice(alice, carol.PlayerId()));  // the marker, out of the way

  // The channel becomes moderated: carol is silent until she has voice.
  // Alice, who has voice, is the marker that carol's first packet is done.
  WithModel([&](TClients& players, TChannels& channels) {
    channels.GetDefaultChannelAsPointer()->Flags |= cfModerated;
    players.GetClientByID(alice.PlayerId())->ChannelPrivileges |= cpV;
  });
  ASSERT_TRUE(carol.SendVoice(0, 3, Pattern(20, 6)));
  ASSERT_TRUE(alice.SendVoice(0, 3, Pattern(20, 7)));
  ASSERT_TRUE(WaitVoice(carol, alice.PlayerId()));
  WithModel([&](TClients& players, TChannels&) {
    players.GetClientByID(carol.PlayerId())->ChannelPrivileges |= cpV;
  });
  ASSERT_TRUE(carol.SendVoice(0, 3, Pattern(20, 8)));
  auto heard = WaitVoice(alice, carol.PlayerId());
  ASSERT_TRUE(heard);
  EXPECT_EQ(heard->Payload, Pattern(20, 8));  // the one without voice was not relayed
}

TEST_F(VoiceLoopbackTest, WhisperReachesAPlayerInAnotherChannelUnlessHeBlocksWhispers) {
  ASSERT_NE(server, nullptr);
  AddChannel("Other");
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  TQVClient& carol = Login("carol", "Other");

  const Bytes data = Pattern(64, 8);
  ASSERT_TRUE(alice.SendVoice(1, 3, TQVClient::WhisperData({{1, carol.PlayerId()}}, data)));
  auto heard = WaitVoice(carol, alice.PlayerId());
  ASSERT_TRUE(heard);
  EXPECT_EQ(heard->Raw.at(2), 1);
  EXPECT_EQ(heard->Payload, data);

  // Carol blocks whispers: bob, named after her, hears the next one; she does
  // not, while dave's channel voice (the marker) still reaches her.
  TQVClient& dave = Login("dave", "Other");
  WithModel([&](TClients& players, TChannels&) {
    players.GetClientByID(carol.PlayerId())->PlayerFlags |= pfBlockWhispers;
  });
  ASSERT_TRUE(alice.SendVoice(1, 3, TQVClient::WhisperData({{1, carol.PlayerId()}, {1, bob.PlayerId()}}, data)));
  ASSERT_TRUE(WaitVoice(bob, alice.PlayerId()));
  ASSERT_TRUE(dave.SendVoice(0, 3, Pattern(10, 9)));
  ASSERT_TRUE(WaitVoice(carol, dave.PlayerId()));
  EXPECT_FALSE(HeardFrom(carol, alice.PlayerId()));
}

TEST_F(VoiceLoopbackTest, LargestDatagramIsRelayedWhole) {
  ASSERT_NE(server, nullptr);
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob", "", true);

  // The relayed packet is 6 bytes longer than the datagram and would not fit
  // the client's 8192-byte receive buffer: bob's client goes, and a plain
  // socket takes over his address (a connection's address is fixed).
  const uint32_t bobId = bob.PlayerId();
  const uint16_t bobPort = TVoiceRuntime::Of(*server)->Buffer().GetConnectionInfo(bobId).Port;
  clients.pop_back();
  RawSocket raw(bobPort);

  const Bytes data = Pattern(8192 - 16, 9);
  ASSERT_TRUE(alice.SendVoice(0, 11, data));
  const Bytes packet = raw.ReceiveClass(0xBEF3);
  ASSERT_EQ(packet.size(), 22u + data.size());
  EXPECT_EQ(packet[2], 0);
  EXPECT_EQ(packet[3], 11);
  EXPECT_EQ(packet[8], static_cast<uint8_t>(bobId));
  EXPECT_EQ(packet[16], static_cast<uint8_t>(alice.PlayerId()));
  EXPECT_EQ(Bytes(packet.begin() + 22, packet.end()), data);
}

// Bob's ids from another address: nothing is acknowledged or sent there,
// and bob keeps his connection and his voice.
TEST_F(VoiceLoopbackTest, ForgedPacketWithRightIdsChangesNothing) {
  ASSERT_NE(server, nullptr);
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  RawSocket forger;
  auto command = NewCommandPacket(CMD_cs_InfoRequestServerInfo, bob.LoginReply().ConnectionId, bob.PlayerId());
  command->SetSequence(1000);
  forger.SendTo(BytesOf(std::move(command)), port);
  forger.SendTo(BytesOf(NewAckPacket(0, bob.LoginReply().ConnectionId, bob.PlayerId(), 1)), port);
  auto& buffer = TVoiceRuntime::Of(*server)->Buffer();
  ASSERT_TRUE(WaitUntil([&] { return buffer.ForeignPackets() == 2; }));
  ASSERT_TRUE(alice.SendVoice(0, 3, Pattern(100, 4)));
  ASSERT_TRUE(WaitVoice(bob, alice.PlayerId()));
  EXPECT_TRUE(forger.Drain().empty());
  EXPECT_EQ(buffer.ConnectionState(bob.PlayerId()), stConnected);
}

// Logins from many ports that never finish hold a full server's slots only
// until their time-out, however they ping; a login still counts among its
// address's four once its sender has answered, so requests sent after the
// pings get no verdict; refusals take no player id; each port gets back at
// most three times what it sent.
TEST_F(VoiceLoopbackTest, UnfinishedLoginFloodKeepsNobodyOutForLong) {
  ASSERT_NE(server, nullptr);
  server->ChangeSettings([](TServerSettings& s) { s.MaxUsers = 4; });
  constexpr int kFlooders = 12;
  std::vector<std::unique_ptr<RawSocket>> flooders;
  std::vector<size_t> sent(kFlooders), received(kFlooders), verdicts(kFlooders);
  std::vector<std::pair<uint32_t, uint32_t>> ids(kFlooders);  // connection id, player id
  for (int i = 0; i < kFlooders; ++i) {
    flooders.push_back(std::make_unique<RawSocket>());
    for (size_t size : {size_t{100}, size_t{180}}) {
      Bytes request = LoginRequestBytes("flood" + std::to_string(i), size);
      flooders[i]->SendTo(request, port);
      sent[i] += request.size();
    }
  }
  int result = 0;
  uint32_t playerId = 0;
  TClientLogin request = Request("real");
  request.TimeoutMs = 1000;  // a dropped request is simply tried again
  for (int round = 0; round < 60 && result != 1; ++round) {  // up to 12 s; the deadline is 10 s
    for (int i = 0; i < kFlooders; ++i) {
      for (const Bytes& reply : flooders[i]->Drain()) {
        received[i] += reply.size();
        if (reply.size() == 436) ++verdicts[i];
        if (reply.size() == 436 && reply[88] == 1) ids[i] = {reply[172] | reply[173] << 8 | reply[174] << 16,
                                                             reply[176] | reply[177] << 8};
      }
      if (round == 5) {  // after the first pings
        Bytes again = LoginRequestBytes("again" + std::to_string(i), 180);
        flooders[i]->SendTo(again, port);
        sent[i] += again.size();
      }
      if (ids[i].first == 0) continue;
      auto ping = NewControlPacket(ctPing, ids[i].first, ids[i].second);
      ping->SetSequence(static_cast<uint32_t>(round + 3));
      Bytes keepAlive = BytesOf(std::move(ping));
      flooders[i]->SendTo(keepAlive, port);
      sent[i] += keepAlive.size();
    }
    TQVClient& real = Attempt(request, &result);
    playerId = real.PlayerId();
    if (result != 1) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_EQ(result, 1);
  EXPECT_LE(playerId, 5u);  // only the four accepted flood logins took ids
  EXPECT_EQ(std::count_if(ids.begin(), ids.end(), [](const auto& id) { return id.first != 0; }), 4);
  EXPECT_EQ(std::count_if(verdicts.begin(), verdicts.end(), [](size_t n) { return n > 0; }), 4);  // resends aside
  EXPECT_TRUE(WaitUntil([&] {
    int count = 0;
    WithModel([&](TClients& players, TChannels&) { count = players.Count(); });
    return count == 1;
  }));
  for (int i = 0; i < kFlooders; ++i) EXPECT_LE(received[i], 3 * sent[i]) << i;
}

}  // namespace
}  // namespace qv
