// External commands: work the administration interfaces hand to the
// listener, run here with both locks held.
#include "voice/udp_listener.h"

namespace qv {

// True when a command was pending (it then ran, and its caller was answered).
bool TQVUDPListener::RunExternalCommand() {
  TExternalCommand command = server_.TakeExternalCommand();
  if (command.CommandType == ecNone) return false;
  switch (command.CommandType) {
    case ecAddClient: ExternalCommand_AddClient(command); break;
    case ecDelClient: ExternalCommand_DelClient(command); break;
    case ecMoveClientToChannel: ExternalCommand_MoveClientToChannel(command); break;
    case ecAddChannel: ExternalCommand_AddChannel(command); break;
    case ecDelChannel: ExternalCommand_DelChannel(command); break;
    case ecNotifyChangedServerProperties: ExternalCommand_NotifyChangedServerProperties(command); break;
    case ecCheckServerOK: ExternalCommand_CheckServerOK(command); break;
    case ecSetUserPrivilege: ExternalCommand_SetUserPrivilege(command); break;
    default: break;  // a type without handler does nothing
  }
  server_.CompleteExternalCommand(command.Result);
  return true;
}

void TQVUDPListener::ExternalCommand_DelClient(TExternalCommand&) {}
void TQVUDPListener::ExternalCommand_MoveClientToChannel(TExternalCommand&) {}
void TQVUDPListener::ExternalCommand_AddChannel(TExternalCommand&) {}
void TQVUDPListener::ExternalCommand_DelChannel(TExternalCommand&) {}
void TQVUDPListener::ExternalCommand_NotifyChangedServerProperties(TExternalCommand&) {}

void TQVUDPListener::ExternalCommand_CheckServerOK(TExternalCommand& command) { command.Result = kServerOK; }

void TQVUDPListener::ExternalCommand_SetUserPrivilege(TExternalCommand&) {}

}  // namespace qv
