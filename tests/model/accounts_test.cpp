#include "model/accounts.h"

#include <gtest/gtest.h>

#include "base/password_hash.h"
#include "model_test_util.h"

namespace qv {
namespace {

std::unique_ptr<TClientRec> Account(const std::string& name, const std::string& password,
                                    uint16_t privileges = 0) {
  auto rec = NewClient();
  rec->LoginName = name;
  rec->LoginPassword = password;
  rec->PlayerPrivileges = privileges;
  return rec;
}

class AccountsTest : public ::testing::Test {
 protected:
  test::TestDatabase db;
  const TScriptStorage& s() { return db.Scripts(); }
};

TEST_F(AccountsTest, NamesAreUniquePerServer) {
  auto first = Account("dave", "one", spSA);
  ASSERT_EQ(DBAddUser(s(), 1, *first), 0);
  EXPECT_GT(first->StorageClientId, 0);

  auto again = Account("dave", "two");
  EXPECT_EQ(DBAddUser(s(), 1, *again), peLoginNameInUse);
  EXPECT_EQ(again->StorageClientId, 0);
  EXPECT_TRUE(VerifyPassword(DBLoadUser(s(), 1, "dave")->PasswordHash, "one")) << "nothing overwritten";

  auto elsewhere = Account("dave", "three");
  EXPECT_EQ(DBAddUser(s(), 2, *elsewhere), 0);
  auto super = Account("dave", "four");
  EXPECT_EQ(DBAddSuperUser(s(), *super), 0);
  EXPECT_EQ(DBAddSuperUser(s(), *Account("dave", "five")), peLoginNameInUse);

  std::unique_ptr<TClientRec> loaded = DBLoadUser(s(), 1, first->StorageClientId);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->LoginName.str(), "dave");
  EXPECT_EQ(loaded->PlayerPrivileges, spSA);
  EXPECT_EQ(DBLoadUser(s(), 2, first->StorageClientId), nullptr) << "another server's account";

  std::unique_ptr<TClientRec> admin = DBLoadSuperUser(s(), super->StorageClientId);
  ASSERT_NE(admin, nullptr);
  EXPECT_TRUE(VerifyPassword(admin->PasswordHash, "four"));
  EXPECT_EQ(DBLoadSuperUser(s(), first->StorageClientId), nullptr);
}

TEST_F(AccountsTest, SaveInsertsOrUpdatesByName) {
  auto blank = Account("   ", "pw");
  DBSaveUser(s(), 1, *blank);
  EXPECT_EQ(blank->StorageClientId, 0);
  EXPECT_EQ(DBLoadUser(s(), 1, "   "), nullptr);

  auto erin = Account("erin", "pw");
  DBSaveUser(s(), 1, *erin);
  ASSERT_GT(erin->StorageClientId, 0);
  const int32_t erinId = erin->StorageClientId;

  // Another row is inserted after erin's, then erin is saved again from a
  // record that does not know its id: it must get erin's id, not the last
  // inserted one.
  ASSERT_EQ(DBAddUser(s(), 1, *Account("frank", "pw")), 0);
  auto update = Account("erin", "new", spSA);
  DBSaveUser(s(), 1, *update);
  EXPECT_EQ(update->StorageClientId, erinId);
  std::unique_ptr<TClientRec> loaded = DBLoadUser(s(), 1, "erin");
  EXPECT_TRUE(VerifyPassword(loaded->PasswordHash, "new"));
  EXPECT_EQ(loaded->PlayerPrivileges, spSA);

  auto super = Account("root", "pw");
  DBSaveSuperUser(s(), *super);
  EXPECT_EQ(DBLoadUser(s(), 0, "root")->PlayerPrivileges, spSA) << "superadmins are server admins";
}

TEST_F(AccountsTest, DeleteByRecordAndById) {
  auto gina = Account("gina", "pw");
  ASSERT_EQ(DBAddUser(s(), 1, *gina), 0);
  DBDeleteUser(s(), 1, *gina);
  EXPECT_EQ(gina->StorageClientId, -1);
  EXPECT_TRUE(gina->LoginName.empty());
  EXPECT_TRUE(gina->LoginPassword.empty() && gina->PasswordHash.empty());
  EXPECT_EQ(DBLoadUser(s(), 1, "gina"), nullptr);

  auto hank = Account("hank", "pw");
  ASSERT_EQ(DBAddUser(s(), 1, *hank), 0);
  DBDeleteUser(s(), 2, hank->StorageClientId);  // wrong server: nothing happens
  EXPECT_NE(DBLoadUser(s(), 1, hank->StorageClientId), nullptr);
  DBDeleteUser(s(), 1, hank->StorageClientId);
  EXPECT_EQ(DBLoadUser(s(), 1, hank->StorageClientId), nullptr);
  EXPECT_EQ(hank->LoginName.str(), "hank");
}

TEST_F(AccountsTest, StoredNamesAreCutWhenLoaded) {
  TStorageLock lock(db.Storage());
  s().Load("new_client.sql");
  db.Storage().SetParamDateTime(":dtCreated", Now());
  db.Storage().SetParamString(":sName", std::string(40, 'n'));
  db.Storage().SetParamString(":sPassword", std::string(35, 'p'));
  db.Storage().SetParamBool(":bServerAdmin", false);
  db.Storage().SetParamInteger(":iServerID", 1);
  ASSERT_TRUE(db.Storage().ExecSQL());
  std::unique_ptr<TClientRec> loaded =
      DBLoadUser(s(), 1, static_cast<int32_t>(db.Storage().GetLastInsertID()));
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->LoginName.str(), std::string(29, 'n'));
  EXPECT_EQ(loaded->PasswordHash, std::string(35, 'p')) << "a stored hash is longer than any name";
}

}  // namespace
}  // namespace qv
