#include "query/query_session.h"

#include <optional>

#include "base/text_utils.h"
#include "model/accounts.h"
#include "model/security.h"
#include "model/server_object.h"

namespace qv {

const char* const kLockedOutLine =
    "Your password failed 3 consecutive times, please wait 10 minutes before trying again!";
const char* const kStillBannedLine = "You are still banned or a failed password try caused a 30 second delay!";

namespace {

constexpr uint32_t kLockedEntryLifetime = 600;
constexpr uint32_t kEntryLifetime = 60;
constexpr int kFailuresToLock = 3;
constexpr size_t kAddressMax = 20;
constexpr const char* kQueryCategory = "TCPQUERY";

// The error line of a refused login: too many checks running is said so,
// every other refusal is the same line.
std::string_view LoginRefusal(TLoginOutcome outcome) {
  return outcome == loBusy ? "server busy, try again later" : "invalid login";
}

}  // namespace

// --- failed logins ---

void TFailedLoginTable::Purge(TDateTime now) {
  TMutexLock lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    const uint32_t age = SecondsBetween(now, it->second.LastFailure);
    const bool expired = age > (it->second.Locked ? kLockedEntryLifetime : kEntryLifetime);
    it = expired ? entries_.erase(it) : std::next(it);
  }
}

bool TFailedLoginTable::Refused(const std::string& address) {
  TMutexLock lock(mutex_);
  auto it = entries_.find(address);
  return it != entries_.end() && it->second.Failures > kFailuresToLock;
}

bool TFailedLoginTable::Locked(const std::string& address) {
  TMutexLock lock(mutex_);
  auto it = entries_.find(address);
  return it != entries_.end() && it->second.Locked;
}

int TFailedLoginTable::CountFailure(const std::string& address, TDateTime now) {
  TMutexLock lock(mutex_);
  auto [it, added] = entries_.try_emplace(address);
  FailedLoginEntry& entry = it->second;
  if (added) entry.Address = address.substr(0, kAddressMax);
  entry.LastFailure = now;
  if (entry.Failures < UINT8_MAX) ++entry.Failures;
  if (entry.Failures >= kFailuresToLock) entry.Locked = true;
  return entry.Failures;
}

// --- the session ---

TQuerySession::TQuerySession(TQueryContext& context, std::string peerAddress)
    : Context(context), PeerAddress(std::move(peerAddress)) {}

void TQuerySession::TakeSnapshot() {
  Snapshot.clear();
  for (const auto& entry : Context.Registry.ServerList()) Snapshot.push_back(entry.second->ServerId);
}

TServerRef TQuerySession::SelectedServer() {
  if (SelectedServerId == 0) return {};
  auto server = Context.Registry.FindServer(SelectedServerId);
  if (!server) SelectedServerId = 0;
  return server;
}

std::vector<TServerRef> TQuerySession::SnapshotServers() {
  std::vector<TServerRef> servers;
  for (int32_t id : Snapshot) {
    if (auto server = Context.Registry.FindServer(id)) servers.push_back(server);
  }
  return servers;
}

bool TQuerySession::ResolveServer(const std::vector<std::string>& params, TServerRef& server,
                                  TQueryReply& refusal) {
  server = SelectedServer();
  if (server) return true;
  if (params.empty()) {
    refusal = Error("invalid paramcount");
    return false;
  }
  std::optional<int64_t> port = ParseInt(params[0]);
  if (!port) {
    refusal = Error("invalid number format");
    return false;
  }
  if (*port > 0) {
    for (auto& candidate : SnapshotServers()) {
      if (candidate->Settings().UdpPort == *port) {
        server = candidate;
        return true;
      }
    }
  }
  refusal = Error("invalid id");
  return false;
}

