// External commands through the command block of a running server, as the
// administration interfaces send them, and what the clients see of them.
#include <gtest/gtest.h>

#include "model/accounts.h"
#include "support/live_server.h"
#include "protocol/protocol_errors.h"
#include "voice/view_notifications.h"

namespace qv {
namespace {

using test::LiveServerTest;
using test::Slice;
using test::WireText30;
using test::WireU16;
using test::WireU32;

class ExternalCommandsTest : public LiveServerTest {
 protected:
  ExternalCommandsTest() { defaults.MaxUsers = 20; }
  int32_t Execute(TExternalCommandType type, int32_t argument1, int32_t argument2 = 0) {
    TExternalCommand command;
    command.CommandType = type;
    command.Argument1 = argument1;
    command.Argument2 = argument2;
    return server->ExecuteExternalCommand(command, kExternalCommandWaitMs);
  }
  void SetChannelPassword(int32_t channelId, const std::string& password) {
    WithModel([&](TClients&, TChannels& channels) {
      TChannelRec* channel = channels.GetChannelById(channelId);
      channel->Password = password;
      channel->Flags |= cfPassword;
    });
  }
  // The events of a kind the client received up to now.
  static std::vector<TClientEvent> Events(TQVClient& c, TClientEventKind kind) {
    Sync(c);
    return Take(c, [kind](const TClientEvent& e) { return e.Kind == kind; });
  }
  static std::vector<uint32_t> PlayerIds(const std::vector<TClientEvent>& events) {
    std::vector<uint32_t> ids;
    for (const TClientEvent& e : events) {
      if (e.Kind == cePlayerLeft) ids.push_back(e.PlayerId);
      for (const TClientPlayer& p : e.Players) ids.push_back(p.PlayerId);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
  }
};

TEST_F(ExternalCommandsTest, MoveIgnoresPasswordAndRoomButNotTheSameChannel) {
  StartServer();
  const int32_t lobby = DefaultChannel();
  const int32_t locked = AddChannel("Locked", 0, -1, 1);
  SetChannelPassword(locked, "pw");
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  TClientLogin carolLogin = Request("carol", "Locked");
  carolLogin.ChannelPassword = "pw";
  int result = 0;
  Attempt(carolLogin, &result);
  ASSERT_EQ(result, 1);
  ASSERT_EQ(Record(clients.back()->PlayerId())->ChannelId, locked);  // the channel is full now

  const auto aliceId = static_cast<int32_t>(alice.PlayerId());
  EXPECT_EQ(server->MoveClientToChannel(locked, aliceId), 0);
  EXPECT_EQ(Record(alice.PlayerId())->ChannelId, locked);
  std::vector<TClientEvent> moved = Events(bob, cePlayerMoved);
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_EQ(moved[0].PlayerId, alice.PlayerId());
  EXPECT_EQ(moved[0].OldChannelId, lobby);
  EXPECT_EQ(moved[0].ChannelId, locked);
  EXPECT_EQ(moved[0].ActorId, 0u);

  EXPECT_EQ(server->MoveClientToChannel(locked, aliceId), peAlreadyChannelMember);
  EXPECT_EQ(server->MoveClientToChannel(9999, aliceId), peChannelIdNotFound);
  EXPECT_EQ(server->MoveClientToChannel(lobby, 9999), pePlayerIdNotFound);
  EXPECT_EQ(server->MoveClientToChannel(lobby, -1), pePlayerIdNotFound);
  EXPECT_TRUE(Events(bob, cePlayerMoved).empty());
}

TEST_F(ExternalCommandsTest, SetUserPrivilegeChangesOnlyAdminRegistrationAndChannelBinding) {
  StartServer();
  TClientRec account;
  account.LoginName = "alice";
  account.LoginPassword = "secret";
  ASSERT_EQ(DBAddUser(db.Scripts(), serverId, account), 0);
  TClientLogin login = Request("alice");
  login.LoginName = "alice";
  login.Password = "secret";
  int result = 0;
  TQVClient& alice = Attempt(login, &result);
  ASSERT_EQ(result, 1);
  TQVClient& bob = Login("bob");
  const auto aliceId = static_cast<int32_t>(alice.PlayerId());
  SetPlayerPrivileges(alice, spSA | spAllowRegistration | spRegistered);

  // Taking server admin away: one notification, revoke of index 0.
  EXPECT_EQ(server->SetUserPrivilege(aliceId, spAllowRegistration), 0);
  std::vector<TClientEvent> changes = Events(bob, cePlayerPrivilege);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].PlayerId, alice.PlayerId());
  EXPECT_EQ(changes[0].Action, 2);
  EXPECT_EQ(changes[0].Value, 0u);
  EXPECT_EQ(changes[0].ActorId, 0u);

