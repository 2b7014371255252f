// Logins and logouts over loopback: a virtual server with its protocol
// threads runs in this process on a free port, with its own SQLite file and
// log, and protocol clients log in to it. Replies are checked in the bytes
// the clients received.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "base/login_audit.h"
#include "base/password_check_pool.h"
#include "base/password_hash.h"
#include "model/process_settings.h"
#include "protocol/command_types.h"
#include "protocol/udp_socket.h"
#include "support/check_gate.h"
#include "support/live_server.h"
#include "voice/voice_runtime.h"

namespace qv {
namespace {

using test::kWaitMs;
using test::WaitUntil;
using test::WireU16;
using test::WireU32;

// The process's login-failure limits changed for one test.
struct TFailureLimitsFor {
  explicit TFailureLimitsFor(int failures) {
    TProcessSettings limited = saved;
    limited.LoginFailureLimits.Failures = failures;
    SetSettings(limited);
  }
  ~TFailureLimitsFor() { SetSettings(saved); }
  TFailureLimits Limits() const { return GetSettings().LoginFailureLimits; }
  TProcessSettings saved = GetSettings();
};

class LoginTest : public test::LiveServerTest {
 protected:
  LoginTest() { defaults.Name = "Test Server"; }

  void PrepareServer(TServerObject& object) override {
    object.AccessLog = true;
    object.IsBadName = [](std::string_view nick) { return nick == "server"; };
  }
};

TEST_F(LoginTest, VersionCheckAndTheRepliesOfBothVerdicts) {
  StartServer();
  TClientLogin old = Request("old");
  old.ClientVersion = {2, 0, 27, 39};
  TQVClient& refused = Attempt(old);
  TLoginReply reply = refused.LoginReply();
  EXPECT_EQ(reply.Result, -5);
  // A refusal carries only the result and the ids.
  EXPECT_GT(reply.PlayerId, 0u);
  EXPECT_GT(reply.ConnectionId, 0u);
  EXPECT_EQ(reply.ServerName, "");
  EXPECT_EQ(reply.MaxPlayers, 0u);
  EXPECT_EQ(reply.CodecMask, 0u);

  TClientLogin release28 = Request("release28");
  release28.ClientVersion = {2, 0, 28, 0};
  EXPECT_EQ(Result(release28), 1);
  TClientLogin build40 = Request("build40");
  build40.ClientVersion = {2, 0, 0, 40};
  TQVClient& accepted = Attempt(build40);
  reply = accepted.LoginReply();
  EXPECT_EQ(reply.Result, 1);
  EXPECT_EQ(reply.ServerName, "Test Server");
  EXPECT_EQ(reply.MaxPlayers, 8u);
  EXPECT_EQ(reply.ServerFlags, server->Settings().ServerFlags);
  EXPECT_EQ(reply.CodecMask, server->Settings().CodecMask());
  // Permission table: group n's byte k holds permissions 8k..8k+7.
  const TPermissionTable table = server->Settings().Permissions;
  for (int group = 0; group < kUserGroupCount; ++group) {
    for (int n = 0; n < kUserPermissionCount; ++n) {
      bool bit = (reply.Permissions[group * 11 + n / 8] >> (n % 8)) & 1;
      ASSERT_EQ(bit, table[group][n]) << "group " << group << " permission " << n;
    }
  }

  EXPECT_EQ(log.MessagesStartingWith("SID: " + std::to_string(serverId) +
                                     " client disconnected, reason Client Version not supported "
                                     "[IP: 127.0.0.1, Nick: , LoginName: , Version: 2.0.27.39]")
                .size(),
            1u);
  EXPECT_EQ(log.MessagesStartingWith("SID: " + std::to_string(serverId) +
                                     " client connected [IP: 127.0.0.1, Nick: build40, LoginName: , "
                                     "Version: 2.0.0.40]")
                .size(),
            1u);
}

TEST_F(LoginTest, ServerPasswordAnonymousAndRegistered) {
  StartServer([](TServerSettings& s) { s.Password = "secret"; });
  AddAccount("alice", "alicepw", spSA | spAllowRegistration);

  TClientLogin anonymous = Request("anon");
  anonymous.Password = "wrong";
  EXPECT_EQ(Result(anonymous), -1);
  anonymous.Password = "secret";
  EXPECT_EQ(Result(anonymous), 1);

  // An account gets in without the server password unless it asks to be checked.
  TClientLogin registered = Request("alice");
  registered.LoginName = "alice";
  registered.Password = "alicepw";
  registered.ServerPasswordFlag = true;
  EXPECT_EQ(Result(registered), -1);
  registered.ServerPasswordFlag = false;
  TQVClient& alice = Attempt(registered);
  ASSERT_TRUE(alice.LoggedIn());
  auto self = alice.FindPlayer(alice.PlayerId());
  ASSERT_TRUE(self.has_value());
  EXPECT_EQ(self->PlayerPrivileges, spSA | spRegistered);  // registration right dropped

  // The same account a second time.
  registered.NickName = "alice2";
  EXPECT_EQ(Result(registered), -7);
}

// Every refusal names its real reason in the refused-login line (which an
// intrusion filter reads) and is counted under it, while the client hears
// only the protocol's code; the access-log line keeps the code's reason.
// Wrong passwords and unknown accounts lock the address out at the limit.
TEST_F(LoginTest, EveryRefusalNamesItsReason) {
  StartServer([](TServerSettings& s) { s.MaxUsers = 3; });
  AddAccount("bob", "bobpw");
  const TFailureLimitsFor limits(4);
  ASSERT_EQ(Result(AccountRequest("bob", "bob", "bobpw")), 1);
  TClientLogin old = Request("old");
  old.ClientVersion = {2, 0, 27, 39};
  TClientLogin guess = Request("anon");
  guess.Password = "guess";
  TClientLogin right = Request("anon");
  right.Password = "secret";
  struct {
    const char* what;
    std::function<void()> before;
    TClientLogin login;
    int code;
    TLoginOutcome outcome;
  } cases[] = {
      {"wrong account password", {}, AccountRequest("b", "bob", "nope"), -21, loWrongPassword},
      {"unknown account", {}, AccountRequest("n", "nobody", "x"), -21, loUnknownAccount},
      {"account logged in", {}, AccountRequest("b2", "bob", "bobpw"), -7, loLoginNameInUse},
      {"old version", {}, old, -5, loVersionNotSupported},
      {"nick in use", {}, Request("bob"), -4, loNickNameInUse},
      {"forbidden nick", {}, Request("server"), -1, loBadName},
      {"full", [&] { Login(Request("two")); Login(Request("three")); }, Request("four"), -2, loServerFull},
      {"wrong server password", [&] { server->ChangeSettings([](TServerSettings& s) { s.MaxUsers = 9; s.Password = "secret"; }); },
       guess, -1, loWrongPassword},
      {"the guess that locks", {}, guess, -1, loWrongPassword},
      {"locked out", {}, right, -1, loLockedOut},
      {"banned", [&] {
         db.Storage().SetStatement("INSERT INTO qv2_bans (i_server_id, s_ban_ip, s_ban_by) VALUES (" +
                                   std::to_string(serverId) + ", '127.0.*', 'test')");
         ASSERT_TRUE(db.Storage().ExecSQL());
         server->ReloadBans();
       }, right, -6, loBanned},
  };
  // Each case in a second of its own: refused-login lines are limited per second.
  std::atomic<int64_t> nowMs = 0;
  GetLog()->SetRepeatClock([&nowMs] { return nowMs.load(); });
  for (const auto& c : cases) {
    nowMs += 1000;
    if (c.before) c.before();
    const uint64_t counted = LoginCount(liVoice, c.outcome);
    EXPECT_EQ(Result(c.login), c.code) << c.what;
    const std::string line = "login refused [interface: voice, reason: " + std::string(LoginOutcomeText(c.outcome)) +
                             ", IP: 127.0.0.1, LoginName: " + c.login.LoginName + "]";
    const auto refused = log.MessagesStartingWith("login refused [");
    EXPECT_TRUE(!refused.empty() && refused.back() == line) << c.what << ": " << (refused.empty() ? "" : refused.back());
    EXPECT_EQ(LoginCount(liVoice, c.outcome), counted + 1) << c.what;
  }
  GetLog()->SetRepeatClock({});
  EXPECT_EQ(log.MessagesStartingWith("login lock-out [interface: voice, IP: 127.0.0.1, failures: 4, minutes: 10]").size(), 1u);
  EXPECT_EQ(log.MessagesStartingWith("SID: " + std::to_string(serverId) +
                                     " client disconnected, reason Bad LoginName or password [IP: 127.0.0.1, Nick: n, "
                                     "LoginName: nobody,").size(),
            1u);
}

TEST_F(LoginTest, NickNameRules) {
  StartServer();
  EXPECT_EQ(Result(Request("")), -1);
  EXPECT_EQ(Result(Request("   ")), -1);
  EXPECT_EQ(Result(Request(" Server ")), -1);  // forbidden, trimmed and lower-cased
  EXPECT_EQ(Result(Request("Guest1")), 1);
  EXPECT_EQ(Result(Request("Guest1")), -4);

  TClientLogin unique = Request("");
  unique.UniqueNick = true;
  TQVClient& guest = Attempt(unique);
  ASSERT_TRUE(guest.LoggedIn());
  EXPECT_EQ(guest.FindPlayer(guest.PlayerId())->NickName, "Guest2");
  unique.NickName = "Guest1";
  TQVClient& numbered = Attempt(unique);
  ASSERT_TRUE(numbered.LoggedIn());
  EXPECT_EQ(numbered.FindPlayer(numbered.PlayerId())->NickName, "Guest11");
  // A 29-character nick in use has no room for a number.
  const std::string longNick(29, 'x');
  EXPECT_EQ(Result(Request(longNick)), 1);
  unique.NickName = longNick;
  TQVClient& cut = Attempt(unique);
  ASSERT_TRUE(cut.LoggedIn());
  EXPECT_EQ(cut.FindPlayer(cut.PlayerId())->NickName, "Guest3");
}

TEST_F(LoginTest, NickNameInUseOutranksServerFull) {
  StartServer([](TServerSettings& s) { s.MaxUsers = 2; });
  EXPECT_EQ(Result(Request("one")), 1);
  EXPECT_EQ(Result(Request("two")), 1);
  EXPECT_EQ(Result(Request("three")), -2);
  EXPECT_EQ(Result(Request("two")), -4);
  EXPECT_TRUE(log.MessagesStartingWith("SID: " + std::to_string(serverId) + " client disconnected, reason").empty());
}

TEST_F(LoginTest, BannedAddressIsRefused) {
  StartServer();
  db.Storage().SetStatement("INSERT INTO qv2_bans (i_server_id, s_ban_ip, s_ban_by) VALUES (" +
                            std::to_string(serverId) + ", '127.0.*', 'test')");
  ASSERT_TRUE(db.Storage().ExecSQL());
  server->ReloadBans();
  EXPECT_EQ(Result(Request("intruder")), -6);
  EXPECT_EQ(log.MessagesStartingWith("SID: " + std::to_string(serverId) +
                                     " client disconnected, reason Client is banned [IP: 127.0.0.1, "
                                     "Nick: intruder, LoginName: , Version: 2.0.32.60]")
                .size(),
            1u);
}

TEST_F(LoginTest, TwentyFivePlayersArriveInListsOfTenTenAndFive) {
  StartServer([](TServerSettings& s) { s.MaxUsers = 30; });
  for (int i = 1; i < 25; ++i) ASSERT_EQ(Result(Request("p" + std::to_string(i))), 1) << i;
  TQVClient& last = Attempt(Request("p25"));
  ASSERT_TRUE(last.LoggedIn());
  std::vector<uint32_t> counts;
  std::vector<uint32_t> ids;
  while (auto list = last.WaitFor(cePlayerList, 0)) {
    ASSERT_EQ(list->Raw.size(), 468u);
    ASSERT_EQ(WireU16(list->Raw, 2), CMD_sc_LoginStep5);
    counts.push_back(WireU32(list->Raw, 24));
    for (uint32_t i = 0; i < counts.back(); ++i) ids.push_back(WireU32(list->Raw, 28 + 44 * i));
  }
  EXPECT_EQ(counts, (std::vector<uint32_t>{10, 10, 5}));
  ASSERT_EQ(ids.size(), 25u);
  for (uint32_t id = 1; id <= 25; ++id) EXPECT_EQ(ids[id - 1], id);  // list order, himself last
  EXPECT_EQ(last.Players().size(), 25u);

  // The first player heard of him once: a 68-byte entry with his id and nick.
  const uint32_t lastId = last.PlayerId();
  auto isHim = [lastId](const TClientEvent& e) { return e.Kind == cePlayerEntered && e.PlayerId == lastId; };
  auto entered = clients[0]->WaitFor(isHim, kWaitMs);
  ASSERT_TRUE(entered.has_value());
  ASSERT_EQ(entered->Raw.size(), 68u);
  EXPECT_EQ(WireU16(entered->Raw, 2), CMD_sc_NotifyPlayerEnteredScope);
  EXPECT_EQ(WireU32(entered->Raw, 24), lastId);
  EXPECT_EQ(entered->Raw[24 + 14], 3);  // nick length, then "p25"
  EXPECT_EQ(std::string(entered->Raw.begin() + 24 + 15, entered->Raw.begin() + 24 + 18), "p25");
  EXPECT_FALSE(clients[0]->WaitFor(isHim, 0).has_value());
}

TEST_F(LoginTest, QuitReachesOthersOnceAndIdsStartAgainWhenEmpty) {
  StartServer();
  TQVClient& alice = Attempt(Request("alice"));
  TQVClient& bob = Attempt(Request("bob"));
  ASSERT_TRUE(alice.LoggedIn());
  ASSERT_TRUE(bob.LoggedIn());
  const uint32_t bobId = bob.PlayerId();
  EXPECT_EQ(alice.PlayerId(), 1u);
  EXPECT_EQ(bobId, 2u);
  EXPECT_TRUE(bob.Quit(kWaitMs));  // his own farewell arrived
  // Once the server has removed him, a newcomer's arrival reaches alice after
  // anything the removal could have sent her.
  ASSERT_TRUE(WaitUntil([&] { return TVoiceRuntime::Of(*server)->Buffer().ConnectionCount() == 1; }));
  TQVClient& probe = Attempt(Request("probe"));
  const uint32_t probeId = probe.PlayerId();
  ASSERT_TRUE(alice.WaitFor([probeId](const TClientEvent& e) {
    return e.Kind == cePlayerEntered && e.PlayerId == probeId;
  }, kWaitMs));
  int left = 0;
  for (const auto& e : alice.TakeEvents()) {
    if (e.Kind != cePlayerLeft) continue;
    ++left;
    ASSERT_EQ(e.Raw.size(), 64u);
    EXPECT_EQ(WireU32(e.Raw, 24), bobId);
    EXPECT_EQ(WireU16(e.Raw, 28), 1);   // left the server
    EXPECT_EQ(WireU32(e.Raw, 30), 0u);  // nobody acted
    EXPECT_EQ(e.Raw[34], 0);        // no reason text
  }
  EXPECT_EQ(left, 1);
  EXPECT_FALSE(alice.FindPlayer(bobId).has_value());

  EXPECT_TRUE(alice.Quit(kWaitMs));
  EXPECT_TRUE(probe.Quit(kWaitMs));
  ASSERT_TRUE(WaitUntil([&] { return TVoiceRuntime::Of(*server)->Buffer().ConnectionCount() == 0; }));
  TQVClient& carol = Attempt(Request("carol"));
  ASSERT_TRUE(carol.LoggedIn());
  EXPECT_EQ(carol.PlayerId(), 1u);
}

TEST_F(LoginTest, ChannelChoiceFallsBackToTheDefaultChannel) {
  StartServer();
  // The listener has loaded the tree; add channels under its locks.
  int32_t lobby = 0, locked = 0, sub = 0;
  {
    std::lock_guard<TClients> players(*server->Clients);
    std::lock_guard<TChannels> channels(*server->Channels);
    auto make = [&](const std::string& name, int32_t parent, uint16_t flags, const std::string& password) {
      auto c = NewChannel();
      c->Name = name;
      c->ParentId = parent;
      c->Flags = flags;
      c->Password = password;
      c->MaxUsers = 10;
      return server->Channels->AddChannel(std::move(c));
    };
    lobby = make("Lobby", -1, cfHierarchical, "");
    locked = make("Locked", -1, cfHierarchical | cfPassword, "key");
    sub = make("Inner", locked, 0, "");
  }
  ASSERT_GT(lobby, 0);
  ASSERT_GT(sub, 0);
  auto channelOf = [](TQVClient& c) { return c.FindPlayer(c.PlayerId())->ChannelId; };
  int32_t home = 0;
  {
    std::lock_guard<TChannels> channels(*server->Channels);
    home = server->Channels->GetDefaultChannel();
  }

  TClientLogin login = Request("a");
  login.Channel = "lobby";  // names compare ignoring case
  TQVClient& a = Attempt(login);
  EXPECT_EQ(channelOf(a), lobby);

  login = Request("b");
  login.Channel = "Locked";
  login.SubChannel = "Inner";
  login.ChannelPassword = "wrong";
  TQVClient& b = Attempt(login);
  EXPECT_EQ(channelOf(b), home);  // the parent's password guards the sub-channel

  login = Request("c");
  login.Channel = "Locked";
  login.SubChannel = "Inner";
  login.ChannelPassword = "key";
  TQVClient& c = Attempt(login);
  EXPECT_EQ(channelOf(c), sub);

  login = Request("d");
  login.Channel = "Nowhere";
  TQVClient& d = Attempt(login);
  EXPECT_EQ(channelOf(d), home);
  EXPECT_EQ(d.Channels().size(), 4u);
}

TEST_F(LoginTest, Step3FlagEndsTheLogin) {
  StartServer();
  TClientLogin login = Request("flagged");
  login.Step3Flag = true;
  login.TimeoutMs = 1500;
  int result = 0;
  TQVClient& flagged = Attempt(login, &result);
  EXPECT_EQ(result, peConnectionTimedOut);
  EXPECT_TRUE(WaitUntil([&] { return TVoiceRuntime::Of(*server)->Buffer().ConnectionCount() == 0; }));
  EXPECT_TRUE(flagged.Players().empty());
}

TEST_F(LoginTest, ExternalLoginAddsAPlayerWithoutNetworkPeer) {
  StartServer();
  TQVClient& watcher = Attempt(Request("watcher"));
  ASSERT_TRUE(watcher.LoggedIn());
  int32_t home = 0;
  {
    std::lock_guard<TChannels> channels(*server->Channels);
    home = server->Channels->GetDefaultChannel();
  }
  TExternalCommand command;
  command.CommandType = ecAddClient;
  command.Argument1 = home;
  command.Argument2 = 50;
  EXPECT_EQ(server->ExecuteExternalCommand(command, kWaitMs), 1);
  EXPECT_EQ(server->ExecuteExternalCommand(command, kWaitMs), -116);  // the id is taken
  command.Argument2 = 0;
  EXPECT_EQ(server->ExecuteExternalCommand(command, kWaitMs), -107);
  command.Argument1 = 999;
  command.Argument2 = 51;
  EXPECT_EQ(server->ExecuteExternalCommand(command, kWaitMs), -102);
  {
    std::lock_guard<TClients> players(*server->Clients);
    const TClientRec* added = server->Clients->GetClientByID(50);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->NickName.str(), "Guest1");
    EXPECT_EQ(added->ChannelId, home);
    EXPECT_EQ(server->Clients->GetClientByID(51), nullptr);
  }
  // Its reply went nowhere: the sender drops datagrams without address.
  EXPECT_TRUE(WaitUntil([&] { return TVoiceRuntime::Of(*server)->Sender().DroppedNoAddress() >= 1; }));
}

// A login request from a socket of its own, outside the client's transport:
// every verdict that reaches its address is kept, in order.
class TRawLogin {
 public:
  explicit TRawLogin(TClientLogin login) : login_(std::move(login)) {
    socket_.Open(0, "127.0.0.1");
    socket_.Start([this](const uint8_t* data, size_t size, const std::string& ip, uint16_t port) {
      const TPacket packet(data, size, ip, port);
      if (!packet.IsControl() || packet.CommandType() != CMD_sc_LoginStep2) return;
      std::lock_guard<std::mutex> guard(mutex_);
      verdicts_.push_back(ParseLoginReply(packet).Result);
      changed_.notify_all();
    });
  }
  ~TRawLogin() { socket_.Close(); }
  void Send() {
    TPacketPtr request = BuildLoginRequest(login_);
    request->SetPeer(login_.ServerIp, login_.ServerPort);
    request->SetChecksum();
    socket_.SendPacket(*request);
  }
  // The verdicts so far, once there is one (none when none came in time).
  std::vector<int32_t> Verdicts() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs), [this] { return !verdicts_.empty(); });
    return verdicts_;
  }

 private:
  const TClientLogin login_;
  TUDPSocket socket_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int32_t> verdicts_;
};

