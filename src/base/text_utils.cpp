#include "base/text_utils.h"

#include <algorithm>
#include <charconv>
#include <cstring>

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

// Pages and SQL statements are searched once per placeholder, so the scan
// skips to the candidates (the needle's first letter in either case) with
// memchr and compares only there.
size_t FindText(std::string_view haystack, std::string_view needle, size_t from) {
  constexpr size_t npos = std::string_view::npos;
  if (needle.empty()) return from <= haystack.size() ? from : npos;
  if (from > haystack.size() || needle.size() > haystack.size() - from) return npos;
  const size_t last = haystack.size() - needle.size();  // the last start that fits
  const char* text = haystack.data();
  auto next = [&](char c, size_t at) -> size_t {
    if (at > last) return npos;
    const void* hit = std::memchr(text + at, c, last + 1 - at);
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text) : npos;
  };
  const char low = Low(needle[0]), up = Up(needle[0]);
  size_t nextLow = next(low, from), nextUp = up == low ? npos : next(up, from);
  const std::string_view rest = needle.substr(1);
  for (;;) {
    const size_t at = std::min(nextLow, nextUp);
    if (at == npos) return npos;
    if (SameText(haystack.substr(at + 1, rest.size()), rest)) return at;
    if (at == nextLow) {
      nextLow = next(low, at + 1);
    } else {
      nextUp = next(up, at + 1);
    }
  }
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

std::string DropControls(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 32 && byte != 127) out += c;
  }
  return out;
}

}  // namespace qv
