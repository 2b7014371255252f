// Server permissions per user group, the permission check every command
// handler uses, the factory defaults of a new server, IP ban matching and the
// stored-port check.
//
// A player belongs to several groups at once, derived from his record: ugSA
// (spSA), ugCA/ugOP/ugV (cpCA/cpOP/cpV of the channel in question),
// ugRegisterred (spRegistered) and always ugAnonymous. He may do a thing when
// any of his groups may; a superadmin session may do everything.
//
// Thread rules: the functions keep no state. The storage functions take the
// storage lock for their own scripts.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>

#include "model/client_object.h"
#include "model/script_storage.h"

namespace qv {

enum TUserGroup : uint8_t {
  ugSA = 0,
  ugCA = 1,
  ugOP = 2,
  ugV = 3,
  ugRegisterred = 4,
  ugAnonymous = 5,
};
constexpr int kUserGroupCount = 6;

enum TUserPermissions : uint8_t {
  upAccessWebAdminServer = 0,
  upAccessTcpServer = 1,
  upAccessVoice = 2,
  upAccesReserved5 = 3,
  upAccesReserved6 = 4,
  upAccesReserved7 = 5,
  upAccesReserved8 = 6,
  upAccesReserved9 = 7,
  upAdminRegisterPlayer = 8,
  upAdminListDBUsers = 9,
  upAdminChangeOwnPassword = 10,
  upAdminChangeUserPassword = 11,
  upAdminSetServerPermissions = 12,
  upAdminListDBServers = 13,
  upAdminAddServer = 14,
  upAdminDeleteServer = 15,
  upAdminEditServerIpPort = 16,
  upAdminEditServerWebpostUrl = 17,
  upAdminEditServerName = 18,
  upAdminEditServerMaxUsers = 19,
  upAdminEditServerWelcomeMessage = 20,
  upAdminEditServerPassword = 21,
  upAdminEditServerType = 22,
  upAdminEditServerAllodCodecs = 23,
  upAdminBanIp = 24,
  upAdminMovePlayer = 25,
  upAdminStopServer = 26,
  upAdminStartServer = 27,
  upAdminReserved19 = 28,
  upAdminReserved20 = 29,
  upAdminReserved21 = 30,
  upAdminReserved22 = 31,
  upAdminReserved23 = 32,
  upChannelJoinRegisterred = 33,
  upChannelCreateRegisterred = 34,
  upChannelCreateUnregisterred = 35,
  upChannelCreateDefault = 36,
  upChannelCreateSubchannels = 37,
  upChannelCreateModerated = 38,
  upChannelDelete = 39,
  upChannelEditName = 40,
  upChannelEditPassword = 41,
  upChannelEditTopic = 42,
  upChannelEditDescription = 43,
  upChannelEditOrder = 44,
  upChannelEditMaxUsers = 45,
  upChannelEditCodec = 46,
  upChannelJoinChannelWithoutPassword = 47,
  upChannelReserved15 = 48,
  upPrivilegeGrantSA = 49,
  upPrivilegeGrantCA = 50,
  upPrivilegeGrantAutoOp = 51,
  upPrivilegeGrantOp = 52,
  upPrivilegeGrantAutoV = 53,
  upPrivilegeGrantV = 54,
  upPrivilegeGrantAllowRegistration = 55,
  upPrivilegeRevokeSA = 56,
  upPrivilegeRevokeCA = 57,
  upPrivilegeRevokeAutoOp = 58,
  upPrivilegeRevokeOp = 59,
  upPrivilegeRevokeAutoV = 60,
  upPrivilegeRevokeV = 61,
  upPrivilegeRevokeAllowRegistration = 62,
  upPrivilegeAdminPlayerRegister = 63,
  upPrivilegePlayerDelete = 64,
  upPrivilegeRegisterSelfByDefault = 65,
  upPrivilegeReserved19 = 66,
  upPrivilegeReserved20 = 67,
  upPrivilegeReserved21 = 68,
  upPrivilegeReserved22 = 69,
  upPrivilegeReserved23 = 70,
  upPrivilegeReserved24 = 71,
  upPrivilegeReserved25 = 72,
  upSendTextToAll = 73,
  upSendTextToOwnChannel = 74,
  upSendTextToAllChannel = 75,
  upSendTextToPlayer = 76,
  upKickPlayerFromServer = 77,
  upKickPlayerFromChannel = 78,
  upAllowChannelCommanderStatus = 79,
  upOtherReserved7 = 80,
};
constexpr int kUserPermissionCount = 81;

// One group's permissions, bit n for ordinal n.
using TPermissionSet = std::bitset<kUserPermissionCount>;
// A server's permissions: one set per group, in TUserGroup order.
using TPermissionTable = std::array<TPermissionSet, kUserGroupCount>;

// "_ugSA", "_ugCA", ... : the group's name in storage.
const char* UserGroupName(TUserGroup group);
// "upAccessVoice", ...
const char* PermissionName(TUserPermissions permission);
// Whether the permission has a storage column (the reserved ones have none).
bool IsStoredPermission(TUserPermissions permission);
// "b_sp_AccessVoice", ...; empty for a reserved permission.
std::string PermissionColumn(TUserPermissions permission);
// ":bAccessVoice", ... (":bSendTextToAllPlayers" for upSendTextToAll); empty
// for a reserved permission.
std::string PermissionParam(TUserPermissions permission);

// The factory table every new server starts with.
TPermissionTable DefaultPermissions();

// Whether player may do `permission` under `table`, with the channel groups
// taken from player->ChannelPrivileges. Ordinals above 80 are never granted.
bool HasPermission(const TClientRec* player, TUserPermissions permission, const TPermissionTable& table);

// The stored set of a group (empty when the group has no row).
TPermissionSet ReadGroupPermissions(const TScriptStorage& storage, int32_t serverId,
                                    std::string_view groupName);
void SaveGroupPermissions(const TScriptStorage& storage, int32_t serverId, std::string_view groupName,
                          const TPermissionSet& permissions);

// Whether ip matches one of the bans (rows of "read_bans.sql"). A ban
// address is four dot-separated parts, each a number or "*"; a shorter
// pattern repeats its last part ("10.*" is 10.*.*.*). A blank ban matches
// nothing. A ban of n > 0 minutes ends n minutes after its creation time
// (rows without one never end). Without bans nothing is banned.
bool IsIpBanned(std::string_view ip, const TStorageContainer* bans);

}  // namespace qv
