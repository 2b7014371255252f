#include "query/query_info_commands.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "base/date_time.h"
#include "base/log.h"
#include "base/version.h"
#include "model/process_settings.h"
#include "model/server_types.h"

namespace qv {

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
  std::string lines =
      KeyValue("server_id", Num(server->ServerId)) + KeyValue("server_name", s.Name.str()) +
      KeyValue("server_platform", s.Platform.str()) + KeyValue("server_welcomemessage", s.WelcomeMessage.str()) +
      KeyValue("server_webpost_linkurl", s.WebLinkUrl.str()) + KeyValue("server_webpost_posturl", s.WebPostUrl.str()) +
      KeyValue("server_password", Flag(!s.Password.empty())) + KeyValue("server_clan_server", Flag(s.IsClan())) +
      KeyValue("server_udpport", Num(s.UdpPort)) + KeyValue("server_maxusers", Num(s.MaxUsers));
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
      LogMsg(lmtError, lmdAll, "TTCPQuery.gi Exception: " + ExceptionText(e), kQueryCategory);
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

}  // namespace qv
