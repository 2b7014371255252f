// Player commands over loopback: a virtual server with its protocol threads
// runs in this process on a free port with its own SQLite file, and several
// protocol clients log in and send the commands. Channels and privileges the
// tests need are set on the server's model directly, under its locks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/password_hash.h"
#include "protocol/command_types.h"
#include "support/live_server.h"

namespace qv {
namespace {

using test::kWaitMs;
using Payload = test::TPayload;
constexpr uint32_t kNobody = 0xFFFFFFF0;

class PlayerCommandsTest : public test::LiveServerTest {
 protected:
  PlayerCommandsTest() {
    defaults.MaxUsers = 20;
    storedPermissions = DefaultPermissions();
  }

  void StartServer(uint16_t serverFlags = sfClan) {
    LiveServerTest::StartServer([&](TServerSettings& settings) { settings.ServerFlags = serverFlags; });
  }

  using LiveServerTest::Record;
  TClientRec Record(const TQVClient& c) { return Record(c.PlayerId()).value_or(TClientRec{}); }

  // His privileges in the channel he is in, recorded as a grant would.
  void SetChannelPrivileges(const TQVClient& c, uint16_t privileges) {
    WithModel([&](TClients& players, TChannels& channels) {
      TClientRec* rec = players.GetClientByID(c.PlayerId());
      rec->ChannelPrivileges = privileges;
      channels.SetChannelAttribs(channels.GetChannelById(rec->ChannelId), rec);
    });
  }
  // Sends a command and waits until the server handled it: a no-op unmute
  // sent after it is answered once everything before it was delivered.
  void Send(TQVClient& c, uint16_t type, const std::vector<uint8_t>& payload) {
    ASSERT_TRUE(c.SendCommand(type, payload));
    Sync(c);
  }
  static void Sync(TQVClient& c) {
    ASSERT_TRUE(c.SendCommand(CMD_cs_PlayerMutePlayer, Payload().U32(kNobody).U8(0)));
    ASSERT_TRUE(c.WaitFor(
        [](const TClientEvent& e) { return e.CommandType == CMD_sc_PlayerMutePlayerReply && e.Raw.size() == 29 &&
                                           e.Raw[24] == 0xF0 && e.Raw[27] == 0xFF; },
        kWaitMs));
  }
  // The error code the server answered the last command of this type with; 0 for none.
  static int32_t ErrorFor(TQVClient& c, uint16_t type) {
    for (const TClientEvent& e : c.TakeEvents()) {
      if (e.Kind == ceError && e.FailedType == type) return e.Code;
    }
    return 0;
  }
  static std::vector<TClientEvent> EventsOf(TQVClient& c, TClientEventKind kind) {
    std::vector<TClientEvent> found;
    for (TClientEvent& e : c.TakeEvents()) {
      if (e.Kind == kind) found.push_back(std::move(e));
    }
    return found;
  }
  static std::vector<uint8_t> Move(uint32_t player, int32_t channel) {
    return Payload().U32(player).U32(static_cast<uint32_t>(channel));
  }
  static std::vector<uint8_t> Privilege(uint32_t player, uint8_t action, uint8_t index) {
    return Payload().U32(player).U8(action).U8(index);
  }
};

// ---------------------------------------------------------------------------
// Channel switch

TEST_F(PlayerCommandsTest, SwitchRefusalsAndTheWrongPasswordReply) {
  StartServer();
  TQVClient& admin = Login("admin");
  TQVClient& anon = Login("anon");
  SetPlayerPrivileges(admin, spSA);
  const int32_t locked = AddChannel("Locked", cfUnregistered, -1, 1, "secret");
  const int32_t parent = AddChannel("Parent", cfUnregistered | cfHierarchical, -1, 10, "outer");
  const int32_t sub = AddChannel("Sub", cfUnregistered, parent);

  Send(anon, CMD_cs_PlayerChannelSwitch, Payload().U32(999).Text30(""));
  EXPECT_EQ(ErrorFor(anon, CMD_cs_PlayerChannelSwitch), -102);
  // Own password, none given, no right to skip it.
  Send(anon, CMD_cs_PlayerChannelSwitch, Payload().U32(locked).Text30(""));
  EXPECT_EQ(ErrorFor(anon, CMD_cs_PlayerChannelSwitch), -1009);
  // The parent's password guards the sub-channel.
  Send(anon, CMD_cs_PlayerChannelSwitch, Payload().U32(sub).Text30(""));
  EXPECT_EQ(ErrorFor(anon, CMD_cs_PlayerChannelSwitch), -110);

  ASSERT_TRUE(anon.SwitchChannel(locked, "wrong"));
  Sync(anon);
  std::vector<TClientEvent> errors = EventsOf(anon, ceError);
  ASSERT_EQ(errors.size(), 1u);
  const std::vector<uint8_t>& raw = errors[0].Raw;
  ASSERT_EQ(raw.size(), 34u);
  EXPECT_EQ(std::vector<uint8_t>(raw.begin(), raw.begin() + 4), (std::vector<uint8_t>{0xF0, 0xBE, 0x91, 0xFF}));
  EXPECT_EQ(raw[24], 0x2F);  // 303
  EXPECT_EQ(raw[25], 0x01);
  EXPECT_EQ(std::vector<uint8_t>(raw.begin() + 30, raw.end()),
            (std::vector<uint8_t>{static_cast<uint8_t>(locked), 0, 0, 0}));
  EXPECT_EQ(Record(anon).ChannelId, 1);

  // The right password lets him in and fills the channel; the admin may skip
  // the password but not the room.
  ASSERT_TRUE(anon.SwitchChannel(locked, "secret"));
  ASSERT_TRUE(anon.WaitFor(cePlayerSwitched, kWaitMs));
  Send(admin, CMD_cs_PlayerChannelSwitch, Payload().U32(locked).Text30(""));
  EXPECT_EQ(ErrorFor(admin, CMD_cs_PlayerChannelSwitch), -113);
  EXPECT_EQ(Record(admin).ChannelId, 1);

  // A player bound to his channel stays where he is.
  SetPlayerPrivileges(anon, spCB);
  Send(anon, CMD_cs_PlayerChannelSwitch, Payload().U32(1).Text30(""));
  EXPECT_EQ(ErrorFor(anon, CMD_cs_PlayerChannelSwitch), -1009);
  EXPECT_EQ(Record(anon).ChannelId, locked);
}

TEST_F(PlayerCommandsTest, SwitchAnnouncesMovesFlagsAndClearsTheEmptyChannel) {
  StartServer();
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  const int32_t temp = AddChannel("Temp", cfUnregistered);
  const uint16_t flags = pfChannelCommander | pfRequestVoice | 0x40;
  WithModel([&](TClients& players, TChannels&) { players.GetClientByID(alice.PlayerId())->PlayerFlags = flags; });

  Send(alice, CMD_cs_PlayerChannelSwitch, Payload().U32(temp).Text30(""));
  auto moved = bob.WaitFor(cePlayerSwitched, kWaitMs);
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->PlayerId, alice.PlayerId());
  EXPECT_EQ(moved->OldChannelId, 1);
  EXPECT_EQ(moved->ChannelId, temp);
  // Two top-level channels count as related: the commander keeps his status;
  // the voice request ends with the stay.
  auto flagsEvent = bob.WaitFor(cePlayerFlags, kWaitMs);
  ASSERT_TRUE(flagsEvent);
  EXPECT_EQ(flagsEvent->Value, static_cast<uint32_t>(pfChannelCommander | 0x40));
  TClientRec rec = Record(alice);
  EXPECT_EQ(rec.ChannelId, temp);

