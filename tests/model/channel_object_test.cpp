#include "model/channel_object.h"

#include <gtest/gtest.h>

#include "model/accounts.h"
#include "model_test_util.h"

namespace qv {
namespace {

using test::MakePlayer;
using Ids = std::vector<int32_t>;

std::unique_ptr<TChannelRec> Channel(const std::string& name, uint16_t flags = 0, int32_t parent = -1,
                                     const std::string& password = "") {
  auto channel = NewChannel();
  channel->Name = name;
  channel->Flags = flags;
  channel->ParentId = parent;
  channel->Password = password;
  channel->MaxUsers = 20;
  return channel;
}

class ChannelTreeTest : public ::testing::Test {
 protected:
  TChannels tree{1, TScriptStorage{}};  // memory only
};

TEST_F(ChannelTreeTest, IdsStartAtOneAndAreNeverReused) {
  EXPECT_EQ(tree.AddChannel(Channel("a", cfUnregistered)), 1);
  EXPECT_EQ(tree.AddChannel(Channel("b", cfUnregistered)), 2);
  EXPECT_EQ(tree.DeleteChannelTree(2), 0);
  EXPECT_EQ(tree.AddChannel(Channel("c", cfUnregistered)), 3);

  auto given = Channel("d", cfUnregistered);
  given->Id = 10;
  EXPECT_EQ(tree.AddChannelID(std::move(given)), 10);
  EXPECT_EQ(tree.DeleteChannelTree(10), 0);
  EXPECT_EQ(tree.AddChannel(Channel("e", cfUnregistered)), 11);

  auto taken = Channel("f", cfUnregistered);
  taken->Id = 1;
  EXPECT_EQ(tree.AddChannelID(std::move(taken)), peChannelExists);
  auto zero = Channel("g", cfUnregistered);
  EXPECT_EQ(tree.AddChannelID(std::move(zero)), peBadArgument);
}

TEST_F(ChannelTreeTest, TreeRulesAreCheckedInOrder) {
  const int32_t top = tree.AddChannel(Channel("Top", cfUnregistered | cfHierarchical));
  const int32_t flat = tree.AddChannel(Channel("Flat", cfUnregistered));
  const int32_t sub = tree.AddChannel(Channel("Lobby", cfUnregistered, top));
  ASSERT_GT(sub, 0);

  // The password rule comes first, even under a missing parent or a clash.
  auto refused = Channel("Lobby", 0, 99, "pw");
  EXPECT_EQ(tree.AddChannel(std::move(refused)), peSubChannelPassword);
  ASSERT_NE(refused, nullptr) << "a refused record stays with the caller";
  // The name clash comes before the parent checks.
  EXPECT_EQ(tree.AddChannel(Channel("LOBBY", 0, top)), peChannelExists);
  EXPECT_EQ(tree.AddChannel(Channel("x", 0, 99)), peParentChannelNotFound);
  EXPECT_EQ(tree.AddChannel(Channel("x", 0, sub)), peParentIsSubChannel);
  EXPECT_EQ(tree.AddChannel(Channel("x", 0, flat)), peChannelNotHierarchical);
  EXPECT_EQ(tree.AddChannel(Channel("top", cfUnregistered)), peChannelExists);

  // The same name under another parent is fine.
  const int32_t other = tree.AddChannel(Channel("Other", cfUnregistered | cfHierarchical));
  EXPECT_GT(tree.AddChannel(Channel("lobby", 0, other)), 0);
  EXPECT_EQ(tree.Count(), 5);
}

TEST_F(ChannelTreeTest, SubChannelsInheritFromTheirParent) {
  auto parent = Channel("Parent", cfUnregistered | cfHierarchical);
  parent->Codec = codecSpeex8000;
  const int32_t pid = tree.AddChannel(std::move(parent));

  auto sub = Channel("Sub", cfDefault | cfHierarchical | cfModerated | cfUnregistered, pid);
  sub->Codec = codecCelp51;
  const int32_t sid = tree.AddChannel(std::move(sub));
  const TChannelRec* added = tree.GetChannelById(sid);
  ASSERT_NE(added, nullptr);
  EXPECT_EQ(added->Flags, cfModerated | cfUnregistered);
  EXPECT_EQ(added->Codec, codecSpeex8000);
  EXPECT_EQ(tree.GetDefaultChannel(), -1);

  EXPECT_EQ(tree.GetTopChannelId(sid), pid);
  EXPECT_EQ(tree.GetMainChannel(sid)->Id, pid);
  EXPECT_EQ(tree.GetMainChannel(pid), nullptr);
  EXPECT_TRUE(tree.SameChannelTree(sid, pid));
  EXPECT_FALSE(tree.SameChannelTree(sid, 99));
  EXPECT_TRUE(tree.HasSubChannels(tree.GetChannelById(pid)));
}

TEST_F(ChannelTreeTest, PasswordIsCutAndFlagged) {
  const std::string password(40, 'p');
  const int32_t id = tree.AddChannel(Channel("Locked", cfUnregistered, -1, password));
  const TChannelRec* channel = tree.GetChannelById(id);
  EXPECT_EQ(channel->Password.str(), password.substr(0, 29));
  EXPECT_TRUE(channel->Flags & cfPassword);
  const int32_t open = tree.AddChannel(Channel("Open", cfUnregistered | cfPassword));
  EXPECT_FALSE(tree.GetChannelById(open)->Flags & cfPassword);
}

TEST_F(ChannelTreeTest, ASecondDefaultChannelTakesOverTheFlag) {
  const int32_t first = tree.AddChannel(Channel("First", cfUnregistered | cfDefault));
  EXPECT_TRUE(tree.ChangedChannels().empty());
  const int32_t second = tree.AddChannel(Channel("Second", cfUnregistered | cfDefault));
  EXPECT_EQ(tree.ChangedChannels(), Ids{first});
  EXPECT_FALSE(tree.GetChannelById(first)->Flags & cfDefault);
  EXPECT_EQ(tree.GetDefaultChannel(), second);
  tree.SetDefaultChannelMaxUsers(77);
  EXPECT_EQ(tree.GetDefaultChannelAsPointer()->MaxUsers, 77);
}

TEST_F(ChannelTreeTest, DeleteChannelTreeListsSubChannelsFirst) {
  const int32_t def = tree.AddChannel(Channel("Default", cfUnregistered | cfDefault));
  const int32_t top = tree.AddChannel(Channel("Top", cfUnregistered | cfHierarchical));
  const int32_t subA = tree.AddChannel(Channel("A", cfUnregistered, top));
  const int32_t keep = tree.AddChannel(Channel("Keep", cfUnregistered));
  const int32_t subB = tree.AddChannel(Channel("B", cfUnregistered, top));

  EXPECT_EQ(tree.DeleteChannelTree(def), peDefaultChannelNotDeletable);
  EXPECT_EQ(tree.DeleteChannelTree(99), peChannelIdNotFound);
  EXPECT_EQ(tree.DeleteChannelTree(top), 0);
  const Ids& changed = tree.ChangedChannels();
  ASSERT_EQ(changed.size(), 3u);
  EXPECT_EQ(Ids(changed.begin(), changed.begin() + 2), (Ids{subB, subA}));
  EXPECT_EQ(changed.back(), top);
  EXPECT_EQ(tree.Count(), 2);
  EXPECT_NE(tree.GetChannelById(keep), nullptr);
}

TEST_F(ChannelTreeTest, ChannelAttribsImplyOperatorAndVoice) {
  const int32_t id = tree.AddChannel(Channel("Room", cfUnregistered));
  TChannelRec* room = tree.GetChannelById(id);
  auto player = MakePlayer(4);
  EXPECT_EQ(tree.GetChannelAttribs(room, player.get()), 0);

  player->ChannelPrivileges = cpAutoOP | cpAutoV;
  tree.SetChannelAttribs(room, player.get());
  EXPECT_EQ(tree.GetChannelAttribs(room, player.get()), cpAutoOP | cpOP | cpAutoV | cpV);

  player->ChannelPrivileges = cpCA | cpOP | cpV | cpAutoOP;
  tree.SetChannelAttribs(room, player.get());
  tree.ClearModeratedChannelAttribs(room);
  EXPECT_EQ(tree.GetChannelAttribs(room, player.get()), cpCA);

  tree.ClearChannelAttribs(4);
  EXPECT_EQ(tree.GetChannelAttribs(room, player.get()), 0);
}

TEST_F(ChannelTreeTest, MemberLists) {
  const int32_t a = tree.AddChannel(Channel("A", cfUnregistered));
  const int32_t b = tree.AddChannel(Channel("B", cfUnregistered));
  auto player = MakePlayer(8);
  tree.ClientJoinedChannel(tree.GetChannelById(a), player.get());
  tree.ClientJoinedChannel(tree.GetChannelById(a), player.get());
  tree.ClientJoinedChannel(tree.GetChannelById(b), player.get());
  EXPECT_EQ(tree.GetChannelById(a)->Members.size(), 1u);
  tree.ClientLeftChannel(tree.GetChannelById(a), player.get());
  EXPECT_TRUE(tree.GetChannelById(a)->Members.empty());
  tree.ClearChannelClientLists(8);
  EXPECT_TRUE(tree.GetChannelById(b)->Members.empty());
}

// --- with storage ---

class StoredChannelTest : public ::testing::Test {
 protected:
  std::unique_ptr<TChannels> Start() {
    auto channels = std::make_unique<TChannels>(1, db.Scripts());
    EXPECT_TRUE(channels->LoadChannels());
    return channels;
  }
  int32_t AddAccount(const std::string& name) {
    auto account = NewClient();
    account->LoginName = name;
    account->LoginPassword = "pw";
    EXPECT_EQ(DBAddUser(db.Scripts(), 1, *account), 0);
    return account->StorageClientId;
  }

