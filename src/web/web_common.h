// What the parts of the web interface share: the request as the templates and
// actions see it, the process context they work in, the texts that escape
// values for pages and URLs, and the fixed replies (the three redirect boxes
// and the access-denied page).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/exception.h"
#include "base/failure_limiter.h"
#include "model/script_storage.h"
#include "model/server_registry.h"
#include "web/web_session.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace qv {

QV_EXCEPTION_CLASS(EWebInterface, Exception);

constexpr const char* kWebCategory = "WEBINTERFACE";

// What every request works with: the storage, the registry of running
// servers, the document directory (a full path without a trailing '/').
struct TWebContext {
  TScriptStorage Storage;
  TServerRegistry* Registry = nullptr;
  std::string DocDir;
  // Failed web logins per client address (locks itself).
  std::shared_ptr<TFailureLimiter> LoginFailures = std::make_shared<TFailureLimiter>();
  // The sessions (locks itself); the login and logout actions replace theirs.
  TSessionStore* Sessions = nullptr;
  // Served over HTTPS: the own origin is https://, cookies are Secure.
  bool Https = false;
};

// One request: its HTTP data, the reply being built and the session.
struct TWebRequest {
  const httplib::Request& Http;
  httplib::Response& Reply;
  std::shared_ptr<TWebSession> Session;
  const TWebContext& Context;

  // A request parameter (query string or posted form) by name, letter case
  // ignored; empty when missing.
  std::string Field(std::string_view name) const;
  bool HasField(std::string_view name) const;
  std::string Header(std::string_view name) const;
  bool IsHead() const;
  // The session value by name.
  std::string Value(std::string_view name) const { return Session->Get(name); }
  bool LoggedIn() const { return Value("LOGGEDIN") == "1"; }
  bool Superadmin() const { return Value("superadmin") == "1"; }
};

// The interface's own origin as the request reached it: "http://" and the
// Host header (which the interface checked before), lower case, with the
// port (80 when the header has none).
std::string OwnOrigin(const TWebRequest& request);
// The origin ("scheme://host:port", port 80 for http when none is given) of
// an absolute URL; empty for anything else.
std::string OriginOf(std::string_view url);
// Whether a state-changing request comes from the interface's own pages: its
// Origin header names the own origin, or, when it has none, its Referer does.
// A request with neither is refused like a cross-site one.
bool SameOrigin(const TWebRequest& request);
// A URL that a page or redirect may carry: a relative one, or one of the own
// origin; anything else (another site, "javascript:", a URL with control
// characters or backslashes that browsers read differently) is "index.html".
std::string SafeUrl(const TWebRequest& request, std::string_view url);

// Gives the browser the session id (replacing a cookie set before).
void SetSessionCookie(httplib::Response& reply, const std::string& id, bool secure);

// &, <, >, " and ' as character references.
std::string HtmlEscape(std::string_view text);
// Everything but unreserved characters percent-encoded.
std::string UrlEncode(std::string_view text);

// The three boxes: redirects (302, Connection: close) to the box pages with
// every value URL-encoded.
void ErrorBox(httplib::Response& reply, std::string_view text, std::string_view url = "index.html");
void OkBox(httplib::Response& reply, std::string_view text, std::string_view url);
void ChoiceBox(httplib::Response& reply, std::string_view text, std::string_view urlYes);
void Redirect(httplib::Response& reply, std::string_view location);
// 403 with the fixed page.
void AccessDenied(httplib::Response& reply);

// Logs "<operation> Exception: <class>.<message>" under WEBINTERFACE.
void LogWebException(std::string_view operation, const std::exception& e);

}  // namespace qv

namespace qv {

// The full path of an existing file or directory that the relative document
// path names inside docDir, symbolic links resolved; nullopt when it does not
// exist or lies outside docDir.
std::optional<std::string> DocumentPath(const std::string& docDir, std::string_view relative);
// Whether the full path lies inside docDir (or is docDir).
bool InsideDocDir(const std::string& docDir, const std::string& fullPath);
// A whole file as text; nullopt when it cannot be read.
std::optional<std::string> ReadTextFile(const std::string& path);

}  // namespace qv
