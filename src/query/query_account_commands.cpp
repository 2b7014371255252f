#include "query/query_account_commands.h"

#include "base/date_time.h"
#include "base/text_utils.h"
#include "model/accounts.h"
#include "model/process_settings.h"
#include "model/server_control.h"
#include "model/server_types.h"

namespace qv {

namespace {

std::unique_ptr<TStorageContainer> ReadClients(const TScriptStorage& storage, int32_t serverId) {
  return ReadRows(storage, "read_clients.sql",
                  [serverId](TCustomStorage& s) { s.SetParamInteger(":iServerID", serverId); });
}

TQueryReply AccountList(const TScriptStorage& storage, int32_t serverId, bool withAdminColumn) {
  std::unique_ptr<TStorageContainer> rows = ReadClients(storage, serverId);
  if (!rows) return Error("no data avaible");
  const std::string format = GetSettings().DateTimeFormat;
  std::string lines = withAdminColumn ? Row({"id", "sa", "created", "name"}) : Row({"id", "created", "name"});
  for (rows->First(); !rows->Eof(); rows->Next()) {
    const TStorageRow& row = rows->Row();
    const std::string created = FormatDateTime(format, row.AsDateTime("dt_client_created"));
    const std::string name = Quoted(row.AsString("s_client_name"));
    lines += withAdminColumn
                 ? Row({row.AsString("i_client_id"), row.AsString("b_client_privilege_serveradmin"), created, name})
                 : Row({row.AsString("i_client_id"), created, name});
  }
  return Ok(std::move(lines));
}

}  // namespace

TQueryReply QueryUserList(TQueryRequest& r) { return AccountList(r.Session.Context.Storage, r.Server->ServerId, true); }
TQueryReply QuerySuperUserList(TQueryRequest& r) {
  return AccountList(r.Session.Context.Storage, kSuperAdminServerId, false);
}

TQueryReply QueryUserId(TQueryRequest& r) {
  std::unique_ptr<TStorageContainer> rows = ReadClients(r.Session.Context.Storage, r.Server->ServerId);
  std::string id;
  for (size_t i = 0; rows && i < rows->Count(); ++i) {
    if (rows->RowAt(i).AsString("s_client_name") == r.Params[0]) id = rows->RowAt(i).AsString("i_client_id");
  }
  if (id.empty()) return Error("no data avaible");
  return Ok(id + std::string(kCrLf));
}

namespace {

std::unique_ptr<TClientRec> NewAccount(const std::string& name, const std::string& password, uint16_t privileges) {
  auto rec = NewClient();
  rec->LoginName = name;
  rec->LoginPassword = password;
  rec->PlayerPrivileges = privileges;
  rec->Created = Now();
  return rec;
}

TQueryReply AddReply(int result) { return result == peLoginNameInUse ? Error("Loginname already in use") : Ok(); }

}  // namespace

TQueryReply QueryUserAdd(TQueryRequest& r) {
  const auto& p = r.Params;
  if (p[1] != p[2]) return Error("password dont match");
  const bool admin = LowerCase(p[3]) == "1";
  // A new server admin needs the right that making an account an admin needs.
  if (admin && !r.Session.HasRight(upPrivilegeGrantSA, *r.Server)) return Error("invalid permissions");
  auto rec = NewAccount(p[0], p[1], admin ? spSA : 0);
  return AddReply(DBAddUser(r.Session.Context.Storage, r.Server->ServerId, *rec));
}

TQueryReply QueryUserDelete(TQueryRequest& r) {
  const std::optional<int32_t> id = ParseId(r.Params[0]);
  if (!id) return Error("invalid number format");
  DBDeleteUser(r.Session.Context.Storage, r.Server->ServerId, *id);
  return Ok();
}

TQueryReply QueryUserChangePassword(TQueryRequest& r) {
  const auto& p = r.Params;
  if (p[1] != p[2]) return Error("password dont match");
  const std::optional<int32_t> id = ParseId(p[0]);
  if (!id) return Error("invalid number format");
  auto rec = DBLoadUser(r.Session.Context.Storage, r.Server->ServerId, *id);
  if (!rec) return Error("invalid id");
  SetAccountPassword(*rec, p[1]);
  DBSaveUser(r.Session.Context.Storage, r.Server->ServerId, *rec);
  return Ok();
}

TQueryReply QueryUserChangeAttributes(TQueryRequest& r) {
  const std::optional<int32_t> id = ParseId(r.Params[0]);
  if (!id) return Error("invalid number format");
  auto rec = DBLoadUser(r.Session.Context.Storage, r.Server->ServerId, *id);
  if (!rec) return Error("invalid id");
  const bool grant = LowerCase(r.Params[1]) == "1";
  const TUserPermissions right = grant ? upPrivilegeGrantSA : upPrivilegeRevokeSA;
  if (!r.Session.HasRight(right, *r.Server)) return Error("invalid permissions");
  rec->PlayerPrivileges = grant ? (rec->PlayerPrivileges | spSA) : (rec->PlayerPrivileges & ~spSA);
  DBSaveUser(r.Session.Context.Storage, r.Server->ServerId, *rec);
  return Ok();
}

TQueryReply QuerySuperUserAdd(TQueryRequest& r) {
  const auto& p = r.Params;
  if (p[1] != p[2]) return Error("password dont match");
  auto rec = NewAccount(p[0], p[1], spSuperAdmin);
  return AddReply(DBAddSuperUser(r.Session.Context.Storage, *rec));
}

TQueryReply QuerySuperUserDelete(TQueryRequest& r) {
  const std::optional<int32_t> id = ParseId(r.Params[0]);
  if (!id) return Error("invalid number format");
  DBDeleteUser(r.Session.Context.Storage, kSuperAdminServerId, *id);
  return Ok();
}

TQueryReply QuerySuperUserChangePassword(TQueryRequest& r) {
  const auto& p = r.Params;
  if (p[1] != p[2]) return Error("password dont match");
  const std::optional<int32_t> id = ParseId(p[0]);
  if (!id) return Error("invalid number format");
  auto rec = DBLoadSuperUser(r.Session.Context.Storage, *id);
  if (!rec) return Error("invalid id");
  SetAccountPassword(*rec, p[1]);
  DBSaveSuperUser(r.Session.Context.Storage, *rec);
  return Ok();
}

}  // namespace qv
