// Login and logout: the login steps, the quit, and the announcements of
// arriving and leaving players.
#include "protocol/command_types.h"
#include "voice/udp_listener.h"

namespace qv {

void TQVUDPListener::CMD_cs_LoginStep1() {}

void TQVUDPListener::CMD_cs_LoginStep3() {}

void TQVUDPListener::CMD_cs_PlayerQuit() {}

void TQVUDPListener::NotifyPlayerLeftScope(uint32_t playerId, uint16_t reason, std::string_view reasonText,
                                           uint32_t actingPlayerId) {
  TClientRec* leaving = Clients().GetClientByID(playerId);
  if (!leaving || !leaving->LoginComplete || leaving->Removing) return;
  for (const auto& recipient : Clients().Items()) {
    if (!CheckClientInView(leaving, recipient.get())) continue;
    auto packet = NewCommandPacket(qv::CMD_sc_NotifyPlayerLeftScope, recipient->ConnectionId,
                                   recipient->PlayerId);
    packet->SetSize(LeftScopeLayout::Size);
    packet->SetU32(LeftScopeLayout::PlayerId, playerId);
    packet->SetU16(LeftScopeLayout::Reason, reason);
    packet->SetU32(LeftScopeLayout::ActingPlayerId, actingPlayerId);
    packet->SetPosition(LeftScopeLayout::ReasonText);
    packet->WriteText(reasonText, kShortTextField);
    // His own copy is the last thing his connection carries.
    const bool self = recipient.get() == leaving;
    if (self) leaving->Removing = true;
    SendPacket(std::move(packet), self);
  }
}

}  // namespace qv
