// Malformed and random commands from logged-in clients: truncated requests
// of every command type leave the server's players and channels exactly as
// they were, and thousands of random payloads for every command type and
// voice target never stop the listener nor leave the player list and the
// channel tree inconsistent; a normal login, channel switch and voice work
// afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <tuple>

#include "support/live_server.h"

namespace qv {
namespace {

using test::LiveServerTest;

// Every client command type the listener dispatches, with the length of its
// fixed part (the bytes after the header a well-formed request always has).
// CMD_cs_PlayerQuit (300) is left out: any payload is a valid quit.
const std::map<uint16_t, size_t> kFixedPart = {
    {5, 96},    {201, 16}, {203, 34}, {205, 8},  {206, 4},  {207, 4},  {208, 4},  {209, 4},
    {210, 6},   {212, 6},  {301, 34}, {302, 34}, {303, 34}, {304, 2},  {305, 30}, {306, 6},
    {307, 6},   {308, 60}, {310, 61}, {320, 5},  {324, 2},  {325, 36}, {326, 0},  {330, 8},
    {340, 4},   {400, 4},  {405, 0},  {410, 0},  {430, 9},
};
constexpr uint32_t kSeed = 20261208;
constexpr int kPayloadsPerType = 2000;
constexpr int kBatch = 100;  // stays well below the reliable queue's limit

using TBytes = std::vector<uint8_t>;

// What the clients can see of the server: players and channels, compared as
// a whole before and after a request.
struct TModelSnapshot {
  std::vector<std::tuple<uint32_t, int32_t, uint16_t, uint16_t, uint16_t, std::string>> Players;
  std::vector<std::tuple<int32_t, uint16_t, uint16_t, int32_t, uint16_t, uint16_t, std::string, std::string,
                         std::string, std::string, std::vector<uint32_t>>>
      Channels;
  bool operator==(const TModelSnapshot&) const = default;
};

class MalformedCommandsTest : public LiveServerTest {
 protected:
  MalformedCommandsTest() { defaults.MaxUsers = 20; }
  void SetUp() override {
    StartServer();
    parent = AddChannel("Parent", cfHierarchical);
    AddChannel("Sub", 0, parent);
    AddChannel("Moderated", cfModerated | cfUnregistered);
    // Everything is allowed but what would take the fuzzing clients or
    // their address off the server.
    for (int p = 0; p < kUserPermissionCount; ++p) SetPermission(static_cast<TUserPermissions>(p), true);
    SetPermission(upKickPlayerFromServer, false);
    SetPermission(upAdminBanIp, false);
  }

  TModelSnapshot Snapshot() {
    TModelSnapshot s;
    WithModel([&](TClients& players, TChannels& channels) {
      for (const auto& p : players.Items()) {
        s.Players.emplace_back(p->PlayerId, p->ChannelId, p->ChannelPrivileges, p->PlayerPrivileges, p->PlayerFlags,
                               p->NickName.str());
      }
      for (const auto& c : channels.Items()) {
        std::vector<uint32_t> members;
        for (const TClientRec* m : c->Members) members.push_back(m->PlayerId);
        s.Channels.emplace_back(c->Id, c->Flags, c->Codec, c->ParentId, c->Order, c->MaxUsers, c->Name, c->Topic,
                                c->Description, c->Password.str(), members);
      }
    });
    return s;
  }

