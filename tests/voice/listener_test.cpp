// The listener's dispatch, error replies, disconnects and player-id reset,
// driven one event at a time without its thread. Replies are read straight
// from the server's packet buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "protocol/command_types.h"
#include "support/listener_harness.h"
#include "support/log_capture.h"
#include "voice/channel_handlers.h"
#include "voice/udp_listener.h"
#include "voice/view_notifications.h"

namespace qv {
namespace {

class ListenerTest : public ::testing::Test, protected test::TListenerHarness {
 protected:
  ListenerTest() : TListenerHarness(3) {
  }

  // A logged-in player with a connection, as the login leaves him.
  TClientRec* AddPlayer(const std::string& nick, bool withConnection = true) {
    auto rec = NewClient();
    rec->PlayerId = static_cast<uint32_t>(server.Clients->NextPlayerId());
    rec->ConnectionId = 1000 + rec->PlayerId;
    rec->NickName = nick;
    rec->LoginComplete = true;
    if (withConnection) {
      buffer.AddConnection(rec->PlayerId, rec->ConnectionId, 1,
                                         static_cast<uint16_t>(40000 + rec->PlayerId), "127.0.0.1");
    }
    TClientRec* raw = rec.get();
    EXPECT_TRUE(server.Clients->AddClient(std::move(rec)));
    return raw;
  }

  TPacketPtr CommandFrom(const TClientRec* player, uint16_t type, uint32_t sequence = 1) {
    auto packet = NewCommandPacket(type, player->ConnectionId, player->PlayerId);
    packet->SetSequence(sequence);
    packet->SetSize(40);
    return packet;
  }

