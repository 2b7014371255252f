#include "query/query_commands.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "base/admin_audit.h"
#include "base/date_time.h"
#include "base/log.h"
#include "base/text_utils.h"
#include "base/version.h"
#include "model/accounts.h"
#include "model/process_settings.h"
#include "model/security.h"
#include "model/server_object.h"
#include "model/server_node.h"
#include "model/server_control.h"
#include "protocol/command_types.h"
#include "protocol/single_connection.h"
#include "protocol/text_message.h"
#include "voice/voice_runtime.h"

namespace qv {

namespace {

constexpr const char* kCategory = "TCPQUERY";

// --- checks ---

enum TCheckKind : uint8_t {
  ckNone,
  ckLoggedIn,
  ckSelected,
  ckSuperAdmin,
  ckRight,           // Value: the TUserPermissions
  ckResolveServer,
  ckParamsExactly,   // Value: the count
  ckParamsMoreThan,
  ckParamsAtLeast,
};

struct TCheck {
  TCheckKind Kind = ckNone;
  int Value = 0;
};

constexpr TCheck L{ckLoggedIn};
constexpr TCheck S{ckSelected};
constexpr TCheck SA{ckSuperAdmin};
constexpr TCheck RS{ckResolveServer};
constexpr TCheck R(TUserPermissions right) { return {ckRight, right}; }
constexpr TCheck PExactly(int n) { return {ckParamsExactly, n}; }
constexpr TCheck PMoreThan(int n) { return {ckParamsMoreThan, n}; }
constexpr TCheck PAtLeast(int n) { return {ckParamsAtLeast, n}; }

using THandler = TQueryReply (*)(TQueryRequest&);

// How a command that changes accounts, servers or settings is written to
// the audit trail: its word and this many of its leading parameters (never
// the passwords that follow them).
constexpr int kNoAudit = -1;
constexpr int kAuditAll = 99;

struct TQueryCommand {
  const char* Word;
  THandler Handler;  // nullptr: quit
  std::array<TCheck, 4> Checks;
  int Audit = kNoAudit;
};

// An empty optional when the check passes, else the refusal.
std::optional<TQueryReply> ApplyCheck(const TCheck& check, TQueryRequest& r) {
  TQuerySession& s = r.Session;
  const size_t count = r.Params.size();
  switch (check.Kind) {
    case ckNone: return std::nullopt;
    case ckLoggedIn:
      if (!s.Account) return Error("not logged in");
      return std::nullopt;
    case ckSelected:
      r.Server = s.SelectedServer();
      if (!r.Server) return Error("no server selected");
      return std::nullopt;
    case ckSuperAdmin:
      if (!s.Account || !(s.Account->PlayerPrivileges & spSuperAdmin)) return Error("invalid permissions");
      return std::nullopt;
    case ckRight:
      if (!r.Server || !s.HasRight(static_cast<TUserPermissions>(check.Value), *r.Server))
        return Error("invalid permissions");
      return std::nullopt;
    case ckResolveServer: {
      TQueryReply refusal;
      if (!s.ResolveServer(r.Params, r.Server, refusal)) return refusal;
      return std::nullopt;
    }
    case ckParamsExactly:
      if (count != static_cast<size_t>(check.Value)) return Error("invalid paramcount");
      return std::nullopt;
    case ckParamsMoreThan:
      if (count <= static_cast<size_t>(check.Value)) return Error("invalid paramcount");
      return std::nullopt;
    case ckParamsAtLeast:
      if (count < static_cast<size_t>(check.Value)) return Error("invalid paramcount");
      return std::nullopt;
  }
  return std::nullopt;
}

// --- helpers ---

std::string Num(int64_t value) { return std::to_string(value); }
std::string Rounded(double value) { return std::to_string(std::llround(value)); }

std::string JoinParams(const std::vector<std::string>& params, size_t from) {
  std::string text;
  for (size_t i = from; i < params.size(); ++i) {
    if (i > from) text += ' ';
    text += params[i];
  }
  return text;
}

std::optional<int32_t> ParseId(std::string_view text) {
  std::optional<int64_t> value = ParseInt(text);
  if (!value || *value < INT32_MIN || *value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(*value);
}

// The packet buffer of a looked-up server that still runs, held for this
// command (the server's stop waits for it); empty otherwise.
template <typename TRef>
TBufferLease Live(const TRef& server) {
  if (!server || !server->Clients || !server->Channels) return TBufferLease();
  return TBufferLease(*server);
}

// Runs a storage script under the storage lock; the rows, or nullptr for none.
template <typename TSetParams>
std::unique_ptr<TStorageContainer> ReadRows(const TScriptStorage& storage, const char* script,
                                            TSetParams setParams) {
  TStorageLock lock(*storage);
  if (!storage.Load(script)) return nullptr;
  setParams(*storage);
  return storage->OpenSQL();
}

std::unique_ptr<TStorageContainer> ReadRows(const TScriptStorage& storage, const char* script) {
  return ReadRows(storage, script, [](TCustomStorage&) {});
}

std::unique_ptr<TStorageContainer> ReadClients(const TScriptStorage& storage, int32_t serverId) {
  return ReadRows(storage, "read_clients.sql",
                  [serverId](TCustomStorage& s) { s.SetParamInteger(":iServerID", serverId); });
}

// --- listing and information ---

TQueryReply QueryServerList(TQueryRequest& r) {
  std::string lines;
  for (auto& server : r.Session.SnapshotServers()) lines += Num(server->Settings().UdpPort) + std::string(kCrLf);
  return Ok(std::move(lines));
}

TQueryReply QueryVersion(TQueryRequest&) { return Ok(VersionNumbers() + " " + PlatformText() + std::string(kCrLf)); }

TQueryReply QuerySelect(TQueryRequest& r) {
  const int32_t previous = std::exchange(r.Session.SelectedServerId, 0);  // resolve by the parameter
  TQueryReply refusal;
  TServerRef server;
  const bool found = r.Session.ResolveServer(r.Params, server, refusal);
  r.Session.SelectedServerId = previous;
  r.Session.Select(found ? server->ServerId : 0);
  return found ? Ok() : refusal;
}

TQueryReply QueryPlayerList(TQueryRequest& r) {
  auto& server = r.Server;
  std::string lines = Row({"p_id", "c_id", "ps", "bs", "pr", "br", "pl", "ping", "logintime", "idletime", "cprivs",
                           "pprivs", "pflags", "ip", "nick", "loginname"});
  if (const TBufferLease buffer = Live(server)) {
    const bool showIp = r.Session.AdminOf(*server);
    const TDateTime now = Now();
    std::lock_guard<TClients> players(*server->Clients);
    for (const auto& p : server->Clients->Items()) {
      const TConnectionInfo c = buffer->GetConnectionInfo(p->PlayerId);
      lines += Row({Num(p->PlayerId), Num(p->ChannelId), Num(c.PacketsSent), Num(c.BytesSent), Num(c.PacketsReceived),
                    Num(c.BytesReceived), Num(c.PacketLoss), Num(c.AverageRoundTrip),
                    Num(SecondsBetween(now, p->LoginTime)), Num(SecondsBetween(now, p->LastActivity)),
                    Num(p->ChannelPrivileges), Num(p->PlayerPrivileges), Num(p->PlayerFlags),
                    showIp && !c.Ip.empty() ? c.Ip : "0.0.0.0", Quoted(p->NickName), Quoted(p->LoginName)});
    }
  }
  return Ok(std::move(lines));
}

TQueryReply QueryChannelList(TQueryRequest& r) {
  auto& server = r.Server;
  std::string lines = Row({"id", "codec", "parent", "order", "maxusers", "name", "flags", "password", "topic"});
  if (Live(server)) {
    std::lock_guard<TChannels> channels(*server->Channels);
    for (const auto& c : server->Channels->Items()) {
      lines += Row({Num(c->Id), Num(c->Codec), Num(c->ParentId), Num(c->Order), Num(c->MaxUsers), Quoted(c->Name),
                    Num(c->Flags), Flag(!c->Password.empty()), Quoted(c->Topic)});
    }
  }
  return Ok(std::move(lines));
}

TQueryReply QueryServerInfo(TQueryRequest& r) {
  auto& server = r.Server;
  const TServerSettings s = server->Settings();
  std::string lines = KeyValue("server_id", Num(server->ServerId)) + KeyValue("server_name", s.Name.str()) +
                      KeyValue("server_platform", s.Platform.str()) +
                      KeyValue("server_welcomemessage", s.WelcomeMessage.str()) +
                      KeyValue("server_webpost_linkurl", s.WebLinkUrl.str()) +
                      KeyValue("server_webpost_posturl", s.WebPostUrl.str()) +
                      KeyValue("server_password", Flag(!s.Password.empty())) +
                      KeyValue("server_clan_server", Flag(s.IsClan())) + KeyValue("server_udpport", Num(s.UdpPort)) +
                      KeyValue("server_maxusers", Num(s.MaxUsers));
  for (int i = 0; i < kCodecCount; ++i) lines += KeyValue(kCodecTable[i].QueryKey, s.AllowCodec[i] ? "-1" : "0");
  TBufferStatistics stats;
  int players = 0, channelCount = 0;
  if (const TBufferLease buffer = Live(server)) {
    stats = buffer->GetStatistics();
    std::lock_guard<TClients> lockPlayers(*server->Clients);
    std::lock_guard<TChannels> lockChannels(*server->Channels);
    players = server->Clients->Count();
    channelCount = server->Channels->Count();
  }
  lines += KeyValue("server_packetssend", Num(stats.PacketsSent)) + KeyValue("server_bytessend", Num(stats.BytesSent)) +
           KeyValue("server_packetsreceived", Num(stats.PacketsReceived)) +
           KeyValue("server_bytesreceived", Num(stats.BytesReceived)) +
           KeyValue("server_uptime", Num(server->Uptime())) + KeyValue("server_currentusers", Num(players)) +
           KeyValue("server_currentchannels", Num(channelCount)) +
           KeyValue("server_bwinlastsec", Rounded(stats.Incoming.PerSecond)) +
           KeyValue("server_bwoutlastsec", Rounded(stats.Outgoing.PerSecond)) +
           KeyValue("server_bwinlastmin", Rounded(stats.Incoming.PerMinute)) +
           KeyValue("server_bwoutlastmin", Rounded(stats.Outgoing.PerMinute));
  return Ok(std::move(lines));
}

TQueryReply QueryGlobalInfo(TQueryRequest& r) {
  int servers = 0;
  int64_t users = 0, maxUsers = 0, channelCount = 0;
  uint64_t inBytes = 0, outBytes = 0, inPackets = 0, outPackets = 0;
  double outMinute = 0, outSecond = 0, inMinute = 0, inSecond = 0;
  for (auto& server : r.Session.SnapshotServers()) {
    try {
      const TBufferLease buffer = Live(server);
      if (!buffer) continue;
      const TBufferStatistics stats = buffer->GetStatistics();
      const uint16_t max = server->Settings().MaxUsers;
      std::lock_guard<TClients> players(*server->Clients);
      std::lock_guard<TChannels> channels(*server->Channels);
      ++servers;
      users += server->Clients->Count();
      maxUsers += max;
      channelCount += server->Channels->Count();
      inBytes += stats.BytesReceived;
      outBytes += stats.BytesSent;
      inPackets += stats.PacketsReceived;
      outPackets += stats.PacketsSent;
      outMinute += stats.Outgoing.PerMinute;
      outSecond += stats.Outgoing.PerSecond;
      inMinute += stats.Incoming.PerMinute;
      inSecond += stats.Incoming.PerSecond;
    } catch (const std::exception& e) {
      LogMsg(lmtError, lmdAll, "TTCPQuery.gi Exception: " + ExceptionText(e), kCategory);
    }
  }
  std::string lines = KeyValue("total_server_uptime", FormatUptime(SecondsBetween(Now(), r.Session.Context.Started))) +
                      KeyValue("total_server_version", VersionNumbers()) +
                      KeyValue("total_server_platform", PlatformText()) + KeyValue("total_servers", Num(servers)) +
                      KeyValue("total_users_online", Num(users)) + KeyValue("total_users_maximal", Num(maxUsers)) +
                      KeyValue("total_channels", Num(channelCount)) + KeyValue("total_in_bytes", Num(inBytes)) +
                      KeyValue("total_out_bytes", Num(outBytes)) + KeyValue("total_in_packets", Num(inPackets)) +
                      KeyValue("total_out_packets", Num(outPackets)) + KeyValue("total_out_blm", Rounded(outMinute)) +
                      KeyValue("total_out_bls", Rounded(outSecond)) + KeyValue("total_in_blm", Rounded(inMinute)) +
                      KeyValue("total_in_bls", Rounded(inSecond));
  return Ok(std::move(lines));
}

constexpr const char* kHelpLines[] = {
    "command overview: ",
    "help                : this helpfile",
    "sl                  : serverlist",
    "pl                  : playerlist",
    "cl                  : channellist",
    "ver                 : version",
    "gi                  : global information",
    "sel                 : select",
    "si                  : server information",
    "msg                 : message to server",
    "msgall              : message to all servers",
    "login               : login to server",
    "slogin              : superlogin to server",
    "fc                  : finds a channel",
    "ci                  : display channel info",
    "fp                  : finds a player",
    "pi                  : display infos about a player",
    "sppriv              : set user privilege",
    "mptc                : move player to channel",
    "serverstart         : start server",
    "serverstop          : stop server",
    "serveradd           : adds a server",
    "serverdel           : deletes a server",
    "serverset           : set a server variable",
    "dbserverlist        : list all servers from db",
    "checkserverok       : checks if server hangs",
    "rehash              : reload server settings",
    "dbuserlist          : display server user list",
    "dbuseradd           : adds a user to server",
    "dbuserdel           : deletes a user from server",
    "dbuserchangepw      : changes password of a user",
    "dbuserchangeattribs : changes rights of a user",
    "dbuserid            : display dbid from loginname",
    "dbsuserlist         : display superadmin serverlist",
    "dbsuseradd          : adds a superadmin to server",
    "dbsuserdel          : deletes a superadmin from server",
    "dbsuserchangepw     : changes password of a superadmin",
    "quit                : close connection",
};

TQueryReply QueryHelp(TQueryRequest&) {
  std::string lines;
  for (const char* line : kHelpLines) lines += std::string(line) + std::string(kCrLf);
  return Ok(std::move(lines));
}

// --- text messages ---

constexpr uint32_t kQuerySenderId = 255;

// A text message from the query account to every player of the server.
void SendQueryMessage(TServerObject& server, const TClientRec& account, const std::string& text) {
  const TBufferLease buffer = Live(&server);
  if (!buffer) return;
  const std::string nick = "telnet." + account.LoginName.str();
  std::lock_guard<TClients> players(*server.Clients);
  for (const auto& p : server.Clients->Items()) {
    buffer->SendPacket(NewTextMessagePacket(p->ConnectionId, p->PlayerId, kQuerySenderId, tkEverybody, nick, text));
  }
}

// Control characters (terminal escapes among them) never reach players.
TQueryReply QueryMessage(TQueryRequest& r) {
  SendQueryMessage(*r.Server, *r.Session.Account, DropControls(JoinParams(r.Params, 0)));
  return Ok();
}

TQueryReply QueryMessageAll(TQueryRequest& r) {
  const std::string text = DropControls(JoinParams(r.Params, 0));
  for (auto& server : r.Session.SnapshotServers()) {
    try {
      SendQueryMessage(*server, *r.Session.Account, text);
    } catch (const std::exception& e) {
      LogMsg(lmtError, lmdAll, "TTCPQuery.msgall Exception: " + ExceptionText(e), kCategory);
    }
  }
  return Ok();
}

// --- login ---

TQueryReply QueryLogin(TQueryRequest& r) { return r.Session.Login(r.Params); }
TQueryReply QuerySuperLogin(TQueryRequest& r) { return r.Session.SuperLogin(r.Params); }

// --- players and channels ---

struct TPrivilegeKey {
  const char* Key;
  uint16_t Bit;
};
constexpr TPrivilegeKey kPrivilegeKeys[] = {
    {"privilege_serveradmin", spSA}, {"privilege_canregister", spAllowRegistration}, {"privilege_channelembodied", spCB}};

TQueryReply QuerySetPlayerPrivilege(TQueryRequest& r) {
  auto& server = r.Server;
  const std::optional<int32_t> playerId = ParseId(r.Params[0]);
  if (!playerId) return Error("invalid number format");
  uint16_t privileges = 0;
  {
    if (!Live(server)) return Error("invalid id");
    std::lock_guard<TClients> players(*server->Clients);
    const TClientRec* player = *playerId < 1 ? nullptr : server->Clients->GetClientByID(static_cast<uint32_t>(*playerId));
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
    lines += TabbedRow({Num(m->PlayerId), Quoted(m->NickName), Flag(sp & spSA), Flag(cp & cpCA), Flag(cp & cpOP),
                        Flag(cp & cpAutoOP), Flag(cp & cpV), Flag(cp & cpAutoV), Flag(sp & spCB),
                        Flag(sp & spRegistered)});
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
      for (const TClientRec* m : c->Members) lines += Row({Num(c->Id), Quoted(c->Name), Num(m->PlayerId), Quoted(m->NickName)});
    }
  }
  return Ok(std::move(lines));
}

// --- servers ---

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

constexpr int64_t kMaxUdpPort = 65535;

TQueryReply QueryServerAdd(TQueryRequest& r) {
  TQueryContext& context = r.Session.Context;
  const std::optional<int64_t> port = ParseInt(r.Params[0]);
  if (!port) return Error("invalid number format");
  auto used = ReadRows(context.Storage, "read_server_port.sql",
                       [&](TCustomStorage& s) { s.SetParamInteger(":iPort", *port); });
  if (used) return Error("port already in use");
  // Port 0 would ask for the default port, and a port beyond 16 bits cannot be bound.
  if (*port < 1 || *port > kMaxUdpPort) return Error("unable to initialize server");
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
  if (!ServerOnThisNode(context.Storage, *id)) return Error(kOtherNodeError);
  TStorageLock lock(*context.Storage);
  if (context.Storage.Load("delete_server.sql")) {
    context.Storage->SetParamInteger(":iServerID", *id);
    context.Storage->ExecSQL();
  }
  return Ok();
}

constexpr int64_t kMaxUsersLimit = 65535;

bool InRange(std::optional<int64_t> value, int64_t min, int64_t max) {
  return value && *value >= min && *value <= max;
}

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
    lines += Row({row.AsString("i_server_id"), row.AsString("i_server_udpport"), Quoted(row.AsString("s_server_name"))});
  }
  return Ok(std::move(lines));
}

