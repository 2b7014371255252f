// murmur (Debian's mumble-server, /usr/sbin/murmurd) as a relay under test,
// in a directory of its own.
//
// The first Start makes a self-signed certificate with openssl and a
// database with a SuperUser password (murmurd -supw). Each Start copies that
// database into <workDir>/<scenario>, writes an ini (127.0.0.1 on a free
// port, no registration or public listing, no ICE or D-Bus, no autoban, a
// user limit above the scenario's clients, a bandwidth limit that lets 320-B
// voice through, no limit on control messages), runs murmurd in the
// foreground and, as SuperUser, creates the scenario's channels below the
// root (named as TQuillvaneServer::ChannelName names them).
//
// Thread rules: not shared between threads.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "bench_server.h"

namespace qv::bench {

class TMurmurServer {
 public:
  static constexpr const char* kProgram = "/usr/sbin/murmurd";

  explicit TMurmurServer(std::string workDir);
  // False with a reason when murmurd is not installed (scripts/install-deps.sh bench).
  static bool Installed(std::string& error);
  bool Start(const std::string& scenario, const TServerLayout& layout, std::string& error);
  // SIGTERM, then the exit code (-1 when it had to be killed).
  int Stop();
  pid_t Pid() const { return child_.Pid(); }
  uint16_t Port() const { return port_; }
  bool Running() { return child_.Running(); }
  std::string Directory(const std::string& scenario) const { return workDir_ + "/murmur-" + scenario; }

 private:
  bool PrepareTemplate(std::string& error);
  bool WriteIni(const std::string& dir, uint16_t port, int users) const;
  bool RunToEnd(const std::vector<std::string>& args, const std::string& output, std::string& error) const;
  bool CreateChannels(const TServerLayout& layout, std::string& error);

  std::string workDir_;
  std::string templateDir_;
  bool prepared_ = false;
  TChildProcess child_;
  uint16_t port_ = 0;
};

}  // namespace qv::bench
