// A capture of the process log for one test.
#pragma once

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "support/test_dir.h"

namespace qv::test {

// Creates the process log in `dir` (or in a temporary directory of its own)
// for its lifetime and reads back the messages written to it (writing out
// what the log buffers first).
class LogCapture {
 public:
  explicit LogCapture(const TempDir& dir) : logPath_(dir.File("server.log")) {
    CreateLog(dir.File("server.ini"), "Debug", logPath_);
  }
  LogCapture() : ownDir_(std::make_unique<TempDir>()), logPath_(ownDir_->File("server.log")) {
    CreateLog(ownDir_->File("server.ini"), "Debug", logPath_);
  }
  ~LogCapture() { FreeLog(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The whole log as written so far.
  std::string Text() const { return Read(); }
  bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }
  // The message part (after the tab) of every log line, in order.
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    std::istringstream lines(Read());
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
    std::istringstream lines(Read());
    for (std::string line; std::getline(lines, line);) {
      size_t tab = line.find('\t');
      if (tab != std::string::npos && line.compare(tab + 1, prefix.size(), prefix) == 0) return line;
    }
    return {};
  }

 private:
  std::string Read() const {
    FlushLog();
    return ReadFile(logPath_);
  }

  std::unique_ptr<TempDir> ownDir_;
  std::string logPath_;
};

}  // namespace qv::test
