// IP bans, information requests and text messages.
#include "voice/udp_listener.h"

namespace qv {

void TQVUDPListener::CMD_cs_PlayerBanIp() {}
void TQVUDPListener::CMD_cs_PlayerBanIpPlayer() {}
void TQVUDPListener::CMD_cs_PlayerUnbanIp() {}
void TQVUDPListener::CMD_cs_InfoRequestPlayerConnectionInfoOnId() {}
void TQVUDPListener::CMD_cs_InfoRequestServerInfo() {}
void TQVUDPListener::CMD_cs_InfoRequestBanIpList() {}
void TQVUDPListener::CMD_cs_InfoSendText() {}

}  // namespace qv
