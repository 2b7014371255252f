// A virtual server with its real threads on a free loopback port, its own
// SQLite file and log in temporary directories, and protocol clients that log
// in to it over one shared endpoint (or a socket of their own). Model state the
// tests need is set and read directly under the server's locks; stored state
// (settings, group permissions, accounts) is written before the server starts
// and survives a restart.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/qv_client.h"
#include "model/accounts.h"
#include "support/test_database.h"
#include "model/server_object.h"
#include "protocol/command_types.h"
#include "support/log_capture.h"
#include "voice/udp_listener.h"
#include "voice/voice_runtime.h"

namespace qv::test {

inline constexpr int kWaitMs = 10000;  // generous: everything runs under the sanitizers

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

// Polls until the condition holds; false once the time is up.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
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

class LiveServerTest : public ::testing::Test {
 protected:
  LiveServerTest() : log(dir), registry(TVoiceRuntime::Create) {}
  ~LiveServerTest() override {
    clients.clear();
    registry.StopServers(0);
  }

  // Stores a server with `defaults` changed by `edit` (on a free port), and
  // `storedPermissions` when set, and starts it. The protocol thread loads the
  // channel tree before it handles anything: once it answers, the tree is
  // there to be changed.
  void StartServer(const std::function<void(TServerSettings&)>& edit = {}) {
    TServerSettings settings = defaults;
    settings.UdpPort = FreeUdpPort();
    if (edit) edit(settings);
    serverId = CreateServerRow(db.Scripts(), settings.UdpPort);
    ASSERT_TRUE(SaveSettings(db.Scripts(), serverId, settings));
    if (storedPermissions) {
      for (int g = 0; g < kUserGroupCount; ++g) {
        const auto group = static_cast<TUserGroup>(g);
        SaveGroupPermissions(db.Scripts(), serverId, UserGroupName(group), (*storedPermissions)[group]);
      }
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

  // Called on the server object before it starts; fixtures set hooks here.
  virtual void PrepareServer(TServerObject&) {}

  void AddAccount(const std::string& name, const std::string& password, uint16_t privileges = 0) {
    TClientRec account;
    account.LoginName = name;
    account.LoginPassword = password;
    account.PlayerPrivileges = privileges;
    ASSERT_EQ(DBAddUser(db.Scripts(), serverId, account), 0);
  }

  TClientLogin Request(const std::string& nick, const std::string& channel = "") const {
    TClientLogin login;
    login.ServerPort = port;
    login.NickName = nick;
    login.Channel = channel;
    login.TimeoutMs = kWaitMs;
    return login;
  }
  TClientLogin AccountRequest(const std::string& nick, const std::string& account, const std::string& password) const {
    TClientLogin login = Request(nick);
    login.LoginName = account;
    login.Password = password;
    return login;
  }

  // A new client, kept until the test ends; on the shared endpoint unless
  // it is to have a socket of its own.
  TQVClient& NewClient(bool ownEndpoint = false) {
    clients.push_back(std::make_unique<TQVClient>(ownEndpoint ? nullptr : endpoint));
    return *clients.back();
  }
  // A new client that runs the login; the result in `result` when given.
  TQVClient& Attempt(const TClientLogin& login, int* result = nullptr) {
    TQVClient& c = NewClient();
    const int r = c.Login(login);
    if (result) *result = r;
    return c;
  }
  int Result(const TClientLogin& login) {
    int r = 0;
    Attempt(login, &r);
    return r;
  }
  // A logged-in client; fails the test otherwise.
  TQVClient& Login(const TClientLogin& login) {
    int result = 0;
    TQVClient& c = Attempt(login, &result);
    EXPECT_EQ(result, 1) << login.NickName;
    return c;
  }
  TQVClient& Login(const std::string& nick, const std::string& channel = "") { return Login(Request(nick, channel)); }

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
    server->ChangeSettings([&](TServerSettings& s) {
      for (TPermissionSet& set : s.Permissions) set.set(permission, on);
    });
  }
  void SetPermission(TUserGroup group, TUserPermissions permission, bool on) {
    server->ChangeSettings([&](TServerSettings& s) { s.Permissions[group].set(permission, on); });
  }
  // A channel in the running tree; a password makes it a password channel.
  int32_t AddChannel(const std::string& name, uint16_t flags = 0, int32_t parent = -1, uint16_t maxUsers = 10,
                     const std::string& password = "") {
    int32_t id = 0;
    WithModel([&](TClients&, TChannels& channels) {
      auto channel = NewChannel();
      channel->Name = name;
      channel->Flags = static_cast<uint16_t>(flags | (password.empty() ? 0 : cfPassword));
      channel->ParentId = parent;
      channel->Password = password;
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
  bool WaitGone(uint32_t playerId) {
    return WaitUntil([&] { return !Record(playerId).has_value(); });
  }

  // Waits until everything the client sent before has been handled: the
  // server-information request is always answered, in order.
  static std::optional<TClientEvent> Sync(TQVClient& c) {
    EXPECT_TRUE(c.SendCommand(CMD_cs_InfoRequestServerInfo, {}));
    auto reply = c.WaitFor([](const TClientEvent& e) { return e.CommandType == CMD_sc_InfoReplyServerInfo; },
                           kWaitMs);
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
    auto reply = c.WaitFor([replyType](const TClientEvent& e) { return e.CommandType == replyType; }, kWaitMs);
    return reply ? reply->Raw : std::vector<uint8_t>{};
  }

  TempDir dir;
  LogCapture log;
  TestDatabase db;
  TServerRegistry registry;
  // What StartServer stores: settings before its edit, and group permissions
  // when set (a server without stored permissions runs on what it loads).
  TServerSettings defaults = DefaultServerSettings();
  std::optional<TPermissionTable> storedPermissions;
  std::shared_ptr<TServerObject> server;
  int32_t serverId = 0;
  uint16_t port = 0;
  std::shared_ptr<TClientEndpoint> endpoint = TClientEndpoint::Create("127.0.0.1");
  std::vector<std::unique_ptr<TQVClient>> clients;

 private:
  void RunServer() {
    auto object = std::make_unique<TServerObject>(db.Scripts(), registry);
    object->BoundToIp = "127.0.0.1";
    PrepareServer(*object);
    server = registry.StartServer(std::move(object), serverId, 0);
    ASSERT_NE(server, nullptr);
    ASSERT_TRUE(server->CheckServerOK());
  }
};

}  // namespace qv::test
