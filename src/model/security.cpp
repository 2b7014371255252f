#include "model/security.h"

#include <fmt/format.h>

#include "base/exception.h"
#include "base/log.h"
#include "base/text_utils.h"

namespace qv {

namespace {

constexpr const char* kLogCategory = "SECURITY";

// Groups that hold a permission in the factory defaults.
enum : uint8_t {
  gSA = 1 << ugSA,
  gCA = 1 << ugCA,
  gOP = 1 << ugOP,
  gV = 1 << ugV,
  gReg = 1 << ugRegisterred,
  gAnon = 1 << ugAnonymous,
  gNone = 0,
};

struct TPermissionInfo {
  const char* name;
  bool stored;
  uint8_t defaults;
};

// Indexed by ordinal.
constexpr TPermissionInfo kPermissions[kUserPermissionCount] = {
    {"upAccessWebAdminServer", true, gSA},
    {"upAccessTcpServer", true, gSA},
    {"upAccessVoice", true, gSA | gReg | gAnon},
    {"upAccesReserved5", false, gNone},
    {"upAccesReserved6", false, gNone},
    {"upAccesReserved7", false, gNone},
    {"upAccesReserved8", false, gNone},
    {"upAccesReserved9", false, gNone},
    {"upAdminRegisterPlayer", true, gSA},
    {"upAdminListDBUsers", true, gSA},
    {"upAdminChangeOwnPassword", true, gSA},
    {"upAdminChangeUserPassword", true, gSA},
    {"upAdminSetServerPermissions", true, gSA},
    {"upAdminListDBServers", true, gSA},
    {"upAdminAddServer", true, gSA},
    {"upAdminDeleteServer", true, gSA},
    {"upAdminEditServerIpPort", true, gSA},
    {"upAdminEditServerWebpostUrl", true, gSA},
    {"upAdminEditServerName", true, gSA},
    {"upAdminEditServerMaxUsers", true, gSA},
    {"upAdminEditServerWelcomeMessage", true, gSA},
    {"upAdminEditServerPassword", true, gSA},
    {"upAdminEditServerType", true, gSA},
    {"upAdminEditServerAllodCodecs", true, gSA},
    {"upAdminBanIp", true, gSA},
    {"upAdminMovePlayer", true, gSA},
    {"upAdminStopServer", true, gSA},
    {"upAdminStartServer", true, gSA},
    {"upAdminReserved19", false, gNone},
    {"upAdminReserved20", false, gNone},
    {"upAdminReserved21", false, gNone},
    {"upAdminReserved22", false, gNone},
    {"upAdminReserved23", false, gNone},
    {"upChannelJoinRegisterred", true, gSA | gReg | gAnon},
    {"upChannelCreateRegisterred", true, gSA | gReg},
    {"upChannelCreateUnregisterred", true, gSA | gReg | gAnon},
    {"upChannelCreateDefault", true, gSA},
    {"upChannelCreateSubchannels", true, gSA | gCA},
    {"upChannelCreateModerated", true, gSA | gCA | gReg | gAnon},
    {"upChannelDelete", true, gSA | gCA},
    {"upChannelEditName", true, gSA | gCA},
    {"upChannelEditPassword", true, gSA | gCA},
    {"upChannelEditTopic", true, gSA | gCA | gOP},
    {"upChannelEditDescription", true, gSA | gCA | gOP},
    {"upChannelEditOrder", true, gSA | gCA},
    {"upChannelEditMaxUsers", true, gSA | gCA | gOP},
    {"upChannelEditCodec", true, gSA | gCA | gOP},
    {"upChannelJoinChannelWithoutPassword", true, gSA},
    {"upChannelReserved15", false, gNone},
    {"upPrivilegeGrantSA", true, gSA},
    {"upPrivilegeGrantCA", true, gSA | gCA},
    {"upPrivilegeGrantAutoOp", true, gSA | gCA},
    {"upPrivilegeGrantOp", true, gSA | gCA | gOP},
    {"upPrivilegeGrantAutoV", true, gSA | gCA},
    {"upPrivilegeGrantV", true, gSA | gCA | gOP},
    {"upPrivilegeGrantAllowRegistration", true, gSA},
    {"upPrivilegeRevokeSA", true, gSA},
    {"upPrivilegeRevokeCA", true, gSA | gCA},
    {"upPrivilegeRevokeAutoOp", true, gSA | gCA},
    {"upPrivilegeRevokeOp", true, gSA | gCA | gOP},
    {"upPrivilegeRevokeAutoV", true, gSA | gCA},
    {"upPrivilegeRevokeV", true, gSA | gCA | gOP},
    {"upPrivilegeRevokeAllowRegistration", true, gSA},
    {"upPrivilegeAdminPlayerRegister", true, gSA},
    {"upPrivilegePlayerDelete", true, gSA},
    {"upPrivilegeRegisterSelfByDefault", true, gSA},
    {"upPrivilegeReserved19", false, gNone},
    {"upPrivilegeReserved20", false, gNone},
    {"upPrivilegeReserved21", false, gNone},
    {"upPrivilegeReserved22", false, gNone},
    {"upPrivilegeReserved23", false, gNone},
    {"upPrivilegeReserved24", false, gNone},
    {"upPrivilegeReserved25", false, gNone},
    {"upSendTextToAll", true, gSA},
    {"upSendTextToOwnChannel", true, gSA | gCA | gOP | gV},
    {"upSendTextToAllChannel", true, gSA},
    {"upSendTextToPlayer", true, gSA | gCA | gOP | gV | gReg | gAnon},
    {"upKickPlayerFromServer", true, gSA},
    {"upKickPlayerFromChannel", true, gSA | gCA | gOP},
    {"upAllowChannelCommanderStatus", true, gSA | gCA | gOP | gV | gReg | gAnon},
    {"upOtherReserved7", false, gNone},
};

constexpr const char* kGroupNames[kUserGroupCount] = {"_ugSA", "_ugCA", "_ugOP",
                                                      "_ugV", "_ugRegisterred", "_ugAnonymous"};

bool ValidPermission(int permission) { return permission >= 0 && permission < kUserPermissionCount; }

void LogFailure(std::string_view operation, const std::exception& e) {
  LogMsg(lmtError, lmdAll, fmt::format("{} Exception: {}", operation, ExceptionText(e)), kLogCategory);
}

void BindGroupKey(const TScriptStorage& storage, int32_t serverId, std::string_view groupName) {
  storage->SetParamInteger(":iServerID", serverId);
  storage->SetParamString(":sGroup", groupName);
}

// The four parts of an address text or ban pattern. A part ends at the next
// "." within 15 characters; without one the rest is the part ("*" when
// nothing is left) and reading stays put, so a short pattern repeats its
// last part.
std::array<std::string, 4> SplitAddress(std::string_view text) {
  std::array<std::string, 4> parts;
  size_t pos = 0;
  for (std::string& part : parts) {
    const std::string_view window = text.substr(std::min(pos, text.size()), 15);
    const size_t dot = window.find('.');
    if (dot != std::string_view::npos) {
      part = std::string(window.substr(0, dot));
      pos += dot + 1;
    } else {
      const std::string_view rest = text.substr(std::min(pos, text.size()));
      part = rest.empty() ? "*" : std::string(rest);
    }
  }
  return parts;
}

// A ban of some minutes ends that many minutes after it was made; one of 0
// minutes, or without a time, never does.
bool BanEnded(const TStorageRow& row, TDateTime now) {
  const TCustomStorageField* minutes = row.FindField("i_ban_minutes");
  const TCustomStorageField* created = row.FindField("dt_ban_created");
  if (!minutes || !created || minutes->AsInteger() <= 0 || created->AsDateTime().value <= 0) return false;
  return created->AsDateTime().value + minutes->AsInteger() / (24.0 * 60.0) <= now.value;
}

bool BanMatches(const std::array<std::string, 4>& address, std::string_view ban) {
  // A blank pattern would split into four "*" and shut everybody out.
  if (Trim(ban).empty()) return false;
  const std::array<std::string, 4> pattern = SplitAddress(ban);
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != "*" && pattern[i] != address[i]) return false;
  }
  return true;
}

}  // namespace

