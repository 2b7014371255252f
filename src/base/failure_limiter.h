// TFailureLimiter: a lock-out for addresses that guess passwords.
//
// Every failed login (wrong password, unknown login name) is counted per
// address; an address with Failures failures within WindowSeconds is refused
// for LockSeconds. Logins that succeed are never affected, and neither is
// anything an address does once logged in. The limits are passed with every
// call, so that the caller's current settings always apply; Failures 0 turns
// the limiter off.
//
// Thread rules: every method takes the limiter's own lock (a leaf).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "base/log.h"
#include "base/mutex.h"

namespace qv {

struct TFailureLimits {
  int32_t Failures = 10;  // 0: no limit
  int32_t WindowSeconds = 60;
  int32_t LockSeconds = 600;
};

// The line logged once when an address gets locked.
TRemoteLine LockedOutLine(const std::string& address, const TFailureLimits& limits);

class TFailureLimiter {
 public:
  // Milliseconds on a monotonic clock; empty: std::chrono::steady_clock.
  using TNowMs = std::function<int64_t()>;
  explicit TFailureLimiter(TNowMs now = {});

  // Whether logins from the address are refused now.
  bool Refused(const std::string& address, const TFailureLimits& limits);
  // Counts one failure; true when it locked the address (the caller logs
  // one line per lock).
  bool CountFailure(const std::string& address, const TFailureLimits& limits);

 private:
  struct TEntry {
    int64_t WindowStart = 0;
    int32_t Failures = 0;
    int64_t LockedUntil = 0;  // 0: not locked
  };
  void Purge(int64_t now, const TFailureLimits& limits) REQUIRES(mutex_);

  // Entries above this are purged of what has expired, so that a flood of
  // source addresses cannot grow the table without end.
  static constexpr size_t kPurgeAbove = 4096;

  const TNowMs now_;
  TMutex mutex_;
  std::map<std::string, TEntry> entries_ GUARDED_BY(mutex_);
};

}  // namespace qv
