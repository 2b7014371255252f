#include "web/web_interface.h"

#include <httplib.h>

#include <filesystem>
#include <mutex>

#include "base/log.h"
#include "base/text_utils.h"
#include "model/process_settings.h"
#include "web/web_access.h"
#include "web/web_actions.h"
#include "web/web_templates.h"

namespace qv {

namespace {

constexpr const char* kSessionCookie = "IDHTTPSESSIONID";

// Session values that describe who the session is; the session page shows
// them but never sets them.
constexpr const char* kIdentityValues[] = {"LOGGEDIN", "username",   "password",        "serverport",
                                           "serverid", "admin",      "superadmin",      "permissiongroup",
                                           "DATA",     "StartTime",  "CLIENT_TO_DELETE", "SERVER_TO_DELETE"};

// What every page and reply carries: no foreign or inline script, no
// framing by another page, no full Referer towards other sites.
const httplib::Headers kSecurityHeaders = {
    {"Content-Security-Policy",
     "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
     "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"},
    {"X-Frame-Options", "DENY"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "same-origin"},
};

std::string CookieValue(const httplib::Request& http, std::string_view name) {
  for (auto [it, end] = http.headers.equal_range("Cookie"); it != end; ++it) {
    std::string_view cookies = it->second;
    while (!cookies.empty()) {
      const size_t semi = cookies.find(';');
      std::string pair = Trim(cookies.substr(0, semi));
      cookies = semi == std::string_view::npos ? std::string_view() : cookies.substr(semi + 1);
      const size_t eq = pair.find('=');
      if (eq != std::string::npos && pair.substr(0, eq) == name) return pair.substr(eq + 1);
    }
  }
  return "";
}

// Whether a text holds a NUL, which would cut it where it is used as a C
// string (a file name, a password) while the checks saw all of it.
bool HasNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

bool HasNulField(const httplib::Request& http) {
  if (HasNul(http.path)) return true;
  for (const auto& [key, value] : http.params)
    if (HasNul(key) || HasNul(value)) return true;
  return false;
}

bool IsImage(const std::string& document) {
  const std::string lower = LowerCase(document);
  for (const char* ext : {".gif", ".jpg", ".png"})
    if (lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ext) == 0) return true;
  return false;
}

std::string FileName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void NotFound(httplib::Response& reply, const std::string& path) {
  LogRemote(lmtError, lmdUsefull, RemoteLine("FileNotFound: \"{}\"", path), kWebCategory);
  reply.status = 404;
  reply.set_content("<html><head><title>Error</title></head><body><h1>Not Found</h1></body></html>", "text/html");
}

}  // namespace

TWebInterface::TWebInterface(TScriptStorage storage, TServerRegistry* registry) {
  context_.Storage = std::move(storage);
  context_.Registry = registry;
  context_.Sessions = &sessions_;
}

TWebInterface::~TWebInterface() { Stop(); }

