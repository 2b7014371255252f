// The voice relay: every client voice packet goes out once per listener,
// by VoiceTarget 0 (channel), 1 (whisper) and 2 (parent channel).
//
// The relay runs for every voice datagram: it allocates nothing in the
// steady state (the relayed packet and the recipients' list are the
// context's reusable TVoiceRelayState) and queues all copies of a datagram
// under one lock of the packet buffer.
//
// Thread rules: listener thread, both locks held (see listener_context.h).
#pragma once

#include <cstdint>

#include "voice/listener_context.h"

namespace qv::voice {

// Handlers (command_table.cpp runs them); voice has no refusal, each returns 0.
int32_t ProgressVoiceData_SendVoiceDataToChannel(TListenerContext& ctx, TClientRec* speaker, TPacket& datagram);
int32_t ProgressVoiceData_SendVoiceDataWhisper(TListenerContext& ctx, TClientRec* speaker, TPacket& datagram);
int32_t ProgressVoiceData_SendVoiceDataToParentChannel(TListenerContext& ctx, TClientRec* speaker, TPacket& datagram);

}  // namespace qv::voice
