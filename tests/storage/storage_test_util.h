// Helpers of the storage tests: the script directory of the source tree and a
// capture of the process log (temporary directories come from app/test_dir.h).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "support/test_dir.h"

namespace qv::test {

namespace fs = std::filesystem;

// The shipped scripts: $QV_SOURCE_DIR/sqlite_sql/, or beside this source tree
// when the tests run outside ctest.
inline std::string SourceScriptDir() {
  const char* source = std::getenv("QV_SOURCE_DIR");
  fs::path root = source ? fs::path(source) : fs::path(__FILE__).parent_path().parent_path().parent_path();
  return (root / "sqlite_sql").string() + "/";
}

// Creates the process log in `dir` for its lifetime and reads back the
// messages written to it.
class LogCapture {
 public:
  explicit LogCapture(const TempDir& dir) : logPath_(dir.File("server.log")) {
    CreateLog(dir.File("server.ini"), "Debug", logPath_);
  }
  ~LogCapture() { FreeLog(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The whole log as written so far.
  std::string Text() const { return ReadFile(logPath_); }
  // The message part (after the tab) of every log line, in order.
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    std::istringstream lines(ReadFile(logPath_));
    for (std::string line; std::getline(lines, line);) {
      size_t tab = line.find('\t');
      if (tab != std::string::npos) messages.push_back(line.substr(tab + 1));
    }
    return messages;
  }
  // Messages that begin with `prefix`.
  std::vector<std::string> MessagesStartingWith(const std::string& prefix) const {
    std::vector<std::string> result;
    for (const std::string& m : Messages())
      if (m.rfind(prefix, 0) == 0) result.push_back(m);
    return result;
  }
  // The whole line (type, depth, category and message) of the first message
  // that begins with `prefix`; empty when none.
  std::string LineOf(const std::string& prefix) const {
    std::istringstream lines(ReadFile(logPath_));
    for (std::string line; std::getline(lines, line);) {
      size_t tab = line.find('\t');
      if (tab != std::string::npos && line.compare(tab + 1, prefix.size(), prefix) == 0) return line;
    }
    return {};
  }

 private:
  std::string logPath_;
};

}  // namespace qv::test
