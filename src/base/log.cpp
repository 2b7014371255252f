#include "base/log.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>

#include "base/date_time.h"
#include "base/ini_file.h"
#include "base/text_utils.h"

namespace qv {

namespace {

std::unique_ptr<TLogObject> g_log;  // created at start-up, freed last at shutdown
std::atomic<TStandardErrorCopy> g_standardError{secNone};

const std::string kRule(63, '-');

// The type and depth filters are one bit per value in a byte.
constexpr unsigned kFilterBits = 8;

struct Keyword {
  const char* word;
  uint8_t bit;
};
constexpr Keyword kTypeKeywords[] = {
    {"LMTDEBUG", 0}, {"LMTWARNING", 1}, {"LMTERROR", 2}, {"LMTALL", 3}};
constexpr Keyword kDepthKeywords[] = {{"LMDIMPORTANT", 0}, {"LMDALL", 1},   {"LMDUSEFULL", 2},
                                      {"LMDPROCEDUREINFO", 3}, {"LMDCOMMANDS", 4}, {"LMDINFO", 5}};

template <size_t N>
uint8_t ParseKeywords(const std::string& value, const Keyword (&words)[N]) {
  std::string upper = UpperCase(value);
  uint8_t bits = 0;
  for (const Keyword& k : words)
    if (upper.find(k.word) != std::string::npos) bits |= static_cast<uint8_t>(1u << k.bit);
  return bits;
}

}  // namespace

const char* LogTypeName(TLogMessageType type) {
  switch (type) {
    case lmtDebug: return "DEBUG";
    case lmtWarning: return "WARNING";
    case lmtError: return "ERROR";
    case lmtAll: return "ALL";
  }
  return "";
}

const char* LogDepthName(TLogMessageDepth depth) {
  switch (depth) {
    case lmdImportant: return "Important";
    case lmdAll: return "All";
    case lmdUsefull: return "Usefull";
    case lmdProcedureInfo: return "ProcedureInfo";
    case lmdCommands: return "Commands";
    case lmdInfo: return "Info";
  }
  return "";
}

std::string FormatPlaceholders(std::string_view format, std::initializer_list<std::string> args) {
  std::string out(format);
  size_t n = 1;
  for (const std::string& arg : args) out = ReplaceText(out, "%" + std::to_string(n++), arg);
  return out;
}

// --- TLogObject ---

void TLogObject::SetFilter(uint8_t types, uint8_t depths) {
  types_ = types;
  depths_ = depths;
}

bool TLogObject::Passes(TLogMessageType type, TLogMessageDepth depth) const {
  if (type >= kFilterBits || depth >= kFilterBits) return false;
  bool typeOk = (types_ & (1u << type)) || (types_ & (1u << lmtAll));
  bool depthOk = (depths_ & (1u << depth)) || (depths_ & (1u << lmdAll));
  return typeOk && depthOk;
}

void TLogObject::Log(TLogMessageType type, TLogMessageDepth depth, std::string_view message,
                     std::string_view category) {
  if (!Passes(type, depth)) return;
  Write(type, depth, message, message, kRepeatsWritten, category);
}

void TLogObject::LogRemote(TLogMessageType type, TLogMessageDepth depth, const TRemoteLine& line,
                           std::string_view category) {
  if (!Passes(type, depth)) return;
  Write(type, depth, line.Text, line.Shape, kShapeLinesWritten, category);
}

void TLogObject::Write(TLogMessageType type, TLogMessageDepth depth, std::string_view message,
                       std::string_view key, int limit, std::string_view category) {
  category = category.substr(0, 99);
  TDue due;
  const bool write = AdmitRepeat(type, depth, key, limit, category, due);
  WriteSummaries(due);
  if (write) Emit(message, category, depth, type);
}

void TLogObject::Emit(std::string_view message, std::string_view category, TLogMessageDepth depth,
                      TLogMessageType type) {
  WriteLine(message, category, depth, type);
  const std::string line = StandardErrorLine(g_standardError.load(std::memory_order_relaxed), type, category, message);
  // One write per line, so that lines of different threads stay whole; a
  // closed or full standard error must not hold up the log.
  if (line.empty()) return;
  const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
  static_cast<void>(written);
}

// --- repeated lines ---

TRemoteLine TRemoteLine::Prefixed(std::string_view prefix) const {
  return {std::string(prefix) + Text, std::string(prefix) + Shape};
}

std::string WithoutControls(std::string text) {
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7F) c = '?';
  }
  return text;
}

