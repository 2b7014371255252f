#include "web/web_common.h"

#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/log.h"
#include "base/text_utils.h"

namespace qv {

std::string TWebRequest::Field(std::string_view name) const {
  for (const auto& [key, value] : Http.params)
    if (SameText(key, name)) return value;
  return "";
}

bool TWebRequest::HasField(std::string_view name) const {
  for (const auto& [key, value] : Http.params)
    if (SameText(key, name)) return true;
  return false;
}

std::string TWebRequest::Header(std::string_view name) const {
  return Http.get_header_value(std::string(name));
}

bool TWebRequest::IsHead() const { return Http.method == "HEAD"; }

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UrlEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

namespace {

// "host:port" in lower case, the scheme's port added when the authority has none.
std::string WithPort(std::string_view authority, bool https) {
  std::string text = LowerCase(authority);
  const size_t bracket = text.rfind(']');
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) text += https ? ":443" : ":80";
  return text;
}

bool HasControlOrBackslash(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127 || c == '\\') return true;
  }
  return false;
}

}  // namespace

std::string OwnOrigin(const TWebRequest& request) {
  const bool https = request.Context.Https;
  return (https ? "https://" : "http://") + WithPort(request.Header("Host"), https);
}

std::string OriginOf(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos || scheme == 0) return "";
  const std::string name = LowerCase(url.substr(0, scheme));
  if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789+-.") != std::string::npos) return "";
  std::string_view rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (rest.empty() || rest.find('@') != std::string_view::npos) return "";
  const bool web = name == "http" || name == "https";
  return name + "://" + (web ? WithPort(rest, name == "https") : LowerCase(rest));
}

bool SameOrigin(const TWebRequest& request) {
  const char* header = request.Http.has_header("Origin") ? "Origin" : "Referer";
  if (!request.Http.has_header(header)) return false;
  return OriginOf(request.Header(header)) == OwnOrigin(request);
}

std::string SafeUrl(const TWebRequest& request, std::string_view url) {
  if (url.empty() || HasControlOrBackslash(url) || url.substr(0, 2) == "//") return "index.html";
  const size_t first = url.find_first_of(":/?#");
  const bool absolute = first != std::string_view::npos && url[first] == ':';
  if (absolute && OriginOf(url) != OwnOrigin(request)) return "index.html";
  return std::string(url);
}

void SetSessionCookie(httplib::Response& reply, const std::string& id, bool secure) {
  reply.headers.erase("Set-Cookie");
  reply.set_header("Set-Cookie",
                   "IDHTTPSESSIONID=" + id + "; Path=/; HttpOnly; SameSite=Lax" + (secure ? "; Secure" : ""));
}

void Redirect(httplib::Response& reply, std::string_view location) {
  reply.status = 302;
  reply.set_header("Location", std::string(location));
  reply.set_header("Connection", "close");
  reply.body.clear();
}

void ErrorBox(httplib::Response& reply, std::string_view text, std::string_view url) {
  Redirect(reply, "error_box.html?error_title=" + UrlEncode("error occured") + "&error_text=" + UrlEncode(text) +
                      "&error_url=" + UrlEncode(url));
}

void OkBox(httplib::Response& reply, std::string_view text, std::string_view url) {
  Redirect(reply, "ok_box.html?ok_title=" + UrlEncode("operation successfully") + "&ok_text=" + UrlEncode(text) +
                      "&ok_url=" + UrlEncode(url));
}

void ChoiceBox(httplib::Response& reply, std::string_view text, std::string_view urlYes) {
  Redirect(reply, "choice_box.html?choice_title=" + UrlEncode("please choose") + "&choice_text=" + UrlEncode(text) +
                      "&choice_url_yes=" + UrlEncode(urlYes) + "&choice_url_no=" + UrlEncode("index.html") +
                      "&choice_yes=yes&choice_no=no");
}

void AccessDenied(httplib::Response& reply) {
  reply.status = 403;
  reply.set_header("Connection", "close");
  reply.set_content(
      "<html><head><title>Error</title></head><body><h1>Access denied</h1>\r"
      "You do not have sufficient priviligies to access this document.</body></html>",
      "text/html");
}

void LogWebException(std::string_view operation, const std::exception& e) {
  LogMsg(lmtError, lmdAll, std::string(operation) + " Exception: " + ExceptionText(e), kWebCategory);
}

}  // namespace qv

namespace qv {

bool InsideDocDir(const std::string& docDir, const std::string& fullPath) {
  return fullPath == docDir || (fullPath.size() > docDir.size() && fullPath.compare(0, docDir.size(), docDir) == 0 &&
                                fullPath[docDir.size()] == '/');
}

std::optional<std::string> DocumentPath(const std::string& docDir, std::string_view relative) {
  if (relative.find('\0') != std::string_view::npos) return std::nullopt;
  std::error_code ec;
  std::filesystem::path full = std::filesystem::canonical(std::filesystem::path(docDir) / std::string(relative).insert(0, "./"), ec);
  if (ec) return std::nullopt;
  std::string text = full.string();
  if (!InsideDocDir(docDir, text)) return std::nullopt;
  return text;
}

std::optional<std::string> ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream s;
  s << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return s.str();
}

}  // namespace qv
