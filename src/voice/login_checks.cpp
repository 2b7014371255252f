#include "voice/login_checks.h"

#include <fmt/format.h>

#include "voice/listener_context.h"

namespace qv {

int TLoginChecks::PendingFrom(const std::string& ip) const {
  int n = 0;
  for (auto it = pending_.lower_bound({ip, 0}); it != pending_.end() && it->first == ip; ++it) ++n;
  return n;
}

void TLoginChecks::Start(TPasswordCheckPool& pool, const std::string& ip, uint16_t port, TCheck check, TFinish finish) {
  pending_.insert({ip, port});
  std::shared_ptr<TLoginChecks> self = shared_from_this();
  pool.Submit(
      [self, check = std::move(check)](const TPasswordCheckPool::TVerify& verify) {
        if (!self->EnterWork()) return pcBusy;  // the server stops: no storage any more
        struct TLeave {
          TLoginChecks& checks;
          ~TLeave() { checks.LeaveWork(); }
        } leave{*self};
        return check(verify);
      },
      [self, from = TAddress{ip, port}, finish = std::move(finish)](TPasswordCheck result) {
        self->Ended({from, finish, result});
      });
}

bool TLoginChecks::EnterWork() {
  TMutexLock lock(mutex_);
  if (closed_) return false;
  ++working_;
  return true;
}

void TLoginChecks::LeaveWork() {
  TMutexLock lock(mutex_);
  if (--working_ == 0) idle_.notify_all();
}

// The wake happens under mutex_, so that Close cannot come between the test
// and the buffer's use.
void TLoginChecks::Ended(TEnded ended) {
  TMutexLock lock(mutex_);
  if (closed_) return;
  ended_.push_back(std::move(ended));
  anyEnded_ = true;
  buffer_.WakeListener();
}

void TLoginChecks::RunFinished(TListenerContext& ctx) {
  if (!anyEnded_.load(std::memory_order_acquire)) return;
  std::vector<TEnded> ended;
  {
    TMutexLock lock(mutex_);
    ended.swap(ended_);
    anyEnded_ = false;
  }
  for (TEnded& e : ended) {
    pending_.erase(e.From);
    try {
      e.Finish(ctx, e.Result);
    } catch (const std::exception& ex) {
      ctx.LogHandlerException("CMD_cs_LoginStep1", ex);
    }
  }
}

void TLoginChecks::Close() {
  std::vector<TEnded> dropped;
  {
    TMutexLock lock(mutex_);
    closed_ = true;
    idle_.wait(mutex_, [this] {
      mutex_.AssertHeld();  // the wait hands it back before asking
      return working_ == 0;
    });
    dropped.swap(ended_);
  }
  pending_.clear();
}

}  // namespace qv
