#include "model/client_object.h"

#include <set>

#include <gtest/gtest.h>

#include "model/accounts.h"
#include "model_test_util.h"

namespace qv {
namespace {

using test::MakePlayer;

TEST(ClientsTest, PlayerIdsStartAtOneGrowUntilResetAndSkipIdsInUse) {
  TClients clients(1, TScriptStorage{});
  EXPECT_EQ(clients.PeekPlayerId(), 1u);  // looking consumes nothing
  EXPECT_EQ(clients.NextPlayerId(), 1u);
  EXPECT_EQ(clients.NextPlayerId(), 2u);
  EXPECT_EQ(clients.NextPlayerId(), 3u);
  clients.ResetPlayerIds();
  auto held = NewClient();
  held->PlayerId = 1;
  ASSERT_TRUE(clients.AddClient(std::move(held)));
  EXPECT_EQ(clients.NextPlayerId(), 2u);  // 1 is still in use
}

TEST(ClientsTest, ConnectionIdsAreInRangeAndNeverHeldByAConnectedPlayer) {
  TClients clients(1, TScriptStorage{});
  std::set<uint32_t> seen;
  for (uint32_t i = 1; i <= 3000; ++i) {
    auto rec = MakePlayer(i);
    rec->ConnectionId = clients.GetNewConnectionID();
    ASSERT_GE(rec->ConnectionId, 1u);
    ASSERT_LE(rec->ConnectionId, TClients::kMaxConnectionId);
    ASSERT_TRUE(seen.insert(rec->ConnectionId).second) << "duplicate " << rec->ConnectionId;
    ASSERT_TRUE(clients.AddClient(std::move(rec)));
  }
}

TEST(ClientsTest, AddLookUpAndDelete) {
  TClients clients(1, TScriptStorage{});
  auto first = MakePlayer(7);
  first->NickName = "Alice";
  first->LoginName = "alice";
  TClientRec* alice = first.get();
  ASSERT_TRUE(clients.AddClient(std::move(first)));

  auto clash = MakePlayer(7);
  EXPECT_FALSE(clients.AddClient(std::move(clash)));
  ASSERT_NE(clash, nullptr) << "a refused record stays with the caller";

  EXPECT_EQ(clients.GetClientByID(7), alice);
  EXPECT_EQ(clients.GetClientByNickName("Alice"), alice);
  EXPECT_EQ(clients.GetClientByNickName("alice"), nullptr);
  EXPECT_EQ(clients.GetClientByNickName("Alic"), nullptr);
  EXPECT_TRUE(clients.isLoggedIn("alice"));
  EXPECT_FALSE(clients.isLoggedIn("ALICE"));
  EXPECT_FALSE(clients.isLoggedIn(""));

  // A record that merely shares the id is not the listed one.
  EXPECT_EQ(clients.DeleteClient(clash.get()), nullptr);
  std::unique_ptr<TClientRec> removed = clients.DeleteClient(alice);
  EXPECT_EQ(removed.get(), alice);
  EXPECT_EQ(clients.Count(), 0);
  EXPECT_EQ(clients.GetClientByID(7), nullptr);
}

TEST(ClientsTest, AnonymousRecordAndTextLimits) {
  auto rec = NewClient();
  EXPECT_TRUE(rec->LoginName.empty());
  EXPECT_EQ(rec->StorageClientId, 0);
  EXPECT_FALSE(rec->IsRegistered());
  EXPECT_EQ(rec->ChannelId, -1);

  const std::string longText(40, 'n');
  rec->NickName = longText;
  rec->LoginName = longText;
  EXPECT_EQ(rec->NickName.str(), longText.substr(0, 29));
  EXPECT_EQ(rec->LoginName.size(), 29u);
}

TEST(ClientsTest, MuteListResults) {
  auto rec = NewClient();
  EXPECT_TRUE(AddToPlayerMuteList(rec.get(), 5));
  EXPECT_FALSE(AddToPlayerMuteList(rec.get(), 5));
  EXPECT_TRUE(ClientInClientMuteList(rec.get(), 5));

  TClientRec copy = *rec;  // copies carry their own mute list
  EXPECT_TRUE(ClientInClientMuteList(&copy, 5));

  EXPECT_TRUE(RemoveFromPlayerMuteList(rec.get(), 6)) << "not muted: true";
  EXPECT_FALSE(RemoveFromPlayerMuteList(rec.get(), 5)) << "removed: false";
  EXPECT_FALSE(ClientInClientMuteList(rec.get(), 5));
  EXPECT_TRUE(ClientInClientMuteList(&copy, 5));
  EXPECT_TRUE(RemoveFromPlayerMuteList(nullptr, 5));

  FreeAndClearClient(rec);
  EXPECT_EQ(rec, nullptr);
}

TEST(ClientsTest, ValidLoginAgainstStoredAccounts) {
  test::TestDatabase db;
  TClients clients(3, db.Scripts());
  auto account = NewClient();
  account->LoginName = "admin";
  account->LoginPassword = "secret";
  account->PlayerPrivileges = spSA;
  ASSERT_EQ(clients.DBAddUser(*account), 0);

  std::unique_ptr<TClientRec> login = clients.DBValidLogin("admin", "secret");
  ASSERT_NE(login, nullptr);
  EXPECT_EQ(login->PlayerPrivileges, spSA);
  EXPECT_EQ(login->StorageClientId, account->StorageClientId);
  EXPECT_GT(login->Created.value, 0.0);

  EXPECT_EQ(clients.DBValidLogin("admin", "wrong"), nullptr);
  EXPECT_EQ(clients.DBValidLogin("nobody", "secret"), nullptr);
  EXPECT_EQ(clients.DBValidLogin("admin", "x' OR '1'='1"), nullptr);
  TClients otherServer(4, db.Scripts());
  EXPECT_EQ(otherServer.DBValidLogin("admin", "secret"), nullptr);
}

}  // namespace
}  // namespace qv
