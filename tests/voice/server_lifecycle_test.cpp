// Virtual servers with their real threads and sockets on loopback: starting
// side by side, a taken port, repeated start and stop, the goodbye on stop and
// the alive check through the command block.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "base/log.h"
#include "model/model_test_util.h"
#include "model/server_object.h"
#include "protocol/command_types.h"
#include "voice/udp_listener.h"
#include "voice/view_notifications.h"
#include "voice/voice_runtime.h"

namespace qv {
namespace {

using namespace std::chrono_literals;

// The threads of this process. ThreadSanitizer starts a helper thread of its
// own along with the process's first thread, so one thread is started and
// joined before the first count.
size_t ThreadCount() {
  [[maybe_unused]] static const bool warmedUp = [] {
    std::thread([] {}).join();
    return true;
  }();
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

uint16_t FreePort() {
  TUDPSocket probe;
  probe.Open(0, "127.0.0.1");
  return probe.LocalPort();
}

// A client socket that keeps what it receives.
class Peer {
 public:
  Peer() {
    socket.Open(0, "127.0.0.1");
    socket.Start([this](const uint8_t* data, size_t size, const std::string&, uint16_t) {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.emplace_back(data, data + size);
      cond_.notify_all();
    });
  }
  // Waits (bounded) for at least count datagrams.
  std::vector<std::vector<uint8_t>> WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait_for(lock, 5s, [&] { return received_.size() >= count; });
    return received_;
  }

  TUDPSocket socket;

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<std::vector<uint8_t>> received_;
};

class ServerLifecycleTest : public ::testing::Test {
 protected:
  int32_t StoreServer(uint16_t port) {
    const int32_t id = CreateServerRow(db.Scripts(), port);
    TServerSettings s = DefaultServerSettings();
    s.UdpPort = port;
    EXPECT_TRUE(SaveSettings(db.Scripts(), id, s));
    return id;
  }
  std::unique_ptr<TServerObject> NewServer() {
    auto server = std::make_unique<TServerObject>(db.Scripts(), registry);
    server->BoundToIp = "127.0.0.1";
    return server;
  }
  static int32_t AliveCheck(TServerObject& server) {
    TExternalCommand check;
    check.CommandType = ecCheckServerOK;
    return server.ExecuteExternalCommand(check, kAliveCheckWaitMs);
  }

