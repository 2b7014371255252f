// A virtual server with its protocol threads running in the test process on a
// free loopback port, with its own SQLite file, and protocol clients that log
// in to it over one shared endpoint. Tests read what the clients received.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/qv_client.h"
#include "model/accounts.h"
#include "model/model_test_util.h"
#include "model/server_object.h"
#include "voice/udp_listener.h"

namespace qv::test {

// Generous: everything runs under the sanitizers.
inline constexpr int kWaitMs = 10000;

inline uint16_t FreeLoopbackPort() {
  TUDPSocket probe;
  probe.Open(0, "127.0.0.1");
  return probe.LocalPort();
}

inline uint32_t U32At(const std::vector<uint8_t>& raw, size_t offset) {
  return raw.at(offset) | raw.at(offset + 1) << 8 | raw.at(offset + 2) << 16 |
         static_cast<uint32_t>(raw.at(offset + 3)) << 24;
}
inline uint16_t U16At(const std::vector<uint8_t>& raw, size_t offset) {
  return static_cast<uint16_t>(raw.at(offset) | raw.at(offset + 1) << 8);
}

inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class InProcessServerTest : public ::testing::Test {
 protected:
  InProcessServerTest() : registry(TQVUDPListener::Create) {}
  ~InProcessServerTest() override {
    clients.clear();
    registry.StopServers(0);
  }

  // Stores a server with the default settings changed by `edit` and the
  // group permissions of `permissions`, and starts it.
  void StartServer(const std::function<void(TServerSettings&)>& edit = {}) {
    TServerSettings settings = DefaultServerSettings();
    settings.UdpPort = FreeLoopbackPort();
    settings.Name = "Test Server";
    if (edit) edit(settings);
    serverId = CreateServerRow(db.Scripts(), settings.UdpPort);
    ASSERT_TRUE(SaveSettings(db.Scripts(), serverId, settings));
    for (int g = 0; g < kUserGroupCount; ++g) {
      const auto group = static_cast<TUserGroup>(g);
      SaveGroupPermissions(db.Scripts(), serverId, UserGroupName(group), permissions[group]);
    }
    port = static_cast<uint16_t>(settings.UdpPort);
    RunServer();
  }

  // Stops the server (its clients go first) and starts it again from storage.
  void RestartServer() {
    clients.clear();
    registry.StopServers(0);
    server = nullptr;
    endpoint = TClientEndpoint::Create("127.0.0.1");
    RunServer();
  }

  void AddAccount(const std::string& name, const std::string& password, uint16_t privileges = 0) {
    TClientRec account;
    account.LoginName = name;
    account.LoginPassword = password;
    account.PlayerPrivileges = privileges;
    ASSERT_EQ(DBAddUser(db.Scripts(), serverId, account), 0);
  }

  TClientLogin Request(const std::string& nick, const std::string& account = "") const {
    TClientLogin login;
    login.ServerPort = port;
    login.NickName = nick;
    login.LoginName = account;
    if (!account.empty()) login.Password = account + "-pw";
    login.TimeoutMs = kWaitMs;
    return login;
  }

  // A logged-in client on the shared endpoint; fails the test otherwise.
  TQVClient& Login(const TClientLogin& login) {
    clients.push_back(std::make_unique<TQVClient>(endpoint));
    EXPECT_EQ(clients.back()->Login(login), 1) << login.NickName;
    return *clients.back();
  }

  // Runs `inspect` on the server's players and channels under their locks.
  void WithModel(const std::function<void(TClients&, TChannels&)>& inspect) {
    std::lock_guard<TClients> players(*server->Clients);
    std::lock_guard<TChannels> channels(*server->Channels);
    inspect(*server->Clients, *server->Channels);
  }

  TestDatabase db;
  TServerRegistry registry;
  TPermissionTable permissions = DefaultPermissions();
  TServerObject* server = nullptr;
  int32_t serverId = 0;
  uint16_t port = 0;
  std::shared_ptr<TClientEndpoint> endpoint = TClientEndpoint::Create("127.0.0.1");
  std::vector<std::unique_ptr<TQVClient>> clients;

 private:
  void RunServer() {
    auto object = std::make_unique<TServerObject>(db.Scripts(), registry);
    object->BoundToIp = "127.0.0.1";
    server = registry.StartServer(std::move(object), serverId, 0);
    ASSERT_NE(server, nullptr);
  }
};

}  // namespace qv::test
