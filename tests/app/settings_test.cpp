#include "app/command_line.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "app/host.h"
#include "base/ini_file.h"
#include "base/version.h"
#include "support/test_dir.h"

namespace qv {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TCommandLine Parse(std::vector<std::string> args) { return ParseCommandLine(args); }

TEST(CommandLine, ValueSwitchesIgnoreCaseAndKeepTheValuesCase) {
  TCommandLine c = Parse({"-ini=/Tmp/My.INI", "-Db=/x/Server.DBS", "-LOG=/l/A.log", "-sql=/s/",
                          "-BadNames=/b/Names.txt", "-pid=/run/q.pid", "--ini=/Second.ini"});
  EXPECT_EQ(c.Action, caRun);
  EXPECT_EQ(c.ConfigFile, "/Second.ini");  // later arguments win; "--" works as well
  EXPECT_EQ(c.DatabaseFile, "/x/Server.DBS");
  EXPECT_EQ(c.LogFile, "/l/A.log");
  EXPECT_EQ(c.SqlDir, "/s/");
  EXPECT_EQ(c.BadNamesFile, "/b/Names.txt");
  EXPECT_FALSE(c.HttpDocsDir.has_value());
}

TEST(CommandLine, ValueSwitchesComeBeforeHelpAndVersion) {
  // "-HTTPDOCS=" begins like "-H", and a path may hold "-VER" or another switch.
  TCommandLine c = Parse({"-HTTPDOCS=/srv/docs", "-INI=/a-db=b/-VER.ini", "-nopwdialog"});
  EXPECT_EQ(c.Action, caRun);
  EXPECT_EQ(c.HttpDocsDir, "/srv/docs");
  EXPECT_EQ(c.ConfigFile, "/a-db=b/-VER.ini");
  EXPECT_FALSE(c.DatabaseFile.has_value());
  EXPECT_TRUE(c.NoPasswordDialog);
  EXPECT_TRUE(Parse({"-NoPwDialog"}).NoPasswordDialog);
  EXPECT_FALSE(Parse({"-nopwdialogx"}).NoPasswordDialog);
}

TEST(CommandLine, FirstVersionOrHelpSwitchEndsTheReading) {
  for (const char* v : {"-VER", "--ver", "-version"}) EXPECT_EQ(Parse({v}).Action, caVersion) << v;
  for (const char* h : {"-?", "--?", "-h", "--H", "-HELP", "--help", "/help", "/?", "/h"})
    EXPECT_EQ(Parse({h}).Action, caHelp) << h;
  TCommandLine c = Parse({"-db=/a", "-ver", "-h", "-ini=/late"});
  EXPECT_EQ(c.Action, caVersion);
  EXPECT_EQ(c.DatabaseFile, "/a");
  EXPECT_FALSE(c.ConfigFile.has_value());
  EXPECT_EQ(Parse({"stray", "-x"}).Action, caRun);
}

TEST(CommandLine, FileLocationsDefaultToTheProgramDirectory) {
  TProcessSettings s;
  TCommandLine c = Parse({"-DB=", "-HTTPDOCS=  /srv/docs  ", "-SQL=/scripts"});
  ApplyFileLocations(c, "/opt/qv", s);
  EXPECT_EQ(s.DatabaseFile, "/opt/qv/server.dbs");  // an empty value counts as absent
  EXPECT_EQ(s.ConfigFile, "/opt/qv/server.ini");
  EXPECT_EQ(s.LogFile, "/opt/qv/server.log");
  EXPECT_EQ(s.BadNamesFile, "/opt/qv/bad_names.txt");
  EXPECT_EQ(s.HttpDocsDir, "/srv/docs");
  EXPECT_EQ(s.SqlDir, "/scripts");  // taken as given
  EXPECT_TRUE(s.ShowPasswordDialog);
  ApplyFileLocations(Parse({}), "/", s);
  EXPECT_EQ(s.SqlDir, "/sqlite_sql/");
  EXPECT_EQ(s.HttpDocsDir, "/httpdocs");

  std::string dir = ProgramDirectory();
  EXPECT_FALSE(dir.empty());
  EXPECT_TRUE(std::filesystem::is_directory(dir)) << dir;
  EXPECT_NE(dir.back(), '/');
}

TEST(BasicSettings, WrittenInOrderWithTheirDefaultsAndReadBack) {
  TempDir dir;
  TIniFile ini(dir.File("server.ini"));
  ASSERT_TRUE(ini.Load());
  SaveBasicSettings(ini, TProcessSettings{});
  ASSERT_TRUE(ini.UpdateFile());
  EXPECT_EQ(ReadFile(dir.File("server.ini")),
            "[Main Config]\nExternalIPDectection=1\nHTTPServer Port=14534\nHTTPServer Enabled=1\n"
            "DateTimeFormat=dd-mm-yyyy hh:nn:ss\nTCPQueryPort=51234\nBoundToIp=\n"
            "[WebPost]\nAdminEmail=na\nISPLinkURL=na\nISPName=Private\nISPCountryNumber=0\nEnabled=1\n"
            "PostURL=\nListPublic=1\n[log]\naccess=0\n");

  WriteFile(dir.File("server.ini"),
            "[Main Config]\nHTTPServer Port=8080\nHTTPServer Enabled=no\nTCPQueryPort=0\n"
            "BoundToIp= 10.0.0.1 \nTrayIdent=Box 1\n[WebPost]\nISPName=" + std::string(40, 'n') +
                "\nISPCountryNumber=49\nEnabled=0\n[log]\naccess=1\n");
  ASSERT_TRUE(ini.Load());
  TProcessSettings s;
  ASSERT_TRUE(ReadBasicSettings(ini, s));
  EXPECT_EQ(s.HttpPort, 8080);
  EXPECT_TRUE(s.HttpEnabled);  // anything but "0" is true
  EXPECT_EQ(s.QueryPort, 0);
  EXPECT_EQ(s.BoundToIp, "10.0.0.1");
  EXPECT_EQ(s.TrayIdent, "Box 1");
  EXPECT_EQ(s.IspName, std::string(29, 'n'));
  EXPECT_EQ(s.IspCountryNumber, 49);
  EXPECT_FALSE(s.WebPostEnabled);
  EXPECT_TRUE(s.AccessLog);
  EXPECT_EQ(s.AdminEmail, "na");  // absent keys keep the current value
  EXPECT_EQ(s.DateTimeFormat, "dd-mm-yyyy hh:nn:ss");
}

TEST(BasicSettings, PortsOutsideTheirRangeAreRejected) {
  TempDir dir;
  for (const char* text : {"[Main Config]\nHTTPServer Port=70000\n", "[Main Config]\nTCPQueryPort=-1\n"}) {
    WriteFile(dir.File("bad.ini"), text);
    TIniFile ini(dir.File("bad.ini"));
    ASSERT_TRUE(ini.Load());
    TProcessSettings s;
    EXPECT_FALSE(ReadBasicSettings(ini, s)) << text;
  }
}

TEST(BasicSettings, SavingTheProcessSettingsKeepsOtherSectionsAndReportsFailure) {
  TempDir dir;
  TProcessSettings s;
  s.ConfigFile = dir.File("server.ini");
  s.HttpPort = 9000;
  WriteFile(s.ConfigFile, "; kept\n[Debug]\nMessageTypes=LMTERROR\n[Main Config]\nHTTPServer Port=1\n");
  SetSettings(s);
  ASSERT_TRUE(SaveBasicSettings());
  TIniFile ini(s.ConfigFile);
  ASSERT_TRUE(ini.Load());
  EXPECT_EQ(ini.ReadInteger("Main Config", "HTTPServer Port", 0), 9000);
  EXPECT_EQ(ini.ReadString("Debug", "MessageTypes", ""), "LMTERROR");
  EXPECT_EQ(ReadFile(s.ConfigFile).rfind("; kept\n", 0), 0u);

  s.ConfigFile = dir.Path().string();  // a directory can be neither read nor written
  SetSettings(s);
  EXPECT_FALSE(SaveBasicSettings());
  SetSettings(TProcessSettings{});
}

TEST(BadNames, MissingOrEmptyFileGetsServerAndBlankLinesCount) {
  TempDir dir;
  std::string path = dir.File("bad_names.txt");
  EXPECT_EQ(LoadBadNamesOrDefault(path), std::vector<std::string>{"server"});
  EXPECT_EQ(ReadFile(path), "server\n");

  WriteFile(path, "");
  EXPECT_EQ(LoadBadNamesOrDefault(path), std::vector<std::string>{"server"});

  WriteFile(path, "\n\r\n");
  EXPECT_EQ(LoadBadNamesOrDefault(path).size(), 2u);
  EXPECT_EQ(ReadFile(path), "\n\r\n");  // a non-empty list is not written back
}

TEST(BadNames, MatchIgnoresCaseAndSurroundingBlanks) {
  SetBadNames({"Admin", " server ", ""});
  EXPECT_TRUE(IsBadName("admin"));
  EXPECT_TRUE(IsBadName("  SERVER"));
  EXPECT_FALSE(IsBadName("administrator"));
  EXPECT_FALSE(IsBadName("serv er"));
  SetBadNames({});
  EXPECT_FALSE(IsBadName("admin"));
}

TEST(GeneratePassword, UsesOnlyLowerCaseLettersAndDigitsAndReachesAllOfThem) {
  EXPECT_EQ(GeneratePassword(0), "");
  EXPECT_EQ(GeneratePassword(6).size(), 6u);
  std::string many = GeneratePassword(20000);
  ASSERT_EQ(many.size(), 20000u);
  std::set<char> seen(many.begin(), many.end());
  std::set<char> expected;
  for (char c : std::string("abcdefghijklmnopqrstuvwxyz1234567890")) expected.insert(c);
  EXPECT_EQ(seen, expected);
  EXPECT_NE(GeneratePassword(16), GeneratePassword(16));
}

TEST(StartupReport, PasswordsOnlyWhenCreatedAndWanted) {
  TProcessSettings s;
  std::string plain = StartupReport(s, {"192.0.2.1", "192.0.2.2"});
  EXPECT_EQ(plain, "Quillvane Server\n" + VersionMessage() +
                       "\nLocal IP: 192.0.2.1\nLocal IP: 192.0.2.2\nWeb interface: http://192.0.2.1:14534/\n");
  s.WebTls = true;
  s.WebBoundToIp = "127.0.0.1";
  s.TlsFingerprint = "AB:CD";
  EXPECT_NE(StartupReport(s, {}).find("Web interface: https://127.0.0.1:14534/\nCertificate SHA-256 fingerprint: AB:CD\n"),
            std::string::npos);

  s.NewAdminPassword = "abc123";
  s.NewSuperAdminPassword = "zz9zz9";
  s.TrayIdent = std::string(70, 't');
  std::string first = StartupReport(s, {});
  EXPECT_EQ(first.rfind(std::string(63, 't') + "\n", 0), 0u);
  EXPECT_NE(first.find("This occurs when the quillvane server is started for the first time."), std::string::npos);
  EXPECT_NE(first.find("Admin UserName: admin\nAdmin Password: abc123\n"), std::string::npos);
  EXPECT_NE(first.find("SAdmin UserName: superadmin\nSAdmin Password: zz9zz9\n"), std::string::npos);

  s.ShowPasswordDialog = false;
  EXPECT_EQ(StartupReport(s, {}).find("abc123"), std::string::npos);
}

}  // namespace
}  // namespace qv
