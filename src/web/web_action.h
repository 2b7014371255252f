// What the handler of a web action works with (web_actions.cpp runs the
// actions' table and fills it before a handler runs).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "model/server_object.h"
#include "web/web_common.h"
#include "web/web_session.h"

namespace qv {

// What a handler works with; the frame fills it.
struct TAction {
  const TWebRequest& Request;
  int32_t ServerId = 0;      // the session's server (agServer)
  TServerSettings Settings;  // its stored settings (agServer)

  std::string Field(std::string_view name) const { return Request.Field(name); }
  const TScriptStorage& Storage() const { return Request.Context.Storage; }
  httplib::Response& Reply() const { return Request.Reply; }
  TWebSession& Session() const { return *Request.Session; }
  // The back URL of the OK box of a server action: the page it came from,
  // when that is one of the interface's own.
  std::string Back() const { return SafeUrl(Request, Request.Header("Referer")); }
};

}  // namespace qv
