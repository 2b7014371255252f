#include "web/web_live.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>

#include "base/date_time.h"
#include "model/process_settings.h"
#include "protocol/codecs.h"
#include "voice/voice_runtime.h"

namespace qv {

namespace {

struct TNamedBit {
  uint16_t Bit;
  const char* Name;
};
constexpr TNamedBit kPlayerPrivilegeNames[] = {
    {spSA, "SA"}, {spRegistered, "R"}, {spAllowRegistration, "AR"}, {spCB, "CB"}};
constexpr TNamedBit kChannelPrivilegeNames[] = {
    {cpCA, "CA"}, {cpOP, "OP"}, {cpAutoOP, "AO"}, {cpV, "V"}, {cpAutoV, "AV"}};
constexpr TNamedBit kPlayerFlagNames[] = {{pfChannelCommander, "commander"},
                                          {pfRequestVoice, "requests voice"},
                                          {pfBlockWhispers, "blocks whispers"},
                                          {pfNoVoice, "muted"}};
constexpr TNamedBit kChannelFlagNames[] = {
    {cfUnregistered, "U"}, {cfModerated, "M"}, {cfPassword, "P"}, {cfHierarchical, "S"}, {cfDefault, "D"}};

template <size_t N>
std::string Names(uint16_t bits, const TNamedBit (&table)[N], std::string names = "") {
  for (const TNamedBit& n : table) {
    if (!(bits & n.Bit)) continue;
    if (!names.empty()) names += ' ';
    names += n.Name;
  }
  return names;
}

// The order the clients show channels in: by order, then name, then id.
bool ShownBefore(const TLiveChannel& a, const TLiveChannel& b) {
  return std::tie(a.Order, a.Name, a.Id) < std::tie(b.Order, b.Name, b.Id);
}

std::string Num(uint64_t n) { return std::to_string(n); }

// One cell; its label names the column on a narrow screen.
std::string Cell(const char* label, const std::string& content, const char* cls = nullptr) {
  return std::string("<td") + (cls ? std::string(" class=\"") + cls + "\"" : "") + " data-label=\"" + label + "\">" +
         content + "</td>";
}

std::string PlayerRow(const TLivePlayer& p, bool withAddresses, const TPageValue& value) {
  std::string row =
      "<tr data-player=\"" + Num(p.Id) + "\">" + Cell("Nick name", value(p.NickName), "name") +
      Cell("Account", value(p.LoginName)) + Cell("Privileges", value(PrivilegeNames(p))) +
      Cell("Flags", value(PlayerFlagNames(p.PlayerFlags))) +
      Cell("Connected / idle", FormatUptime(p.ConnectedSeconds) + " / " + FormatUptime(p.IdleSeconds), "num");
  if (withAddresses)
    row += Cell("Address", value(p.Address)) + Cell("Ping", p.Ping < 0 ? "" : Num(p.Ping) + " ms", "num");
  return row + Cell("Packets in / out", Num(p.PacketsIn) + " / " + Num(p.PacketsOut), "num") +
         Cell("Bytes in / out", Num(p.BytesIn) + " / " + Num(p.BytesOut), "num") + "</tr>\n";
}

}  // namespace

std::string PrivilegeNames(const TLivePlayer& player) {
  return Names(player.ChannelPrivileges, kChannelPrivilegeNames, Names(player.PlayerPrivileges, kPlayerPrivilegeNames));
}
std::string PlayerFlagNames(uint16_t flags) { return Names(flags, kPlayerFlagNames); }
std::string ChannelFlagNames(uint16_t flags) { return Names(flags, kChannelFlagNames); }

std::optional<TLiveView> SnapshotServer(const TServerObject& server, bool withAddresses) {
  if (!server.Clients || !server.Channels) return std::nullopt;
  const TBufferLease buffer(server);
  if (!buffer) return std::nullopt;
  TLiveView view;
  const TBufferStatistics stats = buffer->GetStatistics();
  view.PacketsIn = stats.PacketsReceived;
  view.PacketsOut = stats.PacketsSent;
  view.BytesIn = stats.BytesReceived;
  view.BytesOut = stats.BytesSent;
  const TDateTime now = Now();
  std::map<int32_t, std::vector<TLivePlayer>> byChannel;
  std::vector<TLiveChannel> top, sub;
  {
    std::lock_guard<TClients> players(*server.Clients);
    std::lock_guard<TChannels> channels(*server.Channels);
    view.PlayerCount = server.Clients->Count();
    for (const auto& rec : server.Clients->Items()) {
      TLivePlayer p;
      p.Id = rec->PlayerId;
      p.ChannelId = rec->ChannelId;
      p.NickName = rec->NickName.str();
      p.LoginName = rec->IsRegistered() ? rec->LoginName.str() : "";
      p.PlayerPrivileges = rec->PlayerPrivileges;
      p.ChannelPrivileges = rec->ChannelPrivileges;
      p.PlayerFlags = rec->PlayerFlags;
      p.ConnectedSeconds = SecondsBetween(now, rec->LoginTime);
      p.IdleSeconds = SecondsBetween(now, rec->LastActivity);
      const TConnectionInfo c = buffer->GetConnectionInfo(rec->PlayerId);
      p.PacketsIn = c.PacketsReceived;
      p.PacketsOut = c.PacketsSent;
      p.BytesIn = c.BytesReceived;
      p.BytesOut = c.BytesSent;
      if (withAddresses && c.ConnectionId != 0) {
        p.Address = c.Ip;
        p.Ping = static_cast<int32_t>(c.AverageRoundTrip);
      }
      byChannel[p.ChannelId].push_back(std::move(p));
    }
    for (const auto& c : server.Channels->Items()) {
      TLiveChannel channel;
      channel.Id = c->Id;
      channel.ParentId = c->ParentId;
      channel.Depth = c->IsSubChannel() ? 1 : 0;
      channel.Name = c->Name;
      channel.Topic = c->Topic;
      channel.Flags = c->Flags;
      channel.Codec = c->Codec;
      channel.Order = c->Order;
      channel.MaxUsers = c->MaxUsers;
      (c->IsSubChannel() ? sub : top).push_back(std::move(channel));
    }
  }
  std::sort(top.begin(), top.end(), ShownBefore);
  std::sort(sub.begin(), sub.end(), ShownBefore);
  for (TLiveChannel& parent : top) {
    const int32_t parentId = parent.Id;
    view.Channels.push_back(std::move(parent));
    for (TLiveChannel& child : sub)
      if (child.ParentId == parentId) view.Channels.push_back(std::move(child));
  }
  for (TLiveChannel& channel : view.Channels) channel.Players = std::move(byChannel[channel.Id]);
  return view;
}

std::string RenderLiveView(const TLiveView& view, const TPageValue& value) {
  const bool withAddresses = std::any_of(view.Channels.begin(), view.Channels.end(), [](const TLiveChannel& c) {
    return std::any_of(c.Players.begin(), c.Players.end(), [](const TLivePlayer& p) { return p.Ping >= 0; });
  });
  std::string out = "<p class=\"lv-totals\">" + Num(static_cast<uint64_t>(view.PlayerCount)) + " players in " +
                    Num(view.Channels.size()) + " channels; packets in / out " + Num(view.PacketsIn) + " / " +
                    Num(view.PacketsOut) + ", bytes in / out " + Num(view.BytesIn) + " / " + Num(view.BytesOut) +
                    "</p>\n";
  for (const TLiveChannel& c : view.Channels) {
    const std::string codec = c.Codec < kCodecCount ? kCodecTable[c.Codec].Name : Num(c.Codec);
    out += "<div class=\"lv-channel" + std::string(c.Depth ? " lv-sub" : "") + "\" data-channel=\"" +
           std::to_string(c.Id) + "\">\n<div class=\"lv-head\"><span class=\"lv-name\">" + value(c.Name) +
           "</span> <span class=\"lv-flags\">" + value(ChannelFlagNames(c.Flags)) +
           "</span> <span class=\"lv-count\">" + Num(c.Players.size()) + " / " + Num(c.MaxUsers) +
           "</span> <span class=\"lv-codec\">" + value(codec) + "</span> <span class=\"lv-order\">order " +
           Num(c.Order) + "</span>";
    if (!c.Topic.empty()) out += "<span class=\"lv-topic\">" + value(c.Topic) + "</span>";
    out += "</div>\n";
    if (!c.Players.empty()) {
      out +=
          "<div class=\"table-wrap\"><table class=\"list lv-players\"><thead><tr><th>Nick name</th><th>Account</th>"
          "<th>Privileges</th><th>Flags</th><th>Connected / idle</th>";
      if (withAddresses) out += "<th>Address</th><th>Ping</th>";
      out += "<th>Packets in / out</th><th>Bytes in / out</th></tr></thead><tbody>\n";
      for (const TLivePlayer& p : c.Players) out += PlayerRow(p, withAddresses, value);
      out += "</tbody></table></div>\n";
    }
    out += "</div>\n";
  }
  return out;
}

std::string RenderPlayerOptions(const TLiveView& view, const TPageValue& value) {
  std::string out;
  for (const TLiveChannel& c : view.Channels)
    for (const TLivePlayer& p : c.Players)
      out += "<option value=\"" + Num(p.Id) + "\">" + value(p.NickName) + " (" + value(c.Name) + ")</option>\n";
  return out;
}

std::string RenderChannelOptions(const TLiveView& view, const TPageValue& value) {
  std::string out;
  for (const TLiveChannel& c : view.Channels)
    out += "<option value=\"" + std::to_string(c.Id) + "\">" + (c.Depth ? "&nbsp;&nbsp;" : "") + value(c.Name) +
           "</option>\n";
  return out;
}

std::string RenderBans(const std::vector<TBanEntry>& bans, const TPageValue& value) {
  const std::string format = GetSettings().DateTimeFormat;
  std::string out;
  for (const TBanEntry& b : bans) {
    const std::string remaining = b.RemainingMinutes == kBanForever ? "no end"
                                  : b.RemainingMinutes == 0         ? "ended"
                                                                    : Num(b.RemainingMinutes) + " min";
    out += "<tr><td>" + value(b.Address) + "</td><td>" + value(b.CreatedBy) + "</td><td>" +
           value(FormatDateTime(format, b.Created)) + "</td><td>" + value(remaining) +
           "</td><td class=\"actions\"><form method=\"post\" action=\"unban.qvcmd\"><input type=\"hidden\" "
           "name=\"address\" value=\"" +
           value(b.Address) + "\"><button type=\"submit\" class=\"btn-sm btn-ghost\">Unban</button></form></td></tr>\n";
  }
  return out;
}

}  // namespace qv
