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
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/date_time.h"
#include "model/client_object.h"
#include "model/script_storage.h"
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
  // Counts one failure; true when the address is now locked out (3 or more).
  bool CountFailure(const std::string& address, TDateTime now);
  void Clear(const std::string& address);

 private:
  std::mutex mutex_;
  std::map<std::string, FailedLoginEntry> entries_;  // guarded by mutex_
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
  std::unique_ptr<TClientRec> Account;
  std::vector<int32_t> Snapshot;  // server ids, in registry order

  void TakeSnapshot();
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
  // The reply to a failed login: the lock-out line when this failure locks
  // the address out, otherwise the error.
  TQueryReply FailedLogin(std::string_view message);
};

}  // namespace qv
