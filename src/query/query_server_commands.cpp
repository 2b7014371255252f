#include "query/query_server_commands.h"

#include <chrono>
#include <thread>

#include "base/text_utils.h"
#include "model/server_control.h"
#include "model/server_node.h"
#include "model/server_types.h"

namespace qv {

TQueryReply QueryServerStart(TQueryRequest& r) {
  TQueryContext& context = r.Session.Context;
  const std::optional<int32_t> id = ParseId(r.Params[0]);
  if (!id) return Error("invalid number format");
  if (context.Registry.FindServer(*id)) return Error("server is running");
  std::unique_ptr<TStorageContainer> rows = ReadRows(context.Storage, "read_servers.sql");
  if (!rows) return Error("no data avaible");
  bool stored = false;
  for (rows->First(); !rows->Eof(); rows->Next()) stored = stored || rows->Row().AsString("i_server_id") == r.Params[0];
  if (!stored) return Error("invalid id");
  if (!ServerOnThisNode(context.Storage, *id)) return Error(kOtherNodeError);
  if (!StartConfiguredServer(context.Registry, context.Storage, *id, 0)) return Error("unable to initialize server");
  return Ok();
}

TQueryReply QueryServerStop(TQueryRequest& r) {
  const int32_t id = r.Server->ServerId;
  r.Server = {};  // the registry frees it
  if (r.Session.SelectedServerId == id) r.Session.SelectedServerId = 0;
  r.Session.Context.Registry.StopServers(id);
  std::this_thread::sleep_for(r.Session.Context.StopPause);
  return Ok();
}

TQueryReply QueryServerAdd(TQueryRequest& r) {
  TQueryContext& context = r.Session.Context;
  const std::optional<int64_t> port = ParseInt(r.Params[0]);
  if (!port) return Error("invalid number format");
  if (PortInUse(context.Storage, *port)) return Error("port already in use");
  if (!ValidUdpPort(*port)) return Error("unable to initialize server");
  auto started = StartConfiguredServer(context.Registry, context.Storage, 0, static_cast<uint32_t>(*port));
  if (!started) return Error("unable to initialize server");
  r.Session.Select(started->ServerId);
  r.Session.TakeSnapshot();
  return Ok();
}

TQueryReply QueryServerDelete(TQueryRequest& r) {
  TQueryContext& context = r.Session.Context;
  if (context.Registry.FindServerByText(r.Params[0])) return Error("server is running");
  const std::optional<int32_t> id = ParseId(r.Params[0]);
  if (!id) return Error("invalid number format");
  switch (DeleteStoredServer(&context.Registry, context.Storage, *id)) {
    case dsDeleted: return Ok();
    case dsRunning: return Error("server is running");
    case dsOtherNode: return Error(kOtherNodeError);
  }
  return Ok();
}

namespace {

constexpr int64_t kMaxUsersLimit = 65535;

bool InRange(std::optional<int64_t> value, int64_t min, int64_t max) { return value && *value >= min && *value <= max; }

// One key of serverset: how its value changes the settings.
struct TServerSetKey {
  const char* Key;
  bool AllWords;  // the value is every parameter from the second on
  void (*Apply)(TServerSettings&, const std::string& value);
};

const TServerSetKey kServerSetKeys[] = {
    {"server_clan_server", false,
     [](TServerSettings& s, const std::string& v) {
       s.ServerFlags = v == "1" ? (sfClan | sfFreeware) : (sfPublic | sfFreeware);
     }},
    {"server_maxusers", false,
     [](TServerSettings& s, const std::string& v) { s.MaxUsers = static_cast<uint16_t>(*ParseInt(v)); }},
    {"server_password", false,
     [](TServerSettings& s, const std::string& v) { s.Password = v == "#CLEAR#" ? std::string() : v; }},
    // Texts that players see: without control characters.
    {"server_name", true, [](TServerSettings& s, const std::string& v) { s.Name = DropControls(v); }},
    {"server_welcomemessage", true,
     [](TServerSettings& s, const std::string& v) { s.WelcomeMessage = DropControls(v); }},
    {"server_webpost_posturl", false, [](TServerSettings& s, const std::string& v) { s.WebPostUrl = v; }},
    {"server_webpost_linkurl", false, [](TServerSettings& s, const std::string& v) { s.WebLinkUrl = v; }},
};

}  // namespace

TQueryReply QueryServerSet(TQueryRequest& r) {
  const std::string key = LowerCase(r.Params[0]);
  const std::string& value = r.Params[1];
  // A maximum beyond 16 bits would be stored cut, a negative one wrapped.
  if (key == "server_maxusers" && !InRange(ParseInt(value), 0, kMaxUsersLimit)) return Error("invalid number format");
  const TServerSetKey* setting = nullptr;
  for (const TServerSetKey& k : kServerSetKeys) {
    if (key == k.Key) setting = &k;
  }
  int codec = -1;
  for (int i = 0; i < kCodecCount; ++i) {
    if (key == kCodecTable[i].QueryKey) codec = i;
  }
  if (!setting && codec < 0) return Error("error");
  bool typeChanged = false;
  const std::string words = JoinParams(r.Params, 1);
  r.Server->ChangeSettings([&](TServerSettings& s) {
    const bool wasClan = s.IsClan();
    if (setting) setting->Apply(s, setting->AllWords ? words : value);
    if (codec >= 0) s.AllowCodec[codec] = value == "1";
    typeChanged = wasClan != s.IsClan();
  });
  return ResultReply(r.Server->NotifyChangedServerProperties(typeChanged));
}

TQueryReply QueryRehash(TQueryRequest& r) {
  r.Server->NotifyChangedServerProperties(false);
  return Ok();
}

TQueryReply QueryCheckServerOK(TQueryRequest& r) {
  return r.Server->CheckServerOK() ? Ok() : Error("server looks dead");
}

TQueryReply QueryDBServerList(TQueryRequest& r) {
  std::unique_ptr<TStorageContainer> rows = ReadRows(r.Session.Context.Storage, "read_servers.sql");
  if (!rows) return Error("no data avaible");
  std::string lines = Row({"id", "udpport", "name"});
  for (rows->First(); !rows->Eof(); rows->Next()) {
    const TStorageRow& row = rows->Row();
    lines +=
        Row({row.AsString("i_server_id"), row.AsString("i_server_udpport"), Quoted(row.AsString("s_server_name"))});
  }
  return Ok(std::move(lines));
}

}  // namespace qv
