#include "murmur_server.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "murmur_load.h"

namespace qv::bench {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kSuperUserPassword = "qv-bench-superuser";
constexpr const char* kDatabase = "murmur.sqlite";
// Above what 320-B voice at 50 datagrams a second needs (about 150 kbit/s
// with its IP and UDP headers); murmur's default of 72 kbit/s drops it.
constexpr int kBandwidth = 558000;

}  // namespace

TMurmurServer::TMurmurServer(std::string workDir)
    : workDir_(std::move(workDir)), templateDir_(workDir_ + "/murmur-template") {}

bool TMurmurServer::Installed(std::string& error) {
  if (access(kProgram, X_OK) == 0) return true;
  error = fmt::format("{} is not installed (scripts/install-deps.sh bench installs mumble-server)", kProgram);
  return false;
}

// Runs as root here, so murmurd is told to stay root: without a user name it
// switches to the package's own account, which cannot write the work directory.
bool TMurmurServer::WriteIni(const std::string& dir, uint16_t port, int users) const {
  std::ofstream ini(dir + "/murmur.ini");
  ini << "database=" << dir << "/" << kDatabase << "\n"
      << "host=127.0.0.1\n"
      << "port=" << port << "\n"
      << "users=" << users << "\n"
      << "usersperchannel=0\n"
      << "bandwidth=" << kBandwidth << "\n"
      << "timeout=30\n"
      << "welcometext=\n"
      << "registerName=\nregisterHostname=\nregisterPassword=\nregisterUrl=\n"
      << "bonjour=false\n"
      << "ice=\ndbus=\n"
      << "autobanAttempts=0\n"
      << "messageburst=1000000\nmessagelimit=1000000\n"
      << "certrequired=false\n"
      << "sslCert=" << templateDir_ << "/cert.pem\n"
      << "sslKey=" << templateDir_ << "/key.pem\n"
      << "pidfile=\nlogfile=\n"
      << (geteuid() == 0 ? "uname=root\n" : "");
  return static_cast<bool>(ini);
}

bool TMurmurServer::RunToEnd(const std::vector<std::string>& args, const std::string& output,
                             std::string& error) const {
  TChildProcess child;
  if (!child.Start(args.front(), {args.begin() + 1, args.end()}, output)) {
    error = "cannot start " + args.front();
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + kRelayStartLimit;
  while (child.Running() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  const int code = child.Stop(SIGKILL, kRelayStopLimit);
  if (code != 0) error = fmt::format("{} exited with {}; see {}", args.front(), code, output);
  return code == 0;
}

bool TMurmurServer::PrepareTemplate(std::string& error) {
  if (prepared_) return true;
  if (!Installed(error)) return false;
  fs::create_directories(templateDir_);
  const std::string& d = templateDir_;
  // RSA 2048, as murmur makes for itself when it has no certificate.
  if (!RunToEnd({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "/key.pem",
                 "-out", d + "/cert.pem", "-days", "30", "-subj", "/CN=qv-voice-bench"},
                d + "/openssl.out", error)) {
    return false;
  }
  if (!WriteIni(d, FreeUdpPort(), 10)) {
    error = "cannot write " + d + "/murmur.ini";
    return false;
  }
  prepared_ = RunToEnd({kProgram, "-ini", d + "/murmur.ini", "-supw", kSuperUserPassword}, d + "/supw.out", error);
  return prepared_;
}

bool TMurmurServer::Start(const std::string& scenario, const TServerLayout& layout, std::string& error) {
  if (!PrepareTemplate(error)) return false;
  const std::string dir = Directory(scenario);
  fs::create_directories(dir);
  std::error_code failed;
  fs::copy_file(templateDir_ + "/" + kDatabase, dir + "/" + kDatabase, fs::copy_options::overwrite_existing, failed);
  port_ = FreeUdpPort();  // murmur takes the same number for TCP and UDP
  if (failed || port_ == 0 || !WriteIni(dir, port_, layout.MaxUsers)) {
    error = "cannot prepare " + dir;
    return false;
  }
  const std::string out = dir + "/murmur.out";
  if (!child_.Start(kProgram, {"-fg", "-ini", dir + "/murmur.ini"}, out)) {
    error = std::string("cannot start ") + kProgram;
    return false;
  }
  if (!WaitForFileText(out, fmt::format("Server listening on 127.0.0.1:{}", port_), child_, kRelayStartLimit)) {
    error = "murmurd did not start; see " + out;
    Stop();
    return false;
  }
  if (!CreateChannels(layout, error)) {
    Stop();
    return false;
  }
  return true;
}

bool TMurmurServer::CreateChannels(const TServerLayout& layout, std::string& error) {
  std::vector<std::string> names;
  for (int c = 0; c < layout.Channels; ++c) names.push_back(TQuillvaneServer::ChannelName(layout, c));
  const int64_t deadline = NowNs() + 20'000'000'000;
  TMurmurControl control(MakeMurmurTlsContext());
  TMurmurSession session;
  if (!control.Connect(port_, deadline, error) ||
      !MurmurLogin(control, "SuperUser", kSuperUserPassword, session, deadline, error) ||
      !MurmurCreateChannels(control, session, names, deadline, error)) {
    error = "creating the channels as SuperUser: " + error;
    return false;
  }
  return true;
}

int TMurmurServer::Stop() { return child_.Stop(SIGTERM, kRelayStopLimit); }

}  // namespace qv::bench
