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
// The moderation commands (model/server_moderation.h).
int32_t ExternalCommand_KickFromChannel(TListenerContext& ctx, const TExternalCommand& command);
int32_t ExternalCommand_BanPlayer(TListenerContext& ctx, const TExternalCommand& command);
int32_t ExternalCommand_SendText(TListenerContext& ctx, const TExternalCommand& command);
int32_t ExternalCommand_EditChannel(TListenerContext& ctx, const TExternalCommand& command);
int32_t ExternalCommand_SetChannelPrivilege(TListenerContext& ctx, const TExternalCommand& command);
int32_t ExternalCommand_ChangeServerPrivilege(TListenerContext& ctx, const TExternalCommand& command);

}  // namespace qv::voice