// --- accounts ---

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

TQueryReply QueryUserList(TQueryRequest& r) { return AccountList(r.Session.Context.Storage, r.Server->ServerId, true); }
TQueryReply QuerySuperUserList(TQueryRequest& r) { return AccountList(r.Session.Context.Storage, 0, false); }

TQueryReply QueryUserId(TQueryRequest& r) {
  std::unique_ptr<TStorageContainer> rows = ReadClients(r.Session.Context.Storage, r.Server->ServerId);
  std::string id;
  for (size_t i = 0; rows && i < rows->Count(); ++i) {
    if (rows->RowAt(i).AsString("s_client_name") == r.Params[0]) id = rows->RowAt(i).AsString("i_client_id");
  }
  if (id.empty()) return Error("no data avaible");
  return Ok(id + std::string(kCrLf));
}

std::unique_ptr<TClientRec> NewAccount(const std::string& name, const std::string& password, uint16_t privileges) {
  auto rec = NewClient();
  rec->LoginName = name;
  rec->LoginPassword = password;
  rec->PlayerPrivileges = privileges;
  rec->Created = Now();
  return rec;
}

TQueryReply AddReply(int result) { return result == peLoginNameInUse ? Error("Loginname already in use") : Ok(); }

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
  rec->LoginPassword = p[1];
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
  DBDeleteUser(r.Session.Context.Storage, 0, *id);
  return Ok();
}

