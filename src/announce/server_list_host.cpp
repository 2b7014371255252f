#include "announce/server_list_host.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "base/text_utils.h"
#include "model/server_control.h"

namespace qv {

namespace {

constexpr std::chrono::milliseconds kStopCheck{50};

struct TAddrInfoFree {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

// What the waiting thread and the helper share; the helper keeps it alive
// after an abandoned wait.
struct TBoundedCall {
  std::mutex mutex;
  std::condition_variable done;
  // Guarded by mutex; not annotated: the waiting thread holds it through
  // std::unique_lock and its waits, which the analysis does not follow.
  bool finished = false;
  std::optional<std::string> result;
};

}  // namespace

std::string TServerListHost::HttpBase() const {
  std::string host = Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
  return "http://" + host + ":" + std::to_string(HttpPort());
}

std::optional<TServerListHost> ParseServerListHost(std::string_view text) {
  std::string s = Trim(text);
  if (s.empty()) return std::nullopt;
  TServerListHost out;
  // "[v6]:port", "name:port", or a bare name or address.
  size_t colon = s.rfind(':');
  bool bracketed = s.front() == '[';
  bool hasPort = colon != std::string::npos && (bracketed ? s.find(']') < colon : s.find(':') == colon);
  out.Host = hasPort ? s.substr(0, colon) : s;
  if (hasPort) {
    std::optional<int64_t> port = ParseInt(std::string_view(s).substr(colon + 1));
    if (!port || !ValidUdpPort(*port)) return std::nullopt;
    out.Port = static_cast<uint16_t>(*port);
  }
  if (out.Host.size() >= 2 && out.Host.front() == '[' && out.Host.back() == ']')
    out.Host = out.Host.substr(1, out.Host.size() - 2);
  if (out.Host.empty()) return std::nullopt;
  return out;
}

std::optional<std::string> ResolveIPv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* raw = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &raw) != 0) return std::nullopt;
  std::unique_ptr<addrinfo, TAddrInfoFree> list(raw);
  for (addrinfo* a = list.get(); a; a = a->ai_next) {
    if (a->ai_family != AF_INET || !a->ai_addr) continue;
    std::array<char, INET_ADDRSTRLEN> text{};
    auto* in = reinterpret_cast<sockaddr_in*>(a->ai_addr);
    if (inet_ntop(AF_INET, &in->sin_addr, text.data(), text.size())) return std::string(text.data());
  }
  return std::nullopt;
}

std::optional<std::string> RunBounded(std::function<std::optional<std::string>()> task,
                                      std::chrono::milliseconds limit, const std::atomic<bool>* stop,
                                      const std::function<void()>& cancel) {
  auto call = std::make_shared<TBoundedCall>();
  std::thread helper([call, task = std::move(task)] {
    std::optional<std::string> result;
    try {
      result = task();
    } catch (...) {
      // A failed call has no result; the caller treats it like a time-out.
    }
    std::lock_guard lock(call->mutex);
    call->result = std::move(result);
    call->finished = true;
    call->done.notify_all();
  });
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock lock(call->mutex);
  while (!call->finished && std::chrono::steady_clock::now() < deadline && !(stop && stop->load())) {
    call->done.wait_for(lock, std::min<std::chrono::steady_clock::duration>(
                                  kStopCheck, deadline - std::chrono::steady_clock::now()));
  }
  if (call->finished) {
    std::optional<std::string> result = std::move(call->result);
    lock.unlock();
    helper.join();
    return result;
  }
  lock.unlock();
  if (cancel) cancel();
  helper.detach();
  return std::nullopt;
}

}  // namespace qv