std::optional<TQueryReply> TQuerySession::RefuseLocked(std::string_view loginName) {
  Context.FailedLogins.Purge(Now());
  if (!Context.FailedLogins.Locked(PeerAddress)) return std::nullopt;
  Context.FailedLogins.CountFailure(PeerAddress, Now());
  AuditRefusedLogin(liQuery, loLockedOut, PeerAddress, loginName, kQueryCategory);
  return CloseWith(kLockedOutLine);
}

TQueryReply TQuerySession::FailedLogin(TLoginOutcome outcome, std::string_view loginName,
                                       std::string_view message) {
  AuditRefusedLogin(liQuery, outcome, PeerAddress, loginName, kQueryCategory);
  // A busy refusal checked nothing, so it is no guess: counted, it would let
  // whoever fills the check pool lock the real admins out.
  if (outcome == loBusy) return Error(message);
  const int failures = Context.FailedLogins.CountFailure(PeerAddress, Now());
  if (failures < kFailuresToLock) return Error(message);
  if (failures == kFailuresToLock)
    AuditLockOut(liQuery, PeerAddress, failures, static_cast<int>(kLockedEntryLifetime / 60), kQueryCategory);
  return CloseWith(kLockedOutLine);
}

void TQuerySession::Accepted(std::unique_ptr<TClientRec> account, int32_t serverId) {
  Account = std::move(account);
  AccountServerId = serverId;
  CountLogin(liQuery, loAccepted);
}

void TQuerySession::Select(int32_t serverId) {
  if (serverId != SelectedServerId && Account && !IsSuperAdmin()) {
    Account.reset();
    AccountServerId = 0;
  }
  SelectedServerId = serverId;
}

bool TQuerySession::HasRight(TUserPermissions right, TServerObject& server) const {
  if (!Account) return false;
  if (IsSuperAdmin()) return true;
  return AccountServerId == server.ServerId && HasPermission(Account.get(), right, server.Settings().Permissions);
}

bool TQuerySession::AdminOf(const TServerObject& server) const {
  return IsSuperAdmin() || (Account && AccountServerId == server.ServerId && (Account->PlayerPrivileges & spSA));
}

TQueryReply TQuerySession::Login(const std::vector<std::string>& params) {
  Account.reset();
  AccountServerId = 0;
  auto server = SelectedServer();
  if (!server) return Error("no server selected");
  if (params.size() != 2) return Error("invalid paramcount");
  if (auto refusal = RefuseLocked(params[0])) return *refusal;
  std::unique_ptr<TClientRec> account;
  const TLoginOutcome outcome =
      server->Running.load() ? DBCheckLogin(Context.Storage, server->ServerId, params[0],
                                            PasswordVerifier(params[1], &SharedPasswordChecks()), &account)
                             : DBLoadUser(Context.Storage, server->ServerId, params[0]) ? loWrongPassword
                                                                                       : loUnknownAccount;
  if (outcome != loAccepted) return FailedLogin(outcome, params[0], LoginRefusal(outcome));
  if (!HasPermission(account.get(), upAccessTcpServer, server->Settings().Permissions))
    return FailedLogin(loNoPermission, params[0], "invalid permissions");
  account->LoginName = params[0];
  Accepted(std::move(account), server->ServerId);
  return Ok();
}

TQueryReply TQuerySession::SuperLogin(const std::vector<std::string>& params) {
  Account.reset();
  AccountServerId = 0;
  if (params.size() != 2) return Error("invalid paramcount");
  if (auto refusal = RefuseLocked(params[0])) return *refusal;
  const TLoginOutcome outcome =
      DBCheckLogin(Context.Storage, 0, params[0], PasswordVerifier(params[1], &SharedPasswordChecks()), nullptr);
  if (outcome != loAccepted) return FailedLogin(outcome, params[0], LoginRefusal(outcome));
  auto account = NewClient();
  account->LoginName = params[0];
  account->PlayerPrivileges = spSA | spSuperAdmin;
  Accepted(std::move(account), 0);
  return Ok();
}

}  // namespace qv
