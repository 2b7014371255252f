// Player commands: kicks, channel switches and moves, flags, privileges,
// registration, mutes and upload bandwidth.
#include "voice/udp_listener.h"

namespace qv {

void TQVUDPListener::CMD_cs_PlayerKick() {}
void TQVUDPListener::CMD_cs_PlayerKickFromChannel() {}
void TQVUDPListener::CMD_cs_PlayerChannelSwitch() {}
void TQVUDPListener::CMD_cs_PlayerFlagsChanged() {}
void TQVUDPListener::CMD_cs_PlayerRequestVoice() {}
void TQVUDPListener::CMD_cs_PlayerChangeChannelPrivilege() {}
void TQVUDPListener::CMD_cs_PlayerChangePrivilege() {}
void TQVUDPListener::CMD_cs_PlayerRegister() {}
void TQVUDPListener::CMD_cs_PlayerAdminRegister() {}
void TQVUDPListener::CMD_cs_PlayerMutePlayer() {}
void TQVUDPListener::CMD_cs_PlayerMovePlayer() {}
void TQVUDPListener::CMD_cs_PlayerSetUploadBandwidth() {}

}  // namespace qv
