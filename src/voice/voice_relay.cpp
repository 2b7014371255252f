// The voice relay: every client voice packet goes out once per listener.
#include "voice/udp_listener.h"

namespace qv {

void TQVUDPListener::RelayChannelVoice() {}
void TQVUDPListener::RelayWhisperVoice() {}
void TQVUDPListener::RelayParentChannelVoice() {}

}  // namespace qv
