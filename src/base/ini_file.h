// The configuration file: an INI file held in memory.
//
// Sections are "[name]" lines, then "key=value" lines. Section and key names
// compare ignoring letter case; their order and every other line (comments,
// blank lines) are kept when the file is written back. Booleans are written
// as "1"/"0" and any value other than "0" reads as true. Values are trimmed.
//
// Thread rules: none; the owner serialises access (start-up, shutdown and the
// administration operations that change settings).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

class TIniFile {
 public:
  TIniFile() = default;
  explicit TIniFile(std::string path);

  // Reads the file. A missing file is an empty configuration (true); a file
  // that exists but cannot be read gives false.
  bool Load();
  // Reads the configuration from text instead of the file (the file name
  // stays as it was).
  void LoadText(std::string_view text);
  // Writes the whole file back; false when it cannot be written.
  bool UpdateFile() const;

  const std::string& FileName() const { return path_; }

  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key, std::string_view fallback) const;
  int64_t ReadInteger(std::string_view section, std::string_view key, int64_t fallback) const;
  bool ReadBool(std::string_view section, std::string_view key, bool fallback) const;

  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int64_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

 private:
  struct Line {
    std::string key;    // empty for comments and blank lines
    std::string value;  // the whole raw text for comments
  };
  struct Section {
    std::string name;
    std::vector<Line> lines;
  };
  const Section* FindSection(std::string_view name) const;
  const Line* FindKey(std::string_view section, std::string_view key) const;
  void Parse(std::string_view text);

  std::string path_;
  std::vector<Section> sections_;  // sections_[0] may hold lines before the first header
};

}  // namespace qv