  // Leaving the unregistered channel empty removes it.
  Send(alice, CMD_cs_PlayerChannelSwitch, Payload().U32(1).Text30(""));
  auto destroyed = bob.WaitFor(ceChannelDestroyed, kWaitMs);
  ASSERT_TRUE(destroyed);
  EXPECT_EQ(destroyed->ChannelId, temp);
  WithModel([&](TClients&, TChannels& channels) {
    EXPECT_EQ(channels.GetChannelById(temp), nullptr);
    EXPECT_TRUE(channels.GetChannelById(1)->HasMember(alice.PlayerId()));
  });
}

// ---------------------------------------------------------------------------
// Kicks

TEST_F(PlayerCommandsTest, KickFromServer) {
  StartServer();
  TQVClient& admin = Login("admin");
  TQVClient& victim = Login("victim");
  TQVClient& watcher = Login("watcher");
  SetPlayerPrivileges(admin, spSA);
  const uint32_t victimId = victim.PlayerId();

  Send(watcher, CMD_cs_PlayerKick, Payload().U32(victimId).Text30("no"));
  EXPECT_EQ(ErrorFor(watcher, CMD_cs_PlayerKick), -1009);
  Send(admin, CMD_cs_PlayerKick, Payload().U32(kNobody).Text30(""));
  EXPECT_EQ(ErrorFor(admin, CMD_cs_PlayerKick), -100);
  // With the right to kick, a server admin is still out of reach.
  SetPermission(ugAnonymous, upKickPlayerFromServer, true);
  Send(watcher, CMD_cs_PlayerKick, Payload().U32(admin.PlayerId()).Text30(""));
  EXPECT_EQ(ErrorFor(watcher, CMD_cs_PlayerKick), -1009);

  ASSERT_TRUE(admin.SendCommand(CMD_cs_PlayerKick, Payload().U32(victimId).Text30("bye now")));
  for (TQVClient* c : {&watcher, &victim}) {
    auto left = c->WaitFor(cePlayerLeft, kWaitMs);
    ASSERT_TRUE(left);
    EXPECT_EQ(left->PlayerId, victimId);
    EXPECT_EQ(left->Reason, 2);
    EXPECT_EQ(left->Text, "bye now");
    EXPECT_EQ(left->ActorId, admin.PlayerId());
  }
  // Once his connection closed, he is gone from the server.
  EXPECT_TRUE(WaitGone(victimId));
}

TEST_F(PlayerCommandsTest, KickFromChannelByOperatorKeepsChannelAdmin) {
  StartServer();
  TQVClient& op = Login("op");
  TQVClient& target = Login("target");
  TQVClient& other = Login("other");
  const int32_t room = AddChannel("Room", cfUnregistered | cfModerated);
  for (TQVClient* c : {&op, &target}) Send(*c, CMD_cs_PlayerChannelSwitch, Payload().U32(room).Text30(""));
  SetChannelPrivileges(op, cpOP);
  SetChannelPrivileges(target, cpCA | cpAutoV | cpV);

  Send(other, CMD_cs_PlayerKickFromChannel, Payload().U32(target.PlayerId()).Text30("out"));
  EXPECT_EQ(ErrorFor(other, CMD_cs_PlayerKickFromChannel), -1009);

  other.TakeEvents();
  Send(op, CMD_cs_PlayerKickFromChannel, Payload().U32(target.PlayerId()).Text30("out"));
  auto kicked = other.WaitFor(cePlayerKicked, kWaitMs);
  ASSERT_TRUE(kicked);
  EXPECT_EQ(kicked->PlayerId, target.PlayerId());
  EXPECT_EQ(kicked->OldChannelId, room);
  EXPECT_EQ(kicked->ChannelId, 1);
  EXPECT_EQ(kicked->Privileges, 0);
  EXPECT_EQ(kicked->Text, "out");
  ASSERT_EQ(kicked->Raw.size(), 68u);
  WithModel([&](TClients& players, TChannels& channels) {
    TClientRec* rec = players.GetClientByID(target.PlayerId());
    EXPECT_EQ(rec->ChannelId, 1);
    EXPECT_TRUE(channels.GetChannelById(1)->HasMember(rec->PlayerId));
    EXPECT_FALSE(channels.GetChannelById(room)->HasMember(rec->PlayerId));
    // The operator took voice and auto-voice, not channel admin.
    EXPECT_EQ(channels.GetChannelAttribs(channels.GetChannelById(room), rec), cpCA);
  });
}

// ---------------------------------------------------------------------------
// Moves

TEST_F(PlayerCommandsTest, MoveChecksAndNotification) {
  StartServer();
  TQVClient& admin = Login("admin");
  TQVClient& bound = Login("bound");
  TQVClient& watcher = Login("watcher");
  SetPlayerPrivileges(admin, spSA);
  SetPlayerPrivileges(bound, spCB);
  SetPermission(ugAnonymous, upAdminMovePlayer, true);
  const int32_t room = AddChannel("Room", cfUnregistered);

  Send(admin, CMD_cs_PlayerMovePlayer, Move(bound.PlayerId(), 1));
  EXPECT_EQ(ErrorFor(admin, CMD_cs_PlayerMovePlayer), -119);
  Send(admin, CMD_cs_PlayerMovePlayer, Move(bound.PlayerId(), 999));
  EXPECT_EQ(ErrorFor(admin, CMD_cs_PlayerMovePlayer), -102);
  Send(admin, CMD_cs_PlayerMovePlayer, Move(kNobody, room));
  EXPECT_EQ(ErrorFor(admin, CMD_cs_PlayerMovePlayer), -100);
  // A bound player may move others but not himself.
  Send(bound, CMD_cs_PlayerMovePlayer, Move(bound.PlayerId(), room));
  EXPECT_EQ(ErrorFor(bound, CMD_cs_PlayerMovePlayer), -1009);

  watcher.TakeEvents();
  Send(admin, CMD_cs_PlayerMovePlayer, Move(bound.PlayerId(), room));
  for (TQVClient* c : {&watcher, &bound}) {
    auto moved = c->WaitFor(cePlayerMoved, kWaitMs);
    ASSERT_TRUE(moved);
    ASSERT_EQ(moved->Raw.size(), 42u);
    EXPECT_EQ(moved->PlayerId, bound.PlayerId());
    EXPECT_EQ(moved->OldChannelId, 1);
    EXPECT_EQ(moved->ChannelId, room);
    EXPECT_EQ(moved->ActorId, admin.PlayerId());
  }
  Sync(bound);
  EXPECT_TRUE(EventsOf(bound, cePlayerMoved).empty());  // once only
  EXPECT_EQ(Record(bound).ChannelId, room);
}

TEST_F(PlayerCommandsTest, PublicServerViewFollowsMovesAndChannelKicks) {
  StartServer(sfPublic);
  TQVClient& admin = Login("admin");
  TQVClient& moved = Login("moved");
  TQVClient& stayer = Login("stayer");
  TQVClient& host = Login("host");
  SetPlayerPrivileges(admin, spSA);
  const int32_t other = AddChannel("Other", cfUnregistered);
  Send(host, CMD_cs_PlayerChannelSwitch, Payload().U32(other).Text30(""));
  Sync(moved);
  Sync(stayer);
  for (TQVClient* c : {&moved, &stayer}) c->TakeEvents();

  Send(admin, CMD_cs_PlayerMovePlayer, Move(moved.PlayerId(), other));
  Sync(stayer);
  Sync(host);
  Sync(moved);
  std::vector<TClientEvent> left = EventsOf(stayer, cePlayerLeft);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].PlayerId, moved.PlayerId());
  EXPECT_EQ(left[0].Reason, 6);
  std::vector<TClientEvent> hostEvents = host.TakeEvents();
  bool entered = false;
  for (const auto& e : hostEvents) entered |= e.Kind == cePlayerEntered && e.PlayerId == moved.PlayerId();
  EXPECT_TRUE(entered);
  std::vector<TClientEvent> view = EventsOf(moved, cePlayersInView);
  ASSERT_EQ(view.size(), 1u);
  ASSERT_EQ(view[0].Players.size(), 1u);
  EXPECT_EQ(view[0].Players[0].PlayerId, host.PlayerId());

  // Kicked back to the default channel: the old tree hears of the kick, the
  // default channel's tree sees him arrive, and he gets its players.
  Send(admin, CMD_cs_PlayerKickFromChannel, Payload().U32(moved.PlayerId()).Text30("back"));
  for (TQVClient* c : {&stayer, &host, &moved}) Sync(*c);
  std::vector<TClientEvent> atHost = host.TakeEvents();
  ASSERT_FALSE(atHost.empty());
  EXPECT_EQ(atHost[0].Kind, cePlayerKicked);
  EXPECT_EQ(atHost[0].ChannelId, 1);
  std::vector<TClientEvent> atStayer = stayer.TakeEvents();
  ASSERT_FALSE(atStayer.empty());
  EXPECT_EQ(atStayer[0].Kind, cePlayerEntered);
  EXPECT_EQ(atStayer[0].PlayerId, moved.PlayerId());
  view = EventsOf(moved, cePlayersInView);
  ASSERT_EQ(view.size(), 1u);
  EXPECT_EQ(view[0].Players.size(), 2u);  // admin and stayer
}

