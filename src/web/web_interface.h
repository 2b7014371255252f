// TWebInterface: the HTTP administration interface.
//
// Serves the document directory: pages (files whose name contains ".htm")
// are filled as templates for the request's session, requests whose file name
// contains ".qvcmd" run an action, other files are sent as they are. Every
// request belongs to a server-side session (cookie "IDHTTPSESSIONID"); a
// session that is not logged in sees only the login pages, images and the
// login action, and a logged-in session's credentials are verified again
// every 11 seconds. Nothing outside the document directory is ever served.
//
// What the interface refuses, and why:
//  - a Host header that names no address or name of this server: 421 (DNS
//    rebinding would let another site's pages read and drive it);
//  - a NUL in the path or a form field: 400 (it would cut the text where it
//    is used while the checks saw all of it);
//  - an action or a change of the session page whose Origin, or without
//    one its Referer, is not the interface's own origin: the access denied
//    page (another site's page would otherwise act with the visitor's
//    session; a request with neither header is refused too);
//  - request heads beyond 32 KB (431), requests not complete within the
//    request time-out, and connections beyond the per-address limit
//    (THttpServer).
// Every reply forbids inline and foreign script and framing, and sends
// Referers to its own origin only.
//
// Thread rules: Start and Stop run on the owner's thread; requests run on the
// connection threads (at most 500 at a time, keep-alive allowed). Stop waits
// for every connection thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "base/http_server.h"
#include "web/mime_types.h"
#include "web/web_common.h"
#include "web/web_hosts.h"
#include "web/web_session.h"

namespace qv {

class TWebInterface {
 public:
  static constexpr size_t kMaxConnections = 500;

  // registry may be nullptr (no running servers to show or control).
  TWebInterface(TScriptStorage storage, TServerRegistry* registry);
  ~TWebInterface();
  TWebInterface(const TWebInterface&) = delete;
  TWebInterface& operator=(const TWebInterface&) = delete;

  // Listens on port (all addresses, or only bindAddress when it is not
  // empty) and serves docDir. False after logging
  // "WebInterface startup failed with port <port>, Exception:<message>".
  // With tls, it serves HTTPS only.
  bool Start(int port, const std::string& docDir, const std::string& bindAddress, const THttpLimits& limits = {},
             std::shared_ptr<TTlsContext> tls = nullptr);
  // Stops listening and waits for the connection threads; safe to call twice.
  void Stop();
  // Sessions held (logged in or not).
  size_t SessionCount() { return sessions_.Count(); }

 private:
  void HandleRequest(const httplib::Request& http, httplib::Response& reply);
  void Process(TWebRequest& request);
  // Serves a template of the document directory; false when it is missing.
  bool ServeTemplate(TWebRequest& request, const std::string& path);
  void ServeFile(TWebRequest& request, const std::string& document);
  void ServeSessionPage(TWebRequest& request);
  std::shared_ptr<TWebSession> SessionOf(const httplib::Request& http, httplib::Response& reply);

  TWebContext context_;
  TSessionStore sessions_;
  TMimeTypes mime_;
  THostNames hosts_;
  std::unique_ptr<THttpServer> http_;
  std::thread listener_;
};

// Start-up's hook: creates and starts the process's web interface when the
// settings enable it (HttpEnabled, HttpPort > 0); nullptr when disabled or
// when it did not start (HttpEnabled is then cleared for this run). With
// tls it serves HTTPS.
std::unique_ptr<TWebInterface> StartWebInterface(TCustomStorage* storage, std::shared_ptr<TTlsContext> tls = nullptr);

}  // namespace qv