  // Revocations first, then grants; registered and superadmin stay as they are.
  EXPECT_EQ(server->SetUserPrivilege(aliceId, spCB | spSuperAdmin), 0);
  changes = Events(bob, cePlayerPrivilege);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(std::make_pair(changes[0].Action, changes[0].Value), std::make_pair(uint8_t{2}, 1u));
  EXPECT_EQ(std::make_pair(changes[1].Action, changes[1].Value), std::make_pair(uint8_t{0}, 4u));
  EXPECT_EQ(Record(alice.PlayerId())->PlayerPrivileges, spCB | spRegistered);

  // A pending voice request ends once he is server admin; his account keeps it.
  WithModel([&](TClients& players, TChannels&) { players.GetClientByID(alice.PlayerId())->PlayerFlags = pfRequestVoice; });
  EXPECT_EQ(server->SetUserPrivilege(aliceId, spSA), 0);
  std::vector<TClientEvent> flags = Events(bob, cePlayerFlags);
  ASSERT_EQ(flags.size(), 1u);
  EXPECT_EQ(flags[0].Value, 0u);
  std::unique_ptr<TClientRec> stored = DBLoadUser(db.Scripts(), serverId, "alice");
  ASSERT_NE(stored, nullptr);
  EXPECT_TRUE(stored->PlayerPrivileges & spSA);

