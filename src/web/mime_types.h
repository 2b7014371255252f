// Content types by file extension: a built-in table, extended (and
// overridden) by the system's /etc/mime.types when it is present.
//
// Thread rules: filled once in the constructor, then read-only.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace qv {

class TMimeTypes {
 public:
  // systemFile: a mime.types file ("type ext ext ..." per line); empty for none.
  explicit TMimeTypes(const std::string& systemFile = "/etc/mime.types");
  // The type of the file's extension (letter case ignored);
  // "application/octet-stream" when unknown.
  std::string TypeOf(std::string_view fileName) const;

 private:
  std::map<std::string, std::string> types_;  // lower-case extension without dot
};

}  // namespace qv
