#include "base/password_check_pool.h"

#include <sodium.h>

#include <future>

#include "base/password_hash.h"

namespace qv {

namespace {

void Forget(std::string& secret) {
  if (!secret.empty()) sodium_memzero(secret.data(), secret.size());
}

}  // namespace

TPasswordCheckPool::TPasswordCheckPool()
    : TPasswordCheckPool(TLimits{}, [](const std::string& stored, const std::string& password) {
        return VerifyPassword(stored, password);
      }) {}

TPasswordCheckPool::TPasswordCheckPool(TLimits limits, TVerify verify)
    : limits_(limits), verify_(std::move(verify)) {
  for (int i = 0; i < std::max(1, limits_.Workers); ++i) workers_.emplace_back([this] { Work(); });
}

TPasswordCheckPool::~TPasswordCheckPool() {
  std::deque<TJob> left;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
    left.swap(queue_);
  }
  wake_.notify_all();
  for (TJob& job : left) {
    Forget(job.Password);
    job.Done(pcBusy);
  }
  for (std::thread& worker : workers_) worker.join();
}

uint64_t TPasswordCheckPool::Submit(std::string stored, std::string password, TDone done) {
  std::deque<TJob> expired;
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    // Checks that waited too long while every worker was busy are answered
    // now rather than when a worker gets to them.
    const auto now = std::chrono::steady_clock::now();
    while (!queue_.empty() && now - queue_.front().Queued > limits_.MaxWait) {
      expired.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    if (!stopping_ && queue_.size() < limits_.MaxQueued) {
      id = ++lastId_;
      queue_.push_back({id, std::move(stored), std::move(password), std::move(done), now});
      wake_.notify_one();
    }
  }
  for (TJob& job : expired) {
    Forget(job.Password);
    job.Done(pcBusy);
  }
  if (id == 0) {
    Forget(password);
    done(pcBusy);
  }
  return id;
}

TPasswordCheck TPasswordCheckPool::Check(std::string stored, std::string password) {
  auto result = std::make_shared<std::promise<TPasswordCheck>>();
  std::future<TPasswordCheck> answer = result->get_future();
  const uint64_t id =
      Submit(std::move(stored), std::move(password), [result](TPasswordCheck check) { result->set_value(check); });
  if (id != 0 && answer.wait_for(limits_.MaxWait) == std::future_status::timeout) {
    // Still waiting for a worker: take the check back and refuse it.
    std::unique_lock<std::mutex> lock(mutex_);
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
      if (it->Id != id) continue;
      TJob job = std::move(*it);
      queue_.erase(it);
      lock.unlock();
      Forget(job.Password);
      return pcBusy;
    }
  }
  return answer.get();  // running (or answered): its result comes
}

void TPasswordCheckPool::Work() {
  for (;;) {
    TJob job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    TPasswordCheck result = pcBusy;
    if (std::chrono::steady_clock::now() - job.Queued <= limits_.MaxWait) {
      try {
        result = verify_(job.Stored, job.Password) ? pcMatch : pcMismatch;
      } catch (const std::exception&) {
        result = pcMismatch;  // a check that cannot be made never lets anybody in
      }
    }
    Forget(job.Password);
    job.Done(result);
  }
}

TPasswordCheckPool& SharedPasswordChecks() {
  static TPasswordCheckPool pool;
  return pool;
}

}  // namespace qv
