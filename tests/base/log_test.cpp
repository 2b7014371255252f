#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>


#include "base/log.h"
#include "base/text_utils.h"
#include "support/test_dir.h"

namespace qv {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// The line with every digit replaced by 'd', so time stamps compare as a shape.
std::string Shape(std::string s) {
  for (char& c : s)
    if (c >= '0' && c <= '9') c = 'd';
  return s;
}

class LogTest : public ::testing::Test {
 protected:
  void TearDown() override { FreeLog(); }
  std::vector<std::string> MessageLines() {
    std::vector<std::string> out;
    FlushLog();
    for (auto& l : SplitLines(ReadFile(dir.File("server.log"))))
      if (!l.empty() && l[0] != '-') out.push_back(l);
    return out;
  }
  TempDir dir;
};

TEST_F(LogTest, DefaultFilterWritesEverythingAndCreatesTheDefaults) {
  CreateLog(dir.File("server.ini"), "Debug", dir.File("server.log"));
  LogMsg(lmtError, lmdAll, "e1", "SQL");
  LogMsg(lmtAll, lmdInfo, "i5", "SERVER");
  LogMsg(lmtDebug, lmdCommands, "d4", "UDP");
  EXPECT_EQ(MessageLines().size(), 3u);
  std::string ini = ReadFile(dir.File("server.ini"));
  EXPECT_NE(ini.find("[Debug]"), std::string::npos);
  EXPECT_NE(ini.find("MessageTypes=LMTALL"), std::string::npos);
  EXPECT_NE(ini.find("MessageDepths=LMDALL"), std::string::npos);
}

TEST_F(LogTest, LineFormatAndBanners) {
  CreateLog(dir.File("server.ini"), "Debug", dir.File("server.log"));
  LogMsg(lmtError, lmdAll, "cannot open table", "SQL");
  FreeLog();
  std::vector<std::string> lines = SplitLines(ReadFile(dir.File("server.log")));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], std::string(63, '-'));
  EXPECT_EQ(Shape(lines[1]), "-------------- log started at dd-dd-dd dd:dd -------------");
  EXPECT_EQ(lines[2], std::string(63, '-'));
  EXPECT_EQ(Shape(lines[3]), "dd-dd-dd dd:dd:dd,ERROR,All,SQL,\tcannot open table");
  EXPECT_EQ(Shape(lines[5]), "--------------- log ended at dd-dd-dd dd:dd --------------");
  EXPECT_EQ(lines[1].size(), lines[5].size());
}

TEST_F(LogTest, ErrorsOfDepthAllNeedLmdAll) {
  WriteFile(dir.File("server.ini"), "[Debug]\nMessageTypes=lmterror\nMessageDepths=LMDIMPORTANT\n");
  CreateLog(dir.File("server.ini"), "Debug", dir.File("server.log"));
  LogMsg(lmtError, lmdAll, "hidden", "SQL");
  LogMsg(lmtError, lmdImportant, "shown", "SQL");
  LogMsg(lmtWarning, lmdImportant, "wrong type", "SQL");
  LogMsg(lmtAll, lmdImportant, "info needs LMTALL", "SQL");
  auto lines = MessageLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("shown"), std::string::npos);
}

TEST_F(LogTest, KeywordsAnywhereInTheValue) {
  WriteFile(dir.File("server.ini"), "[Debug]\nMessageTypes=x,LMTWARNING;LMTDEBUG\nMessageDepths=LMDINFO LMDCOMMANDS\n");
  CreateLog(dir.File("server.ini"), "Debug", dir.File("server.log"));
  LogMsg(lmtWarning, lmdInfo, "a", "c");
  LogMsg(lmtDebug, lmdCommands, "b", "c");
  LogMsg(lmtDebug, lmdUsefull, "no", "c");
  LogMsg(lmtError, lmdInfo, "no", "c");
  EXPECT_EQ(MessageLines().size(), 2u);
}

TEST_F(LogTest, PlaceholdersCategoryCutAndMemory) {
  CreateLog(dir.File("server.ini"), "Debug", dir.File("server.log"));
  LogFmt(lmtError, lmdAll, "SID: %1 Exception1 %2.%1", "TQVUDPSender.Execute", 7, "EPacket");
  LogMsg(lmtError, lmdAll, "long", std::string(150, 'c'));
  GetLog()->LogMemory();
  auto lines = MessageLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(",\tSID: 7 Exception1 EPacket.7"), std::string::npos);
  EXPECT_NE(lines[1].find("," + std::string(99, 'c') + ",\tlong"), std::string::npos);
  EXPECT_NE(lines[2].find(" !!! LogMemory not supported yet !!!"), std::string::npos);
}

TEST_F(LogTest, MissingFileIsCreatedOnTheNextLine) {
  CreateLog(dir.File("server.ini"), "Debug", dir.File("server.log"));
  LogMsg(lmtError, lmdAll, "first", "X");
  // Lines written concurrently never interleave and none is lost.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) LogFmt(lmtError, lmdAll, "thread %1 line %2", "X", t, i);
    });
  for (auto& th : threads) th.join();
  auto lines = MessageLines();
  ASSERT_EQ(lines.size(), 801u);
  std::set<std::string> seen;
  for (auto& l : lines) {
    ASSERT_EQ(Shape(l.substr(0, 30)), "dd-dd-dd dd:dd:dd,ERROR,All,X,") << l;
    seen.insert(l.substr(31));
  }
  EXPECT_EQ(seen.size(), 801u);
  EXPECT_TRUE(seen.count("thread 3 line 199"));
}

