// THostNames: the names a web request's Host header may give. A page of
// another site can make a browser talk to this interface under a name of
// that site that its DNS points here (DNS rebinding); such requests get 421
// and nothing of them is processed. Allowed are the machine's own addresses,
// "localhost", the machine's host name, the bind address and the names of
// the setting WebHostNames (a public name of the server).
//
// Thread rules: Start before requests run; Allowed from any thread (a leaf
// lock of its own; the address list is read again, at most every 30
// seconds, when a name is not found, so that a new address is taken up).
#pragma once

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"

namespace qv {

class THostNames {
 public:
  void Start(const std::string& bindAddress, const std::vector<std::string>& extraNames);
  // Whether the Host header (a name or address, with or without a port)
  // names this server.
  bool Allowed(std::string_view hostHeader);

  // The host of a Host header: without port and brackets, lower case,
  // without a final dot; empty when the header is malformed.
  static std::string HostOf(std::string_view hostHeader);

 private:
  void Refresh() REQUIRES(mutex_);

  TMutex mutex_;
  std::vector<std::string> fixed_ GUARDED_BY(mutex_);
  std::set<std::string, std::less<>> names_ GUARDED_BY(mutex_);
  std::chrono::steady_clock::time_point refreshed_ GUARDED_BY(mutex_){};
};

}  // namespace qv
