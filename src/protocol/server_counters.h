// The traffic counters of one virtual server, for monitoring.
//
// Each counter only grows while the server object lives (a restart of the
// server keeps them); readers take a snapshot with relaxed loads. The
// increments are single relaxed atomic adds on the paths where the events
// happen: the packet buffer (voice received and dropped, commands received,
// resends, ignored datagrams), the sender (send failures), the voice relay and the login
// handlers.
//
// Thread rules: any thread increments and reads; nothing else is shared.
#pragma once

#include <atomic>
#include <cstdint>

namespace qv {

struct TServerCounters {
  using TCounter = std::atomic<uint64_t>;

  // Adds n to a counter; the one way the hot paths count.
  static void Add(TCounter& counter, uint64_t n = 1) { counter.fetch_add(n, std::memory_order_relaxed); }

  TCounter VoiceReceived{0};       // voice datagrams accepted from players
  TCounter VoiceBytesReceived{0};
  TCounter VoiceRelayed{0};        // voice datagrams queued to listeners
  TCounter VoiceBytesRelayed{0};
  TCounter VoiceDropped{0};        // refused by a connection's bandwidth limit
  TCounter VoiceShed{0};           // dropped for waiting longer than the voice delay bound
  TCounter CommandsReceived{0};    // reliable commands taken in (repeats not counted)
  TCounter Resends{0};             // reliable commands sent again
  TCounter LoginsAccepted{0};
  TCounter LoginsRefused{0};
  TCounter SendFailures{0};        // datagrams the socket refused
  TCounter DatagramsIgnored{0};    // dropped unread: their address sent too many naming no connection
};

}  // namespace qv