// ---------------------------------------------------------------------------
// Mutes, flags, voice requests, bandwidth

TEST_F(PlayerCommandsTest, MuteRepliesFlagsAndBandwidth) {
  StartServer();
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  const uint32_t bobId = bob.PlayerId();
  std::vector<uint8_t> results;
  for (uint8_t mute : {1, 1, 0, 0}) {
    ASSERT_TRUE(alice.SendCommand(CMD_cs_PlayerMutePlayer, Payload().U32(bobId).U8(mute)));
    auto reply = alice.WaitFor([](const TClientEvent& e) { return e.CommandType == CMD_sc_PlayerMutePlayerReply; },
                               kWaitMs);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->Raw.size(), 29u);
    EXPECT_EQ(reply->Raw[24], static_cast<uint8_t>(bobId));
    results.push_back(reply->Raw[28]);
  }
  EXPECT_EQ(results, (std::vector<uint8_t>{1, 0, 0, 1}));

  Send(alice, CMD_cs_PlayerFlagsChanged, Payload().U16(0x0024));
  auto flags = bob.WaitFor(cePlayerFlags, kWaitMs);
  ASSERT_TRUE(flags);
  ASSERT_EQ(flags->Raw.size(), 30u);
  EXPECT_EQ(flags->PlayerId, alice.PlayerId());
  EXPECT_EQ(flags->Value, 0x24u);
  for (int g = 0; g < kUserGroupCount; ++g) {
    SetPermission(static_cast<TUserGroup>(g), upAllowChannelCommanderStatus, false);
  }
  Send(alice, CMD_cs_PlayerFlagsChanged, Payload().U16(pfChannelCommander));
  EXPECT_EQ(ErrorFor(alice, CMD_cs_PlayerFlagsChanged), -1009);
  EXPECT_EQ(Record(alice).PlayerFlags, 0x24);

  Send(alice, CMD_cs_PlayerSetUploadBandwidth, Payload().U32(64));
  EXPECT_EQ(Record(alice).UploadBandwidth, 64);
}

