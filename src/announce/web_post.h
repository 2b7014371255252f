// TWebPost: the server-list announcement.
//
// A background thread that, every AnnounceIntervalSeconds (the first pass
// after half of it), tells the server list about every running virtual
// server: one UDP heartbeat datagram per server to the server-list host and,
// while [WebPost] "Enabled" is on, the server's data as a URL-encoded form
// posted to the configured post URL and to the server's own post URL.
//
// Network calls that may block (name look-ups, form posts) run on helper
// threads of their own: a pass waits for each at most kPostTimeout, and
// Terminate/Join never wait for one. A helper still running is abandoned; it
// ends by its own time-out and touches nothing but its own state.
//
// Thread rules: Start, Terminate and Join belong to the owner (start-up and
// shutdown); AnnounceAll runs on the thread (tests may call it directly on a
// TWebPost that was not started). Settings are read through GetSettings() at
// every pass, so changes made in the web interface take effect at the next.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "model/process_settings.h"

namespace qv {

class TServerRegistry;

constexpr size_t kHeartbeatSize = 403;
// Read and connect time-out of every HTTP request of a pass, and the longest
// a pass waits for one post.
constexpr std::chrono::milliseconds kPostTimeout{2000};

// What a pass reads from one running server.
struct TAnnouncedServer {
  int32_t ServerId = 0;
  std::string Name;
  std::string Platform;
  std::array<uint16_t, 4> Version{};
  uint32_t UdpPort = 0;
  uint16_t ServerFlags = 0;
  bool HasPassword = false;
  uint32_t Uptime = 0;
  uint32_t Players = 0;
  uint32_t MaxPlayers = 0;
  uint32_t Channels = 0;
  uint64_t Bandwidth = 0;  // incoming plus outgoing bytes per second, last minute
  std::string LinkUrl;
};

using TFormFields = std::vector<std::pair<std::string, std::string>>;

// The heartbeat datagram of a server.
std::array<uint8_t, kHeartbeatSize> BuildHeartbeat(const TProcessSettings& settings,
                                                   const TAnnouncedServer& server);
// The form fields of a server, in the order the server list expects.
TFormFields BuildFormFields(const TProcessSettings& settings, const TAnnouncedServer& server);

class TWebPost {
 public:
  // registry: where the running servers are found (the process-wide one by default).
  explicit TWebPost(std::function<TServerRegistry*()> registry = {});
  // Terminates and joins the thread.
  ~TWebPost();
  TWebPost(const TWebPost&) = delete;
  TWebPost& operator=(const TWebPost&) = delete;

  void Start();
  // Asks the thread to end; it notices within one wait step.
  void Terminate();
  void Join();

  // One pass over all running servers. Failures outside the network steps
  // end the pass with the "DoWebPost Exception: " log line.
  void AnnounceAll();

 private:
  void Execute();
  // Waits up to `span`; false when terminated meanwhile.
  bool Wait(std::chrono::milliseconds span);
  struct THeartbeatTarget;
  // Opens the pass's UDP client towards the server-list host; nullptr when
  // none is configured or it cannot be reached.
  std::unique_ptr<THeartbeatTarget> OpenHeartbeat(const TProcessSettings& settings);
  void AnnounceServer(TServerRegistry& registry, int32_t id, const TProcessSettings& settings,
                      THeartbeatTarget* heartbeat);
  void PostForm(const std::string& url, const std::string& body, const std::string& bindIp);

  const std::function<TServerRegistry*()> registry_;
  std::atomic<bool> terminated_{false};
  std::mutex waitMutex_;
  std::condition_variable waitWake_;  // signalled by Terminate, guarded by waitMutex_
  std::thread thread_;
};

}  // namespace qv
