// Permission checks, channel privileges on entry, the join test, who sees
// whom and the notifications that follow a channel switch, driven on a
// listener without thread. Packets are read back from the server's buffer.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "protocol/command_types.h"
#include "support/listener_harness.h"
#include "voice/channel_handlers.h"
#include "voice/login_handlers.h"
#include "voice/permission_checks.h"
#include "voice/udp_listener.h"
#include "voice/view_notifications.h"

namespace qv {
namespace {

class PermissionViewTest : public ::testing::Test, protected test::TListenerHarness {
 protected:
  PermissionViewTest() : TListenerHarness(4) {
    EditSettings([](TServerSettings& s) { s.ServerFlags = sfPublic; });
  }

  // A channel kept out of storage; returns its record.
  TChannelRec* AddChannel(int32_t id, int32_t parent, const std::string& name, const std::string& password = "",
                          uint16_t maxUsers = 10) {
    auto c = NewChannel();
    c->Id = id;
    c->ParentId = parent;
    c->Name = name;
    c->Flags = static_cast<uint16_t>(cfUnregistered | (parent == -1 ? cfHierarchical : 0));
    c->Password = password;
    c->MaxUsers = maxUsers;
    EXPECT_EQ(server.Channels->AddChannelID(std::move(c)), id);
    return server.Channels->GetChannelById(id);
  }

  // A logged-in player sitting in the channel.
  TClientRec* AddPlayer(const std::string& nick, TChannelRec* channel) {
    auto rec = NewClient();
    rec->PlayerId = static_cast<uint32_t>(server.Clients->NextPlayerId());
    rec->ConnectionId = 500 + rec->PlayerId;
    rec->NickName = nick;
    rec->LoginComplete = true;
    buffer.AddConnection(rec->PlayerId, rec->ConnectionId, 1,
                                       static_cast<uint16_t>(41000 + rec->PlayerId), "127.0.0.1");
    TClientRec* raw = rec.get();
    EXPECT_TRUE(server.Clients->AddClient(std::move(rec)));
    if (channel) {
      raw->ChannelId = channel->Id;
      server.Channels->ClientJoinedChannel(channel, raw);
    }
    return raw;
  }

  void Move(TClientRec* player, TChannelRec* to) {
    server.Channels->ClientLeftChannel(server.Channels->GetChannelById(player->ChannelId), player);
    player->ChannelId = to->Id;
    server.Channels->ClientJoinedChannel(to, player);
  }

