// A server-side and a client-side endpoint talking over real loopback sockets,
// through a relay that drops, duplicates and reorders datagrams.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "protocol/command_types.h"
#include "protocol/packet_buffer.h"
#include "protocol/udp_sender.h"
#include "protocol/udp_socket.h"

namespace qv {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kPlayer = 5;
constexpr uint32_t kConn = 0x1234;

// Buffer, socket on an ephemeral loopback port, and sender thread. The test
// plays the listener.
class Endpoint {
 public:
  Endpoint(uint8_t side, uint8_t flags) : buffer(side, flags) {
    socket.Open(0, "127.0.0.1");
    socket.Start([this](const uint8_t* data, size_t size, const std::string& ip, uint16_t port) {
      if (buffer.ShuttingDown()) return;
      try {
        buffer.ReceivePacket(std::make_unique<TPacket>(data, size, ip, port));
      } catch (...) {
      }
    });
    sender = std::make_unique<TQVUDPSender>(buffer, socket, side);
    sender->Start();
  }
  ~Endpoint() {
    buffer.MarkThreadDone(kListenerThreadBit);
    buffer.Shutdown();
    sender.reset();
    socket.Close();
  }
  uint16_t Port() const { return socket.LocalPort(); }

  // Listener role: events of kind evPacket until count arrived or time ran out.
  std::vector<TPacketPtr> Collect(size_t count, std::chrono::seconds limit) {
    std::vector<TPacketPtr> packets;
    auto deadline = Clock::now() + limit;
    while (packets.size() < count && Clock::now() < deadline) {
      uint32_t id = 0;
      TEventKind kind{};
      TPacketPtr packet;
      int64_t wait = 0;
      if (!buffer.TryNextEvent(id, kind, packet, wait)) {
        std::this_thread::sleep_for(1ms);
      } else if (kind == evPacket) {
        packets.push_back(std::move(packet));
      }
    }
    return packets;
  }

  TCustomPacketBuffer buffer;
  TUDPSocket socket;
  std::unique_ptr<TQVUDPSender> sender;
};

// Relays between a client and a server port, dropping, duplicating and
// holding back (reordering) a share of the datagrams in each direction.
class LossyRelay {
 public:
  LossyRelay(uint16_t clientPort, uint16_t serverPort, double drop, double dup, double hold)
      : clientPort_(clientPort), serverPort_(serverPort), drop_(drop), dup_(dup), hold_(hold) {
    clientSide_.Open(0, "127.0.0.1");
    serverSide_.Open(0, "127.0.0.1");
    clientSide_.Start([this](const uint8_t* d, size_t n, const std::string&, uint16_t) {
      Forward(serverSide_, serverPort_, d, n, heldToServer_);
    });
    serverSide_.Start([this](const uint8_t* d, size_t n, const std::string&, uint16_t) {
      Forward(clientSide_, clientPort_, d, n, heldToClient_);
    });
  }
  ~LossyRelay() {
    {
      // Each side's reader sends on the other side's socket: no send may be
      // under way on a socket while it is closed.
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    clientSide_.Close();
    serverSide_.Close();
  }
  uint16_t ClientFacingPort() const { return clientSide_.LocalPort(); }
  uint16_t ServerFacingPort() const { return serverSide_.LocalPort(); }

 private:
  void Forward(TUDPSocket& out, uint16_t port, const uint8_t* d, size_t n,
               std::vector<uint8_t>& held) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_ || Chance(drop_)) return;
    if (held.empty() && Chance(hold_)) {
      held.assign(d, d + n);
      return;
    }
    out.SendTo(d, n, "127.0.0.1", port);
    if (Chance(dup_)) out.SendTo(d, n, "127.0.0.1", port);
    if (!held.empty()) {
      out.SendTo(held.data(), held.size(), "127.0.0.1", port);
      held.clear();
    }
  }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }

  bool closing_ = false;  // guarded by mutex_
  TUDPSocket clientSide_;
  TUDPSocket serverSide_;
  uint16_t clientPort_;
  uint16_t serverPort_;
  double drop_, dup_, hold_;
  std::mutex mutex_;
  std::mt19937 rng_{2024};
  std::vector<uint8_t> heldToServer_;  // guarded by mutex_
  std::vector<uint8_t> heldToClient_;  // guarded by mutex_
};

