// The voice relay, driven one datagram at a time without the listener's
// thread. Client voice packets are written here byte by byte; what the relay
// queued is read back from the server's packet buffer as the sender would put
// it on the wire, and checked in its bytes.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <memory>
#include <string>
#include <vector>

#include "protocol/command_types.h"
#include "support/log_capture.h"
#include "support/listener_harness.h"
#include "voice/udp_listener.h"

namespace qv {
namespace {

using Bytes = std::vector<uint8_t>;

void PutU16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Codec data that shows where it was cut or shifted.
Bytes Pattern(size_t size, uint8_t seed = 0) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(seed + i * 7);
  return data;
}

// A whisper list: count, then kind and id per entry.
Bytes WhisperList(const std::vector<std::pair<uint8_t, uint32_t>>& entries) {
  Bytes b{static_cast<uint8_t>(entries.size())};
  for (const auto& [kind, id] : entries) {
    b.push_back(kind);
    PutU32(b, id);
  }
  return b;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class VoiceRelayTest : public ::testing::Test, protected test::TListenerHarness {
 protected:
  VoiceRelayTest() : TListenerHarness(3), log(dir) {
    lobby = AddChannel("Lobby", -1, cfHierarchical);
  }

  int32_t AddChannel(const std::string& name, int32_t parent = -1, uint16_t flags = 0) {
    auto channel = NewChannel();
    channel->Name = name;
    channel->ParentId = parent;
    channel->Flags = static_cast<uint16_t>(cfUnregistered | flags);
    const int32_t id = server.Channels->AddChannel(std::move(channel));
    EXPECT_GT(id, 0) << name;
    return id;
  }
  TChannelRec* Channel(int32_t id) const { return server.Channels->GetChannelById(id); }

  // A player who completed his login, sitting in the channel, with a
  // connection that accepts voice.
  TClientRec* AddPlayer(const std::string& nick, int32_t channelId) {
    auto rec = NewClient();
    rec->PlayerId = static_cast<uint32_t>(server.Clients->NextPlayerId());
    rec->ConnectionId = 0x00A0B000 + rec->PlayerId;
    rec->NickName = nick;
    rec->LoginComplete = true;
    rec->ChannelId = channelId;
    TClientRec* player = rec.get();
    EXPECT_TRUE(server.Clients->AddClient(std::move(rec)));
    server.Channels->ClientJoinedChannel(Channel(channelId), player);
    Connect(*player);
    return player;
  }

  // The server accepts voice for a connection once the client acknowledged
  // the end of its login.
  void Connect(const TClientRec& player) {
    auto port = static_cast<uint16_t>(40000 + player.PlayerId);
    buffer.AddConnection(player.PlayerId, player.ConnectionId, 1, port, "127.0.0.1");
    buffer.SendPacket(NewCommandPacket(CMD_sc_LoginStep6, player.ConnectionId, player.PlayerId),
                                    false);
    int64_t wait = 0;
    TPacketList taken;
    buffer.TryTakeOutgoing(taken, 1, wait);
    ASSERT_EQ(taken.size(), 1u);
    const TPacketPtr& sent = taken.front();
    ASSERT_TRUE(sent && sent->IsCommand());
    auto ack = NewAckPacket(0, player.ConnectionId, player.PlayerId, sent->Sequence());
    ack->SetPeer("127.0.0.1", port);
    buffer.ReceivePacket(std::move(ack));
  }

  // A client voice datagram from the speaker, written byte by byte.
  void Speak(const TClientRec& speaker, uint8_t target, const Bytes& body, uint8_t codec = 5,
             uint16_t sequence = 0x1234, uint16_t voiceWord = 0xBEEF) {
    Bytes b;
    PutU16(b, 0xBEF2);
    b.push_back(target);
    b.push_back(codec);
    PutU32(b, speaker.ConnectionId);
    PutU32(b, speaker.PlayerId);
    PutU16(b, sequence);
    PutU16(b, voiceWord);
    b.insert(b.end(), body.begin(), body.end());
    listener->ProcessEvent(speaker.PlayerId, evPacket,
                           std::make_unique<TPacket>(b.data(), b.size(), "127.0.0.1", 40000));
  }

  // The voice packets the sender would send now, by recipient.
  std::map<uint32_t, std::vector<Bytes>> Heard() {
    std::map<uint32_t, std::vector<Bytes>> heard;
    int64_t wait = 0;
    TPacketList sent;
    while (buffer.TryTakeOutgoing(sent, 64, wait) > 0) {
    }
    for (const TPacketPtr& p : sent) {
      if (p->IsS2CVoice()) heard[p->PlayerId()].emplace_back(p->Data(), p->Data() + p->Size());
    }
    return heard;
  }
  static std::vector<uint8_t> Targets(const std::vector<Bytes>& packets) {
    std::vector<uint8_t> targets;
    for (const Bytes& p : packets) targets.push_back(p.at(2));
    return targets;
  }

  test::TempDir dir;
  test::LogCapture log;
  int32_t lobby = 0;
};

TEST_F(VoiceRelayTest, ChannelVoiceReachesTheOthersInTheChannelAsRelayedPackets) {
  TClientRec* alice = AddPlayer("alice", lobby);
  TClientRec* bob = AddPlayer("bob", lobby);
  TClientRec* carol = AddPlayer("carol", lobby);
  TClientRec* dave = AddPlayer("dave", AddChannel("Elsewhere"));
  const Bytes data = Pattern(100);

  Speak(*alice, 0, data, 5, 0x1234, 0xBEEF);

  auto heard = Heard();
  EXPECT_EQ(heard.count(alice->PlayerId), 0u);  // never himself
  EXPECT_EQ(heard.count(dave->PlayerId), 0u);   // another channel
  for (const TClientRec* to : {bob, carol}) {
    ASSERT_EQ(heard[to->PlayerId].size(), 1u) << to->NickName.str();
    const Bytes& p = heard[to->PlayerId][0];
    ASSERT_EQ(p.size(), 22u + data.size());
    const uint32_t cid = to->ConnectionId, pid = to->PlayerId, sid = alice->PlayerId;
    const Bytes header{0xF3, 0xBE,  // server voice
                       0x00,        // target: the channel
                       0x05,        // codec byte as sent
                       static_cast<uint8_t>(cid), static_cast<uint8_t>(cid >> 8), static_cast<uint8_t>(cid >> 16),
                       static_cast<uint8_t>(cid >> 24),
                       static_cast<uint8_t>(pid), 0, 0, 0,
                       0x01, 0x00,  // the recipient connection's first voice packet
                       0xEF, 0xBE,  // voice word as sent
                       static_cast<uint8_t>(sid), 0, 0, 0,
                       0x34, 0x12};  // the speaker's sequence
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 22), header);
    EXPECT_EQ(Bytes(p.begin() + 22, p.end()), data);
  }

