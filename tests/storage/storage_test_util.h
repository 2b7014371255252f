// Helpers of the storage tests: a temporary directory per test, the script
// directory of the source tree, and a capture of the process log.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/log.h"

namespace qv::test {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "qv_storage_XXXXXX").string();
    if (char* made = ::mkdtemp(pattern.data())) path_ = made;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& Path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// The shipped scripts: $QV_SOURCE_DIR/sqlite_sql/, or beside this source tree
// when the tests run outside ctest.
inline std::string SourceScriptDir() {
  const char* source = std::getenv("QV_SOURCE_DIR");
  fs::path root = source ? fs::path(source) : fs::path(__FILE__).parent_path().parent_path().parent_path();
  return (root / "sqlite_sql").string() + "/";
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
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
