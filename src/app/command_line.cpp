#include "app/command_line.h"

#include <array>
#include <filesystem>

#include "base/text_utils.h"

namespace qv {

namespace {

struct TValueSwitch {
  std::string_view name;
  std::optional<std::string> TCommandLine::*field;
};

constexpr std::array<TValueSwitch, 7> kValueSwitches = {{
    {"-INI=", &TCommandLine::ConfigFile},
    {"-DB=", &TCommandLine::DatabaseFile},
    {"-LOG=", &TCommandLine::LogFile},
    {"-PID=", &TCommandLine::PidFile},
    {"-SQL=", &TCommandLine::SqlDir},
    {"-BADNAMES=", &TCommandLine::BadNamesFile},
    {"-HTTPDOCS=", &TCommandLine::HttpDocsDir},
}};

bool StartsWithAny(const std::string& upper, std::initializer_list<std::string_view> prefixes) {
  for (std::string_view p : prefixes)
    if (upper.compare(0, p.size(), p) == 0) return true;
  return false;
}

// A value switch may stand anywhere in its argument ("--ini=x" works too);
// the earliest switch in the argument wins, so a path that happens to hold
// another switch's name ("-INI=/srv/a-db=b/server.ini") stays one value.
bool ReadValueSwitch(const std::string& arg, TCommandLine& out) {
  std::string upper = UpperCase(arg);
  const TValueSwitch* found = nullptr;
  size_t foundAt = std::string::npos;
  for (const TValueSwitch& s : kValueSwitches) {
    size_t at = upper.find(s.name);
    if (at < foundAt) {
      found = &s;
      foundAt = at;
    }
  }
  if (!found) return false;
  out.*(found->field) = arg.substr(foundAt + found->name.size());
  return true;
}

std::string JoinPath(const std::string& dir, std::string_view name) {
  if (!dir.empty() && dir.back() == '/') return dir + std::string(name);
  return dir + "/" + std::string(name);
}

#ifndef QV_DATA_FROM_PROGRAM
#define QV_DATA_FROM_PROGRAM "../share/quillvane"
#endif

// Where the data directory `name` of a program in programDir is: beside the
// program (the build tree, an unpacked archive), or else in the shared data
// of the install tree when it is there.
std::string DataDir(const std::string& programDir, std::string_view name) {
  std::string beside = JoinPath(programDir, name);
  std::error_code ec;
  if (std::filesystem::is_directory(beside, ec)) return beside;
  std::string installed = JoinPath(JoinPath(programDir, QV_DATA_FROM_PROGRAM), name);
  if (std::filesystem::is_directory(installed, ec))
    return std::filesystem::path(installed).lexically_normal().string();
  return beside;
}

// The given path, or the default when the switch was absent or left empty.
std::string PathOr(const std::optional<std::string>& given, std::string fallback) {
  return (given && !given->empty()) ? *given : std::move(fallback);
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  TCommandLine out;
  for (const std::string& arg : args) {
    // Value switches come first so that "-HTTPDOCS=<dir>" is never taken
    // for the help switch "-H".
    if (ReadValueSwitch(arg, out)) continue;
    if (SameText(arg, "-nopwdialog")) {
      out.NoPasswordDialog = true;
      continue;
    }
    std::string upper = UpperCase(arg);
    if (StartsWithAny(upper, {"-VER", "--VER"})) {
      out.Action = caVersion;
      return out;
    }
    if (StartsWithAny(upper, {"-?", "--?", "-H", "--H", "-HELP", "--HELP", "/HELP", "/?", "/H"})) {
      out.Action = caHelp;
      return out;
    }
  }
  return out;
}

std::string ProgramDirectory() {
  std::error_code ec;
  std::string dir = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
  if (ec || dir.empty() || dir.rfind("./", 0) == 0) dir = std::filesystem::current_path(ec).string();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

void ApplyFileLocations(const TCommandLine& commandLine, const std::string& programDir,
                        TProcessSettings& settings) {
  settings.DatabaseFile = PathOr(commandLine.DatabaseFile, JoinPath(programDir, "server.dbs"));
  settings.ConfigFile = PathOr(commandLine.ConfigFile, JoinPath(programDir, "server.ini"));
  std::optional<std::string> docs;
  if (commandLine.HttpDocsDir) docs = Trim(*commandLine.HttpDocsDir);
  settings.HttpDocsDir = PathOr(docs, DataDir(programDir, "httpdocs"));
  settings.LogFile = PathOr(commandLine.LogFile, JoinPath(programDir, "server.log"));
  settings.SqlDir = PathOr(commandLine.SqlDir, DataDir(programDir, "sqlite_sql") + "/");
  settings.BadNamesFile = PathOr(commandLine.BadNamesFile, JoinPath(programDir, "bad_names.txt"));
  settings.PidFile = commandLine.PidFile.value_or("");
  settings.ShowPasswordDialog = !commandLine.NoPasswordDialog;
}

}  // namespace qv