  std::vector<TPacketPtr> Outgoing() {
    std::vector<TPacketPtr> out;
    int64_t wait = 0;
    while (buffer.TryTakeOutgoing(out, 64, wait) > 0) {
    }
    return out;
  }

};

TEST_F(ListenerTest, PacketsWithoutHandlerOrPlayerGetNoReply) {
  test::TempDir dir;
  test::LogCapture log(dir);
  TClientRec* alice = AddPlayer("alice");

  // Voice from a player id without record (a client still logging in).
  listener->ProcessEvent(77, evPacket, NewC2SVoicePacket(0, 3, 5, 77, 1, 0));
  // A command type nobody handles, from a known player.
  listener->ProcessEvent(alice->PlayerId, evPacket, CommandFrom(alice, 999));
  // A voice target outside 0..2 from a known player.
  listener->ProcessEvent(alice->PlayerId, evPacket,
                         NewC2SVoicePacket(7, 3, alice->ConnectionId, alice->PlayerId, 1, 0));
  // An external wake without a pending command.
  listener->ProcessEvent(0, evExternal, nullptr);

  EXPECT_TRUE(Outgoing().empty());
  EXPECT_EQ(server.Clients->Count(), 1);
  EXPECT_EQ(buffer.ConnectionCount(), 1);
  EXPECT_TRUE(log.MessagesStartingWith("SID: 3").empty());
}

TEST_F(ListenerTest, ErrorReplyCarriesCodeRequestTypeAndSequence) {
  TClientRec* alice = AddPlayer("alice");
  Context().SendError(*alice, -102, CMD_cs_ChannelDestroy, 0x01020304);
  auto out = Outgoing();
  ASSERT_EQ(out.size(), 1u);
  const TPacket& p = *out[0];
  ASSERT_EQ(p.Size(), 30u);
  const uint8_t* b = p.Data();
  EXPECT_EQ(b[0], 0xF0);
  EXPECT_EQ(b[1], 0xBE);
  EXPECT_EQ(b[2], 0x9A);  // -102 as 0xFF9A, little-endian
  EXPECT_EQ(b[3], 0xFF);
  EXPECT_EQ(p.GetU32(4), alice->ConnectionId);
  EXPECT_EQ(p.GetU32(8), alice->PlayerId);
  EXPECT_EQ(b[24], 0xD1);  // 209, the failed request's type
  EXPECT_EQ(b[25], 0x00);
  EXPECT_EQ(b[26], 0x04);  // its sequence
  EXPECT_EQ(b[27], 0x03);
  EXPECT_EQ(b[28], 0x02);
  EXPECT_EQ(b[29], 0x01);
  // Outside an event there is no current player to answer.
  Context().SendError(-102, CMD_cs_ChannelDestroy, 1);
  EXPECT_TRUE(Outgoing().empty());
}

TEST_F(ListenerTest, TimeOutWithoutPlayerRecordStillRemovesConnection) {
  test::TempDir dir;
  test::LogCapture log(dir);
  server.AccessLog = true;
  buffer.AddConnection(9, 99, 1, 40009, "127.0.0.1");
  listener->ProcessEvent(9, evTimedOut, nullptr);
  EXPECT_EQ(buffer.ConnectionCount(), 0);
  EXPECT_TRUE(log.MessagesStartingWith("SID: 3 client disconnected").empty());
}

TEST_F(ListenerTest, DisconnectNotifiesOthersAndCleansUp) {
  test::TempDir dir;
  test::LogCapture log(dir);
  server.AccessLog = true;
  ASSERT_GT(server.Channels->CreateDefaultChannel(), 0);
  TChannelRec* lobby = server.Channels->GetDefaultChannelAsPointer();
  TClientRec* alice = AddPlayer("alice");
  TClientRec* bob = AddPlayer("bob");
  for (TClientRec* p : {alice, bob}) {
    p->ChannelId = lobby->Id;
    server.Channels->ClientJoinedChannel(lobby, p);
  }
  const uint32_t aliceId = alice->PlayerId;

  listener->ProcessEvent(aliceId, evClosed, nullptr);

  EXPECT_EQ(server.Clients->GetClientByID(aliceId), nullptr);
  EXPECT_FALSE(lobby->HasMember(aliceId));
  EXPECT_TRUE(lobby->HasMember(bob->PlayerId));
  EXPECT_EQ(buffer.ConnectionState(aliceId), stClosed);
  EXPECT_EQ(log.MessagesStartingWith("SID: 3 client disconnected. [Nick: alice]").size(), 1u);

  // Bob hears that alice left the server: reason 1, nobody acting, no text.
  std::vector<TPacketPtr> toBob;
  for (auto& p : Outgoing()) {
    if (p->PlayerId() == bob->PlayerId) toBob.push_back(std::move(p));
  }
  ASSERT_EQ(toBob.size(), 1u);
  const TPacket& p = *toBob[0];
  ASSERT_EQ(p.Size(), 64u);
  EXPECT_EQ(p.CommandType(), CMD_sc_NotifyPlayerLeftScope);
  EXPECT_EQ(p.GetU32(24), aliceId);
  EXPECT_EQ(p.GetU16(28), 1u);
  EXPECT_EQ(p.GetU32(30), 0u);
  EXPECT_EQ(p.GetU8(34), 0u);
}

TEST_F(ListenerTest, PlayerIdsStartAgainOnlyWhenNoConnectionIsLeft) {
  test::TempDir dir;
  test::LogCapture log(dir);
  TClientRec* alice = AddPlayer("alice");
  TClientRec* bob = AddPlayer("bob");
  const uint32_t aliceId = alice->PlayerId, bobId = bob->PlayerId;
  ASSERT_EQ(bobId, 2u);

  listener->ProcessEvent(aliceId, evTimedOut, nullptr);
  EXPECT_EQ(server.Clients->LastPlayerId(), 2);  // bob is still connected
  listener->ProcessEvent(bobId, evTimedOut, nullptr);
  EXPECT_EQ(server.Clients->LastPlayerId(), 0);
  EXPECT_EQ(server.Clients->NextPlayerId(), 1);

  // A record whose connection is gone blocks the reset, and says so.
  server.Clients->ResetPlayerIds();
  AddPlayer("ghost", false);
  AddPlayer("carol");
  listener->ProcessEvent(2, evTimedOut, nullptr);
  EXPECT_EQ(server.Clients->LastPlayerId(), 2);
  EXPECT_EQ(log.MessagesStartingWith("SID: 3 unable to reset playerid.").size(), 1u);
}

TEST_F(ListenerTest, DisconnectSweepsEmptyUnregisteredChannels) {
  ASSERT_GT(server.Channels->CreateDefaultChannel(), 0);
  auto channel = NewChannel();
  channel->Name = "temp";
  channel->Flags = cfUnregistered | cfHierarchical;
  const int32_t temp = server.Channels->AddChannel(std::move(channel));
  ASSERT_GT(temp, 0);
  auto sub = NewChannel();
  sub->Name = "sub";
  sub->ParentId = temp;
  sub->Flags = cfUnregistered;
  const int32_t subId = server.Channels->AddChannel(std::move(sub));
  ASSERT_GT(subId, 0);

  TClientRec* alice = AddPlayer("alice");
  TClientRec* bob = AddPlayer("bob");
  TChannelRec* subChannel = server.Channels->GetChannelById(subId);
  alice->ChannelId = subId;
  server.Channels->ClientJoinedChannel(subChannel, alice);
  bob->ChannelId = server.Channels->GetDefaultChannel();
  server.Channels->ClientJoinedChannel(server.Channels->GetDefaultChannelAsPointer(), bob);

  // A player in a sub-channel keeps the whole tree alive.
  voice::ClearChannelUp(Context(), temp);
  EXPECT_NE(server.Channels->GetChannelById(temp), nullptr);
  Outgoing();

  listener->ProcessEvent(alice->PlayerId, evTimedOut, nullptr);
  EXPECT_EQ(server.Channels->GetChannelById(temp), nullptr);
  EXPECT_EQ(server.Channels->GetChannelById(subId), nullptr);
  EXPECT_EQ(server.Channels->Count(), 1);

  std::vector<uint16_t> destroyed;
  for (auto& p : Outgoing()) {
    if (p->CommandType() != CMD_sc_NotifyChannelDestroyed) continue;
    ASSERT_EQ(p->Size(), 30u);
    EXPECT_EQ(p->PlayerId(), bob->PlayerId);
    EXPECT_EQ(p->GetU32(26), 0u);
    destroyed.push_back(p->GetU16(24));
  }
  // The sub-channel first, then its parent.
  EXPECT_EQ(destroyed, (std::vector<uint16_t>{static_cast<uint16_t>(subId), static_cast<uint16_t>(temp)}));
}

TEST_F(ListenerTest, LeftScopeFollowsViewAndIsSentOnce) {
  EditSettings([](TServerSettings& s) { s.ServerFlags = sfPublic | sfFreeware; });
  ASSERT_GT(server.Channels->CreateDefaultChannel(), 0);
  auto other = NewChannel();
  other->Name = "other";
  const int32_t otherId = server.Channels->AddChannel(std::move(other));
  ASSERT_GT(otherId, 0);
  TClientRec* alice = AddPlayer("alice");
  TClientRec* bob = AddPlayer("bob");
  TClientRec* carol = AddPlayer("carol");
  alice->ChannelId = bob->ChannelId = server.Channels->GetDefaultChannel();
  carol->ChannelId = otherId;

  voice::NotifyPlayerLeftScope(Context(), alice->PlayerId, lrKicked, "spam", bob->PlayerId);
  voice::NotifyPlayerLeftScope(Context(), alice->PlayerId, lrKicked, "spam", bob->PlayerId);  // suppressed

  std::vector<uint32_t> recipients;
  for (auto& p : Outgoing()) {
    recipients.push_back(p->PlayerId());
    EXPECT_EQ(p->GetU16(28), lrKicked);
    EXPECT_EQ(p->GetU32(30), bob->PlayerId);
    EXPECT_EQ(p->GetU8(34), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p->Data()) + 35, 4), "spam");
  }
  std::sort(recipients.begin(), recipients.end());
  EXPECT_EQ(recipients, (std::vector<uint32_t>{alice->PlayerId, bob->PlayerId}));
  EXPECT_TRUE(alice->Removing);
  // Her own copy closes her connection.
  EXPECT_NE(buffer.ConnectionState(alice->PlayerId), stLoggingIn);
}

