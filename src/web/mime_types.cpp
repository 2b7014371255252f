#include "web/mime_types.h"

#include <fstream>
#include <sstream>

#include "base/text_utils.h"

namespace qv {

TMimeTypes::TMimeTypes(const std::string& systemFile) {
  types_ = {{"html", "text/html"},       {"htm", "text/html"},         {"css", "text/css"},
            {"js", "text/javascript"},   {"txt", "text/plain"},        {"xml", "text/xml"},
            {"json", "application/json"}, {"gif", "image/gif"},        {"jpg", "image/jpeg"},
            {"jpeg", "image/jpeg"},      {"png", "image/png"},         {"svg", "image/svg+xml"},
            {"ico", "image/vnd.microsoft.icon"}, {"webp", "image/webp"}, {"woff", "font/woff"},
            {"woff2", "font/woff2"},     {"pdf", "application/pdf"},   {"zip", "application/zip"}};
  if (systemFile.empty()) return;
  std::ifstream in(systemFile);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string type, extension;
    words >> type;
    while (words >> extension) types_[LowerCase(extension)] = type;
  }
}

std::string TMimeTypes::TypeOf(std::string_view fileName) const {
  const size_t slash = fileName.find_last_of('/');
  const size_t dot = fileName.find_last_of('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
    return "application/octet-stream";
  auto it = types_.find(LowerCase(fileName.substr(dot + 1)));
  return it == types_.end() ? "application/octet-stream" : it->second;
}

}  // namespace qv
