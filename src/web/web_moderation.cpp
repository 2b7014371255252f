#include "web/web_moderation.h"

#include <algorithm>
#include <optional>

#include "base/text_utils.h"
#include "model/security.h"
#include "model/server_moderation.h"
#include "protocol/protocol_errors.h"
#include "web/web_access.h"
#include "web/web_live.h"

namespace qv {

namespace {

constexpr const char* kInvalidPermissions = "invalid permissions";

std::shared_ptr<TServerObject> RunningServer(const TAction& a) {
  return a.Request.Context.Registry ? a.Request.Context.Registry->FindServer(a.ServerId) : nullptr;
}

// A whole number of the field within [low, high]; nullopt when the field is
// empty, no number, or outside.
std::optional<int64_t> NumberField(const TAction& a, std::string_view name, int64_t low, int64_t high) {
  const std::optional<int64_t> n = ParseInt(Trim(a.Field(name)));
  if (!n || *n < low || *n > high) return std::nullopt;
  return n;
}
int32_t IdField(const TAction& a, std::string_view name) {
  return static_cast<int32_t>(NumberField(a, name, -1, INT32_MAX).value_or(0));
}

// The result in an OK box (0) or an error box, leading back to the page.
void Outcome(TAction& a, std::string_view what, int32_t result) {
  const std::string text = std::string(what) + ": " + ModerationResultText(result);
  if (result == 0) return OkBox(a.Reply(), text, a.Back());
  ErrorBox(a.Reply(), text, a.Back());
}

// Runs fn on the running server and shows its result; an error box when
// the server does not run.
template <typename TFn>
void OnServer(TAction& a, std::string_view what, TFn fn) {
  auto server = RunningServer(a);
  Outcome(a, what, server ? fn(*server) : kNoResult);
}

bool Refused(TAction& a, bool allowed) {
  if (!allowed) ErrorBox(a.Reply(), kInvalidPermissions, a.Back());
  return !allowed;
}

std::string WebAuthor(const TAction& a) { return a.Session().Get("username"); }

// A yes/no select: nullopt for "" (keep), else the choice.
std::optional<bool> Choice(const TAction& a, std::string_view name) {
  const std::string v = Trim(a.Field(name));
  if (v.empty()) return std::nullopt;
  return v == "1";
}

uint16_t WithFlag(uint16_t flags, uint16_t bit, std::optional<bool> on) {
  if (!on) return flags;
  return static_cast<uint16_t>(*on ? (flags | bit) : (flags & ~bit));
}

// The channel flags the form asks for, starting from flags.
uint16_t FormFlags(const TAction& a, uint16_t flags) {
  if (const auto registered = Choice(a, "registered")) flags = WithFlag(flags, cfUnregistered, !*registered);
  flags = WithFlag(flags, cfModerated, Choice(a, "moderated"));
  flags = WithFlag(flags, cfHierarchical, Choice(a, "subchannels"));
  return WithFlag(flags, cfDefault, Choice(a, "default"));
}

// The rights a change of channel flags needs, as for the client's
// properties command.
bool MayChangeFlags(const TAction& a, uint16_t old, uint16_t now) {
  const uint16_t changed = old ^ now;
  const TWebRequest& r = a.Request;
  if ((changed & cfUnregistered) && !HasWebRight(r, upChannelCreateRegisterred)) return false;
  if ((now & ~old & cfUnregistered) && !HasWebRight(r, upChannelCreateUnregisterred)) return false;
  if ((changed & cfModerated) && !HasWebRight(r, upChannelCreateModerated)) return false;
  if ((changed & cfHierarchical) && !HasWebRight(r, upChannelCreateSubchannels)) return false;
  return !(now & ~old & cfDefault) || HasWebRight(r, upChannelCreateDefault);
}

std::optional<TLiveChannel> FindChannel(const TServerObject& server, int32_t id) {
  const std::optional<TLiveView> view = SnapshotServer(server, false);
  if (!view) return std::nullopt;
  const auto it =
      std::find_if(view->Channels.begin(), view->Channels.end(), [id](const TLiveChannel& c) { return c.Id == id; });
  if (it == view->Channels.end()) return std::nullopt;
  return *it;
}

}  // namespace

void WebKickFromServer(TAction& a) {
  OnServer(a, "kick", [&](TServerObject& s) { return KickFromServer(s, IdField(a, "player"), a.Field("reason")); });
}

void WebKickFromChannel(TAction& a) {
  OnServer(a, "kick from the channel",
           [&](TServerObject& s) { return KickFromChannel(s, IdField(a, "player"), a.Field("reason")); });
}

void WebMovePlayer(TAction& a) {
  OnServer(a, "move", [&](TServerObject& s) { return MoveToChannel(s, IdField(a, "player"), IdField(a, "channel")); });
}

void WebBanPlayer(TAction& a) {
  const std::optional<int64_t> minutes = NumberField(a, "minutes", 0, kBanMinutesMax);
  if (!minutes) return Outcome(a, "ban", peBadArgument);
  OnServer(a, "ban", [&](TServerObject& s) {
    return BanPlayer(s, IdField(a, "player"), static_cast<uint32_t>(*minutes), a.Field("reason"), WebAuthor(a));
  });
}

void WebUnban(TAction& a) {
  OnServer(a, "unban", [&](TServerObject& s) { return Unban(s, Trim(a.Field("address"))); });
}

void WebSendText(TAction& a) {
  const std::string to = a.Field("to");
  const TUserPermissions right = to == "player"    ? upSendTextToPlayer
                                 : to == "channel" ? upSendTextToAllChannel
                                                   : upSendTextToAll;
  if (Refused(a, HasWebRight(a.Request, right))) return;
  const std::string text = a.Field("text");
  OnServer(a, "message", [&](TServerObject& s) {
    if (to == "player") return SendTextToPlayer(s, IdField(a, "player"), WebAuthor(a), text);
    if (to == "channel") return SendTextToChannel(s, IdField(a, "channel"), WebAuthor(a), text);
    return SendTextToAll(s, WebAuthor(a), text);
  });
}

namespace {

// The form's channel fields over base; changes gets the fields given. False
// (after the error box) for a number out of range.
bool ReadChannelFields(TAction& a, TChannelFields& f, uint16_t& changes) {
  struct TNumber {
    const char* Field;
    uint16_t TChannelFields::*Value;
    int64_t High;
    uint16_t Change;
  };
  static constexpr TNumber kNumbers[] = {{"codec", &TChannelFields::Codec, kCodecCount - 1, chfCodec},
                                         {"maxusers", &TChannelFields::MaxUsers, 65535, chfMaxUsers},
                                         {"order", &TChannelFields::Order, 65535, chfOrder}};
  for (const TNumber& n : kNumbers) {
    if (Trim(a.Field(n.Field)).empty()) continue;
    const std::optional<int64_t> v = NumberField(a, n.Field, 0, n.High);
    if (!v) {
      Outcome(a, std::string("channel ") + n.Field, peBadArgument);
      return false;
    }
    f.*n.Value = static_cast<uint16_t>(*v);
    changes |= n.Change;
  }
  struct TText {
    const char* Field;
    std::string TChannelFields::*Value;
    uint16_t Change;
  };
  static constexpr TText kTexts[] = {{"name", &TChannelFields::Name, chfName},
                                     {"topic", &TChannelFields::Topic, chfTopic},
                                     {"description", &TChannelFields::Description, chfDescription},
                                     {"password", &TChannelFields::Password, chfPassword}};
  for (const TText& t : kTexts) {
    const std::string v = a.Field(t.Field);
    if (v.empty()) continue;
    f.*t.Value = v;
    changes |= t.Change;
  }
  if (a.Field("nopassword") == "1") {
    f.Password.clear();
    changes |= chfPassword;
  }
  return true;
}

}  // namespace

void WebCreateChannel(TAction& a) {
  TChannelFields f;
  uint16_t given = 0;
  f.ParentId = IdField(a, "parent");
  if (f.ParentId == 0) f.ParentId = -1;
  f.MaxUsers = a.Settings.MaxUsers;
  f.Codec = 0;
  while (f.Codec + 1 < kCodecCount && !a.Settings.AllowCodec[f.Codec]) ++f.Codec;
  if (!ReadChannelFields(a, f, given)) return;
  f.Flags = FormFlags(a, 0);
  if (!f.Password.empty()) f.Flags |= cfPassword;
  const TWebRequest& r = a.Request;
  const bool allowed = HasWebRight(r, upChannelCreateRegisterred) &&
                       (f.Flags & cfUnregistered ? HasWebRight(r, upChannelCreateUnregisterred) : true) &&
                       (f.ParentId == -1 || HasWebRight(r, upChannelCreateSubchannels)) &&
                       (!(f.Flags & cfModerated) || HasWebRight(r, upChannelCreateModerated)) &&
                       (!(f.Flags & cfDefault) || HasWebRight(r, upChannelCreateDefault)) &&
                       (f.Password.empty() || HasWebRight(r, upChannelEditPassword));
  if (Refused(a, allowed)) return;
  OnServer(a, "channel create", [&](TServerObject& s) { return CreateChannel(s, f); });
}

void WebEditChannel(TAction& a) {
  auto server = RunningServer(a);
  if (!server) return Outcome(a, "channel edit", kNoResult);
  const int32_t id = IdField(a, "channel");
  const std::optional<TLiveChannel> old = FindChannel(*server, id);
  if (!old) return Outcome(a, "channel edit", peChannelIdNotFound);
  TChannelFields f;
  f.Name = old->Name;
  f.Topic = old->Topic;
  f.Codec = old->Codec;
  f.MaxUsers = old->MaxUsers;
  f.Order = old->Order;
  uint16_t changes = 0;
  if (!ReadChannelFields(a, f, changes)) return;
  f.Flags = FormFlags(a, old->Flags);
  if (changes & chfPassword) f.Flags = WithFlag(f.Flags, cfPassword, !f.Password.empty());
  if (f.Flags != old->Flags) changes |= chfFlags;
  struct TFieldRight {
    uint16_t Change;
    TUserPermissions Right;
  };
  static constexpr TFieldRight kRights[] = {
      {chfName, upChannelEditName},         {chfTopic, upChannelEditTopic}, {chfDescription, upChannelEditDescription},
      {chfPassword, upChannelEditPassword}, {chfCodec, upChannelEditCodec}, {chfMaxUsers, upChannelEditMaxUsers},
      {chfOrder, upChannelEditOrder}};
  bool allowed =
      MayChangeFlags(a, static_cast<uint16_t>(old->Flags & ~cfPassword), static_cast<uint16_t>(f.Flags & ~cfPassword));
  for (const TFieldRight& fr : kRights)
    allowed = allowed && (!(changes & fr.Change) || HasWebRight(a.Request, fr.Right));
  if (Refused(a, allowed)) return;
  if (changes == 0) return Outcome(a, "channel edit", 0);
  Outcome(a, "channel edit", EditChannel(*server, id, f, changes));
}

void WebDeleteChannel(TAction& a) {
  OnServer(a, "channel delete", [&](TServerObject& s) { return DeleteChannel(s, IdField(a, "channel")); });
}

void WebPlayerPrivilege(TAction& a) {
  struct TPrivilege {
    const char* Name;
    uint16_t Channel;  // 0: server admin
    TUserPermissions Grant, Revoke;
  };
  static constexpr TPrivilege kPrivileges[] = {{"sa", 0, upPrivilegeGrantSA, upPrivilegeRevokeSA},
                                               {"ca", cpCA, upPrivilegeGrantCA, upPrivilegeRevokeCA},
                                               {"op", cpOP, upPrivilegeGrantOp, upPrivilegeRevokeOp},
                                               {"v", cpV, upPrivilegeGrantV, upPrivilegeRevokeV}};
  const std::string name = LowerCase(Trim(a.Field("privilege")));
  const auto p =
      std::find_if(std::begin(kPrivileges), std::end(kPrivileges), [&](const TPrivilege& k) { return name == k.Name; });
  if (p == std::end(kPrivileges)) return Outcome(a, "privilege", peBadArgument);
  const bool grant = a.Field("grant") == "1";
  if (Refused(a, HasWebRight(a.Request, grant ? p->Grant : p->Revoke))) return;
  OnServer(a, grant ? "grant" : "revoke", [&](TServerObject& s) {
    const int32_t player = IdField(a, "player");
    return p->Channel ? SetChannelPrivilege(s, player, p->Channel, grant) : SetServerAdmin(s, player, grant);
  });
}

}  // namespace qv
