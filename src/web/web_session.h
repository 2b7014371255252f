// Server-side sessions of the web interface, identified by the cookie
// "IDHTTPSESSIONID".
//
// A session holds named text values (names compared without regard to letter
// case; a missing name reads as empty) and its cache record: the time of the
// last credential check and the settings of one virtual server as last read
// from storage. A session ends after 15 minutes without a request; too many
// sessions end the least recently used first.
//
// Thread rules: requests of one browser may run in parallel and share a
// session. Get/Set are safe from any thread (a leaf lock of their own).
// Values that belong together (login, logout, password change) and the cache
// record change while the caller holds Lock. TSessionStore has its own lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/server_object.h"

namespace qv {

using TWebClock = std::chrono::steady_clock;

// The session's cache record.
struct TSessionCache {
  TWebClock::time_point LastCheck{};     // last credential check
  TWebClock::time_point SettingsTime{};  // epoch: nothing cached
  int32_t ServerId = 0;                  // whose settings are cached
  TServerSettings Settings;
};

class TWebSession {
 public:
  explicit TWebSession(std::string id);

  const std::string& Id() const { return id_; }
  std::string Get(std::string_view name) const;
  void Set(std::string_view name, std::string_view value);
  // Every value as (name, value), in name order.
  std::vector<std::pair<std::string, std::string>> Values() const;

  // Held for changes of values that belong together and for Cache.
  std::mutex Lock;
  TSessionCache Cache;  // guarded by Lock

 private:
  const std::string id_;
  mutable std::mutex valuesMutex_;
  std::map<std::string, std::pair<std::string, std::string>> values_;  // guarded by valuesMutex_
};

class TSessionStore {
 public:
  static constexpr std::chrono::milliseconds kTimeout{900000};
  static constexpr size_t kMaxSessions = 10000;

  // The live session with this id (its idle time restarts), or nullptr.
  std::shared_ptr<TWebSession> Find(std::string_view id);
  // A new session with a fresh random id and its StartTime value.
  std::shared_ptr<TWebSession> Create();
  void Remove(std::string_view id);
  size_t Count();

 private:
  struct TEntry {
    std::shared_ptr<TWebSession> session;
    TWebClock::time_point lastUsed;
  };
  // Caller holds mutex_.
  void Expire(TWebClock::time_point now);

  std::mutex mutex_;
  std::map<std::string, TEntry, std::less<>> sessions_;  // guarded by mutex_
  TWebClock::time_point lastSweep_{};                    // guarded by mutex_
};

// 32 hexadecimal digits from the kernel's secure random source.
std::string NewSessionId();

}  // namespace qv