// A flood of identical lines writes a few of them and then one summary per
// second; other lines pass meanwhile, and closing the log writes what is due.
TEST_F(LogTest, IdenticalLinesAreSummarisedOncePerSecond) {
  CreateLog(dir.File("server.ini"), "Debug", dir.File("server.log"));
  std::atomic<int64_t> nowMs = 5000;  // the log's timer reads it too
  GetLog()->SetRepeatClock([&nowMs] { return nowMs.load(); });
  for (int i = 0; i < 20000; ++i) LogMsg(lmtError, lmdAll, "SID: 1 bad request from 192.0.2.1", "UDP Listener");
  LogMsg(lmtError, lmdAll, "SID: 1 other", "UDP Listener");
  nowMs += 1000;
  for (int i = 0; i < 5; ++i) LogMsg(lmtError, lmdAll, "SID: 1 bad request from 192.0.2.1", "UDP Listener");
  FreeLog();
  std::vector<std::string> messages;
  for (const std::string& line : MessageLines()) messages.push_back(line.substr(line.find('\t') + 1));
  const std::string flood = "SID: 1 bad request from 192.0.2.1";
  EXPECT_EQ(messages, (std::vector<std::string>{flood, flood, flood, "SID: 1 other", flood + " ... repeated 19997 times",
                                                flood, flood, flood, flood + " ... repeated 2 times"}));
  EXPECT_NE(MessageLines()[4].find(",ERROR,All,UDP Listener,\t"), std::string::npos);
}

// Lines that vary with the peer count by their shape; a peer's line break
// cannot forge a line of its own.
TEST_F(LogTest, RemoteLinesCountByShapeAndStayOneLine) {
  CreateLog(dir.File("server.ini"), "Debug", dir.File("server.log"));
  std::atomic<int64_t> nowMs = 5000;
  GetLog()->SetRepeatClock([&nowMs] { return nowMs.load(); });
  for (int i = 0; i < 50; ++i) LogRemote(lmtError, lmdAll, RemoteLine("bad request from 192.0.2.{}", i), "UDP");
  LogRemote(lmtError, lmdAll, RemoteLine("name {}", "a\r\n01-01-26 00:00:00,ERROR,All,UDP,\tforged"), "UDP");
  FreeLog();
  std::vector<std::string> messages;
  for (const std::string& line : MessageLines()) messages.push_back(line.substr(line.find('\t') + 1));
  ASSERT_EQ(messages.size(), TLogObject::kShapeLinesWritten + 2u);
  EXPECT_EQ(messages[9], "bad request from 192.0.2.9");
  EXPECT_EQ(messages[10], "name a??01-01-26 00:00:00,ERROR,All,UDP,\tforged");
  EXPECT_EQ(messages[11], "bad request from 192.0.2.* ... repeated 40 times");
}

// Lines are buffered: errors and warnings write out everything before them
// at once, the rest reaches the file within about a second, and nothing is
// lost on reopening or closing.
TEST_F(LogTest, BufferedLinesReachTheFile) {
  CreateLog(dir.File("server.ini"), "Debug", dir.File("server.log"));
  auto fileHas = [this](const std::string& text) {
    return ReadFile(dir.File("server.log")).find(text) != std::string::npos;
  };
  LogMsg(lmtAll, lmdInfo, "info 1", "X");
  EXPECT_FALSE(fileHas("info 1"));
  for (TLogMessageType type : {lmtWarning, lmtError}) {
    LogMsg(lmtAll, lmdInfo, "before", "X");
    LogMsg(type, lmdInfo, LogTypeName(type), "X");
    EXPECT_TRUE(fileHas("info 1") && fileHas(LogTypeName(type))) << LogTypeName(type);
  }
  LogMsg(lmtAll, lmdInfo, "by the timer", "X");
  bool seen = false;
  for (int i = 0; i < 100 && !seen; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    seen = fileHas("by the timer");
  }
  EXPECT_TRUE(seen);
  LogMsg(lmtAll, lmdInfo, "into the rotated file", "X");
  std::rename(dir.File("server.log").c_str(), dir.File("server.log.1").c_str());
  ReopenLog();
  EXPECT_NE(ReadFile(dir.File("server.log.1")).find("into the rotated file"), std::string::npos);
  for (int i = 0; i < 5000; ++i) LogFmt(lmtAll, lmdInfo, "line %1", "X", i);
  FreeLog();
  EXPECT_EQ(MessageLines().size(), 5000u);
}

TEST(LogWithoutObject, FreeFunctionsAreSafe) {
  FreeLog();
  LogMsg(lmtError, lmdAll, "dropped", "X");
  LogFmt(lmtError, lmdAll, "%1", "X", 1);
  EXPECT_EQ(GetLog(), nullptr);
}

}  // namespace
}  // namespace qv
