// A binary of the build (the real quillvane-server, or the client tool) run
// as a child process by end-to-end tests: free loopback ports, a server.ini on
// ports of the test's choosing, the server's command line for files in a
// temporary directory, and the process itself with standard output and error
// in files. Waits are polls bounded by a time limit. A TChildProcess belongs
// to the thread that started it; it is killed and reaped when it goes.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/test_dir.h"

extern char** environ;

namespace qv::test {

inline constexpr auto kProcessLimit = std::chrono::seconds(90);  // the binaries run under the sanitizers

// The build tree with the binaries ("" when the test runs outside ctest).
inline std::string BuildDir() {
  const char* dir = std::getenv("QV_BUILD_DIR");
  return dir ? dir : "";
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A loopback port that was free a moment ago (type SOCK_DGRAM or SOCK_STREAM).
inline uint16_t FreePort(int type) {
  int fd = socket(AF_INET, type, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t size = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  close(fd);
  return ntohs(addr.sin_port);
}

// A server.ini with the query port (0: none) and the web port (0: web off),
// no external address detection and no announcement; `more` are further
// "Key=Value\n" lines of the main section.
// A TCP connection to the loopback port from the loopback address `from`
// (so that limits per address of one test do not meet another's); -1 when
// it fails.
inline int ConnectFrom(uint16_t port, const std::string& from) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  close(fd);
  return -1;
}

inline void WriteServerIni(const std::string& path, uint16_t queryPort, uint16_t httpPort, const std::string& more = "") {
  std::string web = httpPort ? "HTTPServer Port=" + std::to_string(httpPort) + "\n" : "HTTPServer Enabled=0\n";
  WriteFile(path, "[Main Config]\nTCPQueryPort=" + std::to_string(queryPort) + "\n" + web +
                      "ExternalIPDectection=0\n" + more + "[WebPost]\nEnabled=0\n");
}

// The server's command line for its files in `dir`, each name after `prefix`.
inline std::vector<std::string> ServerCommand(const TempDir& dir, const std::string& prefix = "",
                                              std::vector<std::string> more = {}) {
  std::vector<std::string> args{BuildDir() + "/quillvane-server",      "-INI=" + dir.File(prefix + "server.ini"),
                                "-DB=" + dir.File(prefix + "server.dbs"), "-LOG=" + dir.File(prefix + "server.log"),
                                "-SQL=" + BuildDir() + "/sqlite_sql/",     "-BADNAMES=" + dir.File(prefix + "bad_names.txt")};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

class TChildProcess {
 public:
  // Starts command[0] with the rest as its arguments.
  TChildProcess(std::vector<std::string> command, std::string out, std::string err)
      : out_(std::move(out)), err_(std::move(err)) {
    std::vector<char*> argv;
    for (std::string& a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~TChildProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  std::string Out() const { return ReadFile(out_); }
  std::string Err() const { return ReadFile(err_); }

  // Waits until the file holds `text`; false when the process ended first or
  // the limit passed.
  bool WaitForText(const std::string& file, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Has(ReadFile(file), text)) return true;
      if (Reap()) return Has(ReadFile(file), text);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Sends the signal to the running process.
  void Signal(int signal) {
    if (!Reap()) kill(pid_, signal);
  }

  // Sends the signal (0: none) and waits for the end: the exit code, or -1
  // when the process did not end in time or ended by a signal.
  int Finish(int signal = 0) {
    if (signal != 0 && !Reap()) kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
    while (!Reap() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  // Whether the process has ended (or never started).
  bool Reap() {
    if (pid_ <= 0) return true;
    if (!exited_ && pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return exited_;
  }

  std::string out_, err_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool exited_ = false;
};

}  // namespace qv::test
