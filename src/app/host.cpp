#include "app/host.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <fstream>
#include <memory>

#include "announce/external_ip.h"
#include "base/log.h"
#include "base/version.h"

namespace qv {

namespace {

struct TAddrInfoFree {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

std::string TrayTip(const TProcessSettings& settings) {
  if (settings.TrayIdent.empty()) return "Quillvane Server";
  return settings.TrayIdent.substr(0, 63);
}

}  // namespace

std::vector<std::string> LocalAddresses() {
  std::array<char, HOST_NAME_MAX + 1> host{};
  if (gethostname(host.data(), host.size() - 1) != 0) return {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;  // one entry per address instead of one per socket type
  addrinfo* raw = nullptr;
  if (getaddrinfo(host.data(), nullptr, &hints, &raw) != 0) return {};
  std::unique_ptr<addrinfo, TAddrInfoFree> list(raw);
  std::vector<std::string> out;
  for (addrinfo* a = list.get(); a; a = a->ai_next) {
    if (a->ai_family != AF_INET || !a->ai_addr) continue;
    std::array<char, INET_ADDRSTRLEN> text{};
    auto* in = reinterpret_cast<sockaddr_in*>(a->ai_addr);
    if (!inet_ntop(AF_INET, &in->sin_addr, text.data(), text.size())) continue;
    std::string address(text.data());
    if (std::find(out.begin(), out.end(), address) == out.end()) out.push_back(address);
  }
  return out;
}

std::string StartupReport(const TProcessSettings& settings, const std::vector<std::string>& addresses,
                          const std::optional<std::string>& externalAddress) {
  std::string out = TrayTip(settings) + "\n" + VersionMessage() + "\n";
  for (const std::string& address : addresses) out += "Local IP: " + address + "\n";
  if (externalAddress) out += "External IP: " + *externalAddress + "\n";
  if (settings.HttpEnabled && settings.HttpPort > 0) {
    const std::string& bind = settings.WebBindAddress();
    out += std::string("Web interface: ") + (settings.WebTls ? "https://" : "http://") +
           (bind.empty() ? (addresses.empty() ? "localhost" : addresses.front()) : bind) + ":" +
           std::to_string(settings.HttpPort) + "/\n";
  }
  if (!settings.TlsFingerprint.empty()) out += "Certificate SHA-256 fingerprint: " + settings.TlsFingerprint + "\n";
  bool newPasswords = !settings.NewAdminPassword.empty() || !settings.NewSuperAdminPassword.empty();
  if (newPasswords && settings.ShowPasswordDialog) {
    out += "New admin password\n";
    out += "New passwords were created for the server. This occurs when the quillvane server is started "
           "for the first time.\n";
    out += "Please save these passwords carefully or better yet, change them as soon as possbile via the "
           "webadmin. This login information is also saved in the server.log file.\n";
    out += "Admin UserName: admin\n";
    out += "Admin Password: " + settings.NewAdminPassword + "\n";
    out += "SAdmin UserName: superadmin\n";
    out += "SAdmin Password: " + settings.NewSuperAdminPassword + "\n";
  }
  return out;
}

bool WritePidFile(const std::string& path) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << getpid() << '\n';
    if (!out.flush()) {
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) == 0) return true;
  std::remove(temporary.c_str());
  return false;
}

void RemovePidFile(const std::string& path) {
  std::ifstream in(path);
  long pid = 0;
  if (in >> pid && pid == static_cast<long>(getpid())) std::remove(path.c_str());
}

void ReportStartup(std::FILE* out, const TProcessSettings& settings) {
  std::vector<std::string> addresses = LocalAddresses();
  for (const std::string& address : addresses)
    LogFmt(lmtAll, lmdInfo, "Local IP: %1", "SERVER", address);
  std::optional<std::string> external = DetectExternalIp(settings);
  if (external) LogFmt(lmtAll, lmdInfo, "External IP: %1", "SERVER", *external);
  std::string text = StartupReport(settings, addresses, external);
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}

}  // namespace qv