TQueryReply QuerySuperUserChangePassword(TQueryRequest& r) {
  const auto& p = r.Params;
  if (p[1] != p[2]) return Error("password dont match");
  const std::optional<int32_t> id = ParseId(p[0]);
  if (!id) return Error("invalid number format");
  auto rec = DBLoadSuperUser(r.Session.Context.Storage, *id);
  if (!rec) return Error("invalid id");
  rec->LoginPassword = p[1];
  DBSaveSuperUser(r.Session.Context.Storage, *rec);
  return Ok();
}

// --- the table ---

const TQueryCommand kQueryCommands[] = {
    {"sl", QueryServerList, {}},
    {"pl", QueryPlayerList, {RS}},
    {"cl", QueryChannelList, {RS}},
    {"ver", QueryVersion, {}},
    {"sel", QuerySelect, {}},  // ResolveServer after clearing the selection
    {"gi", QueryGlobalInfo, {}},
    {"si", QueryServerInfo, {RS}},
    {"msg", QueryMessage, {L, S, SA}},
    {"msgall", QueryMessageAll, {L, SA}},
    {"login", QueryLogin, {}},    // checks of its own, after clearing the account
    {"slogin", QuerySuperLogin, {}},
    {"sppriv", QuerySetPlayerPrivilege, {L, S, SA, PMoreThan(2)}, kAuditAll},
    {"fp", QueryFindPlayer, {L, S, SA, PExactly(1)}},
    {"pi", QueryPlayerInfo, {L, S, SA, PExactly(1)}},
    {"fc", QueryFindChannel, {L, S, SA, PExactly(1)}},
    {"ci", QueryChannelInfo, {L, S, SA, PExactly(1)}},
    {"mptc", QueryMovePlayer, {L, S, R(upAdminMovePlayer), PExactly(2)}},
    {"serverstart", QueryServerStart, {L, SA, PExactly(1)}, kAuditAll},
    {"serverstop", QueryServerStop, {L, RS, SA}, 0},
    {"serveradd", QueryServerAdd, {L, SA, PExactly(1)}, kAuditAll},
    {"serverdel", QueryServerDelete, {L, PExactly(1), SA}, kAuditAll},
    {"serverset", QueryServerSet, {L, S, SA, PAtLeast(2)}, kAuditAll},  // but a password
    {"dbserverlist", QueryDBServerList, {L, SA}},
    {"dbuseradd", QueryUserAdd, {L, S, R(upAdminRegisterPlayer), PMoreThan(3)}, 1},
    {"dbuserdel", QueryUserDelete, {L, S, R(upPrivilegePlayerDelete), PAtLeast(1)}, 1},
    {"dbuserchangepw", QueryUserChangePassword, {L, S, R(upAdminChangeUserPassword), PMoreThan(2)}, 1},
    {"dbuserchangeattribs", QueryUserChangeAttributes, {L, S, PExactly(2)}, 2},
    {"dbuserlist", QueryUserList, {L, S, R(upAdminListDBUsers)}},
    {"dbuserid", QueryUserId, {L, S, SA, PExactly(1)}},
    {"dbsuseradd", QuerySuperUserAdd, {L, SA, PMoreThan(2)}, 1},
    {"dbsuserdel", QuerySuperUserDelete, {L, SA, PExactly(1)}, 1},
    {"dbsuserchangepw", QuerySuperUserChangePassword, {L, SA, PMoreThan(2)}, 1},
    {"dbsuserlist", QuerySuperUserList, {L, SA}},
    {"checkserverok", QueryCheckServerOK, {L, S, SA}},
    {"rehash", QueryRehash, {L, S, SA}},
    {"help", QueryHelp, {}},
    {"dccl", QueryChannelsWithPlayers, {L, S, SA}},
    {"quit", nullptr, {}},
};