TEST_F(PlayerCommandsTest, VoiceRequestAndItsEndByAGrantedVoice) {
  StartServer();
  TQVClient& admin = Login("admin");
  TQVClient& asker = Login("asker");
  SetPlayerPrivileges(admin, spSA);
  Send(asker, CMD_cs_PlayerRequestVoice, Payload().Text30("please"));
  EXPECT_EQ(ErrorFor(asker, CMD_cs_PlayerRequestVoice), -130);

  const int32_t stage = AddChannel("Stage", cfUnregistered | cfModerated);
  for (TQVClient* c : {&admin, &asker}) Send(*c, CMD_cs_PlayerChannelSwitch, Payload().U32(stage).Text30(""));
  admin.TakeEvents();
  Send(asker, CMD_cs_PlayerRequestVoice, Payload().Text30("please"));
  auto request = admin.WaitFor(ceRequestedVoice, kWaitMs);
  ASSERT_TRUE(request);
  ASSERT_EQ(request->Raw.size(), 58u);
  EXPECT_EQ(request->PlayerId, asker.PlayerId());
  EXPECT_EQ(request->Text, "please");
  Send(asker, CMD_cs_PlayerRequestVoice, Payload().Text30("again"));
  EXPECT_EQ(ErrorFor(asker, CMD_cs_PlayerRequestVoice), -131);

  admin.TakeEvents();
  Send(admin, CMD_cs_PlayerChangeChannelPrivilege, Privilege(asker.PlayerId(), 0, 2));
  auto flags = admin.WaitFor(cePlayerFlags, kWaitMs);
  ASSERT_TRUE(flags);
  EXPECT_EQ(flags->PlayerId, asker.PlayerId());
  EXPECT_EQ(flags->Value & pfRequestVoice, 0u);
  EXPECT_EQ(Record(asker).ChannelPrivileges, cpV);
}

