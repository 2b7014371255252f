// Channel commands over loopback: several clients on an in-process server,
// refusals with their codes, notifications checked in the bytes the other
// players received, and what storage keeps across a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/command_types.h"
#include "support/live_server.h"

namespace qv {
namespace {

using test::kWaitMs;
using test::WireU16;
using test::WireU32;

// Little-endian payload bytes, written out here rather than with the
// server's own packet writer.
class Bytes {
 public:
  Bytes& U8(uint8_t v) {
    data.push_back(v);
    return *this;
  }
  Bytes& U16(uint16_t v) { return U8(v & 0xFF).U8(v >> 8); }
  Bytes& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  Bytes& Text(const std::string& s) {
    data.insert(data.end(), s.begin(), s.end());
    return U8(0);
  }
  Bytes& Text30(const std::string& s) {
    U8(static_cast<uint8_t>(s.size()));
    data.insert(data.end(), s.begin(), s.end());
    data.resize(data.size() + 29 - s.size(), 0);
    return *this;
  }
  std::vector<uint8_t> data;
};

struct ChannelRequest {
  std::string name = "";
  uint16_t flags = 0;
  int32_t parent = -1;
  uint16_t codec = 0;
  uint16_t order = 0;
  uint16_t maxUsers = 10;
  std::string topic = "";
  std::string description = "";
  std::string password = "";
};

void Create(TQVClient& c, const ChannelRequest& s) {
  Bytes b;
  b.U32(0).U16(s.flags).U16(s.codec).U32(static_cast<uint32_t>(s.parent)).U16(s.order).U16(s.maxUsers);
  b.Text(s.name).Text(s.topic).Text(s.description).Text(s.password);
  c.SendCommand(CMD_cs_ChannelCreate, b.data);
}
void Destroy(TQVClient& c, int32_t id) { c.SendCommand(CMD_cs_ChannelDestroy, Bytes().U32(id).data); }
void SetText(TQVClient& c, uint16_t type, int32_t id, const std::string& text) {
  c.SendCommand(type, Bytes().U32(id).Text(text).data);
}
void SetValue(TQVClient& c, uint16_t type, int32_t id, uint16_t value) {
  c.SendCommand(type, Bytes().U32(id).U16(value).data);
}
void SetProperties(TQVClient& c, int32_t id, uint16_t flags, uint16_t codec) {
  c.SendCommand(CMD_cs_ChannelChangeProperties, Bytes().U32(id).U16(flags).U16(codec).data);
}
void SetPassword(TQVClient& c, int32_t id, const std::string& password) {
  c.SendCommand(CMD_cs_ChannelChangePassword, Bytes().U32(id).Text30(password).data);
}

TClientEvent Expect(TQVClient& c, const std::function<bool(const TClientEvent&)>& match, int timeoutMs = kWaitMs) {
  std::optional<TClientEvent> e = c.WaitFor(match, timeoutMs);
  EXPECT_TRUE(e.has_value());
  return e.value_or(TClientEvent{});
}
// The code of the next error reply, checking that it names the refused command.
int32_t ErrorOf(TQVClient& c, uint16_t refusedType) {
  TClientEvent e = Expect(c, [](const TClientEvent& e) { return e.Kind == ceError; });
  EXPECT_EQ(e.FailedType, refusedType);
  return e.Code;
}
TClientEvent Changed(TQVClient& c, uint16_t type, int32_t channelId) {
  return Expect(c, [&](const TClientEvent& e) {
    return e.Kind == ceChannelChanged && e.CommandType == type && e.ChannelId == channelId;
  });
}
int32_t CreatedId(TQVClient& c, const std::string& name) {
  return Expect(c, [&](const TClientEvent& e) {
    return e.Kind == ceChannelCreated && !e.Channels.empty() && e.Channels[0].Name == name;
  }).ChannelId;
}
bool IsChannelEvent(const TClientEvent& e) {
  return e.Kind == ceChannelCreated || e.Kind == ceChannelChanged || e.Kind == ceChannelDestroyed;
}

class ChannelCommandsTest : public test::LiveServerTest {
 protected:
  ChannelCommandsTest() {
    defaults.Name = "Test Server";
    storedPermissions = DefaultPermissions();
  }

