// Channel commands, the channel notifications other handlers share, and the
// removal of empty unregistered channels.
#include <fmt/format.h>

#include "protocol/command_types.h"
#include "voice/udp_listener.h"

namespace qv {

namespace {
// A sweep deletes one channel tree per scan; this bounds a tree gone wrong.
constexpr int kMaxSweepScans = 1001;
}  // namespace

void TQVUDPListener::CMD_cs_ChannelCreate() {}
void TQVUDPListener::CMD_cs_ChannelChangePassword() {}
void TQVUDPListener::CMD_cs_ChannelChangeProperties() {}
void TQVUDPListener::CMD_cs_ChannelChangeName() {}
void TQVUDPListener::CMD_cs_ChannelChangeTopic() {}
void TQVUDPListener::CMD_cs_ChannelChangeDescription() {}
void TQVUDPListener::CMD_cs_ChannelDestroy() {}
void TQVUDPListener::CMD_cs_ChannelChangeMaxUsers() {}
void TQVUDPListener::CMD_cs_ChannelChangeOrder() {}

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
  const std::vector<std::string> deleted = Channels().ChangedChannels();
  for (const std::string& id : deleted) NotifyChannelDestroyed(std::stoi(id), originator);
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
