#include "web/web_hosts.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include "base/text_utils.h"

namespace qv {

namespace {

constexpr auto kRefreshEvery = std::chrono::seconds(30);

std::string AddressOf(const sockaddr* addr) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, text, sizeof text);
  else if (addr->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, text, sizeof text);
  return text;
}

}  // namespace

std::string THostNames::HostOf(std::string_view header) {
  std::string text = LowerCase(Trim(header));
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return "";
    const std::string rest = text.substr(close + 1);
    if (!rest.empty() && (rest[0] != ':' || rest.find_first_not_of("0123456789", 1) != std::string::npos)) return "";
    return text.substr(1, close - 1);
  }
  const size_t colon = text.find(':');
  if (colon != std::string::npos) {
    if (text.find_first_not_of("0123456789", colon + 1) != std::string::npos) return "";
    text.erase(colon);
  }
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

void THostNames::Start(const std::string& bindAddress, const std::vector<std::string>& extraNames) {
  TMutexLock guard(mutex_);
  fixed_ = {"localhost"};
  for (const std::string& name : extraNames) fixed_.push_back(HostOf(name));
  if (!bindAddress.empty()) fixed_.push_back(HostOf(bindAddress));
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') fixed_.push_back(HostOf(name));
  Refresh();
}

void THostNames::Refresh() {
  names_.clear();
  names_.insert(fixed_.begin(), fixed_.end());
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (const ifaddrs* a = list; a; a = a->ifa_next)
      if (a->ifa_addr) names_.insert(AddressOf(a->ifa_addr));
    freeifaddrs(list);
  }
  names_.erase("");
  refreshed_ = std::chrono::steady_clock::now();
}

bool THostNames::Allowed(std::string_view hostHeader) {
  const std::string host = HostOf(hostHeader);
  if (host.empty()) return false;
  TMutexLock guard(mutex_);
  if (names_.count(host)) return true;
  if (std::chrono::steady_clock::now() - refreshed_ < kRefreshEvery) return false;
  Refresh();
  return names_.count(host) > 0;
}

}  // namespace qv