// The audit line's change: the word, the parameters it may show, and the
// server the command acted on.
std::string AuditedChange(const TQueryCommand& command, const TQueryRequest& r, int32_t serverId) {
  std::string change = command.Word;
  size_t shown = std::min(r.Params.size(), static_cast<size_t>(command.Audit));
  if (command.Handler == QueryServerSet && LowerCase(r.Params[0]) == "server_password") shown = 1;
  for (size_t i = 0; i < shown; ++i) change += " " + r.Params[i];
  if (serverId > 0) change += " (server " + Num(serverId) + ")";
  return change;
}

// The row whose word the line is, or starts with followed by a blank.
const TQueryCommand* MatchCommand(std::string_view line, std::string_view& paramText) {
  for (const TQueryCommand& command : kQueryCommands) {
    const std::string_view word = command.Word;
    if (line.size() < word.size() || !SameText(line.substr(0, word.size()), word)) continue;
    if (line.size() == word.size()) {
      paramText = {};
      return &command;
    }
    if (line[word.size()] == ' ') {
      paramText = line.substr(word.size() + 1);
      return &command;
    }
  }
  return nullptr;
}

}  // namespace

std::vector<std::string> SplitQueryParams(std::string_view text) {
  std::vector<std::string> params;
  if (text.empty()) return params;
  for (;;) {
    const size_t blank = text.find(' ');
    params.emplace_back(text.substr(0, blank));
    if (blank == std::string_view::npos) return params;
    text.remove_prefix(blank + 1);
  }
}

