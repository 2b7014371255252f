// Small text helpers shared by every module: ASCII case folding, trimming,
// case-insensitive comparison and replacement, number parsing with defaults.
// Texts are byte strings; only ASCII letters change case.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
std::string Trim(std::string_view s);
bool SameText(std::string_view a, std::string_view b);
bool StartsText(std::string_view prefix, std::string_view s);  // case-insensitive prefix
// Position of needle in haystack ignoring letter case, from `from`; npos when absent.
size_t FindText(std::string_view haystack, std::string_view needle, size_t from = 0);
// Replaces every occurrence of `what` (ignoring letter case) by `with`; text
// inserted by a replacement is never searched again.
std::string ReplaceText(std::string_view s, std::string_view what, std::string_view with);
// Splits on "\n", dropping a "\r" before it; a final line without terminator counts.
std::vector<std::string> SplitLines(std::string_view s);
// Whole-string decimal integer (optional sign, surrounding blanks allowed).
std::optional<int64_t> ParseInt(std::string_view s);
int64_t StrToIntDef(std::string_view s, int64_t fallback);
// The text without its control characters (bytes below 32 and 127): what a
// peer may not put into a text that reaches players' screens.
std::string DropControls(std::string_view s);

}  // namespace qv