// The server's account checks run on a pool of one worker with one place in
// its queue, and every check waits at a gate until the test opens it.
class SlowAccountCheckTest : public LoginTest {
 protected:
  ~SlowAccountCheckTest() override { gate->Open(); }

  void PrepareServer(TServerObject& object) override {
    LoginTest::PrepareServer(object);
    object.PasswordChecks = pool;
  }

  // Sends running's request, whose check then waits at the gate, and
  // queued's, which waits for the worker: the pool is full once watcher's
  // command (handled after both) is answered.
  void FillPool(TRawLogin& running, TRawLogin& queued, TQVClient& watcher) {
    running.Send();
    gate->AwaitWaiting(1);
    queued.Send();
    Sync(watcher);
  }

  std::shared_ptr<test::TGate> gate = std::make_shared<test::TGate>();
  std::shared_ptr<TPasswordCheckPool> pool =
      std::make_shared<TPasswordCheckPool>(TPasswordCheckPool::TLimits{1, std::chrono::hours(1), 1},
                                           [gate = gate](const std::string& stored, const std::string& password) {
                                             gate->Pass();
                                             return VerifyPassword(stored, password);
                                           });
};

TEST_F(SlowAccountCheckTest, OthersTalkWhileACheckIsSlowAndTheLoginEndsWhenItReturns) {
  StartServer();
  AddAccount("carol", "carolpw", spAllowRegistration);
  TQVClient& alice = Login("alice");
  TQVClient& bob = Login("bob");
  TQVClient& carol = NewClient(true);
  auto login = std::async(std::launch::async, [&] { return carol.Login(AccountRequest("carol", "carol", "carolpw")); });
  gate->AwaitWaiting(1);  // carol's check has begun and stays unfinished
  for (auto [from, to] : {std::pair{&alice, &bob}, std::pair{&bob, &alice}}) {
    ASSERT_TRUE(from->SendVoice(0, 3, {1, 2, 3}));
    const uint32_t speaker = from->PlayerId();
    EXPECT_TRUE(
        to->WaitFor([speaker](const TClientEvent& e) { return e.Kind == ceVoice && e.SpeakerId == speaker; }, kWaitMs));
    EXPECT_TRUE(Sync(*from).has_value());
  }
  gate->Open();
  ASSERT_EQ(login.get(), 1);
  EXPECT_EQ(carol.FindPlayer(carol.PlayerId())->PlayerPrivileges, spRegistered);
  const uint32_t carolId = carol.PlayerId();
  EXPECT_TRUE(alice.WaitFor(
      [carolId](const TClientEvent& e) { return e.Kind == cePlayerEntered && e.PlayerId == carolId; }, kWaitMs));
}

