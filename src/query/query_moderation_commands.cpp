#include "query/query_moderation_commands.h"

#include <mutex>

#include "base/date_time.h"
#include "base/text_utils.h"
#include "model/server_moderation.h"
#include "model/server_types.h"
#include "protocol/protocol_errors.h"

namespace qv {

namespace {

const TQueryReply kNoPermission = Error("invalid permissions");
const TQueryReply kBadNumber = Error("invalid number format");

// The name the players see as the sender and banner: the account's login.
std::string QueryNick(const TQueryRequest& r) {
  return "telnet." + (r.Session.Account ? r.Session.Account->LoginName.str() : std::string());
}
std::string BannedBy(const TQueryRequest& r) {
  const std::string login = r.Session.Account ? r.Session.Account->LoginName.str() : std::string();
  return "telnet." + login + "[" + login + "]";
}

bool Allowed(const TQueryRequest& r, TUserPermissions right) { return r.Session.HasRight(right, *r.Server); }

// A number from `min` to `max`; nullopt otherwise.
std::optional<int32_t> ParseRange(std::string_view text, int32_t min, int32_t max) {
  const std::optional<int32_t> value = ParseId(text);
  if (!value || *value < min || *value > max) return std::nullopt;
  return value;
}

// --- chedit and chcreate ---

struct TFlagLetter {
  char Letter;
  uint16_t Flag;
  TUserPermissions SetRight, ClearRight;
};
constexpr TFlagLetter kFlagLetters[] = {
    {'U', cfUnregistered, upChannelCreateUnregisterred, upChannelCreateRegisterred},
    {'M', cfModerated, upChannelCreateModerated, upChannelCreateModerated},
    {'H', cfHierarchical, upChannelCreateSubchannels, upChannelCreateSubchannels},
    {'D', cfDefault, upChannelCreateDefault, upChannelCreateDefault},
};

// "UMHD" letters in any order and case, or "-" for none.
std::optional<uint16_t> ParseFlags(std::string_view text) {
  if (text == "-") return uint16_t{0};
  if (text.empty()) return std::nullopt;
  uint16_t flags = 0;
  for (char c : text) {
    bool known = false;
    for (const TFlagLetter& f : kFlagLetters) {
      if (f.Letter != (c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c)) continue;
      known = true;
      flags |= f.Flag;
    }
    if (!known) return std::nullopt;
  }
  return flags;
}

// The right of a key; the flags are checked by the flags they change.
constexpr auto kRightOfFlags = static_cast<TUserPermissions>(kUserPermissionCount);

struct TChannelKey {
  const char* Key;
  uint16_t Field;
  TUserPermissions Right;  // kRightOfFlags for the flags
};
constexpr TChannelKey kChannelKeys[] = {
    {"channel_name", chfName, upChannelEditName},
    {"channel_topic", chfTopic, upChannelEditTopic},
    {"channel_description", chfDescription, upChannelEditDescription},
    {"channel_password", chfPassword, upChannelEditPassword},
    {"channel_codec", chfCodec, upChannelEditCodec},
    {"channel_maxusers", chfMaxUsers, upChannelEditMaxUsers},
    {"channel_order", chfOrder, upChannelEditOrder},
    {"channel_flags", chfFlags, kRightOfFlags},
};

// The channel's flags now; nullopt when it does not exist.
std::optional<uint16_t> ChannelFlags(const TQueryRequest& r, int32_t channelId) {
  if (!Live(r.Server)) return std::nullopt;
  std::lock_guard<TClients> players(*r.Server->Clients);
  std::lock_guard<TChannels> channels(*r.Server->Channels);
  const TChannelRec* channel = r.Server->Channels->GetChannelById(channelId);
  if (!channel) return std::nullopt;
  return channel->Flags;
}

// --- privset ---

struct TPrivilegeWord {
  const char* Word;
  uint16_t ChannelPrivilege;  // 0: server admin
  TUserPermissions Grant, Revoke;
};
constexpr TPrivilegeWord kPrivilegeWords[] = {
    {"sa", 0, upPrivilegeGrantSA, upPrivilegeRevokeSA},
    {"ca", cpCA, upPrivilegeGrantCA, upPrivilegeRevokeCA},
    {"op", cpOP, upPrivilegeGrantOp, upPrivilegeRevokeOp},
    {"v", cpV, upPrivilegeGrantV, upPrivilegeRevokeV},
    {"aop", cpAutoOP, upPrivilegeGrantAutoOp, upPrivilegeRevokeAutoOp},
    {"av", cpAutoV, upPrivilegeGrantAutoV, upPrivilegeRevokeAutoV},
};

}  // namespace

// ---------------------------------------------------------------------------
// Players

TQueryReply QueryKick(TQueryRequest& r) {
  const std::optional<int32_t> playerId = ParseId(r.Params[0]);
  if (!playerId) return kBadNumber;
  return ResultReply(KickFromServer(*r.Server, *playerId, JoinParams(r.Params, 1)));
}

TQueryReply QueryKickFromChannel(TQueryRequest& r) {
  const std::optional<int32_t> playerId = ParseId(r.Params[0]);
  if (!playerId) return kBadNumber;
  return ResultReply(KickFromChannel(*r.Server, *playerId, JoinParams(r.Params, 1)));
}

TQueryReply QueryBan(TQueryRequest& r) {
  const std::optional<int32_t> playerId = ParseId(r.Params[0]);
  const std::optional<int32_t> minutes = ParseRange(r.Params[1], 0, static_cast<int32_t>(kBanMinutesMax));
  if (!playerId || !minutes) return kBadNumber;
  return ResultReply(
      BanPlayer(*r.Server, *playerId, static_cast<uint32_t>(*minutes), JoinParams(r.Params, 2), BannedBy(r)));
}

TQueryReply QueryBanAddress(TQueryRequest& r) {
  const std::optional<int32_t> minutes = ParseRange(r.Params[1], 0, static_cast<int32_t>(kBanMinutesMax));
  if (!minutes) return kBadNumber;
  return ResultReply(BanAddress(*r.Server, r.Params[0], static_cast<uint32_t>(*minutes), BannedBy(r)));
}

TQueryReply QueryBanList(TQueryRequest& r) {
  std::string lines = Row({"b_ip", "b_minutes", "b_remaining", "b_created", "b_by"});
  for (const TBanEntry& ban : ListBans(*r.Server)) {
    const std::string remaining = ban.RemainingMinutes == kBanForever ? "-1" : Num(ban.RemainingMinutes);
    lines += Row({QueryText(ban.Address), Num(ban.Minutes), remaining,
                  FormatDateTime("dd-mm-yyyy hh:nn:ss", ban.Created), Quoted(ban.CreatedBy)});
  }
  return Ok(std::move(lines));
}

TQueryReply QueryUnban(TQueryRequest& r) { return ResultReply(Unban(*r.Server, r.Params[0])); }

TQueryReply QueryMessagePlayer(TQueryRequest& r) {
  const std::optional<int32_t> playerId = ParseId(r.Params[0]);
  if (!playerId) return kBadNumber;
  return ResultReply(SendTextToPlayer(*r.Server, *playerId, QueryNick(r), JoinParams(r.Params, 1)));
}

TQueryReply QueryMessageChannel(TQueryRequest& r) {
  const std::optional<int32_t> channelId = ParseId(r.Params[0]);
  if (!channelId) return kBadNumber;
  return ResultReply(SendTextToChannel(*r.Server, *channelId, QueryNick(r), JoinParams(r.Params, 1)));
}

TQueryReply QuerySetPrivilege(TQueryRequest& r) {
  const std::optional<int32_t> playerId = ParseId(r.Params[0]);
  if (!playerId) return kBadNumber;
  const std::string word = LowerCase(r.Params[1]);
  const std::string& value = r.Params[2];
  if (value != "0" && value != "1") return Error("error");
  const bool on = value == "1";
  for (const TPrivilegeWord& p : kPrivilegeWords) {
    if (word != p.Word) continue;
    if (!Allowed(r, on ? p.Grant : p.Revoke)) return kNoPermission;
    return ResultReply(p.ChannelPrivilege == 0 ? SetServerAdmin(*r.Server, *playerId, on)
                                               : SetChannelPrivilege(*r.Server, *playerId, p.ChannelPrivilege, on));
  }
  return Error("error");
}

// ---------------------------------------------------------------------------
// Channels

// chcreate <parent c_id, -1 for a top-level channel> <name>: a registered
// channel with the server's default codec and maximum of users.
TQueryReply QueryChannelCreate(TQueryRequest& r) {
  const std::optional<int32_t> parentId = ParseId(r.Params[0]);
  if (!parentId || (*parentId < 1 && *parentId != -1)) return kBadNumber;
  if (!Allowed(r, *parentId == -1 ? upChannelCreateRegisterred : upChannelCreateSubchannels)) return kNoPermission;
  TChannelFields fields;
  fields.ParentId = *parentId;
  fields.Name = JoinParams(r.Params, 1);
  fields.MaxUsers = r.Server->Settings().MaxUsers;
  if (Live(r.Server)) {
    std::lock_guard<TChannels> channels(*r.Server->Channels);
    fields.Codec = r.Server->Channels->DefaultCodec;
  }
  int32_t id = 0;
  const int32_t result = CreateChannel(*r.Server, fields, &id);
  if (result != 0) return ResultReply(result);
  return Ok(Row({"c_id"}) + Row({Num(id)}));
}

// chedit <c_id> <key> <value>: one field, with the right of that field; the
// flags ("UMHD" letters or "-") with the rights of the flags they change.
TQueryReply QueryChannelEdit(TQueryRequest& r) {
  const std::optional<int32_t> channelId = ParseId(r.Params[0]);
  if (!channelId) return kBadNumber;
  const std::string key = LowerCase(r.Params[1]);
  const std::string value = JoinParams(r.Params, 2);
  const TChannelKey* row = nullptr;
  for (const TChannelKey& k : kChannelKeys) {
    if (key == k.Key) row = &k;
  }
  if (!row) return Error("error");
  if (row->Right != kRightOfFlags && !Allowed(r, row->Right)) return kNoPermission;
  TChannelFields fields;
  switch (row->Field) {
    case chfName: fields.Name = value; break;
    case chfTopic: fields.Topic = value; break;
    case chfDescription: fields.Description = value; break;
    case chfPassword: fields.Password = value; break;
    case chfCodec:
    case chfMaxUsers:
    case chfOrder: {
      const std::optional<int32_t> number = ParseRange(value, 0, row->Field == chfCodec ? kCodecCount - 1 : 0xFFFF);
      if (!number) return kBadNumber;
      const auto n = static_cast<uint16_t>(*number);
      if (row->Field == chfCodec) fields.Codec = n;
      if (row->Field == chfMaxUsers) fields.MaxUsers = n;
      if (row->Field == chfOrder) fields.Order = n;
      break;
    }
    case chfFlags: {
      const std::optional<uint16_t> flags = ParseFlags(value);
      if (!flags) return Error("error");
      // Nobody learns about the channels of a server he may change no flag of.
      bool anyRight = false;
      for (const TFlagLetter& f : kFlagLetters)
        anyRight = anyRight || Allowed(r, f.SetRight) || Allowed(r, f.ClearRight);
      if (!anyRight) return kNoPermission;
      const std::optional<uint16_t> now = ChannelFlags(r, *channelId);
      if (!now) return ResultReply(peChannelIdNotFound);
      for (const TFlagLetter& f : kFlagLetters) {
        const bool was = (*now & f.Flag) != 0, will = (*flags & f.Flag) != 0;
        if (was != will && !Allowed(r, will ? f.SetRight : f.ClearRight)) return kNoPermission;
      }
      // The password flag stays as the password makes it.
      fields.Flags = static_cast<uint16_t>(*flags | (*now & cfPassword));
      break;
    }
  }
  return ResultReply(EditChannel(*r.Server, *channelId, fields, row->Field));
}

TQueryReply QueryChannelDelete(TQueryRequest& r) {
  const std::optional<int32_t> channelId = ParseId(r.Params[0]);
  if (!channelId) return kBadNumber;
  return ResultReply(DeleteChannel(*r.Server, *channelId));
}

}  // namespace qv
