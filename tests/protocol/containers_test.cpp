#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "protocol/event.h"
#include "base/hash_list.h"
#include "base/multi_list.h"

namespace qv {
namespace {

template <typename F>
std::string HashListError(F&& f) {
  try {
    f();
  } catch (const EHashList& e) {
    return ExceptionText(e);
  }
  return "no exception";
}

TEST(HashListTest, BucketCountMustBePositivePowerOfTwo) {
  EXPECT_EQ(HashListError([] { THashList<int> h(0); }), "EHashList.0 is not a positive number");
  EXPECT_EQ(HashListError([] { THashList<int> h(-4); }), "EHashList.-4 is not a positive number");
  EXPECT_EQ(HashListError([] { THashList<int> h(1000); }), "EHashList.1000 is not a power of 2");
  THashList<int> one(1);  // a single chain is a valid hash
  int v = 1;
  one.Add(7, &v);
  one.Add(8, &v);
  EXPECT_EQ(one.Get(8), &v);
}

TEST(HashListTest, KeysSharingAChainStayIndependent) {
  THashList<int> h(1024);
  int a = 1, b = 2, c = 3;
  h.Add(5, &a);
  h.Add(1029, &b);  // 1029 & 1023 == 5: same chain, now at its head
  h.Add(2053, &c);
  EXPECT_EQ(h.Get(5), &a);
  EXPECT_EQ(h.Get(1029), &b);

  h.Remove(5);  // the tail of the chain
  EXPECT_FALSE(h.Contains(5));
  EXPECT_EQ(h.Get(5), nullptr);
  EXPECT_EQ(h.Get(1029), &b);
  EXPECT_EQ(h.Get(2053), &c);
  h.Remove(2053);  // the head
  EXPECT_EQ(h.Get(1029), &b);
  EXPECT_EQ(h.Count(), 1);
}

TEST(HashListTest, DuplicateAndMissingKeysRaise) {
  THashList<int> h(16);
  int a = 1, b = 2;
  h.Add(0xFFFFFFFFu, &a);
  EXPECT_EQ(HashListError([&] { h.Add(0xFFFFFFFFu, &b); }), "EHashList.Item nr 4294967295 already exists");
  EXPECT_EQ(h.Get(0xFFFFFFFFu), &a);  // the first value survives
  EXPECT_EQ(HashListError([&] { h.Remove(17); }), "EHashList.Item nr 17 does not exist");
  h.Remove(0xFFFFFFFFu);
  EXPECT_EQ(HashListError([&] { h.Remove(0xFFFFFFFFu); }), "EHashList.Item nr 4294967295 does not exist");
}

struct Rec {
  explicit Rec(int v, std::atomic<int>* alive = nullptr) : value(v), alive(alive) {
    if (alive) ++*alive;
  }
  ~Rec() {
    if (alive) --*alive;
  }
  int value;
  std::atomic<int>* alive;
};

TEST(MultiListTest, KeepsInsertionOrderAndClosesGaps) {
  TMultiList<Rec> list(8);
  EXPECT_EQ(list.Add(std::make_unique<Rec>(10), 1), 1);
  EXPECT_EQ(list.Add(std::make_unique<Rec>(20), 9), 2);  // same bucket as 1
  EXPECT_EQ(list.Add(std::make_unique<Rec>(30), 3), 3);

  std::unique_ptr<Rec> removed = list.Remove(9);
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->value, 20);
  EXPECT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(0)->value, 10);
  EXPECT_EQ(list.Items(1)->value, 30);
  EXPECT_EQ(list.Get(3)->value, 30);
  EXPECT_FALSE(list.Contains(9));
  EXPECT_EQ(list.MaxCount(), 3);

  EXPECT_EQ(list.Add(std::make_unique<Rec>(40), 9), 3);  // a removed key may return
  int sum = 0;
  for (const auto& rec : list.Items()) sum += rec->value;
  EXPECT_EQ(sum, 80);
  EXPECT_THROW(list.Items(3), EListError);
  EXPECT_THROW(list.Items(-1), EListError);
}

TEST(MultiListTest, FailedAddLeavesItemWithCaller) {
  TMultiList<Rec> list(4);
  list.Add(std::make_unique<Rec>(1), 5);
  auto dup = std::make_unique<Rec>(2);
  EXPECT_THROW(list.Add(std::move(dup), 5), EHashList);
  ASSERT_TRUE(dup);
  EXPECT_EQ(dup->value, 2);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_THROW(list.Add(nullptr, 6), EListError);
  EXPECT_FALSE(list.Contains(6));
  EXPECT_THROW(list.Remove(6), EHashList);
  EXPECT_EQ(list.Count(), 1);
}

TEST(MultiListTest, FreeItemsFreesRecordsAndForgetsKeys) {
  std::atomic<int> alive{0};
  {
    TMultiList<Rec> list(4);
    for (uint32_t k = 1; k <= 5; ++k) list.Add(std::make_unique<Rec>(int(k), &alive), k);
    EXPECT_EQ(alive, 5);
    list.FreeItems();
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Get(3), nullptr);  // no dangling lookups
    EXPECT_EQ(list.MaxCount(), 5);
    list.Add(std::make_unique<Rec>(9, &alive), 3);  // and the keys are free again
  }
  EXPECT_EQ(alive, 0);  // the list's destructor frees what is left
}

TEST(EventTest, TimesOutWhenNotSignaled) {
  TWindowsEvent event;
  EXPECT_EQ(event.Wait(0), wrTimeout);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(event.Wait(20), wrTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19));
}

TEST(EventTest, AutoResetsAfterOneWait) {
  TWindowsEvent event;
  event.Signal();
  event.Signal();  // signals do not accumulate
  EXPECT_EQ(event.Wait(0), wrSignaled);
  EXPECT_EQ(event.Wait(0), wrTimeout);
  event.Signal();
  event.Reset();
  EXPECT_EQ(event.Wait(0), wrTimeout);
}

TEST(EventTest, WakesWaiterOnAnotherThread) {
  TWindowsEvent event;
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = event.Wait(-1); });  // forever, until signalled
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  event.Signal();
  waiter.join();
  EXPECT_EQ(result, wrSignaled);
  EXPECT_EQ(event.Wait(0), wrTimeout);  // the waiter consumed the signal
}

TEST(EventTest, OneSignalReleasesOneOfTwoWaiters) {
  TWindowsEvent event;
  std::atomic<int> signaled{0};
  auto wait = [&] {
    if (event.Wait(2000) == wrSignaled) ++signaled;
  };
  std::thread a(wait), b(wait);
  event.Signal();
  for (int i = 0; i < 200 && signaled == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(signaled, 1);
  event.Signal();  // release the other one
  a.join();
  b.join();
  EXPECT_EQ(signaled, 2);
}

}  // namespace
}  // namespace qv
