// Server-side sessions of the web interface, identified by the cookie
// "IDHTTPSESSIONID".
//
// A session holds named text values (names compared without regard to letter
// case; a missing name reads as empty) and its cache record: the time of the
// last credential check and the settings of one virtual server as last read
// from storage. A session ends after 15 minutes without a request; too many
// sessions end the least recently used first. Sessions that never logged in
// (every request without a valid cookie makes one) and logged-in ones are
// kept apart, each with a limit of its own, so that a flood of the first
// never pushes out the second. Logging in and out gives the browser a new
// session under a new id; the old id is dead from then on, so that an id
// planted in a browser before its login is worth nothing.
//
// Thread rules: requests of one browser may run in parallel and share a
// session. Get/Set are safe from any thread (a leaf lock of their own).
// Values that belong together (login, logout, password change) and the cache
// record change while the caller holds Lock. TSessionStore has its own lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/server_object.h"

namespace qv {

using TWebClock = std::chrono::steady_clock;

// The session's cache record.
struct TSessionCache {
  TWebClock::time_point LastCheck{};     // last credential check
  TWebClock::time_point SettingsTime{};  // epoch: nothing cached
  int32_t ServerId = 0;                  // whose settings are cached
  int32_t AccountServerId = 0;           // the server of the logged-in account (0: a superadmin)
  // CredentialStamp of the stored hash the login's password matched: the
  // re-check compares it instead of keeping and hashing the password.
  std::string Credential;
  TServerSettings Settings;
};

class TWebSession {
 public:
  explicit TWebSession(std::string id);

  const std::string& Id() const { return id_; }
  std::string Get(std::string_view name) const;
  void Set(std::string_view name, std::string_view value);
  // Every value as (name, value), in name order.
  std::vector<std::pair<std::string, std::string>> Values() const;

  // Held for changes of values that belong together and for Cache.
  std::mutex Lock;
  TSessionCache Cache;  // guarded by Lock

 private:
  const std::string id_;
  mutable std::mutex valuesMutex_;
  std::map<std::string, std::pair<std::string, std::string>> values_;  // guarded by valuesMutex_
};

class TSessionStore {
 public:
  static constexpr std::chrono::milliseconds kTimeout{900000};
  static constexpr size_t kMaxSessions = 10000;  // of each kind

  // The live session with this id (its idle time restarts), or nullptr.
  std::shared_ptr<TWebSession> Find(std::string_view id);
  // A new session with a fresh random id and its StartTime value: one that
  // has not logged in, or (loggedIn) one that takes a logged-in place.
  std::shared_ptr<TWebSession> Create(bool loggedIn = false);
  // A new session (see Create) in the place of the one with id old, which
  // ends.
  std::shared_ptr<TWebSession> Replace(std::string_view old, bool loggedIn);
  void Remove(std::string_view id);
  size_t Count();

 private:
  struct TEntry {
    std::shared_ptr<TWebSession> session;
    TWebClock::time_point lastUsed;
    bool loggedIn = false;
    std::list<std::string>::iterator place;  // in order_[loggedIn]
  };
  using TMap = std::map<std::string, TEntry, std::less<>>;
  // Caller holds mutex_.
  void Expire(TWebClock::time_point now);
  void Erase(TMap::iterator it);

  std::mutex mutex_;
  TMap sessions_;                       // guarded by mutex_
  std::list<std::string> order_[2];     // ids by last use, per kind (logged in or not); guarded by mutex_
};

// 32 hexadecimal digits from the kernel's secure random source.
std::string NewSessionId();

}  // namespace qv
