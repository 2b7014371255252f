#include <gtest/gtest.h>

#include <tuple>

#include "base/date_time.h"
#include "base/ini_file.h"
#include "base/text_utils.h"
#include "base/version.h"
#include "support/test_dir.h"

namespace qv {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(IniFile, ReadsIgnoringCaseAndKeepsOtherLines) {
  TempDir dir;
  WriteFile(dir.File("a.ini"), "; comment\n[Main Config]\r\nHTTPServer Port = 80 \nBoundToIp=\n\n[log]\naccess=0\n");
  TIniFile ini(dir.File("a.ini"));
  ASSERT_TRUE(ini.Load());
  EXPECT_EQ(ini.ReadInteger("main config", "httpserver port", 1), 80);
  EXPECT_EQ(ini.ReadString("Main Config", "BoundToIp", "x"), "");
  EXPECT_EQ(ini.ReadString("Main Config", "Missing", "dflt"), "dflt");
  EXPECT_FALSE(ini.ReadBool("LOG", "access", true));
  EXPECT_TRUE(ini.ReadBool("log", "absent", true));
  ini.WriteInteger("Main Config", "TCPQueryPort", 51234);
  ini.WriteBool("WebPost", "Enabled", true);
  ASSERT_TRUE(ini.UpdateFile());
  EXPECT_EQ(ReadFile(dir.File("a.ini")),
            "; comment\n[Main Config]\nHTTPServer Port=80\nBoundToIp=\nTCPQueryPort=51234\n\n[log]\naccess=0\n"
            "[WebPost]\nEnabled=1\n");
}

TEST(IniFile, AnyValueButZeroIsTrueAndLineBreaksCannotForgeKeys) {
  TempDir dir;
  TIniFile ini(dir.File("b.ini"));
  ASSERT_TRUE(ini.Load());  // a missing file is an empty configuration
  ini.WriteString("WebPost", "AdminEmail", "me@x\n[DBEXPRESS]\nActive=1");
  ini.WriteString("WebPost", "Enabled", "yes");
  ASSERT_TRUE(ini.UpdateFile());
  TIniFile again(dir.File("b.ini"));
  ASSERT_TRUE(again.Load());
  EXPECT_FALSE(again.SectionExists("DBEXPRESS"));
  EXPECT_TRUE(again.ReadBool("WebPost", "Enabled", false));
}

TEST(IniFile, UnreadableOrUnwritableFileIsReported) {
  TempDir dir;
  TIniFile ini(dir.File("no/such/dir/c.ini"));
  EXPECT_TRUE(ini.Load());
  EXPECT_FALSE(ini.UpdateFile());
  TIniFile asDir(dir.Path().string());
  EXPECT_FALSE(asDir.Load());
}

TEST(TextUtils, ReplaceNeverRescansInsertedText) {
  EXPECT_EQ(ReplaceText("a :sName b :SNAME", ":sname", "x:sNamex"), "a x:sNamex b x:sNamex");
  EXPECT_EQ(ReplaceText("%1%1", "%1", "%1%1"), "%1%1%1%1");
  for (const auto& [haystack, needle, from, at] : std::vector<std::tuple<std::string, std::string, size_t, size_t>>{
           {"abcABC", "CA", 0, 2}, {"abcABC", "a", 1, 3}, {"xAaB", "ab", 0, 2}, {"x%%A%%", "%%a%%", 0, 1},
           {"abc", "bc", 1, 1}, {"abc", "bc", 2, std::string::npos}, {"abc", "", 3, 3}, {"abc", "", 4, std::string::npos},
           {"ab", "abc", 0, std::string::npos}, {"a1A1", "A1", 1, 2}, {"\xc3\xa4", "\xc3\x84", 0, std::string::npos}}) {
    EXPECT_EQ(FindText(haystack, needle, from), at) << haystack << " / " << needle << " from " << from;
  }
  EXPECT_EQ(Trim("\t x y \r\n"), "x y");
  EXPECT_EQ(ParseInt(" -12 "), -12);
  EXPECT_FALSE(ParseInt("12a").has_value());
  EXPECT_FALSE(ParseInt("").has_value());
  EXPECT_EQ(SplitLines("a\r\nb\n\nc"), (std::vector<std::string>{"a", "b", "", "c"}));
}

TEST(DateTime, DayCountsAndFormatting) {
  EXPECT_EQ(EncodeDateTime(1899, 12, 30, 0, 0, 0, 0).value, 0.0);
  EXPECT_EQ(EncodeDateTime(2000, 1, 1, 0, 0, 0, 0).value, 36526.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(2000, 1, 1, 18, 0, 0, 0).value, 36526.75);
  TDateTime dt = EncodeDateTime(2024, 2, 29, 23, 59, 58, 999);
  TDateTimeParts p = DecodeDateTime(dt);
  EXPECT_EQ((std::vector<int>{p.year, p.month, p.day, p.hour, p.minute, p.second, p.msec}),
            (std::vector<int>{2024, 2, 29, 23, 59, 58, 999}));
  EXPECT_EQ(FormatDateTime("ddmmyyyyhhnnsszzz", dt), "29022024235958999");
  EXPECT_EQ(FormatDateTime("dd-mm-yy hh:nn", dt), "29-02-24 23:59");
  EXPECT_EQ(FormatDateTime("dd-mm-yyyy hh:nn:ss", TDateTime{}), "30-12-1899 00:00:00");
  TDateTime bad;
  EXPECT_FALSE(TryEncodeDateTime({2023, 2, 29, 0, 0, 0, 0}, bad));
  EXPECT_FALSE(TryEncodeDateTime({2023, 13, 1, 0, 0, 0, 0}, bad));
}

TEST(Version, MessagesAndPlatformText) {
  EXPECT_EQ(PlatformText(), "Linux");
  EXPECT_EQ(PlatformText().size(), 5u);
  EXPECT_EQ(VersionMessage(), "Version Quillvane2 v2.0.19.40 Linux");
  EXPECT_EQ(HelpMessage(),
            "Version Quillvane2 v2.0.19.40 Linux\n\rCommand parameters:\n\r -db=<path>\n\r -ini=<path>\n\r"
            " -sql=<path>\n\r -log=<path>\n\r -pid=<path>\n\r -httpdocs=<path>\n\r");
  // A pair that is not hexadecimal counts as byte 0.
  EXPECT_EQ(UnscramblePlatformText("ZZ").size(), 1u);
}

}  // namespace
}  // namespace qv