// ---------------------------------------------------------------------------
// Privileges

TEST_F(PlayerCommandsTest, ChannelPrivileges) {
  StartServer();
  TQVClient& admin = Login("admin");
  TQVClient& target = Login("target");
  TQVClient& anon = Login("anon");
  SetPlayerPrivileges(admin, spSA);
  const uint32_t id = target.PlayerId();

  Send(admin, CMD_cs_PlayerChangeChannelPrivilege, Privilege(kNobody, 0, 0));
  EXPECT_EQ(ErrorFor(admin, CMD_cs_PlayerChangeChannelPrivilege), -100);
  // The default channel is not moderated: operator no, channel admin yes.
  Send(admin, CMD_cs_PlayerChangeChannelPrivilege, Privilege(id, 0, 1));
  EXPECT_EQ(ErrorFor(admin, CMD_cs_PlayerChangeChannelPrivilege), -130);
  Send(anon, CMD_cs_PlayerChangeChannelPrivilege, Privilege(id, 0, 0));
  EXPECT_EQ(ErrorFor(anon, CMD_cs_PlayerChangeChannelPrivilege), -1009);
  Send(admin, CMD_cs_PlayerChangeChannelPrivilege, Privilege(id, 0, 0));
  auto granted = anon.WaitFor(ceChannelPrivilege, kWaitMs);
  ASSERT_TRUE(granted);
  ASSERT_EQ(granted->Raw.size(), 34u);
  EXPECT_EQ(granted->PlayerId, id);
  EXPECT_EQ(granted->Action, 0);
  EXPECT_EQ(granted->Value, 0u);
  EXPECT_EQ(granted->ActorId, admin.PlayerId());
  Send(admin, CMD_cs_PlayerChangeChannelPrivilege, Privilege(id, 0, 0));
  EXPECT_EQ(ErrorFor(admin, CMD_cs_PlayerChangeChannelPrivilege), -1021);

  // Auto-voice in a moderated channel brings voice with it.
  const int32_t stage = AddChannel("Stage", cfUnregistered | cfModerated);
  Send(target, CMD_cs_PlayerChannelSwitch, Payload().U32(stage).Text30(""));
  Sync(anon);
  anon.TakeEvents();
  Send(admin, CMD_cs_PlayerChangeChannelPrivilege, Privilege(id, 0, 4));
  Sync(anon);
  std::vector<TClientEvent> changes = EventsOf(anon, ceChannelPrivilege);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].Value, 4u);
  EXPECT_EQ(changes[0].Action, 0);
  EXPECT_EQ(changes[0].ActorId, admin.PlayerId());
  EXPECT_EQ(changes[1].Value, 2u);
  EXPECT_EQ(changes[1].Action, 1);
  EXPECT_EQ(changes[1].ActorId, 0u);
  EXPECT_EQ(Record(target).ChannelPrivileges, cpAutoV | cpV);
  Send(admin, CMD_cs_PlayerChangeChannelPrivilege, Privilege(id, 0, 2));
  EXPECT_EQ(ErrorFor(admin, CMD_cs_PlayerChangeChannelPrivilege), -1023);
  // No right names privileges beyond auto-voice.
  Send(admin, CMD_cs_PlayerChangeChannelPrivilege, Privilege(id, 0, 9));
  EXPECT_EQ(ErrorFor(admin, CMD_cs_PlayerChangeChannelPrivilege), -1009);
}

