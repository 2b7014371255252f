#include "base/text_utils.h"

#include <charconv>

namespace qv {

namespace {
char Up(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char Low(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool Blank(char c) { return static_cast<unsigned char>(c) <= ' '; }
}  // namespace

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = Up(c);
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = Low(c);
  return r;
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && Blank(s[b])) ++b;
  while (e > b && Blank(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Up(a[i]) != Up(b[i])) return false;
  return true;
}

bool StartsText(std::string_view prefix, std::string_view s) {
  return s.size() >= prefix.size() && SameText(prefix, s.substr(0, prefix.size()));
}

size_t FindText(std::string_view haystack, std::string_view needle, size_t from) {
  if (needle.empty()) return from <= haystack.size() ? from : std::string_view::npos;
  for (size_t i = from; i + needle.size() <= haystack.size(); ++i) {
    if (SameText(haystack.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

std::string ReplaceText(std::string_view s, std::string_view what, std::string_view with) {
  if (what.empty()) return std::string(s);
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t hit = FindText(s, what, pos);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(pos, hit - pos));
    out.append(with);
    pos = hit + what.size();
  }
  out.append(s.substr(pos));
  return out;
}

std::vector<std::string> SplitLines(std::string_view s) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < s.size()) {
    size_t nl = s.find('\n', pos);
    size_t end = (nl == std::string_view::npos) ? s.size() : nl;
    size_t stop = (end > pos && s[end - 1] == '\r') ? end - 1 : end;
    lines.emplace_back(s.substr(pos, stop - pos));
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  return lines;
}

std::optional<int64_t> ParseInt(std::string_view s) {
  std::string t = Trim(s);
  std::string_view v = t;
  if (!v.empty() && v.front() == '+') v.remove_prefix(1);
  if (v.empty()) return std::nullopt;
  int64_t value = 0;
  auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), value);
  if (ec != std::errc() || ptr != v.data() + v.size()) return std::nullopt;
  return value;
}

int64_t StrToIntDef(std::string_view s, int64_t fallback) { return ParseInt(s).value_or(fallback); }

}  // namespace qv
