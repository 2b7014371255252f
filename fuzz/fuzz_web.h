// What the web targets share: the session of a superadmin logged in with
// server 1 selected.
#pragma once

#include <memory>
#include <mutex>

#include <httplib.h>

#include "fuzz_storage.h"
#include "web/web_access.h"
#include "web/web_common.h"
#include "web/web_session.h"

namespace qv::fuzz {

// The session as it is after its first page: the settings cache holds the
// settings of the set-up database (every input starts from a copy of it).
// Reading them is most of the work of a short request, so they are read for
// the first input only.
inline std::shared_ptr<TWebSession> AdminSession(const httplib::Request& http, httplib::Response& reply,
                                                 const TWebContext& context) {
  auto session = std::make_shared<TWebSession>("fuzz");
  for (auto [name, value] : {std::pair{"LOGGEDIN", "1"}, {"superadmin", "1"}, {"username", "fuzz"},
                             {"password", "fuzz"}, {"serverid", "1"}, {"serverport", "8767"}}) {
    session->Set(name, value);
  }
  static const TSessionCache warm = [&] {
    const TWebRequest request{http, reply, session, context};
    if (!SessionSettings(request, kServerId)) Broken("set-up: server settings not read");
    std::lock_guard<std::mutex> guard(session->Lock);
    return session->Cache;
  }();
  std::lock_guard<std::mutex> guard(session->Lock);
  session->Cache = warm;
  session->Cache.SettingsTime = TWebClock::now();
  return session;
}

}  // namespace qv::fuzz