TEST_F(PlayerCommandsTest, ServerPrivilegesAndRevokedRegistration) {
  StartServer();
  TClientRec account;
  account.LoginName = "carol";
  account.LoginPassword = "pw";
  ASSERT_EQ(DBAddUser(db.Scripts(), serverId, account), 0);
  TQVClient& admin = Login("admin");
  TQVClient& carol = Login(AccountRequest("carol", "carol", "pw"));
  SetPlayerPrivileges(admin, spSA);
  const uint32_t id = carol.PlayerId();

  Send(carol, CMD_cs_PlayerChangePrivilege, Privilege(id, 0, 0));
  EXPECT_EQ(ErrorFor(carol, CMD_cs_PlayerChangePrivilege), -1009);
  Send(admin, CMD_cs_PlayerChangePrivilege, Privilege(kNobody, 0, 0));
  EXPECT_EQ(ErrorFor(admin, CMD_cs_PlayerChangePrivilege), -100);
  // Nobody hands out registration or superadmin here.
  for (uint8_t index : {2, 3}) {
    Send(admin, CMD_cs_PlayerChangePrivilege, Privilege(admin.PlayerId(), 0, index));
    EXPECT_EQ(ErrorFor(admin, CMD_cs_PlayerChangePrivilege), -1009) << int(index);
  }
  EXPECT_EQ(Record(admin).PlayerPrivileges, spSA);
  // Binding to the channel is for server admins only.
  Send(carol, CMD_cs_PlayerChangePrivilege, Privilege(admin.PlayerId(), 0, 4));
  EXPECT_EQ(ErrorFor(carol, CMD_cs_PlayerChangePrivilege), -1009);

  // Server admin for a registered player is stored with his account.
  Send(admin, CMD_cs_PlayerChangePrivilege, Privilege(id, 0, 0));
  auto changed = carol.WaitFor(cePlayerPrivilege, kWaitMs);
  ASSERT_TRUE(changed);
  EXPECT_EQ(changed->PlayerId, id);
  EXPECT_EQ(changed->Action, 0);
  EXPECT_EQ(changed->Value, 0u);
  EXPECT_EQ(changed->ActorId, admin.PlayerId());
  auto stored = DBLoadUser(db.Scripts(), serverId, "carol");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->PlayerPrivileges & spSA, spSA);

  // Revoking the registration deletes the account and takes the automatic privileges.
  SetChannelPrivileges(carol, cpAutoOP | cpOP);
  carol.TakeEvents();
  Send(admin, CMD_cs_PlayerChangePrivilege, Privilege(id, 2, 2));
  Sync(carol);
  std::vector<TClientEvent> events = carol.TakeEvents();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].Kind, ceChannelPrivilege);
  EXPECT_EQ(events[0].Action, 3);
  EXPECT_EQ(events[0].Value, 3u);
  EXPECT_EQ(events[1].Kind, cePlayerPrivilege);
  EXPECT_EQ(events[1].Action, 2);
  EXPECT_EQ(events[1].Value, 2u);
  EXPECT_EQ(DBLoadUser(db.Scripts(), serverId, "carol"), nullptr);
  TClientRec rec = Record(carol);
  EXPECT_EQ(rec.PlayerPrivileges, spSA);
  EXPECT_EQ(rec.ChannelPrivileges, cpOP);
  EXPECT_TRUE(rec.LoginName.empty());
}