  // The invariants the handlers keep whatever they were sent.
  void ExpectConsistent() {
    WithModel([&](TClients& players, TChannels& channels) {
      std::map<uint32_t, int> memberships;
      int defaults = 0;
      for (const auto& c : channels.Items()) {
        if (c->Flags & cfDefault) ++defaults;
        if (c->IsSubChannel()) {
          const TChannelRec* up = channels.GetChannelById(c->ParentId);
          EXPECT_TRUE(up && !up->IsSubChannel()) << "channel " << c->Id << " has parent " << c->ParentId;
          EXPECT_TRUE(c->Password.empty()) << "sub-channel " << c->Id << " has a password";
        }
        for (const TClientRec* m : c->Members) {
          ++memberships[m->PlayerId];
          EXPECT_EQ(players.GetClientByID(m->PlayerId), m) << "channel " << c->Id << " lists a stranger";
          EXPECT_EQ(m->ChannelId, c->Id) << "player " << m->PlayerId << " is listed in another channel";
        }
      }
      EXPECT_LE(defaults, 1);
      for (const auto& p : players.Items()) {
        if (!p->LoginComplete || p->Removing) continue;
        EXPECT_NE(channels.GetChannelById(p->ChannelId), nullptr) << "player " << p->PlayerId << " in no channel";
        EXPECT_EQ(memberships[p->PlayerId], 1) << "player " << p->PlayerId;
      }
    });
  }

  TBytes RandomBytes(size_t size) {
    TBytes b(size);
    for (uint8_t& v : b) v = static_cast<uint8_t>(rng() & 0xFF);
    return b;
  }

  // Random payloads that reach past the first checks more often than noise:
  // small ids, huge counts and lengths, texts without terminator.
  TBytes RandomPayload(size_t fixedPart) {
    const uint32_t shape = rng() % 8;
    if (shape == 0) return RandomBytes(rng() % 8);
    if (shape == 1) return RandomBytes(rng() % 1200);  // may need fragments
    TBytes b = RandomBytes(fixedPart + rng() % 40);
    constexpr uint32_t kIds[] = {0, 1, 2, 3, 4, 5, 6, 0x7FFFFFFF, 0xFFFFFFFF, 0x80000000};
    if (b.size() >= 4) {
      const uint32_t id = kIds[rng() % std::size(kIds)];
      for (int i = 0; i < 4; ++i) b[static_cast<size_t>(i)] = static_cast<uint8_t>(id >> (8 * i));
    }
    if (shape == 2) std::replace(b.begin(), b.end(), uint8_t{0}, uint8_t{'x'});  // no terminator anywhere
    if (shape == 3 && b.size() > 6) b[4] = b[5] = b[6] = 0xFF;                 // huge counts and lengths
    if (shape == 4 && b.size() > 5) {
      b[4] = static_cast<uint8_t>(rng() % 3);  // small actions, kinds and indexes
      b[5] = static_cast<uint8_t>(rng() % 6);
    }
    return b;
  }

  // Sends the payloads, shared out among the fuzzing clients (their
  // connections take turns, so more of them go through at once), and waits
  // until they were handled; a client the commands took off the server is
  // replaced. False when the server stopped answering a client still on it.
  bool SendBatch(uint16_t type, const std::vector<TBytes>& payloads) {
    for (size_t i = 0; i < payloads.size(); ++i) fuzzers[i % fuzzers.size()]->SendCommand(type, payloads[i]);
    for (TQVClient*& fuzzer : fuzzers) {
      // A random upload bandwidth may throttle what the server sends him.
      if (type == CMD_cs_PlayerSetUploadBandwidth) fuzzer->SendCommand(type, TBytes(4, 0));
      if (!Answers(*fuzzer)) {
        if (Record(fuzzer->PlayerId()).has_value()) return false;
        fuzzer = &Login("refuzzer" + std::to_string(++relogins));
      }
    }
    for (auto& c : clients) c->TakeEvents();
    return true;
  }
  // The unmute of a player id nobody has is answered with that id: a reply
  // no fuzzed request can be taken for, unlike a server-information reply.
  bool Answers(TQVClient& c) {
    const uint32_t marker = 0xFFFF0000u + ++syncs;
    return c.SendCommand(CMD_cs_PlayerMutePlayer, test::TPayload().U32(marker).U8(0)) &&
           c.WaitFor([marker](const TClientEvent& e) {
             return e.CommandType == CMD_sc_PlayerMutePlayerReply && e.Raw.size() == 29 &&
                    test::WireU32(e.Raw, 24) == marker;
           }, test::kWaitMs);
  }
  void LoginFuzzers(int count) {
    for (int i = 0; i < count; ++i) fuzzers.push_back(&Login("fuzzer" + std::to_string(i)));
  }

