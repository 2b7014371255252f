#include "base/password_check_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>

#include "base/password_hash.h"

namespace qv {
namespace {

TEST(PasswordHash, StoredFormVerifiesOnlyItsPassword) {
  const std::string stored = HashPassword("s3cret");
  EXPECT_TRUE(IsPasswordHash(stored)) << stored;
  // Clear-text passwords of an older database, however they begin, are upgraded.
  for (const char* clear : {"s3cret", "$argon2id$", "$argon2id$v=19$m=16,t=1,p=1$broken", "$argon2i$x"})
    EXPECT_FALSE(IsPasswordHash(clear)) << clear;
  EXPECT_NE(stored, HashPassword("s3cret")) << "a fresh salt each time";
  const struct {
    std::string stored, password;
    bool match;
  } cases[] = {
      {stored, "s3cret", true},
      {stored, "S3cret", false},
      {stored, "", false},
      {stored, std::string("s3cret\0x", 8), false},
      {"s3cret", "s3cret", false},  // clear text is never a match
      {"$argon2id$v=19$m=16,t=1,p=1$broken", "s3cret", false},
      {HashPassword(""), "", true},
  };
  for (const auto& c : cases) EXPECT_EQ(VerifyPassword(c.stored, c.password), c.match) << c.stored << " " << c.password;
  EXPECT_EQ(CredentialStamp(stored), CredentialStamp(stored));
  EXPECT_NE(CredentialStamp(stored), CredentialStamp(HashPassword("s3cret")));
}

// Checks that block until the test opens the gate: the bound shows without
// any timing.
class TGate {
 public:
  bool Wait(const std::string& stored, const std::string& password) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
    return stored == password;
  }
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

TEST(PasswordCheckPool, RunsAtMostItsBoundAndRefusesTheExcessAsBusy) {
  TGate gate;
  std::atomic<int> results[3] = {0, 0, 0};
  auto count = [&](TPasswordCheck check) { ++results[check]; };
  {
    TPasswordCheckPool pool({2, std::chrono::milliseconds(20), 1},
                            [&](const std::string& s, const std::string& p) { return gate.Wait(s, p); });
    pool.Submit("a", "a", count);  // running
    gate.AwaitWaiting(1);
    pool.Submit("b", "x", count);  // running
    gate.AwaitWaiting(2);
    EXPECT_NE(pool.Submit("c", "c", count), 0u) << "one may wait";
    EXPECT_EQ(pool.Submit("d", "d", count), 0u) << "the queue is full";
    EXPECT_EQ(results[pcBusy], 1);
    // A synchronous check finds the queue full too, or waits beyond the
    // limit while both workers are held: busy either way, never a match.
    EXPECT_EQ(pool.Check("e", "e"), pcBusy);
    gate.Open();
  }  // the pool finishes the running checks and answers what is left
  EXPECT_EQ(results[pcMatch] + results[pcMismatch] + results[pcBusy], 4);
  EXPECT_EQ(results[pcMismatch], 1) << "b against x";
  EXPECT_GE(results[pcMatch], 1) << "a";
}

TEST(PasswordCheckPool, ChecksRealHashesSynchronouslyAndAsynchronously) {
  TPasswordCheckPool pool;
  const std::string stored = HashPassword("pw");
  EXPECT_EQ(pool.Check(stored, "pw"), pcMatch);
  EXPECT_EQ(pool.Check(stored, "nope"), pcMismatch);
  std::promise<TPasswordCheck> done;
  pool.Submit(stored, "pw", [&](TPasswordCheck check) { done.set_value(check); });
  EXPECT_EQ(done.get_future().get(), pcMatch);
}

}  // namespace
}  // namespace qv
