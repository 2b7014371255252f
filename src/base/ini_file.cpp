#include "base/ini_file.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/text_utils.h"

namespace qv {

TIniFile::TIniFile(std::string path) : path_(std::move(path)) {}

bool TIniFile::Load() {
  sections_.clear();
  std::error_code ec;
  if (!std::filesystem::exists(path_, ec)) return !ec;
  if (!std::filesystem::is_regular_file(path_, ec)) return false;
  std::ifstream in(path_, std::ios::binary);
  if (!in) return false;
  std::stringstream buf;
  buf << in.rdbuf();
  if (in.bad()) return false;
  Parse(buf.str());
  return true;
}

void TIniFile::LoadText(std::string_view text) {
  sections_.clear();
  Parse(text);
}

void TIniFile::Parse(std::string_view text) {
  sections_.push_back(Section{});  // lines before the first header
  for (const std::string& raw : SplitLines(text)) {
    std::string t = Trim(raw);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
      sections_.push_back(Section{Trim(std::string_view(t).substr(1, t.size() - 2)), {}});
      continue;
    }
    size_t eq = t.find('=');
    if (t.empty() || t.front() == ';' || eq == std::string::npos || eq == 0) {
      sections_.back().lines.push_back(Line{"", raw});
      continue;
    }
    sections_.back().lines.push_back(Line{Trim(std::string_view(t).substr(0, eq)),
                                          Trim(std::string_view(t).substr(eq + 1))});
  }
}

bool TIniFile::UpdateFile() const {
  std::string out;
  for (size_t i = 0; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    if (i > 0) out += "[" + s.name + "]\n";
    for (const Line& l : s.lines) out += l.key.empty() ? l.value + "\n" : l.key + "=" + l.value + "\n";
  }
  std::ofstream f(path_, std::ios::binary | std::ios::trunc);
  if (!f) return false;
  f << out;
  f.flush();
  return static_cast<bool>(f);
}

const TIniFile::Section* TIniFile::FindSection(std::string_view name) const {
  for (size_t i = 1; i < sections_.size(); ++i)
    if (SameText(sections_[i].name, name)) return &sections_[i];
  return nullptr;
}

const TIniFile::Line* TIniFile::FindKey(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (!s) return nullptr;
  for (const Line& l : s->lines)
    if (!l.key.empty() && SameText(l.key, key)) return &l;
  return nullptr;
}

bool TIniFile::SectionExists(std::string_view section) const { return FindSection(section) != nullptr; }

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
  return FindKey(section, key) != nullptr;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, std::string_view fallback) const {
  const Line* l = FindKey(section, key);
  return l ? l->value : std::string(fallback);
}

int64_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int64_t fallback) const {
  const Line* l = FindKey(section, key);
  return l ? StrToIntDef(l->value, fallback) : fallback;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool fallback) const {
  const Line* l = FindKey(section, key);
  return l ? l->value != "0" : fallback;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view raw) {
  // A line break in a value would start a new line (and a forged key) in the file.
  std::string value(raw);
  for (char& c : value)
    if (c == '\n' || c == '\r') c = ' ';
  if (sections_.empty()) sections_.push_back(Section{});
  Section* s = const_cast<Section*>(FindSection(section));
  if (!s) {
    sections_.push_back(Section{std::string(section), {}});
    s = &sections_.back();
  }
  for (Line& l : s->lines) {
    if (!l.key.empty() && SameText(l.key, key)) {
      l.value = value;
      return;
    }
  }
  // New keys go after the section's last key, before trailing blank lines.
  auto pos = s->lines.end();
  while (pos != s->lines.begin() && std::prev(pos)->key.empty()) --pos;
  s->lines.insert(pos, Line{std::string(key), value});
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int64_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

}  // namespace qv