  // Starts the server, logs in the server admin "admin" and notes the default channel.
  TQVClient& StartWithAdmin(const std::function<void(TServerSettings&)>& edit = {}) {
    StartServer(edit);
    AddAccount("admin", "admin-pw", spSA);
    AddAccount("reg", "reg-pw");
    TQVClient& admin = Login(AccountRequest("boss", "admin", "admin-pw"));
    // The listener has loaded the tree once a login went through.
    WithModel([&](TClients&, TChannels& channels) { defaultId = channels.GetDefaultChannel(); });
    return admin;
  }

  // A topic change the admin makes now reaches every player after everything
  // the server sent before it; EventsBefore then takes what came first.
  void Barrier(TQVClient& admin) { SetText(admin, CMD_cs_ChannelChangeTopic, defaultId, BarrierText()); }
  std::vector<TClientEvent> EventsBefore(TQVClient& c) {
    const std::string text = BarrierText();
    Expect(c, [&](const TClientEvent& e) { return e.CommandType == CMD_sc_NotifyChannelTopicChanged && e.Text == text; });
    return c.TakeEvents();
  }
  void NextBarrier() { ++barrier; }

  TChannelRec* Channel(TChannels& channels, int32_t id) { return channels.GetChannelById(id); }

  int32_t defaultId = -1;
  int barrier = 0;

