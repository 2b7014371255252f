// Who a web session is: the login check, the web right check and the
// session's cache of the selected server's stored settings.
//
// Thread rules: LoginCheck takes the session's lock itself; the other
// functions take it around the cache. Storage scripts run under the storage
// lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/login_audit.h"
#include "model/security.h"
#include "web/web_common.h"

namespace qv {

// How long cached server settings serve a page, and how often a logged-in
// session's credentials are verified again.
constexpr auto kSettingsCacheAge = std::chrono::seconds(21);
constexpr auto kCredentialRecheck = std::chrono::seconds(11);

// Verifies name, password and server port (each cut to 29 characters) and
// sets the session's superadmin, admin and serverid values; outcome (when
// given) says why a check failed (loBusy: too many password checks running).
// The password is checked in the process's check pool; the session keeps a
// stamp of the stored hash it matched, never the password.
bool LoginCheck(const TWebRequest& request, std::string_view name, std::string_view password,
                std::string_view port, TLoginOutcome* outcome = nullptr);
// The periodic re-check of a logged-in session (its username, serverport and
// stamp): the account still exists with the stored hash it logged in with,
// and still holds the web right. No password is hashed.
bool RecheckLogin(const TWebRequest& request);
// After the session's own account got a new password: the re-check follows
// the account's new stored hash.
void FollowOwnPassword(const TWebRequest& request, const TClientRec& account);

// The stored settings of serverId for this session, read again when the cache
// belongs to another server or is 21 seconds old; nullopt when unreadable.
std::optional<TServerSettings> SessionSettings(const TWebRequest& request, int32_t serverId);
// The next page reads the stored settings again.
void InvalidateSessionSettings(const TWebRequest& request);

// Whether the session holds right: superadmins hold every right; others are
// a registered player (a server admin when the session's admin is "1") under
// the cached permission table of the session's server, which must be the
// server their account belongs to.
bool HasWebRight(const TWebRequest& request, TUserPermissions right);

// Whether the permission form of a group offers the permission: never a
// reserved one, nor one of the group's fixed not-offered set.
bool PermissionOffered(TUserGroup group, TUserPermissions permission);

// The session's serverid as a number; 0 when empty or not a number.
int32_t SessionServerId(const TWebRequest& request);

}  // namespace qv
