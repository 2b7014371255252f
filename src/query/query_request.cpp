#include "query/query_request.h"

#include <cmath>

#include "base/text_utils.h"

namespace qv {

std::string Num(int64_t value) { return std::to_string(value); }
std::string Rounded(double value) { return std::to_string(std::llround(value)); }

std::string JoinParams(const std::vector<std::string>& params, size_t from) {
  std::string text;
  for (size_t i = from; i < params.size(); ++i) {
    if (i > from) text += ' ';
    text += params[i];
  }
  return text;
}

std::optional<int32_t> ParseId(std::string_view text) {
  std::optional<int64_t> value = ParseInt(text);
  if (!value || *value < INT32_MIN || *value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(*value);
}

std::unique_ptr<TStorageContainer> ReadRows(const TScriptStorage& storage, const char* script) {
  return ReadRows(storage, script, [](TCustomStorage&) {});
}

}  // namespace qv
