// The state behind the query commands: what all connections share (the
// registry, the storage, the failed-login table) and what each connection
// has (selected server, logged-in account, snapshot of the servers running
// when it was accepted), plus the session operations of the connection
// rules: ResolveServer, login, slogin and the counting of failed logins.
//
// Servers are held by id only and looked up in the registry when a command
// uses them, so that a server stopped meanwhile is simply not found; a
// looked-up server is used for one command and then forgotten.
//
// Thread rules: a session belongs to its connection's thread. The context is
// shared: the registry and the storage lock themselves, the failed-login
// table has a lock of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/date_time.h"
#include "base/login_audit.h"
#include "base/mutex.h"
#include "model/client_object.h"
#include "model/script_storage.h"
#include "model/security.h"
#include "model/server_registry.h"
#include "query/query_reply.h"

namespace qv {

// What a registry lookup gives: valid for the current command only.
using TServerRef = decltype(std::declval<TServerRegistry&>().FindServer(0));

extern const char* const kLockedOutLine;  // the third failed login
extern const char* const kStillBannedLine;  // a connection refused after failures

struct FailedLoginEntry {
  TDateTime LastFailure;
  std::string Address;
  bool Locked = false;
  uint8_t Failures = 0;
};

// The addresses with recent failed logins. Every method takes the table's lock.
class TFailedLoginTable {
 public:
  // Drops locked entries older than 600 seconds and others older than 60.
  void Purge(TDateTime now);
  // Whether connections from the address are refused (more than 3 failures).
  bool Refused(const std::string& address);
  // Whether logins from the address are refused (locked: 3 failures or more).
  bool Locked(const std::string& address);
  // Counts one failure; the address's failures now (locked from 3 on). A
  // login that succeeds never clears them: they expire by age only.
  int CountFailure(const std::string& address, TDateTime now);

 private:
  TMutex mutex_;
  std::map<std::string, FailedLoginEntry> entries_ GUARDED_BY(mutex_);
};

// Shared by every connection of one query server.
struct TQueryContext {
  TServerRegistry& Registry;
  TScriptStorage Storage;
  TDateTime Started;  // when the query server (and so the process) started
  TFailedLoginTable FailedLogins;
  std::chrono::milliseconds StopPause{1000};  // the wait of "serverstop" before its reply
};

class TQuerySession {
 public:
  TQuerySession(TQueryContext& context, std::string peerAddress);

  TQueryContext& Context;
  const std::string PeerAddress;
  int32_t SelectedServerId = 0;  // 0: none
  // The logged-in account, and the server it belongs to (0 for a superadmin,
  // whose login reaches every server). A server's account acts on that
  // server only: selecting another one ends its login.
  std::unique_ptr<TClientRec> Account;
  int32_t AccountServerId = 0;
  std::vector<int32_t> Snapshot;  // server ids, in registry order

  void TakeSnapshot();
  // Selects a server (0: none); a server account's login ends with a change.
  void Select(int32_t serverId);
  bool IsSuperAdmin() const { return Account && (Account->PlayerPrivileges & spSuperAdmin); }
  // Whether the account holds right on server: a superadmin everywhere,
  // another account under its own server's permission table only.
  bool HasRight(TUserPermissions right, TServerObject& server) const;
  // Whether the account is an admin of server (superadmin, or a server
  // admin account of that server).
  bool AdminOf(const TServerObject& server) const;
  // The selected server if it still runs; forgets a selection that stopped.
  TServerRef SelectedServer();
  // The snapshot's servers that still run, in snapshot order.
  std::vector<TServerRef> SnapshotServers();

  // The selected server, or the first snapshot server on the UDP port in
  // params[0]; false with the refusal otherwise.
  bool ResolveServer(const std::vector<std::string>& params, TServerRef& server, TQueryReply& refusal);
  TQueryReply Login(const std::vector<std::string>& params);
  TQueryReply SuperLogin(const std::vector<std::string>& params);

 private:
  // The lock-out line when the address is locked: the guess is not
  // checked, but counts as a failure.
  std::optional<TQueryReply> RefuseLocked(std::string_view loginName);
  // The reply to a failed login: the lock-out line when this failure locks
  // the address out, otherwise the error. Logged with its reason.
  TQueryReply FailedLogin(TLoginOutcome outcome, std::string_view loginName, std::string_view message);
  // Counts and logs a login that succeeded.
  void Accepted(std::unique_ptr<TClientRec> account, int32_t serverId);
};

}  // namespace qv
