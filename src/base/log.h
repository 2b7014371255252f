// The process-wide log.
//
// Every message carries a type, a depth and a category; the [Debug] section of
// the configuration file decides per type and depth what is written. The one
// global log object is created at start-up (CreateLog) before anything else
// reads the configuration and freed as the very last step of shutdown
// (FreeLog). Code that may run without a log (tests, tools) uses the free
// functions LogMsg/LogFmt, which do nothing when no log exists.
//
// Thread rules: any thread may log. Each line is built completely and written
// with one write and a flush under the log's own mutex, so lines of different
// threads never interleave. CreateLog/FreeLog run while no other thread logs.
#pragma once

#include <cstdint>
#include <fmt/format.h>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qv {

// Message types. lmtAll ("ALL") is the type of informational messages.
enum TLogMessageType : uint8_t { lmtDebug = 0, lmtWarning = 1, lmtError = 2, lmtAll = 3 };

// Depths. lmdAll is written only when "LMDALL" is configured.
enum TLogMessageDepth : uint8_t {
  lmdImportant = 0,
  lmdAll = 1,
  lmdUsefull = 2,
  lmdProcedureInfo = 3,
  lmdCommands = 4,
  lmdInfo = 5,
};

const char* LogTypeName(TLogMessageType type);     // "DEBUG", "WARNING", "ERROR", "ALL"
const char* LogDepthName(TLogMessageDepth depth);  // "Important", "All", "Usefull", ...

// Replaces every "%n" (n = 1..args.size()) in format by the n-th argument.
std::string FormatPlaceholders(std::string_view format, std::initializer_list<std::string> args);

// Text form of one log argument.
template <typename T>
std::string LogArgText(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "True" : "False";
  } else {
    return fmt::format("{}", value);
  }
}

class TLogObject {
 public:
  virtual ~TLogObject() = default;

  // The sink's output of one message that passed the filter.
  virtual void WriteLine(std::string_view message, std::string_view category,
                         TLogMessageDepth depth, TLogMessageType type) = 0;
  virtual void Close() = 0;  // closing banner, then close
  virtual void Open() = 0;   // opening banner
  // Lets go of the output and takes it up again (a rotated log file is
  // replaced by a new one at its path); nothing for sinks without a file.
  virtual void Reopen() {}

  void Log(TLogMessageType type, TLogMessageDepth depth, std::string_view message,
           std::string_view category);
  template <typename... Args>
  void LogFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view format,
              std::string_view category, const Args&... args) {
    if (!Passes(type, depth)) return;
    Log(type, depth, FormatPlaceholders(format, {LogArgText(args)...}), category);
  }
  void LogMemory();
  void Entered(std::string_view name, std::string_view category = "");
  void Left(std::string_view name, std::string_view category = "");

  // Filter: bit sets of enabled types and depths (bit n = ordinal n).
  void SetFilter(uint8_t types, uint8_t depths);
  bool Passes(TLogMessageType type, TLogMessageDepth depth) const;

  // Floods of identical lines (what remote peers can cause): within one
  // second, the first kRepeatsWritten copies of a line are written and the
  // rest only counted; once that second is over, one line "<message> ...
  // repeated N times" stands for them.
  static constexpr int kRepeatsWritten = 3;
  using TNowMs = std::function<int64_t()>;
  // Milliseconds on a monotonic clock (tests move it by hand).
  void SetRepeatClock(TNowMs now);
  // Writes the summaries still pending (before the log closes).
  void FlushRepeats();

 protected:
  uint8_t types_ = 0xFF;
  uint8_t depths_ = 0xFF;

 private:
  struct TRepeat {
    int64_t Second = 0;
    int Written = 0;
    int Suppressed = 0;
    TLogMessageType Type = lmtDebug;
    TLogMessageDepth Depth = lmdImportant;
  };
  // True when the line is to be written; summaries due are appended.
  bool AdmitRepeat(TLogMessageType type, TLogMessageDepth depth, std::string_view message,
                   std::string_view category, std::vector<std::pair<std::string, TRepeat>>& due);
  void TakeDue(int64_t second, std::vector<std::pair<std::string, TRepeat>>& due);  // repeatMutex_ held
  void WriteSummaries(const std::vector<std::pair<std::string, TRepeat>>& due);

  std::mutex repeatMutex_;
  TNowMs repeatClock_;                      // guarded by repeatMutex_
  std::map<std::string, TRepeat> repeats_;  // key: category, '\n', message; guarded by repeatMutex_
};

// The text-file sink.
class TLogFile : public TLogObject {
 public:
  explicit TLogFile(std::string path);
  ~TLogFile() override;
  void WriteLine(std::string_view message, std::string_view category, TLogMessageDepth depth,
                 TLogMessageType type) override;
  void Close() override;
  void Open() override;
  void Reopen() override;
  bool OpenFile();  // append, or create when missing; remembers success

  const std::string& Path() const { return path_; }

 private:
  void WriteRaw(const std::string& text);  // caller holds mutex_

  std::string path_;
  std::mutex mutex_;
  std::FILE* file_ = nullptr;  // guarded by mutex_
};

// Builds the global log from [section] of configFile (creating the filter
// defaults there when missing) and writes the opening banner.
void CreateLog(const std::string& configFile, const std::string& section, const std::string& logFile);
// Writes the closing banner and frees the global log.
void FreeLog();
// Reopens the global log's file (after logrotate moved it); from the thread
// that created the log, while it exists.
void ReopenLog();
// The global log, or nullptr before CreateLog / after FreeLog.
TLogObject* GetLog();

void LogMsg(TLogMessageType type, TLogMessageDepth depth, std::string_view message,
            std::string_view category);
template <typename... Args>
void LogFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view format,
            std::string_view category, const Args&... args) {
  if (TLogObject* log = GetLog()) log->LogFmt(type, depth, format, category, args...);
}

}  // namespace qv
