#include "base/failure_limiter.h"

#include <chrono>

namespace qv {

TFailureLimiter::TFailureLimiter(TNowMs now)
    : now_(now ? std::move(now) : [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
      }) {}

bool TFailureLimiter::Refused(const std::string& address, const TFailureLimits& limits) {
  if (limits.Failures <= 0) return false;
  TMutexLock lock(mutex_);
  auto it = entries_.find(address);
  return it != entries_.end() && it->second.LockedUntil > now_();
}

TRemoteLine LockedOutLine(const std::string& address, const TFailureLimits& limits) {
  return RemoteLine("{} failed logins from {}: its logins are refused for {} minutes", limits.Failures, address,
                    limits.LockSeconds / 60);
}

bool TFailureLimiter::CountFailure(const std::string& address, const TFailureLimits& limits) {
  if (limits.Failures <= 0) return false;
  TMutexLock lock(mutex_);
  const int64_t now = now_();
  if (entries_.size() > kPurgeAbove) Purge(now, limits);
  TEntry& entry = entries_[address];
  if (entry.LockedUntil > now) return false;  // already locked: no second line
  if (entry.Failures == 0 || now - entry.WindowStart > int64_t{limits.WindowSeconds} * 1000) {
    entry = TEntry{now, 0, 0};
  }
  if (++entry.Failures < limits.Failures) return false;
  entry = TEntry{now, 0, now + int64_t{limits.LockSeconds} * 1000};
  return true;
}

void TFailureLimiter::Purge(int64_t now, const TFailureLimits& limits) {
  const int64_t window = int64_t{limits.WindowSeconds} * 1000;
  for (auto it = entries_.begin(); it != entries_.end();) {
    const bool expired = it->second.LockedUntil <= now && now - it->second.WindowStart > window;
    it = expired ? entries_.erase(it) : std::next(it);
  }
}

}  // namespace qv
