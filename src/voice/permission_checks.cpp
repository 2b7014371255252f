// Who sees whom, and the permission checks of the command handlers.
#include "voice/udp_listener.h"

namespace qv {

bool TQVUDPListener::CheckClientInView(const TClientRec* subject, const TClientRec* viewer) const {
  if (!subject || !viewer) return false;
  if (server_.IsClanServer()) return true;
  // Public server: players see each other within one channel tree.
  return Channels().SameChannelTree(subject->ChannelId, viewer->ChannelId);
}

}  // namespace qv