// ---------------------------------------------------------------------------
// Registration

TEST_F(PlayerCommandsTest, SelfRegistrationMakesAUsableAccount) {
  StartServer();
  TQVClient& admin = Login("admin");
  TQVClient& dave = Login("dave");
  SetPlayerPrivileges(admin, spSA);
  const auto registration = [](const std::string& name) { return Payload().Text30(name).Text30("davepw"); };

  Send(dave, CMD_cs_PlayerRegister, registration("dave"));
  EXPECT_EQ(ErrorFor(dave, CMD_cs_PlayerRegister), -140);
  Send(admin, CMD_cs_PlayerChangePrivilege, Privilege(dave.PlayerId(), 0, 1));
  // A name already taken leaves him as he was.
  TClientRec taken;
  taken.LoginName = "taken";
  ASSERT_EQ(DBAddUser(db.Scripts(), serverId, taken), 0);
  Send(dave, CMD_cs_PlayerRegister, registration("taken"));
  EXPECT_EQ(ErrorFor(dave, CMD_cs_PlayerRegister), -141);
  EXPECT_TRUE(Record(dave).LoginName.empty());

  Send(dave, CMD_cs_PlayerRegister, registration("dave"));
  auto complete = admin.WaitFor([](const TClientEvent& e) { return e.Kind == cePlayerPrivilege && e.Value == 2; },
                                kWaitMs);
  ASSERT_TRUE(complete);
  EXPECT_EQ(complete->PlayerId, dave.PlayerId());
  EXPECT_EQ(complete->Action, 1);
  EXPECT_EQ(complete->Value, 2u);
  EXPECT_EQ(complete->ActorId, 0u);
  EXPECT_EQ(Record(dave).PlayerPrivileges, spRegistered);
  Send(dave, CMD_cs_PlayerRegister, registration("dave2"));
  EXPECT_EQ(ErrorFor(dave, CMD_cs_PlayerRegister), -143);

  const uint32_t daveId = dave.PlayerId();
  ASSERT_TRUE(dave.Quit());
  ASSERT_TRUE(WaitGone(daveId));
  TQVClient& again = Login(AccountRequest("dave again", "dave", "davepw"));
  EXPECT_EQ(Record(again).PlayerPrivileges, spRegistered);
}

