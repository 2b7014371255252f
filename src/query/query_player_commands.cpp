#include "query/query_player_commands.h"

#include <mutex>

#include "base/date_time.h"
#include "base/text_utils.h"
#include "model/server_types.h"

namespace qv {

namespace {

struct TPrivilegeKey {
  const char* Key;
  uint16_t Bit;
};
constexpr TPrivilegeKey kPrivilegeKeys[] = {{"privilege_serveradmin", spSA},
                                            {"privilege_canregister", spAllowRegistration},
                                            {"privilege_channelembodied", spCB}};

}  // namespace

TQueryReply QuerySetPlayerPrivilege(TQueryRequest& r) {
  auto& server = r.Server;
  const std::optional<int32_t> playerId = ParseId(r.Params[0]);
  if (!playerId) return Error("invalid number format");
  uint16_t privileges = 0;
  {
    if (!Live(server)) return Error("invalid id");
    std::lock_guard<TClients> players(*server->Clients);
    const TClientRec* player =
        *playerId < 1 ? nullptr : server->Clients->GetClientByID(static_cast<uint32_t>(*playerId));
    if (!player) return Error("invalid id");
    privileges = player->PlayerPrivileges;
  }
  const std::string key = LowerCase(r.Params[1]);
  bool matched = false;
  for (const TPrivilegeKey& k : kPrivilegeKeys) {
    if (key != k.Key) continue;
    matched = true;
    privileges = r.Params[2] == "1" ? (privileges | k.Bit) : (privileges & ~k.Bit);
  }
  if (!matched) return Error("error");
  return ResultReply(server->SetUserPrivilege(*playerId, privileges));
}

TQueryReply QueryMovePlayer(TQueryRequest& r) {
  const std::optional<int32_t> channelId = ParseId(r.Params[0]);
  const std::optional<int32_t> playerId = ParseId(r.Params[1]);
  if (!channelId || !playerId) return Error("invalid number format");
  return ResultReply(r.Server->MoveClientToChannel(*channelId, *playerId));
}

TQueryReply QueryFindPlayer(TQueryRequest& r) {
  auto& server = r.Server;
  const std::string search = LowerCase(r.Params[0]);
  std::string lines = Row({"p_id", "c_id", "nickname", "loginname"});
  if (Live(server)) {
    std::lock_guard<TClients> players(*server->Clients);
    for (const auto& p : server->Clients->Items()) {
      if (LowerCase(p->NickName.str()).find(search) == std::string::npos &&
          LowerCase(p->LoginName.str()).find(search) == std::string::npos)
        continue;
      lines += Row({Num(p->PlayerId), Num(p->ChannelId), Quoted(p->NickName), Quoted(p->LoginName)});
    }
  }
  return Ok(std::move(lines));
}

TQueryReply QueryFindChannel(TQueryRequest& r) {
  auto& server = r.Server;
  const std::string search = LowerCase(r.Params[0]);
  std::string lines = Row({"c_id", "c_name"});
  if (Live(server)) {
    std::lock_guard<TChannels> channels(*server->Channels);
    for (const auto& c : server->Channels->Items()) {
      if (LowerCase(c->Name).find(search) != std::string::npos) lines += Row({Num(c->Id), QueryText(c->Name)});
    }
  }
  return Ok(std::move(lines));
}

TQueryReply QueryPlayerInfo(TQueryRequest& r) {
  auto& server = r.Server;
  const std::optional<int32_t> playerId = ParseId(r.Params[0]);
  if (!playerId || *playerId < 1 || !Live(server)) return Error("invalid id");
  std::lock_guard<TClients> players(*server->Clients);
  TClientRec* p = server->Clients->GetClientByID(static_cast<uint32_t>(*playerId));
  if (!p) return Error("invalid id");
  std::string lines = Row({"p_id", "c_id", "nickname", "loginname", "sa", "cb"});
  lines += Row({Num(p->PlayerId), Num(p->ChannelId), Quoted(p->NickName), Quoted(p->LoginName),
                Flag(p->PlayerPrivileges & spSA), Flag(p->PlayerPrivileges & spCB)});
  lines += kCrLf;
  lines += Row({"c_id", "name", "ca", "o", "ao", "v", "av"});
  std::lock_guard<TChannels> channels(*server->Channels);
  for (const auto& c : server->Channels->Items()) {
    uint16_t flags = 0;
    if (const TChannelAttrib* entry = c->Privileges.Get(p->PlayerId)) {
      flags = entry->Flags;
    } else {
      flags = server->Channels->GetChannelAttribs(c.get(), p);
      if (flags == 0) continue;
    }
    lines += TabbedRow({Num(c->Id), Quoted(c->Name), Flag(flags & cpCA), Flag(flags & cpOP), Flag(flags & cpAutoOP),
                        Flag(flags & cpV), Flag(flags & cpAutoV)});
  }
  return Ok(std::move(lines));
}

TQueryReply QueryChannelInfo(TQueryRequest& r) {
  auto& server = r.Server;
  const std::optional<int32_t> channelId = ParseId(r.Params[0]);
  if (!channelId || !Live(server)) return Error("invalid id");
  std::lock_guard<TClients> players(*server->Clients);
  std::lock_guard<TChannels> channels(*server->Channels);
  const TChannelRec* c = server->Channels->GetChannelById(*channelId);
  if (!c) return Error("invalid id");
  std::string lines = TabbedRow({"c_id", "c_pid", "c_name", "c_fU", "c_fM", "c_fP", "c_fH", "c_fD", "c_codec",
                                 "c_order", "c_maxusers", "c_created", "c_topic", "c_description"});
  lines += TabbedRow({Num(c->Id), Num(c->ParentId), Quoted(c->Name), Flag(c->Flags & cfUnregistered),
                      Flag(c->Flags & cfModerated), Flag(c->Flags & cfPassword), Flag(c->Flags & cfHierarchical),
                      Flag(c->Flags & cfDefault), Num(c->Codec), Num(c->Order), Num(c->MaxUsers),
                      FormatDateTime("dd-mm-yy hh:nn:ss", c->Created), Quoted(c->Topic), Quoted(c->Description)});
  lines += kCrLf;
  lines += Row({"p_id", "p_nick", "sa", "ca", "o", "ao", "v", "av", "cb", "reg"});
  for (const TClientRec* m : c->Members) {
    const uint16_t cp = m->ChannelPrivileges, sp = m->PlayerPrivileges;
    lines +=
        TabbedRow({Num(m->PlayerId), Quoted(m->NickName), Flag(sp & spSA), Flag(cp & cpCA), Flag(cp & cpOP),
                   Flag(cp & cpAutoOP), Flag(cp & cpV), Flag(cp & cpAutoV), Flag(sp & spCB), Flag(sp & spRegistered)});
  }
  return Ok(std::move(lines));
}

TQueryReply QueryChannelsWithPlayers(TQueryRequest& r) {
  auto& server = r.Server;
  std::string lines = Row({"c_id", "c_name", "p_id", "p_name"});
  if (Live(server)) {
    std::lock_guard<TClients> players(*server->Clients);
    std::lock_guard<TChannels> channels(*server->Channels);
    for (const auto& c : server->Channels->Items()) {
      if (c->Members.empty()) lines += Row({Num(c->Id), Quoted(c->Name), "-1"});
      for (const TClientRec* m : c->Members)
        lines += Row({Num(c->Id), Quoted(c->Name), Num(m->PlayerId), Quoted(m->NickName)});
    }
  }
  return Ok(std::move(lines));
}

}  // namespace qv
