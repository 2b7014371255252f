// Channel commands, the channel notifications other handlers share, and the
// removal of empty unregistered channels.
//
// Every handler reads the whole request before it tests anything, and makes
// every refusal before it changes anything: a refused or malformed command
// leaves the tree, storage and every client's view as they were.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "protocol/command_types.h"
#include "voice/channel_handlers.h"
#include "voice/permission_checks.h"
#include "protocol/protocol_errors.h"
#include "voice/view_notifications.h"
#include "voice/wire_layouts.h"

namespace qv::voice {

namespace {

bool DeleteEmptyChannelTree(TListenerContext& ctx, TChannelRec* channel, uint32_t originator);

// A sweep deletes one channel tree per scan; this bounds a tree gone wrong.
constexpr int kMaxSweepScans = 1001;

// Texts from the network are cut before they reach the tree: channel names
// travel in 30-byte fields elsewhere (the channel choice of a login), topic
// and description must fit their storage columns.
constexpr size_t kChannelNameMax = kShortTextMax;
constexpr size_t kChannelTopicMax = kLongTextMax;
constexpr size_t kChannelDescriptionMax = 1024;

std::string Cut(std::string text, size_t max) {
  if (text.size() > max) text.resize(max);
  return text;
}

bool Sets(uint16_t from, uint16_t to, uint16_t bit) { return !(from & bit) && (to & bit); }
bool Clears(uint16_t from, uint16_t to, uint16_t bit) { return (from & bit) && !(to & bit); }
bool Toggles(uint16_t from, uint16_t to, uint16_t bit) { return ((from ^ to) & bit) != 0; }

int32_t ChannelIdOf(const TPacket& request) {
  return static_cast<int32_t>(request.GetU32(ChannelCommandLayout::ChannelId));
}

// The ids the last multi-channel tree operation touched, copied before the
// next operation clears them.
std::vector<int32_t> ChangedIds(const TChannels& channels) {
  std::vector<int32_t> ids;
  for (const std::string& id : channels.ChangedChannels()) ids.push_back(std::stoi(id));
  return ids;
}

void SaveIfRegistered(TChannels& channels, TChannelRec& channel) {
  if (channel.IsRegistered()) channels.SaveChannel(&channel);
}

// Whether the requester may do `permission` in the channel; the
// administration (no requester) may do everything.
bool MayInChannel(const TListenerContext& listener, TChannelRec& channel, const TClientRec* requester,
                  TUserPermissions permission) {
  return !requester || CheckClientChannelPermission(listener, &channel, requester, permission);
}

// The channel the requester may edit with `permission`: 0 with `channel`
// set, or the refusal.
int32_t EditableChannel(TListenerContext& listener, int32_t channelId, const TClientRec& requester,
                        TUserPermissions permission, TChannelRec*& channel) {
  channel = listener.Channels().GetChannelById(channelId);
  if (!channel) return peChannelIdNotFound;
  if (!MayInChannel(listener, *channel, &requester, permission)) return peInsufficientPermission;
  return 0;
}

// --- CMD_cs_ChannelChangeTopic, CMD_cs_ChannelChangeDescription ---

struct TChannelText {
  TUserPermissions Permission;
  size_t Max;
  std::string TChannelRec::*Field;
  uint16_t Notification;
};
constexpr TChannelText kTopicText{upChannelEditTopic, kChannelTopicMax, &TChannelRec::Topic,
                                  CMD_sc_NotifyChannelTopicChanged};
constexpr TChannelText kDescriptionText{upChannelEditDescription, kChannelDescriptionMax,
                                        &TChannelRec::Description, CMD_sc_NotifyChannelDescriptionChanged};

void SetChannelText(TListenerContext& listener, TChannelRec& channel, const TChannelText& text, std::string value,
                    uint32_t originator) {
  channel.*text.Field = Cut(std::move(value), text.Max);
  SaveIfRegistered(listener.Channels(), channel);
  NotifyChannelText(listener, text.Notification, channel, originator, channel.*text.Field);
}

int32_t ChangeChannelText(TListenerContext& listener, const TClientRec& requester, TPacket& request,
                          const TChannelText& text) {
  const int32_t id = ChannelIdOf(request);
  request.SetPosition(ChannelCommandLayout::Value);
  std::string value = request.ReadCString();
  TChannelRec* channel = nullptr;
  if (int32_t code = EditableChannel(listener, id, requester, text.Permission, channel)) return code;
  SetChannelText(listener, *channel, text, std::move(value), requester.PlayerId);
  return 0;
}

// --- Name, password, maximum users, order: a check, then the change ---

int32_t CheckChannelName(const TListenerContext& listener, const TChannelRec& channel, const std::string& name) {
  // The channel itself counts: a change of letter case alone is refused.
  return listener.Channels().GetChannelByName(name, channel.ParentId) ? peChannelExists : 0;
}

void SetChannelName(TListenerContext& listener, TChannelRec& channel, std::string name, uint32_t originator) {
  channel.Name = std::move(name);
  SaveIfRegistered(listener.Channels(), channel);
  NotifyChannelText(listener, CMD_sc_NotifyChannelNameChanged, channel, originator, channel.Name);
}

int32_t CheckChannelPassword(const TChannelRec& channel, const TText29& password) {
  return channel.IsSubChannel() && !password.empty() ? peSubChannelPassword : 0;
}

void SetChannelPassword(TListenerContext& listener, TChannelRec& channel, const TText29& password,
                        uint32_t originator) {
  channel.Password = password;
  if (password.empty()) {
    channel.Flags &= static_cast<uint16_t>(~cfPassword);
  } else {
    channel.Flags |= cfPassword;
  }
  SaveIfRegistered(listener.Channels(), channel);
  NotifyChannelPropertiesChanged(listener, channel.Id, originator);
}

void SetChannelMaxUsers(TListenerContext& listener, TChannelRec& channel, uint16_t maxUsers, uint32_t originator) {
  channel.MaxUsers = maxUsers;
  SaveIfRegistered(listener.Channels(), channel);
  NotifyChannelMaxUsersChanged(listener, channel.Id, originator);
}

void SetChannelOrder(TListenerContext& listener, TChannelRec& channel, uint16_t order, uint32_t originator) {
  channel.Order = order;
  SaveIfRegistered(listener.Channels(), channel);
  NotifyChannelValue(listener, CMD_sc_NotifyChannelOrderChanged, channel, channel.Order, originator);
}

// --- CMD_cs_ChannelCreate ---

std::unique_ptr<TChannelRec> ReadNewChannel(TPacket& request) {
  constexpr size_t head = ChannelCreateLayout::Head;
  auto channel = NewChannel();
  channel->Flags = request.GetU16(head + ChannelHeadLayout::Flags);
  channel->Codec = request.GetU16(head + ChannelHeadLayout::Codec);
  channel->ParentId = static_cast<int32_t>(request.GetU32(head + ChannelHeadLayout::ParentId));
  channel->Order = request.GetU16(head + ChannelHeadLayout::Order);
  channel->MaxUsers = request.GetU16(head + ChannelHeadLayout::MaxUsers);
  request.SetPosition(ChannelCreateLayout::Texts);
  channel->Name = Cut(request.ReadCString(), kChannelNameMax);
  channel->Topic = Cut(request.ReadCString(), kChannelTopicMax);
  channel->Description = Cut(request.ReadCString(), kChannelDescriptionMax);
  channel->Password = request.ReadCString();  // TText29 cuts it
  return channel;
}

// What every new channel must be, whoever makes it: a codec the server
// allows and a parent that exists. `parent` gets the parent.
int32_t CheckChannelShape(TListenerContext& listener, const TChannelRec& channel, TChannelRec*& parent) {
  if (channel.Codec < kCodecCount && !listener.Server().Settings().AllowCodec[channel.Codec]) {
    return peCodecDisabled;
  }
  parent = nullptr;
  if (channel.IsSubChannel()) {
    parent = listener.Channels().GetChannelById(channel.ParentId);
    if (!parent) return peChannelIdNotFound;
  }
  return 0;
}

int32_t CheckChannelCreate(TListenerContext& listener, TChannelRec& channel, const TClientRec& requester) {
  TChannelRec* parent = nullptr;
  if (int32_t code = CheckChannelShape(listener, channel, parent)) return code;
  const uint16_t sp = requester.PlayerPrivileges;
  if (!(sp & spSA) && (sp & spCB)) return peInsufficientPermission;
  if (parent) {
    if (!CheckClientChannelPermission(listener, parent, &requester, upChannelCreateSubchannels)) {
      return peInsufficientPermission;
    }
  } else {
    const TUserPermissions kind =
        (channel.Flags & cfUnregistered) ? upChannelCreateUnregisterred : upChannelCreateRegisterred;
    if (!HasPermission(listener, &requester, kind)) return peInsufficientPermission;
    if ((channel.Flags & cfModerated) && !CheckClientCAPermission(listener, &requester, upChannelCreateModerated)) {
      return peInsufficientPermission;
    }
    if ((channel.Flags & cfHierarchical) &&
        !CheckClientCAPermission(listener, &requester, upChannelCreateSubchannels)) {
      return peInsufficientPermission;
    }
  }
  if ((channel.Flags & cfDefault) && !HasPermission(listener, &requester, upChannelCreateDefault)) {
    return peInsufficientPermission;
  }
  return 0;
}

// The creator becomes admin of his new channel. Players who could not keep
// the channel otherwise (anonymous ones, and anyone who made an unregistered
// top-level channel) move into it; the others only get the privilege
// recorded, stored for a registered player in a registered channel.
void MakeCreatorChannelAdmin(TListenerContext& listener, TClientRec& creator, TChannelRec& channel) {
  TChannels& channels = listener.Channels();
  const bool moves = !channel.IsSubChannel() && (!creator.IsRegistered() || !channel.IsRegistered());
  if (!moves) {
    const uint16_t held = creator.ChannelPrivileges;
    creator.ChannelPrivileges = cpCA;
    channels.SetChannelAttribs(&channel, &creator);
    creator.ChannelPrivileges = held;
    return;
  }
  const int32_t oldChannelId = creator.ChannelId;
  creator.ChannelId = channel.Id;
  creator.ChannelPrivileges = cpCA;
  channels.SetChannelAttribs(&channel, &creator);
  NotifyPlayerSwitchedChannel(listener, creator.PlayerId, oldChannelId, channel.Id);
  channels.ClientLeftChannel(channels.GetChannelById(oldChannelId), &creator);
  channels.ClientJoinedChannel(&channel, &creator);
  const int32_t oldTop = channels.GetTopChannelId(oldChannelId);
  if (oldTop >= 0) ClearChannelUp(listener, oldTop);
}

// --- CMD_cs_ChannelChangeProperties ---

// Every refusal, in the order the client expects them. The last two come
// here too, before anything changes: refused after a change, they would leave
// the tree, storage and the clients disagreeing.
// Without a requester (the administration) only the rules of the tree apply.
int32_t CheckPropertiesChange(TListenerContext& listener, TChannelRec& channel, const TClientRec* requester,
                              uint16_t to, uint16_t codec) {
  const uint16_t from = channel.Flags;
  auto may = [&](TUserPermissions p) { return MayInChannel(listener, channel, requester, p); };
  if (channel.IsSubChannel() && to != from) return peSubChannelFlagsChanged;
  if (codec != channel.Codec && !may(upChannelEditCodec)) return peInsufficientPermission;
  if (Sets(from, to, cfUnregistered) && !(may(upChannelCreateUnregisterred) && may(upChannelCreateRegisterred))) {
    return peInsufficientPermission;
  }
  if (Clears(from, to, cfUnregistered) && !may(upChannelCreateRegisterred)) return peInsufficientPermission;
  if (Toggles(from, to, cfModerated) && !may(upChannelCreateModerated)) return peInsufficientPermission;
  if (Toggles(from, to, cfHierarchical) && !may(upChannelCreateSubchannels)) return peInsufficientPermission;
  if (Clears(from, to, cfPassword) && !may(upChannelEditPassword)) return peInsufficientPermission;
  // A password comes only with CMD_cs_ChannelChangePassword.
  if (Sets(from, to, cfPassword)) return peInsufficientPermission;
  if (Sets(from, to, cfDefault) && requester && !HasPermission(listener, requester, upChannelCreateDefault)) {
    return peInsufficientPermission;
  }
  if (Clears(from, to, cfHierarchical) && listener.Channels().HasSubChannels(&channel)) {
    return peSubChannelsPresent;
  }
  if (Clears(from, to, cfDefault)) return peDefaultChannelNotDeletable;
  return 0;
}

// A registered channel becomes unregistered: its rows and those of its
// sub-channels leave storage at once, so that it does not come back at the
// next start even while players keep it alive. True when that left the tree
// empty and the channel was removed.
bool MakeUnregistered(TListenerContext& listener, TChannelRec& channel) {
  TChannels& channels = listener.Channels();
  const int32_t id = channel.Id;
  channel.Flags |= cfUnregistered;
  channels.UpdateSubChannels(&channel);
  channels.DeleteChannelFromStorage(&channel);
  ClearChannelUp(listener, channels.GetTopChannelId(id));
  return channels.GetChannelById(id) == nullptr;
}

// The former default channel is stored without its flag before the new one is
// stored with it, so that storage never holds two defaults.
void TakeOverDefault(TListenerContext& listener, TChannelRec& channel, uint32_t originator) {
  TChannelRec* former = listener.Channels().GetDefaultChannelAsPointer();
  if (!former) return;
  former->Flags &= static_cast<uint16_t>(~cfDefault);
  if (former != &channel) SaveIfRegistered(listener.Channels(), *former);
  NotifyChannelPropertiesChanged(listener, former->Id, originator);
}

void UpdateSubChannelProperties(TListenerContext& listener, TChannelRec& channel, uint32_t originator,
                                bool moderationRemoved) {
  TChannels& channels = listener.Channels();
  channels.UpdateSubChannels(&channel);
  for (int32_t id : ChangedIds(channels)) {
    TChannelRec* sub = channels.GetChannelById(id);
    if (!sub) continue;
    // The sub-channel's own record loses the moderation privileges as the
    // channel's did, or a player would get them back on his next entry.
    if (moderationRemoved) channels.ClearModeratedChannelAttribs(sub);
    if (sub->IsRegistered()) channels.UpdateChannelAttribs(sub, listener.Clients());
    NotifyChannelPropertiesChanged(listener, id, originator);
    if (moderationRemoved) RemoveModeratedFlags(listener, id);
  }
}

void ApplyPropertiesChange(TListenerContext& listener, TChannelRec& channel, uint32_t originator, uint16_t to,
                           uint16_t codec) {
  TChannels& channels = listener.Channels();
  const uint16_t from = channel.Flags;
  // The default channel is always registered.
  if (to & cfDefault) to &= static_cast<uint16_t>(~cfUnregistered);
  if (!(to & cfPassword)) channel.Password.clear();
  if (Sets(from, to, cfUnregistered) && MakeUnregistered(listener, channel)) return;
  if (to & cfDefault) {
    TakeOverDefault(listener, channel, originator);
    channel.MaxUsers = listener.Server().Settings().MaxUsers;
  }
  const bool moderationRemoved = Clears(from, to, cfModerated);
  if (moderationRemoved) {
    channels.ClearModeratedChannelAttribs(&channel);
    RemoveModeratedFlags(listener, channel.Id);
  }
  channel.Flags = to;
  channel.Codec = codec;
  if (channel.IsRegistered()) {
    channels.SaveChannel(&channel);
    channels.UpdateChannelAttribs(&channel, listener.Clients());
  }
  NotifyChannelPropertiesChanged(listener, channel.Id, originator);
  if (to & cfDefault) NotifyChannelMaxUsersChanged(listener, channel.Id, 0);
  if (channels.HasSubChannels(&channel)) UpdateSubChannelProperties(listener, channel, originator, moderationRemoved);
}

// Adds a checked channel as a client's creation does: the default channel is
// registered and holds the server's maximum; a registered channel is stored.
// The new id, or the tree's refusal.
int32_t AddNewChannel(TListenerContext& ctx, std::unique_ptr<TChannelRec> channel, uint32_t originator) {
  if (!channel->IsSubChannel() && (channel->Flags & cfDefault)) {
    // The default channel is always registered (an unregistered one would
    // leave the next start without any), and holds the server's maximum.
    channel->Flags &= static_cast<uint16_t>(~cfUnregistered);
    channel->MaxUsers = ctx.Server().Settings().MaxUsers;
  }
  const int32_t id = ctx.Channels().AddChannel(std::move(channel));
  if (id < 0) return id;
  for (int32_t former : ChangedIds(ctx.Channels())) NotifyChannelPropertiesChanged(ctx, former, originator);
  NotifyChannelCreated(ctx, id, originator);
  return id;
}

// The whole tree goes, so a player in any of its sub-channels keeps it:
// nobody may be left in a channel that no longer exists.
int32_t DestroyChannel(TListenerContext& ctx, const TChannelRec& channel, uint32_t originator) {
  if (ChannelTreeHoldsPlayers(ctx, &channel)) return peChannelNotEmpty;
  if (channel.Flags & cfDefault) return peDefaultChannelNotDeletable;
  if (int32_t code = ctx.Channels().DeleteChannelTree(channel.Id); code < 0) return code;
  for (int32_t deleted : ChangedIds(ctx.Channels())) NotifyChannelDestroyed(ctx, deleted, originator);
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Commands

int32_t CMD_cs_ChannelCreate(TListenerContext& ctx, TClientRec* requester, TPacket& request) {
  std::unique_ptr<TChannelRec> channel = ReadNewChannel(request);
  if (int32_t code = CheckChannelCreate(ctx, *channel, *requester)) return code;
  const int32_t id = AddNewChannel(ctx, std::move(channel), requester->PlayerId);
  if (id < 0) return id;
  if (TChannelRec* created = ctx.Channels().GetChannelById(id)) MakeCreatorChannelAdmin(ctx, *requester, *created);
  return 0;
}

int32_t CMD_cs_ChannelChangePassword(TListenerContext& ctx, TClientRec* requester, TPacket& request) {
  const int32_t id = ChannelIdOf(request);
  request.SetPosition(ChannelCommandLayout::Value);
  const TText29 password = request.ReadText(kShortTextField);
  TChannelRec* channel = nullptr;
  if (int32_t code = EditableChannel(ctx, id, *requester, upChannelEditPassword, channel)) return code;
  if (int32_t code = CheckChannelPassword(*channel, password)) return code;
  TPacketPtr reply = NewCommandPacket(CMD_sc_ChannelChangePasswordReply, requester->ConnectionId,
                                      requester->PlayerId);
  reply->SetSize(PasswordChangedLayout::Size);
  reply->SetU32(PasswordChangedLayout::ChannelId, static_cast<uint32_t>(channel->Id));
  ctx.SendPacket(std::move(reply));
  SetChannelPassword(ctx, *channel, password, requester->PlayerId);
  return 0;
}

int32_t CMD_cs_ChannelChangeProperties(TListenerContext& ctx, TClientRec* requester, TPacket& request) {
  const int32_t id = ChannelIdOf(request);
  const uint16_t flags = request.GetU16(ChannelCommandLayout::Value);
  const uint16_t codec = request.GetU16(ChannelCommandLayout::Codec);
  TChannelRec* channel = ctx.Channels().GetChannelById(id);
  if (!channel) return peChannelIdNotFound;
  if (int32_t code = CheckPropertiesChange(ctx, *channel, requester, flags, codec)) return code;
  ApplyPropertiesChange(ctx, *channel, requester->PlayerId, flags, codec);
  return 0;
}

int32_t CMD_cs_ChannelChangeName(TListenerContext& ctx, TClientRec* requester, TPacket& request) {
  const int32_t id = ChannelIdOf(request);
  request.SetPosition(ChannelCommandLayout::Value);
  std::string name = Cut(request.ReadCString(), kChannelNameMax);
  TChannelRec* channel = nullptr;
  if (int32_t code = EditableChannel(ctx, id, *requester, upChannelEditName, channel)) return code;
  if (int32_t code = CheckChannelName(ctx, *channel, name)) return code;
  SetChannelName(ctx, *channel, std::move(name), requester->PlayerId);
  return 0;
}

int32_t CMD_cs_ChannelChangeTopic(TListenerContext& ctx, TClientRec* requester, TPacket& request) {
  return ChangeChannelText(ctx, *requester, request, kTopicText);
}

int32_t CMD_cs_ChannelChangeDescription(TListenerContext& ctx, TClientRec* requester, TPacket& request) {
  return ChangeChannelText(ctx, *requester, request, kDescriptionText);
}

int32_t CMD_cs_ChannelDestroy(TListenerContext& ctx, TClientRec* requester, TPacket& request) {
  const int32_t id = ChannelIdOf(request);
  TChannelRec* channel = ctx.Channels().GetChannelById(id);
  if (!channel) return peChannelIdNotFound;
  // The admin of a channel may delete its sub-channels.
  const bool allowed = CheckClientChannelPermission(ctx, channel, requester, upChannelDelete) ||
                       (channel->IsSubChannel() && CheckClientChannelPermission(ctx, ctx.Channels().GetMainChannel(id),
                                                                                requester, upChannelDelete));
  if (!allowed) return peInsufficientPermission;
  return DestroyChannel(ctx, *channel, requester->PlayerId);
}

int32_t CMD_cs_ChannelChangeMaxUsers(TListenerContext& ctx, TClientRec* requester, TPacket& request) {
  const int32_t id = ChannelIdOf(request);
  const uint16_t maxUsers = request.GetU16(ChannelCommandLayout::Value);
  TChannelRec* channel = nullptr;
  if (int32_t code = EditableChannel(ctx, id, *requester, upChannelEditMaxUsers, channel)) return code;
  SetChannelMaxUsers(ctx, *channel, maxUsers, requester->PlayerId);
  return 0;
}

int32_t CMD_cs_ChannelChangeOrder(TListenerContext& ctx, TClientRec* requester, TPacket& request) {
  const int32_t id = ChannelIdOf(request);
  const uint16_t order = request.GetU16(ChannelCommandLayout::Value);
  TChannelRec* channel = nullptr;
  if (int32_t code = EditableChannel(ctx, id, *requester, upChannelEditOrder, channel)) return code;
  SetChannelOrder(ctx, *channel, order, requester->PlayerId);
  return 0;
}

// ---------------------------------------------------------------------------
// The administration's channel changes

int32_t AddChannelAsServer(TListenerContext& ctx, const TChannelFields& fields) {
  std::unique_ptr<TChannelRec> channel = NewChannel();
  channel->ParentId = fields.ParentId;
  channel->Name = Cut(fields.Name, kChannelNameMax);
  channel->Topic = Cut(fields.Topic, kChannelTopicMax);
  channel->Description = Cut(fields.Description, kChannelDescriptionMax);
  channel->Password = fields.Password;
  channel->Codec = fields.Codec;
  channel->MaxUsers = fields.MaxUsers;
  channel->Order = fields.Order;
  // The password flag goes with the password.
  channel->Flags = static_cast<uint16_t>(fields.Flags & ~cfPassword);
  if (!channel->Password.empty()) channel->Flags |= cfPassword;
  if (channel->Codec >= kCodecCount) return peInvalidCodec;
  TChannelRec* parent = nullptr;
  if (int32_t code = CheckChannelShape(ctx, *channel, parent)) return code;
  return AddNewChannel(ctx, std::move(channel), 0);
}

// Every refusal first, then the changes, the flags last (a channel made
// unregistered and empty goes away).
int32_t EditChannelAsServer(TListenerContext& ctx, int32_t channelId, const TChannelFields& fields, uint16_t changes) {
  TChannelRec* channel = ctx.Channels().GetChannelById(channelId);
  if (!channel) return peChannelIdNotFound;
  std::string name = Cut(fields.Name, kChannelNameMax);
  const TText29 password = fields.Password;
  const uint16_t codec = (changes & chfCodec) ? fields.Codec : channel->Codec;
  // The password flag follows the password of a top-level channel, and stays
  // as it is otherwise.
  uint16_t flags = channel->Flags;
  if (changes & chfFlags) flags = static_cast<uint16_t>((fields.Flags & ~cfPassword) | (channel->Flags & cfPassword));
  if ((changes & chfPassword) && !channel->IsSubChannel()) {
    flags = static_cast<uint16_t>(password.empty() ? (flags & ~cfPassword) : (flags | cfPassword));
  }
  if ((changes & chfName) && name != channel->Name) {
    if (int32_t code = CheckChannelName(ctx, *channel, name)) return code;
  }
  if (changes & chfPassword) {
    if (int32_t code = CheckChannelPassword(*channel, password)) return code;
  }
  if (codec >= kCodecCount) return peInvalidCodec;
  if (codec != channel->Codec && !ctx.Server().Settings().AllowCodec[codec]) return peCodecDisabled;
  // The properties are checked as they will be once the password is set.
  const uint16_t flagsBefore = channel->Flags;
  channel->Flags = static_cast<uint16_t>((flagsBefore & ~cfPassword) | (flags & cfPassword));
  const int32_t refusal = CheckPropertiesChange(ctx, *channel, nullptr, flags, codec);
  channel->Flags = flagsBefore;
  if (refusal) return refusal;

  if ((changes & chfName) && name != channel->Name) SetChannelName(ctx, *channel, std::move(name), 0);
  if (changes & chfTopic) SetChannelText(ctx, *channel, kTopicText, fields.Topic, 0);
  if (changes & chfDescription) SetChannelText(ctx, *channel, kDescriptionText, fields.Description, 0);
  if ((changes & chfPassword) && password != channel->Password) SetChannelPassword(ctx, *channel, password, 0);
  if (changes & chfMaxUsers) SetChannelMaxUsers(ctx, *channel, fields.MaxUsers, 0);
  if (changes & chfOrder) SetChannelOrder(ctx, *channel, fields.Order, 0);
  if (flags != channel->Flags || codec != channel->Codec) ApplyPropertiesChange(ctx, *channel, 0, flags, codec);
  return 0;
}

int32_t DeleteChannelAsServer(TListenerContext& ctx, int32_t channelId) {
  const TChannelRec* channel = ctx.Channels().GetChannelById(channelId);
  if (!channel) return peChannelIdNotFound;
  return DestroyChannel(ctx, *channel, 0);
}

// ---------------------------------------------------------------------------
// Removal of empty unregistered channels

bool ChannelTreeHoldsPlayers(const TListenerContext& ctx, const TChannelRec* channel) {
  if (!channel->Members.empty()) return true;
  if (channel->IsSubChannel()) return false;
  for (const auto& sub : ctx.Channels().Items()) {
    if (sub->ParentId == channel->Id && !sub->Members.empty()) return true;
  }
  return false;
}

// Deletes the tree of an empty unregistered top-level channel and announces
// every channel it removed; false when the channel does not qualify.
namespace {

bool DeleteEmptyChannelTree(TListenerContext& ctx, TChannelRec* channel, uint32_t originator) {
  if (!channel || channel->IsRegistered() || channel->IsSubChannel() || ChannelTreeHoldsPlayers(ctx, channel)) {
    return false;
  }
  if (ctx.Channels().DeleteChannelTree(channel->Id) != 0) return false;
  for (int32_t id : ChangedIds(ctx.Channels())) NotifyChannelDestroyed(ctx, id, originator);
  return true;
}

}  // namespace

void ClearChannelUp(TListenerContext& ctx, int32_t channelId) {
  if (channelId >= 0) {
    try {
      const uint32_t originator = ctx.CurrentPlayer() ? ctx.CurrentPlayer()->PlayerId : 0;
      DeleteEmptyChannelTree(ctx, ctx.Channels().GetChannelById(channelId), originator);
      return;
    } catch (const std::exception& e) {
      // A failure here falls back to the sweep of every channel.
      ctx.LogHandlerException("ClearChannelUp", e);
    }
  }
  try {
    for (int scan = 0; scan < kMaxSweepScans; ++scan) {
      bool deleted = false;
      for (int i = ctx.Channels().Count() - 1; i >= 0 && !deleted; --i) {
        deleted = DeleteEmptyChannelTree(ctx, ctx.Channels().Items(i), 0);
      }
      if (!deleted) return;
    }
  } catch (const std::exception& e) {
    ctx.LogHandlerException("ClearChannelUp", e);
  }
}

}  // namespace qv::voice
