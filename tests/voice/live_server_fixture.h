// A virtual server with its real threads on a free loopback port, its own
// SQLite file and log in a temporary directory, and protocol clients that log
// in to it over one shared endpoint. Model state the tests need is set and
// read directly under the server's locks.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/qv_client.h"
#include "model/model_test_util.h"
#include "model/server_object.h"
#include "protocol/command_types.h"
#include "app/log.h"
#include "voice/udp_listener.h"

namespace qv::test {

inline constexpr int kLiveWaitMs = 10000;  // generous: everything runs under the sanitizers

inline uint16_t FreeUdpPort() {
  TUDPSocket probe;
  probe.Open(0, "127.0.0.1");
  return probe.LocalPort();
}

inline uint16_t WireU16(const std::vector<uint8_t>& raw, size_t offset) {
  return static_cast<uint16_t>(raw.at(offset) | raw.at(offset + 1) << 8);
}
inline uint32_t WireU32(const std::vector<uint8_t>& raw, size_t offset) {
  return WireU16(raw, offset) | static_cast<uint32_t>(WireU16(raw, offset + 2)) << 16;
}
// The bytes of a 30-byte length-prefixed field as the wire carries them.
inline std::vector<uint8_t> WireText30(const std::string& text) {
  std::vector<uint8_t> field(30, 0);
  field[0] = static_cast<uint8_t>(text.size());
  std::copy(text.begin(), text.end(), field.begin() + 1);
  return field;
}
inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& raw, size_t offset, size_t size) {
  if (offset + size > raw.size()) return {};
  return std::vector<uint8_t>(raw.begin() + static_cast<long>(offset), raw.begin() + static_cast<long>(offset + size));
}

// Payload builder: little-endian numbers, 30-byte texts and zero-terminated texts.
class TPayload {
 public:
  TPayload& U8(uint8_t v) { return Put(v, 1); }
  TPayload& U16(uint16_t v) { return Put(v, 2); }
  TPayload& U32(uint32_t v) { return Put(v, 4); }
  TPayload& Text30(const std::string& s) {
    std::vector<uint8_t> field = WireText30(s);
    bytes_.insert(bytes_.end(), field.begin(), field.end());
    return *this;
  }
  TPayload& CString(const std::string& s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    bytes_.push_back(0);
    return *this;
  }
  operator const std::vector<uint8_t>&() const { return bytes_; }

