// The template filler: the input is a page template, filled for a session
// logged in as superadmin with the running server selected. Include
// directives resolve inside the document directory only. No invariant but
// the sanitizers' (the page's content depends on the template).
#include <httplib.h>

#include "fuzz_storage.h"
#include "web/web_templates.h"

using namespace qv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::TFuzzStorage* storage = new fuzz::TFuzzStorage();  // templates only read
  TWebContext context{storage->scripts, &storage->registry, fuzz::DocDir()};
  httplib::Request http;
  http.method = "GET";
  http.path = "/index.html";
  httplib::Response reply;
  auto session = std::make_shared<TWebSession>("fuzz");
  for (auto [name, value] : {std::pair{"LOGGEDIN", "1"}, {"superadmin", "1"}, {"username", "fuzz"},
                             {"password", "fuzz"}, {"serverid", "1"}, {"serverport", "8767"}}) {
    session->Set(name, value);
  }
  const TWebRequest request{http, reply, session, context};
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    BuildPage(request, text);
  } catch (const ERowTemplateMissing&) {
  }
  return 0;
}
