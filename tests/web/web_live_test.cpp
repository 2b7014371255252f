// The live server page and its moderation actions, over HTTP against an
// in-process web interface on a running server whose players are protocol
// clients: the page shows what the clients see, hostile texts arrive
// escaped, every action is refused without its right and runs with it, and a
// request from another site or by GET changes nothing.
#include <regex>

#include "support/live_server.h"
#include "web/web_fixture.h"
#include "web/web_interface.h"

namespace qv {
namespace {

using test::WaitUntil;
using webtest::TBrowser;

// What a test's page shows: the live view, the bans, the form choices.
const std::pair<const char*, const char*> kLiveDocs[] = {
    {"live.html", "%!LIVE_VIEW!%"},
    {"bans.html", "%!LIVE_BANS!%"},
    {"options.html", "%!LIVE_PLAYER_OPTIONS!%|%!LIVE_CHANNEL_OPTIONS!%"},
    {"error_box.html", "ERROR[%%ERROR_TEXT%%]"},
    {"ok_box.html", "OK[%%OK_TEXT%%]"},
    {"login.html", "LOGIN PAGE"},
};

// Channel ids in page order, each with the player ids shown in it.
using TShown = std::vector<std::pair<int32_t, std::vector<uint32_t>>>;
TShown Shown(const std::string& page) {
  TShown shown;
  static const std::regex kItem("data-(channel|player)=\"(\\d+)\"");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), kItem); it != std::sregex_iterator(); ++it) {
    const int64_t id = std::stoll((*it)[2]);
    if ((*it)[1] == "channel")
      shown.push_back({static_cast<int32_t>(id), {}});
    else if (!shown.empty())
      shown.back().second.push_back(static_cast<uint32_t>(id));
  }
  return shown;
}

class WebLiveTest : public test::LiveServerTest {
 protected:
  void SetUp() override {
    TPermissionTable table{};
    table[ugSA].set();
    table[ugRegisterred].set(upAccessWebAdminServer);
    storedPermissions = table;
    StartServer();
    AddAccount("admin", "pw", spSA);
    AddAccount("user", "pw");
    std::filesystem::create_directories(dir.File("docs"));
    for (const auto& [name, text] : kLiveDocs) test::WriteFile(dir.File(std::string("docs/") + name), text);
    httpPort = test::FreePort(SOCK_STREAM);
    web = std::make_unique<TWebInterface>(db.Scripts(), &registry);
    ASSERT_TRUE(web->Start(httpPort, dir.File("docs"), "127.0.0.1"));
  }
  void TearDown() override { web->Stop(); }

  TBrowser Browser(const std::string& account) {
    TBrowser b(httpPort);
    EXPECT_TRUE(b.LogIn(account, "pw", std::to_string(port))) << account;
    return b;
  }
  // The account "user" with exactly these rights besides the web login.
  TBrowser UserWith(const std::vector<TUserPermissions>& rights) {
    TPermissionSet set;
    set.set(upAccessWebAdminServer);
    for (TUserPermissions r : rights) set.set(r);
    SaveGroupPermissions(db.Scripts(), serverId, UserGroupName(ugRegisterred), set);
    return Browser("user");
  }
  // The channel ids, in the order the tree is shown, and who sits in each, as
  // a client sees it: top-level channels by order and name, sub-channels after
  // their parent.
  static TShown AsSeenBy(const TQVClient& c) {
    std::vector<TClientChannel> channels = c.Channels();
    auto key = [](const TClientChannel& x) { return std::tie(x.Order, x.Name, x.Id); };
    std::sort(channels.begin(), channels.end(), [&](const auto& a, const auto& b) { return key(a) < key(b); });
    TShown shown;
    auto add = [&](const TClientChannel& ch) {
      std::vector<uint32_t> ids;
      for (const TClientPlayer& p : c.Players())
        if (p.ChannelId == ch.Id) ids.push_back(p.PlayerId);
      std::sort(ids.begin(), ids.end());
      shown.push_back({ch.Id, ids});
    };
    for (const TClientChannel& top : channels) {
      if (top.ParentId != -1) continue;
      add(top);
      for (const TClientChannel& sub : channels)
        if (sub.ParentId == top.Id) add(sub);
    }
    return shown;
  }
  static TShown Sorted(TShown shown) {
    for (auto& [id, players] : shown) std::sort(players.begin(), players.end());
    return shown;
  }

