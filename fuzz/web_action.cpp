// HTTP action requests through the web dispatcher, on a session logged in as
// superadmin with the running server selected. The input's first line is the
// document ("/login.qvcmd"), the rest its form in URL encoding. The reply
// must be a page, a redirect with a location, or a refusal.
#include <httplib.h>

#include "fuzz_web.h"
#include "web/web_actions.h"

using namespace qv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TFuzzStorage storage;
  TWebContext context{storage.scripts, &storage.registry, fuzz::DocDir()};
  static TSessionStore sessions;  // the login and logout actions replace their session in it
  context.Sessions = &sessions;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t lineEnd = input.find('\n');
  httplib::Request http;
  http.method = "GET";
  http.path = input.substr(0, lineEnd);
  if (lineEnd != std::string::npos) httplib::detail::parse_query_text(input.substr(lineEnd + 1), http.params);
  httplib::Response reply;
  auto session = fuzz::AdminSession(http, reply, context);
  const TWebRequest request{http, reply, session, context};
  DispatchAction(request, http.path);
  if (reply.status == 302 && !reply.has_header("Location")) fuzz::Broken("redirect without location");
  if (reply.status != 200 && reply.status != 302 && reply.status != 403 && reply.status != -1) {
    fuzz::Broken("unexpected status", reply.status);
  }
  return 0;
}
