#include "web/web_access.h"

#include "base/password_hash.h"
#include "base/text_utils.h"
#include "model/accounts.h"
#include "model/server_control.h"
#include "model/server_types.h"

namespace qv {

namespace {

// Caller holds the session's lock.
bool RefreshCache(const TWebRequest& request, int32_t serverId) {
  TSessionCache& cache = request.Session->Cache;
  const auto now = TWebClock::now();
  if (cache.ServerId == serverId && cache.SettingsTime != TWebClock::time_point{} &&
      now - cache.SettingsTime < kSettingsCacheAge)
    return true;
  TServerSettings settings;
  if (!LoadStoredSettings(request.Context.Storage, serverId, settings)) return false;
  cache.Settings = settings;
  cache.ServerId = serverId;
  cache.SettingsTime = now;
  return true;
}

// The identity checks of a login and its re-checks; verify decides on the
// account's stored hash. Caller holds the session's lock.
bool CheckIdentity(const TWebRequest& request, const std::string& login, std::string_view port,
                   const TPasswordVerifier& verify, TLoginOutcome& why) {
  TWebSession& session = *request.Session;
  const std::string udpPort(port.substr(0, kShortTextMax));
  session.Set("admin", "");
  session.Cache.AccountServerId = 0;
  const TScriptStorage& storage = request.Context.Storage;
  std::unique_ptr<TClientRec> account;
  if (request.Field("superadmin") == "1" || session.Get("superadmin") == "1") {
    why = DBCheckLogin(storage, 0, login, verify, &account);
    if (why == loAccepted) {
      session.Set("superadmin", "1");
      session.Cache.Credential = CredentialStamp(account->PasswordHash);
      return true;
    }
    session.Set("superadmin", "");
    session.Set("serverid", "");
    return false;
  }
  session.Set("serverid", "");
  why = loUnknownAccount;
  const auto portNumber = ParseInt(udpPort);
  if (!portNumber) return false;
  const int32_t serverId = ServerIdOfPort(storage, *portNumber);
  if (serverId < 1) return false;
  // The right check below reads the permission table of this cache.
  if (!RefreshCache(request, serverId)) return false;
  why = DBCheckLogin(storage, serverId, login, verify, &account);
  if (why != loAccepted) return false;
  const bool admin = (account->PlayerPrivileges & spSA) != 0;
  session.Set("admin", admin ? "1" : "");
  session.Set("serverid", std::to_string(serverId));
  session.Cache.AccountServerId = serverId;
  session.Cache.Credential = CredentialStamp(account->PasswordHash);
  account->PlayerPrivileges = static_cast<uint16_t>(spRegistered | (admin ? spSA : 0));
  why = loNoPermission;
  return HasPermission(account.get(), upAccessWebAdminServer, session.Cache.Settings.Permissions);
}

}  // namespace

bool LoginCheck(const TWebRequest& request, std::string_view name, std::string_view password,
                std::string_view port, TLoginOutcome* outcome) {
  TLoginOutcome ignored;
  TLoginOutcome& why = outcome ? *outcome : ignored;
  const std::string login(name.substr(0, kShortTextMax));
  const TPasswordVerifier verify = PasswordVerifier(password.substr(0, kShortTextMax), &SharedPasswordChecks());
  std::lock_guard<std::mutex> guard(request.Session->Lock);
  request.Session->Cache.Credential.clear();
  return CheckIdentity(request, login, port, verify, why);
}

bool RecheckLogin(const TWebRequest& request) {
  TWebSession& session = *request.Session;
  std::lock_guard<std::mutex> guard(session.Lock);
  const std::string stamp = session.Cache.Credential;
  session.Cache.Credential.clear();
  if (stamp.empty()) return false;
  // The same stored hash as at login: the password has not changed since.
  const TPasswordVerifier verify = [&stamp](const std::string& stored) {
    return SameSecret(CredentialStamp(stored), stamp) ? pcMatch : pcMismatch;
  };
  TLoginOutcome why = loOther;
  return CheckIdentity(request, session.Get("username").substr(0, kShortTextMax), session.Get("serverport"), verify,
                       why);
}

void FollowOwnPassword(const TWebRequest& request, const TClientRec& account) {
  std::lock_guard<std::mutex> guard(request.Session->Lock);
  request.Session->Cache.Credential = CredentialStamp(account.PasswordHash);
}

std::optional<TServerSettings> SessionSettings(const TWebRequest& request, int32_t serverId) {
  if (serverId < 1) return std::nullopt;
  std::lock_guard<std::mutex> guard(request.Session->Lock);
  if (!RefreshCache(request, serverId)) return std::nullopt;
  return request.Session->Cache.Settings;
}

void InvalidateSessionSettings(const TWebRequest& request) {
  std::lock_guard<std::mutex> guard(request.Session->Lock);
  request.Session->Cache.SettingsTime = TWebClock::time_point{};
}

bool HasWebRight(const TWebRequest& request, TUserPermissions right) {
  if (request.Superadmin()) return true;
  const int32_t serverId = SessionServerId(request);
  {
    std::lock_guard<std::mutex> guard(request.Session->Lock);
    if (serverId != request.Session->Cache.AccountServerId) return false;
  }
  const auto settings = SessionSettings(request, serverId);
  if (!settings) return false;
  TClientRec account;
  account.PlayerPrivileges =
      static_cast<uint16_t>(spRegistered | (request.Value("admin") == "1" ? spSA : 0));
  return HasPermission(&account, right, settings->Permissions);
}

bool PermissionOffered(TUserGroup group, TUserPermissions p) {
  if (FindText(PermissionName(p), "reserved") != std::string::npos) return false;
  const bool adminRange = p >= upAdminRegisterPlayer && p <= upAdminStartServer;
  const bool access = p == upAccessWebAdminServer || p == upAccessTcpServer || p == upAccessVoice;
  switch (group) {
    case ugSA:
      return p != upAdminListDBServers && p != upAdminAddServer && p != upAdminDeleteServer &&
             p != upAdminEditServerIpPort && p != upAdminEditServerMaxUsers;
    case ugCA:
    case ugOP:
    case ugV:
      return !access && !adminRange && p != upChannelJoinRegisterred && p != upChannelCreateRegisterred &&
             p != upChannelCreateUnregisterred && p != upChannelCreateDefault &&
             p != upChannelJoinChannelWithoutPassword && p != upPrivilegeGrantSA &&
             p != upPrivilegeGrantAllowRegistration && p != upPrivilegeRevokeSA &&
             p != upPrivilegeRevokeAllowRegistration && p != upPrivilegeAdminPlayerRegister &&
             p != upPrivilegePlayerDelete && p != upPrivilegeRegisterSelfByDefault && p != upSendTextToAllChannel;
    case ugRegisterred:
      return true;
    case ugAnonymous:
      return !access && (!adminRange || p == upAdminMovePlayer);
  }
  return false;
}

int32_t SessionServerId(const TWebRequest& request) {
  return static_cast<int32_t>(StrToIntDef(request.Value("serverid"), 0));
}

}  // namespace qv
