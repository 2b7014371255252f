// The command line of the server process: its switches, the program
// directory, and the file locations they give.
//
// Thread rules: plain functions on the values they are given.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/process_settings.h"

namespace qv {

enum TCommandAction { caRun, caVersion, caHelp };

struct TCommandLine {
  TCommandAction Action = caRun;
  // Values of the path switches, as given; nullopt when the switch is absent.
  std::optional<std::string> ConfigFile, DatabaseFile, LogFile, SqlDir, BadNamesFile, HttpDocsDir, PidFile;
  bool NoPasswordDialog = false;
};

// Reads the arguments (without the program name) left to right. Switches
// compare ignoring letter case; a value keeps its own. The first version or
// help switch ends the reading. Unknown arguments are ignored.
TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// The directory of the running executable without a trailing "/", or the
// current directory when that cannot be found.
std::string ProgramDirectory();

// Puts the command line's paths into settings and fills the ones it left
// empty with their places inside programDir. The SQL scripts and the web
// documents are taken from the install tree's shared data
// (programDir/../share/quillvane) when they are not beside the program.
void ApplyFileLocations(const TCommandLine& commandLine, const std::string& programDir,
                        TProcessSettings& settings);

}  // namespace qv
