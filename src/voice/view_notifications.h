// The view: who sees whom, and every notification that keeps the clients'
// player and channel lists in step with the server (arrivals, departures,
// channel switches, flags and privileges, a change of the server type, the
// channel notifications).
//
// Thread rules: listener thread, both locks held (see listener_context.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "voice/listener_context.h"

namespace qv {

// Reasons carried by CMD_sc_NotifyPlayerLeftScope.
enum TLeftScopeReason : uint16_t {
  lrLeftServer = 1,   // quit, time-out, connection closed, failed login
  lrKicked = 2,       // kicked from the server
  lrServerStops = 4,  // the virtual server stops
  lrLeftView = 6,     // left the recipient's view
};

namespace voice {

// Writes a player entry at the packet's position.
void WritePlayerEntry(TPacket& packet, const TClientRec& player);
// CMD_sc_NotifyPlayerLeftScope about playerId, addressed to `to`.
TPacketPtr NewLeftScopePacket(const TClientRec& to, uint32_t playerId, uint16_t reason, std::string_view reasonText,
                              uint32_t actingPlayerId);

// Whether viewer sees subject: everyone on a clan server, players in the
// same channel tree on a public one.
bool CheckClientInView(const TListenerContext& ctx, const TClientRec* subject, const TClientRec* viewer);
// Up to ten player entries per packet (CMD_sc_LoginStep5 and
// CMD_sc_NotifyPlayersInSwitchedChannel share the 468-byte layout).
void SendPlayerEntries(TListenerContext& ctx, const TClientRec& to, uint16_t commandType,
                       const std::vector<const TClientRec*>& players);

// CMD_sc_NotifyPlayerEnteredScope to every other player who sees him.
void NotifyPlayerEnteredScope(TListenerContext& ctx, uint32_t playerId);
// Announces that a player leaves to every connected player who sees him
// (himself included: his copy closes his connection). Nothing for a player
// who is unknown, has not completed his login or is already leaving.
void NotifyPlayerLeftScope(TListenerContext& ctx, uint32_t playerId, uint16_t reason, std::string_view reasonText,
                           uint32_t actingPlayerId);
// CMD_sc_NotifyPlayerFlagsChanged about the player to everybody who sees him.
void NotifyPlayerFlagsChanged(TListenerContext& ctx, const TClientRec& player);
// Privilege notifications (types 106 and 107) to everybody who sees the subject.
void NotifyPlayerChannelPrivilegeChanged(TListenerContext& ctx, uint32_t playerId, uint32_t originator, uint8_t action,
                                         uint8_t privilegeIndex);
void NotifyPlayerPrivilegesChanged(TListenerContext& ctx, uint32_t playerId, uint32_t originator, uint8_t action,
                                   uint8_t privilegeIndex);
// After a player changed channel: type 103 to those who keep seeing him,
// left/entered scope and the new view's players where the view changes.
void NotifyPlayerSwitchedChannel(TListenerContext& ctx, uint32_t playerId, int32_t oldChannelId, int32_t newChannelId);
void NotifyPlayersInSwitchedChannel(TListenerContext& ctx, uint32_t playerId);
// After the server type changed: the players he now sees (clan), or the
// ones he no longer sees (public).
void UpdateClanServerPlayerListTo(TListenerContext& ctx, uint32_t playerId);
void UpdatePublicServerPlayerListTo(TListenerContext& ctx, uint32_t playerId);

// Channel notifications to every connected player; nothing when the
// channel does not exist. The properties notification also takes operator
// and voice from the players of a channel that is not moderated.
void NotifyChannelCreated(TListenerContext& ctx, int32_t channelId, uint32_t originator);
void NotifyChannelPropertiesChanged(TListenerContext& ctx, int32_t channelId, uint32_t originator);
void NotifyChannelMaxUsersChanged(TListenerContext& ctx, int32_t channelId, uint32_t originator);
// CMD_sc_NotifyChannelDestroyed to every connected player.
void NotifyChannelDestroyed(TListenerContext& ctx, int32_t channelId, uint32_t originator);
// A channel's text (name) or 16-bit value (order) changed, by `originator`.
void NotifyChannelText(TListenerContext& ctx, uint16_t commandType, const TChannelRec& channel, uint32_t originator,
                       const std::string& text);
void NotifyChannelValue(TListenerContext& ctx, uint16_t commandType, const TChannelRec& channel, uint16_t value,
                        uint32_t originator);

}  // namespace voice
}  // namespace qv
