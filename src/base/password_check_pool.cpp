#include "base/password_check_pool.h"

#include <sodium.h>

#include <future>

#include "base/password_hash.h"

namespace qv {

namespace {

// A password that is wiped when the last holder lets it go.
struct TSecret {
  std::string Text;
  explicit TSecret(std::string text) : Text(std::move(text)) {}
  TSecret(const TSecret&) = default;
  TSecret& operator=(const TSecret&) = delete;
  ~TSecret() {
    if (!Text.empty()) sodium_memzero(Text.data(), Text.size());
  }
};

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
    TMutexLock guard(mutex_);
    stopping_ = true;
    left.swap(queue_);
  }
  wake_.notify_all();
  for (TJob& job : left) {
    job.Work = nullptr;
    job.Done(pcBusy);
  }
  for (std::thread& worker : workers_) worker.join();
}

uint64_t TPasswordCheckPool::Submit(std::string stored, std::string password, TDone done) {
  return Submit([stored = std::move(stored), secret = TSecret(std::move(password))](
                    const TVerify& verify) { return verify(stored, secret.Text) ? pcMatch : pcMismatch; },
                std::move(done));
}

uint64_t TPasswordCheckPool::Submit(TWork work, TDone done) {
  std::deque<TJob> expired;
  uint64_t id = 0;
  {
    TMutexLock guard(mutex_);
    // Checks that waited too long while every worker was busy are answered
    // now rather than when a worker gets to them.
    const auto now = std::chrono::steady_clock::now();
    while (!queue_.empty() && now - queue_.front().Queued > limits_.MaxWait) {
      expired.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    if (!stopping_ && queue_.size() < limits_.MaxQueued) {
      id = ++lastId_;
      queue_.push_back({id, std::move(work), std::move(done), now});
      wake_.notify_one();
    }
  }
  for (TJob& job : expired) {
    job.Work = nullptr;
    job.Done(pcBusy);
  }
  if (id == 0) {
    work = nullptr;
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
    TJob taken;  // its secret is wiped after the lock is let go
    {
      TMutexLock lock(mutex_);
      for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->Id != id) continue;
        taken = std::move(*it);
        queue_.erase(it);
        break;
      }
    }
    if (taken.Id != 0) return pcBusy;
  }
  return answer.get();  // running (or answered): its result comes
}

void TPasswordCheckPool::Work() {
  for (;;) {
    TJob job;
    {
      TMutexLock lock(mutex_);
      wake_.wait(mutex_, [this] {
        mutex_.AssertHeld();  // the wait hands it back before asking
        return stopping_ || !queue_.empty();
      });
      if (queue_.empty()) return;  // stopping
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    TPasswordCheck result = pcBusy;
    if (std::chrono::steady_clock::now() - job.Queued <= limits_.MaxWait) {
      try {
        result = job.Work(verify_);
      } catch (const std::exception&) {
        result = pcMismatch;  // a check that cannot be made never lets anybody in
      }
    }
    job.Work = nullptr;
    job.Done(result);
  }
}

TPasswordCheckPool& SharedPasswordChecks() {
  static TPasswordCheckPool pool;
  return pool;
}

}  // namespace qv
