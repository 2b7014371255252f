#include "protocol/event.h"

#include <chrono>
#include <system_error>

namespace qv {

void TWindowsEvent::Signal() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signaled_ = true;
  }
  cond_.notify_one();
}

void TWindowsEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signaled_ = false;
}

TWaitResult TWindowsEvent::Wait(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  try {
    // The predicate form absorbs spurious wake-ups; only a real signal ends
    // the wait early.
    const auto isSet = [this] { return signaled_; };
    if (ms < 0) {
      cond_.wait(lock, isSet);
    } else if (!cond_.wait_for(lock, std::chrono::milliseconds(ms), isSet)) {
      return wrTimeout;
    }
  } catch (const std::system_error& e) {
    lastError_ = e.code().value();
    return wrError;
  }
  signaled_ = false;  // auto-reset: this waiter consumed the signal
  return wrSignaled;
}

int TWindowsEvent::LastError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastError_;
}

}  // namespace qv