  int httpPort = 0;
  std::unique_ptr<TWebInterface> web;
};

TEST_F(WebLiveTest, PageShowsWhatTheClientsSeeWhilePlayersJoinMoveAndLeave) {
  const int32_t zeta = AddChannel("Zeta", cfHierarchical);
  const int32_t alpha = AddChannel("Alpha", cfModerated, -1, 4);
  // Its order puts Alpha after Zeta, whatever the names say.
  WithModel([&](TClients&, TChannels& channels) { channels.GetChannelById(alpha)->Order = 5; });
  const int32_t sub = AddChannel("Under Zeta", 0, zeta);
  TQVClient& observer = Login("observer");
  TBrowser admin = Browser("admin");
  TQVClient& alice = Login("alice", "Alpha");
  TQVClient& bob = Login(AccountRequest("bob", "user", "pw"));
  const int32_t lobby = DefaultChannel();
  auto page = [&] { return admin.Page("/live.html"); };
  struct Step {
    const char* what;
    std::function<void()> act;
    std::vector<std::pair<const TQVClient*, int32_t>> where;  // every player and his channel
  } steps[] = {
      {"joined", [] {}, {{&observer, lobby}, {&alice, alpha}, {&bob, lobby}}},
      {"moved",
       [&] { EXPECT_EQ(server->MoveClientToChannel(sub, static_cast<int32_t>(bob.PlayerId())), 0); },
       {{&observer, lobby}, {&alice, alpha}, {&bob, sub}}},
      {"left", [&] { alice.Quit(); }, {{&observer, lobby}, {&bob, sub}}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.act();
    // The page reads the server; the observer's view follows its notifications.
    EXPECT_TRUE(WaitUntil([&] { return Sorted(Shown(page())) == AsSeenBy(observer); })) << page();
    std::vector<std::pair<uint32_t, int32_t>> expected, shown;
    for (const auto& [client, channel] : step.where) expected.push_back({client->PlayerId(), channel});
    for (const auto& [channel, players] : Shown(page()))
      for (uint32_t id : players) shown.push_back({id, channel});
    std::sort(expected.begin(), expected.end());
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(shown, expected);
  }
  // What the rows carry: the account of a registered player, counts against
  // the maximum, and addresses only for admins.
  const std::string shown = page();
  EXPECT_TRUE(
      test::Has(shown, "<td class=\"name\" data-label=\"Nick name\">bob</td><td data-label=\"Account\">user</td>"))
      << shown;
  EXPECT_TRUE(test::Has(shown, "<span class=\"lv-count\">0 / 4</span>")) << shown;  // Alpha, alice gone
  EXPECT_TRUE(test::Has(shown, "<td data-label=\"Address\">127.0.0.1</td>")) << shown;
  EXPECT_FALSE(test::Has(Browser("user").Page("/live.html"), "127.0.0.1"));
  EXPECT_TRUE(test::Has(admin.Page("/options.html"), "<option value=\"" + std::to_string(alpha) + "\">Alpha</option>"));
}

TEST_F(WebLiveTest, HostileNickAndTopicAreEscaped) {
  const std::string hostile = "<b>\"'&x";
  const int32_t channel = AddChannel("Plain");
  WithModel([&](TClients&, TChannels& channels) { channels.GetChannelById(channel)->Topic = hostile; });
  Login(hostile);
  TBrowser admin = Browser("admin");
  for (const char* doc : {"/live.html", "/options.html"}) {
    const std::string page = admin.Page(doc);
    EXPECT_FALSE(test::Has(page, hostile)) << page;
    EXPECT_TRUE(test::Has(page, "&lt;b&gt;&quot;&#39;&amp;x")) << page;
  }
}

// Each action refused without its right (the account's group lacks it) and
// admitted with it: the box then carries the moderation's result, never the
// refusal; only the admitted one is audited.
TEST_F(WebLiveTest, EachActionNeedsItsRight) {
  const int32_t room = AddChannel("Room");
  TQVClient& target = Login("target");
  const std::string player = std::to_string(target.PlayerId());
  const std::string channel = std::to_string(room);
  struct Case {
    const char* action;
    httplib::Params form;
    std::vector<TUserPermissions> rights;
  } cases[] = {
      {"kick_channel", {{"player", "999"}}, {upKickPlayerFromChannel}},
      {"kick_server", {{"player", "999"}, {"reason", "bye"}}, {upKickPlayerFromServer}},
      {"move_player", {{"player", player}, {"channel", "999"}}, {upAdminMovePlayer}},
      {"ban_player", {{"player", "999"}, {"minutes", "5"}}, {upAdminBanIp}},
      {"unban", {{"address", "10.9.9.9"}}, {upAdminBanIp}},
      {"send_text", {{"to", "all"}, {"text", "hi"}}, {upSendTextToAll}},
      {"send_text", {{"to", "player"}, {"player", player}, {"text", "hi"}}, {upSendTextToPlayer}},
      {"send_text", {{"to", "channel"}, {"channel", channel}, {"text", "hi"}}, {upSendTextToAllChannel}},
      {"channel_create", {{"name", "New"}}, {upChannelCreateRegisterred}},
      {"channel_create",
       {{"name", "Sub"}, {"parent", channel}},
       {upChannelCreateRegisterred, upChannelCreateSubchannels}},
      {"channel_create", {{"name", "Mod"}, {"moderated", "1"}}, {upChannelCreateRegisterred, upChannelCreateModerated}},
      {"channel_edit", {{"channel", channel}, {"topic", "t"}}, {upChannelEditTopic}},
      {"channel_edit",
       {{"channel", channel}, {"name", "Renamed"}, {"maxusers", "3"}},
       {upChannelEditName, upChannelEditMaxUsers}},
      {"channel_edit", {{"channel", channel}, {"moderated", "1"}}, {upChannelCreateModerated}},
      {"channel_delete", {{"channel", "999"}}, {upChannelDelete}},
      {"player_privilege", {{"player", "999"}, {"privilege", "sa"}, {"grant", "1"}}, {upPrivilegeGrantSA}},
      {"player_privilege", {{"player", "999"}, {"privilege", "op"}, {"grant", "0"}}, {upPrivilegeRevokeOp}},
      {"player_privilege", {{"player", "999"}, {"privilege", "v"}, {"grant", "1"}}, {upPrivilegeGrantV}},
  };
  const std::string refused = "error_box.html?error_title=error occured&error_text=invalid permissions";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action + (" " + c.form.begin()->second));
    const std::string path = std::string("/") + c.action + ".qvcmd";
    for (size_t missing = 0; missing < c.rights.size(); ++missing) {
      std::vector<TUserPermissions> fewer = c.rights;
      fewer.erase(fewer.begin() + static_cast<long>(missing));
      EXPECT_EQ(UserWith(fewer).Action(path, c.form).rfind(refused, 0), 0u);
    }
    const size_t audited = log.MessagesStartingWith("admin change [interface: web").size();
    const std::string admitted = UserWith(c.rights).Action(path, c.form);
    EXPECT_NE(admitted.rfind(refused, 0), 0u) << admitted;
    EXPECT_EQ(log.MessagesStartingWith("admin change [interface: web").size(),
              audited + (admitted.rfind("ok", 0) == 0));
  }
}