  test::TestDatabase db;
};

TEST_F(StoredChannelTest, FirstStartCreatesAndStoresTheDefaultChannel) {
  auto first = Start();
  ASSERT_EQ(first->Count(), 1);
  const TChannelRec* def = first->GetDefaultChannelAsPointer();
  ASSERT_NE(def, nullptr);
  EXPECT_EQ(def->Name, "Default");
  EXPECT_EQ(def->MaxUsers, 32000);
  EXPECT_GT(def->StorageId, 0);

  db.Restart();
  auto second = Start();
  ASSERT_EQ(second->Count(), 1);
  EXPECT_EQ(second->GetDefaultChannelAsPointer()->StorageId, def->StorageId);
}

TEST_F(StoredChannelTest, RegisteredTreeAndPrivilegesSurviveARestart) {
  const int32_t clientId = AddAccount("carol");
  {
    auto channels = Start();
    ASSERT_GT(channels->AddChannel(Channel("Temp", cfUnregistered | cfHierarchical)), 0);
    auto top = Channel("Games", cfHierarchical | cfModerated, -1, "door");
    top->Codec = codecGSM148;
    top->MaxUsers = 12;
    const int32_t games = channels->AddChannel(std::move(top));
    const int32_t chess = channels->AddChannel(Channel("Chess", 0, games));
    ASSERT_GT(chess, 0);
    ASSERT_GT(channels->AddChannel(Channel("TempSub", 0, channels->GetChannelByName("Temp", -1)->Id)), 0);

    auto player = MakePlayer(1, spRegistered, clientId);
    player->ChannelPrivileges = cpAutoOP | cpOP;  // operator itself is never stored
    channels->SetChannelAttribs(channels->GetChannelById(games), player.get());
    player->ChannelPrivileges = cpCA;
    channels->SetChannelAttribs(channels->GetChannelById(chess), player.get());
  }

  db.Restart();
  auto channels = Start();
  EXPECT_EQ(channels->Count(), 3);  // Default, Games, Chess
  EXPECT_EQ(channels->GetChannelByName("Temp", -1), nullptr);
  EXPECT_EQ(channels->GetChannelByName("TempSub", -1), nullptr);
  TChannelRec* games = channels->GetChannelByName("Games", -1);
  TChannelRec* chess = channels->GetChannelByName("Chess", -1);
  ASSERT_NE(games, nullptr);
  ASSERT_NE(chess, nullptr);
  EXPECT_EQ(chess->ParentId, games->Id);
  EXPECT_EQ(games->Password.str(), "door");
  EXPECT_EQ(games->Flags, cfHierarchical | cfModerated | cfPassword);
  EXPECT_EQ(chess->Flags, cfModerated);
  EXPECT_EQ(chess->Codec, codecGSM148);
  EXPECT_EQ(chess->MaxUsers, 12);

  auto player = MakePlayer(5, spRegistered, clientId);  // a new session, a new player id
  EXPECT_EQ(channels->GetChannelAttribs(games, player.get()), cpAutoOP | cpOP);
  EXPECT_EQ(channels->GetChannelAttribs(chess, player.get()), cpCA);
  auto anonymous = MakePlayer(6);
  EXPECT_EQ(channels->GetChannelAttribs(games, anonymous.get()), 0);
}

TEST_F(StoredChannelTest, OnlyTheNewDefaultChannelIsStoredAsDefault) {
  {
    auto channels = Start();
    ASSERT_GT(channels->AddChannel(Channel("Lounge", cfDefault)), 0);
  }
  TStorageLock lock(db.Storage());
  db.Scripts().Load("read_channels.sql");
  db.Storage().SetParamInteger(":iServerID", 1);
  std::unique_ptr<TStorageContainer> rows = db.Storage().OpenSQL();
  ASSERT_NE(rows, nullptr);
  ASSERT_EQ(rows->Count(), 2u);
  for (size_t i = 0; i < rows->Count(); ++i) {
    EXPECT_EQ(rows->RowAt(i).AsBoolean("b_channel_flag_default"),
              rows->RowAt(i).AsString("s_channel_name") == "Lounge");
  }
}

TEST_F(StoredChannelTest, SubChannelRowsTakeTheirParentsSettings) {
  int32_t subStorageId = 0;
  {
    auto channels = Start();
    auto top = Channel("Music", cfHierarchical);
    top->Codec = codecSpeex2150;
    top->MaxUsers = 9;
    const int32_t music = channels->AddChannel(std::move(top));
    subStorageId = channels->GetChannelById(channels->AddChannel(Channel("Jazz", 0, music)))->StorageId;
    ASSERT_GT(subStorageId, 0);
  }
  // A damaged row: own codec, limit, flags and password that break the rules.
  TStorageLock lock(db.Storage());
  db.Storage().SetStatement(
      "UPDATE qv2_channels SET i_channel_codec = 1, i_channel_maxusers = 500, "
      "b_channel_flag_default = -1, b_channel_flag_hierarchical = -1, s_channel_password = 'x' "
      "WHERE i_channel_id = " + std::to_string(subStorageId));
  ASSERT_TRUE(db.Storage().ExecSQL());

  auto channels = Start();
  const TChannelRec* jazz = channels->GetChannelByName("Jazz", -1);
  ASSERT_NE(jazz, nullptr);
  EXPECT_EQ(jazz->Codec, codecSpeex2150);
  EXPECT_EQ(jazz->MaxUsers, 9);
  EXPECT_EQ(jazz->Flags, 0);
  EXPECT_TRUE(jazz->Password.empty());
  EXPECT_EQ(channels->GetChannelByName("Default", -1)->Id, channels->GetDefaultChannel());
}

TEST_F(StoredChannelTest, DeletedAndUnregisteredSubChannelsLeaveStorage) {
  {
    auto channels = Start();
    const int32_t top = channels->AddChannel(Channel("Top", cfHierarchical));
    channels->AddChannel(Channel("Gone", 0, top));
    channels->AddChannel(Channel("Stays", cfUnregistered));  // not stored at all
    const int32_t other = channels->AddChannel(Channel("Other", cfHierarchical));
    channels->AddChannel(Channel("OtherSub", 0, other));
    ASSERT_EQ(channels->DeleteChannelTree(top), 0);

    // Turning a registered parent unregistered takes its sub-channels out of storage.
    TChannelRec* otherRec = channels->GetChannelById(other);
    otherRec->Flags |= cfUnregistered;
    channels->UpdateSubChannels(otherRec);
    channels->DeleteChannelFromStorage(otherRec);
  }
  db.Restart();
  auto channels = Start();
  EXPECT_EQ(channels->Count(), 1);
  EXPECT_NE(channels->GetDefaultChannelAsPointer(), nullptr);
}

TEST_F(StoredChannelTest, ARegisteredParentTakesItsSubChannelsIntoStorage) {
  {
    auto channels = Start();
    const int32_t top = channels->AddChannel(Channel("Later", cfUnregistered | cfHierarchical));
    channels->AddChannel(Channel("Child", cfUnregistered, top));
    TChannelRec* parent = channels->GetChannelById(top);
    parent->Flags &= static_cast<uint16_t>(~cfUnregistered);
    channels->SaveChannel(parent);
    channels->UpdateSubChannels(parent);
    EXPECT_EQ(channels->ChangedChannels().size(), 1u);
  }
  db.Restart();
  auto channels = Start();
  const TChannelRec* child = channels->GetChannelByName("Child", -1);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->ParentId, channels->GetChannelByName("Later", -1)->Id);
}

}  // namespace
}  // namespace qv
