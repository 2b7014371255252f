#include "model/security.h"
#include "model/server_control.h"

#include <set>

#include <gtest/gtest.h>

#include "base/text_utils.h"
#include "model_test_util.h"

namespace qv {
namespace {

using test::MakePlayer;

// The factory defaults, transcribed group by group as ordinals.
const std::set<int> kSA = {0,  1,  2,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                           23, 24, 25, 26, 27, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45,
                           46, 47, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64,
                           65, 73, 74, 75, 76, 77, 78, 79};
const std::set<int> kCA = {37, 38, 39, 40, 41, 42, 43, 44, 45, 46, 50, 51,
                           52, 53, 54, 57, 58, 59, 60, 61, 74, 76, 78, 79};
const std::set<int> kOP = {42, 43, 45, 46, 52, 54, 59, 61, 74, 76, 78, 79};
const std::set<int> kV = {74, 76, 79};
const std::set<int> kReg = {2, 33, 34, 35, 38, 76, 79};
const std::set<int> kAnon = {2, 33, 35, 38, 76, 79};

TEST(PermissionsTest, FactoryDefaultsMatchTheTable) {
  const TPermissionTable table = DefaultPermissions();
  const std::set<int>* expected[] = {&kSA, &kCA, &kOP, &kV, &kReg, &kAnon};
  for (int g = 0; g < kUserGroupCount; ++g) {
    for (int p = 0; p < kUserPermissionCount; ++p) {
      EXPECT_EQ(table[g].test(p), expected[g]->count(p) == 1)
          << UserGroupName(static_cast<TUserGroup>(g)) << " " << PermissionName(static_cast<TUserPermissions>(p));
    }
  }
}

TEST(PermissionsTest, StorageNames) {
  EXPECT_STREQ(UserGroupName(ugRegisterred), "_ugRegisterred");
  EXPECT_EQ(PermissionColumn(upAdminEditServerAllodCodecs), "b_sp_AdminEditServerAllodCodecs");
  EXPECT_EQ(PermissionParam(upSendTextToAll), ":bSendTextToAllPlayers");
  EXPECT_EQ(PermissionParam(upKickPlayerFromChannel), ":bKickPlayerFromChannel");
  EXPECT_EQ(PermissionColumn(upChannelReserved15), "");
  // Parameters are bound by text substitution: none may occur inside another.
  for (int a = 0; a < kUserPermissionCount; ++a) {
    for (int b = 0; b < kUserPermissionCount; ++b) {
      const std::string pa = PermissionParam(static_cast<TUserPermissions>(a));
      const std::string pb = PermissionParam(static_cast<TUserPermissions>(b));
      if (a != b && !pa.empty() && !pb.empty()) {
        EXPECT_EQ(LowerCase(pb).find(LowerCase(pa)), std::string::npos) << pa << " in " << pb;
      }
    }
  }
}

TEST(PermissionsTest, HasPermissionCombinesTheGroups) {
  const TPermissionTable defaults = DefaultPermissions();
  auto anonymous = MakePlayer(1);
  EXPECT_TRUE(HasPermission(anonymous.get(), upAccessVoice, defaults));
  EXPECT_TRUE(HasPermission(anonymous.get(), upChannelJoinRegisterred, defaults));
  EXPECT_FALSE(HasPermission(anonymous.get(), upChannelCreateRegisterred, defaults));
  EXPECT_FALSE(HasPermission(nullptr, upAccessVoice, defaults));

  auto registered = MakePlayer(2, spRegistered);
  EXPECT_TRUE(HasPermission(registered.get(), upChannelCreateRegisterred, defaults));

  auto op = MakePlayer(3);
  op->ChannelPrivileges = cpOP;
  EXPECT_TRUE(HasPermission(op.get(), upChannelEditTopic, defaults));
  EXPECT_FALSE(HasPermission(op.get(), upChannelEditName, defaults));

  auto admin = MakePlayer(4, spSA);
  EXPECT_TRUE(HasPermission(admin.get(), upAdminBanIp, defaults));
  EXPECT_FALSE(HasPermission(admin.get(), upOtherReserved7, defaults));

  const TPermissionTable nothing{};
  auto super = MakePlayer(5, spSuperAdmin);
  for (int p = 0; p < kUserPermissionCount; ++p) {
    EXPECT_TRUE(HasPermission(super.get(), static_cast<TUserPermissions>(p), nothing)) << p;
  }
  EXPECT_FALSE(HasPermission(super.get(), static_cast<TUserPermissions>(81), nothing));
  EXPECT_FALSE(HasPermission(admin.get(), upAdminBanIp, nothing));
}

TEST(PermissionsTest, GroupSetsRoundTripThroughStorage) {
  test::TestDatabase db;
  EXPECT_TRUE(ReadGroupPermissions(db.Scripts(), 1, "_ugSA").none()) << "no row: no permissions";

  const TPermissionTable defaults = DefaultPermissions();
  for (int g = 0; g < kUserGroupCount; ++g) {
    SaveGroupPermissions(db.Scripts(), 1, UserGroupName(static_cast<TUserGroup>(g)), defaults[g]);
  }
  db.Restart();
  for (int g = 0; g < kUserGroupCount; ++g) {
    EXPECT_EQ(ReadGroupPermissions(db.Scripts(), 1, UserGroupName(static_cast<TUserGroup>(g))), defaults[g]);
  }

  // A second save edits the row in place.
  TPermissionSet changed = defaults[ugV];
  changed.set(upSendTextToAll).reset(upSendTextToOwnChannel);
  SaveGroupPermissions(db.Scripts(), 1, "_ugV", changed);
  EXPECT_EQ(ReadGroupPermissions(db.Scripts(), 1, "_ugV"), changed);
  EXPECT_TRUE(ReadGroupPermissions(db.Scripts(), 2, "_ugV").none()) << "other servers unaffected";
}

std::unique_ptr<TStorageContainer> Bans(std::initializer_list<const char*> patterns) {
  auto rows = std::make_unique<TStorageContainer>();
  for (const char* pattern : patterns) {
    auto row = std::make_unique<TStorageRow>();
    row->Add(std::make_unique<TStringStorageField>("s_ban_ip", pattern));
    rows->Add(std::move(row));
  }
  return rows;
}

TEST(BansTest, PatternsMatchPartByPart) {
  EXPECT_TRUE(IsIpBanned("192.168.4.7", Bans({"192.168.*"}).get()));
  EXPECT_FALSE(IsIpBanned("192.169.4.7", Bans({"192.168.*"}).get()));
  EXPECT_TRUE(IsIpBanned("192.168.4.7", Bans({"192.168.4.7"}).get()));
  EXPECT_FALSE(IsIpBanned("192.168.4.70", Bans({"192.168.4.7"}).get()));
  EXPECT_FALSE(IsIpBanned("192.168.4.7", Bans({"192.168.4.70"}).get()));
  EXPECT_TRUE(IsIpBanned("10.1.2.3", Bans({"11.*", "10.*"}).get()));
  EXPECT_TRUE(IsIpBanned("10.1.2.3", Bans({"10.*.2.*"}).get()));
  EXPECT_FALSE(IsIpBanned("10.1.3.3", Bans({"10.*.2.*"}).get()));
  EXPECT_TRUE(IsIpBanned("8.8.8.8", Bans({"*"}).get()));
  EXPECT_FALSE(IsIpBanned("8.8.8.8", Bans({"", "  "}).get())) << "a blank ban bans nobody";
  EXPECT_FALSE(IsIpBanned("8.8.8.8", nullptr));
}

TEST(BansTest, ABanOfSomeMinutesEndsThatLongAfterItWasMade) {
  const TDateTime now = Now();
  const double minute = 1.0 / (24 * 60);
  struct TRow {
    int32_t Minutes;
    double MinutesAgo;  // negative: no creation time
    bool Banned;
  } rows[] = {{10, 5, true}, {10, 11, false}, {0, 100000, true}, {10, -1, true}};
  for (const TRow& r : rows) {
    auto row = std::make_unique<TStorageRow>();
    row->Add(std::make_unique<TStringStorageField>("s_ban_ip", "10.0.0.1"));
    row->Add(std::make_unique<TIntegerStorageField>("i_ban_minutes", r.Minutes));
    if (r.MinutesAgo >= 0)
      row->Add(std::make_unique<TDateTimeStorageField>("dt_ban_created", TDateTime{now.value - r.MinutesAgo * minute}));
    auto list = std::make_unique<TStorageContainer>();
    list->Add(std::move(row));
    EXPECT_EQ(IsIpBanned("10.0.0.1", list.get()), r.Banned) << r.Minutes << " minutes, " << r.MinutesAgo << " ago";
  }
}

TEST(BansTest, PortInUseLooksAtStoredServers) {
  test::TestDatabase db;
  {
    TStorageLock lock(db.Storage());
    db.Scripts().Load("new_server.sql");
    db.Storage().SetParamInteger(":iServerPort", 8767);
    db.Storage().SetParamDateTime(":dtServerCreated", Now());
    db.Storage().SetParamString(":sNode", "");
    ASSERT_TRUE(db.Storage().ExecSQL());
  }
  EXPECT_TRUE(PortInUse(db.Scripts(), 8767));
  EXPECT_FALSE(PortInUse(db.Scripts(), 8768));
}

}  // namespace
}  // namespace qv
