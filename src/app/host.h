// What a desktop host would show the operator, for a headless process: the
// server's identity and version, the machine's local addresses and, on the
// very first run, the generated administrator passwords. It all goes to
// standard output once start-up has finished; the log has the passwords and
// addresses as well. The external address is asked of the server-list host
// when detection is on and a host is configured.
//
// Thread rules: call from the main thread after start-up; no shared state.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace qv {

// The IPv4 addresses the machine's own host name resolves to, in resolver
// order, without repeats; none when the name does not resolve.
std::vector<std::string> LocalAddresses();

// The text printed at start-up, one item per line.
std::string StartupReport(const TProcessSettings& settings, const std::vector<std::string>& addresses,
                          const std::optional<std::string>& externalAddress = std::nullopt);

// Writes the process id and a line break to path (through a temporary file
// beside it, so that a reader never sees half of it). False when it cannot.
bool WritePidFile(const std::string& path);
// Removes path when it still holds this process's id (a later process may
// have taken it over).
void RemovePidFile(const std::string& path);

// Detects the external address, prints StartupReport to out (and flushes it)
// and logs the local and external addresses.
void ReportStartup(std::FILE* out, const TProcessSettings& settings);

}  // namespace qv
