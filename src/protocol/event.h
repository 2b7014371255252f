// TWindowsEvent: an unnamed auto-reset event.
//
// Created non-signalled. Signal lets exactly one waiter through (or the next
// one to arrive, when nobody waits); a successful Wait resets the event.
// Signalling an already signalled event changes nothing (signals do not count).
//
// Thread rules: every method may be called from any thread.
#pragma once

#include <condition_variable>
#include <mutex>

#include "base/mutex.h"

namespace qv {

// Results of TWindowsEvent::Wait. Abandoned is never produced here; the value
// exists because callers distinguish all four.
enum TWaitResult : int { wrSignaled = 0, wrTimeout = 1, wrAbandoned = 2, wrError = 3 };

class TWindowsEvent {
 public:
  TWindowsEvent() = default;
  TWindowsEvent(const TWindowsEvent&) = delete;
  TWindowsEvent& operator=(const TWindowsEvent&) = delete;

  void Signal();
  void Reset();
  // Waits up to ms milliseconds (a negative ms waits forever). wrError stores
  // the system error code in LastError().
  TWaitResult Wait(int ms);
  int LastError() const;

 private:
  mutable TMutex mutex_;
  std::condition_variable cond_;
  bool signaled_ GUARDED_BY(mutex_) = false;
  int lastError_ GUARDED_BY(mutex_) = 0;
};

}  // namespace qv
