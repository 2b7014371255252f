// The real server process with the TCP query interface, for end-to-end tests.
//
// Each test gets a temporary directory with its own server.ini (a free TCP
// port for the query interface, web off), a database prepared
// beforehand with two servers on free UDP ports and known accounts, and a
// log (with the access log on). A query line must be complete within 2
// seconds. TQueryConnection speaks the query protocol from a chosen loopback
// address, so that failed logins of one test never lock out another.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/accounts.h"
#include "model/channel_object.h"
#include "model/security.h"
#include "model/server_object.h"
#include "storage/schema.h"
#include "storage/sqlite_storage.h"
#include "support/server_process.h"

namespace qv::test {

// One query connection. Replies are read up to their last line ("OK",
// "ERROR, ...", "error") or until the server closes.
class TQueryConnection {
 public:
  static constexpr int kReplyLimitMs = 15000;

  TQueryConnection(uint16_t port, const std::string& from = "127.0.0.1") {
    fd_ = ConnectFrom(port, from);
    if (fd_ < 0) return;
    Greeting = ReadLine();
  }
  ~TQueryConnection() {
    if (fd_ >= 0) close(fd_);
  }
  TQueryConnection(const TQueryConnection&) = delete;
  TQueryConnection& operator=(const TQueryConnection&) = delete;

  std::string Greeting;  // the first line with its CR LF

  bool SendRaw(const std::string& bytes) {
    return fd_ >= 0 && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Sends the line (CR LF added) and returns the whole reply.
  std::string Send(const std::string& line) {
    if (!SendRaw(line + "\r\n")) return "<send failed>";
    std::string reply;
    for (;;) {
      std::string next = ReadLine();
      reply += next;
      if (next.empty() || next == "OK\r\n" || next == "error\r\n" || next.rfind("ERROR, ", 0) == 0) return reply;
    }
  }
  // Whether the server closed the connection (waits for it up to the limit).
  bool Closed() {
    std::string rest = ReadLine();
    return rest.empty() && closed_;
  }

 private:
  // One line with its end, or what arrived before the peer closed ("" then).
  std::string ReadLine() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyLimitMs);
    for (;;) {
      size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end + 1);
        buffer_.erase(0, end + 1);
        return line;
      }
      const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
      pollfd p{fd_, POLLIN, 0};
      if (fd_ < 0 || left <= 0 || poll(&p, 1, left) <= 0) return std::exchange(buffer_, "");
      char chunk[4096];
      ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
      if (got <= 0) {
        closed_ = true;
        return std::exchange(buffer_, "");
      }
      buffer_.append(chunk, static_cast<size_t>(got));
    }
  }

  int fd_ = -1;
  std::string buffer_;
  bool closed_ = false;
};

