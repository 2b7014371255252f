// Fragment reassembly: a command of the input's length is cut into fragments
// by the sender's own code and fed to a server-side buffer, in order or
// reversed, some twice (the input's first byte chooses). Exactly one command
// must come out, byte for byte the one that was cut.
#include "fuzz_server.h"

using namespace qv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TInput in(data, size);
  const uint8_t order = in.U8();
  const std::string_view payload = in.Rest();
  auto command = NewCommandPacket(0x0100, 1001, 1);
  command->SetSize(CommandHeader::Size + payload.size());
  if (!payload.empty()) std::memcpy(command->Data() + CommandHeader::Size, payload.data(), payload.size());
  const auto original = command->Clone();
  TPacketList fragments = FragmentCommand(std::move(command));
  if (fragments.size() > 16) return 0;  // beyond the receive window

  TCustomPacketBuffer buffer(kSideServer, 7);
  buffer.AddConnection(1, 1001, 1, 40001, "127.0.0.1");
  std::vector<TPacketPtr> datagrams;
  for (size_t i = 0; i < fragments.size(); ++i) {
    fragments[i]->SetSequence(static_cast<uint32_t>(1 + i));
    fragments[i]->SetChecksum();
    fragments[i]->SetPeer("127.0.0.1", 40001);
    if (order & (2u << (i % 7))) datagrams.push_back(fragments[i]->Clone());  // a resend
    datagrams.push_back(std::move(fragments[i]));
  }
  if (order & 1) std::reverse(datagrams.begin(), datagrams.end());
  for (TPacketPtr& d : datagrams) {
    try {
      buffer.ReceivePacket(std::move(d));
    } catch (const std::exception&) {
      fuzz::Broken("a fragment was refused");
    }
  }
  int delivered = 0;
  uint32_t playerId = 0;
  TEventKind kind{};
  TPacketPtr event;
  int64_t wait = 0;
  while (buffer.TryNextEvent(playerId, kind, event, wait)) {
    if (kind != evPacket) continue;
    ++delivered;
    if (event->Size() != original->Size()) fuzz::Broken("reassembled size", static_cast<long>(event->Size()));
    if (std::memcmp(event->Data() + CommandHeader::Size, original->Data() + CommandHeader::Size,
                    payload.size()) != 0) {
      fuzz::Broken("reassembled payload differs");
    }
  }
  if (delivered != 1) fuzz::Broken("commands delivered", delivered);
  return 0;
}