 private:
  std::string BarrierText() const { return "barrier " + std::to_string(barrier); }
};

TEST_F(ChannelCommandsTest, CreateRefusalsComeInOrderAndChangeNothing) {
  TQVClient& admin = StartWithAdmin([](TServerSettings& s) { s.AllowCodec[3] = false; });
  TQVClient& alice = Login(Request("alice"));

  // A disabled codec is refused before the missing parent and the missing right.
  Create(alice, {.name = "X", .parent = 999, .codec = 3});
  EXPECT_EQ(ErrorOf(alice, CMD_cs_ChannelCreate), -108);
  // Numbers above the codec table pass; the missing parent is -102, not -103.
  Create(alice, {.name = "X", .flags = cfUnregistered, .parent = 999, .codec = 13});
  EXPECT_EQ(ErrorOf(alice, CMD_cs_ChannelCreate), -102);
  // Anonymous players may not create registered, default or sub-channels elsewhere.
  Create(alice, {.name = "X"});
  EXPECT_EQ(ErrorOf(alice, CMD_cs_ChannelCreate), -1009);
  Create(alice, {.name = "X", .flags = cfUnregistered | cfDefault});
  EXPECT_EQ(ErrorOf(alice, CMD_cs_ChannelCreate), -1009);
  Create(alice, {.name = "X", .flags = cfUnregistered, .parent = defaultId});
  EXPECT_EQ(ErrorOf(alice, CMD_cs_ChannelCreate), -1009);
  // The tree's own refusal: the name exists, ignoring case.
  Create(alice, {.name = "dEfAuLt", .flags = cfUnregistered});
  EXPECT_EQ(ErrorOf(alice, CMD_cs_ChannelCreate), -114);

  Barrier(admin);
  for (TQVClient* c : {&admin, &alice}) {
    for (const TClientEvent& e : EventsBefore(*c)) EXPECT_FALSE(IsChannelEvent(e)) << DescribeEvent(e);
  }
  WithModel([](TClients&, TChannels& channels) { EXPECT_EQ(channels.Count(), 1); });
}

TEST_F(ChannelCommandsTest, AnonymousCreatorMovesInAsChannelAdminAndEmptyTreesGo) {
  TQVClient& admin = StartWithAdmin();
  TQVClient& alice = Login(Request("alice"));
  const uint32_t aliceId = alice.PlayerId();

  Create(alice, {.name = "Room", .flags = cfUnregistered | cfHierarchical, .codec = 5, .order = 7,
                 .topic = "Chat", .description = "About", .password = "secret"});
  TClientEvent created = Expect(admin, [](const TClientEvent& e) { return e.Kind == ceChannelCreated; });
  const std::vector<uint8_t>& raw = created.Raw;
  ASSERT_EQ(raw.size(), 44u + 5 + 5 + 6);  // never the password
  const int32_t room = static_cast<int32_t>(WireU32(raw, 28));
  EXPECT_EQ(WireU16(raw, 2), CMD_sc_NotifyChannelCreated);
  EXPECT_EQ(WireU32(raw, 24), aliceId);
  EXPECT_EQ(WireU16(raw, 32), 0x0D);  // unregistered, password, hierarchical
  EXPECT_EQ(WireU16(raw, 34), 5);
  EXPECT_EQ(WireU32(raw, 36), 0xFFFFFFFFu);
  EXPECT_EQ(WireU16(raw, 40), 7);
  EXPECT_EQ(WireU16(raw, 42), 10);
  EXPECT_EQ(std::string(raw.begin() + 44, raw.end()), std::string("Room\0Chat\0About\0", 16));

  TClientEvent moved = Expect(admin, [](const TClientEvent& e) { return e.Kind == cePlayerSwitched; });
  EXPECT_EQ(moved.PlayerId, aliceId);
  EXPECT_EQ(moved.OldChannelId, defaultId);
  EXPECT_EQ(moved.ChannelId, room);
  EXPECT_EQ(WireU16(moved.Raw, 36), cpCA);

  // As its admin she may add a sub-channel; she stays where she is.
  Create(alice, {.name = "Nook", .flags = cfUnregistered, .parent = room});
  const int32_t nook = CreatedId(admin, "Nook");
  WithModel([&](TClients& players, TChannels& channels) {
    TClientRec* a = players.GetClientByID(aliceId);
    EXPECT_EQ(a->ChannelId, room);
    EXPECT_EQ(a->ChannelPrivileges, cpCA);
    EXPECT_TRUE(Channel(channels, room)->HasMember(aliceId));
    EXPECT_FALSE(Channel(channels, defaultId)->HasMember(aliceId));
    EXPECT_EQ(channels.GetChannelAttribs(Channel(channels, nook), a), cpCA);
  });

  // Moving on to a new channel leaves the old tree empty: it goes, the
  // sub-channel first, announced with her as originator.
  Create(alice, {.name = "Hall", .flags = cfUnregistered});
  const int32_t hall = CreatedId(admin, "Hall");
  std::vector<std::pair<int32_t, uint32_t>> destroyed;
  for (int i = 0; i < 2; ++i) {
    TClientEvent e = Expect(admin, [](const TClientEvent& e) { return e.Kind == ceChannelDestroyed; });
    destroyed.emplace_back(e.ChannelId, e.ActorId);
  }
  EXPECT_EQ(destroyed, (std::vector<std::pair<int32_t, uint32_t>>{{nook, aliceId}, {room, aliceId}}));

  // Her departure empties the last one; the server removes it on its own.
  // Should the farewell's acknowledgement get lost on a loaded machine, the
  // server closes the connection only after its closing time-out.
  alice.Quit(kWaitMs);
  TClientEvent gone =
      Expect(admin, [](const TClientEvent& e) { return e.Kind == ceChannelDestroyed; }, 3 * kWaitMs);
  EXPECT_EQ(gone.ChannelId, hall);
  EXPECT_EQ(gone.ActorId, 0u);
}

TEST_F(ChannelCommandsTest, RegisteredCreatorStaysAndHisAdminRightIsStored) {
  StartWithAdmin();
  TQVClient& reg = Login(AccountRequest("reg", "reg", "reg-pw"));
  Create(reg, {.name = "Club"});
  const int32_t club = CreatedId(reg, "Club");
  // An unregistered top-level channel takes even a registered creator in.
  Create(reg, {.name = "Tmp", .flags = cfUnregistered});
  const int32_t tmp = CreatedId(reg, "Tmp");
  Expect(reg, [&](const TClientEvent& e) { return e.Kind == cePlayerSwitched && e.ChannelId == tmp; });
  WithModel([&](TClients& players, TChannels& channels) {
    TClientRec* r = players.GetClientByID(reg.PlayerId());
    EXPECT_EQ(r->ChannelId, tmp);
    TChannelRec* c = Channel(channels, club);
    ASSERT_NE(c, nullptr);
    EXPECT_GT(c->StorageId, 0);
    EXPECT_EQ(channels.ReadChannelPrivilege(c, r), cpCA);
  });
  // He did not move into the registered channel.
  for (const TClientEvent& e : reg.TakeEvents()) {
    EXPECT_FALSE(e.Kind == cePlayerSwitched && e.ChannelId == club);
  }
}

TEST_F(ChannelCommandsTest, DestroyRefusalsAndTheOrderOfItsNotifications) {
  TQVClient& admin = StartWithAdmin();
  TQVClient& bob = Login(Request("bob"));
  Create(admin, {.name = "Top", .flags = cfHierarchical});
  const int32_t top = CreatedId(bob, "Top");
  Create(admin, {.name = "Left", .parent = top});
  const int32_t left = CreatedId(bob, "Left");
  Create(admin, {.name = "Right", .parent = top});
  const int32_t right = CreatedId(bob, "Right");

  Destroy(bob, 9999);
  EXPECT_EQ(ErrorOf(bob, CMD_cs_ChannelDestroy), -102);
  Destroy(bob, top);
  EXPECT_EQ(ErrorOf(bob, CMD_cs_ChannelDestroy), -1009);
  Destroy(admin, defaultId);  // both sit in it
  EXPECT_EQ(ErrorOf(admin, CMD_cs_ChannelDestroy), -109);

  Destroy(admin, top);
  std::vector<std::vector<uint8_t>> packets;
  for (int i = 0; i < 3; ++i) {
    packets.push_back(Expect(bob, [](const TClientEvent& e) { return e.Kind == ceChannelDestroyed; }).Raw);
  }
  for (const auto& p : packets) {
    ASSERT_EQ(p.size(), 30u);
    EXPECT_EQ(WireU16(p, 2), CMD_sc_NotifyChannelDestroyed);
    EXPECT_EQ(WireU32(p, 26), admin.PlayerId());
  }
  EXPECT_EQ((std::set<uint16_t>{WireU16(packets[0], 24), WireU16(packets[1], 24)}),
            (std::set<uint16_t>{static_cast<uint16_t>(left), static_cast<uint16_t>(right)}));
  EXPECT_EQ(WireU16(packets[2], 24), top);

  // His own channel holds him.
  Create(bob, {.name = "Den", .flags = cfUnregistered});
  const int32_t den = CreatedId(bob, "Den");
  Destroy(bob, den);
  EXPECT_EQ(ErrorOf(bob, CMD_cs_ChannelDestroy), -109);

  // A player in a sub-channel keeps the whole tree.
  Create(admin, {.name = "Tree", .flags = cfHierarchical});
  const int32_t tree = CreatedId(admin, "Tree");
  Create(admin, {.name = "Leaf", .parent = tree});
  CreatedId(admin, "Leaf");
  TClientLogin login = Request("carol");
  login.Channel = "Tree";
  login.SubChannel = "Leaf";
  Login(login);
  Destroy(admin, tree);
  EXPECT_EQ(ErrorOf(admin, CMD_cs_ChannelDestroy), -109);

  // Once the admin has moved to a channel of his own, the default is empty.
  Create(admin, {.name = "Office", .flags = cfUnregistered});
  CreatedId(admin, "Office");
  Destroy(admin, defaultId);
  EXPECT_EQ(ErrorOf(admin, CMD_cs_ChannelDestroy), -117);
  WithModel([&](TClients&, TChannels& channels) {
    EXPECT_NE(Channel(channels, tree), nullptr);
    EXPECT_NE(Channel(channels, den), nullptr);
    EXPECT_NE(Channel(channels, defaultId), nullptr);
  });
}

TEST_F(ChannelCommandsTest, PropertiesRefusalsLeaveTreeAndStorageAlone) {
  TQVClient& admin = StartWithAdmin();
  TQVClient& bob = Login(Request("bob"));
  Create(admin, {.name = "Base", .flags = cfHierarchical, .codec = 2});
  const int32_t base = CreatedId(bob, "Base");
  Create(admin, {.name = "Sub", .parent = base});
  const int32_t sub = CreatedId(bob, "Sub");

  SetProperties(admin, sub, cfPassword, 2);
  EXPECT_EQ(ErrorOf(admin, CMD_cs_ChannelChangeProperties), -123);
  SetProperties(admin, base, cfHierarchical | cfPassword, 2);
  EXPECT_EQ(ErrorOf(admin, CMD_cs_ChannelChangeProperties), -1009);
  SetProperties(bob, base, cfHierarchical, 4);
  EXPECT_EQ(ErrorOf(bob, CMD_cs_ChannelChangeProperties), -1009);
  SetProperties(admin, 9999, 0, 0);
  EXPECT_EQ(ErrorOf(admin, CMD_cs_ChannelChangeProperties), -102);
  SetProperties(admin, defaultId, 0, 0);
  EXPECT_EQ(ErrorOf(admin, CMD_cs_ChannelChangeProperties), -117);
  // Unregistering while dropping the sub-channels' flag: refused before the
  // channel leaves storage.
  SetProperties(admin, base, cfUnregistered, 2);
  EXPECT_EQ(ErrorOf(admin, CMD_cs_ChannelChangeProperties), -118);

  // A sub-channel may change its codec alone.
  SetProperties(admin, sub, 0, 7);
  TClientEvent e = Changed(bob, CMD_sc_NotifyChannelPropertiesChanged, sub);
  ASSERT_EQ(e.Raw.size(), 36u);
  EXPECT_EQ(WireU16(e.Raw, 28), 0);
  EXPECT_EQ(WireU16(e.Raw, 30), 7);
  EXPECT_EQ(WireU32(e.Raw, 32), admin.PlayerId());

  Barrier(admin);
  for (const TClientEvent& before : EventsBefore(bob)) EXPECT_FALSE(IsChannelEvent(before)) << DescribeEvent(before);
  WithModel([&](TClients&, TChannels& channels) {
    TChannelRec* b = Channel(channels, base);
    EXPECT_EQ(b->Flags, cfHierarchical);
    EXPECT_GT(b->StorageId, 0);
    EXPECT_GT(Channel(channels, sub)->StorageId, 0);
    EXPECT_EQ(Channel(channels, defaultId)->Flags & cfDefault, cfDefault);
  });
}

TEST_F(ChannelCommandsTest, EndingModerationTakesOperatorAndVoiceInTheWholeTree) {
  TQVClient& admin = StartWithAdmin();
  Create(admin, {.name = "Stage", .flags = cfModerated | cfHierarchical});
  const int32_t stage = CreatedId(admin, "Stage");
  Create(admin, {.name = "Back", .parent = stage});
  const int32_t back = CreatedId(admin, "Back");
  TClientLogin login = Request("bob");
  login.Channel = "Stage";
  const uint32_t bob = Login(login).PlayerId();
  login = Request("carol");
  login.Channel = "Stage";
  login.SubChannel = "Back";
  const uint32_t carol = Login(login).PlayerId();
  WithModel([&](TClients& players, TChannels&) {
    players.GetClientByID(bob)->ChannelPrivileges = cpOP | cpV;
    players.GetClientByID(carol)->ChannelPrivileges = cpV;
  });
  admin.TakeEvents();

  SetProperties(admin, stage, cfHierarchical, 0);
  EXPECT_EQ(WireU16(Changed(admin, CMD_sc_NotifyChannelPropertiesChanged, stage).Raw, 28), cfHierarchical);
  EXPECT_EQ(WireU16(Changed(admin, CMD_sc_NotifyChannelPropertiesChanged, back).Raw, 28), 0);
  Barrier(admin);
  std::vector<std::vector<uint8_t>> stripped;
  for (const TClientEvent& e : EventsBefore(admin)) {
    if (e.Kind == ceChannelPrivilege) stripped.push_back(e.Raw);
  }
  // Player id, action 3 (by the server), privilege index, originator 0.
  std::vector<std::tuple<uint32_t, uint8_t, uint8_t, uint32_t>> seen;
  for (const auto& p : stripped) {
    ASSERT_EQ(p.size(), 34u);
    seen.emplace_back(WireU32(p, 24), p[28], p[29], WireU32(p, 30));
  }
  EXPECT_EQ(seen, (std::vector<std::tuple<uint32_t, uint8_t, uint8_t, uint32_t>>{
                      {bob, 3, 1, 0}, {bob, 3, 2, 0}, {carol, 3, 2, 0}}));
  WithModel([&](TClients& players, TChannels&) {
    EXPECT_EQ(players.GetClientByID(bob)->ChannelPrivileges, 0);
    EXPECT_EQ(players.GetClientByID(carol)->ChannelPrivileges, 0);
  });
}

TEST_F(ChannelCommandsTest, EditsAreAnnouncedAndRegisteredChannelsSurviveARestart) {
  TQVClient& admin = StartWithAdmin();
  TQVClient& bob = Login(Request("bob"));
  const uint32_t adminId = admin.PlayerId();
  Create(admin, {.name = "Keep", .flags = cfHierarchical, .codec = 2, .order = 1, .maxUsers = 5,
                 .topic = "t", .description = "d", .password = "pw"});
  const int32_t keep = CreatedId(bob, "Keep");
  Create(admin, {.name = "Inner", .parent = keep});
  const int32_t inner = CreatedId(bob, "Inner");

  SetText(admin, CMD_cs_ChannelChangeName, keep, "Kept");
  const std::vector<uint8_t> named = Changed(bob, CMD_sc_NotifyChannelNameChanged, keep).Raw;
  ASSERT_EQ(named.size(), 37u);
  EXPECT_EQ(WireU32(named, 28), adminId);
  EXPECT_EQ(std::string(named.begin() + 32, named.end()), std::string("Kept\0", 5));
  SetText(admin, CMD_cs_ChannelChangeName, keep, "KEPT");  // the channel itself counts
  EXPECT_EQ(ErrorOf(admin, CMD_cs_ChannelChangeName), -114);
  SetText(bob, CMD_cs_ChannelChangeTopic, keep, "mine");
  EXPECT_EQ(ErrorOf(bob, CMD_cs_ChannelChangeTopic), -1009);

  SetText(admin, CMD_cs_ChannelChangeTopic, keep, "New topic");
  EXPECT_EQ(Changed(bob, CMD_sc_NotifyChannelTopicChanged, keep).Text, "New topic");
  SetText(admin, CMD_cs_ChannelChangeDescription, keep, "New description");
  EXPECT_EQ(Changed(bob, CMD_sc_NotifyChannelDescriptionChanged, keep).Text, "New description");
  SetValue(admin, CMD_cs_ChannelChangeMaxUsers, keep, 12);
  const std::vector<uint8_t> max = Changed(bob, CMD_sc_NotifyChannelMaxUsersChanged, keep).Raw;
  ASSERT_EQ(max.size(), 34u);
  EXPECT_EQ(WireU16(max, 28), 12);
  EXPECT_EQ(WireU32(max, 30), adminId);
  SetValue(admin, CMD_cs_ChannelChangeOrder, keep, 3);
  const std::vector<uint8_t> order = Changed(bob, CMD_sc_NotifyChannelOrderChanged, keep).Raw;
  ASSERT_EQ(order.size(), 34u);
  EXPECT_EQ(WireU16(order, 28), 3);

  // The password: a reply to the requester alone, flags for everybody.
  SetPassword(admin, inner, "x");
  EXPECT_EQ(ErrorOf(admin, CMD_cs_ChannelChangePassword), -120);
  SetPassword(admin, keep, "");
  const std::vector<uint8_t> reply =
      Expect(admin, [](const TClientEvent& e) { return e.CommandType == CMD_sc_ChannelChangePasswordReply; }).Raw;
  ASSERT_EQ(reply.size(), 28u);
  EXPECT_EQ(WireU32(reply, 24), static_cast<uint32_t>(keep));
  EXPECT_EQ(Changed(bob, CMD_sc_NotifyChannelPropertiesChanged, keep).Value & 0xFFFF, cfHierarchical);

  // Keep becomes the default: the former default is told first.
  SetProperties(admin, keep, cfHierarchical | cfDefault, 2);
  EXPECT_EQ(Changed(bob, CMD_sc_NotifyChannelPropertiesChanged, defaultId).Value & cfDefault, 0u);
  EXPECT_EQ(Changed(bob, CMD_sc_NotifyChannelPropertiesChanged, keep).Value & 0xFFFF, cfHierarchical | cfDefault);
  const TClientEvent maxUsers = Changed(bob, CMD_sc_NotifyChannelMaxUsersChanged, keep);
  EXPECT_EQ(maxUsers.Value, 8u);  // the server's maximum
  EXPECT_EQ(maxUsers.ActorId, 0u);

  // A registered channel made unregistered while a player keeps it alive
  // leaves storage at once; an unregistered one never enters it.
  Create(admin, {.name = "Was"});
  const int32_t was = CreatedId(bob, "Was");
  TClientLogin login = Request("carol");
  login.Channel = "Was";
  Login(login);
  SetProperties(admin, was, cfUnregistered, 0);
  EXPECT_EQ(Changed(bob, CMD_sc_NotifyChannelPropertiesChanged, was).Value & 0xFFFF, cfUnregistered);
  Create(bob, {.name = "Gone", .flags = cfUnregistered});
  CreatedId(bob, "Gone");
  WithModel([&](TClients&, TChannels& channels) { EXPECT_EQ(Channel(channels, was)->StorageId, 0); });

  RestartServer();
  TQVClient& dora = Login(Request("dora"));
  std::vector<TClientChannel> list = dora.Channels();
  std::vector<std::string> names;
  for (const auto& c : list) names.push_back(c.Name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Default", "Inner", "Kept"}));
  for (const auto& c : list) {
    if (c.Name == "Kept") {
      EXPECT_EQ(c.Flags, cfHierarchical | cfDefault);
      EXPECT_EQ(c.Codec, 2);
      EXPECT_EQ(c.Order, 3);
      EXPECT_EQ(c.Topic, "New topic");
      EXPECT_EQ(c.Description, "New description");
    } else if (c.Name == "Default") {
      EXPECT_EQ(c.Flags & cfDefault, 0);
    }
  }
}

TEST_F(ChannelCommandsTest, EditCommandsRefuseMissingChannelsAndMissingRights) {
  TQVClient& admin = StartWithAdmin();
  TQVClient& bob = Login(Request("bob"));
  Create(admin, {.name = "Hall", .topic = "t", .description = "d"});
  const int32_t hall = CreatedId(bob, "Hall");
  // Each command with a value of its own shape.
  const std::vector<std::pair<uint16_t, std::vector<uint8_t>>> commands = {
      {CMD_cs_ChannelChangePassword, Bytes().Text30("pw").data},
      {CMD_cs_ChannelChangeName, Bytes().Text("Other").data},
      {CMD_cs_ChannelChangeTopic, Bytes().Text("topic").data},
      {CMD_cs_ChannelChangeDescription, Bytes().Text("text").data},
      {CMD_cs_ChannelChangeMaxUsers, Bytes().U16(3).data},
      {CMD_cs_ChannelChangeOrder, Bytes().U16(3).data},
  };
  for (const auto& command : commands) {
    const uint16_t type = command.first;
    const std::vector<uint8_t>& value = command.second;
    auto to = [&](int32_t id) {
      std::vector<uint8_t> payload = Bytes().U32(static_cast<uint32_t>(id)).data;
      payload.insert(payload.end(), value.begin(), value.end());
      return payload;
    };
    admin.SendCommand(type, to(9999));
    EXPECT_EQ(ErrorOf(admin, type), -102) << type;
    bob.SendCommand(type, to(hall));
    EXPECT_EQ(ErrorOf(bob, type), -1009) << type;
  }
  Barrier(admin);
  for (const TClientEvent& e : EventsBefore(bob)) EXPECT_FALSE(IsChannelEvent(e)) << DescribeEvent(e);
  WithModel([&](TClients&, TChannels& channels) {
    const TChannelRec* c = Channel(channels, hall);
    EXPECT_EQ(c->Name, "Hall");
    EXPECT_EQ(c->Topic, "t");
    EXPECT_EQ(c->Description, "d");
    EXPECT_TRUE(c->Password.empty());
    EXPECT_EQ(c->MaxUsers, 10);
    EXPECT_EQ(c->Order, 0);
  });
}

TEST_F(ChannelCommandsTest, NewDefaultAndLateRegistrationAreKeptAcrossARestart) {
  TQVClient& admin = StartWithAdmin();
  TQVClient& bob = Login(Request("bob"));
  // A default channel is always registered, whatever the request says, and
  // holds the server's maximum; the former default is told first.
  Create(admin, {.name = "Main", .flags = cfUnregistered | cfDefault, .maxUsers = 3});
  const TClientEvent former = Changed(bob, CMD_sc_NotifyChannelPropertiesChanged, defaultId);
  EXPECT_EQ(WireU16(former.Raw, 28), 0);
  EXPECT_EQ(WireU32(former.Raw, 32), admin.PlayerId());
  const TClientEvent created = Expect(bob, [](const TClientEvent& e) { return e.Kind == ceChannelCreated; });
  EXPECT_EQ(WireU16(created.Raw, 32), cfDefault);
  EXPECT_EQ(WireU16(created.Raw, 42), 8);

  // An unregistered tree registered later is stored with its sub-channel.
  Create(admin, {.name = "Camp", .flags = cfUnregistered | cfHierarchical});
  const int32_t camp = CreatedId(bob, "Camp");
  Create(admin, {.name = "Tent", .flags = cfUnregistered, .parent = camp});
  const int32_t tent = CreatedId(bob, "Tent");
  SetProperties(admin, camp, cfHierarchical, 0);
  EXPECT_EQ(WireU16(Changed(bob, CMD_sc_NotifyChannelPropertiesChanged, camp).Raw, 28), cfHierarchical);
  EXPECT_EQ(WireU16(Changed(bob, CMD_sc_NotifyChannelPropertiesChanged, tent).Raw, 28), 0);

  RestartServer();
  TQVClient& dora = Login(Request("dora"));
  std::vector<std::pair<std::string, uint16_t>> flags;
  for (const auto& c : dora.Channels()) flags.emplace_back(c.Name, c.Flags);
  std::sort(flags.begin(), flags.end());
  EXPECT_EQ(flags, (std::vector<std::pair<std::string, uint16_t>>{
                       {"Camp", cfHierarchical}, {"Default", 0}, {"Main", cfDefault}, {"Tent", 0}}));
}

TEST_F(ChannelCommandsTest, TruncatedCommandsAreDroppedWithoutReply) {
  TQVClient& admin = StartWithAdmin();
  admin.SendCommand(CMD_cs_ChannelCreate, Bytes().U32(0).U16(cfUnregistered).U16(0).U16(0xFFFF).data);
  admin.SendCommand(CMD_cs_ChannelChangeProperties, Bytes().U32(defaultId).data);
  admin.SendCommand(CMD_cs_ChannelChangePassword, Bytes().U32(defaultId).U8(3).U8('a').data);
  admin.SendCommand(CMD_cs_ChannelChangeMaxUsers, Bytes().U32(defaultId).U8(1).data);
  admin.SendCommand(CMD_cs_ChannelDestroy, Bytes().U16(1).data);
  Barrier(admin);
  for (const TClientEvent& e : EventsBefore(admin)) {
    EXPECT_NE(e.Kind, ceError) << DescribeEvent(e);
    EXPECT_FALSE(IsChannelEvent(e)) << DescribeEvent(e);
  }
  WithModel([&](TClients&, TChannels& channels) {
    EXPECT_EQ(channels.Count(), 1);
    EXPECT_EQ(Channel(channels, defaultId)->MaxUsers, 8);
    EXPECT_TRUE(Channel(channels, defaultId)->Password.empty());
  });
}

}  // namespace
}  // namespace qv
