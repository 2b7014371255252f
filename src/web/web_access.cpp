#include "web/web_access.h"

#include "base/text_utils.h"
#include "model/accounts.h"
#include "model/server_control.h"
#include "model/server_types.h"

namespace qv {

namespace {

// A row of "read_client_login.sql", or nullptr.
std::unique_ptr<TStorageContainer> ReadLogin(const TScriptStorage& storage, std::string_view name,
                                             std::string_view password, int32_t serverId) {
  TStorageLock lock(*storage);
  if (!storage.Load("read_client_login.sql")) return nullptr;
  storage->SetParamString(":sPassword", password);
  storage->SetParamString(":sName", name);
  storage->SetParamInteger(":iServerID", serverId);
  return storage->OpenSQL();
}

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

}  // namespace

bool LoginCheck(const TWebRequest& request, std::string_view name, std::string_view password,
                std::string_view port, TLoginOutcome* outcome) {
  TLoginOutcome ignored;
  TLoginOutcome& why = outcome ? *outcome : ignored;
  TWebSession& session = *request.Session;
  const std::string login(name.substr(0, kShortTextMax));
  const std::string secret(password.substr(0, kShortTextMax));
  const std::string udpPort(port.substr(0, kShortTextMax));
  std::lock_guard<std::mutex> guard(session.Lock);
  session.Set("admin", "");
  session.Cache.AccountServerId = 0;
  const TScriptStorage& storage = request.Context.Storage;
  // A failed check tells whether the name or only the password was wrong.
  auto refused = [&](int32_t serverId) {
    why = DBLoadUser(storage, serverId, login) ? loWrongPassword : loUnknownAccount;
    return false;
  };
  if (request.Field("superadmin") == "1" || session.Get("superadmin") == "1") {
    if (ReadLogin(storage, login, secret, 0)) {
      session.Set("superadmin", "1");
      return true;
    }
    session.Set("superadmin", "");
    session.Set("serverid", "");
    return refused(0);
  }
  session.Set("serverid", "");
  why = loUnknownAccount;
  const auto portNumber = ParseInt(udpPort);
  if (!portNumber) return false;
  const int32_t serverId = ServerIdOfPort(storage, *portNumber);
  if (serverId < 1) return false;
  // The right check below reads the permission table of this cache.
  if (!RefreshCache(request, serverId)) return false;
  std::unique_ptr<TStorageContainer> rows = ReadLogin(storage, login, secret, serverId);
  if (!rows) return refused(serverId);
  const bool admin = rows->Row().AsBoolean("b_client_privilege_serveradmin");
  session.Set("admin", admin ? "1" : "");
  session.Set("serverid", std::to_string(serverId));
  session.Cache.AccountServerId = serverId;
  TClientRec account;
  account.PlayerPrivileges = static_cast<uint16_t>(spRegistered | (admin ? spSA : 0));
  why = loNoPermission;
  return HasPermission(&account, upAccessWebAdminServer, session.Cache.Settings.Permissions);
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
