// Datagram validation and TCustomPacketBuffer::ReceivePacket on a server-side
// buffer whose connections are in different states (open, one closing, one
// removed). The input is a series of datagrams, each: a flags byte (bit 0:
// fill in the checksum, so that the fuzzer gets past it; bits 1-2: the
// sending port's player), a length byte and the bytes. Events and outgoing
// datagrams are drained after each; the buffer's counts must agree.
#include "fuzz_server.h"

using namespace qv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TCustomPacketBuffer buffer(kSideServer, 7);
  for (uint32_t id = 1; id <= 4; ++id) {
    buffer.AddConnection(id, 1000 + id, 1, static_cast<uint16_t>(40000 + id), "127.0.0.1");
  }
  // Player 3 is closing, player 4 is gone.
  buffer.SendPacket(NewCommandPacket(300, 1003, 3), true);
  buffer.RemoveConnection(4);
  fuzz::TInput in(data, size);
  while (!in.Empty()) {
    const uint8_t flags = in.U8();
    const std::string_view bytes = in.Bytes(in.U8());
    auto packet = std::make_unique<TPacket>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                            "127.0.0.1", static_cast<uint16_t>(40001 + ((flags >> 1) & 3)));
    if ((flags & 1) && packet->IsKnownClass()) packet->SetChecksum();
    if (!packet->IsValid()) continue;
    if (!packet->IsKnownClass()) fuzz::Broken("valid packet of unknown class");
    try {
      buffer.ReceivePacket(std::move(packet));
    } catch (const std::exception&) {
      // Refused, as the reader thread swallows it.
    }
    uint32_t playerId = 0;
    TEventKind kind{};
    TPacketPtr event;
    int64_t wait = 0;
    while (buffer.TryNextEvent(playerId, kind, event, wait)) {
      if (kind == evPacket && (!event || event->PlayerId() != playerId)) fuzz::Broken("event names another player");
      if (kind == evClosed || kind == evTimedOut) buffer.RemoveConnection(playerId);
    }
    TPacketList sent;
    while (buffer.TryTakeOutgoing(sent, 64, wait) > 0) sent.clear();
  }
  const int count = buffer.ConnectionCount();
  if (count < 0 || count > 3) fuzz::Broken("connection count", count);
  for (uint32_t id = 1; id <= 4; ++id) {
    const TConnectionInfo info = buffer.GetConnectionInfo(id);
    if (info.ConnectionId != 0 && info.ConnectionId != 1000 + id) fuzz::Broken("connection changed its id", id);
  }
  if (buffer.GetConnectionInfo(4).ConnectionId != 0) fuzz::Broken("removed connection came back");
  return 0;
}