TPacketPtr NumberedCommand(uint16_t type, uint32_t playerId, uint32_t number) {
  auto p = NewCommandPacket(type, 0, playerId);
  p->WriteU32(number);
  return p;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
  auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

TEST(Loopback, ReliableDeliveryThroughALossyRelay) {
  Endpoint server(kSideServer, 7);
  Endpoint client(kSideClient, cfRetransmit | cfTimeouts);
  LossyRelay relay(client.Port(), server.Port(), 0.08, 0.08, 0.08);
  server.buffer.AddConnection(kPlayer, kConn, 1, relay.ServerFacingPort(), "127.0.0.1");
  client.buffer.AddConnection(kPlayer, kConn, 2, relay.ClientFacingPort(), "127.0.0.1");

  // End of login: its delivery connects the client, its acknowledgement the server.
  server.buffer.SendPacket(NewCommandPacket(CMD_sc_LoginStep6, 0, kPlayer));
  auto login = client.Collect(1, 10s);
  ASSERT_EQ(login.size(), 1u);
  EXPECT_EQ(login[0]->CommandType(), CMD_sc_LoginStep6);
  ASSERT_TRUE(WaitFor([&] { return server.buffer.ConnectionState(kPlayer) == stConnected; }, 10s));
  EXPECT_EQ(client.buffer.ConnectionState(kPlayer), stConnected);

  // Both directions at once; the server also sends a 20-fragment command.
  constexpr uint32_t kCount = 120;
  auto big = NewCommandPacket(CMD_sc_LoginStep4, 0, kPlayer);
  big->SetSize(24 + 20 * 536);
  for (size_t i = 24; i < big->Size(); ++i) big->SetU8(i, static_cast<uint8_t>(i % 251));
  std::vector<uint8_t> bigPayload(big->Data() + 24, big->Data() + big->Size());
  for (uint32_t i = 0; i < kCount; ++i) {
    client.buffer.SendPacket(NumberedCommand(CMD_cs_InfoSendText, kPlayer, i));
    server.buffer.SendPacket(NumberedCommand(CMD_sc_NotifyTextMessage, kPlayer, i));
    if (i == kCount / 2) server.buffer.SendPacket(std::move(big));
  }
  auto atServer = server.Collect(kCount, 60s);
  auto atClient = client.Collect(kCount + 1, 60s);

  ASSERT_EQ(atServer.size(), kCount);
  for (uint32_t i = 0; i < kCount; ++i) {
    ASSERT_EQ(atServer[i]->GetU32(24), i) << "command " << i << " out of order or duplicated";
  }
  ASSERT_EQ(atClient.size(), kCount + 1);
  uint32_t next = 0;
  for (size_t k = 0; k < atClient.size(); ++k) {
    const TPacket& p = *atClient[k];
    if (p.CommandType() == CMD_sc_LoginStep4) {
      EXPECT_EQ(next, kCount / 2 + 1);  // right after the command it followed
      ASSERT_EQ(p.Size(), 24u + 20 * 536);
      EXPECT_EQ(std::vector<uint8_t>(p.Data() + 24, p.Data() + p.Size()), bigPayload);
    } else {
      ASSERT_EQ(p.GetU32(24), next++);
    }
  }
  // Nothing arrives twice once everything is acknowledged.
  EXPECT_TRUE(server.Collect(1, 1s).empty());
  EXPECT_TRUE(client.Collect(1, std::chrono::seconds(0)).empty());
  // Dropped datagrams were resent and acknowledged resends counted as loss.
  EXPECT_GT(server.buffer.GetConnectionInfo(kPlayer).PacketLoss +
                client.buffer.GetConnectionInfo(kPlayer).PacketLoss,
            0u);
}

// Relayed voice is sent by the thread that queued it (SendReady) while the
// sender thread runs beside it and sometimes takes the turn: every copy
// arrives once, in the order it was queued, with the bytes the sender thread
// would have sent.
TEST(Loopback, VoiceSentByTheQueueingThreadKeepsOrder) {
  Endpoint server(kSideServer, 7);
  Endpoint client(kSideClient, cfRetransmit | cfTimeouts);
  server.buffer.AddConnection(kPlayer, kConn, 1, client.Port(), "127.0.0.1");
  client.buffer.AddConnection(kPlayer, kConn, 2, server.Port(), "127.0.0.1");
  server.buffer.SendPacket(NewCommandPacket(CMD_sc_LoginStep6, 0, kPlayer));
  ASSERT_EQ(client.Collect(1, 10s).size(), 1u);
  ASSERT_TRUE(WaitFor([&] { return server.buffer.ConnectionState(kPlayer) == stConnected; }, 10s));

  constexpr uint16_t kCount = 300;
  auto image = NewS2CVoicePacket(0, 3, 0, 0, 0, 0x1234, 42, 0);
  image->SetSize(S2CVoiceHeader::Size + 4);
  image->SetU32(S2CVoiceHeader::Size, 0xA5A5A5A5);
  const TVoiceCopy copy{kPlayer, kConn, 1};
  std::vector<TPacketPtr> received;
  int sentAtOnce = 0;  // gone when SendReady returned
  for (uint16_t n = 1; n <= kCount; ++n) {
    image->SetU16(S2CVoiceHeader::SpeakerSequence, n);
    // Every seventh the sender thread's way, to mix both.
    const bool byThread = n % 7 == 0;
    const uint32_t before = server.sender->Sent();
    EXPECT_TRUE(server.buffer.SendVoiceCopies(*image, &copy, 1, byThread));
    if (!byThread) {
      server.sender->SendReady();
      if (server.sender->Sent() == before + 1) ++sentAtOnce;
    }
    if (n % 50 == 0) {  // the client's socket buffer never overflows
      for (auto& p : client.Collect(50, 10s)) received.push_back(std::move(p));
    }
  }
  // Only when the sender thread happens to be sending does the hand-off fall
  // back to waking it; how often that is depends on the machine's load, so
  // only the use of the direct way is checked, not its share.
  EXPECT_GT(sentAtOnce, 0);
  ASSERT_EQ(received.size(), kCount);
  for (uint16_t n = 1; n <= kCount; ++n) {
    const TPacket& p = *received[n - 1];
    ASSERT_TRUE(p.IsS2CVoice());
    EXPECT_EQ(p.GetU16(S2CVoiceHeader::SpeakerSequence), n);
    EXPECT_EQ(p.VoiceTarget(), 1);
    EXPECT_EQ(p.PlayerId(), kPlayer);
    EXPECT_EQ(p.ConnectionId(), kConn);
    EXPECT_EQ(p.SpeakerId(), 42u);
    EXPECT_EQ(p.GetU32(S2CVoiceHeader::Size), 0xA5A5A5A5u);
  }
}

TEST(Loopback, DatagramsWithoutAddressAreDroppedBySender) {
  Endpoint server(kSideServer, 7);
  TUDPSocket peer;
  std::mutex mutex;
  std::vector<uint16_t> received;
  peer.Open(0, "127.0.0.1");
  peer.Start([&](const uint8_t* d, size_t n, const std::string&, uint16_t) {
    TPacket p(d, n, "", 0);
    std::lock_guard<std::mutex> lock(mutex);
    if (p.IsCommand()) received.push_back(p.CommandType());
  });
  server.buffer.AddConnection(1, 11, 1, 0, "");  // no network peer
  server.buffer.AddConnection(2, 22, 1, peer.LocalPort(), "127.0.0.1");
  server.buffer.SendPacket(NewCommandPacket(CMD_sc_NotifyTextMessage, 0, 1));
  ASSERT_TRUE(WaitFor([&] { return server.sender->DroppedNoAddress() > 0; }, 5s));
  server.buffer.SendPacket(NewCommandPacket(CMD_sc_NotifyChannelCreated, 0, 2));
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !received.empty();
      },
      5s));
  EXPECT_EQ(received[0], CMD_sc_NotifyChannelCreated);
  EXPECT_TRUE(server.sender->Running());
  peer.Close();
}

