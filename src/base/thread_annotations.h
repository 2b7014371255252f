// Clang's thread-safety annotations as macros, so that the compiler checks
// which lock guards a field and which lock a function needs held.
//
// Clang with -Wthread-safety checks them (scripts/run-tests.sh builds the
// tree that way in its "clang" part); on GCC they vanish. Use them with the
// annotated TMutex of base/mutex.h:
//
//   TMutex mutex_;
//   int count_ GUARDED_BY(mutex_);
//   void Bump() REQUIRES(mutex_);  // the caller holds mutex_
//   void Add() EXCLUDES(mutex_);   // takes mutex_ itself
#pragma once

#if defined(__clang__)
#define QV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QV_THREAD_ANNOTATION(x)
#endif

// A class that is a lock (TMutex), and a scoped holder of one (TMutexLock).
#define CAPABILITY(x) QV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QV_THREAD_ANNOTATION(scoped_lockable)
// The field (or what the pointer points to) is read and written only with the lock held.
#define GUARDED_BY(x) QV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QV_THREAD_ANNOTATION(pt_guarded_by(x))
// Locks that must be taken before (after) this one.
#define ACQUIRED_BEFORE(...) QV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) QV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// The caller holds the lock (exclusively, or at least shared).
#define REQUIRES(...) QV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) QV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The function takes (gives up) the lock and returns with it held (released).
#define ACQUIRE(...) QV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The caller must not hold the lock (the function takes it).
#define EXCLUDES(...) QV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// Tells the analysis the lock is held here (a check it cannot follow).
#define ASSERT_CAPABILITY(x) QV_THREAD_ANNOTATION(assert_capability(x))
// The function returns a reference to the lock.
#define RETURN_CAPABILITY(x) QV_THREAD_ANNOTATION(lock_returned(x))
// Opts a function out of the analysis; say why beside it.
#define NO_THREAD_SAFETY_ANALYSIS QV_THREAD_ANNOTATION(no_thread_safety_analysis)
