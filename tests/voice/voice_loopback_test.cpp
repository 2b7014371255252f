// Voice over loopback: a virtual server with its protocol threads runs in
// this process on a free port, with its own SQLite file; protocol
// clients log in, talk, whisper and mute, and the relayed packets are checked
// in the bytes they received.
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

 private:
  int fd_ = -1;
};

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

}  // namespace
}  // namespace qv