  std::mt19937 rng{kSeed};
  int32_t parent = 0;
  std::vector<TQVClient*> fuzzers;
  int relogins = 0;
  uint32_t syncs = 0;
};

TEST_F(MalformedCommandsTest, TruncatedRequestsChangeNothing) {
  LoginFuzzers(1);
  Login("bob", "Sub");
  for (const auto& [type, fixed] : kFixedPart) {
    for (size_t length = 0; length < fixed; ++length) {
      const TModelSnapshot before = Snapshot();
      ASSERT_TRUE(SendBatch(type, {RandomBytes(length)})) << "type " << type;
      EXPECT_TRUE(Snapshot() == before) << "type " << type << ", " << length << " bytes";
    }
  }
  EXPECT_EQ(relogins, 0);
}

TEST_F(MalformedCommandsTest, RandomPayloadsForEveryTypeLeaveAWorkingServer) {
  LoginFuzzers(4);
  TQVClient& bob = Login("bob", "Sub");
  for (const auto& [type, fixed] : kFixedPart) {
    for (int sent = 0; sent < kPayloadsPerType; sent += kBatch) {
      std::vector<TBytes> batch;
      for (int i = 0; i < kBatch; ++i) batch.push_back(RandomPayload(fixed));
      ASSERT_TRUE(SendBatch(type, batch)) << "type " << type << " after " << sent;
    }
    ExpectConsistent();
  }
  // Voice with random codec bytes, whisper lists and lengths.
  for (uint8_t target = 0; target <= 2; ++target) {
    for (int i = 0; i < kPayloadsPerType; ++i) {
      fuzzers[0]->SendVoice(target, static_cast<uint8_t>(rng() % 16), RandomBytes(rng() % 600));
      bob.SendVoice(target, static_cast<uint8_t>(rng() % 16), RandomBytes(rng() % 40));
    }
    ASSERT_TRUE(SendBatch(CMD_cs_InfoRequestServerInfo, {}));
  }
  // A quit with a random payload is still a quit.
  const uint32_t quitter = fuzzers[0]->PlayerId();
  ASSERT_TRUE(fuzzers[0]->SendCommand(CMD_cs_PlayerQuit, RandomBytes(17)));
  EXPECT_TRUE(WaitGone(quitter));
  ExpectConsistent();
  EXPECT_TRUE(server->CheckServerOK());

  // A new player logs in, switches into a fresh channel and is heard there.
  const int32_t room = AddChannel("Room");
  TQVClient& speaker = Login("speaker");
  ASSERT_TRUE(speaker.SwitchChannel(room));
  ASSERT_TRUE(speaker.WaitFor(
      [&](const TClientEvent& e) { return e.Kind == cePlayerSwitched && e.ChannelId == room; }, test::kWaitMs));
  TQVClient& listener = Login("listener", "Room");
  // Voice is not resent: the listener's connection counts as connected
  // only once the server saw his end of login acknowledged, so the speaker
  // talks until he is heard.
  const uint32_t speakerId = speaker.PlayerId();
  std::optional<TClientEvent> voice;
  for (int i = 0; i < test::kWaitMs / 50 && !voice; ++i) {
    ASSERT_TRUE(speaker.SendVoice(0, codecCelp51, TBytes(20, 0x42)));
    voice = listener.WaitFor([&](const TClientEvent& e) { return e.Kind == ceVoice && e.SpeakerId == speakerId; }, 50);
  }
  ASSERT_TRUE(voice.has_value());
  EXPECT_EQ(voice->Payload, TBytes(20, 0x42));
  ExpectConsistent();
  // Every handler caught its own failures; none reached the event loop.
  EXPECT_EQ(log.Text().find(" Execute Exception: "), std::string::npos);
}

}  // namespace
}  // namespace qv
