// The moderation functions of the administration interfaces on a running
// server: what connected clients see of each, what is stored, and what is
// refused without a trace.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "model/server_moderation.h"
#include "protocol/protocol_errors.h"
#include "protocol/text_message.h"
#include "support/live_server.h"
#include "voice/view_notifications.h"

namespace qv {
namespace {

using test::LiveServerTest;

class ModerationTest : public LiveServerTest {
 protected:
  ModerationTest() { defaults.MaxUsers = 20; }
  static TChannelFields Named(const std::string& name, int32_t parent = -1) {
    TChannelFields fields;
    fields.Name = name;
    fields.ParentId = parent;
    fields.MaxUsers = 10;
    fields.Codec = codecGSM148;
    return fields;
  }
  const TChannelRec* Channel(TChannels& channels, const std::string& name) {
    for (const auto& c : channels.Items()) {
      if (c->Name == name) return c.get();
    }
    return nullptr;
  }
};

// Each action, and the notification a watching client gets from it: the one
// the client's own command would cause, with the server (0) as originator.
TEST_F(ModerationTest, EachActionReachesTheClientsAsTheirOwnCommandWould) {
  StartServer();
  const int32_t lobby = DefaultChannel();
  const int32_t room = AddChannel("Room", cfModerated | cfHierarchical);
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  TQVClient& carol = Login("carol", "Room");
  const auto aliceId = static_cast<int32_t>(alice.PlayerId());
  const auto bobId = static_cast<int32_t>(bob.PlayerId());
  const auto carolId = static_cast<int32_t>(carol.PlayerId());
  int32_t created = 0;

  struct TRow {
    const char* Name;
    std::function<int32_t()> Action;
    std::function<bool(const TClientEvent&)> Seen;  // by bob
  };
  const TRow rows[] = {
      {"move", [&] { return MoveToChannel(*server, aliceId, room); },
       [&](const TClientEvent& e) {
         return e.Kind == cePlayerMoved && e.PlayerId == alice.PlayerId() && e.ChannelId == room && e.ActorId == 0;
       }},
      {"kick from channel", [&] { return KickFromChannel(*server, aliceId, "calm down"); },
       [&](const TClientEvent& e) {
         return e.Kind == cePlayerKicked && e.PlayerId == alice.PlayerId() && e.OldChannelId == room &&
                e.ChannelId == lobby && e.Text == "calm down";
       }},
      {"grant operator", [&] { return SetChannelPrivilege(*server, carolId, cpOP, true); },
       [&](const TClientEvent& e) {
         return e.Kind == ceChannelPrivilege && e.PlayerId == carol.PlayerId() && e.Action == 0 && e.Value == 1;
       }},
      {"revoke operator", [&] { return SetChannelPrivilege(*server, carolId, cpOP, false); },
       [&](const TClientEvent& e) {
         return e.Kind == ceChannelPrivilege && e.PlayerId == carol.PlayerId() && e.Action == 2 && e.Value == 1;
       }},
      {"grant server admin", [&] { return SetServerAdmin(*server, carolId, true); },
       [&](const TClientEvent& e) {
         return e.Kind == cePlayerPrivilege && e.PlayerId == carol.PlayerId() && e.Action == 0 && e.Value == 0;
       }},
      {"text to a player", [&] { return SendTextToPlayer(*server, bobId, "web.admin", "hello bob"); },
       [&](const TClientEvent& e) {
         return e.Kind == ceTextMessage && e.Action == tkPlayer && e.Nick == "web.admin" && e.Text == "hello bob";
       }},
      {"text to a channel", [&] { return SendTextToChannel(*server, lobby, "web.admin", "hello lobby"); },
       [&](const TClientEvent& e) {
         return e.Kind == ceTextMessage && e.Action == tkChannel && e.Text == "hello lobby";
       }},
      {"text to all", [&] { return SendTextToAll(*server, "web.admin", "hello\tall"); },
       [&](const TClientEvent& e) {
         return e.Kind == ceTextMessage && e.Action == tkEverybody && e.Text == "helloall";
       }},
      {"create", [&] { return CreateChannel(*server, Named("New"), &created); },
       [&](const TClientEvent& e) {
         return e.Kind == ceChannelCreated && e.Channels.size() == 1 && e.Channels[0].Name == "New" && e.ActorId == 0;
       }},
      {"create a sub-channel", [&] { return CreateChannel(*server, Named("Sub", room)); },
       [&](const TClientEvent& e) {
         return e.Kind == ceChannelCreated && e.Channels.size() == 1 && e.Channels[0].ParentId == room;
       }},
      {"edit",
       [&] {
         TChannelFields fields;
         fields.Name = "Renamed";
         return EditChannel(*server, created, fields, chfName);
       },
       [&](const TClientEvent& e) {
         return e.Kind == ceChannelChanged && e.CommandType == CMD_sc_NotifyChannelNameChanged &&
                e.ChannelId == created && e.Text == "Renamed";
       }},
      {"delete", [&] { return DeleteChannel(*server, created); },
       [&](const TClientEvent& e) { return e.Kind == ceChannelDestroyed && e.ChannelId == created; }},
      {"kick from the server", [&] { return KickFromServer(*server, carolId, "bye"); },
       [&](const TClientEvent& e) {
         return e.Kind == cePlayerLeft && e.PlayerId == carol.PlayerId() && e.Reason == lrKicked && e.Text == "bye";
       }},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    EXPECT_EQ(row.Action(), 0);
    auto seen = bob.WaitFor(row.Seen, test::kWaitMs);
    EXPECT_TRUE(seen.has_value());
  }
  // The kicked player's own copy carried the reason.
  auto own =
      carol.WaitFor([](const TClientEvent& e) { return e.Kind == cePlayerLeft && e.Text == "bye"; }, test::kWaitMs);
  EXPECT_TRUE(own.has_value());
  EXPECT_TRUE(WaitGone(carol.PlayerId()));
}

// A refusal changes nothing and tells nobody anything.
TEST_F(ModerationTest, RefusalsLeaveTheServerAsItWas) {
  StartServer([](TServerSettings& s) { s.AllowCodec[codecGSM164] = false; });
  const int32_t lobby = DefaultChannel();
  const int32_t room = AddChannel("Room", cfHierarchical);
  const int32_t sub = AddChannel("Sub", 0, room);
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  const auto aliceId = static_cast<int32_t>(alice.PlayerId());
  auto fields = [](auto edit) {
    TChannelFields f;
    edit(f);
    return f;
  };

  struct TRow {
    const char* Name;
    std::function<int32_t()> Action;
    int32_t Code;
  };
  const TRow rows[] = {
      {"kick nobody", [&] { return KickFromServer(*server, 9999, "x"); }, pePlayerIdNotFound},
      {"kick id -1", [&] { return KickFromServer(*server, -1, "x"); }, pePlayerIdNotFound},
      {"kick to where he is", [&] { return KickFromChannel(*server, aliceId, ""); }, peAlreadyChannelMember},
      {"move nowhere", [&] { return MoveToChannel(*server, aliceId, 9999); }, peChannelIdNotFound},
      {"ban too long", [&] { return BanPlayer(*server, aliceId, kBanMinutesMax + 1, "", "x"); }, peBadArgument},
      {"ban nobody", [&] { return BanPlayer(*server, 9999, 1, "", "x"); }, pePlayerIdNotFound},
      {"ban no address", [&] { return BanAddress(*server, "1.2.3.4.5", 1, "x"); }, peBadArgument},
      {"ban letters", [&] { return BanAddress(*server, "a.b", 1, "x"); }, peBadArgument},
      {"unban no ban", [&] { return Unban(*server, "9.9.9.9"); }, peBadArgument},
      {"operator outside moderation", [&] { return SetChannelPrivilege(*server, aliceId, cpOP, true); },
       peNotInModeratedChannel},
      {"no such privilege", [&] { return SetChannelPrivilege(*server, aliceId, 0x100, true); }, peBadArgument},
      {"revoke channel admin not held", [&] { return SetChannelPrivilege(*server, aliceId, cpCA, false); },
       peNotChannelAdmin},
      {"revoke admin not held", [&] { return SetServerAdmin(*server, aliceId, false); }, peNotServerAdmin},
      {"text to no channel", [&] { return SendTextToChannel(*server, 9999, "x", "hi"); }, peChannelIdNotFound},
      {"text to nobody", [&] { return SendTextToPlayer(*server, 9999, "x", "hi"); }, pePlayerIdNotFound},
      {"empty text", [&] { return SendTextToAll(*server, "x", " \r\n"); }, peBadArgument},
      {"create unnamed", [&] { return CreateChannel(*server, Named(" ")); }, peBadArgument},
      {"create a name in use", [&] { return CreateChannel(*server, Named("Room")); }, peChannelExists},
      {"create under nothing", [&] { return CreateChannel(*server, Named("X", 9999)); }, peChannelIdNotFound},
      {"create under a sub-channel", [&] { return CreateChannel(*server, Named("X", sub)); }, peParentIsSubChannel},
      {"create with a disabled codec",
       [&] {
         return CreateChannel(*server, fields([](TChannelFields& f) {
           f.Name = "X";
           f.Codec = codecGSM164;
         }));
       },
       peCodecDisabled},
      {"edit nothing", [&] { return EditChannel(*server, room, Named("X"), 0); }, peBadArgument},
      {"edit no channel", [&] { return EditChannel(*server, 9999, Named("X"), chfName); }, peChannelIdNotFound},
      {"rename to a name in use", [&] { return EditChannel(*server, lobby, Named("Room"), chfName); }, peChannelExists},
      {"password of a sub-channel",
       [&] { return EditChannel(*server, sub, fields([](TChannelFields& f) { f.Password = "pw"; }), chfPassword); },
       peSubChannelPassword},
      {"flags of a sub-channel",
       [&] { return EditChannel(*server, sub, fields([](TChannelFields& f) { f.Flags = cfModerated; }), chfFlags); },
       peSubChannelFlagsChanged},
      {"default flag taken away", [&] { return EditChannel(*server, lobby, Named("X"), chfFlags); },
       peDefaultChannelNotDeletable},
      {"sub-channels flag taken away with sub-channels",
       [&] { return EditChannel(*server, room, Named("X"), chfFlags | chfName); }, peSubChannelsPresent},
      {"codec beyond the table",
       [&] { return EditChannel(*server, room, fields([](TChannelFields& f) { f.Codec = 13; }), chfCodec); },
       peInvalidCodec},
      {"delete with players", [&] { return DeleteChannel(*server, lobby); }, peChannelNotEmpty},
      {"delete no channel", [&] { return DeleteChannel(*server, 9999); }, peChannelIdNotFound},
  };
  test::LiveServerTest::Sync(bob);
  bob.TakeEvents();
  for (const TRow& row : rows) EXPECT_EQ(row.Action(), row.Code) << row.Name;

  test::LiveServerTest::Sync(bob);
  for (const TClientEvent& e : bob.TakeEvents())
    EXPECT_EQ(e.CommandType, CMD_sc_InfoReplyServerInfo) << DescribeEvent(e);
  WithModel([&](TClients& players, TChannels& channels) {
    EXPECT_EQ(players.Count(), 2);
    EXPECT_EQ(channels.Count(), 3);
    EXPECT_EQ(Channel(channels, "Room")->Flags, cfHierarchical);
  });
  EXPECT_TRUE(ListBans(*server).empty());
  EXPECT_EQ(ModerationResultText(0), "OK");
  EXPECT_EQ(ModerationResultText(kNoResult), "server not running or not answering");
  EXPECT_EQ(ModerationResultText(peChannelNotEmpty), ProtocolErrorText(peChannelNotEmpty));
}

// Registered channels are stored as a client's channel commands store them
// and come back with the server; an unregistered one is not stored.
TEST_F(ModerationTest, ChannelsAreStoredAsTheClientsStoreThem) {
  StartServer();
  TChannelFields stored = Named("Stored");
  stored.Topic = "first";
  stored.Description = "about";
  stored.Password = "pw";
  stored.Order = 3;
  stored.Flags = cfModerated | cfHierarchical;
  int32_t id = 0;
  ASSERT_EQ(CreateChannel(*server, stored, &id), 0);
  ASSERT_EQ(CreateChannel(*server, Named("Inner", id)), 0);
  TChannelFields unregistered = Named("Passing");
  unregistered.Flags = cfUnregistered;
  ASSERT_EQ(CreateChannel(*server, unregistered), 0);
  TChannelFields edit;
  edit.Topic = "second";
  edit.MaxUsers = 7;
  ASSERT_EQ(EditChannel(*server, id, edit, chfTopic | chfMaxUsers), 0);

  RestartServer();
  WithModel([&](TClients&, TChannels& channels) {
    const TChannelRec* c = Channel(channels, "Stored");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->Topic, "second");
    EXPECT_EQ(c->Description, "about");
    EXPECT_EQ(c->Password.str(), "pw");
    EXPECT_EQ(c->Flags, cfModerated | cfHierarchical | cfPassword);
    EXPECT_EQ(c->Order, 3);
    EXPECT_EQ(c->MaxUsers, 7);
    EXPECT_EQ(c->Codec, codecGSM148);
    const TChannelRec* inner = Channel(channels, "Inner");
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->ParentId, c->Id);
    EXPECT_EQ(Channel(channels, "Passing"), nullptr);
  });
  // Deleting it takes it out of storage too.
  WithModel([&](TClients&, TChannels& channels) { id = Channel(channels, "Stored")->Id; });
  ASSERT_EQ(DeleteChannel(*server, id), 0);
  RestartServer();
  WithModel([&](TClients&, TChannels& channels) { EXPECT_EQ(Channel(channels, "Stored"), nullptr); });
}

