// The benchmark's murmur clients on the wire: the protocol's varints, the
// control frames with the message numbers murmur reads, and the voice
// datagram's layout, against bytes written out by hand.
#include "murmur_wire.h"

#include <gtest/gtest.h>

#include <optional>

#include "murmur_messages.pb.h"

namespace qv::bench {
namespace {

namespace mp = qvbench::murmur;
using Bytes = std::vector<uint8_t>;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(MurmurWire, VarintsTakeTheShortestPrefixFormAndReadBack) {
  const struct {
    int64_t Value;
    Bytes Wire;
  } cases[] = {
      {0, {0x00}},
      {0x7F, {0x7F}},
      {0x80, {0x80, 0x80}},
      {0x3FFF, {0xBF, 0xFF}},
      {0x4000, {0xC0, 0x40, 0x00}},
      {0x1FFFFF, {0xDF, 0xFF, 0xFF}},
      {0x200000, {0xE0, 0x20, 0x00, 0x00}},
      {0xFFFFFFF, {0xEF, 0xFF, 0xFF, 0xFF}},
      {0x10000000, {0xF0, 0x10, 0x00, 0x00, 0x00}},
      {0xFFFFFFFF, {0xF0, 0xFF, 0xFF, 0xFF, 0xFF}},
      {0x100000000, {0xF4, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}},
      {-1, {0xFC}},
      {-4, {0xFF}},
      {-5, {0xF8, 0x04}},
      {-200, {0xF8, 0x80, 0xC7}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Value);
    Bytes out;
    PutMurmurVarint(out, c.Value);
    EXPECT_EQ(out, c.Wire);
    size_t pos = 0;
    int64_t back = 0;
    ASSERT_TRUE(GetMurmurVarint(c.Wire.data(), c.Wire.size(), pos, back));
    EXPECT_EQ(back, c.Value);
    EXPECT_EQ(pos, c.Wire.size());
    // One byte short is no varint.
    pos = 0;
    EXPECT_FALSE(GetMurmurVarint(c.Wire.data(), c.Wire.size() - 1, pos, back));
  }
}

TEST(MurmurWire, ControlMessagesFrameWithTheProtocolsNumbers) {
  mp::Version version;
  version.set_version(0x010300);
  mp::Authenticate auth;
  auth.set_username("bench7");
  auth.set_opus(true);
  mp::UserState move;
  move.set_session(5);
  move.set_channel_id(3);
  mp::ChannelState create;
  create.set_parent(0);
  create.set_name("bench0");
  create.set_temporary(false);
  mp::CryptSetup answer;
  answer.set_client_nonce(std::string(16, '\x11'));
  mp::Ping ping;
  ping.set_timestamp(300);
  ping.set_good(2);
  const struct {
    const char* Name;
    uint16_t Type;
    const google::protobuf::MessageLite& Message;
    Bytes Body;
  } cases[] = {
      {"Version", mmVersion, version, {0x08, 0x80, 0x86, 0x04}},
      {"Authenticate", mmAuthenticate, auth, Cat({{0x0A, 0x06}, Text("bench7"), {0x28, 0x01}})},
      {"UserState", mmUserState, move, {0x08, 0x05, 0x28, 0x03}},
      {"ChannelState", mmChannelState, create, Cat({{0x10, 0x00, 0x1A, 0x06}, Text("bench0"), {0x40, 0x00}})},
      {"CryptSetup", mmCryptSetup, answer, Cat({{0x12, 0x10}, Bytes(16, 0x11)})},
      {"Ping", mmPing, ping, {0x08, 0xAC, 0x02, 0x10, 0x02}},
      {"empty CryptSetup", mmCryptSetup, mp::CryptSetup(), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const Bytes header{static_cast<uint8_t>(c.Type >> 8), static_cast<uint8_t>(c.Type), 0, 0, 0,
                       static_cast<uint8_t>(c.Body.size())};
    EXPECT_EQ(MurmurFrame(c.Type, c.Message), Cat({header, c.Body}));
  }
}

TEST(MurmurWire, FramesAreCutFromTheStreamWhateverItsPieces) {
  // A ServerSync (type 5) of session 42, a frame with an empty body, then a
  // frame cut short: two frames, and the third once its last byte comes.
  const Bytes stream{0x00, 0x05, 0x00, 0x00, 0x00, 0x02, 0x08, 0x2A,  //
                     0x00, 0x03, 0x00, 0x00, 0x00, 0x00,              //
                     0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x0A};
  for (size_t piece : {size_t{1}, size_t{5}, size_t{7}, stream.size()}) {
    SCOPED_TRACE(piece);
    TFrameReader reader;
    std::vector<TMurmurFrame> frames;
    for (size_t at = 0; at < stream.size(); at += piece) {
      reader.Append(stream.data() + at, std::min(piece, stream.size() - at));
      while (auto f = reader.Next()) frames.push_back(*f);
    }
    ASSERT_EQ(frames.size(), 2u);
    mp::ServerSync sync;
    EXPECT_EQ(frames[0].Type, mmServerSync);
    ASSERT_TRUE(sync.ParseFromString(frames[0].Body));
    EXPECT_EQ(sync.session(), 42u);
    EXPECT_EQ(frames[1].Type, mmPing);
    EXPECT_TRUE(frames[1].Body.empty());
    const uint8_t last = 0x00;
    reader.Append(&last, 1);
    auto third = reader.Next();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->Type, mmUDPTunnel);
    EXPECT_EQ(third->Body, std::string("\x0A\x00", 2));
  }
  // A length above the limit breaks the stream instead of buffering it.
  TFrameReader reader;
  const Bytes huge{0x00, 0x01, 0x7F, 0xFF, 0xFF, 0xFF};
  reader.Append(huge.data(), huge.size());
  EXPECT_FALSE(reader.Next());
  EXPECT_TRUE(reader.Broken());
}

TEST(MurmurWire, VoiceDatagramsHaveTheLegacyLayout) {
  const Bytes opus{0xAA, 0xBB, 0xCC};
  // What a client sends.
  const struct {
    uint8_t Target;
    uint64_t Sequence;
    bool Terminator;
    Bytes Wire;
  } sent[] = {
      {0, 5, false, {0x80, 0x05, 0x03, 0xAA, 0xBB, 0xCC}},
      {0, 300, false, {0x80, 0x81, 0x2C, 0x03, 0xAA, 0xBB, 0xCC}},
      {0, 6, true, {0x80, 0x06, 0xA0, 0x03, 0xAA, 0xBB, 0xCC}},
      {0x1F, 7, false, {0x9F, 0x07, 0x03, 0xAA, 0xBB, 0xCC}},
  };
  for (const auto& c : sent) {
    SCOPED_TRACE(c.Sequence);
    EXPECT_EQ(MurmurClientVoice(c.Target, c.Sequence, opus.data(), opus.size(), c.Terminator), c.Wire);
  }
  EXPECT_EQ(MurmurPing(0x1234), (Bytes{0x20, 0x92, 0x34}));
  // What the server relays: the speaker's session after the first byte.
  const struct {
    const char* Name;
    Bytes Wire;
    std::optional<uint64_t> Session;
    uint64_t Sequence;
    bool Terminator;
  } relayed[] = {
      {"voice", {0x80, 0x2A, 0x05, 0x03, 0xAA, 0xBB, 0xCC}, 42, 5, false},
      {"two-byte session, last frame", {0x80, 0x81, 0x2C, 0x06, 0xA0, 0x03, 0xAA, 0xBB, 0xCC}, 300, 6, true},
      {"with positional data after it", {0x80, 0x2A, 0x05, 0x03, 0xAA, 0xBB, 0xCC, 1, 2, 3, 4}, 42, 5, false},
      {"cut short", {0x80, 0x2A, 0x05, 0x03, 0xAA, 0xBB}, std::nullopt, 0, false},
      {"no size", {0x80, 0x2A, 0x05}, std::nullopt, 0, false},
      {"a ping", {0x20, 0x05}, std::nullopt, 0, false},
      {"Speex", {0x40, 0x2A, 0x05, 0x03, 0xAA, 0xBB, 0xCC}, std::nullopt, 0, false},
  };
  for (const auto& c : relayed) {
    SCOPED_TRACE(c.Name);
    const auto v = ReadRelayedVoice(c.Wire.data(), c.Wire.size());
    ASSERT_EQ(v.has_value(), c.Session.has_value());
    if (!v) continue;
    EXPECT_EQ(v->Session, *c.Session);
    EXPECT_EQ(v->Sequence, c.Sequence);
    EXPECT_EQ(v->Terminator, c.Terminator);
    EXPECT_EQ(Bytes(v->Opus, v->Opus + v->OpusSize), opus);
  }
}

}  // namespace
}  // namespace qv::bench