bool TWebInterface::Start(int port, const std::string& docDir, const std::string& bindAddress,
                          const THttpLimits& limits, std::shared_ptr<TTlsContext> tls) {
  try {
    std::error_code ec;
    const auto dir = std::filesystem::canonical(docDir, ec);
    if (ec) throw EWebInterface("document directory " + docDir + " not found");
    context_.DocDir = dir.string();
    hosts_.Start(bindAddress, GetSettings().WebHostNames);
    http_ = std::make_unique<THttpServer>(limits);
    context_.Https = tls != nullptr;
    if (tls) http_->SetTls(std::move(tls));
    http_->set_payload_max_length(1 << 20);
    http_->set_default_headers(kSecurityHeaders);
    // A request for another host name (DNS rebinding) is answered before
    // anything of it is read or processed.
    http_->set_pre_routing_handler([this](const httplib::Request& http, httplib::Response& reply) {
      const std::string host = http.get_header_value("Host");
      if (hosts_.Allowed(host)) return httplib::Server::HandlerResponse::Unhandled;
      reply.status = host.empty() ? 400 : 421;
      reply.set_header("Connection", "close");
      return httplib::Server::HandlerResponse::Handled;
    });
    auto handler = [this](const httplib::Request& http, httplib::Response& reply) { HandleRequest(http, reply); };
    http_->Get(".*", handler);
    http_->Post(".*", handler);
    const std::string host = bindAddress.empty() ? "0.0.0.0" : bindAddress;
    if (!http_->bind_to_port(host, port)) throw EWebInterface("unable to bind " + host + ":" + std::to_string(port));
    listener_ = std::thread([this] { http_->listen_after_bind(); });
    // Stop must find the listener running, or it could not end it.
    for (int waited = 0; !http_->is_running(); ++waited) {
      if (waited >= 5000) throw EWebInterface("the listener did not start");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  } catch (const std::exception& e) {
    LogMsg(lmtError, lmdAll, "WebInterface startup failed with port " + std::to_string(port) + ", Exception:" + e.what(),
           kWebCategory);
    if (listener_.joinable()) {
      http_->stop();
      listener_.join();
    }
    http_.reset();
    return false;
  }
}

void TWebInterface::Stop() {
  if (!http_) return;
  http_->stop();
  if (listener_.joinable()) listener_.join();
  http_.reset();
}

std::shared_ptr<TWebSession> TWebInterface::SessionOf(const httplib::Request& http, httplib::Response& reply) {
  const std::string id = CookieValue(http, kSessionCookie);
  if (!id.empty())
    if (auto session = sessions_.Find(id)) return session;
  auto session = sessions_.Create();
  SetSessionCookie(reply, session->Id(), context_.Https);
  return session;
}

void TWebInterface::HandleRequest(const httplib::Request& http, httplib::Response& reply) {
  if (HasNulField(http)) {
    reply.status = 400;
    return;
  }
  try {
    TWebRequest request{http, reply, SessionOf(http, reply), context_};
    Process(request);
  } catch (const std::exception& e) {
    LogWebException("HandleRequest", e);
    reply.status = 500;
  }
}

void TWebInterface::Process(TWebRequest& request) {
  const std::string document = request.Http.path;
  const bool action = FindText(FileName(document), ".qvcmd") != std::string::npos;
  // What changes state runs only when the interface's own pages ask for it.
  const bool sessionChange = document.rfind("/session", 0) == 0 &&
                             (SameText(request.Field("action"), "close") || !request.Field("ParamName").empty());
  if ((action || sessionChange) && !SameOrigin(request)) return AccessDenied(request.Reply);
  if (!IsImage(document)) {
    if (!request.LoggedIn()) {
      if (action) return DispatchAction(request, document);
      const char* page = document == "/login_error.html" ? "login_error.html"
                         : document == "/slogin.html"    ? "slogin.html"
                                                         : "login.html";
      if (!ServeTemplate(request, context_.DocDir + "/" + page)) NotFound(request.Reply, context_.DocDir + "/" + page);
      return;
    }
    // Logging in again or out stays possible after a failed re-check.
    const std::string name = ActionName(document);
    if (name == "LOGIN.QVCMD" || name == "LOGOUT.QVCMD") return DispatchAction(request, document);
    TWebSession& session = *request.Session;
    bool recheck;
    {
      std::lock_guard<std::mutex> guard(session.Lock);
      recheck = TWebClock::now() - session.Cache.LastCheck >= kCredentialRecheck;
    }
    if (recheck) {
      if (!RecheckLogin(request))
        return AccessDenied(request.Reply);
      std::lock_guard<std::mutex> guard(session.Lock);
      session.Cache.LastCheck = TWebClock::now();
    }
    if (document.rfind("/session", 0) == 0) return ServeSessionPage(request);
  }
  if (action) return DispatchAction(request, document);
  ServeFile(request, document);
}

bool TWebInterface::ServeTemplate(TWebRequest& request, const std::string& path) {
  std::optional<std::string> text = ReadTextFile(path);
  if (!text) {
    LogRemote(lmtError, lmdUsefull, RemoteLine("File not found: {}", path), kWebCategory);
    return false;
  }
  try {
    std::string page = BuildPage(request, *text);
    request.Reply.set_content(page, "text/HTML");
  } catch (const ERowTemplateMissing& e) {
    ErrorBox(request.Reply, ReplaceText("file %1 was not found", "%1", e.what()));
  } catch (const std::exception& e) {
    LogWebException("Progress_FILE", e);
  }
  return true;
}

void TWebInterface::ServeFile(TWebRequest& request, const std::string& document) {
  const std::string trimmed = Trim(document);
  std::string relative = (trimmed == "/" || trimmed == "\\") ? "index.html" : document;
  relative.erase(0, relative.find_first_not_of('/'));
  std::error_code ec;
  std::filesystem::path full = std::filesystem::canonical(std::filesystem::path(context_.DocDir) / ("./" + relative), ec);
  if (ec) return NotFound(request.Reply, context_.DocDir + "/" + relative);
  if (!InsideDocDir(context_.DocDir, full.string())) return AccessDenied(request.Reply);
  if (std::filesystem::is_directory(full, ec)) {
    full /= "index.html";
    if (!std::filesystem::is_regular_file(full, ec)) return NotFound(request.Reply, full.string());
  }
  const std::string path = full.string();
  if (FindText(FileName(path), ".htm") != std::string::npos && ServeTemplate(request, path)) return;
  std::optional<std::string> content = ReadTextFile(path);
  if (!content) return NotFound(request.Reply, path);
  request.Reply.set_content(std::move(*content), mime_.TypeOf(path));
}

void TWebInterface::ServeSessionPage(TWebRequest& request) {
  std::string page = "<html><head><title>Virtual folder</title></head><body>";
  TWebSession& session = *request.Session;
  if (SameText(request.Field("action"), "close")) {
    sessions_.Remove(session.Id());
    page += "<p>Session cleared</p><p><a href=\"/\">back</a></p></body></html>";
    request.Reply.set_content(page, "text/HTML");
    return;
  }
  const std::string name = request.Field("ParamName");
  if (!name.empty()) {
    bool identity = false;
    for (const char* value : kIdentityValues) identity = identity || SameText(name, value);
    if (!identity) session.Set(name, request.Field("Param"));
  }
  page += "<p>Session id: " + HtmlEscape(session.Id()) + "</p><p>NumViews: " + HtmlEscape(session.Get("NumViews")) +
          "</p><pre>";
  // A session never holds the account's password (the re-check compares a
  // stamp of the stored hash); a value of that name is not shown either.
  for (const auto& [key, value] : session.Values())
    if (!SameText(key, "password")) page += HtmlEscape(key) + "=" + HtmlEscape(value) + "\n";
  page += "</pre><form method=\"POST\" action=\"" + HtmlEscape(request.Http.path) +
          "\"><input name=\"ParamName\"> <input name=\"Param\"> <input type=\"submit\" value=\"Add\"></form>"
          "<p><a href=\"" + HtmlEscape(request.Http.path) + "?action=close\">close session</a></p></body></html>";
  request.Reply.set_content(page, "text/HTML");
}

std::unique_ptr<TWebInterface> StartWebInterface(TCustomStorage* storage, std::shared_ptr<TTlsContext> tls) {
  TProcessSettings settings = GetSettings();
  if (!settings.HttpEnabled || settings.HttpPort <= 0) return nullptr;
  auto web = std::make_unique<TWebInterface>(TScriptStorage{storage, settings.SqlDir}, GetServerRegistry());
  THttpLimits limits;
  limits.MaxThreads = TWebInterface::kMaxConnections;
  limits.PerAddress = static_cast<size_t>(settings.WebConnectionsPerAddress);
  limits.RequestTimeout = std::chrono::seconds(settings.WebRequestSeconds);
  if (web->Start(settings.HttpPort, settings.HttpDocsDir, settings.WebBindAddress(), limits, std::move(tls))) return web;
  settings.HttpEnabled = false;
  SetSettings(settings);
  return nullptr;
}

}  // namespace qv
