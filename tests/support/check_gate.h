// Password checks that wait until the test opens the gate: a check is "slow"
// for exactly as long as the test wants, so that what happens meanwhile is
// shown without any timing.
#pragma once

#include <condition_variable>
#include <mutex>

namespace qv::test {

class TGate {
 public:
  // Blocks the calling check until Open; counts it as waiting meanwhile.
  void Pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  // Waits until n checks have come to the gate.
  void AwaitWaiting(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return waiting_ >= n; });
  }
  void Open() {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_ = 0;
  bool open_ = false;
};

}  // namespace qv::test
