// The listener's dispatch tables: one row per client command type, per
// control packet type, per voice target and per external command type.
//
// A row names its handler as the protocol does, and says who may send the
// request (the gate) and how long its fixed part is. RunRequest applies
// both, runs the handler inside the one try/catch, logs a failure as
// "<name> Exception: <class>.<message>" (voice is dropped without a line)
// and answers a refusal the handler returns with the error packet. A type
// without a row is ignored: no reply, no log line.
//
// Thread rules: the tables are constant; the frames run on the listener
// thread with both locks held (see listener_context.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qv {

class TListenerContext;
struct TClientRec;
class TPacket;
struct TExternalCommand;

// Who may send a request; a request that fails its gate is ignored.
enum TRequestGate : uint8_t {
  rgAnyone,         // the handler may get no player (login and quit)
  rgKnownPlayer,    // a player record exists, whatever its state
  rgLoginComplete,  // his login is complete
  rgNotLeaving,     // a player record not yet on its way out
};

// A handler gets the player (never null past a gate other than rgAnyone) and
// the request, and returns 0 or the refusal code to send back.
using TRequestHandler = int32_t (*)(TListenerContext& ctx, TClientRec* player, TPacket& request);

struct TRequestRow {
  uint16_t Type;  // command type, control type or voice target
  const char* Name;
  TRequestHandler Handler;
  TRequestGate Gate;
  size_t MinSize;  // a shorter request fails with EStreamError
};

// An external command's handler returns its result.
using TExternalHandler = int32_t (*)(TListenerContext& ctx, const TExternalCommand& command);

struct TExternalRow {
  uint16_t Type;
  const char* Name;
  TExternalHandler Handler;
  int32_t ResultOnFailure;  // the result when the handler raised an exception
};

extern const std::span<const TRequestRow> kClientCommands;   // pcCommand
extern const std::span<const TRequestRow> kControlCommands;  // pcControl
extern const std::span<const TRequestRow> kVoiceTargets;     // pcC2SVoice, by VoiceTarget
extern const std::span<const TExternalRow> kExternalCommands;

bool PassesGate(TRequestGate gate, const TClientRec* player);

// The row of the type; nullptr when the table has none.
template <typename Row>
const Row* FindRow(std::span<const Row> table, uint16_t type) {
  for (const Row& row : table) {
    if (row.Type == type) return &row;
  }
  return nullptr;
}

// The frame of every handler: the gate, the size check, the handler, the
// refusal and the one try/catch. Voice failures are not logged.
void RunRequest(TListenerContext& ctx, const TRequestRow& row, TClientRec* player, TPacket& request,
                bool logFailure = true);
// Runs the external command pending on the server, if any, and answers its
// caller; false when none was pending.
bool RunExternalCommand(TListenerContext& ctx);

}  // namespace qv