// Each action as the other players' clients see it, and its OK box.
TEST_F(WebLiveTest, ActionsReachTheClients) {
  const int32_t room = AddChannel("Room", cfHierarchical);
  TQVClient& observer = Login("observer");
  TQVClient& target = Login("target");
  TBrowser admin = Browser("admin");
  const std::string player = std::to_string(target.PlayerId());
  auto channelNamed = [&](const std::string& name) -> std::optional<TClientChannel> {
    for (const TClientChannel& c : observer.Channels())
      if (c.Name == name) return c;
    return std::nullopt;
  };
  auto seen = [&]() { return observer.FindPlayer(target.PlayerId()); };
  // The client keeps no privileges or channel texts: their notifications count.
  auto notified = [&](uint16_t type) {
    return observer.WaitFor([type](const TClientEvent& e) { return e.CommandType == type; }, test::kWaitMs).has_value();
  };
  struct Case {
    const char* action;
    httplib::Params form;
    std::function<bool()> visible;
  } cases[] = {
      {"move_player",
       {{"player", player}, {"channel", std::to_string(room)}},
       [&] { return seen() && seen()->ChannelId == room; }},
      {"player_privilege",
       {{"player", player}, {"privilege", "sa"}, {"grant", "1"}},
       [&] { return notified(CMD_sc_NotifyPlayerPrivilegesChanged); }},
      {"channel_create",
       {{"name", "Made"}, {"parent", std::to_string(room)}},
       [&] { return channelNamed("Made") && channelNamed("Made")->ParentId == room; }},
      {"channel_edit",
       {{"channel", std::to_string(room)}, {"topic", "Fresh"}, {"maxusers", "7"}},
       [&] { return notified(CMD_sc_NotifyChannelTopicChanged) && notified(CMD_sc_NotifyChannelMaxUsersChanged); }},
      {"kick_channel", {{"player", player}}, [&] { return seen() && seen()->ChannelId == DefaultChannel(); }},
      {"kick_server", {{"player", player}, {"reason", "bye"}}, [&] { return !seen(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    EXPECT_EQ(admin.Action(std::string("/") + c.action + ".qvcmd", c.form).rfind("ok_box.html", 0), 0u);
    EXPECT_TRUE(WaitUntil(c.visible));
  }
  // The made channel goes with the delete; a ban is listed until lifted.
  const int32_t made = channelNamed("Made")->Id;
  EXPECT_EQ(admin.Action("/channel_delete.qvcmd", {{"channel", std::to_string(made)}}).rfind("ok_box.html", 0), 0u);
  EXPECT_TRUE(WaitUntil([&] { return !channelNamed("Made"); }));
  EXPECT_EQ(admin.Action("/ban_player.qvcmd", {{"player", std::to_string(observer.PlayerId())}, {"minutes", "5"}})
                .rfind("ok_box.html", 0),
            0u);
  EXPECT_TRUE(test::Has(admin.Page("/bans.html"), "<td>127.0.0.1</td><td>admin</td>"));
  EXPECT_EQ(admin.Action("/unban.qvcmd", {{"address", "127.0.0.1"}}).rfind("ok_box.html", 0), 0u);
  EXPECT_FALSE(test::Has(admin.Page("/bans.html"), "127.0.0.1"));
}

// A moderation action from another site, without any origin, or by GET
// changes nothing.
TEST_F(WebLiveTest, ForeignOriginsAndGetsChangeNothing) {
  TQVClient& target = Login("target");
  TBrowser admin = Browser("admin");
  const std::string kick = "/kick_server.qvcmd";
  const httplib::Params form{{"player", std::to_string(target.PlayerId())}};
  struct Case {
    const char* what;
    std::function<int()> send;
    int status;
  } cases[] = {
      {"foreign origin",
       [&] {
         return admin.Post(kick, form, {{"Origin", "http://evil.example"}})->status;
       },
       403},
      {"foreign referer",
       [&] {
         return admin.Post(kick, form, {{"Referer", "http://evil.example/x"}})->status;
       },
       403},
      {"no origin", [&] { return admin.Post(kick, form)->status; }, 403},
      {"get",
       [&] {
         const std::string own = "http://" + admin.Host() + "/live.html";
         return admin.Get(kick + "?player=" + std::to_string(target.PlayerId()), {{"Referer", own}})->status;
       },
       405},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.send(), c.status);
    Sync(target);
    EXPECT_TRUE(Record(target.PlayerId()).has_value());
  }
}

}  // namespace
}  // namespace qv