TEST_F(PlayerCommandsTest, AdminRegistration) {
  StartServer();
  TQVClient& admin = Login("admin");
  TQVClient& anon = Login("anon");
  SetPlayerPrivileges(admin, spSA);
  const std::vector<uint8_t> request = Payload().Text30("eve").Text30("evepw").U8(1);

  Send(anon, CMD_cs_PlayerAdminRegister, request);
  EXPECT_EQ(ErrorFor(anon, CMD_cs_PlayerAdminRegister), -1009);
  Send(admin, CMD_cs_PlayerAdminRegister, request);
  auto ok = admin.WaitFor([](const TClientEvent& e) { return e.CommandType == CMD_sc_PlayerAdminRegisteredOK; },
                          kWaitMs);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->Raw.size(), 24u);
  auto stored = DBLoadUser(db.Scripts(), serverId, "eve");
  ASSERT_NE(stored, nullptr);
  EXPECT_TRUE(VerifyPassword(stored->PasswordHash, "evepw"));
  EXPECT_EQ(stored->PlayerPrivileges, spSA);
  Send(admin, CMD_cs_PlayerAdminRegister, request);
  EXPECT_EQ(ErrorFor(admin, CMD_cs_PlayerAdminRegister), -141);
}

// ---------------------------------------------------------------------------
// Malformed requests

TEST_F(PlayerCommandsTest, ShortRequestsChangeNothingAndGetNoReply) {
  StartServer();
  TQVClient& admin = Login("admin");
  TQVClient& bob = Login("bob");
  SetPlayerPrivileges(admin, spSA);
  const TClientRec before = Record(bob);
  bob.TakeEvents();
  for (uint16_t type : {CMD_cs_PlayerKick, CMD_cs_PlayerKickFromChannel, CMD_cs_PlayerChannelSwitch,
                        CMD_cs_PlayerFlagsChanged, CMD_cs_PlayerRequestVoice, CMD_cs_PlayerChangeChannelPrivilege,
                        CMD_cs_PlayerChangePrivilege, CMD_cs_PlayerRegister, CMD_cs_PlayerAdminRegister,
                        CMD_cs_PlayerMovePlayer, CMD_cs_PlayerSetUploadBandwidth}) {
    // The target id and little else; one byte where the first field is short.
    const bool shortFirst = type == CMD_cs_PlayerFlagsChanged || type == CMD_cs_PlayerSetUploadBandwidth;
    Send(admin, type, shortFirst ? Payload().U8(1) : Payload().U32(bob.PlayerId()).U8(0));
    EXPECT_EQ(ErrorFor(admin, type), 0) << type;
  }
  Sync(bob);
  EXPECT_TRUE(bob.TakeEvents().empty());
  const TClientRec after = Record(bob);
  EXPECT_EQ(after.ChannelId, before.ChannelId);
  EXPECT_EQ(after.PlayerPrivileges, before.PlayerPrivileges);
  EXPECT_EQ(after.PlayerFlags, before.PlayerFlags);
  EXPECT_EQ(after.ChannelPrivileges, before.ChannelPrivileges);
}

}  // namespace
}  // namespace qv
