// TMutex: a std::mutex the thread-safety analysis knows as a lock, and
// TMutexLock, its scoped holder (base/thread_annotations.h).
//
// Fields name the TMutex that guards them (GUARDED_BY), functions the one
// they need held (REQUIRES); Clang then checks every access. TMutex meets
// the standard Lockable requirements, so std::condition_variable_any and
// std::unique_lock work with it; Native() gives the std::mutex for a
// std::condition_variable wait, which the analysis cannot follow.
//
// Thread rules: those of std::mutex.
#pragma once

#include <mutex>

#include "base/thread_annotations.h"

namespace qv {

class CAPABILITY("mutex") TMutex {
 public:
  TMutex() = default;
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis that the calling thread holds this mutex (e.g. after
  // a condition variable's wait handed it back).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}
  std::mutex& Native() { return mutex_; }

 private:
  std::mutex mutex_;
};

// TMutexLock's "the caller has just locked it" (after a successful try_lock).
struct TAdoptLock {};
inline constexpr TAdoptLock kAdoptLock{};

// Holds a TMutex for its scope.
class SCOPED_CAPABILITY TMutexLock {
 public:
  explicit TMutexLock(TMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  TMutexLock(TMutex& mutex, TAdoptLock) REQUIRES(mutex) : mutex_(mutex) {}
  ~TMutexLock() RELEASE() { mutex_.unlock(); }
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;

 private:
  TMutex& mutex_;
};

}  // namespace qv

// Makes std::lock_guard<T> of a class T that is itself a lock
// (CAPABILITY, with annotated lock() and unlock()) a holder the analysis
// knows, so that the callers' std::lock_guard<T> lines are checked as they
// are. libstdc++'s lock_guard carries no annotations; this specialization
// meets the standard's requirements for it. Use at namespace scope, outside
// namespace qv, after T's definition.
#define QV_ANNOTATED_LOCK_GUARD(T)                                                                 \
  template <>                                                                                      \
  class SCOPED_CAPABILITY std::lock_guard<T> {                                                     \
   public:                                                                                         \
    using mutex_type = T;                                                                          \
    explicit lock_guard(T& lockable) ACQUIRE(lockable) : lockable_(lockable) { lockable_.lock(); } \
    lock_guard(T& lockable, std::adopt_lock_t) REQUIRES(lockable) : lockable_(lockable) {}         \
    ~lock_guard() RELEASE() { lockable_.unlock(); }                                                \
    lock_guard(const lock_guard&) = delete;                                                        \
    lock_guard& operator=(const lock_guard&) = delete;                                             \
                                                                                                   \
   private:                                                                                        \
    T& lockable_;                                                                                  \
  }
