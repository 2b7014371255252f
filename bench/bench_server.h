// The relays under test as child processes: the real quillvane-server in a
// directory of its own (configuration, database, log), prepared to admit
// hundreds of players in channels of a chosen size, and the raw fan-out
// baseline.
//
// Preparation runs the server once on a fresh database (its first run,
// which creates the default server, its accounts and permissions), then
// edits that database: a free port, a raised player limit, and one
// registered channel per group of players. Every scenario starts from a
// copy of that template.
//
// Thread rules: none of these classes is shared between threads.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace qv::bench {

// How long a relay may take to start and to stop.
inline constexpr std::chrono::seconds kRelayStartLimit{30};
inline constexpr std::chrono::seconds kRelayStopLimit{15};

// A child process with its standard output and error in one file.
class TChildProcess {
 public:
  TChildProcess() = default;
  ~TChildProcess();  // SIGKILL when still running
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& outputFile);
  pid_t Pid() const { return pid_; }
  bool Running();
  // Sends the signal and waits up to the limit; the exit code, or -1.
  int Stop(int signal, std::chrono::milliseconds limit);

 private:
  bool Reap();
  pid_t pid_ = -1;
  int status_ = 0;
  bool exited_ = false;
};

// Waits until the file contains the text (or the child ends, or time runs out).
bool WaitForFileText(const std::string& file, const std::string& text, TChildProcess& child,
                     std::chrono::milliseconds limit);
std::string ReadWholeFile(const std::string& path);
// A UDP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeUdpPort();

struct TServerLayout {
  std::string Name;  // channel names are "<Name><index>"
  int Channels = 0;  // on every virtual server
  uint16_t MaxUsers = 0;
  // [Metrics]: the endpoint on this TCP port (127.0.0.1) when nonzero, off otherwise.
  uint16_t MetricsPort = 0;
  int Servers = 1;   // virtual servers, each a copy of the default one on a port of its own
  // Accounts "<AccountName><i>" with password "<AccountName><i>-pw" on every
  // virtual server, stored in clear text: the server hashes them at start.
  int Accounts = 0;
  static constexpr const char* AccountName = "churn";
};

// The real server in its own directory.
class TQuillvaneServer {
 public:
  // buildDir holds quillvane-server and sqlite_sql/.
  TQuillvaneServer(std::string buildDir, std::string workDir);
  // The first run on a fresh database, in <workDir>/template. False with a reason.
  bool PrepareTemplate(std::string& error);
  // Copies the template into <workDir>/<scenario>, applies the layout and
  // starts the server on a free port. False with a reason.
  bool Start(const std::string& scenario, const TServerLayout& layout, std::string& error);
  // SIGTERM, then the exit code (-1 when it had to be killed).
  int Stop();
  pid_t Pid() const { return child_.Pid(); }
  uint16_t Port() const { return port_; }
  // The voice ports of all virtual servers, the first one being Port().
  const std::vector<uint16_t>& Ports() const { return ports_; }
  bool Running() { return child_.Running(); }
  static std::string ChannelName(const TServerLayout& layout, int index);
  std::string Directory(const std::string& scenario) const { return workDir_ + "/" + scenario; }

 private:
  std::vector<std::string> Args(const std::string& dir) const;
  bool WriteIni(const std::string& dir) const;
  static bool WriteMetricsSettings(const std::string& ini, uint16_t port);
  bool ApplyLayout(const std::string& database, const TServerLayout& layout, std::string& error) const;
  bool AddServers(sqlite3* db, int count, std::string& error) const;

  std::string buildDir_;
  std::string workDir_;
  TChildProcess child_;
  uint16_t port_ = 0;
  std::vector<uint16_t> ports_;
};

// The raw fan-out relay (qv-fanout-baseline).
class TBaselineRelay {
 public:
  explicit TBaselineRelay(std::string buildDir, std::string workDir);
  bool Start(const std::string& scenario, std::string& error);
  int Stop();
  pid_t Pid() const { return child_.Pid(); }
  uint16_t Port() const { return port_; }
  bool Running() { return child_.Running(); }

 private:
  std::string buildDir_;
  std::string workDir_;
  TChildProcess child_;
  uint16_t port_ = 0;
};

}  // namespace qv::bench
