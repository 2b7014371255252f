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
#include "voice/server_lang.h"
#include "voice/udp_listener.h"

namespace qv {

namespace {

// A sweep deletes one channel tree per scan; this bounds a tree gone wrong.
constexpr int kMaxSweepScans = 1001;


// Texts from the network are cut before they reach the tree: channel names
// travel in 30-byte fields elsewhere (the channel choice of a login), topic
// and description must fit their storage columns.
constexpr size_t kChannelNameMax = kShortTextMax;
constexpr size_t kChannelTopicMax = kLongTextMax;
constexpr size_t kChannelDescriptionMax = 1024;

constexpr uint8_t kRevokedByServer = 3;
// cp* bit and its wire index, for what an unmoderated channel takes away.
constexpr std::pair<uint16_t, uint8_t> kModeratedPrivileges[] = {{cpOP, 1}, {cpV, 2}};

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

// One packet per connected player, filled by `fill` after the header.
template <typename Fill>
void SendToAll(TQVUDPListener& listener, uint16_t commandType, Fill fill) {
  for (const auto& recipient : listener.Clients().Items()) {
    TPacketPtr packet = NewCommandPacket(commandType, recipient->ConnectionId, recipient->PlayerId);
    fill(*packet);
    listener.SendPacket(std::move(packet));
  }
}

void NotifyChannelText(TQVUDPListener& listener, uint16_t commandType, const TChannelRec& channel,
                       uint32_t originator, const std::string& text) {
  SendToAll(listener, commandType, [&](TPacket& p) {
    p.SetPosition(ChannelTextChangedLayout::ChannelId);
    p.WriteI32(channel.Id);
    p.WriteU32(originator);
    p.WriteCString(text);
  });
}

void NotifyChannelValue(TQVUDPListener& listener, uint16_t commandType, const TChannelRec& channel,
                        uint16_t value, uint32_t originator) {
  SendToAll(listener, commandType, [&](TPacket& p) {
    p.SetSize(ChannelValueChangedLayout::Size);
    p.SetU32(ChannelValueChangedLayout::ChannelId, static_cast<uint32_t>(channel.Id));
    p.SetU16(ChannelValueChangedLayout::Value, value);
    p.SetU32(ChannelValueChangedLayout::Originator, originator);
  });
}

// In a channel without moderation, voice requests, operator and voice mean
// nothing; the record of the channel loses them too, so that permission
// checks in the channel agree with what the clients were told.
void EndModeration(TQVUDPListener& listener, TChannelRec& channel) {
  for (const auto& player : listener.Clients().Items()) {
    if (player->ChannelId != channel.Id) continue;
    if (player->PlayerFlags & pfRequestVoice) {
      player->PlayerFlags &= static_cast<uint16_t>(~pfRequestVoice);
      NotifyPlayerFlagsChanged(listener, *player);
    }
    TChannelAttrib* entry = channel.Privileges.Get(player->PlayerId);
    for (auto [bit, index] : kModeratedPrivileges) {
      if (!(player->ChannelPrivileges & bit)) continue;
      player->ChannelPrivileges &= static_cast<uint16_t>(~bit);
      if (entry) entry->Flags &= static_cast<uint16_t>(~bit);
      listener.NotifyPlayerChannelPrivilegeChanged(player->PlayerId, 0, kRevokedByServer, index);
    }
  }
}

void SaveIfRegistered(TChannels& channels, TChannelRec& channel) {
  if (channel.IsRegistered()) channels.SaveChannel(&channel);
}

// The channel the requester may edit with `permission`: 0 with `channel`
// set, or the refusal.
int32_t EditableChannel(TQVUDPListener& listener, int32_t channelId, const TClientRec& requester,
                        TUserPermissions permission, TChannelRec*& channel) {
  channel = listener.Channels().GetChannelById(channelId);
  if (!channel) return peChannelIdNotFound;
  if (!listener.CheckClientChannelPermission(channel, &requester, permission)) {
    return peInsufficientPermission;
  }
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

int32_t ChangeChannelText(TQVUDPListener& listener, const TClientRec& requester, TPacket& request,
                          const TChannelText& text) {
  const int32_t id = ChannelIdOf(request);
  request.SetPosition(ChannelCommandLayout::Value);
  std::string value = Cut(request.ReadCString(), text.Max);
  TChannelRec* channel = nullptr;
  if (int32_t code = EditableChannel(listener, id, requester, text.Permission, channel)) return code;
  channel->*text.Field = std::move(value);
  SaveIfRegistered(listener.Channels(), *channel);
  NotifyChannelText(listener, text.Notification, *channel, requester.PlayerId, channel->*text.Field);
  return 0;
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

int32_t CheckChannelCreate(TQVUDPListener& listener, TChannelRec& channel, const TClientRec& requester) {
  if (channel.Codec < kCodecCount && !listener.Server().Settings().AllowCodec[channel.Codec]) {
    return peCodecDisabled;
  }
  TChannelRec* parent = nullptr;
  if (channel.IsSubChannel()) {
    parent = listener.Channels().GetChannelById(channel.ParentId);
    if (!parent) return peChannelIdNotFound;
  }
  const uint16_t sp = requester.PlayerPrivileges;
  if (!(sp & spSA) && (sp & spCB)) return peInsufficientPermission;
  if (parent) {
    if (!listener.CheckClientChannelPermission(parent, &requester, upChannelCreateSubchannels)) {
      return peInsufficientPermission;
    }
  } else {
    const TUserPermissions kind =
        (channel.Flags & cfUnregistered) ? upChannelCreateUnregisterred : upChannelCreateRegisterred;
    if (!listener.HasPermission(&requester, kind)) return peInsufficientPermission;
    if ((channel.Flags & cfModerated) && !listener.CheckClientCAPermission(&requester, upChannelCreateModerated)) {
      return peInsufficientPermission;
    }
    if ((channel.Flags & cfHierarchical) &&
        !listener.CheckClientCAPermission(&requester, upChannelCreateSubchannels)) {
      return peInsufficientPermission;
    }
  }
  if ((channel.Flags & cfDefault) && !listener.HasPermission(&requester, upChannelCreateDefault)) {
    return peInsufficientPermission;
  }
  return 0;
}

// The creator becomes admin of his new channel. Players who could not keep
// the channel otherwise (anonymous ones, and anyone who made an unregistered
// top-level channel) move into it; the others only get the privilege
// recorded, stored for a registered player in a registered channel.
void MakeCreatorChannelAdmin(TQVUDPListener& listener, TClientRec& creator, TChannelRec& channel) {
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
  listener.NotifyPlayerSwitchedChannel(creator.PlayerId, oldChannelId, channel.Id);
  channels.ClientLeftChannel(channels.GetChannelById(oldChannelId), &creator);
  channels.ClientJoinedChannel(&channel, &creator);
  const int32_t oldTop = channels.GetTopChannelId(oldChannelId);
  if (oldTop >= 0) listener.ClearChannelUp(oldTop);
}

// --- CMD_cs_ChannelChangeProperties ---

// Every refusal, in the order the client expects them. The last two come
// here too, before anything changes: refused after a change, they would leave
// the tree, storage and the clients disagreeing.
int32_t CheckPropertiesChange(TQVUDPListener& listener, TChannelRec& channel, const TClientRec& requester,
                              uint16_t to, uint16_t codec) {
  const uint16_t from = channel.Flags;
  auto may = [&](TUserPermissions p) { return listener.CheckClientChannelPermission(&channel, &requester, p); };
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
  if (Sets(from, to, cfDefault) && !listener.HasPermission(&requester, upChannelCreateDefault)) {
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
bool MakeUnregistered(TQVUDPListener& listener, TChannelRec& channel) {
  TChannels& channels = listener.Channels();
  const int32_t id = channel.Id;
  channel.Flags |= cfUnregistered;
  channels.UpdateSubChannels(&channel);
  channels.DeleteChannelFromStorage(&channel);
  listener.ClearChannelUp(channels.GetTopChannelId(id));
  return channels.GetChannelById(id) == nullptr;
}

// The former default channel is stored without its flag before the new one is
// stored with it, so that storage never holds two defaults.
void TakeOverDefault(TQVUDPListener& listener, TChannelRec& channel, uint32_t originator) {
  TChannelRec* former = listener.Channels().GetDefaultChannelAsPointer();
  if (!former) return;
  former->Flags &= static_cast<uint16_t>(~cfDefault);
  if (former != &channel) SaveIfRegistered(listener.Channels(), *former);
  listener.NotifyChannelPropertiesChanged(former->Id, originator);
}

void UpdateSubChannelProperties(TQVUDPListener& listener, TChannelRec& channel, uint32_t originator,
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
    listener.NotifyChannelPropertiesChanged(id, originator);
    if (moderationRemoved) listener.RemoveModeratedFlags(id);
  }
}

void ApplyPropertiesChange(TQVUDPListener& listener, TChannelRec& channel, uint32_t originator, uint16_t to,
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
    listener.RemoveModeratedFlags(channel.Id);
  }
  channel.Flags = to;
  channel.Codec = codec;
  if (channel.IsRegistered()) {
    channels.SaveChannel(&channel);
    channels.UpdateChannelAttribs(&channel, listener.Clients());
  }
  listener.NotifyChannelPropertiesChanged(channel.Id, originator);
  if (to & cfDefault) listener.NotifyChannelMaxUsersChanged(channel.Id, 0);
  if (channels.HasSubChannels(&channel)) UpdateSubChannelProperties(listener, channel, originator, moderationRemoved);
}

}  // namespace

// ---------------------------------------------------------------------------
// Commands

int32_t TQVUDPListener::CMD_cs_ChannelCreate(TClientRec* requester, TPacket& request) {
  std::unique_ptr<TChannelRec> channel = ReadNewChannel(request);
  if (int32_t code = CheckChannelCreate(*this, *channel, *requester)) return code;
  if (!channel->IsSubChannel() && (channel->Flags & cfDefault)) {
    // The default channel is always registered (an unregistered one would
    // leave the next start without any), and holds the server's maximum.
    channel->Flags &= static_cast<uint16_t>(~cfUnregistered);
    channel->MaxUsers = Server().Settings().MaxUsers;
  }
  const int32_t id = Channels().AddChannel(std::move(channel));
  if (id < 0) return id;
  for (int32_t former : ChangedIds(Channels())) NotifyChannelPropertiesChanged(former, requester->PlayerId);
  NotifyChannelCreated(id, requester->PlayerId);
  if (TChannelRec* created = Channels().GetChannelById(id)) MakeCreatorChannelAdmin(*this, *requester, *created);
  return 0;
}

int32_t TQVUDPListener::CMD_cs_ChannelChangePassword(TClientRec* requester, TPacket& request) {
  const int32_t id = ChannelIdOf(request);
  request.SetPosition(ChannelCommandLayout::Value);
  const TText29 password = request.ReadText(kShortTextField);
  TChannelRec* channel = nullptr;
  if (int32_t code = EditableChannel(*this, id, *requester, upChannelEditPassword, channel)) return code;
  if (channel->IsSubChannel() && !password.empty()) return peSubChannelPassword;
  channel->Password = password;
  if (password.empty()) {
    channel->Flags &= static_cast<uint16_t>(~cfPassword);
  } else {
    channel->Flags |= cfPassword;
  }
  TPacketPtr reply = NewCommandPacket(CMD_sc_ChannelChangePasswordReply, requester->ConnectionId,
                                      requester->PlayerId);
  reply->SetSize(PasswordChangedLayout::Size);
  reply->SetU32(PasswordChangedLayout::ChannelId, static_cast<uint32_t>(channel->Id));
  SendPacket(std::move(reply));
  SaveIfRegistered(Channels(), *channel);
  NotifyChannelPropertiesChanged(channel->Id, requester->PlayerId);
  return 0;
}

int32_t TQVUDPListener::CMD_cs_ChannelChangeProperties(TClientRec* requester, TPacket& request) {
  const int32_t id = ChannelIdOf(request);
  const uint16_t flags = request.GetU16(ChannelCommandLayout::Value);
  const uint16_t codec = request.GetU16(ChannelCommandLayout::Codec);
  TChannelRec* channel = Channels().GetChannelById(id);
  if (!channel) return peChannelIdNotFound;
  if (int32_t code = CheckPropertiesChange(*this, *channel, *requester, flags, codec)) return code;
  ApplyPropertiesChange(*this, *channel, requester->PlayerId, flags, codec);
  return 0;
}

int32_t TQVUDPListener::CMD_cs_ChannelChangeName(TClientRec* requester, TPacket& request) {
  const int32_t id = ChannelIdOf(request);
  request.SetPosition(ChannelCommandLayout::Value);
  const std::string name = Cut(request.ReadCString(), kChannelNameMax);
  TChannelRec* channel = nullptr;
  if (int32_t code = EditableChannel(*this, id, *requester, upChannelEditName, channel)) return code;
  // The channel itself counts: a change of letter case alone is refused.
  if (Channels().GetChannelByName(name, channel->ParentId)) return peChannelExists;
  channel->Name = name;
  SaveIfRegistered(Channels(), *channel);
  NotifyChannelText(*this, CMD_sc_NotifyChannelNameChanged, *channel, requester->PlayerId, channel->Name);
  return 0;
}

int32_t TQVUDPListener::CMD_cs_ChannelChangeTopic(TClientRec* requester, TPacket& request) {
  return ChangeChannelText(*this, *requester, request, kTopicText);
}

int32_t TQVUDPListener::CMD_cs_ChannelChangeDescription(TClientRec* requester, TPacket& request) {
  return ChangeChannelText(*this, *requester, request, kDescriptionText);
}

int32_t TQVUDPListener::CMD_cs_ChannelDestroy(TClientRec* requester, TPacket& request) {
  const int32_t id = ChannelIdOf(request);
  TChannelRec* channel = Channels().GetChannelById(id);
  if (!channel) return peChannelIdNotFound;
  // The admin of a channel may delete its sub-channels.
  const bool allowed = CheckClientChannelPermission(channel, requester, upChannelDelete) ||
                       (channel->IsSubChannel() &&
                        CheckClientChannelPermission(Channels().GetMainChannel(id), requester, upChannelDelete));
  if (!allowed) return peInsufficientPermission;
  // The whole tree goes, so a player in any of its sub-channels keeps it:
  // nobody may be left in a channel that no longer exists.
  if (ChannelTreeHoldsPlayers(channel)) return peChannelNotEmpty;
  if (channel->Flags & cfDefault) return peDefaultChannelNotDeletable;
  if (int32_t code = Channels().DeleteChannelTree(id); code < 0) return code;
  for (int32_t deleted : ChangedIds(Channels())) NotifyChannelDestroyed(deleted, requester->PlayerId);
  return 0;
}

int32_t TQVUDPListener::CMD_cs_ChannelChangeMaxUsers(TClientRec* requester, TPacket& request) {
  const int32_t id = ChannelIdOf(request);
  const uint16_t maxUsers = request.GetU16(ChannelCommandLayout::Value);
  TChannelRec* channel = nullptr;
  if (int32_t code = EditableChannel(*this, id, *requester, upChannelEditMaxUsers, channel)) return code;
  channel->MaxUsers = maxUsers;
  SaveIfRegistered(Channels(), *channel);
  NotifyChannelMaxUsersChanged(channel->Id, requester->PlayerId);
  return 0;
}

int32_t TQVUDPListener::CMD_cs_ChannelChangeOrder(TClientRec* requester, TPacket& request) {
  const int32_t id = ChannelIdOf(request);
  const uint16_t order = request.GetU16(ChannelCommandLayout::Value);
  TChannelRec* channel = nullptr;
  if (int32_t code = EditableChannel(*this, id, *requester, upChannelEditOrder, channel)) return code;
  channel->Order = order;
  SaveIfRegistered(Channels(), *channel);
  NotifyChannelValue(*this, CMD_sc_NotifyChannelOrderChanged, *channel, channel->Order, requester->PlayerId);
  return 0;
}

// ---------------------------------------------------------------------------
// Notifications

void TQVUDPListener::NotifyChannelCreated(int32_t channelId, uint32_t originator) {
  const TChannelRec* channel = Channels().GetChannelById(channelId);
  if (!channel) return;
  // Never the password.
  SendToAll(*this, CMD_sc_NotifyChannelCreated, [&](TPacket& p) {
    p.SetPosition(ChannelCreatedLayout::Originator);
    p.WriteU32(originator);
    p.WriteI32(channel->Id);
    p.WriteU16(channel->Flags);
    p.WriteU16(channel->Codec);
    p.WriteI32(channel->ParentId);
    p.WriteU16(channel->Order);
    p.WriteU16(channel->MaxUsers);
    p.WriteCString(channel->Name);
    p.WriteCString(channel->Topic);
    p.WriteCString(channel->Description);
  });
}

void TQVUDPListener::NotifyChannelPropertiesChanged(int32_t channelId, uint32_t originator) {
  TChannelRec* channel = Channels().GetChannelById(channelId);
  if (!channel) return;
  SendToAll(*this, CMD_sc_NotifyChannelPropertiesChanged, [&](TPacket& p) {
    p.SetSize(PropertiesChangedLayout::Size);
    p.SetU32(PropertiesChangedLayout::ChannelId, static_cast<uint32_t>(channel->Id));
    p.SetU16(PropertiesChangedLayout::Flags, channel->Flags);
    p.SetU16(PropertiesChangedLayout::Codec, channel->Codec);
    p.SetU32(PropertiesChangedLayout::Originator, originator);
  });
  if (!(channel->Flags & cfModerated)) EndModeration(*this, *channel);
}

void TQVUDPListener::NotifyChannelMaxUsersChanged(int32_t channelId, uint32_t originator) {
  const TChannelRec* channel = Channels().GetChannelById(channelId);
  if (!channel) return;
  NotifyChannelValue(*this, CMD_sc_NotifyChannelMaxUsersChanged, *channel, channel->MaxUsers, originator);
}

void TQVUDPListener::NotifyChannelDestroyed(int32_t channelId, uint32_t originator) {
  if (channelId < 0) return;
  for (const auto& recipient : Clients().Items()) {
    auto packet = NewCommandPacket(qv::CMD_sc_NotifyChannelDestroyed, recipient->ConnectionId,
                                   recipient->PlayerId);
    packet->SetSize(ChannelDestroyedLayout::Size);
    // The wire field is 16 bits wide.
    packet->SetU16(ChannelDestroyedLayout::ChannelId, static_cast<uint16_t>(channelId));
    packet->SetU32(ChannelDestroyedLayout::Originator, originator);
    SendPacket(std::move(packet));
  }
}

// ---------------------------------------------------------------------------
// Removal of empty unregistered channels

bool TQVUDPListener::ChannelTreeHoldsPlayers(const TChannelRec* channel) const {
  if (!channel->Members.empty()) return true;
  if (channel->IsSubChannel()) return false;
  for (const auto& sub : Channels().Items()) {
    if (sub->ParentId == channel->Id && !sub->Members.empty()) return true;
  }
  return false;
}

// Deletes the tree of an empty unregistered top-level channel and announces
// every channel it removed; false when the channel does not qualify.
bool TQVUDPListener::DeleteEmptyChannelTree(TChannelRec* channel, uint32_t originator) {
  if (!channel || channel->IsRegistered() || channel->IsSubChannel() || ChannelTreeHoldsPlayers(channel)) {
    return false;
  }
  if (Channels().DeleteChannelTree(channel->Id) != 0) return false;
  for (int32_t id : ChangedIds(Channels())) NotifyChannelDestroyed(id, originator);
  return true;
}

void TQVUDPListener::ClearChannelUp(int32_t channelId) {
  if (channelId >= 0) {
    try {
      const uint32_t originator = player_ ? player_->PlayerId : 0;
      DeleteEmptyChannelTree(Channels().GetChannelById(channelId), originator);
      return;
    } catch (const std::exception& e) {
      // A failure here falls back to the sweep of every channel.
      LogHandlerException("ClearChannelUp", e);
    }
  }
  try {
    for (int scan = 0; scan < kMaxSweepScans; ++scan) {
      bool deleted = false;
      for (int i = Channels().Count() - 1; i >= 0 && !deleted; --i) {
        deleted = DeleteEmptyChannelTree(Channels().Items(i), 0);
      }
      if (!deleted) return;
    }
  } catch (const std::exception& e) {
    LogHandlerException("ClearChannelUp", e);
  }
}

}  // namespace qv
