#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/command_types.h"
#include "protocol/crc.h"
#include "protocol/packets.h"

namespace qv {
namespace {

std::vector<uint8_t> Bytes(const TPacket& p) { return {p.Data(), p.Data() + p.Size()}; }

TPacket FromBytes(const std::vector<uint8_t>& b) { return TPacket(b.data(), b.size(), "127.0.0.1", 1); }

TEST(Crc32, KnownValuesAndLengthLimit) {
  const char* check = "123456789";
  EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(check), 9), 0xCBF43926u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
  std::vector<uint8_t> big(kCrcMaxLength + 1, 0x55);
  EXPECT_EQ(Crc32(big.data(), big.size()), 0xFFFFFFFFu);
  EXPECT_NE(Crc32(big.data(), kCrcMaxLength), 0xFFFFFFFFu);
}

TEST(PacketChecksum, CommandChecksumIsCrcOfPacketWithFieldZeroed) {
  // Command 201, connection 0x11223344, player 7, sequence 1; CRC from zlib.
  auto p = NewCommandPacket(CMD_cs_ChannelCreate, 0x11223344, 7);
  p->SetSequence(1);
  p->SetChecksum();
  std::vector<uint8_t> expected = {0xF0, 0xBE, 0xC9, 0x00, 0x44, 0x33, 0x22, 0x11,
                                   0x07, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0xF7, 0x58, 0x1D, 0xC4};
  EXPECT_EQ(Bytes(*p), expected);
  EXPECT_TRUE(p->VerifyChecksum());
  EXPECT_TRUE(p->IsValid());
  // Verification leaves the packet unchanged, and a flipped bit fails it.
  EXPECT_EQ(Bytes(*p), expected);
  p->SetU8(12, 2);
  EXPECT_FALSE(p->VerifyChecksum());
  EXPECT_FALSE(p->IsValid());
}

TEST(PacketChecksum, ControlChecksumAtOffset16) {
  auto p = NewControlPacket(ctPing, 0x11223344, 7);
  p->SetSequence(5);
  p->SetChecksum();
  ASSERT_EQ(p->Size(), 20u);
  EXPECT_EQ(p->GetU32(ControlHeader::Checksum), 0x6F850BEDu);
  EXPECT_TRUE(p->IsValid());
}

TEST(PacketChecksum, UnknownClassRaises) {
  TPacket p = FromBytes({0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_THROW(p.SetChecksum(), EPacket);
  EXPECT_THROW(p.VerifyChecksum(), EPacket);
  EXPECT_FALSE(p.IsValid());
  try {
    p.PlayerId();
    FAIL();
  } catch (const EPacket& e) {
    EXPECT_STREQ(e.what(), "Invalid Packet");
    EXPECT_EQ(ExceptionText(e), "EPacket.Invalid Packet");
  }
  EXPECT_THROW(p.ConnectionId(), EPacket);
}

TEST(PacketClass, MinimumLengths) {
  std::vector<uint8_t> b(23, 0);
  b[0] = 0xF0;
  b[1] = 0xBE;
  EXPECT_FALSE(FromBytes(b).IsCommand());
  EXPECT_FALSE(FromBytes(b).IsValid());

  std::vector<uint8_t> ack = {0xF1, 0xBE, 3, 0, 1, 2, 3, 4, 9, 0, 0, 0, 42, 0, 0, 0};
  TPacket a = FromBytes(ack);
  EXPECT_TRUE(a.IsAck());
  EXPECT_TRUE(a.IsValid());  // no checksum to test
  EXPECT_EQ(a.ResendCount(), 3);
  EXPECT_EQ(a.ConnectionId(), 0x04030201u);
  EXPECT_EQ(a.PlayerId(), 9u);
  EXPECT_EQ(a.Sequence(), 42u);

  struct Case {
    uint8_t hi, lo;
    size_t min;
  } cases[] = {{0xBE, 0xF2, 16}, {0xBE, 0xF3, 22}, {0xBE, 0xF4, 20}};
  for (const auto& c : cases) {
    std::vector<uint8_t> d(c.min - 1, 0);
    d[0] = c.lo;
    d[1] = c.hi;
    EXPECT_FALSE(FromBytes(d).IsKnownClass()) << c.min;
    d.push_back(0);
    EXPECT_TRUE(FromBytes(d).IsKnownClass()) << c.min;
  }
  EXPECT_FALSE(FromBytes({0xF0}).IsKnownClass());
  EXPECT_FALSE(FromBytes({}).IsKnownClass());
}

TEST(PacketBuilders, ErrorPacketAndVoiceLayouts) {
  auto e = NewErrorPacket(-102, 0xAABBCCDD, 5, CMD_cs_ChannelDestroy, 0x01020304);
  std::vector<uint8_t> expected = {0xF0, 0xBE, 0x9A, 0xFF, 0xDD, 0xCC, 0xBB, 0xAA, 5, 0, 0, 0,
                                   0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0,
                                   0xD1, 0x00, 0x04, 0x03, 0x02, 0x01};
  EXPECT_EQ(Bytes(*e), expected);
  EXPECT_EQ(NewErrorPacket(-1009, 0, 0, 0, 0)->CommandType(), 0xFC0F);

  auto v = NewS2CVoicePacket(1, 6, 0x10, 0x20, 0xFFFF, 0x1234, 0x30, 0x4567);
  std::vector<uint8_t> voice = {0xF3, 0xBE, 1, 6, 0x10, 0, 0, 0, 0x20, 0, 0,
                                0,    0xFF, 0xFF, 0x34, 0x12, 0x30, 0, 0, 0, 0x67, 0x45};
  EXPECT_EQ(Bytes(*v), voice);
  EXPECT_EQ(v->Speaker(), 0x30u);

  auto pong = NewPongPacket(1, 2, 0x99);
  ASSERT_EQ(pong->Size(), 24u);
  EXPECT_EQ(pong->CommandType(), ctPong);
  EXPECT_EQ(pong->GetU32(kPongPingSequence), 0x99u);
}

TEST(PacketFragments, SplitAt560) {
  auto whole = NewCommandPacket(CMD_sc_LoginStep4, 1, 2);
  whole->SetSize(560);
  auto one = FragmentCommand(std::move(whole));
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0]->Size(), 560u);
  EXPECT_EQ(one[0]->FragmentsLeft(), 0);

  auto big = NewCommandPacket(CMD_sc_LoginStep4, 1, 2);
  big->SetSize(561);
  for (size_t i = 24; i < 561; ++i) big->SetU8(i, static_cast<uint8_t>(i));
  auto two = FragmentCommand(std::move(big));
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0]->Size(), 24u + 536u);
  EXPECT_EQ(two[1]->Size(), 24u + 1u);
  EXPECT_EQ(two[0]->FragmentsLeft(), 1);
  EXPECT_EQ(two[1]->FragmentsLeft(), 0);
  EXPECT_EQ(two[1]->CommandType(), CMD_sc_LoginStep4);
  EXPECT_EQ(two[0]->GetU8(24), 24);
  EXPECT_EQ(two[1]->GetU8(24), static_cast<uint8_t>(560));

  auto huge = NewCommandPacket(CMD_sc_LoginStep4, 1, 2);
  huge->SetSize(24 + 256 * 536);
  EXPECT_EQ(FragmentCommand(std::move(huge)).size(), 256u);
  auto tooHuge = NewCommandPacket(CMD_sc_LoginStep4, 1, 2);
  tooHuge->SetSize(24 + 256 * 536 + 1);
  EXPECT_THROW(FragmentCommand(std::move(tooHuge)), EPacket);
}