TQueryReply DispatchQueryLine(TQuerySession& session, std::string_view line, bool& quit) {
  quit = false;
  std::string_view paramText;
  // A NUL would cut a parameter where the storage reads it (a password
  // followed by "\0garbage" would log in): such a line is no command.
  const TQueryCommand* command =
      line.find('\0') == std::string_view::npos ? MatchCommand(line, paramText) : nullptr;
  if (!command) return TQueryReply{"error" + std::string(kCrLf)};
  if (!command->Handler) {
    quit = true;
    return {};
  }
  try {
    TQueryRequest request{session, SplitQueryParams(paramText)};
    for (const TCheck& check : command->Checks) {
      if (auto refusal = ApplyCheck(check, request)) return *refusal;
    }
    const int32_t serverId = request.Server ? request.Server->ServerId : session.SelectedServerId;
    TQueryReply reply = command->Handler(request);
    if (command->Audit != kNoAudit && reply.Text.rfind("OK", 0) == 0)
      AuditAdminChange(liQuery, session.PeerAddress, session.Account ? session.Account->LoginName.str() : "",
                       AuditedChange(*command, request, serverId), kCategory);
    return reply;
  } catch (const std::exception& e) {
    LogMsg(lmtError, lmdAll, std::string("TTCPQuery.") + command->Word + " Exception: " + ExceptionText(e),
           kCategory);
    return Error("error");
  }
}

}  // namespace qv