  // Nothing but the header: relayed as it is. Unknown targets are dropped.
  Speak(*alice, 0, {});
  Speak(*alice, 3, data);
  heard = Heard();
  ASSERT_EQ(heard[bob->PlayerId].size(), 1u);
  EXPECT_EQ(heard[bob->PlayerId][0].size(), 22u);

  // A speaker whose login is not complete, or whose departure was
  // announced, is not relayed.
  alice->LoginComplete = false;
  Speak(*alice, 0, data);
  EXPECT_TRUE(Heard().empty());
  alice->LoginComplete = true;
  alice->Removing = true;
  for (uint8_t target : {0, 1, 2}) Speak(*alice, target, Concat(WhisperList({{1, bob->PlayerId}}), data));
  EXPECT_TRUE(Heard().empty());
}

TEST_F(VoiceRelayTest, MutesAndNoVoiceSilenceOnlyTheirListener) {
  TClientRec* alice = AddPlayer("alice", lobby);
  TClientRec* bob = AddPlayer("bob", lobby);
  TClientRec* carol = AddPlayer("carol", lobby);
  TClientRec* dave = AddPlayer("dave", lobby);

  ASSERT_TRUE(AddToPlayerMuteList(bob, alice->PlayerId));
  ASSERT_TRUE(AddToPlayerMuteList(alice, carol->PlayerId));  // the speaker's own list does not matter
  dave->PlayerFlags = pfNoVoice;
  Speak(*alice, 0, Pattern(10));
  auto heard = Heard();
  EXPECT_EQ(heard.count(bob->PlayerId), 0u);
  EXPECT_EQ(heard.count(dave->PlayerId), 0u);
  EXPECT_EQ(heard[carol->PlayerId].size(), 1u);

  // Bob still hears carol, whom alice muted; dave hears nobody.
  Speak(*carol, 0, Pattern(10));
  heard = Heard();
  EXPECT_EQ(heard[bob->PlayerId].size(), 1u);
  EXPECT_EQ(heard.count(alice->PlayerId), 0u);
  EXPECT_EQ(heard.count(dave->PlayerId), 0u);
}

