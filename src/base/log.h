// The process-wide log.
//
// Every message carries a type, a depth and a category; the [Debug] section of
// the configuration file decides per type and depth what is written. The one
// global log object is created at start-up (CreateLog) before anything else
// reads the configuration and freed as the very last step of shutdown
// (FreeLog). Code that may run without a log (tests, tools) uses the free
// functions LogMsg/LogFmt, which do nothing when no log exists.
//
// Errors and warnings that pass the filter are also copied to standard error
// once SetStandardErrorCopy says how (the server's main does; tests and tools
// leave it off), so that a service manager's journal shows them at their
// priority.
//
// Thread rules: any thread may log. Each line is built completely and written
// with one write under the log's own mutex, so lines of different threads
// never interleave. The file sink's timer thread writes out what is buffered
// and the repeat summaries that are due. CreateLog/FreeLog run while no other
// thread logs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fmt/format.h>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/mutex.h"

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

// A line whose text varies with what a remote peer sent (its address, the
// names in its request). Shape is the same line with every varying part
// written as "*": the repeat limiter counts lines of one shape together, so
// that a flood from many forged addresses is bounded like a flood of
// identical lines.
struct TRemoteLine {
  std::string Text;
  std::string Shape;

  // The same line behind a fixed prefix ("SID: 1 ").
  TRemoteLine Prefixed(std::string_view prefix) const;
};

// The shape of a fmt format: every replacement field shown as "*".
std::string FormatShape(std::string_view format);

// The text with control characters (a peer's line breaks, which would forge
// log lines) shown as '?'.
std::string WithoutControls(std::string text);

template <typename... Args>
TRemoteLine RemoteLine(fmt::format_string<Args...> format, Args&&... args) {
  const fmt::string_view text = format;
  return {WithoutControls(fmt::format(format, std::forward<Args>(args)...)), FormatShape({text.data(), text.size()})};
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
  // A line caused by remote input whose text varies per peer: limited by
  // its shape (see kShapeLinesWritten).
  void LogRemote(TLogMessageType type, TLogMessageDepth depth, const TRemoteLine& line,
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
  // repeated N times" stands for them. Lines logged with LogRemote are
  // counted by shape instead, kShapeLinesWritten a second (more, since they
  // also report single events such as a refused login), and their summary
  // shows the shape: "<shape> ... repeated N times".
  static constexpr int kRepeatsWritten = 3;
  static constexpr int kShapeLinesWritten = 10;
  using TNowMs = std::function<int64_t()>;
  // Milliseconds on a monotonic clock (tests move it by hand). Read by the
  // logging threads and the log's timer: it must be safe to call from any.
  void SetRepeatClock(TNowMs now);
  // Writes the summaries still pending (before the log closes).
  void FlushRepeats();
  // Writes the summaries of seconds that are over (the log's timer calls
  // it, so that a summary need not wait for the next line).
  void WriteDueRepeats();
  // Writes out what the sink buffers.
  virtual void Flush() {}

 protected:
  uint8_t types_ = 0xFF;
  uint8_t depths_ = 0xFF;

 private:
  struct TRepeat {
    int Written = 0;
    int Suppressed = 0;
    TLogMessageType Type = lmtDebug;
    TLogMessageDepth Depth = lmdImportant;
  };
  using TDue = std::vector<std::pair<std::string, TRepeat>>;
  // True when the line is to be written; summaries due are appended. key
  // is the message or the shape, limit the lines written a second.
  bool AdmitRepeat(TLogMessageType type, TLogMessageDepth depth, std::string_view key, int limit,
                   std::string_view category, TDue& due);
  void Write(TLogMessageType type, TLogMessageDepth depth, std::string_view message, std::string_view key,
             int limit, std::string_view category);
  int64_t RepeatSecond() REQUIRES(repeatMutex_);
  void TakeDue(int64_t second, TDue& due) REQUIRES(repeatMutex_);
  void WriteSummaries(const TDue& due);
  // WriteLine, and the copy to standard error.
  void Emit(std::string_view message, std::string_view category, TLogMessageDepth depth, TLogMessageType type);

  TMutex repeatMutex_;
  TNowMs repeatClock_ GUARDED_BY(repeatMutex_);
  // The lines of repeatsSecond_; key: category, '\n', message or shape.
  std::map<std::string, TRepeat> repeats_ GUARDED_BY(repeatMutex_);
  int64_t repeatsSecond_ GUARDED_BY(repeatMutex_) = 0;
};

// The text-file sink. Lines are buffered, so that a burst of lines costs no
// system call each: what is buffered is written out by the next line after
// kFlushIntervalMs, by a timer thread of the log at that interval, at once
// with an error or a warning, and on Close, Reopen, Flush and destruction.
class TLogFile : public TLogObject {
 public:
  static constexpr int64_t kFlushIntervalMs = 1000;

  explicit TLogFile(std::string path);  // starts the timer
  ~TLogFile() override;
  void WriteLine(std::string_view message, std::string_view category, TLogMessageDepth depth,
                 TLogMessageType type) override;
  void Close() override;  // also ends the timer
  void Open() override;
  void Reopen() override;
  void Flush() override;
  bool OpenFile();  // append, or create when missing; remembers success

  const std::string& Path() const { return path_; }

 private:
  using TSteady = std::chrono::steady_clock;
  void OpenLocked() REQUIRES(mutex_);
  void WriteRaw(const std::string& text, bool flushNow) REQUIRES(mutex_);
  void FlushLocked() REQUIRES(mutex_);
  void TimerLoop();
  void StopTimer();

  std::string path_;
  TMutex mutex_;
  std::FILE* file_ GUARDED_BY(mutex_) = nullptr;
  bool unflushed_ GUARDED_BY(mutex_) = false;
  TSteady::time_point lastFlush_ GUARDED_BY(mutex_);

  // A std::mutex for its condition variable's wait, which the analysis
  // cannot follow.
  std::mutex timerMutex_;
  std::condition_variable timerWake_;
  // Guarded by timerMutex_; not annotated: the timer's wait loop unlocks and
  // relocks it through std::unique_lock, which the analysis does not follow.
  bool timerStop_ = false;
  std::thread timer_;
};

// How errors and warnings are copied to standard error: not at all, as plain
// lines ("ERROR [SERVER] text"), or with the priority prefix of the systemd
// journal ("<3>[SERVER] text" for errors, "<4>" for warnings), which the
// journal takes as the line's priority.
enum TStandardErrorCopy : uint8_t { secNone, secPlain, secJournal };
// Set before the log is created; read by every logging thread.
void SetStandardErrorCopy(TStandardErrorCopy copy);
// The standard-error line of a message ("" for types that are not copied).
std::string StandardErrorLine(TStandardErrorCopy copy, TLogMessageType type, std::string_view category,
                              std::string_view message);

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
void LogRemote(TLogMessageType type, TLogMessageDepth depth, const TRemoteLine& line, std::string_view category);
// Writes out what the global log buffers (tests that read the file).
void FlushLog();
template <typename... Args>
void LogFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view format,
            std::string_view category, const Args&... args) {
  if (TLogObject* log = GetLog()) log->LogFmt(type, depth, format, category, args...);
}

}  // namespace qv
