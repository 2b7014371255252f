// The template filler: the input is a page template, filled for a session
// logged in as superadmin with the running server selected. Include
// directives resolve inside the document directory only.
//
// The data the page shows is tainted: the server's name, welcome message and
// password, the user name and the form fields all hold kTainted, which marks
// its '<' with a byte no document holds. After each input:
// - no tainted '<' reaches the page raw (values are HTML-escaped);
// - when every '%' of the template (includes expanded) belongs to a
//   placeholder, block or region marker that this page always fills, none
//   of them is left in the page (with other '%' around, a placeholder can be
//   cut or formed by the filling itself, which the template's author
//   answers for);
// - the page is at most as much longer than the template as filling the
//   most growing placeholder alone makes it.
#include <algorithm>
#include <string>
#include <vector>

#include "base/text_utils.h"
#include "fuzz_web.h"
#include "model/server_control.h"
#include "web/web_templates.h"

using namespace qv;

namespace {

constexpr char kMark = '\x01';
const std::string kTainted = std::string(1, kMark) + "<b>\"'&";

// Everything this page fills whatever the template holds.
std::vector<std::string> AlwaysFilled() {
  std::vector<std::string> all;
  for (const char* name :
       {"SELECTED_CLIENT_LOGINNAME", "SELECTED_CLIENT_ID", "BASIC_ADMINEMAIL", "BASIC_ISPLINKURL", "BASIC_ISPNAME",
        "WEBPOST_POSTURL", "BASIC_LISTPUBLIC", "WEBPOST_ENABLED", "SERVERVERSIONMAJOR", "SERVERVERSIONMINOR",
        "SERVERVERSIONRELEASE", "SERVERVERSIONBUILD", "ERROR_TITLE", "ERROR_TEXT", "ERROR_URL", "OK_TITLE", "OK_TEXT",
        "OK_URL", "CHOICE_TITLE", "CHOICE_TEXT", "CHOICE_URL_YES", "CHOICE_YES", "CHOICE_URL_NO", "CHOICE_NO",
        "LOGGEDINUSERNAME", "CURRENT_DATETIME", "SERVERID", "SERVERNAME", "SERVERPLATFORM", "SERVERWELCOMEMESSAGE",
        "SERVERMAXUSERS", "SERVERPASSWORD", "SERVERWEBPOSTLINKURL", "SERVERWEBPOSTPOSTURL", "SERVERUDPPORT",
        "SERVERTYPE"})
    all.push_back(std::string("%%") + name + "%%");
  for (const char* codec : {"Celp51", "Celp63", "GSM148", "GSM164", "WindowsCELP52", "SPEEX2150", "SPEEX3950",
                            "SPEEX5950", "SPEEX8000", "SPEEX11000", "SPEEX15000", "SPEEX18200", "SPEEX24600"})
    all.push_back(std::string("%%SERVERCFG_CODEC_") + codec + "_SELECTED%%");
  for (const char* block :
       {"SERVER_LIST", "SERVERCFG_DATABASE_SCLIENT_MANAGER_CLIENTLIST", "COUNTRY_OPTIONLIST",
        "SERVERCFG_GROUP_PERMISSIONS_U", "SERVERCFG_GROUP_PERMISSIONS_R", "SERVERCFG_GROUP_PERMISSIONS_OP",
        "SERVERCFG_GROUP_PERMISSIONS_V", "SERVERCFG_GROUP_PERMISSIONS_CA", "SERVERCFG_GROUP_PERMISSIONS_SA",
        "SERVERCFG_DATABASE_CLIENT_MANAGER_CLIENTLIST"})
    all.push_back(std::string("%!") + block + "!%");
  for (const char* condition : {"NOT_SUPERADMIN", "SERVER_NOT_RUNNING", "SERVER_SELECTED", "SERVER_NOT_SELECTED"}) {
    all.push_back(std::string("%!COMMENT_ON_") + condition + "!%");
    all.push_back(std::string("%!COMMENT_OFF_") + condition + "!%");
  }
  return all;
}

struct TFixture {
  fuzz::TFuzzStorage storage;
  TWebContext context{storage.scripts, &storage.registry, fuzz::DocDir()};
  std::vector<std::string> filled = AlwaysFilled();
  size_t growth = 1;  // the most one placeholder's filling multiplies its length

  TFixture() {
    TServerSettings settings;
    if (!LoadStoredSettings(storage.scripts, fuzz::kServerId, settings)) fuzz::Broken("set-up: settings not read");
    settings.Name = kTainted;
    settings.WelcomeMessage = kTainted;
    settings.Password = kTainted;
    if (!SaveSettings(storage.scripts, fuzz::kServerId, settings)) fuzz::Broken("set-up: settings not saved");
    for (const std::string& placeholder : filled) {
      const std::string page = Fill(placeholder);
      if (page.find('%') != std::string::npos) fuzz::Broken("set-up: a filling holds '%'");
      growth = std::max(growth, page.size() / placeholder.size() + 1);
    }
  }

  std::string Fill(const std::string& text) const {
    httplib::Request http;
    http.method = "GET";
    http.path = "/index.html";
    for (const char* field : {"client", "error_title", "error_text", "error_url", "ok_title", "ok_text", "ok_url",
                              "choice_title", "choice_text", "choice_url_yes", "choice_yes", "choice_url_no",
                              "choice_no"})
      http.params.emplace(field, kTainted);
    httplib::Response reply;
    auto session = fuzz::AdminSession(http, reply, context);
    session->Set("username", kTainted);
    const TWebRequest request{http, reply, session, context};
    return BuildPage(request, text);
  }

  // Every '%' of the text is part of an occurrence of a placeholder of `filled`.
  bool OnlyFilledPercents(const std::string& text) const {
    std::vector<bool> covered(text.size(), false);
    for (const std::string& placeholder : filled)
      for (size_t at = 0; (at = FindText(text, placeholder, at)) != std::string::npos; ++at)
        std::fill_n(covered.begin() + static_cast<std::ptrdiff_t>(at), placeholder.size(), true);
    for (size_t i = 0; i < text.size(); ++i)
      if (text[i] == '%' && !covered[i]) return false;
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TFixture* fixture = new TFixture();  // templates only read the database
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string page;
  try {
    page = fixture->Fill(text);
  } catch (const ERowTemplateMissing&) {
    return 0;
  }
  const std::string expanded = ExpandIncludes(fuzz::DocDir(), text);
  if (expanded.find(kMark) == std::string::npos) {
    const size_t raw = page.find(std::string(1, kMark) + "<");
    if (raw != std::string::npos) {
      const std::string around = page.substr(raw < 200 ? 0 : raw - 200, 260);
      std::fprintf(stderr, "page: ...");
      std::fwrite(around.data(), 1, around.size(), stderr);
      std::fprintf(stderr, "...\n");
      fuzz::Broken("a value reached the page unescaped", static_cast<long>(raw));
    }
  }
  if (fixture->OnlyFilledPercents(expanded)) {
    for (const std::string& placeholder : fixture->filled)
      if (FindText(page, placeholder) != std::string::npos) fuzz::Broken("a placeholder is left in the page");
  }
  if (page.size() > fixture->growth * expanded.size() + 4096) fuzz::Broken("page out of bounds", page.size());
  return 0;
}
