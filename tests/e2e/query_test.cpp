// The TCP query interface of the real server process: line rules, the order
// of every command's checks, the exact replies, the lock-out after failed
// logins, and commands that act on connected players and on servers.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "base/version.h"
#include "client/qv_client.h"
#include "e2e/query_fixture.h"

namespace qv {
namespace {

using test::QueryProcessTest;
using test::TQueryConnection;

using TScript = std::vector<std::pair<std::string, std::string>>;

void RunScript(TQueryConnection& c, const TScript& script) {
  for (const auto& [line, reply] : script) EXPECT_EQ(c.Send(line), reply) << "line: " << line;
}

std::string Err(const std::string& message) { return "ERROR, " + message + "\r\n"; }
const std::string kOk = "OK\r\n";

// The codecs in the order of the server information.
const char* const kCodecs[] = {"celp51",    "celp63",     "gsm148",     "gsm164",     "windowscelp52",
                               "speex2150", "speex3950",  "speex5950",  "speex8000",  "speex11000",
                               "speex15000", "speex18200", "speex24600"};

// Every command word that needs a login, with parameters that would pass the other checks.
const char* const kLoggedInOnly[] = {
    "msg hi", "msgall hi", "sppriv 1 privilege_serveradmin 1", "fp a", "pi 1", "fc a", "ci 1", "mptc 1 1",
    "serverstart 1", "serverstop", "serveradd 1", "serverdel 1", "serverset server_name x", "dbserverlist",
    "dbuseradd a b b 0", "dbuserdel 1", "dbuserchangepw 1 a a", "dbuserchangeattribs 1 1", "dbuserlist",
    "dbuserid a", "dbsuseradd a b b", "dbsuserdel 1", "dbsuserchangepw 1 a a", "dbsuserlist", "checkserverok",
    "rehash", "dccl"};

TEST_F(QueryProcessTest, LineRulesAndRefusalsInTheOrderOfChecks) {
  auto c = Connect(2);
  ASSERT_EQ(c->Greeting, "[QV]\r\n");
  const std::string port = std::to_string(udpPort[0]);
  RunScript(*c, {{"", "error\r\n"},
                 {"bogus", "error\r\n"},
                 {"msgx", "error\r\n"},
                 {"SEL", Err("invalid paramcount")},
                 {"sel abc", Err("invalid number format")},
                 {"sel 0", Err("invalid id")},
                 {"sel 1", Err("invalid id")},
                 {"pl", Err("invalid paramcount")},
                 {"cl x", Err("invalid number format")},
                 {"si -3", Err("invalid id")},
                 {"serverstop " + port, Err("not logged in")},
                 {"login admin adminpw", Err("no server selected")},
                 {"slogin boss", Err("invalid paramcount")}});
  for (const char* line : kLoggedInOnly) EXPECT_EQ(c->Send(line), Err("not logged in")) << line;

  // A server admin: logged in, server selected, but no superadmin.
  RunScript(*c, {{"Sel " + port, kOk},
                 {"login admin", Err("invalid paramcount")},
                 {"LOGIN admin adminpw", kOk},
                 {"msg hi", Err("invalid permissions")},
                 {"msgall hi", Err("invalid permissions")},
                 {"sppriv 1", Err("invalid permissions")},
                 {"fp", Err("invalid permissions")},
                 {"serverstart", Err("invalid permissions")},
                 {"serverstop", Err("invalid permissions")},
                 {"serverdel", Err("invalid paramcount")},
                 {"serverdel 1", Err("invalid permissions")},
                 {"dbserverlist", Err("invalid permissions")},
                 {"dbuserid admin", Err("invalid permissions")},
                 {"dbsuserlist", Err("invalid permissions")},
                 {"checkserverok", Err("invalid permissions")},
                 // The rights of the server admin group pass; the count decides.
                 {"mptc 1", Err("invalid paramcount")},
                 {"dbuseradd a b b", Err("invalid paramcount")},
                 {"dbuserdel", Err("invalid paramcount")},
                 {"dbuserchangepw 1 a", Err("invalid paramcount")},
                 {"dbuserchangeattribs 1", Err("invalid paramcount")},
                 {"dbuserchangeattribs abc 1", Err("invalid number format")},
                 {"dbuserlist", Err("invalid permissions")},
                 // Valid credentials without the query right: refused, and logged out.
                 {"login plain plainpw", Err("invalid permissions")},
                 {"dbuserlist", Err("not logged in")},
                 {"login admin wrong", Err("invalid login")},
                 {"login admin adminpw", kOk},
                 {"slogin boss bosspw", kOk}});

  // The superadmin: what remains are parameter checks and the commands' own.
  RunScript(*c, {{"sppriv 1 privilege_serveradmin", Err("invalid paramcount")},
                 {"fp a b", Err("invalid paramcount")},
                 {"pi", Err("invalid paramcount")},
                 {"serverset server_name", Err("invalid paramcount")},
                 {"serverset foo 1", Err("error")},
                 {"serverset server_maxusers abc", Err("invalid number format")},
                 {"sppriv abc privilege_serveradmin 1", Err("invalid number format")},
                 {"sppriv 99 privilege_serveradmin 1", Err("invalid id")},
                 {"pi abc", Err("invalid id")},
                 {"pi 99", Err("invalid id")},
                 {"ci abc", Err("invalid id")},
                 {"ci 99", Err("invalid id")},
                 {"mptc a 1", Err("invalid number format")},
                 {"mptc 999 1", Err("ChannelId does not exist")},
                 {"serverstart abc", Err("invalid number format")},
                 {"serverstart " + std::to_string(serverId[0]), Err("server is running")},
                 {"serverstart 999", Err("invalid id")},
                 {"serveradd abc", Err("invalid number format")},
                 {"serveradd " + port, Err("port already in use")},
                 {"serverdel " + std::to_string(serverId[0]), Err("server is running")},
                 {"serverdel abc", Err("invalid number format")},
                 {"dbuseradd a b c 0", Err("password dont match")},
                 {"dbuserchangepw 1 a b", Err("password dont match")},
                 {"dbuserchangepw abc a a", Err("invalid number format")},
                 {"dbuserchangepw 999 a a", Err("invalid id")},
                 {"dbuserchangeattribs 999 1", Err("invalid id")},
                 {"dbuserdel abc", Err("invalid number format")},
                 {"dbuserid Admin", Err("no data avaible")},
                 {"dbsuseradd a b c", Err("password dont match")},
                 {"dbsuserchangepw 1 a b", Err("password dont match")},
                 {"dbsuserchangepw x a a", Err("invalid number format")},
                 {"dbsuserchangepw 999 a a", Err("invalid id")},
                 {"dbsuserdel x", Err("invalid number format")},
                 {"sel 0", Err("invalid id")},
                 {"msg hi", Err("no server selected")}});
  EXPECT_TRUE(c->SendRaw("quit\r\n"));
  EXPECT_TRUE(c->Closed());
}

TEST_F(QueryProcessTest, ListsAndInformationByteForByte) {
  TQVClient alice;
  TClientLogin login;
  login.ServerPort = udpPort[0];
  login.NickName = "Alice";
  ASSERT_EQ(alice.Login(login), 1);
  const std::string pid = std::to_string(alice.PlayerId());

  auto c = Connect(3);
  std::string help;
  for (const char* line : {"command overview: ", "help                : this helpfile", "sl                  : serverlist"})
    help += std::string(line) + "\r\n";
  EXPECT_EQ(c->Send("help").substr(0, help.size()), help);
  const std::string helpText = c->Send("help");
  EXPECT_EQ(helpText.substr(helpText.size() - 44), "quit                : close connection\r\nOK\r\n");
  // The help names every command that needs a login, each on one line.
  for (const char* command : kLoggedInOnly) {
    const std::string word = std::string(command).substr(0, std::string(command).find(' '));
    EXPECT_NE(helpText.find("\r\n" + word + std::string(20 - word.size(), ' ') + ": "), std::string::npos) << word;
  }
  EXPECT_EQ(c->Send("ver"), VersionNumbers() + " " + PlatformText() + "\r\nOK\r\n");
  EXPECT_EQ(c->Send("sl"), std::to_string(udpPort[0]) + "\r\n" + std::to_string(udpPort[1]) + "\r\nOK\r\n");
  // Not logged in: no addresses.
  const std::string pl = c->Send("pl " + std::to_string(udpPort[0]));
  EXPECT_TRUE(std::regex_match(pl, std::regex("p_id\tc_id\tps\tbs\tpr\tbr\tpl\tping\tlogintime\tidletime\tcprivs\t"
                                              "pprivs\tpflags\tip\tnick\tloginname\r\n" +
                                              pid + "\t1(\t\\d+){11}\t0.0.0.0\t\"Alice\"\t\"\"\r\nOK\r\n")))
      << pl;

  c = SuperAdmin(3);
  EXPECT_TRUE(std::regex_search(c->Send("pl"), std::regex("\t127.0.0.1\t\"Alice\"")));
  EXPECT_EQ(c->Send("cl"), "id\tcodec\tparent\torder\tmaxusers\tname\tflags\tpassword\ttopic\r\n"
                           "1\t0\t-1\t0\t8\t\"Default\"\t16\t0\t\"Default\"\r\n"
                           "2\t0\t-1\t0\t10\t\"Lobby Room\"\t8\t0\t\"talk\"\r\nOK\r\n");
  EXPECT_EQ(c->Send("fc ROOM"), "c_id\tc_name\r\n2\tLobby Room\r\nOK\r\n");
  EXPECT_EQ(c->Send("fp LIC"), "p_id\tc_id\tnickname\tloginname\r\n" + pid + "\t1\t\"Alice\"\t\"\"\r\nOK\r\n");
  EXPECT_EQ(c->Send("fp nobody"), "p_id\tc_id\tnickname\tloginname\r\nOK\r\n");
  EXPECT_EQ(c->Send("pi " + pid), "p_id\tc_id\tnickname\tloginname\tsa\tcb\r\n" + pid +
                                      "\t1\t\"Alice\"\t\"\"\t0\t0\r\n\r\nc_id\tname\tca\to\tao\tv\tav\r\nOK\r\n");
  const std::string ci = c->Send("ci 1");
  EXPECT_TRUE(std::regex_match(
      ci, std::regex("c_id\tc_pid\tc_name\tc_fU\tc_fM\tc_fP\tc_fH\tc_fD\tc_codec\tc_order\tc_maxusers\tc_created\t"
                     "c_topic\tc_description\t\r\n1\t-1\t\"Default\"\t0\t0\t0\t0\t1\t0\t0\t8\t"
                     "\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\t\"Default\"\t\"Default Channel\"\t\r\n\r\n"
                     "p_id\tp_nick\tsa\tca\to\tao\tv\tav\tcb\treg\r\n" +
                     pid + "\t\"Alice\"\t0\t0\t0\t0\t0\t0\t0\t0\t\r\nOK\r\n")))
      << ci;
  EXPECT_EQ(c->Send("dccl"), "c_id\tc_name\tp_id\tp_name\r\n1\t\"Default\"\t" + pid +
                                 "\t\"Alice\"\r\n2\t\"Lobby Room\"\t-1\r\nOK\r\n");

  std::string codecs;
  for (const char* codec : kCodecs) codecs += std::string("server_allow_codec_") + codec + "=(-1|0)\r\n";
  const std::string si = c->Send("si");
  EXPECT_TRUE(std::regex_match(
      si, std::regex("server_id=" + std::to_string(serverId[0]) + "\r\nserver_name=Query One\r\nserver_platform=" +
                     PlatformText() + "\r\nserver_welcomemessage=[^\r]*\r\nserver_webpost_linkurl=\r\n"
                     "server_webpost_posturl=\r\nserver_password=0\r\nserver_clan_server=1\r\nserver_udpport=" +
                     std::to_string(udpPort[0]) + "\r\nserver_maxusers=8\r\n" + codecs +
                     "server_packetssend=\\d+\r\nserver_bytessend=\\d+\r\nserver_packetsreceived=\\d+\r\n"
                     "server_bytesreceived=\\d+\r\nserver_uptime=\\d+\r\nserver_currentusers=1\r\n"
                     "server_currentchannels=2\r\nserver_bwinlastsec=\\d+\r\nserver_bwoutlastsec=\\d+\r\n"
                     "server_bwinlastmin=\\d+\r\nserver_bwoutlastmin=\\d+\r\nOK\r\n")))
      << si;

  const std::string gi = c->Send("gi");
  EXPECT_TRUE(std::regex_match(
      gi, std::regex("total_server_uptime=\\d\\d:\\d\\d:\\d\\d\r\ntotal_server_version=" + VersionNumbers() +
                     "\r\ntotal_server_platform=" + PlatformText() +
                     "\r\ntotal_servers=2\r\ntotal_users_online=1\r\ntotal_users_maximal=16\r\ntotal_channels=3\r\n"
                     "total_in_bytes=\\d+\r\ntotal_out_bytes=\\d+\r\ntotal_in_packets=\\d+\r\ntotal_out_packets=\\d+\r\n"
                     "total_out_blm=\\d+\r\ntotal_out_bls=\\d+\r\ntotal_in_blm=\\d+\r\ntotal_in_bls=\\d+\r\nOK\r\n")))
      << gi;
  EXPECT_EQ(c->Send("dbserverlist"), "id\tudpport\tname\r\n" + std::to_string(serverId[0]) + "\t" +
                                         std::to_string(udpPort[0]) + "\t\"Query One\"\r\n" +
                                         std::to_string(serverId[1]) + "\t" + std::to_string(udpPort[1]) +
                                         "\t\"Query Two\"\r\nOK\r\n");
  EXPECT_EQ(c->Send("checkserverok"), kOk);
  EXPECT_EQ(c->Send("rehash"), kOk);
}

TEST_F(QueryProcessTest, AccountCommands) {
  auto c = SuperAdmin(4);
  const std::regex date("\\d\\d-\\d\\d-\\d\\d\\d\\d \\d\\d:\\d\\d:\\d\\d");
  EXPECT_EQ(c->Send("dbuserid admin"), std::to_string(adminId) + "\r\nOK\r\n");
  RunScript(*c, {{"dbuseradd carol pw pw 1", kOk},
                 {"dbuseradd carol other other 0", Err("Loginname already in use")},
                 {"dbsuseradd dave pw pw", kOk},
                 {"dbsuseradd dave pw pw", Err("Loginname already in use")}});
  std::string carol = c->Send("dbuserid carol");
  carol = carol.substr(0, carol.find('\r'));
  auto listed = [&](const std::string& command) {
    return std::regex_replace(c->Send(command), date, "DATE");
  };
  EXPECT_EQ(listed("dbuserlist"), "id\tsa\tcreated\tname\r\n" + std::to_string(adminId) +
                                      "\t-1\tDATE\t\"admin\"\r\n" + std::to_string(adminId + 1) +
                                      "\t0\tDATE\t\"plain\"\r\n" + carol + "\t-1\tDATE\t\"carol\"\r\nOK\r\n");
  RunScript(*c, {{"dbuserchangepw " + carol + " new new", kOk}, {"dbuserchangeattribs " + carol + " 0", kOk}});
  EXPECT_NE(c->Send("dbuserlist").find(carol + "\t0\t"), std::string::npos);
  std::smatch match;
  const std::string supers = listed("dbsuserlist");
  ASSERT_TRUE(std::regex_match(supers, match,
                               std::regex("id\tcreated\tname\r\n" + std::to_string(bossId) +
                                          "\tDATE\t\"boss\"\r\n(\\d+)\tDATE\t\"dave\"\r\nOK\r\n")))
      << supers;
  const std::string dave = match[1];
  EXPECT_EQ(c->Send("dbsuserchangepw " + dave + " pw2 pw2"), kOk);

  auto other = Connect(4);
  RunScript(*other, {{"sel " + std::to_string(udpPort[0]), kOk}, {"slogin dave pw2", kOk}});
  RunScript(*c, {{"dbuserdel " + carol, kOk},
                 {"dbuserid carol", Err("no data avaible")},
                 {"dbsuserdel " + dave, kOk},
                 {"dbuserdel 12345", kOk}});
  RunScript(*other, {{"slogin dave pw2", Err("invalid login")}, {"dbsuserlist", Err("not logged in")}});
}

TEST_F(QueryProcessTest, ThreeFailuresLockTheAddressOut) {
  const std::string locked =
      "Your password failed 3 consecutive times, please wait 10 minutes before trying again!";
  auto c = Connect(5);
  ASSERT_EQ(c->Greeting, "[QV]\r\n");
  auto before = Connect(5);  // opened before the lock
  RunScript(*c, {{"slogin boss x", Err("invalid login")}, {"slogin nobody y", Err("invalid login")},
                 {"slogin boss bosspw", kOk}});  // a success does not clear the count
  EXPECT_EQ(c->Send("slogin boss z"), locked + "\r\n");
  EXPECT_TRUE(c->Closed());
  // The lock holds on connections opened before it: the right password is not even checked.
  EXPECT_EQ(before->Send("slogin boss bosspw"), locked + "\r\n");
  EXPECT_TRUE(before->Closed());
  c = Connect(5);
  c = Connect(5);
  EXPECT_EQ(c->Greeting, "You are still banned or a failed password try caused a 30 second delay!\r\n");
  EXPECT_TRUE(c->Closed());
  // Other addresses are not concerned; an account without the query right counts too.
  auto other = Connect(6);
  EXPECT_EQ(other->Greeting, "[QV]\r\n");
  RunScript(*other, {{"sel " + std::to_string(udpPort[0]), kOk}, {"login plain plainpw", Err("invalid permissions")},
                     {"login admin adminpw", kOk}});
  // Each refusal and the lock-out in the log, with reason and address, never the password.
  const std::string log = test::ReadFile(dir.File("server.log"));
  for (const char* line : {"login refused [interface: query, reason: wrong password, IP: 127.0.0.5, LoginName: boss]",
                           "login refused [interface: query, reason: unknown account, IP: 127.0.0.5, LoginName: nobody]",
                           "login refused [interface: query, reason: locked out, IP: 127.0.0.5, LoginName: boss]",
                           "login lock-out [interface: query, IP: 127.0.0.5, failures: 3, minutes: 10]",
                           "login refused [interface: query, reason: no permission, IP: 127.0.0.6, LoginName: plain]"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  EXPECT_EQ(log.find("plainpw"), std::string::npos);
}

TEST_F(QueryProcessTest, MessagesMovesAndPrivilegesReachConnectedPlayers) {
  TQVClient one, two;
  TClientLogin login;
  login.ServerPort = udpPort[0];
  login.NickName = "one";
  ASSERT_EQ(one.Login(login), 1);
  login.ServerPort = udpPort[1];
  login.NickName = "two";
  ASSERT_EQ(two.Login(login), 1);

  auto c = SuperAdmin(7);
  EXPECT_EQ(c->Send("msgall hello  all"), kOk);
  for (TQVClient* client : {&one, &two}) {
    auto text = client->WaitFor(ceTextMessage, 5000);
    ASSERT_TRUE(text.has_value());
    ASSERT_GE(text->Raw.size(), 59u);
    EXPECT_EQ(text->Raw[24], 255);  // sender id 255
    EXPECT_EQ(text->Raw[28], 0);    // to everybody
    EXPECT_EQ(std::string(text->Raw.begin() + 29, text->Raw.begin() + 41), "\x0btelnet.boss");
    EXPECT_EQ(std::string(text->Raw.begin() + 59, text->Raw.end()), std::string("hello  all\0", 11));
  }
  EXPECT_EQ(c->Send("msg"), kOk);  // an empty text to the selected server only
  auto empty = one.WaitFor(ceTextMessage, 5000);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->Text, "");
  EXPECT_FALSE(two.WaitFor(ceTextMessage, 300).has_value());

  const std::string pid = std::to_string(one.PlayerId());
  EXPECT_EQ(c->Send("mptc " + std::to_string(lobbyId) + " " + pid), kOk);
  auto moved = one.WaitFor(cePlayerMoved, 5000);
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(moved->ChannelId, lobbyId);
  EXPECT_EQ(c->Send("mptc 77 " + pid), Err("ChannelId does not exist"));

  EXPECT_EQ(c->Send("sppriv " + pid + " PRIVILEGE_SERVERADMIN 1"), kOk);
  auto granted = one.WaitFor(cePlayerPrivilege, 5000);
  ASSERT_TRUE(granted.has_value());
  EXPECT_EQ(granted->PlayerId, one.PlayerId());
  EXPECT_NE(c->Send("pi " + pid).find("\r\n" + pid + "\t" + std::to_string(lobbyId) + "\t\"one\"\t\"\"\t1\t0\r\n"),
            std::string::npos);
  EXPECT_EQ(c->Send("sppriv " + pid + " privilege_foo 1"), Err("error"));
}

TEST_F(QueryProcessTest, ServersAddStopStartAndDelete) {
  auto c = SuperAdmin(8);
  auto before = Connect(9);
  const uint16_t newPort = test::FreePort(SOCK_DGRAM);
  const std::string p = std::to_string(newPort);
  EXPECT_EQ(c->Send("serveradd " + p), kOk);
  // The new server is selected and listed on this connection only.
  EXPECT_NE(c->Send("si").find("server_udpport=" + p + "\r\n"), std::string::npos);
  EXPECT_EQ(c->Send("sl"), std::to_string(udpPort[0]) + "\r\n" + std::to_string(udpPort[1]) + "\r\n" + p + "\r\nOK\r\n");
  std::string id = c->Send("si");
  id = id.substr(10, id.find('\r') - 10);
  EXPECT_EQ(c->Send("serveradd " + p), Err("port already in use"));
  RunScript(*c, {{"serverstop", kOk},
                 {"si", Err("invalid paramcount")},  // no longer selected
                 {"sl", std::to_string(udpPort[0]) + "\r\n" + std::to_string(udpPort[1]) + "\r\nOK\r\n"},
                 {"serverstart " + id, kOk},
                 {"serverstart " + id, Err("server is running")}});
  EXPECT_EQ(before->Send("sel " + p), Err("invalid id"));  // its snapshot is older than the server

  auto after = SuperAdmin(9);
  RunScript(*after, {{"sel " + p, kOk}, {"checkserverok", kOk}, {"serverdel " + id, Err("server is running")},
                     {"serverstop " + p, kOk}, {"serverdel " + id, kOk}, {"serverstart " + id, Err("invalid id")}});
  EXPECT_EQ(after->Send("dbserverlist").find("\t" + p + "\t"), std::string::npos);
  // Stopping the first server by port from a connection that selected another.
  RunScript(*after, {{"sel " + std::to_string(udpPort[1]), kOk}, {"serverstop", kOk},
                     {"sl", std::to_string(udpPort[0]) + "\r\nOK\r\n"}});
  EXPECT_EQ(before->Send("sl"), std::to_string(udpPort[0]) + "\r\nOK\r\n");
}

TEST_F(QueryProcessTest, ServerSetEveryKey) {
  TQVClient player;
  TClientLogin login;
  login.ServerPort = udpPort[0];
  login.NickName = "watcher";
  ASSERT_EQ(player.Login(login), 1);
  auto c = SuperAdmin(10);
  struct TCase {
    std::string line, siLine;
  };
  std::vector<TCase> cases = {
      {"serverset server_name The  new name that is much too long", "server_name=The  new name that is much to"},
      {"serverset server_welcomemessage Hello there", "server_welcomemessage=Hello there"},
      {"serverset server_password secret words", "server_password=1"},
      {"serverset server_password #CLEAR#", "server_password=0"},
      {"serverset server_maxusers 65535", "server_maxusers=65535"},
      {"serverset server_maxusers 500", "server_maxusers=500"},
      {"serverset SERVER_CLAN_SERVER 0", "server_clan_server=0"},
      {"serverset server_clan_server 1", "server_clan_server=1"},
      {"serverset server_webpost_posturl http://post/x y", "server_webpost_posturl=http://post/x"},
      {"serverset server_webpost_linkurl http://link", "server_webpost_linkurl=http://link"}};
  for (const char* codec : kCodecs) {
    cases.push_back({std::string("serverset server_allow_codec_") + codec + " 1",
                     std::string("server_allow_codec_") + codec + "=-1"});
    cases.push_back({std::string("serverset server_allow_codec_") + codec + " 0",
                     std::string("server_allow_codec_") + codec + "=0"});
  }
  for (const TCase& t : cases) {
    EXPECT_EQ(c->Send(t.line), kOk) << t.line;
    EXPECT_NE(c->Send("si").find("\n" + t.siLine + "\r\n"), std::string::npos) << t.line;
  }
  EXPECT_EQ(c->Send("serverset server_maxusers abc"), Err("invalid number format"));
  EXPECT_NE(c->Send("si").find("\nserver_maxusers=500\r\n"), std::string::npos);
  // The listener announced the changes to the player.
  EXPECT_TRUE(player.WaitFor(ceServerProperties, 5000).has_value());
  // Stored: the list of stored servers has the new name.
  EXPECT_NE(c->Send("dbserverlist").find("\"The  new name that is much to\""), std::string::npos);
}

TEST_F(QueryProcessTest, LongLinesAndTooManyConnectionsAreClosed) {
  auto c = Connect(12);
  EXPECT_EQ(c->Send("ver " + std::string(4092, 'x')), VersionNumbers() + " " + PlatformText() + "\r\nOK\r\n");
  EXPECT_TRUE(c->SendRaw(std::string(4097, 'x') + "\r\n"));
  EXPECT_TRUE(c->Closed());
  c = Connect(12);  // a line without end that passes the limit
  EXPECT_TRUE(c->SendRaw(std::string(8000, 'y')));
  EXPECT_TRUE(c->Closed());

  std::vector<std::unique_ptr<TQueryConnection>> open;
  for (int i = 0; i < 100; ++i) {  // five from each address, the most one may have
    open.push_back(Connect(13 + i / 5));
    ASSERT_EQ(open.back()->Greeting, "[QV]\r\n") << i;
  }
  auto refused = Connect(40);
  EXPECT_EQ(refused->Greeting, "");
  EXPECT_TRUE(refused->Closed());
  open.pop_back();
  // The freed place is taken again once the server has seen the close.
  std::unique_ptr<TQueryConnection> again;
  for (int tries = 0; tries < 100; ++tries) {
    again = Connect(40);
    if (again->Greeting == "[QV]\r\n") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(again->Greeting, "[QV]\r\n");
  EXPECT_EQ(again->Send("sl"), std::to_string(udpPort[0]) + "\r\n" + std::to_string(udpPort[1]) + "\r\nOK\r\n");
  // The shutdown (TearDown) ends all of them.
  for (auto& connection : open) lingering.push_back(std::move(connection));
  EXPECT_TRUE(again->SendRaw("sl"));  // half a line
  lingering.push_back(std::move(again));
}

// Random lines from several connections at once while players are connected;
// afterwards the process still answers and its servers still run.
TEST_F(QueryProcessTest, RandomLinesDoNotUpsetTheServer) {
  std::vector<std::unique_ptr<TQVClient>> players;
  for (int i = 0; i < 3; ++i) {
    players.push_back(std::make_unique<TQVClient>());
    TClientLogin login;
    login.ServerPort = udpPort[i % 2];
    login.NickName = "p" + std::to_string(i);
    ASSERT_EQ(players.back()->Login(login), 1);
  }
  const char* words[] = {"sl", "pl", "cl", "ver", "sel", "gi", "si", "msg", "msgall", "login", "slogin", "sppriv",
                         "fp", "pi", "fc", "ci", "mptc", "serverstart", "serverstop", "serveradd", "serverdel",
                         "serverset", "dbserverlist", "dbuseradd", "dbuserdel", "dbuserchangepw",
                         "dbuserchangeattribs", "dbuserlist", "dbuserid", "dbsuseradd", "dbsuserdel",
                         "dbsuserchangepw", "dbsuserlist", "checkserverok", "rehash", "help", "dccl"};
  const std::string ports[] = {std::to_string(udpPort[0]), std::to_string(udpPort[1]), "0", "-1", "abc", "1"};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(1234 + t);
      auto pick = [&](int n) { return static_cast<int>(random() % n); };
      int address = 20 + t * 50;
      const int wordCount = static_cast<int>(std::size(words));
      auto c = std::make_unique<TQueryConnection>(queryPort, "127.0.1." + std::to_string(address));
      for (int i = 0; i < 800; ++i) {
        std::string line;
        switch (pick(8)) {
          case 0:  // binary junk
            for (int n = pick(200); n > 0; --n) line += static_cast<char>(random() % 256);
            break;
          case 1:  // a long line (sometimes beyond the limit)
            line = std::string(words[pick(wordCount)]) + " " + std::string(3000 + pick(2000), 'x');
            break;
          default:
            line = words[pick(wordCount)];
            if (pick(4) == 0) line = "SEL " + ports[pick(6)];
            for (int n = pick(5); n > 0; --n) line += " " + (pick(2) ? ports[pick(6)] : std::string(pick(8), 'a' + pick(26)));
        }
        for (char& ch : line) {
          if (ch == '\n') ch = ' ';
        }
        c->SendRaw(line + "\r\n");
        if (c->Send("ver").empty()) {  // closed: come back, from another address
          address = 20 + t * 50 + (address + 1) % 50;
          c = std::make_unique<TQueryConnection>(queryPort, "127.0.1." + std::to_string(address));
        }
      }
    });
  }
  for (auto& t : threads) t.join();

  auto c = SuperAdmin(11);
  EXPECT_EQ(c->Send("ver"), VersionNumbers() + " " + PlatformText() + "\r\nOK\r\n");
  EXPECT_EQ(c->Send("sl"), std::to_string(udpPort[0]) + "\r\n" + std::to_string(udpPort[1]) + "\r\nOK\r\n");
  EXPECT_EQ(c->Send("checkserverok"), kOk);
  EXPECT_NE(c->Send("gi").find("total_users_online=3\r\n"), std::string::npos);
}

}  // namespace
}  // namespace qv
