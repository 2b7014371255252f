// External commands: work the administration interfaces queue on the server
// (TServerObject's external command), run on the listener thread with both
// locks held. Each handler returns the command's result; the command table
// (command_table.cpp) runs them.
#pragma once

#include <cstdint>

#include "voice/listener_context.h"

namespace qv::voice {

int32_t ExternalCommand_AddClient(TListenerContext& ctx, const TExternalCommand& command);
int32_t ExternalCommand_DelClient(TListenerContext& ctx, const TExternalCommand& command);
int32_t ExternalCommand_MoveClientToChannel(TListenerContext& ctx, const TExternalCommand& command);
int32_t ExternalCommand_AddChannel(TListenerContext& ctx, const TExternalCommand& command);
int32_t ExternalCommand_DelChannel(TListenerContext& ctx, const TExternalCommand& command);
int32_t ExternalCommand_NotifyChangedServerProperties(TListenerContext& ctx, const TExternalCommand& command);
int32_t ExternalCommand_CheckServerOK(TListenerContext& ctx, const TExternalCommand& command);
int32_t ExternalCommand_SetUserPrivilege(TListenerContext& ctx, const TExternalCommand& command);

}  // namespace qv::voice