std::string FormatShape(std::string_view format) {
  std::string shape;
  shape.reserve(format.size());
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if ((c == '{' || c == '}') && i + 1 < format.size() && format[i + 1] == c) {
      shape += c;  // an escaped brace
      ++i;
    } else if (c == '{') {
      const size_t end = format.find('}', i);
      if (end == std::string_view::npos) break;
      shape += '*';
      i = end;
    } else {
      shape += c;
    }
  }
  return shape;
}

void TLogObject::SetRepeatClock(TNowMs now) {
  TMutexLock lock(repeatMutex_);
  repeatClock_ = std::move(now);
}

int64_t TLogObject::RepeatSecond() {
  const int64_t nowMs = repeatClock_ ? repeatClock_()
                                     : std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now().time_since_epoch())
                                           .count();
  return nowMs / 1000;
}

bool TLogObject::AdmitRepeat(TLogMessageType type, TLogMessageDepth depth, std::string_view key, int limit,
                             std::string_view category, TDue& due) {
  TMutexLock lock(repeatMutex_);
  TakeDue(RepeatSecond(), due);
  std::string fullKey(category);
  fullKey += '\n';
  fullKey += key;
  TRepeat& r = repeats_[fullKey];
  if (r.Written == 0) r = TRepeat{0, 0, type, depth};
  if (r.Written < limit) {
    ++r.Written;
    return true;
  }
  ++r.Suppressed;
  return false;
}

// Every entry belongs to repeatsSecond_: once another second has begun they
// all leave the table, and those that swallowed lines leave a summary.
void TLogObject::TakeDue(int64_t second, TDue& due) {
  if (second == repeatsSecond_) return;
  repeatsSecond_ = second;
  for (auto& [key, r] : repeats_) {
    if (r.Suppressed > 0) due.emplace_back(key, r);
  }
  repeats_.clear();
}

void TLogObject::WriteSummaries(const TDue& due) {
  for (const auto& [key, r] : due) {
    const size_t split = key.find('\n');
    Emit(fmt::format("{} ... repeated {} times", key.substr(split + 1), r.Suppressed), key.substr(0, split), r.Depth,
         r.Type);
  }
}

void TLogObject::FlushRepeats() {
  TDue due;
  {
    TMutexLock lock(repeatMutex_);
    TakeDue(INT64_MIN, due);
  }
  WriteSummaries(due);
}

void TLogObject::WriteDueRepeats() {
  TDue due;
  {
    TMutexLock lock(repeatMutex_);
    TakeDue(RepeatSecond(), due);
  }
  WriteSummaries(due);
}

void TLogObject::LogMemory() { WriteLine(" !!! LogMemory not supported yet !!!", "", lmdImportant, lmtDebug); }

void TLogObject::Entered(std::string_view name, std::string_view category) {
  Log(lmtDebug, lmdProcedureInfo, std::string(" Entered ") + std::string(name), category);
}

void TLogObject::Left(std::string_view name, std::string_view category) {
  Log(lmtDebug, lmdProcedureInfo, std::string(" Left ") + std::string(name), category);
}

// --- TLogFile ---

namespace {
constexpr size_t kFileBuffer = 64 * 1024;
}  // namespace

TLogFile::TLogFile(std::string path) : path_(std::move(path)), lastFlush_(TSteady::now()) {
  timer_ = std::thread(&TLogFile::TimerLoop, this);
}

TLogFile::~TLogFile() {
  StopTimer();
  TMutexLock lock(mutex_);
  if (file_) std::fclose(file_);  // writes out the buffer
}

void TLogFile::TimerLoop() {
  std::unique_lock lock(timerMutex_);
  while (!timerStop_) {
    timerWake_.wait_for(lock, std::chrono::milliseconds(kFlushIntervalMs));
    if (timerStop_) break;
    lock.unlock();
    WriteDueRepeats();
    Flush();
    lock.lock();
  }
}

void TLogFile::StopTimer() {
  {
    std::lock_guard lock(timerMutex_);
    timerStop_ = true;
  }
  timerWake_.notify_all();
  if (timer_.joinable()) timer_.join();
}

void TLogFile::OpenLocked() {
  if (file_) return;
  file_ = std::fopen(path_.c_str(), "ab");  // "a" creates a missing file
  if (file_) std::setvbuf(file_, nullptr, _IOFBF, kFileBuffer);
}

bool TLogFile::OpenFile() {
  TMutexLock lock(mutex_);
  OpenLocked();
  return file_ != nullptr;
}

