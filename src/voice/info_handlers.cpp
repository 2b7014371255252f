// IP bans, information requests and text messages.
//
// Every handler reads the whole request before it checks rights or changes
// anything, so a truncated request ends in EStreamError (logged) without a
// trace in the server's state.
#include <cmath>

#include <fmt/format.h>

#include "base/date_time.h"
#include "base/log.h"
#include "protocol/command_types.h"
#include "protocol/single_connection.h"
#include "protocol/text_message.h"
#include "voice/info_handlers.h"
#include "voice/permission_checks.h"
#include "protocol/protocol_errors.h"
#include "voice/view_notifications.h"
#include "voice/wire_layouts.h"

namespace qv::voice {

namespace {

TPacketPtr NewConnectionInfoReply(TListenerContext& ctx, const TClientRec& to, const TClientRec& about);
void StoreBan(TListenerContext& ctx, const std::string& by, const std::string& ip, uint16_t minutes);
void RemoveBannedPlayer(TListenerContext& ctx, TClientRec& target, std::string_view reason, uint32_t actingPlayerId);

// The longest command a client takes in one piece; replies stay within it.
constexpr size_t kMaxReply = TSingleConnection::kMaxMessageSize;

// The width of the stored address column: a longer text is no address.
constexpr size_t kMaxBanIpText = 64;
constexpr size_t kMaxBannedByText = 60;

uint32_t Rounded(float rate) { return rate <= 0 ? 0 : static_cast<uint32_t>(std::lround(rate)); }

// "nick[login]"; the brackets stay empty for an anonymous player.
std::string BannedByText(const TClientRec& by) {
  std::string text = fmt::format("{}[{}]", by.NickName.str(), by.LoginName.str());
  if (text.size() > kMaxBannedByText) text.resize(kMaxBannedByText);
  return text;
}

bool UsableBanIp(const std::string& ip) { return !ip.empty() && ip.size() <= kMaxBanIpText; }

// One u64 field that carries a 32-bit count.
void SetU64(TPacket& p, size_t offset, uint64_t value) {
  p.SetU32(offset, static_cast<uint32_t>(value));
  p.SetU32(offset + 4, static_cast<uint32_t>(value >> 32));
}

}  // namespace

// ---------------------------------------------------------------------------
// Text messages

int32_t CMD_cs_InfoSendText(TListenerContext& ctx, TClientRec* requester, TPacket& p) {
  const uint32_t value = p.GetU32(SendTextLayout::Value);
  const uint8_t kind = p.GetU8(SendTextLayout::TargetKind);
  const uint32_t targetId = p.GetU32(SendTextLayout::TargetId);
  bool allowed = true;
  if (kind == tkPlayer) {
    allowed = HasPermission(ctx, requester, upSendTextToPlayer);
  } else if (kind == tkChannel) {
    const bool own = static_cast<int32_t>(targetId) == requester->ChannelId;
    allowed = HasPermission(ctx, requester, upSendTextToAllChannel) ||
              (own && HasPermission(ctx, requester, upSendTextToOwnChannel));
  } else if (kind == tkEverybody) {
    allowed = HasPermission(ctx, requester, upSendTextToAll);
  }
  if (!allowed) return peInsufficientPermission;
  p.SetPosition(SendTextLayout::Text);
  const std::string text = p.ReadCString();
  SendTextMessage(ctx, requester->NickName.str(), value, kind, targetId, text);
  return 0;
}

// A target that does not exist, and an unknown kind, reach nobody.
void SendTextMessage(TListenerContext& ctx, std::string_view senderNick, uint32_t value, uint8_t kind,
                     uint32_t targetId, std::string_view text) {
  auto send = [&](const TClientRec& to) {
    ctx.SendPacket(NewTextMessagePacket(to.ConnectionId, to.PlayerId, value, kind, senderNick, text));
  };
  if (kind == tkEverybody) {
    for (const auto& player : ctx.Clients().Items()) send(*player);
  } else if (kind == tkChannel) {
    if (const TChannelRec* channel = ctx.Channels().GetChannelById(static_cast<int32_t>(targetId))) {
      for (const TClientRec* member : channel->Members) send(*member);
    }
  } else if (kind == tkPlayer) {
    if (const TClientRec* target = ctx.Clients().GetClientByID(targetId)) send(*target);
  }
}

// ---------------------------------------------------------------------------
// Information requests

int32_t CMD_cs_InfoRequestPlayerConnectionInfoOnId(TListenerContext& ctx, TClientRec* requester, TPacket& p) {
  const TClientRec* target = ctx.Clients().GetClientByID(p.GetU32(ConnectionInfoRequestLayout::PlayerId));
  if (!target) return pePlayerIdNotFound;
  ctx.SendPacket(NewConnectionInfoReply(ctx, *requester, *target));
  return 0;
}

// Address and port of another player are for server admins only.
namespace {

TPacketPtr NewConnectionInfoReply(TListenerContext& ctx, const TClientRec& to, const TClientRec& about) {
  using L = ConnectionInfoLayout;
  const TConnectionInfo info = ctx.Buffer().GetConnectionInfo(about.PlayerId);
  const bool admin = (to.PlayerPrivileges & spSA) != 0;
  const TDateTime now = Now();
  TPacketPtr r = NewCommandPacket(qv::CMD_sc_InfoReplyPlayerConnectionInfo, to.ConnectionId, to.PlayerId);
  r->SetSize(L::Size);
  r->SetU32(L::PlayerId, about.PlayerId);
  r->SetU32(L::OnlineSeconds, SecondsBetween(now, about.LoginTime));
  r->SetU16(L::PacketLoss, static_cast<uint16_t>(std::min<uint32_t>(info.PacketLoss, 0xFFFF)));
  r->SetU16(L::RoundTrip, static_cast<uint16_t>(std::min<uint32_t>(info.AverageRoundTrip, 0xFFFF)));
  r->SetU32(L::IdleSeconds, SecondsBetween(now, about.LastActivity));
  for (size_t i = 0; i < about.ClientVersion.size(); ++i) r->SetU16(L::Version + 2 * i, about.ClientVersion[i]);
  r->SetU32(L::PacketsSent, info.PacketsSent);
  r->SetU32(L::BytesSent, info.BytesSent);
  r->SetU32(L::PacketsReceived, info.PacketsReceived);
  r->SetU32(L::BytesReceived, info.BytesReceived);
  r->SetPosition(L::Ip);
  r->WriteText(admin ? info.Ip : std::string(), kShortTextField);
  r->SetU16(L::Port, admin ? info.Port : 0);
  r->SetPosition(L::LoginName);
  r->WriteText(about.LoginName, kShortTextField);
  r->SetU32(L::ChannelId, static_cast<uint32_t>(about.ChannelId));
  r->SetU16(L::ChannelPrivileges, about.ChannelPrivileges);
  r->SetU16(L::PlayerPrivileges, about.PlayerPrivileges);
  r->SetPosition(L::Platform);
  r->WriteText(about.ClientPlatform, kShortTextField);
  return r;
}

}  // namespace

int32_t CMD_cs_InfoRequestServerInfo(TListenerContext& ctx, TClientRec* requester, TPacket&) {
  using L = ServerInfoLayout;
  const TBufferStatistics stats = ctx.Buffer().GetStatistics();
  const TServerSettings settings = ctx.Server().Settings();
  TPacketPtr r = NewCommandPacket(qv::CMD_sc_InfoReplyServerInfo, requester->ConnectionId, requester->PlayerId);
  r->SetSize(L::Size);
  r->SetU32(L::Uptime, ctx.Server().Uptime());
  for (size_t i = 0; i < settings.Version.size(); ++i) r->SetU16(L::Version + 2 * i, settings.Version[i]);
  r->SetU32(L::Players, static_cast<uint32_t>(ctx.Clients().Count()));
  SetU64(*r, L::PacketsReceived, stats.PacketsReceived);
  SetU64(*r, L::BytesReceived, stats.BytesReceived);
  SetU64(*r, L::PacketsSent, stats.PacketsSent);
  SetU64(*r, L::BytesSent, stats.BytesSent);
  r->SetU32(L::InPerSecond, Rounded(stats.Incoming.PerSecond));
  r->SetU32(L::OutPerSecond, Rounded(stats.Outgoing.PerSecond));
  r->SetU32(L::InPerMinute, Rounded(stats.Incoming.PerMinute));
  r->SetU32(L::OutPerMinute, Rounded(stats.Outgoing.PerMinute));
  r->SetU32(L::Logins, ctx.Server().LoginsSinceNotify.load());
  ctx.SendPacket(std::move(r));
  return 0;
}

int32_t CMD_cs_InfoRequestBanIpList(TListenerContext& ctx, TClientRec* requester, TPacket&) {
  TPacketPtr r = NewCommandPacket(qv::CMD_sc_InfoReplyBanIpList, requester->ConnectionId, requester->PlayerId);
  r->WriteU32(0);
  uint32_t count = 0;
  {
    std::lock_guard<std::mutex> lock(ctx.Server().Lock);
    const TStorageContainer* bans = ctx.Server().Bans.get();
    // A list too long for one reply ends with the last ban that fits; the
    // count says how many the reply holds.
    for (size_t i = 0; bans && i < bans->Count(); ++i) {
      const TStorageRow& row = bans->RowAt(i);
      const std::string ip = row.AsString("s_ban_ip");
      const std::string by = row.AsString("s_ban_by");
      if (r->Size() + ip.size() + by.size() + 4 > kMaxReply) break;
      r->WriteCString(ip);
      r->WriteU16(static_cast<uint16_t>(row.AsInteger("i_ban_minutes")));
      r->WriteCString(by);
      ++count;
    }
  }
  r->SetU32(24, count);
  ctx.SendPacket(std::move(r));
  return 0;
}

// ---------------------------------------------------------------------------
// Bans

int32_t CMD_cs_PlayerBanIp(TListenerContext& ctx, TClientRec* requester, TPacket& p) {
  p.SetPosition(BanIpLayout::Ip);
  const std::string ip = p.ReadCString();
  if (!HasPermission(ctx, requester, upAdminBanIp)) return peInsufficientPermission;
  if (!UsableBanIp(ip)) return 0;
  StoreBan(ctx, BannedByText(*requester), ip, 0);
  return 0;
}

int32_t CMD_cs_PlayerBanIpPlayer(TListenerContext& ctx, TClientRec* requester, TPacket& p) {
  const uint32_t targetId = p.GetU32(BanIpPlayerLayout::PlayerId);
  const uint16_t minutes = p.GetU16(BanIpPlayerLayout::Minutes);
  p.SetPosition(BanIpPlayerLayout::Reason);
  const std::string reason = p.ReadText(kShortTextField);
  TClientRec* target = ctx.Clients().GetClientByID(targetId);
  int32_t refusal = 0;
  if (!HasPermission(ctx, requester, upAdminBanIp)) {
    refusal = peInsufficientPermission;
  } else if (!target) {
    refusal = pePlayerIdNotFound;
  } else if ((target->PlayerPrivileges & spSA) && !(requester->PlayerPrivileges & spSA)) {
    refusal = peInsufficientPermission;
  }
  if (refusal != 0) return refusal;
  BanAndRemovePlayer(ctx, *target, minutes, reason, BannedByText(*requester), requester->PlayerId);
  return 0;
}

void BanAndRemovePlayer(TListenerContext& ctx, TClientRec& target, uint16_t minutes, std::string_view reason,
                        const std::string& bannedBy, uint32_t originator) {
  const std::string ip = ctx.Buffer().GetConnectionInfo(target.PlayerId).Ip;
  if (UsableBanIp(ip)) StoreBan(ctx, bannedBy, ip, minutes);
  RemoveBannedPlayer(ctx, target, reason, originator);
}

// The player's own copy of the notification ends his connection; one whose
// login has not completed yet is not announced to anybody but still goes.
namespace {

void RemoveBannedPlayer(TListenerContext& ctx, TClientRec& target, std::string_view reason, uint32_t actingPlayerId) {
  NotifyPlayerLeftScope(ctx, target.PlayerId, lrKicked, reason, actingPlayerId);
  if (target.Removing) return;
  target.Removing = true;
  ctx.SendPacket(NewLeftScopePacket(target, target.PlayerId, lrKicked, reason, actingPlayerId), true);
}

}  // namespace

int32_t CMD_cs_PlayerUnbanIp(TListenerContext& ctx, TClientRec* requester, TPacket& p) {
  p.SetPosition(UnbanIpLayout::Ip);
  const std::string ip = p.ReadCString();
  if (!HasPermission(ctx, requester, upAdminBanIp)) return peInsufficientPermission;
  if (!UsableBanIp(ip)) return 0;
  const TScriptStorage& storage = ctx.Server().Storage;
  if (storage.Valid()) {
    TStorageLock lock(*storage);
    if (storage.Load("delete_ban_ip.sql")) {
      storage->SetParamInteger(":iServerID", ctx.Server().ServerId);
      storage->SetParamString(":sIP", ip);
      storage->ExecSQL();
    }
  }
  ctx.Server().ReloadBans();
  return 0;
}

// Stores the ban and rereads the ban list, so that the next login from the
// address is refused at once.
namespace {

void StoreBan(TListenerContext& ctx, const std::string& by, const std::string& ip, uint16_t minutes) {
  const TScriptStorage& storage = ctx.Server().Storage;
  if (storage.Valid()) {
    TStorageLock lock(*storage);
    if (storage.Load("new_ban.sql")) {
      storage->SetParamInteger(":iServerID", ctx.Server().ServerId);
      storage->SetParamString(":sBy", by);
      storage->SetParamString(":sIP", ip);
      storage->SetParamDateTime(":dtCreated", Now());
      storage->SetParamInteger(":iMinutes", minutes);
      storage->ExecSQL();
    }
  }
  ctx.Server().ReloadBans();
}

}  // namespace

}  // namespace qv::voice
