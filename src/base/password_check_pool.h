// The bound on password checks running at once, shared by every login of the
// process (query, web and the voice listeners).
//
// A check costs tens of milliseconds and megabytes (password_hash.h), so a
// flood of logins must not start one thread, or queue one check, per
// attempt: a few workers run the checks; a check that waits longer than
// MaxWait before a worker takes it, or finds MaxQueued checks already
// waiting, is answered pcBusy without being made. Busy is a refusal, never
// a match.
//
// Thread rules: Submit and Check may be called from any thread. A completion
// callback runs on a worker thread, or on the submitting thread when the
// queue is full or the pool is stopping; it must not block for long.
#pragma once

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/mutex.h"

namespace qv {

enum TPasswordCheck : uint8_t { pcMatch, pcMismatch, pcBusy };

class TPasswordCheckPool {
 public:
  struct TLimits {
    int Workers = 2;                          // checks running at once
    std::chrono::milliseconds MaxWait{1000};  // longest wait for a worker
    size_t MaxQueued = 16;                    // checks waiting at most
  };
  // The check itself: whether password matches the stored text. Tests pass a
  // slow one; the default is VerifyPassword.
  using TVerify = std::function<bool(const std::string& stored, const std::string& password)>;
  using TDone = std::function<void(TPasswordCheck)>;
  // A login's whole check made on a worker (its storage reads and the
  // comparison, which it makes through the verify it is given). A check that
  // is refused as busy never runs its work.
  using TWork = std::function<TPasswordCheck(const TVerify& verify)>;

  TPasswordCheckPool();
  TPasswordCheckPool(TLimits limits, TVerify verify);
  // Answers the checks still waiting pcBusy, waits for running ones.
  ~TPasswordCheckPool();
  TPasswordCheckPool(const TPasswordCheckPool&) = delete;
  TPasswordCheckPool& operator=(const TPasswordCheckPool&) = delete;

  // Queues a check of password against stored; done gets its result. The
  // id of the queued check, or 0 when it was refused at once (done has run).
  uint64_t Submit(std::string stored, std::string password, TDone done);
  uint64_t Submit(TWork work, TDone done);
  // Submit, then wait: pcBusy when no worker took the check within MaxWait.
  TPasswordCheck Check(std::string stored, std::string password);

 private:
  struct TJob {
    uint64_t Id = 0;
    TWork Work;  // holds the secret; it is wiped when the job goes
    TDone Done;
    std::chrono::steady_clock::time_point Queued;
  };
  void Work();

  const TLimits limits_;
  const TVerify verify_;
  TMutex mutex_;
  std::condition_variable_any wake_;
  std::deque<TJob> queue_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  uint64_t lastId_ GUARDED_BY(mutex_) = 0;
  std::vector<std::thread> workers_;
};

// The process's pool (default limits), made at first use.
TPasswordCheckPool& SharedPasswordChecks();

}  // namespace qv