TEST_F(ModerationTest, BanListAndUnbanRoundTrip) {
  StartServer();
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  const uint32_t aliceId = alice.PlayerId();
  ASSERT_EQ(BanPlayer(*server, static_cast<int32_t>(aliceId), 30, "spam", "web.admin[admin]"), 0);
  auto left = bob.WaitFor([&](const TClientEvent& e) { return e.Kind == cePlayerLeft && e.PlayerId == aliceId; },
                          test::kWaitMs);
  ASSERT_TRUE(left.has_value());
  EXPECT_EQ(left->Reason, lrKicked);
  EXPECT_EQ(left->Text, "spam");
  EXPECT_TRUE(WaitGone(aliceId));
  ASSERT_EQ(BanAddress(*server, "10.1.*", 0, "query.boss"), 0);

  std::vector<TBanEntry> bans = ListBans(*server);
  ASSERT_EQ(bans.size(), 2u);
  EXPECT_EQ(bans[0].Address, "127.0.0.1");
  EXPECT_EQ(bans[0].CreatedBy, "web.admin[admin]");
  EXPECT_EQ(bans[0].Minutes, 30u);
  EXPECT_GE(bans[0].RemainingMinutes, 29u);
  EXPECT_LE(bans[0].RemainingMinutes, 30u);
  EXPECT_GT(bans[0].Created.value, 0);
  EXPECT_EQ(bans[1].Address, "10.1.*");
  EXPECT_EQ(bans[1].RemainingMinutes, kBanForever);
  EXPECT_EQ(Result(Request("dave")), lcBanned);

  EXPECT_EQ(Unban(*server, "127.0.0.1"), 0);
  EXPECT_EQ(Unban(*server, "127.0.0.1"), peBadArgument);
  bans = ListBans(*server);
  ASSERT_EQ(bans.size(), 1u);
  EXPECT_EQ(bans[0].Address, "10.1.*");
  EXPECT_EQ(Result(Request("dave")), 1);
}

}  // namespace
}  // namespace qv
