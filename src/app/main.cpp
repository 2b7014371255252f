// quillvane-server: the process entry point.
//
// Reads the command line (version and help answer at once, before any file
// is created), runs the start-up sequence, reports to standard output what an
// operator needs, then sleeps until SIGINT or SIGTERM asks for the orderly
// shutdown. SIGHUP reopens the log file, for log rotation. Under systemd
// (Type=notify) the service manager hears when start-up has finished and
// when shutdown begins.
#include <systemd/sd-daemon.h>

#include <csignal>
#include <cstdio>
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

void WaitForShutdownSignal(const sigset_t& set) {
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (signal == SIGINT || signal == SIGTERM) return;
    if (signal == SIGHUP) {
      qv::ReopenLog();
      qv::LogMsg(qv::lmtAll, qv::lmdInfo, "log file reopened", "SERVER");
    }
  }
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

  sigset_t shutdownSignals = BlockShutdownSignals();
  // A peer that closes its TCP connection early must not end the process.
  std::signal(SIGPIPE, SIG_IGN);

  qv::TServerProcess process(&qv::TVoiceRuntime::Create);
  if (!process.InitServer(commandLine, qv::ProgramDirectory())) {
    qv::LogMsg(qv::lmtError, qv::lmdAll, "critical error, shutdown initiated", "GENERAL");
    std::fprintf(stderr, "critical error, shutdown initiated (see %s)\n", qv::GetSettings().LogFile.c_str());
    return 1;
  }
  qv::ReportStartup(stdout, qv::GetSettings());
  // Both do nothing when the process was not started by systemd.
  sd_notify(0, "READY=1");
  WaitForShutdownSignal(shutdownSignals);
  sd_notify(0, "STOPPING=1");
  process.ShutdownServer();
  return 0;
}