TEST(Loopback, SocketDropsOverlongDatagramsAndReportsSender) {
  TUDPSocket a;
  TUDPSocket b;
  std::mutex mutex;
  std::vector<size_t> sizes;
  uint16_t fromPort = 0;
  a.Open(0, "127.0.0.1");
  b.Open(0, "127.0.0.1");
  a.Start([&](const uint8_t*, size_t n, const std::string& ip, uint16_t port) {
    std::lock_guard<std::mutex> lock(mutex);
    sizes.push_back(n);
    fromPort = port;
    EXPECT_EQ(ip, "127.0.0.1");
  });
  std::vector<uint8_t> data(9000, 1);
  b.SendTo(data.data(), 8193, "127.0.0.1", a.LocalPort());
  b.SendTo(data.data(), 8192, "127.0.0.1", a.LocalPort());
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !sizes.empty();
      },
      5s));
  std::this_thread::sleep_for(20ms);
  a.Close();
  ASSERT_EQ(sizes.size(), 1u);
  EXPECT_EQ(sizes[0], 8192u);
  EXPECT_EQ(fromPort, b.LocalPort());
  EXPECT_THROW(b.SendTo(data.data(), 1, "not an address", 1), ESocketError);
  TUDPSocket clash;
  EXPECT_THROW(clash.Open(b.LocalPort(), "127.0.0.1"), ESocketError);
}

}  // namespace
}  // namespace qv
