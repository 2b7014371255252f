#include <gtest/gtest.h>

#include "protocol/fifo_list.h"

namespace qv {
namespace {

TPacketPtr Packet(uint32_t playerId, size_t extra = 0) {
  auto p = NewCommandPacket(1, 0, playerId);
  p->SetSize(p->Size() + extra);
  return p;
}

std::string ErrorOf(int initial, int maximum, int growth) {
  try {
    TFIFOList list(initial, maximum, growth);
  } catch (const EFIFOList& e) {
    return e.what();
  }
  return "";
}

TEST(FIFOList, GrowthUpToMaximumThenError) {
  TFIFOList list(16, 1024, 4);
  EXPECT_EQ(list.Capacity(), 16u);
  for (uint32_t i = 0; i < 16; ++i) list.Push(Packet(i));
  EXPECT_EQ(list.Capacity(), 16u);
  list.Push(Packet(16));
  EXPECT_EQ(list.Capacity(), 20u);
  for (uint32_t i = 17; i < 21; ++i) list.Push(Packet(i));
  EXPECT_EQ(list.Capacity(), 24u);
  for (uint32_t i = 21; i < 1024; ++i) list.Push(Packet(i));
  EXPECT_EQ(list.Capacity(), 1024u);
  EXPECT_EQ(list.Count(), 1024u);
  try {
    list.Push(Packet(1024));
    FAIL();
  } catch (const EFIFOList& e) {
    EXPECT_STREQ(e.what(), "TFIFOList max items reached( 1024, 4, 1024)");
  }
  for (uint32_t i = 0; i < 1024; ++i) ASSERT_EQ(list.Pop()->PlayerId(), i);
  EXPECT_EQ(list.Pop(), nullptr);
}

TEST(FIFOList, OrderKeptAcrossWrapAndGrowth) {
  TFIFOList list(4, 100, 3);
  uint32_t next = 0, expect = 0;
  // Interleave pushes and pops so the ring wraps before it grows.
  for (int round = 0; round < 20; ++round) {
    list.Push(Packet(next++));
    list.Push(Packet(next++));
    list.Push(Packet(next++));
    ASSERT_EQ(list.HeadSpeaker(), expect);
    ASSERT_EQ(list.Pop()->PlayerId(), expect++);
    ASSERT_EQ(list.Pop()->PlayerId(), expect++);
  }
  while (auto p = list.Pop()) ASSERT_EQ(p->PlayerId(), expect++);
  EXPECT_EQ(expect, next);
}

TEST(FIFOList, ByteTotalHeadSpeakerAndNullPush) {
  TFIFOList list(2, 10, 2);
  EXPECT_EQ(list.HeadSpeaker(), std::nullopt);
  list.Push(nullptr);
  EXPECT_EQ(list.Count(), 0u);
  list.Push(NewS2CVoicePacket(0, 0, 1, 99, 0, 0, 42, 0));
  list.Push(Packet(5, 10));
  EXPECT_EQ(list.TotalSize(), 22u + 34u);
  EXPECT_EQ(list.HeadSpeaker(), 42u);
  list.Pop();
  EXPECT_EQ(list.TotalSize(), 34u);
  EXPECT_EQ(list.HeadSpeaker(), 5u);
  // Packets left in the list are freed with it (checked by ASan).
}

TEST(FIFOList, ParameterChecks) {
  EXPECT_EQ(ErrorOf(10, 5, 1), "StartItems if more than MaxItems");
  EXPECT_EQ(ErrorOf(1, 100001, 1), "100001 Items is to much. A FifoList can contain 100.000 items");
  EXPECT_EQ(ErrorOf(1, 100, 10001),
            "10001 Items is to much. A FifoList can grow with 10.000 items at a time max");
  EXPECT_EQ(ErrorOf(-1, 5, 1), "Negative parameter is not allowed");
  EXPECT_EQ(ErrorOf(1, 5, -1), "Negative parameter is not allowed");
  EXPECT_EQ(ErrorOf(0, 100000, 10000), "");
}

TEST(FIFOList, ZeroGrowthStillGrows) {
  TFIFOList list(0, 3, 0);
  for (uint32_t i = 0; i < 3; ++i) list.Push(Packet(i));
  EXPECT_EQ(list.Count(), 3u);
  EXPECT_THROW(list.Push(Packet(3)), EFIFOList);
}

TEST(FIFOListPlayerid, DeduplicatesQueuedIds) {
  TFIFOList_Playerid ids(2, 100, 2);
  ids.Push(7);
  ids.Push(8);
  ids.Push(7);
  EXPECT_EQ(ids.Count(), 2u);
  uint32_t id = 0;
  ASSERT_TRUE(ids.Pop(id));
  EXPECT_EQ(id, 7u);
  ids.Push(7);  // no longer queued: accepted again
  ASSERT_TRUE(ids.Pop(id));
  EXPECT_EQ(id, 8u);
  ASSERT_TRUE(ids.Pop(id));
  EXPECT_EQ(id, 7u);
  EXPECT_FALSE(ids.Pop(id));
}

TEST(FIFOListPlayerid, AnIdRefusedByAFullRingCanBeQueuedLater) {
  TFIFOList_Playerid ids(1, 1, 1);
  ids.Push(1);
  EXPECT_THROW(ids.Push(2), EFIFOList);
  EXPECT_FALSE(ids.Contains(2));
  uint32_t id = 0;
  ASSERT_TRUE(ids.Pop(id));
  ids.Push(2);
  ASSERT_TRUE(ids.Pop(id));
  EXPECT_EQ(id, 2u);
}

}  // namespace
}  // namespace qv