 private:
  TPayload& Put(uint32_t v, int width) {
    for (int i = 0; i < width; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  std::vector<uint8_t> bytes_;
};

// The process log, written to a file in the test's directory while it lives.
class TLogFile {
 public:
  explicit TLogFile(const TempDir& dir) : path_(dir.File("server.log")) {
    CreateLog(dir.File("server.ini"), "Debug", path_);
  }
  ~TLogFile() { FreeLog(); }
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;
  std::string Text() const { return ReadFile(path_); }

 private:
  std::string path_;
};

class LiveServerTest : public ::testing::Test {
 protected:
  LiveServerTest() : log(dir), registry(TQVUDPListener::Create) {}
  ~LiveServerTest() override {
    clients.clear();
    registry.StopServers(0);
  }

  void StartServer(const std::function<void(TServerSettings&)>& edit = {}) {
    TServerSettings settings = DefaultServerSettings();
    settings.UdpPort = FreeUdpPort();
    settings.MaxUsers = 20;
    if (edit) edit(settings);
    serverId = CreateServerRow(db.Scripts(), settings.UdpPort);
    ASSERT_TRUE(SaveSettings(db.Scripts(), serverId, settings));
    auto object = std::make_unique<TServerObject>(db.Scripts(), registry);
    object->BoundToIp = "127.0.0.1";
    server = registry.StartServer(std::move(object), serverId, 0);
    ASSERT_NE(server, nullptr);
    port = static_cast<uint16_t>(settings.UdpPort);
    // The protocol thread loads the channel tree before it handles anything:
    // once it answers, the tree is there to be changed.
    ASSERT_TRUE(server->CheckServerOK());
  }

  TClientLogin Request(const std::string& nick, const std::string& channel = "") const {
    TClientLogin login;
    login.ServerPort = port;
    login.NickName = nick;
    login.Channel = channel;
    login.TimeoutMs = kLiveWaitMs;
    return login;
  }
  // A new client that runs the login; the result in `result`.
  TQVClient& Login(const TClientLogin& login, int* result) {
    clients.push_back(std::make_unique<TQVClient>(endpoint));
    *result = clients.back()->Login(login);
    return *clients.back();
  }
  TQVClient& Login(const std::string& nick, const std::string& channel = "") {
    int result = 0;
    TQVClient& c = Login(Request(nick, channel), &result);
    EXPECT_EQ(result, 1) << nick;
    return c;
  }

  // Runs fn on the model under the listener's locks.
  void WithModel(const std::function<void(TClients&, TChannels&)>& fn) {
    std::lock_guard<TClients> players(*server->Clients);
    std::lock_guard<TChannels> channels(*server->Channels);
    fn(*server->Clients, *server->Channels);
  }
  std::optional<TClientRec> Record(uint32_t playerId) {
    std::optional<TClientRec> copy;
    WithModel([&](TClients& players, TChannels&) {
      if (TClientRec* rec = players.GetClientByID(playerId)) copy = *rec;
    });
    return copy;
  }
  void SetPlayerPrivileges(const TQVClient& c, uint16_t privileges) {
    WithModel([&](TClients& players, TChannels&) {
      if (TClientRec* rec = players.GetClientByID(c.PlayerId())) rec->PlayerPrivileges = privileges;
    });
  }
  // The permission for every group at once.
  void SetPermission(TUserPermissions permission, bool on) {
    std::lock_guard<std::mutex> lock(server->Lock);
    for (TPermissionSet& set : server->Permissions) set.set(permission, on);
  }
  void SetPermission(TUserGroup group, TUserPermissions permission, bool on) {
    std::lock_guard<std::mutex> lock(server->Lock);
    server->Permissions[group].set(permission, on);
  }
  int32_t AddChannel(const std::string& name, uint16_t flags = 0, int32_t parent = -1, uint16_t maxUsers = 10) {
    int32_t id = 0;
    WithModel([&](TClients&, TChannels& channels) {
      auto channel = NewChannel();
      channel->Name = name;
      channel->Flags = flags;
      channel->ParentId = parent;
      channel->MaxUsers = maxUsers;
      id = channels.AddChannel(std::move(channel));
    });
    EXPECT_GT(id, 0) << name;
    return id;
  }
  int32_t DefaultChannel() {
    int32_t id = -1;
    WithModel([&](TClients&, TChannels& channels) { id = channels.GetDefaultChannel(); });
    return id;
  }
  bool WaitUntil(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLiveWaitMs);
    while (!condition()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }
  bool WaitGone(uint32_t playerId) {
    return WaitUntil([&] { return !Record(playerId).has_value(); });
  }

  // Waits until everything the client sent before has been handled: the
  // server-information request is always answered, in order.
  static std::optional<TClientEvent> Sync(TQVClient& c) {
    EXPECT_TRUE(c.SendCommand(CMD_cs_InfoRequestServerInfo, {}));
    auto reply = c.WaitFor([](const TClientEvent& e) { return e.CommandType == CMD_sc_InfoReplyServerInfo; },
                           kLiveWaitMs);
    EXPECT_TRUE(reply.has_value());
    return reply;
  }
  // Sends a command and waits until it was handled.
  static void Send(TQVClient& c, uint16_t type, const std::vector<uint8_t>& payload) {
    ASSERT_TRUE(c.SendCommand(type, payload));
    Sync(c);
  }
  // The code of the error reply to a command of this type among the queued
  // events; 0 for none. Takes every queued event.
  static int32_t ErrorFor(TQVClient& c, uint16_t type) {
    int32_t code = 0;
    for (const TClientEvent& e : c.TakeEvents()) {
      if (e.Kind == ceError && e.FailedType == type) code = e.Code;
    }
    return code;
  }
  static std::vector<TClientEvent> Take(TQVClient& c, const std::function<bool(const TClientEvent&)>& match) {
    std::vector<TClientEvent> found;
    for (TClientEvent& e : c.TakeEvents()) {
      if (match(e)) found.push_back(std::move(e));
    }
    return found;
  }
  static std::vector<TClientEvent> TakeCommands(TQVClient& c, uint16_t type) {
    return Take(c, [type](const TClientEvent& e) { return e.CommandType == type; });
  }
  // Sends a request and waits for the reply of the given type; its bytes.
  static std::vector<uint8_t> Ask(TQVClient& c, uint16_t type, const std::vector<uint8_t>& payload,
                                  uint16_t replyType) {
    EXPECT_TRUE(c.SendCommand(type, payload));
    auto reply = c.WaitFor([replyType](const TClientEvent& e) { return e.CommandType == replyType; },
                           kLiveWaitMs);
    return reply ? reply->Raw : std::vector<uint8_t>{};
  }

  TempDir dir;
  TLogFile log;
  TestDatabase db;
  TServerRegistry registry;
  TServerObject* server = nullptr;
  int32_t serverId = 0;
  uint16_t port = 0;
  std::shared_ptr<TClientEndpoint> endpoint = TClientEndpoint::Create("127.0.0.1");
  std::vector<std::unique_ptr<TQVClient>> clients;
};

}  // namespace qv::test