  // What went out, by recipient player id: "type" lists per recipient.
  std::map<uint32_t, std::vector<TPacketPtr>> Outgoing() {
    std::map<uint32_t, std::vector<TPacketPtr>> out;
    int64_t wait = 0;
    TPacketList sent;
    while (buffer.TryTakeOutgoing(sent, 64, wait) > 0) {
    }
    for (TPacketPtr& p : sent) out[p->PlayerId()].push_back(std::move(p));
    return out;
  }
  static std::vector<uint16_t> Types(const std::vector<TPacketPtr>& packets) {
    std::vector<uint16_t> types;
    for (const auto& p : packets) types.push_back(p->CommandType());
    return types;
  }

};

TEST_F(PermissionViewTest, ChannelJoinTest) {
  TChannelRec* locked = AddChannel(1, -1, "Locked", "key", 1);
  AddChannel(2, 1, "Inner");
  AddChannel(3, -1, "Open");
  EXPECT_EQ(voice::CheckChannelJoin(Context(), 9, ""), -102);
  EXPECT_EQ(voice::CheckChannelJoin(Context(), 1, ""), -110);
  EXPECT_EQ(voice::CheckChannelJoin(Context(), 1, "KEY"), 1);  // case counts
  EXPECT_EQ(voice::CheckChannelJoin(Context(), 1, "key"), 0);
  // The sub-channel asks for its parent's password.
  EXPECT_EQ(voice::CheckChannelJoin(Context(), 2, ""), -110);
  EXPECT_EQ(voice::CheckChannelJoin(Context(), 2, "key"), 0);
  EXPECT_EQ(voice::CheckChannelJoin(Context(), 3, "anything"), 0);
  AddPlayer("first", locked);
  EXPECT_EQ(voice::CheckChannelJoin(Context(), 1, "key"), -113);  // right password, but full
}

TEST_F(PermissionViewTest, PrivilegesOnEnteringAChannel) {
  TChannelRec* top = AddChannel(1, -1, "Top");
  TChannelRec* sub = AddChannel(2, 1, "Sub");
  TClientRec* admin = AddPlayer("admin", top);
  admin->ChannelPrivileges = cpCA;
  server.Channels->SetChannelAttribs(top, admin);
  Move(admin, sub);
  voice::SetPlayerChannelFlagsAndPrivileges(Context(), sub, admin);
  EXPECT_EQ(admin->ChannelPrivileges, cpCA);  // admin of the parent, admin of the sub-channel

  TClientRec* op = AddPlayer("op", top);
  op->ChannelPrivileges = cpAutoOP | cpAutoV;
  server.Channels->SetChannelAttribs(top, op);
  op->ChannelPrivileges = 0;
  op->PlayerFlags = pfRequestVoice | pfChannelCommander;
  voice::SetPlayerChannelFlagsAndPrivileges(Context(), top, op);
  EXPECT_EQ(op->ChannelPrivileges, cpAutoOP | cpOP | cpAutoV | cpV);
  EXPECT_EQ(op->PlayerFlags, pfChannelCommander);
}

TEST_F(PermissionViewTest, PermissionChecksUseTheRightChannelPrivileges) {
  EditSettings([](TServerSettings& s) {
    s.Permissions = TPermissionTable{};
    s.Permissions[ugCA].set(upChannelEditName);
    s.Permissions[ugOP].set(upKickPlayerFromChannel);
  });
  TChannelRec* mine = AddChannel(1, -1, "Mine");
  TChannelRec* other = AddChannel(2, -1, "Other");
  TClientRec* p = AddPlayer("p", other);
  p->ChannelPrivileges = cpCA;
  server.Channels->SetChannelAttribs(mine, p);
  p->ChannelPrivileges = cpOP;  // what he holds where he sits now

  EXPECT_FALSE(voice::HasPermission(Context(), p, upChannelEditName));
  EXPECT_TRUE(voice::HasPermission(Context(), p, upKickPlayerFromChannel));
  EXPECT_TRUE(voice::CheckClientChannelPermission(Context(), mine, p, upChannelEditName));
  EXPECT_FALSE(voice::CheckClientChannelPermission(Context(), mine, p, upKickPlayerFromChannel));
  EXPECT_FALSE(voice::CheckClientChannelPermission(Context(), nullptr, p, upChannelEditName));
  EXPECT_TRUE(voice::CheckClientCAPermission(Context(), p, upChannelEditName));
  EXPECT_FALSE(voice::CheckClientCAPermission(Context(), p, upKickPlayerFromChannel));
  p->PlayerPrivileges = spSuperAdmin;
  EXPECT_TRUE(voice::HasPermission(Context(), p, upAdminStopServer));
}

TEST_F(PermissionViewTest, EndOfModerationTakesOperatorAndVoiceInOrder) {
  TChannelRec* room = AddChannel(1, -1, "Room");
  TChannelRec* elsewhere = AddChannel(2, -1, "Elsewhere");
  TClientRec* mod = AddPlayer("mod", room);
  TClientRec* watcher = AddPlayer("watcher", room);
  TClientRec* away = AddPlayer("away", elsewhere);
  mod->ChannelPrivileges = cpCA | cpOP | cpAutoV;
  voice::RemoveModeratedFlags(Context(), room->Id);
  EXPECT_EQ(mod->ChannelPrivileges, cpCA);
  auto out = Outgoing();
  EXPECT_TRUE(out[away->PlayerId].empty());  // he does not see the room
  for (TClientRec* r : {mod, watcher}) {
    const auto& packets = out[r->PlayerId];
    ASSERT_EQ(packets.size(), 2u);
    const uint8_t expectedIndex[] = {1, 4};
    for (size_t i = 0; i < 2; ++i) {
      const TPacket& p = *packets[i];
      ASSERT_EQ(p.Size(), 34u);
      EXPECT_EQ(p.Data()[2], 0x6A);
      EXPECT_EQ(p.Data()[3], 0x00);
      EXPECT_EQ(p.GetU32(24), mod->PlayerId);
      EXPECT_EQ(p.Data()[28], 3);  // revoked by the server
      EXPECT_EQ(p.Data()[29], expectedIndex[i]);
      EXPECT_EQ(p.GetU32(30), 0u);
    }
  }
}

TEST_F(PermissionViewTest, SwitchInsideATreeOnAPublicServer) {
  TChannelRec* a = AddChannel(1, -1, "A");
  TChannelRec* a1 = AddChannel(2, 1, "A1");
  TChannelRec* b = AddChannel(3, -1, "B");
  TClientRec* mover = AddPlayer("mover", a);
  TClientRec* neighbour = AddPlayer("neighbour", a);
  TClientRec* stranger = AddPlayer("stranger", b);
  Move(mover, a1);
  mover->ChannelPrivileges = cpV;
  voice::NotifyPlayerSwitchedChannel(Context(), mover->PlayerId, a->Id, a1->Id);
  auto out = Outgoing();
  EXPECT_TRUE(out[stranger->PlayerId].empty());
  for (TClientRec* r : {mover, neighbour}) {
    ASSERT_EQ(out[r->PlayerId].size(), 1u);
    const TPacket& p = *out[r->PlayerId][0];
    ASSERT_EQ(p.Size(), 38u);
    EXPECT_EQ(p.CommandType(), 103);
    EXPECT_EQ(p.GetU32(24), mover->PlayerId);
    EXPECT_EQ(p.GetU32(28), 1u);
    EXPECT_EQ(p.GetU32(32), 2u);
    EXPECT_EQ(p.GetU16(36), cpV);
  }
}

TEST_F(PermissionViewTest, SwitchToAnotherTreeChangesTheView) {
  TChannelRec* a = AddChannel(1, -1, "A");
  TChannelRec* a1 = AddChannel(2, 1, "A1");
  TChannelRec* b = AddChannel(3, -1, "B");
  TClientRec* mover = AddPlayer("mover", a1);
  TClientRec* neighbour = AddPlayer("neighbour", a);
  TClientRec* stranger = AddPlayer("stranger", b);
  Move(mover, b);
  voice::NotifyPlayerSwitchedChannel(Context(), mover->PlayerId, a1->Id, b->Id);
  auto out = Outgoing();
  // The mover: his own switch, then the players of his new view.
  ASSERT_EQ(Types(out[mover->PlayerId]), (std::vector<uint16_t>{103, 108}));
  const TPacket& list = *out[mover->PlayerId][1];
  ASSERT_EQ(list.Size(), 468u);
  EXPECT_EQ(list.GetU32(24), 1u);
  EXPECT_EQ(list.GetU32(28), stranger->PlayerId);
  EXPECT_EQ(list.GetU32(32), static_cast<uint32_t>(b->Id));
  // The old tree loses sight of him, the new one sees him arrive.
  ASSERT_EQ(Types(out[neighbour->PlayerId]), (std::vector<uint16_t>{101}));
  const TPacket& left = *out[neighbour->PlayerId][0];
  EXPECT_EQ(left.GetU32(24), mover->PlayerId);
  EXPECT_EQ(left.GetU16(28), 6);
  ASSERT_EQ(Types(out[stranger->PlayerId]), (std::vector<uint16_t>{100}));
  EXPECT_EQ(out[stranger->PlayerId][0]->GetU32(24), mover->PlayerId);
  EXPECT_EQ(out[stranger->PlayerId][0]->Size(), 68u);
}

TEST_F(PermissionViewTest, ClanServerTellsEverybodyAndTypeChangesUpdateLists) {
  EditSettings([](TServerSettings& s) { s.ServerFlags = sfClan; });
  TChannelRec* a = AddChannel(1, -1, "A");
  TChannelRec* b = AddChannel(2, -1, "B");
  TClientRec* mover = AddPlayer("mover", a);
  TClientRec* other = AddPlayer("other", b);
  TClientRec* third = AddPlayer("third", b);
  Move(mover, b);
  voice::NotifyPlayerSwitchedChannel(Context(), mover->PlayerId, a->Id, b->Id);
  auto out = Outgoing();
  for (TClientRec* r : {mover, other, third}) EXPECT_EQ(Types(out[r->PlayerId]), (std::vector<uint16_t>{103}));

  // After a change to clan, a player in A learns of the two in B in one list.
  Move(mover, a);
  voice::UpdateClanServerPlayerListTo(Context(), mover->PlayerId);
  out = Outgoing();
  ASSERT_EQ(Types(out[mover->PlayerId]), (std::vector<uint16_t>{108}));
  EXPECT_EQ(out[mover->PlayerId][0]->GetU32(24), 2u);
  // After a change to public, he is told that they left his view.
  EditSettings([](TServerSettings& s) { s.ServerFlags = sfPublic; });
  voice::UpdatePublicServerPlayerListTo(Context(), mover->PlayerId);
  out = Outgoing();
  ASSERT_EQ(Types(out[mover->PlayerId]), (std::vector<uint16_t>{101, 101}));
  EXPECT_EQ(out[mover->PlayerId][0]->GetU32(24), other->PlayerId);
  EXPECT_EQ(out[mover->PlayerId][1]->GetU32(24), third->PlayerId);
  EXPECT_EQ(out[mover->PlayerId][1]->GetU16(28), 6);
}

TEST_F(PermissionViewTest, LeavingIsAnnouncedOnceAndGuestNames) {
  TChannelRec* a = AddChannel(1, -1, "A");
  TClientRec* leaver = AddPlayer("Guest1", a);
  TClientRec* stayer = AddPlayer("stay", a);
  EXPECT_EQ(voice::GetGuestPlayerName(Context(), ""), "Guest2");
  EXPECT_EQ(voice::GetGuestPlayerName(Context(), "stay"), "stay1");
  EXPECT_EQ(voice::GetGuestPlayerName(Context(), "free"), "free");

  voice::NotifyPlayerLeftScope(Context(), leaver->PlayerId, lrKicked, "bye", stayer->PlayerId);
  voice::NotifyPlayerLeftScope(Context(), leaver->PlayerId, lrLeftServer, "", 0);
  auto out = Outgoing();
  ASSERT_EQ(out[stayer->PlayerId].size(), 1u);
  const TPacket& p = *out[stayer->PlayerId][0];
  ASSERT_EQ(p.Size(), 64u);
  EXPECT_EQ(p.GetU16(28), 2);
  EXPECT_EQ(p.GetU32(30), stayer->PlayerId);
  EXPECT_EQ(p.Data()[34], 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.Data()) + 35, 3), "bye");
  ASSERT_EQ(out[leaver->PlayerId].size(), 1u);  // his own copy, which closes him
  EXPECT_TRUE(leaver->Removing);
  EXPECT_NE(buffer.ConnectionState(leaver->PlayerId), stConnected);
}

