// Every client command through the listener's handlers, on a fresh server
// per input. The input is a series of requests, each: the sending player
// (one byte), the command type (two bytes, little-endian), the payload length
// (one byte) and the payload after the header. The players and channels must
// stay consistent after every request.
#include "fuzz_server.h"

using namespace qv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TFuzzServer server;
  fuzz::TInput in(data, size);
  for (uint32_t sequence = 1; !in.Empty() && sequence <= 16; ++sequence) {
    const uint32_t playerId = 1 + in.U8() % fuzz::kPlayers;
    const uint16_t type = in.U16();
    const std::string_view payload = in.Bytes(in.U8());
    const TClientRec* player = server.server.Clients->GetClientByID(playerId);
    auto packet = NewCommandPacket(type, player ? player->ConnectionId : 0, playerId);
    packet->SetSequence(sequence);
    packet->SetSize(CommandHeader::Size + payload.size());
    if (!payload.empty()) std::memcpy(packet->Data() + CommandHeader::Size, payload.data(), payload.size());
    server.listener->ProcessEvent(playerId, evPacket, std::move(packet));
    server.DrainOutgoing();
    server.CheckModel();
  }
  return 0;
}