  EXPECT_EQ(server->SetUserPrivilege(9999, spSA), pePlayerIdNotFound);
}

TEST_F(ExternalCommandsTest, ChangedPropertiesReachEveryPlayerAndTheTypeSwitchChangesTheirView) {
  StartServer();
  AddChannel("Other");
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  TQVClient& carol = Login("carol", "Other");
  server->ChangeSettings([&](TServerSettings& s) {
    s.ServerFlags = static_cast<uint16_t>((s.ServerFlags & ~sfClan) | sfPublic);
    s.MaxUsers = 15;
    s.Name = "Renamed";
    s.WelcomeMessage = "Hi";
    s.AllowCodec.fill(false);
    s.AllowCodec[codecGSM164] = true;
    s.AllowCodec[codecSpeex2150] = true;
  });
  const TServerSettings settings = server->Settings();

  EXPECT_EQ(server->NotifyChangedServerProperties(true), 0);
  EXPECT_EQ(server->LoginsSinceNotify.load(), 0u);
  for (TQVClient* c : {&alice, &bob, &carol}) {
    auto event = c->WaitFor(ceServerProperties, test::kWaitMs);
    ASSERT_TRUE(event.has_value());
    const std::vector<uint8_t>& raw = event->Raw;
    ASSERT_EQ(raw.size(), 390u);
    EXPECT_EQ(WireU32(raw, 24), 0x28u);  // codecs 3 and 5
    EXPECT_EQ(WireU32(raw, 28), 0u);
    EXPECT_EQ(WireU16(raw, 32), settings.ServerFlags);
    for (int group = 0; group < kUserGroupCount; ++group) {
      for (int n = 0; n < kUserPermissionCount; ++n) {
        const bool bit = (raw[34 + group * 11 + n / 8] >> (n % 8)) & 1;
        ASSERT_EQ(bit, settings.Permissions[group][n]) << "group " << group << " permission " << n;
      }
    }
    EXPECT_EQ(WireU32(raw, 100), 15u);
    EXPECT_EQ(raw[104], 2);
    EXPECT_EQ(std::string(raw.begin() + 105, raw.begin() + 107), "Hi");
    EXPECT_EQ(Slice(raw, 360, 30), WireText30("Renamed"));
  }
  // The default channel follows the server's player limit.
  auto maxUsers = alice.WaitFor(
      [](const TClientEvent& e) { return e.CommandType == CMD_sc_NotifyChannelMaxUsersChanged; }, test::kWaitMs);
  ASSERT_TRUE(maxUsers.has_value());
  EXPECT_EQ(maxUsers->ChannelId, DefaultChannel());
  EXPECT_EQ(WireU16(maxUsers->Raw, 28), 15);

  // Now public: everybody loses sight of the players outside his channel tree.
  auto leftView = [](const TClientEvent& e) { return e.Kind == cePlayerLeft && e.Reason == lrLeftView; };
  Sync(alice);
  Sync(carol);
  EXPECT_EQ(PlayerIds(Take(alice, leftView)), std::vector<uint32_t>{carol.PlayerId()});
  EXPECT_EQ(PlayerIds(Take(carol, leftView)), (std::vector<uint32_t>{alice.PlayerId(), bob.PlayerId()}));

  // Back to clan: the lists of the players not seen before.
  server->ChangeSettings([&](TServerSettings& s) {
    s.ServerFlags = static_cast<uint16_t>((s.ServerFlags & ~sfPublic) | sfClan);
  });
  EXPECT_EQ(server->NotifyChangedServerProperties(true), 0);
  EXPECT_EQ(PlayerIds(Events(alice, cePlayersInView)), std::vector<uint32_t>{carol.PlayerId()});
  EXPECT_EQ(PlayerIds(Events(carol, cePlayersInView)), (std::vector<uint32_t>{alice.PlayerId(), bob.PlayerId()}));

  // Without the switch nobody's view is touched.
  EXPECT_EQ(server->NotifyChangedServerProperties(false), 0);
  EXPECT_TRUE(Events(carol, cePlayersInView).empty());
}

TEST_F(ExternalCommandsTest, AliveCheckAnswersWhileTheListenerRunsAndTimesOutWhileItIsStalled) {
  StartServer();
  Login("alice");
  EXPECT_TRUE(server->CheckServerOK());
  {
    // The listener takes the player list for every event: holding it here
    // keeps the check from being handled.
    std::lock_guard<TClients> stall(*server->Clients);
    TExternalCommand check;
    check.CommandType = ecCheckServerOK;
    EXPECT_EQ(server->ExecuteExternalCommand(check, kAliveCheckWaitMs), kNoResult);
  }
  // The late answer to the abandoned check is not taken for the next one's.
  EXPECT_EQ(Execute(ecMoveClientToChannel, 9999, 1), peChannelIdNotFound);
  EXPECT_TRUE(server->CheckServerOK());
}

TEST_F(ExternalCommandsTest, RemovePlayerAndAddAndDeleteChannels) {
  StartServer();
  const int32_t lobby = DefaultChannel();
  const int32_t parent = AddChannel("Parent", cfHierarchical);
  AddChannel("Sub", 0, parent);
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  TClientLogin subLogin = Request("carol", "Parent");
  subLogin.SubChannel = "Sub";
  int result = 0;
  TQVClient& carol = Attempt(subLogin, &result);
  ASSERT_EQ(result, 1);

  // A channel of the server's own, with a codec it allows.
  server->ChangeSettings([&](TServerSettings& s) {
    s.AllowCodec[codecGSM164] = false;
  });
  EXPECT_EQ(Execute(ecAddChannel, 50, codecGSM164), peCodecDisabled);
  EXPECT_EQ(Execute(ecAddChannel, 50, codecGSM148), 0);
  std::vector<TClientEvent> created = Events(alice, ceChannelCreated);
  ASSERT_EQ(created.size(), 1u);
  ASSERT_EQ(created[0].Channels.size(), 1u);
  EXPECT_EQ(created[0].Channels[0].Id, 50);
  EXPECT_EQ(created[0].Channels[0].Codec, codecGSM148);
  EXPECT_EQ(created[0].Channels[0].MaxUsers, 64000);
  EXPECT_EQ(created[0].ActorId, 0u);
  EXPECT_LT(Execute(ecAddChannel, 50, codecGSM148), 0);  // the id is taken

  // Channels with players, anywhere in their tree, stay.
  EXPECT_EQ(Execute(ecDelChannel, lobby), peChannelNotEmpty);
  EXPECT_EQ(Execute(ecDelChannel, parent), peChannelNotEmpty);
  EXPECT_EQ(Execute(ecDelChannel, 9999), peChannelIdNotFound);
  EXPECT_EQ(Execute(ecDelChannel, 50), 0);
  std::vector<TClientEvent> destroyed = Events(alice, ceChannelDestroyed);
  ASSERT_EQ(destroyed.size(), 1u);
  EXPECT_EQ(destroyed[0].ChannelId, 50);

  // A removed player is gone from the list and from everybody's view.
  const uint32_t carolId = carol.PlayerId();
  EXPECT_EQ(Execute(ecDelClient, static_cast<int32_t>(carolId)), 0);
  EXPECT_FALSE(Record(carolId).has_value());
  std::vector<TClientEvent> left = Events(bob, cePlayerLeft);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].PlayerId, carolId);
  EXPECT_EQ(left[0].Reason, lrLeftServer);
  WithModel([&](TClients&, TChannels& channels) {
    for (const auto& channel : channels.Items()) EXPECT_FALSE(channel->HasMember(carolId)) << channel->Name;
  });
  EXPECT_EQ(Execute(ecDelClient, static_cast<int32_t>(carolId)), pePlayerIdNotFound);
}

}  // namespace
}  // namespace qv
