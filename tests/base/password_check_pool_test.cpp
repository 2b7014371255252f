#include "base/password_check_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "base/password_hash.h"
#include "support/check_gate.h"

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

TEST(PasswordCheckPool, RunsAtMostItsBoundAndRefusesTheExcessAsBusy) {
  test::TGate gate;
  std::atomic<int> results[3] = {0, 0, 0};
  auto count = [&](TPasswordCheck check) { ++results[check]; };
  {
    TPasswordCheckPool pool({2, std::chrono::milliseconds(20), 1}, [&](const std::string& s, const std::string& p) {
      gate.Pass();
      return s == p;
    });
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
