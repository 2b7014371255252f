#include "protocol/event.h"

#include <chrono>
#include <system_error>

namespace qv {

void TWindowsEvent::Signal() {
  {
    TMutexLock lock(mutex_);
    signaled_ = true;
  }
  cond_.notify_one();
}

void TWindowsEvent::Reset() {
  TMutexLock lock(mutex_);
  signaled_ = false;
}

TWaitResult TWindowsEvent::Wait(int ms) {
  std::unique_lock<std::mutex> lock(mutex_.Native());
  // The analysis does not follow std::unique_lock over the native mutex (nor
  // the waits, which hand it back before they return).
  mutex_.AssertHeld();
  try {
    // The predicate form absorbs spurious wake-ups; only a real signal ends
    // the wait early.
    const auto isSet = [this]() REQUIRES(mutex_) { return signaled_; };
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
  TMutexLock lock(mutex_);
  return lastError_;
}

}  // namespace qv