void TLogFile::WriteRaw(const std::string& text, bool flushNow) {
  OpenLocked();
  if (!file_) return;  // dropped; opening is tried again on the next line
  std::fwrite(text.data(), 1, text.size(), file_);
  unflushed_ = true;
  if (flushNow || TSteady::now() - lastFlush_ >= std::chrono::milliseconds(kFlushIntervalMs)) FlushLocked();
}

void TLogFile::FlushLocked() {
  if (file_ && unflushed_) std::fflush(file_);
  unflushed_ = false;
  lastFlush_ = TSteady::now();
}

void TLogFile::Flush() {
  TMutexLock lock(mutex_);
  FlushLocked();
}

void TLogFile::WriteLine(std::string_view message, std::string_view category, TLogMessageDepth depth,
                         TLogMessageType type) {
  std::string line = FormatDateTime("dd-mm-yy hh:nn:ss", Now());
  line += ',';
  line += LogTypeName(type);
  line += ',';
  line += LogDepthName(depth);
  line += ',';
  line += category.substr(0, 99);
  line += ",\t";
  line += message;
  line += '\n';
  TMutexLock lock(mutex_);
  WriteRaw(line, type == lmtError || type == lmtWarning);
}

void TLogFile::Open() {
  std::string text = kRule + "\n-------------- log started at " + FormatDateTime("dd-mm-yy hh:nn", Now()) +
                     " -------------\n" + kRule + "\n";
  TMutexLock lock(mutex_);
  WriteRaw(text, true);
}

void TLogFile::Close() {
  StopTimer();
  std::string text = kRule + "\n--------------- log ended at " + FormatDateTime("dd-mm-yy hh:nn", Now()) +
                     " --------------\n" + kRule + "\n";
  TMutexLock lock(mutex_);
  WriteRaw(text, true);
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

void TLogFile::Reopen() {
  TMutexLock lock(mutex_);
  if (file_) std::fclose(file_);  // writes out the buffer into the old file
  file_ = nullptr;
  unflushed_ = false;
  OpenLocked();
}

// --- standard error ---

void SetStandardErrorCopy(TStandardErrorCopy copy) { g_standardError.store(copy, std::memory_order_relaxed); }

std::string StandardErrorLine(TStandardErrorCopy copy, TLogMessageType type, std::string_view category,
                              std::string_view message) {
  if (copy == secNone || (type != lmtError && type != lmtWarning)) return "";
  std::string line;
  if (copy == secJournal) {
    line = type == lmtError ? "<3>" : "<4>";
  } else {
    line = LogTypeName(type);
    line += ' ';
  }
  line += '[';
  line += category.substr(0, 99);
  line += "] ";
  // A line break inside the message would start a journal entry of its own
  // at the default priority.
  line += WithoutControls(std::string(message));
  line += '\n';
  return line;
}

// --- the global log ---

void CreateLog(const std::string& configFile, const std::string& section, const std::string& logFile) {
  TIniFile ini(configFile);
  ini.Load();
  // A debug viewer named by "tcphost" is not offered on this platform: its
  // messages go to the log file like all others.
  auto log = std::make_unique<TLogFile>(logFile);
  if (Trim(ini.ReadString(section, "MessageTypes", "")).empty()) {
    ini.WriteString(section, "MessageTypes", "LMTALL");
    ini.WriteString(section, "MessageDepths", "LMDALL");
    ini.UpdateFile();
  }
  log->SetFilter(ParseKeywords(ini.ReadString(section, "MessageTypes", ""), kTypeKeywords),
                 ParseKeywords(ini.ReadString(section, "MessageDepths", ""), kDepthKeywords));
  log->OpenFile();
  log->Open();
  g_log = std::move(log);
}

void FreeLog() {
  if (!g_log) return;
  g_log->FlushRepeats();
  g_log->Close();
  g_log.reset();
}

void ReopenLog() {
  if (g_log) g_log->Reopen();
}

TLogObject* GetLog() { return g_log.get(); }

void LogMsg(TLogMessageType type, TLogMessageDepth depth, std::string_view message, std::string_view category) {
  if (TLogObject* log = g_log.get()) log->Log(type, depth, message, category);
}

void LogRemote(TLogMessageType type, TLogMessageDepth depth, const TRemoteLine& line, std::string_view category) {
  if (TLogObject* log = g_log.get()) log->LogRemote(type, depth, line, category);
}

void FlushLog() {
  if (TLogObject* log = g_log.get()) log->Flush();
}

}  // namespace qv
