#include "web/web_session.h"

#include <sys/random.h>

#include <cerrno>

#include "base/date_time.h"
#include "base/exception.h"
#include "base/text_utils.h"

namespace qv {

QV_EXCEPTION_CLASS(EWebSession, Exception);

TWebSession::TWebSession(std::string id) : id_(std::move(id)) {}

std::string TWebSession::Get(std::string_view name) const {
  std::lock_guard<std::mutex> guard(valuesMutex_);
  auto it = values_.find(UpperCase(name));
  return it == values_.end() ? std::string() : it->second.second;
}

void TWebSession::Set(std::string_view name, std::string_view value) {
  std::lock_guard<std::mutex> guard(valuesMutex_);
  values_[UpperCase(name)] = {std::string(name), std::string(value)};
}

std::vector<std::pair<std::string, std::string>> TWebSession::Values() const {
  std::lock_guard<std::mutex> guard(valuesMutex_);
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [key, entry] : values_) out.push_back(entry);
  return out;
}

std::string NewSessionId() {
  uint8_t bytes[16];
  size_t got = 0;
  while (got < sizeof(bytes)) {
    ssize_t n = getrandom(bytes + got, sizeof(bytes) - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EWebSession("no secure random source");
    }
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string id;
  for (uint8_t b : bytes) {
    id += kHex[b >> 4];
    id += kHex[b & 15];
  }
  return id;
}

std::shared_ptr<TWebSession> TSessionStore::Find(std::string_view id) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto now = TWebClock::now();
  Expire(now);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return nullptr;
  if (now - it->second.lastUsed >= kTimeout) {
    Erase(it);
    return nullptr;
  }
  it->second.lastUsed = now;
  auto& order = order_[it->second.loggedIn];
  order.splice(order.end(), order, it->second.place);
  return it->second.session;
}

std::shared_ptr<TWebSession> TSessionStore::Create(bool loggedIn) {
  auto session = std::make_shared<TWebSession>(NewSessionId());
  session->Set("StartTime", FormatDateTime("dd-mm-yyyy hh:nn:ss", Now()));
  std::lock_guard<std::mutex> guard(mutex_);
  const auto now = TWebClock::now();
  Expire(now);
  auto& order = order_[loggedIn];
  // The least recently used of the same kind makes room.
  if (order.size() >= kMaxSessions) Erase(sessions_.find(order.front()));
  order.push_back(session->Id());
  sessions_[session->Id()] = TEntry{session, now, loggedIn, std::prev(order.end())};
  return session;
}

std::shared_ptr<TWebSession> TSessionStore::Replace(std::string_view old, bool loggedIn) {
  Remove(old);
  return Create(loggedIn);
}

void TSessionStore::Remove(std::string_view id) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = sessions_.find(id);
  if (it != sessions_.end()) Erase(it);
}

size_t TSessionStore::Count() {
  std::lock_guard<std::mutex> guard(mutex_);
  return sessions_.size();
}

void TSessionStore::Erase(TMap::iterator it) {
  order_[it->second.loggedIn].erase(it->second.place);
  sessions_.erase(it);
}

void TSessionStore::Expire(TWebClock::time_point now) {
  // Each kind's list runs from the least to the most recently used, so the
  // expired ones are at its front.
  for (auto& order : order_) {
    while (!order.empty()) {
      auto it = sessions_.find(order.front());
      if (now - it->second.lastUsed < kTimeout) break;
      Erase(it);
    }
  }
}

}  // namespace qv