const char* UserGroupName(TUserGroup group) {
  return group < kUserGroupCount ? kGroupNames[group] : "";
}

const char* PermissionName(TUserPermissions permission) {
  return ValidPermission(permission) ? kPermissions[permission].name : "";
}

bool IsStoredPermission(TUserPermissions permission) {
  return ValidPermission(permission) && kPermissions[permission].stored;
}

std::string PermissionColumn(TUserPermissions permission) {
  if (!IsStoredPermission(permission)) return {};
  return std::string("b_sp_") + (kPermissions[permission].name + 2);
}

std::string PermissionParam(TUserPermissions permission) {
  if (!IsStoredPermission(permission)) return {};
  // ":bSendTextToAll" would also match inside ":bSendTextToAllChannel" when
  // parameters are bound by text substitution.
  if (permission == upSendTextToAll) return ":bSendTextToAllPlayers";
  return std::string(":b") + (kPermissions[permission].name + 2);
}

TPermissionTable DefaultPermissions() {
  TPermissionTable table;
  for (int p = 0; p < kUserPermissionCount; ++p) {
    for (int g = 0; g < kUserGroupCount; ++g) {
      if (kPermissions[p].defaults & (1 << g)) table[static_cast<size_t>(g)].set(static_cast<size_t>(p));
    }
  }
  return table;
}