// Two stored servers, their accounts and a second channel on the first; then
// the real process on them.
class QueryProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (BuildDir().empty()) GTEST_SKIP() << "QV_BUILD_DIR is not set";
    PrepareDatabase();
    queryPort = FreePort(SOCK_STREAM);
    // A short line time-out, so that a test can show it; the access log on,
    // so that a test can read what players' names make of it.
    WriteServerIni(dir.File("server.ini"), queryPort, 0, "QueryLineSeconds=2\n[log]\naccess=1\n");
    server_.emplace(ServerCommand(dir, "", {"-nopwdialog"}), dir.File("server.out"), dir.File("server.err"));
    ASSERT_TRUE(server_->WaitForText(dir.File("server.log"), "Server init finished")) << ReadFile(dir.File("server.log"));
    TQueryConnection probe(queryPort, "127.0.0.1");
    ASSERT_EQ(probe.Greeting, "[QV]\r\n");
  }

  void TearDown() override {
    if (server_) {
      EXPECT_EQ(server_->Finish(SIGTERM), 0) << "the server did not stop cleanly on SIGTERM";
    }
  }

  // A connection from 127.0.0.<n>.
  std::unique_ptr<TQueryConnection> Connect(int n = 1) {
    return std::make_unique<TQueryConnection>(queryPort, "127.0.0." + std::to_string(n));
  }
  // A connection logged in as the superadmin with the first server selected.
  std::unique_ptr<TQueryConnection> SuperAdmin(int n = 1) {
    auto c = Connect(n);
    EXPECT_EQ(c->Send("slogin boss bosspw"), "OK\r\n");
    EXPECT_EQ(c->Send("sel " + std::to_string(udpPort[0])), "OK\r\n");
    return c;
  }

  TempDir dir;
  // Connections still open when the process is told to stop.
  std::vector<std::unique_ptr<TQueryConnection>> lingering;
  uint16_t queryPort = 0;
  uint16_t udpPort[2] = {0, 0};
  int32_t serverId[2] = {0, 0};
  int32_t lobbyId = 0;
  int32_t adminId = 0;  // accounts: "admin" (server admin) and "plain" on the first server
  int32_t bossId = 0;   // the superadmin "boss"  // the second channel of the first server, by its first runtime id

 private:
  void PrepareDatabase() {
    const std::string sqlDir = BuildDir() + "/sqlite_sql/";
    TSQLiteStorage storage(dir.File("server.dbs"));
    ASSERT_TRUE(CreateTables(storage, sqlDir));
    ASSERT_TRUE(UpgradeDatabase(storage, sqlDir));
    TScriptStorage scripts{&storage, sqlDir};
    for (int i = 0; i < 2; ++i) {
      TServerSettings settings = DefaultServerSettings();
      settings.UdpPort = udpPort[i] = FreePort(SOCK_DGRAM);
      settings.Name = i == 0 ? "Query One" : "Query Two";
      // Server admins may use the query interface and every right but
      // listing accounts and granting the admin flag; nobody else may.
      settings.Permissions = DefaultPermissions();
      for (TUserPermissions right : {upAccessTcpServer, upAdminMovePlayer, upAdminRegisterPlayer,
                                     upPrivilegePlayerDelete, upAdminChangeUserPassword})
        settings.Permissions[ugSA].set(right);
      settings.Permissions[ugSA].reset(upAdminListDBUsers);
      settings.Permissions[ugSA].reset(upPrivilegeGrantSA);  // they cannot make admins
      for (TUserGroup g : {ugCA, ugOP, ugV, ugRegisterred, ugAnonymous}) settings.Permissions[g].reset(upAccessTcpServer);
      serverId[i] = CreateServerRow(scripts, settings.UdpPort);
      ASSERT_GT(serverId[i], 0);
      ASSERT_TRUE(SaveSettings(scripts, serverId[i], settings));
      for (int g = 0; g < kUserGroupCount; ++g)
        SaveGroupPermissions(scripts, serverId[i], UserGroupName(static_cast<TUserGroup>(g)),
                             settings.Permissions[g]);
    }
    TChannels channels(serverId[0], scripts);
    ASSERT_GT(channels.CreateDefaultChannel(), 0);
    auto lobby = NewChannel();
    lobby->Name = "Lobby Room";
    lobby->Topic = "talk";
    lobby->MaxUsers = 10;
    lobby->Flags = cfHierarchical;
    ASSERT_GT(channels.AddChannel(std::move(lobby)), 0);
    lobbyId = 2;  // reloaded in storage order: Default is 1
    adminId = AddAccount(scripts, serverId[0], "admin", "adminpw", spSA);
    AddAccount(scripts, serverId[0], "plain", "plainpw", 0);
    bossId = AddAccount(scripts, 0, "boss", "bosspw", spSuperAdmin);
  }

  static int32_t AddAccount(const TScriptStorage& scripts, int32_t server, const char* name, const char* password,
                            uint16_t privileges) {
    TClientRec rec;
    rec.LoginName = name;
    rec.LoginPassword = password;
    rec.PlayerPrivileges = privileges;
    EXPECT_EQ(server == 0 ? DBAddSuperUser(scripts, rec) : DBAddUser(scripts, server, rec), 0);
    return rec.StorageClientId;
  }

  std::optional<TChildProcess> server_;
};

}  // namespace qv::test