TEST_F(PermissionViewTest, ChannelListIsSplitBeforePacketsGrowPastTheLimit) {
  for (int i = 1; i <= 30; ++i) AddChannel(i, -1, std::string(40, static_cast<char>('a' + i % 26)));
  TClientRec* p = AddPlayer("p", nullptr);
  voice::CMD_sc_LoginStep4(Context(), *p);
  auto out = Outgoing();
  const auto& packets = out[p->PlayerId];
  ASSERT_GT(packets.size(), 1u);
  uint32_t total = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    const TPacket& q = *packets[i];
    EXPECT_EQ(q.CommandType(), CMD_sc_LoginStep4);
    EXPECT_EQ(q.FragmentsLeft(), 0);  // never needs fragments
    EXPECT_LE(q.Size(), 560u);
    if (i + 1 < packets.size()) {
      EXPECT_GT(q.Size(), 472u);
    }
    total += q.GetU32(24);
  }
  EXPECT_EQ(total, 30u);
  // The first record: id, flags, codec, parent, order, max users, then texts.
  const TPacket& first = *packets[0];
  EXPECT_EQ(first.GetU32(28), 1u);
  EXPECT_EQ(first.GetU32(36), 0xFFFFFFFFu);
  EXPECT_EQ(first.GetU16(42), 10);
  EXPECT_EQ(first.Data()[44], 'b');
  EXPECT_EQ(first.Data()[84], 0);  // end of the name
}

}  // namespace
}  // namespace qv