TEST_F(VoiceRelayTest, ModeratedChannelHearsOnlyVoiceOperatorsAndAdmins) {
  Channel(lobby)->Flags |= cfModerated;
  TClientRec* alice = AddPlayer("alice", lobby);
  TClientRec* bob = AddPlayer("bob", lobby);

  Speak(*alice, 0, Pattern(10));
  EXPECT_TRUE(Heard().empty());

  for (uint16_t privilege : {cpV, cpOP, cpCA}) {
    alice->ChannelPrivileges = privilege;
    Speak(*alice, 0, Pattern(10));
    EXPECT_EQ(Heard()[bob->PlayerId].size(), 1u) << privilege;
  }
  // Automatic privileges alone are not voice.
  alice->ChannelPrivileges = cpAutoV | cpAutoOP;
  Speak(*alice, 0, Pattern(10));
  EXPECT_TRUE(Heard().empty());
  alice->PlayerPrivileges = spSA;
  Speak(*alice, 0, Pattern(10));
  EXPECT_EQ(Heard()[bob->PlayerId].size(), 1u);
}

TEST_F(VoiceRelayTest, WhisperReachesNamedPlayersAndChannels) {
  const int32_t side = AddChannel("Side");
  TClientRec* alice = AddPlayer("alice", lobby);
  TClientRec* bob = AddPlayer("bob", side);
  TClientRec* erin = AddPlayer("erin", side);
  TClientRec* carol = AddPlayer("carol", lobby);
  const Bytes data = Pattern(40, 9);

  // Bob named as a player and through his channel: two copies, target bytes
  // 1 and 0 in that order. Alice named herself: no echo.
  Speak(*alice, 1,
        Concat(WhisperList({{1, bob->PlayerId}, {1, alice->PlayerId}, {0, static_cast<uint32_t>(side)}}), data));
  auto heard = Heard();
  EXPECT_EQ(heard.count(alice->PlayerId), 0u);
  EXPECT_EQ(heard.count(carol->PlayerId), 0u);
  ASSERT_EQ(heard[bob->PlayerId].size(), 2u);
  EXPECT_EQ(Targets(heard[bob->PlayerId]), (std::vector<uint8_t>{1, 0}));
  ASSERT_EQ(heard[erin->PlayerId].size(), 1u);
  EXPECT_EQ(Targets(heard[erin->PlayerId]), (std::vector<uint8_t>{0}));
  for (const Bytes& p : heard[bob->PlayerId]) {
    ASSERT_EQ(p.size(), 22u + data.size());
    EXPECT_EQ(p[3], 5);
    EXPECT_EQ(p[16], alice->PlayerId);
    EXPECT_EQ(p[20], 0x34);
    EXPECT_EQ(Bytes(p.begin() + 22, p.end()), data);  // the list is not relayed
  }

  // The whisper list can also name the speaker's own channel.
  Speak(*alice, 1, Concat(WhisperList({{0, static_cast<uint32_t>(lobby)}}), data));
  heard = Heard();
  EXPECT_EQ(heard.count(alice->PlayerId), 0u);
  EXPECT_EQ(Targets(heard[carol->PlayerId]), (std::vector<uint8_t>{0}));

  // Naming the same player or channel again adds no copies; unknown kinds,
  // players and channels are skipped.
  Speak(*alice, 1,
        Concat(WhisperList({{1, bob->PlayerId}, {1, bob->PlayerId}, {7, bob->PlayerId}, {1, 999},
                            {0, 999}, {0, static_cast<uint32_t>(side)}, {0, static_cast<uint32_t>(side)}}),
               data));
  heard = Heard();
  EXPECT_EQ(Targets(heard[bob->PlayerId]), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(heard[erin->PlayerId].size(), 1u);
}

TEST_F(VoiceRelayTest, MalformedWhispersAreDropped) {
  TClientRec* alice = AddPlayer("alice", lobby);
  TClientRec* bob = AddPlayer("bob", lobby);
  const uint32_t lobbyId = static_cast<uint32_t>(lobby);

  Speak(*alice, 1, {});                                     // no count
  Speak(*alice, 1, Concat(WhisperList({}), Pattern(20)));  // nobody named
  Bytes shortList = WhisperList({{1, bob->PlayerId}, {0, lobbyId}});
  shortList[0] = 3;                                         // a third entry that is not there
  Speak(*alice, 1, shortList);
  shortList[0] = 255;
  Speak(*alice, 1, shortList);
  Bytes cutEntry = WhisperList({{1, bob->PlayerId}});
  cutEntry.pop_back();                                      // the id is one byte short
  Speak(*alice, 1, cutEntry);
  EXPECT_TRUE(Heard().empty());

  // A list that exactly fills the datagram relays empty codec data.
  Speak(*alice, 1, WhisperList({{1, bob->PlayerId}}));
  auto heard = Heard();
  ASSERT_EQ(heard[bob->PlayerId].size(), 1u);
  EXPECT_EQ(heard[bob->PlayerId][0].size(), 22u);
  EXPECT_EQ(server.Clients->Count(), 2);
}

TEST_F(VoiceRelayTest, BlockedWhispersStillLetChannelVoiceThrough) {
  TClientRec* alice = AddPlayer("alice", lobby);
  TClientRec* bob = AddPlayer("bob", lobby);
  TClientRec* carol = AddPlayer("carol", lobby);
  bob->PlayerFlags = pfBlockWhispers;

  Speak(*alice, 1, Concat(WhisperList({{1, bob->PlayerId}, {0, static_cast<uint32_t>(lobby)}}), Pattern(8)));
  auto heard = Heard();
  EXPECT_EQ(heard.count(bob->PlayerId), 0u);
  EXPECT_EQ(heard[carol->PlayerId].size(), 1u);

  Speak(*alice, 0, Pattern(8));
  EXPECT_EQ(Heard()[bob->PlayerId].size(), 1u);

  // Whispers respect mutes, no-voice and unfinished logins too.
  bob->PlayerFlags = 0;
  ASSERT_TRUE(AddToPlayerMuteList(bob, alice->PlayerId));
  carol->PlayerFlags = pfNoVoice;
  TClientRec* dave = AddPlayer("dave", lobby);
  dave->LoginComplete = false;
  Speak(*alice, 1,
        Concat(WhisperList({{1, bob->PlayerId}, {1, carol->PlayerId}, {1, dave->PlayerId}}), Pattern(8)));
  EXPECT_TRUE(Heard().empty());
}

TEST_F(VoiceRelayTest, WhisperToChannelsFollowsTheServerType) {
  // Two trees: Lobby with sub-channels One and Two, Games with Arena.
  const int32_t one = AddChannel("One", lobby);
  const int32_t two = AddChannel("Two", lobby);
  const int32_t games = AddChannel("Games", -1, cfHierarchical);
  const int32_t arena = AddChannel("Arena", games);
  TClientRec* alice = AddPlayer("alice", one);
  std::map<int32_t, TClientRec*> listenerIn;
  for (int32_t id : {lobby, two, games, arena}) listenerIn[id] = AddPlayer("in" + std::to_string(id), id);
  auto reached = [&](int32_t channelId) {
    Speak(*alice, 1, Concat(WhisperList({{0, static_cast<uint32_t>(channelId)}}), Pattern(4)));
    return Heard().count(listenerIn[channelId]->PlayerId) == 1;
  };

  EditSettings([](TServerSettings& s) { s.ServerFlags = sfPublic; });
  EXPECT_TRUE(reached(lobby));   // the parent
  EXPECT_TRUE(reached(two));     // a sibling
  EXPECT_FALSE(reached(games));  // another tree
  EXPECT_FALSE(reached(arena));
  // A player entry reaches anyone.
  Speak(*alice, 1, Concat(WhisperList({{1, listenerIn[arena]->PlayerId}}), Pattern(4)));
  EXPECT_EQ(Heard()[listenerIn[arena]->PlayerId].size(), 1u);

  EditSettings([](TServerSettings& s) { s.ServerFlags = sfClan; });
  EXPECT_TRUE(reached(games));
  EXPECT_TRUE(reached(arena));
  Channel(arena)->Flags |= cfModerated;  // moderation still applies
  EXPECT_FALSE(reached(arena));
  alice->ChannelPrivileges = cpV;  // voice where he is counts
  EXPECT_TRUE(reached(arena));
}

TEST_F(VoiceRelayTest, ParentChannelVoiceReachesParentAndOwnChannel) {
  const int32_t one = AddChannel("One", lobby);
  const int32_t two = AddChannel("Two", lobby);
  TClientRec* alice = AddPlayer("alice", one);
  TClientRec* bob = AddPlayer("bob", one);
  TClientRec* carol = AddPlayer("carol", lobby);
  TClientRec* dave = AddPlayer("dave", lobby);
  TClientRec* erin = AddPlayer("erin", two);
  ASSERT_TRUE(AddToPlayerMuteList(dave, alice->PlayerId));

  Speak(*alice, 2, Pattern(30), 7, 0x0102, 0x0304);
  auto heard = Heard();
  EXPECT_EQ(heard.count(alice->PlayerId), 0u);
  EXPECT_EQ(heard.count(dave->PlayerId), 0u);  // muted him
  EXPECT_EQ(heard.count(erin->PlayerId), 0u);  // a sibling is not the parent
  for (const TClientRec* to : {bob, carol}) {
    ASSERT_EQ(heard[to->PlayerId].size(), 1u) << to->NickName.str();
    const Bytes& p = heard[to->PlayerId][0];
    EXPECT_EQ(p[2], 2);
    EXPECT_EQ(p[3], 7);
    EXPECT_EQ(p[8], to->PlayerId);
    EXPECT_EQ(p[14], 0x04);
    EXPECT_EQ(p[15], 0x03);
    EXPECT_EQ(p[16], alice->PlayerId);
    EXPECT_EQ(p[20], 0x02);
    EXPECT_EQ(p[21], 0x01);
    EXPECT_EQ(Bytes(p.begin() + 22, p.end()), Pattern(30));
  }

  // Moderation: of the parent silences everything, of his own channel the
  // players around him.
  Channel(lobby)->Flags |= cfModerated;
  Speak(*alice, 2, Pattern(30));
  EXPECT_TRUE(Heard().empty());
  Channel(lobby)->Flags &= static_cast<uint16_t>(~cfModerated);
  Channel(one)->Flags |= cfModerated;
  Speak(*alice, 2, Pattern(30));
  heard = Heard();
  EXPECT_EQ(heard.count(bob->PlayerId), 0u);
  EXPECT_EQ(heard[carol->PlayerId].size(), 1u);
}

TEST_F(VoiceRelayTest, ParentChannelVoiceFromTopLevelIsDroppedAndLoggedOnce) {
  TClientRec* alice = AddPlayer("alice", lobby);
  AddPlayer("bob", lobby);
  for (int i = 0; i < 50; ++i) Speak(*alice, 2, Pattern(10));
  EXPECT_TRUE(Heard().empty());
  const std::string line = "SID: 3 TQVUDPListener.ProgressVoiceData_SendVoiceDataToParentChannel, unable to get parentchannel";
  EXPECT_EQ(log.MessagesStartingWith(line).size(), 1u);
  EXPECT_NE(log.LineOf(line).find(",UDP VOICE,"), std::string::npos) << log.LineOf(line);
}

TEST_F(VoiceRelayTest, LargeCodecDataIsRelayedWholeUpTo16385Bytes) {
  const int32_t one = AddChannel("One", lobby);
  TClientRec* alice = AddPlayer("alice", one);
  TClientRec* bob = AddPlayer("bob", one);
  TClientRec* carol = AddPlayer("carol", lobby);
  const Bytes whole = Pattern(16385, 3);
  const Bytes oversized = Pattern(20000, 3);
  const Bytes toBob = WhisperList({{1, bob->PlayerId}});

  // The largest datagram the socket takes, and exactly the limit: whole, no log.
  Speak(*alice, 0, Pattern(8192 - 16, 1));
  Speak(*alice, 0, whole);
  Speak(*alice, 1, Concat(toBob, whole));
  Speak(*alice, 2, whole);
  auto heard = Heard();
  ASSERT_EQ(heard[bob->PlayerId].size(), 4u);
  EXPECT_EQ(Bytes(heard[bob->PlayerId][0].begin() + 22, heard[bob->PlayerId][0].end()), Pattern(8192 - 16, 1));
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(heard[bob->PlayerId][i].size(), 22u + 16385) << i;
  EXPECT_TRUE(log.MessagesStartingWith("SID: 3 ProgressVoiceData").empty());

  // Longer: cut to the first 16385 bytes; whisper and parent log it.
  Speak(*alice, 0, oversized);
  Speak(*alice, 1, Concat(toBob, oversized));
  Speak(*alice, 2, oversized);
  heard = Heard();
  ASSERT_EQ(heard[bob->PlayerId].size(), 3u);
  for (const Bytes& p : heard[bob->PlayerId]) EXPECT_EQ(Bytes(p.begin() + 22, p.end()), whole);
  ASSERT_EQ(heard[carol->PlayerId].size(), 1u);
  EXPECT_EQ(heard[carol->PlayerId][0].size(), 22u + 16385);
  EXPECT_EQ(log.MessagesStartingWith("SID: 3 ProgressVoiceData_SendVoiceDataWhisper, invalid packet size").size(), 1u);
  EXPECT_EQ(
      log.MessagesStartingWith("SID: 3 ProgressVoiceData_SendVoiceDataToParentChannel, invalid packet size").size(),
      1u);
}

TEST_F(VoiceRelayTest, RandomDatagramsNeverReachTheSpeakerOrChangeState) {
  const int32_t one = AddChannel("One", lobby);
  TClientRec* alice = AddPlayer("alice", one);
  std::vector<uint32_t> ids{alice->PlayerId};
  for (int32_t channel : {lobby, one, one}) {
    ids.push_back(AddPlayer("p" + std::to_string(ids.size()), channel)->PlayerId);
  }
  std::mt19937 random(20240611);  // fixed: a failure must repeat
  auto byte = [&] { return static_cast<uint8_t>(random() & 0xFF); };

  size_t relayed = 0;
  for (int i = 0; i < 3000; ++i) {
    Bytes body(random() % 300);
    for (uint8_t& b : body) b = byte();
    // Whisper lists that name players and channels that exist, some of the time.
    if (body.size() > 6 && random() % 2 == 0) {
      body[0] = static_cast<uint8_t>(random() % 4);
      body[1] = static_cast<uint8_t>(random() % 3);
      body[2] = static_cast<uint8_t>(random() % 6);
      body[3] = body[4] = body[5] = 0;
    }
    Speak(*alice, static_cast<uint8_t>(random() % 4), body, byte(), static_cast<uint16_t>(i));
    for (const auto& [to, packets] : Heard()) {
      EXPECT_NE(to, alice->PlayerId);
      for (const Bytes& p : packets) {
        ASSERT_GE(p.size(), 22u);
        EXPECT_LE(p.size(), 22u + body.size());
        EXPECT_EQ(p[16], alice->PlayerId);
        ++relayed;
      }
    }
  }
  EXPECT_GT(relayed, 0u);
  EXPECT_EQ(server.Clients->Count(), static_cast<int>(ids.size()));
  EXPECT_EQ(server.Channels->Count(), 2);
  EXPECT_EQ(Channel(one)->Members.size(), 3u);
  for (uint32_t id : ids) EXPECT_EQ(buffer.ConnectionState(id), stConnected);
}

}  // namespace
}  // namespace qv