TEST(PacketStream, ReadsStayInsideTheBuffer) {
  TPacket p = FromBytes({1, 2, 3});
  EXPECT_EQ(p.Capacity(), 1024u);
  uint8_t out[8] = {0};
  EXPECT_EQ(p.Read(out, 8), 3u);
  EXPECT_EQ(p.Position(), 3u);
  p.SetPosition(1);
  EXPECT_THROW(p.ReadU32(), EStreamError);
  EXPECT_EQ(p.Position(), 1u);  // a failed fixed-size read consumes nothing
  EXPECT_EQ(p.ReadU16(), 0x0302);
  EXPECT_THROW(p.GetU16(2), EStreamError);
  EXPECT_THROW(p.SetU32(static_cast<size_t>(-1), 0), EStreamError);

  TPacket grow;
  grow.SetSize(1025);
  EXPECT_EQ(grow.Capacity(), 2048u);
  grow.SetSize(0);
  grow.SetSize(4);
  EXPECT_EQ(grow.GetU32(0), 0u);  // regrown bytes read as zero
}

TEST(PacketText, FixedFieldsAndCStrings) {
  TPacket p;
  p.WriteText("abc", kShortTextField);
  p.WriteText(std::string(40, 'x'), kShortTextField);
  p.WriteText(std::string(300, 'y'), kLongTextField);
  p.WriteCString("hi");
  p.WriteCString("");
  ASSERT_EQ(p.Size(), 30u + 30u + 256u + 3u + 1u);
  EXPECT_EQ(p.GetU8(0), 3);
  EXPECT_EQ(p.GetU8(4), 0);
  EXPECT_EQ(p.GetU8(29), 0);
  EXPECT_EQ(p.GetU8(30), 29);
  EXPECT_EQ(p.GetU8(60), 255);
  p.SetPosition(0);
  EXPECT_EQ(p.ReadText(kShortTextField), "abc");
  EXPECT_EQ(p.ReadText(kShortTextField), std::string(29, 'x'));
  EXPECT_EQ(p.ReadText(kLongTextField), std::string(255, 'y'));
  EXPECT_EQ(p.ReadCString(), "hi");
  EXPECT_EQ(p.ReadCString(), "");
  EXPECT_EQ(p.ReadCString(), "");  // at the end: empty, no overrun

  // Length byte larger than the field: clamped to the field.
  TPacket bad;
  bad.WriteU8(200);
  bad.Write(std::string(29, 'z').data(), 29);
  bad.SetPosition(0);
  EXPECT_EQ(bad.ReadText(kShortTextField), std::string(29, 'z'));
  // A zero byte inside the stated length ends the text; the field is consumed whole.
  TPacket inner = FromBytes({5, 'a', 'b', 0, 'c', 'd'});
  inner.SetSize(kShortTextField + 1);
  EXPECT_EQ(inner.ReadText(kShortTextField), "ab");
  EXPECT_EQ(inner.Position(), kShortTextField);
  // Field cut short by the end of the packet: raises, reads nothing.
  TPacket cut = FromBytes({5, 'a', 'b'});
  EXPECT_THROW(cut.ReadText(kShortTextField), EStreamError);
  EXPECT_EQ(cut.Position(), 0u);
  // Unterminated C string stops at the end.
  TPacket open = FromBytes({'a', 'b'});
  EXPECT_EQ(open.ReadCString(), "ab");
}

TEST(PacketCopy, CopyFromTakesBytesAndPeer) {
  TPacket a = FromBytes({0xF1, 0xBE, 1, 2});
  a.SetPeer("10.0.0.1", 8767);
  TPacket b;
  b.WriteU32(7);
  b.CopyFrom(a);
  EXPECT_EQ(Bytes(b), Bytes(a));
  EXPECT_EQ(b.PeerIp(), "10.0.0.1");
  EXPECT_EQ(b.PeerPort(), 8767);
  EXPECT_EQ(b.Position(), 0u);
}

}  // namespace
}  // namespace qv