  test::TestDatabase db;
  TServerRegistry registry{&TVoiceRuntime::Create};
};

TEST_F(ServerLifecycleTest, TwoServersRunSideBySideAndStopCleanly) {
  const size_t threadsBefore = ThreadCount();
  const uint16_t portA = FreePort(), portB = FreePort();
  auto a = registry.StartServer(NewServer(), StoreServer(portA), 0);
  auto b = registry.StartServer(NewServer(), StoreServer(portB), 0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(registry.Count(), 2);
  EXPECT_TRUE(a->Running && b->Running);
  EXPECT_EQ(AliveCheck(*a), kServerOK);
  EXPECT_EQ(AliveCheck(*b), kServerOK);

  // Datagrams reach each server's buffer; garbage is counted and dropped.
  Peer peer;
  const uint8_t garbage[3] = {1, 2, 3};
  peer.socket.SendTo(garbage, sizeof garbage, "127.0.0.1", portA);
  peer.socket.SendTo(garbage, sizeof garbage, "127.0.0.1", portB);
  for (TServerObject* s : {a.get(), b.get()}) {
    for (int i = 0; i < 500 && TVoiceRuntime::Of(*s)->Buffer().GetStatistics().PacketsReceived == 0; ++i) {
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(TVoiceRuntime::Of(*s)->Buffer().GetStatistics().PacketsReceived, 1u);
  }
  EXPECT_EQ(AliveCheck(*a), kServerOK);  // the listener is still alive

  registry.StopServers(0);
  EXPECT_EQ(registry.Count(), 0);
  EXPECT_EQ(ThreadCount(), threadsBefore + 1);  // the peer's reader is still there
  // Both ports are free again.
  TUDPSocket again;
  EXPECT_NO_THROW(again.Open(portA, "127.0.0.1"));
  TUDPSocket againB;
  EXPECT_NO_THROW(againB.Open(portB, "127.0.0.1"));
}

TEST_F(ServerLifecycleTest, TakenPortFailsTheStartAndLeavesNothingBehind) {
  test::TempDir logDir;
  const size_t threadsBefore = ThreadCount();  // the log's timer comes and goes with it
  CreateLog(logDir.File("server.ini"), "Debug", logDir.File("server.log"));
  TUDPSocket squatter;
  squatter.Open(0, "127.0.0.1");
  const uint16_t port = squatter.LocalPort();
  const int32_t id = StoreServer(port);

  EXPECT_EQ(registry.StartServer(NewServer(), id, 0), nullptr);
  FreeLog();

  EXPECT_EQ(registry.Count(), 0);
  EXPECT_EQ(ThreadCount(), threadsBefore);
  const std::string log = test::ReadFile(logDir.File("server.log"));
  EXPECT_NE(log.find("SID: " + std::to_string(id) + " Server startup failed with port " + std::to_string(port) +
                     ", Exception: ESocketError."),
            std::string::npos)
      << log;
  // Once the port is free the same stored server starts.
  squatter.Close();
  EXPECT_NE(registry.StartServer(NewServer(), id, 0), nullptr);
}

TEST_F(ServerLifecycleTest, HundredStartsAndStopsLeaveNoThread) {
  const int32_t id = StoreServer(FreePort());
  const size_t threadsBefore = ThreadCount();
  for (int i = 0; i < 100; ++i) {
    ASSERT_NE(registry.StartServer(NewServer(), id, 0), nullptr) << "round " << i;
    registry.StopServers(id);
    ASSERT_EQ(registry.Count(), 0);
  }
  EXPECT_EQ(ThreadCount(), threadsBefore);
}

TEST_F(ServerLifecycleTest, StopSaysGoodbyeToConnectedPlayers) {
  const uint16_t port = FreePort();
  auto server = registry.StartServer(NewServer(), StoreServer(port), 0);
  ASSERT_NE(server, nullptr);
  Peer peer;
  {
    // A player as a completed login leaves him, behind the peer's socket.
    std::lock_guard<TClients> lock(*server->Clients);
    auto rec = NewClient();
    rec->PlayerId = static_cast<uint32_t>(server->Clients->NextPlayerId());
    rec->ConnectionId = 4711;
    rec->NickName = "alice";
    rec->LoginComplete = true;
    TVoiceRuntime::Of(*server)->Buffer().AddConnection(rec->PlayerId, rec->ConnectionId, 1, peer.socket.LocalPort(),
                                        "127.0.0.1");
    ASSERT_TRUE(server->Clients->AddClient(std::move(rec)));
  }
  registry.StopServers(server->ServerId);

  auto received = peer.WaitFor(1);
  ASSERT_GE(received.size(), 1u);
  TPacket goodbye(received[0].data(), received[0].size(), "", 0);
  ASSERT_TRUE(goodbye.IsValid());
  EXPECT_EQ(goodbye.CommandType(), CMD_sc_NotifyPlayerLeftScope);
  EXPECT_EQ(goodbye.ConnectionId(), 4711u);
  EXPECT_EQ(goodbye.GetU32(24), 1u);
  EXPECT_EQ(goodbye.GetU16(28), lrServerStops);
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// An administration thread that found the server keeps a usable object while
// another thread stops it: the stop takes effect at once, the memory goes
// with the last holder.
TEST_F(ServerLifecycleTest, StopWhileAnotherThreadHoldsTheServer) {
  const int32_t id = StoreServer(FreePort());
  ASSERT_NE(registry.StartServer(NewServer(), id, 0), nullptr);
  std::atomic<int> rounds{0};
  std::thread admin([&] {
    for (;;) {
      auto server = registry.FindServer(id);
      if (!server) break;
      server->CheckServerOK();
      { std::lock_guard<TClients> lock(*server->Clients); }
      (void)server->Settings();
      ++rounds;
    }
  });
  auto held = registry.FindServer(id);
  ASSERT_NE(held, nullptr);
  while (rounds == 0) std::this_thread::sleep_for(1ms);
  registry.StopServers(id);
  admin.join();
  EXPECT_EQ(registry.FindServer(id), nullptr);
  EXPECT_FALSE(held->Running);
  EXPECT_EQ(AliveCheck(*held), kNoResult);
  std::weak_ptr<TServerObject> gone = held;
  held.reset();
  EXPECT_TRUE(gone.expired());
}

}  // namespace
}  // namespace qv
