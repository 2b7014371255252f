// Where the server list lives, and the network helpers the announcement and
// the external address detection share.
//
// [WebPost] "ServerListHost" holds "host:port"; the heartbeats go to that
// UDP port and the detection asks that TCP port over HTTP. A host without a
// port uses UDP 45647 and HTTP 80. Empty: no heartbeats and no detection.
//
// Thread rules: stateless; any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qv {

struct TServerListHost {
  std::string Host;
  std::optional<uint16_t> Port;

  uint16_t HeartbeatPort() const { return Port.value_or(45647); }
  uint16_t HttpPort() const { return Port.value_or(80); }
  // "http://host:port" (IPv6 literals in brackets).
  std::string HttpBase() const;
};

// The trimmed setting; nullopt when it is empty or its port is not 1..65535.
std::optional<TServerListHost> ParseServerListHost(std::string_view text);

// The first IPv4 address the name resolves to; nullopt when none.
std::optional<std::string> ResolveIPv4(const std::string& host);

// Runs a blocking network call on a helper thread and waits until it is
// done, `limit` passed or `*stop` (when given) became true. A call that is
// not done by then is abandoned: `cancel` (when given) is called to hurry it
// and the helper finishes on its own, keeping only what the task captured.
// The task's result; nullopt when the call was abandoned or raised.
std::optional<std::string> RunBounded(std::function<std::optional<std::string>()> task,
                                      std::chrono::milliseconds limit, const std::atomic<bool>* stop,
                                      const std::function<void()>& cancel = {});

}  // namespace qv
