// The login request (CMD_cs_LoginStep1) through the listener, on a server
// that already holds players: whatever it carries, the player list stays
// within the server's limit and consistent with the channels.
#include "fuzz_server.h"

using namespace qv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TFuzzServer server;
  auto packet = std::make_unique<TPacket>(data, size, "127.0.0.1", 40100);
  server.listener->ProcessEvent(0, evPacket, std::move(packet));
  server.DrainOutgoing();
  server.CheckModel();
  if (server.server.Clients->Count() > static_cast<int>(fuzz::kPlayers) + 1) {
    fuzz::Broken("one login added more than one player", server.server.Clients->Count());
  }
  return 0;
}