bool HasPermission(const TClientRec* player, TUserPermissions permission, const TPermissionTable& table) {
  if (!player || !ValidPermission(permission)) return false;
  auto in = [&](TUserGroup group) { return table[group].test(permission); };
  const uint16_t sp = player->PlayerPrivileges;
  const uint16_t cp = player->ChannelPrivileges;
  if ((sp & spSA) && in(ugSA)) return true;
  if (((cp & cpCA) && in(ugCA)) || ((cp & cpOP) && in(ugOP))) return true;
  if (((cp & cpV) && in(ugV)) || ((sp & spRegistered) && in(ugRegisterred))) return true;
  return (sp & spSuperAdmin) || in(ugAnonymous);
}

TPermissionSet ReadGroupPermissions(const TScriptStorage& storage, int32_t serverId,
                                    std::string_view groupName) {
  TPermissionSet set;
  if (!storage.Valid()) return set;
  try {
    std::unique_ptr<TStorageContainer> rows;
    {
      TStorageLock lock(*storage);
      storage.Load("read_server_privilege.sql");
      BindGroupKey(storage, serverId, groupName);
      rows = storage->OpenSQL();
    }
    if (!rows) return set;
    const TStorageRow& row = rows->Row();
    for (int p = 0; p < kUserPermissionCount; ++p) {
      const auto permission = static_cast<TUserPermissions>(p);
      if (!IsStoredPermission(permission)) continue;
      // A column the database lacks grants nothing rather than losing the group.
      const TCustomStorageField* field = row.FindField(PermissionColumn(permission));
      if (field && field->AsBoolean()) set.set(static_cast<size_t>(p));
    }
  } catch (const std::exception& e) {
    LogFailure("ReadGroupPermissions", e);
  }
  return set;
}

void SaveGroupPermissions(const TScriptStorage& storage, int32_t serverId, std::string_view groupName,
                          const TPermissionSet& permissions) {
  if (!storage.Valid()) return;
  try {
    TStorageLock lock(*storage);
    storage.Load("read_server_privilege.sql");
    BindGroupKey(storage, serverId, groupName);
    const bool exists = storage->OpenSQL() != nullptr;
    storage.Load(exists ? "edit_server_privilege.sql" : "new_server_privilege.sql");
    BindGroupKey(storage, serverId, groupName);
    for (int p = 0; p < kUserPermissionCount; ++p) {
      const auto permission = static_cast<TUserPermissions>(p);
      if (IsStoredPermission(permission)) {
        storage->SetParamBool(PermissionParam(permission), permissions.test(static_cast<size_t>(p)));
      }
    }
    storage->ExecSQL();
  } catch (const std::exception& e) {
    LogFailure("SaveGroupPermissions", e);
  }
}

bool IsIpBanned(std::string_view ip, const TStorageContainer* bans) {
  if (!bans) return false;
  try {
    const std::array<std::string, 4> address = SplitAddress(ip);
    const TDateTime now = Now();
    for (size_t i = 0; i < bans->Count(); ++i) {
      const TStorageRow& row = bans->RowAt(i);
      if (BanEnded(row, now)) continue;
      if (BanMatches(address, row.AsString("s_ban_ip"))) return true;
    }
  } catch (const std::exception& e) {
    LogFailure("IsIpBanned", e);
  }
  return false;
}

}  // namespace qv
