#include "web/web_actions.h"

#include <httplib.h>

#include <algorithm>
#include <array>
#include <optional>

#include "base/admin_audit.h"
#include "base/log.h"
#include "base/text_utils.h"
#include "model/accounts.h"
#include "model/process_settings.h"
#include "model/server_control.h"
#include "model/server_node.h"
#include "model/server_object.h"
#include "web/web_access.h"
#include "web/web_action.h"
#include "web/web_moderation.h"

namespace qv {

namespace {

constexpr const char* kInvalidServer = "your selected server is invalid";
constexpr const char* kInvalidPermissions = "invalid permissions";
constexpr const char* kPasswordsDiffer = "the passwords dont match";
constexpr const char* kNameExists = "a user with name already exists";
constexpr const char* kPortInUse = "there is already an server with the same udpport";
constexpr const char* kServerRunning = "server is running, cant delete it";
constexpr const char* kConfigChanged = "server config has been changed";
constexpr int kNotifyWaitMs = 1500;
constexpr int64_t kMaxUsersLimit = 65535;

// A login refused because too many password checks are running: 503 with
// a short wait to retry, not the wrong-password page.
void BusyReply(httplib::Response& reply) {
  reply.status = 503;
  reply.set_header("Retry-After", "2");
  reply.set_content("the server is busy checking other logins, try again in a moment", "text/plain");
}

// Who may run an action at all.
enum TActionGate : uint8_t {
  agAnyone,      // also a session that is not logged in
  agLoggedIn,    // any logged-in session
  agSuperadmin,  // logged-in superadmin sessions
  agServer,      // logged in, with a readable selected server
  agServerForm,  // the same, posted (a form of the live server page)
};

// Whose account an action acts on, for the own-account exemption of its right.
enum TActionTarget : uint8_t {
  atNone,            // no exemption
  atFieldAccount,    // the account of the field CLIENTID
  atPendingAccount,  // the account of the session's CLIENT_TO_DELETE
  atFieldServer,     // the server of the field serverid: must be the session's own
};

constexpr int kNoRight = -1;

using THandler = void (*)(TAction&);

struct TWebAction {
  const char* Name;
  THandler Handler;
  TActionGate Gate;
  int Right;  // a TUserPermissions value, or kNoRight
  TActionTarget Target;
  // An action that changes accounts, servers or settings is written to the
  // audit trail with these form fields (blank-separated; "@" names a
  // session value); nullptr: not audited.
  const char* Audit = nullptr;
};

std::string WithName(std::string_view text, std::string_view name) { return ReplaceText(text, "%1", name); }

int32_t IntField(const TAction& a, std::string_view name) {
  return static_cast<int32_t>(StrToIntDef(a.Field(name), 0));
}

bool IsServerRunning(const TAction& a, int32_t id) {
  return a.Request.Context.Registry && a.Request.Context.Registry->FindServer(id) != nullptr;
}

// ---- login and session ----

// The session that a login or logout leaves: a new one under a new id.
std::shared_ptr<TWebSession> NewSession(TAction& a, bool loggedIn) {
  auto fresh = a.Request.Context.Sessions->Replace(a.Session().Id(), loggedIn);
  SetSessionCookie(a.Reply(), fresh->Id(), a.Request.Context.Https);
  return fresh;
}

void Login(TAction& a) {
  TWebSession& session = a.Session();
  {
    std::lock_guard<std::mutex> guard(session.Lock);
    session.Set("username", "");
    session.Set("serverport", "0");
    session.Set("LOGGEDIN", "0");
  }
  const std::string name = a.Field("username").substr(0, kShortTextMax);
  const std::string password = a.Field("password").substr(0, kShortTextMax);
  const std::string port = a.Field("serverport").substr(0, kShortTextMax);
  // Password guessing: an address with too many failures is refused for a
  // while without its guesses being checked at all; a login that succeeds
  // never clears the failures counted.
  TFailureLimiter& failures = *a.Request.Context.LoginFailures;
  const std::string& address = a.Request.Http.remote_addr;
  const TFailureLimits limits = GetSettings().LoginFailureLimits;
  if (failures.Refused(address, limits)) {
    AuditRefusedLogin(liWeb, loLockedOut, address, name, kWebCategory);
    return Redirect(a.Reply(), "login_error.html");
  }
  TLoginOutcome outcome = loOther;
  if (!LoginCheck(a.Request, name, password, port, &outcome)) {
    AuditRefusedLogin(liWeb, outcome, address, name, kWebCategory);
    // A busy refusal checked nothing: no guess to count (see the query's).
    if (outcome == loBusy) return BusyReply(a.Reply());
    if (failures.CountFailure(address, limits))
      AuditLockOut(liWeb, address, limits.Failures, limits.LockSeconds / 60, kWebCategory);
    return Redirect(a.Reply(), "login_error.html");
  }
  CountLogin(liWeb, loAccepted);
  TSessionCache cache;
  {
    std::lock_guard<std::mutex> guard(session.Lock);
    cache = session.Cache;
  }
  auto fresh = NewSession(a, true);
  std::lock_guard<std::mutex> guard(fresh->Lock);
  for (const char* value : {"superadmin", "admin", "serverid"}) fresh->Set(value, session.Get(value));
  fresh->Set("username", name);
  fresh->Set("serverport", port);
  fresh->Set("LOGGEDIN", "1");
  fresh->Cache = cache;
  fresh->Cache.LastCheck = TWebClock::now();
  Redirect(a.Reply(), "index.html");
}

void Logout(TAction& a) {
  TWebSession& session = a.Session();
  {
    std::lock_guard<std::mutex> guard(session.Lock);
    for (const char* name : {"username", "serverport", "serverid", "LOGGEDIN", "admin", "superadmin"})
      session.Set(name, "");
  }
  NewSession(a, false);
  Redirect(a.Reply(), "login.html");
}

void SelectServer(TAction& a) {
  a.Session().Set("serverid", Trim(a.Field("serverid")));
  Redirect(a.Reply(), "index.html");
}

// ---- superadmin ----

void SettingsBasic(TAction& a) {
  TProcessSettings s = GetSettings();
  s.AdminEmail = Trim(a.Field("BASIC_ADMINEMAIL")).substr(0, kLongTextMax);
  s.IspLinkUrl = Trim(a.Field("BASIC_ISPLINKURL")).substr(0, kLongTextMax);
  s.IspName = Trim(a.Field("BASIC_ISPNAME")).substr(0, kShortTextMax);
  s.IspCountryNumber = static_cast<int32_t>(StrToIntDef(a.Field("basic_country"), s.IspCountryNumber));
  s.PostUrl = Trim(a.Field("WEBPOST_POSTURL")).substr(0, kLongTextMax);
  s.WebPostEnabled = a.Field("WEBPOST_ENABLED") == "1";
  s.ListPublic = a.Field("BASIC_LISTPUBLIC") == "1";
  SetSettings(s);
  SaveBasicSettings();
  Redirect(a.Reply(), "index.html");
}

void AskDeleteSuperClient(TAction& a) {
  a.Session().Set("CLIENT_TO_DELETE", a.Field("CLIENTID"));
  ChoiceBox(a.Reply(), WithName("you really want do delete %1", a.Field("CLIENT")),
            "DELETE_SCLIENT.QVCMD?client=" + UrlEncode(a.Field("CLIENT")));
}

void DeleteSuperClient(TAction& a) {
  const int32_t id = static_cast<int32_t>(StrToIntDef(a.Session().Get("CLIENT_TO_DELETE"), 0));
  if (id > 0) DBDeleteUser(a.Storage(), kSuperAdminServerId, id);
  a.Session().Set("CLIENT_TO_DELETE", "");
  OkBox(a.Reply(), "user deleted", "index.html");
}

// A new account of serverId (kSuperAdminServerId: a superadmin account).
void AddAccount(TAction& a, int32_t serverId, uint16_t privileges) {
  const std::string name = a.Field("CLIENTLOGINNAME").substr(0, kShortTextMax);
  if (a.Field("CLIENTPW1") != a.Field("CLIENTPW2")) return ErrorBox(a.Reply(), kPasswordsDiffer);
  // A blank name could never log in, and saving ignores blank names.
  if (Trim(name).empty()) return ErrorBox(a.Reply(), "the login name is empty");
  if (DBLoadUser(a.Storage(), serverId, name)) return ErrorBox(a.Reply(), kNameExists);
  std::unique_ptr<TClientRec> rec = NewClient();
  rec->LoginName = name;
  rec->LoginPassword = a.Field("CLIENTPW1").substr(0, kShortTextMax);
  rec->PlayerPrivileges = privileges;
  if (DBAddUser(a.Storage(), serverId, *rec) != 0) return ErrorBox(a.Reply(), kNameExists);
  OkBox(a.Reply(), WithName("the user %1 was added to server", name), "index.html");
}

void AddSuperClient(TAction& a) { AddAccount(a, kSuperAdminServerId, spSA | spSuperAdmin); }

// Sets the new password of rec when one was given; false (after the error
// box) when the two fields differ.
bool ApplyPassword(TAction& a, TClientRec& rec) {
  const std::string password = a.Field("CLIENTPW1");
  if (password.empty()) return true;
  if (password != a.Field("CLIENTPW2")) {
    ErrorBox(a.Reply(), kPasswordsDiffer);
    return false;
  }
  SetAccountPassword(rec, password.substr(0, kShortTextMax));
  return true;
}

void EditSuperClient(TAction& a) {
  std::unique_ptr<TClientRec> rec = DBLoadSuperUser(a.Storage(), IntField(a, "CLIENTID"));
  if (rec) {
    if (!ApplyPassword(a, *rec)) return;
    rec->PlayerPrivileges |= spSA | spSuperAdmin;
    DBSaveSuperUser(a.Storage(), *rec);
    // The session's own new password: its re-check follows the new hash.
    if (a.Request.Superadmin() && rec->LoginName.str() == a.Session().Get("username"))
      FollowOwnPassword(a.Request, *rec);
  }
  OkBox(a.Reply(), WithName("the user %1 was edited", a.Field("CLIENT")), "index.html");
}

// ---- servers ----

// The form's server settings applied to base; false (after the error box)
// when the session lacks a right for a changed value. checkRights is off for
// a new server.
bool ApplyServerForm(TAction& a, TServerSettings& s, bool checkRights, bool& typeChanged) {
  const TServerSettings old = s;
  // Texts that players see: without control characters.
  const std::string name = DropControls(a.Field("SERVERNAME")).substr(0, kShortTextMax);
  const std::string welcome = DropControls(a.Field("SERVERWELCOMEMESSAGE")).substr(0, kLongTextMax);
  const std::string password = Trim(a.Field("SERVERPASSWORD")).substr(0, kShortTextMax);
  const std::string link = Trim(a.Field("SERVERWEBPOSTLINKURL")).substr(0, kLongTextMax);
  const std::optional<int64_t> max = ParseInt(a.Field("SERVERMAXUSERS"));
  // A number outside 16 bits is refused; what is no number keeps the maximum.
  if (max && (*max < 0 || *max > kMaxUsersLimit)) {
    ErrorBox(a.Reply(), "the maximum of users is invalid");
    return false;
  }
  const uint16_t maxUsers = max ? static_cast<uint16_t>(*max) : old.MaxUsers;
  const std::string type = Trim(a.Field("SERVERTYPE"));
  const bool clan = old.IsClan();
  typeChanged = (type == "1" && !clan) || (type == "2" && clan);
  if (checkRights) {
    const TWebRequest& r = a.Request;
    const bool allowed = (name == old.Name || HasWebRight(r, upAdminEditServerName)) &&
                         (welcome == old.WelcomeMessage || HasWebRight(r, upAdminEditServerWelcomeMessage)) &&
                         (password == old.Password || HasWebRight(r, upAdminEditServerPassword)) &&
                         (link == old.WebLinkUrl || HasWebRight(r, upAdminEditServerWebpostUrl)) &&
                         (maxUsers == old.MaxUsers || r.Superadmin()) &&
                         (!typeChanged || HasWebRight(r, upAdminEditServerType));
    if (!allowed) {
      ErrorBox(a.Reply(), kInvalidPermissions);
      return false;
    }
  }
  s.Name = name;
  s.WelcomeMessage = welcome;
  s.MaxUsers = maxUsers;
  s.Password = password;
  if (type == "1") s.ServerFlags = static_cast<uint16_t>((s.ServerFlags & ~(sfClan | sfPublic)) | sfClan | sfFreeware);
  if (type == "2") s.ServerFlags = static_cast<uint16_t>((s.ServerFlags & ~(sfClan | sfPublic)) | sfPublic | sfFreeware);
  if (!checkRights || HasWebRight(a.Request, upAdminEditServerAllodCodecs))
    for (int c = 0; c < kCodecCount; ++c) s.AllowCodec[c] = a.Field(kCodecTable[c].WebField) == "1";
  s.WebLinkUrl = link;
  return true;
}

void AddServer(TAction& a) {
  const std::optional<int64_t> port = ParseInt(a.Field("SERVERUDPPORT"));
  if (!port || !ValidUdpPort(*port)) return ErrorBox(a.Reply(), "the udpport is invalid");
  if (PortInUse(a.Storage(), *port)) return ErrorBox(a.Reply(), kPortInUse);
  TServerSettings s = DefaultServerSettings();
  bool typeChanged = false;
  if (!ApplyServerForm(a, s, false, typeChanged)) return;
  s.UdpPort = static_cast<uint32_t>(*port);
  s.Permissions = DefaultPermissions();
  const int32_t id = CreateServerRow(a.Storage(), s.UdpPort);
  if (id < 1) return ErrorBox(a.Reply(), "server has been NOT created");
  for (int g = 0; g < kUserGroupCount; ++g)
    SaveGroupPermissions(a.Storage(), id, UserGroupName(static_cast<TUserGroup>(g)), s.Permissions[g]);
  SaveSettings(a.Storage(), id, s);
  InvalidateSessionSettings(a.Request);
  OkBox(a.Reply(), kConfigChanged, a.Back());
}

void StopServer(TAction& a) {
  const int32_t id = IntField(a, "serverid");
  if (id < 1 || !IsServerRunning(a, id)) return ErrorBox(a.Reply(), "server has been NOT stopped");
  a.Request.Context.Registry->StopServers(id);
  if (IsServerRunning(a, id)) return ErrorBox(a.Reply(), "server has been NOT stopped");
  OkBox(a.Reply(), "server has been stopped", a.Back());
}

void StartServer(TAction& a) {
  const int32_t id = IntField(a, "serverid");
  if (id < 1 || IsServerRunning(a, id)) return ErrorBox(a.Reply(), "server has been NOT started");
  if (!ServerOnThisNode(a.Storage(), id)) return ErrorBox(a.Reply(), kOtherNodeError);
  try {
    if (!StartConfiguredServer(*a.Request.Context.Registry, a.Storage(), id, 0))
      return ErrorBox(a.Reply(), "server has been NOT started");
  } catch (const std::exception& e) {
    LogWebException("START_SERVER.QVCMD", e);
    return ErrorBox(a.Reply(), "server has been NOT started");
  }
  a.Session().Set("serverid", std::to_string(id));
  OkBox(a.Reply(), "server has been started", a.Back());
}

void AskDeleteServer(TAction& a) {
  const std::string id = Trim(a.Field("SERVERID"));
  if (IsServerRunning(a, static_cast<int32_t>(StrToIntDef(id, 0)))) return ErrorBox(a.Reply(), kServerRunning);
  a.Session().Set("SERVER_TO_DELETE", id);
  ChoiceBox(a.Reply(), WithName("you really want do delete server %1", id), "DELETE_SERVER.QVCMD?serverid=" + UrlEncode(id));
}

void DeleteServer(TAction& a) {
  const int32_t id = static_cast<int32_t>(StrToIntDef(a.Session().Get("SERVER_TO_DELETE"), 0));
  const TDeleteServerResult result = DeleteStoredServer(a.Request.Context.Registry, a.Storage(), id);
  if (result == dsRunning) return ErrorBox(a.Reply(), kServerRunning);
  if (result == dsOtherNode) return ErrorBox(a.Reply(), kOtherNodeError);
  a.Session().Set("SERVER_TO_DELETE", "");
  InvalidateSessionSettings(a.Request);
  OkBox(a.Reply(), "server was deleted", a.Back());
}

// ---- the session's server ----

// Tells the running server (if any) about its changed settings.
void ApplyToRunningServer(TAction& a, const TServerSettings& s, bool typeChanged) {
  auto server = a.Request.Context.Registry ? a.Request.Context.Registry->FindServer(a.ServerId) : nullptr;
  if (!server) return;
  server->ChangeSettings([&](TServerSettings& live) {
    live.Name = s.Name;
    live.WelcomeMessage = s.WelcomeMessage;
    live.MaxUsers = s.MaxUsers;
    live.Password = s.Password;
    live.ServerFlags = static_cast<uint16_t>((live.ServerFlags & ~(sfClan | sfPublic)) | (s.ServerFlags & (sfClan | sfPublic)));
    live.AllowCodec = s.AllowCodec;
    live.WebLinkUrl = s.WebLinkUrl;
    live.WebPostUrl = s.WebPostUrl;
    live.Permissions = s.Permissions;
  });
  TExternalCommand command;
  command.CommandType = ecNotifyChangedServerProperties;
  command.ServerTypeChanged = typeChanged;
  server->ExecuteExternalCommand(command, kNotifyWaitMs);
}

void PermissionsServer(TAction& a) {
  const std::string groupName = a.Session().Get("permissiongroup");
  int group = -1;
  for (int g = 0; g < kUserGroupCount; ++g)
    if (groupName == UserGroupName(static_cast<TUserGroup>(g)) + 1) group = g;
  if (group < 0) return ErrorBox(a.Reply(), kInvalidPermissions);
  TServerSettings s = a.Settings;
  // Only what the group's form offers changes; the rest of the set stays.
  for (int p = 0; p < kUserPermissionCount; ++p) {
    const auto permission = static_cast<TUserPermissions>(p);
    if (!PermissionOffered(static_cast<TUserGroup>(group), permission)) continue;
    s.Permissions[group].set(p, a.Field(groupName + "_" + PermissionName(permission)) == "1");
  }
  a.Session().Set("permissiongroup", "");
  for (int g = 0; g < kUserGroupCount; ++g)
    SaveGroupPermissions(a.Storage(), a.ServerId, UserGroupName(static_cast<TUserGroup>(g)), s.Permissions[g]);
  InvalidateSessionSettings(a.Request);
  ApplyToRunningServer(a, s, false);
  OkBox(a.Reply(), kConfigChanged, a.Back());
}

void SettingsServer(TAction& a) {
  TServerSettings s = a.Settings;
  if (a.Request.Superadmin()) {
    const std::optional<int64_t> port = ParseInt(a.Field("SERVERUDPPORT"));
    if (port && *port != s.UdpPort) {
      if (!ValidUdpPort(*port)) return ErrorBox(a.Reply(), "the udpport is invalid");
      if (IsServerRunning(a, a.ServerId))
        return ErrorBox(a.Reply(), "if you want to edit udpport, please stop first the server");
      if (PortInUse(a.Storage(), *port)) return ErrorBox(a.Reply(), kPortInUse);
      s.UdpPort = static_cast<uint32_t>(*port);
    }
  }
  bool typeChanged = false;
  if (!ApplyServerForm(a, s, true, typeChanged)) return;
  s.WebPostUrl = Trim(a.Field("SERVERWEBPOSTPOSTURL")).substr(0, kLongTextMax);
  SaveSettings(a.Storage(), a.ServerId, s);
  InvalidateSessionSettings(a.Request);
  ApplyToRunningServer(a, s, typeChanged);
  OkBox(a.Reply(), kConfigChanged, a.Back());
}

void AskDeleteClient(TAction& a) {
  a.Session().Set("CLIENT_TO_DELETE", a.Field("CLIENTID"));
  ChoiceBox(a.Reply(), WithName("you really want do delete %1", a.Field("CLIENT")),
            "DELETE_CLIENT.QVCMD?client=" + UrlEncode(a.Field("CLIENT")));
}

void DeleteClient(TAction& a) {
  const int32_t id = static_cast<int32_t>(StrToIntDef(a.Session().Get("CLIENT_TO_DELETE"), 0));
  if (id > 0) DBDeleteUser(a.Storage(), a.ServerId, id);
  a.Session().Set("CLIENT_TO_DELETE", "");
  OkBox(a.Reply(), "user deleted", "index.html");
}

void AddClient(TAction& a) {
  const bool admin = a.Field("CLIENTSERVERADMIN") == "1";
  // A new server admin needs the right that making an account an admin needs.
  if (admin && !HasWebRight(a.Request, upPrivilegeGrantSA)) return ErrorBox(a.Reply(), kInvalidPermissions);
  AddAccount(a, a.ServerId, admin ? spSA : 0);
}

void EditClient(TAction& a) {
  std::unique_ptr<TClientRec> rec = DBLoadUser(a.Storage(), a.ServerId, IntField(a, "CLIENTID"));
  if (rec) {
    const bool own = !a.Request.Superadmin() && rec->LoginName.str() == a.Session().Get("username");
    if (own && !HasWebRight(a.Request, upAdminChangeOwnPassword)) return ErrorBox(a.Reply(), kInvalidPermissions);
    const bool isAdmin = (rec->PlayerPrivileges & spSA) != 0;
    const bool wantAdmin = a.Field("CLIENTSERVERADMIN") == "1";
    if ((!isAdmin && wantAdmin && !HasWebRight(a.Request, upPrivilegeGrantSA)) ||
        (isAdmin && !wantAdmin && !HasWebRight(a.Request, upPrivilegeRevokeSA)))
      return ErrorBox(a.Reply(), kInvalidPermissions);
    if (!ApplyPassword(a, *rec)) return;
    rec->PlayerPrivileges = static_cast<uint16_t>(wantAdmin ? (rec->PlayerPrivileges | spSA) : (rec->PlayerPrivileges & ~spSA));
    DBSaveUser(a.Storage(), a.ServerId, *rec);
    if (own) FollowOwnPassword(a.Request, *rec);
  }
  OkBox(a.Reply(), WithName("the user %1 was edited", a.Field("CLIENT")), "index.html");
}

// ---- the table ----

// clang-format off
const TWebAction kActions[] = {
    // name                        handler               gate          right                        target          audit
    {"LOGIN.QVCMD",                Login,                agAnyone,     kNoRight,                    atNone},
    {"LOGOUT.QVCMD",               Logout,               agAnyone,     kNoRight,                    atNone},
    {"SELECT_SERVER.QVCMD",        SelectServer,         agSuperadmin, kNoRight,                    atNone},
    {"SETTINGS_BASIC.QVCMD",       SettingsBasic,        agSuperadmin, kNoRight,                    atNone,         "WEBPOST_POSTURL WEBPOST_ENABLED BASIC_LISTPUBLIC"},
    {"ASK_DELETE_SCLIENT.QVCMD",   AskDeleteSuperClient, agSuperadmin, kNoRight,                    atNone},
    {"DELETE_SCLIENT.QVCMD",       DeleteSuperClient,    agSuperadmin, kNoRight,                    atNone,         "@CLIENT_TO_DELETE"},
    {"ADD_SCLIENT.QVCMD",          AddSuperClient,       agSuperadmin, kNoRight,                    atNone,         "CLIENTLOGINNAME"},
    {"EDIT_SCLIENT.QVCMD",         EditSuperClient,      agSuperadmin, kNoRight,                    atNone,         "CLIENTID"},
    {"ADD_SERVER.QVCMD",           AddServer,            agSuperadmin, kNoRight,                    atNone,         "SERVERUDPPORT"},
    {"ASK_DELETE_SERVER.QVCMD",    AskDeleteServer,      agSuperadmin, kNoRight,                    atNone},
    {"DELETE_SERVER.QVCMD",        DeleteServer,         agSuperadmin, kNoRight,                    atNone,         "@SERVER_TO_DELETE"},
    {"START_SERVER.QVCMD",         StartServer,          agLoggedIn,   upAdminStartServer,          atFieldServer,  "serverid"},
    {"STOP_SERVER.QVCMD",          StopServer,           agLoggedIn,   upAdminStopServer,           atFieldServer,  "serverid"},
    {"PERMISSIONS_SERVER.QVCMD",   PermissionsServer,    agServer,     upAdminSetServerPermissions, atNone,         "@serverid @permissiongroup"},
    {"SETTINGS_SERVER.QVCMD",      SettingsServer,       agServer,     kNoRight,                    atNone,         "@serverid SERVERNAME SERVERMAXUSERS SERVERTYPE"},
    {"ASK_DELETE_CLIENT.QVCMD",    AskDeleteClient,      agServer,     upPrivilegePlayerDelete,     atFieldAccount},
    {"DELETE_CLIENT.QVCMD",        DeleteClient,         agServer,     upPrivilegePlayerDelete,     atPendingAccount, "@serverid @CLIENT_TO_DELETE"},
    {"ADD_CLIENT.QVCMD",           AddClient,            agServer,     upAdminRegisterPlayer,       atNone,         "@serverid CLIENTLOGINNAME CLIENTSERVERADMIN"},
    {"EDIT_CLIENT.QVCMD",          EditClient,           agServer,     upAdminChangeUserPassword,   atFieldAccount, "@serverid CLIENTID CLIENTSERVERADMIN"},
    // The live server page: rights that depend on the form are checked by the handler.
    {"KICK_SERVER.QVCMD",          WebKickFromServer,    agServerForm, upKickPlayerFromServer,      atNone,         "@serverid player reason"},
    {"KICK_CHANNEL.QVCMD",         WebKickFromChannel,   agServerForm, upKickPlayerFromChannel,     atNone,         "@serverid player reason"},
    {"MOVE_PLAYER.QVCMD",          WebMovePlayer,        agServerForm, upAdminMovePlayer,           atNone,         "@serverid player channel"},
    {"BAN_PLAYER.QVCMD",           WebBanPlayer,         agServerForm, upAdminBanIp,                atNone,         "@serverid player minutes reason"},
    {"UNBAN.QVCMD",                WebUnban,             agServerForm, upAdminBanIp,                atNone,         "@serverid address"},
    {"SEND_TEXT.QVCMD",            WebSendText,          agServerForm, kNoRight,                    atNone,         "@serverid to player channel"},
    {"CHANNEL_CREATE.QVCMD",       WebCreateChannel,     agServerForm, kNoRight,                    atNone,         "@serverid parent name registered moderated subchannels default"},
    {"CHANNEL_EDIT.QVCMD",         WebEditChannel,       agServerForm, kNoRight,                    atNone,         "@serverid channel name codec maxusers order registered moderated subchannels default"},
    {"CHANNEL_DELETE.QVCMD",       WebDeleteChannel,     agServerForm, upChannelDelete,             atNone,         "@serverid channel"},
    {"PLAYER_PRIVILEGE.QVCMD",     WebPlayerPrivilege,   agServerForm, kNoRight,                    atNone,         "@serverid player privilege grant"},
};
// clang-format on

// The audit line's change: the action and the values its row names, read
// before the action runs (it clears the pending ones).
std::string AuditedChange(const TAction& a, const TWebAction& row) {
  std::string change = row.Name;
  std::string_view names = row.Audit;
  while (!names.empty()) {
    const size_t blank = names.find(' ');
    const std::string_view name = names.substr(0, blank);
    names = blank == std::string_view::npos ? std::string_view() : names.substr(blank + 1);
    const bool session = name.front() == '@';
    const std::string_view key = session ? name.substr(1) : name;
    change += " " + std::string(key) + "=" + (session ? a.Session().Get(key) : a.Field(key));
  }
  return change;
}

// The own-account exemption: the account acted on is the session's own
// account of its server (never a name the request merely claims).
bool OwnAccount(const TAction& a, TActionTarget target) {
  int32_t id = 0;
  if (target == atFieldAccount) id = IntField(a, "CLIENTID");
  if (target == atPendingAccount) id = static_cast<int32_t>(StrToIntDef(a.Session().Get("CLIENT_TO_DELETE"), 0));
  if (id < 1) return false;
  std::unique_ptr<TClientRec> rec = DBLoadUser(a.Storage(), a.ServerId, id);
  return rec && !rec->LoginName.empty() && rec->LoginName.str() == a.Session().Get("username");
}

// The checks of the row in order; false after answering.
bool Admit(TAction& a, const TWebAction& row) {
  const TWebRequest& r = a.Request;
  if (row.Gate == agAnyone) return true;
  if (!r.LoggedIn()) {
    ErrorBox(r.Reply, kInvalidServer);
    return false;
  }
  if (row.Gate == agSuperadmin && !r.Superadmin()) {
    ErrorBox(r.Reply, kInvalidPermissions);
    return false;
  }
  if (row.Gate == agServerForm && r.Http.method != "POST") {
    r.Reply.status = 405;
    r.Reply.set_header("Allow", "POST");
    return false;
  }
  if (row.Gate == agServer || row.Gate == agServerForm) {
    a.ServerId = SessionServerId(r);
    auto settings = SessionSettings(r, a.ServerId);
    if (!settings) {
      ErrorBox(r.Reply, kInvalidServer);
      return false;
    }
    a.Settings = *settings;
  }
  if (row.Right == kNoRight || r.Superadmin()) return true;
  if (row.Target == atFieldServer && IntField(a, "serverid") != SessionServerId(r)) {
    ErrorBox(r.Reply, kInvalidPermissions);
    return false;
  }
  if (HasWebRight(r, static_cast<TUserPermissions>(row.Right)) ||
      ((row.Target == atFieldAccount || row.Target == atPendingAccount) && OwnAccount(a, row.Target)))
    return true;
  ErrorBox(r.Reply, kInvalidPermissions);
  return false;
}

}  // namespace

std::string ActionName(const std::string& document) {
  if (document.size() < 2 || document.find('/', 1) != std::string::npos) return "";
  return UpperCase(document.substr(1));
}

void DispatchAction(const TWebRequest& request, const std::string& document) {
  const std::string name = ActionName(document);
  const auto row = std::find_if(std::begin(kActions), std::end(kActions),
                                [&](const TWebAction& action) { return name == action.Name; });
  TAction action{request, 0, {}};
  try {
    if (row == std::end(kActions)) {
      // An unknown action of a session without a readable server.
      if (!request.LoggedIn() || !SessionSettings(request, SessionServerId(request)))
        ErrorBox(request.Reply, kInvalidServer);
      return;
    }
    if (!Admit(action, *row)) return;
    const std::string change = row->Audit ? AuditedChange(action, *row) : "";
    row->Handler(action);
    const bool refused = request.Reply.get_header_value("Location").rfind("error_box.html", 0) == 0;
    if (row->Audit && request.Reply.status == 302 && !refused)
      AuditAdminChange(liWeb, request.Http.remote_addr, request.Value("username"), change, kWebCategory);
  } catch (const std::exception& e) {
    LogWebException("Progress_COMMAND", e);
    request.Reply.status = 200;
    request.Reply.headers.erase("Location");
    request.Reply.body.clear();
  }
}

}  // namespace qv
