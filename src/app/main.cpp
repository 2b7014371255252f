// quillvane-server: the process entry point.
//
// Reads the command line (version and help answer at once, before any file
// is created), runs the start-up sequence, reports to standard output what an
// operator needs, then sleeps until SIGINT or SIGTERM asks for the orderly
// shutdown. SIGHUP reopens the log file, for log rotation. Under systemd
// (Type=notify) the service manager hears when start-up has finished, with a
// STATUS= line of what runs, and when shutdown begins. Errors and warnings of
// the log also go to standard error (with the journal's priority prefixes
// when standard error is the journal). A process that got nothing at all to
// serve (no virtual server, web or query interface) ends with status 1.
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/host.h"
#include "base/log.h"
#include "app/command_line.h"
#include "app/startup.h"
#include "base/version.h"
#include "voice/voice_runtime.h"

namespace {

// Blocks the shutdown and log-reopen signals in the calling thread. Done
// before any other thread exists, so every thread inherits the mask and the
// signals are only ever taken by sigwait on the main thread: no work runs in
// a signal handler.
sigset_t BlockShutdownSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  return set;
}

void WaitForShutdownSignal(const sigset_t& set, qv::TServerProcess& process) {
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (signal == SIGINT || signal == SIGTERM) return;
    if (signal == SIGHUP) {
      qv::ReopenLog();
      qv::LogMsg(qv::lmtAll, qv::lmdInfo, "log file reopened", "SERVER");
      process.ReloadCertificate();
    }
  }
}

// Whether standard error is connected to the systemd journal: the service
// manager names the stream it connected in JOURNAL_STREAM ("device:inode").
bool StandardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  struct stat st {};
  if (!stream || fstat(STDERR_FILENO, &st) != 0) return false;
  unsigned long long device = 0, inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  return device == static_cast<unsigned long long>(st.st_dev) && inode == static_cast<unsigned long long>(st.st_ino);
}

}  // namespace

int main(int argc, char** argv) {
  qv::TCommandLine commandLine = qv::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (commandLine.Action == qv::caVersion) {
    std::printf("%s\n", qv::VersionMessage().c_str());
    return 0;
  }
  if (commandLine.Action == qv::caHelp) {
    std::printf("%s", qv::HelpMessage().c_str());
    return 0;
  }

  // Database, log, configuration and key are nobody else's business: new
  // files are at most rw-r----- (the key is made rw------- on its own).
  umask(027);
  sigset_t shutdownSignals = BlockShutdownSignals();
  // A peer that closes its TCP connection early must not end the process.
  std::signal(SIGPIPE, SIG_IGN);

  qv::SetStandardErrorCopy(StandardErrorIsJournal() ? qv::secJournal : qv::secPlain);
  qv::TServerProcess process(&qv::TVoiceRuntime::Create);
  if (!process.InitServer(commandLine, qv::ProgramDirectory())) {
    // The failing step's own line has gone to standard error before it.
    qv::LogMsg(qv::lmtError, qv::lmdAll, "critical error, shutdown initiated", "GENERAL");
    return 1;
  }
  // The notices do nothing when the process was not started by systemd.
  const std::string status = process.Status().Text();
  if (!process.Status().Serving()) {
    qv::LogMsg(qv::lmtError, qv::lmdImportant, "nothing to serve, shutdown initiated: " + status, "GENERAL");
    sd_notifyf(0, "STATUS=nothing to serve: %s", status.c_str());
    process.ShutdownServer();
    return 1;
  }
  qv::ReportStartup(stdout, qv::GetSettings());
  sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
  WaitForShutdownSignal(shutdownSignals, process);
  sd_notify(0, "STOPPING=1");
  process.ShutdownServer();
  return 0;
}