// One check runs and one waits: more are refused as busy (-2, "Server Full"),
// whatever their password, and a busy refusal is no failed guess; a request
// repeated while its check runs starts no second one. A wrong password still
// counts once its check is made: at a limit of one failure it locks the address.
TEST_F(SlowAccountCheckTest, TheBoundRefusesTheExcessAsBusyAndOnlyWrongPasswordsCount) {
  StartServer();
  AddAccount("dora", "dorapw");
  AddAccount("emil", "emilpw");
  const TFailureLimitsFor limits(1);
  TQVClient& watcher = Login("watcher");
  TRawLogin running(AccountRequest("dora", "dora", "dorapw"));
  TRawLogin queued(AccountRequest("emil", "emil", "emilpw"));
  FillPool(running, queued, watcher);
  running.Send();  // the same address again
  Sync(watcher);
  const struct {
    const char* what;
    TClientLogin login;
  } busy[] = {
      {"right password", AccountRequest("d2", "dora", "dorapw")},
      {"wrong password", AccountRequest("d3", "dora", "nope")},
      {"unknown account", AccountRequest("n", "nobody", "x")},
  };
  for (const auto& c : busy) {
    const uint64_t counted = LoginCount(liVoice, loBusy);
    EXPECT_EQ(Result(c.login), lcServerFull) << c.what;
    EXPECT_EQ(LoginCount(liVoice, loBusy), counted + 1) << c.what;
    EXPECT_FALSE(server->LoginFailures.Refused("127.0.0.1", limits.Limits())) << c.what;
  }
  gate->Open();
  // A second check of the repeat would have been refused at once, before the first's verdict.
  for (TRawLogin* raw : {&running, &queued}) {
    const std::vector<int32_t> verdicts = raw->Verdicts();
    ASSERT_FALSE(verdicts.empty());
    EXPECT_EQ(verdicts.front(), 1);
  }

  EXPECT_EQ(Result(AccountRequest("d4", "dora", "nope")), lcNoAccount);
  EXPECT_TRUE(server->LoginFailures.Refused("127.0.0.1", limits.Limits()));
  EXPECT_EQ(Result(Request("late")), lcBadLogin) << "locked out";
}

// The server stops while one check runs and another waits for the worker:
// neither touches the stopped server when it ends (the sanitizers watch).
TEST_F(SlowAccountCheckTest, StopWithChecksInFlight) {
  StartServer();
  AddAccount("dora", "dorapw");
  TQVClient& watcher = Login("watcher");
  TRawLogin running(AccountRequest("dora", "dora", "dorapw"));
  TRawLogin queued(AccountRequest("d2", "dora", "dorapw"));
  FillPool(running, queued, watcher);
  clients.clear();
  auto stop = std::async(std::launch::async, [&] { registry.StopServers(0); });
  gate->Open();
  stop.get();
  EXPECT_FALSE(server->Running.load());
}

}  // namespace
}  // namespace qv