TEST_F(ListenerTest, RemoveAllPlayersSaysGoodbyeToEachAndClosesConnections) {
  TClientRec* alice = AddPlayer("alice");
  TClientRec* bob = AddPlayer("bob");
  listener->RemoveAllPlayers();
  auto out = Outgoing();
  ASSERT_EQ(out.size(), 2u);
  for (auto& p : out) {
    EXPECT_EQ(p->CommandType(), CMD_sc_NotifyPlayerLeftScope);
    EXPECT_EQ(p->GetU32(24), p->PlayerId());
    EXPECT_EQ(p->GetU16(28), lrServerStops);
  }
  EXPECT_TRUE(alice->Removing && bob->Removing);
  EXPECT_NE(buffer.ConnectionState(alice->PlayerId), stLoggingIn);
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// A stop ends every connection at once: each player's disconnect line is
// written then, also for one whose quit is still closing his connection, and
// once only (the closes that follow are no longer handled).
TEST_F(ListenerTest, StopLogsTheDisconnectOfEveryPlayerOnce) {
  test::LogCapture log;
  server.AccessLog = true;
  AddPlayer("alice");
  TClientRec* bob = AddPlayer("bob");
  bob->Removing = true;  // he quit; his connection is closing
  const uint32_t bobId = bob->PlayerId;
  listener->Terminate();
  {
    std::lock_guard<TClients> players(*server.Clients);
    std::lock_guard<TChannels> channels(*server.Channels);
    listener->RemoveAllPlayers();
  }
  listener->ProcessEvent(bobId, evClosed, nullptr);
  EXPECT_EQ(log.MessagesStartingWith("SID: 3 client disconnected. [Nick: alice]").size(), 1u);
  EXPECT_EQ(log.MessagesStartingWith("SID: 3 client disconnected. [Nick: bob]").size(), 1u);
}

}  // namespace
}  // namespace qv
