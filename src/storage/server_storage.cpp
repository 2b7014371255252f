#include "storage/server_storage.h"

#include <algorithm>
#include <fmt/format.h>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "base/log.h"
#include "base/text_utils.h"

namespace qv {

namespace {

constexpr size_t kDateTimeTextLength = 17;

bool AllDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int DigitsValue(std::string_view text, size_t pos, size_t count) {
  int value = 0;
  for (size_t i = pos; i < pos + count; ++i) value = value * 10 + (text[i] - '0');
  return value;
}

int32_t IntegerFromText(const std::string& name, std::string_view text) {
  if (Trim(text).empty()) return 0;
  std::optional<int64_t> value = ParseInt(text);
  if (!value || *value < std::numeric_limits<int32_t>::min() || *value > std::numeric_limits<int32_t>::max()) {
    throw EStorage(fmt::format("'{}' is not a valid integer value for field {}", text, name));
  }
  return static_cast<int32_t>(*value);
}

bool BooleanFromText(const std::string& name, std::string_view text, bool emptyBoolean) {
  std::string trimmed = Trim(text);
  if (trimmed.empty()) return emptyBoolean;
  if (SameText(trimmed, "true")) return true;
  if (SameText(trimmed, "false")) return false;
  if (std::optional<int64_t> value = ParseInt(trimmed)) return *value != 0;
  throw EStorage(fmt::format("'{}' is not a valid boolean value for field {}", text, name));
}

// Byte-wise ASCII case-insensitive ordering, the order of a row's fields.
// Every lookup of a column compares its name with several others, which
// mostly share a long prefix in the same letter case: bytes are folded only
// where they differ.
bool LessText(std::string_view a, std::string_view b) {
  auto low = [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u - 'A' + 'a') : u;
  };
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] == b[i]) continue;
    const unsigned char x = low(a[i]), y = low(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

}  // namespace

// --- fields ---

void TCustomStorageField::WrongType(const char* type) const {
  throw EStorage(fmt::format("field {} cannot be read as {}", name_, type));
}

int32_t TCustomStorageField::AsInteger() const { WrongType("integer"); }
bool TCustomStorageField::AsBoolean() const { WrongType("boolean"); }
TDateTime TCustomStorageField::AsDateTime() const { WrongType("date-time"); }

TStringStorageField::TStringStorageField(std::string name, std::string value)
    : TCustomStorageField(std::move(name)), value_(std::move(value)) {}

TIntegerStorageField::TIntegerStorageField(std::string name, int32_t value)
    : TCustomStorageField(std::move(name)), value_(value) {}

std::string TIntegerStorageField::AsString() const { return std::to_string(value_); }

TBooleanStorageField::TBooleanStorageField(std::string name, bool value)
    : TCustomStorageField(std::move(name)), value_(value) {}

TDateTimeStorageField::TDateTimeStorageField(std::string name, TDateTime value)
    : TCustomStorageField(std::move(name)), value_(value) {}

std::string TDateTimeStorageField::AsString() const { return StorageDateTimeText(value_); }

std::string StorageDateTimeText(TDateTime value) {
  TDateTimeParts p = DecodeDateTime(value);
  return fmt::format("{:02}{:02}{:04}{:02}{:02}{:02}{:03}", p.day, p.month, p.year, p.hour, p.minute, p.second,
                     p.msec);
}

TDateTime StorageDateTimeValue(std::string_view text) {
  TDateTime value;
  if (text.size() != kDateTimeTextLength || !AllDigits(text)) return value;
  TDateTimeParts p{DigitsValue(text, 4, 4),  DigitsValue(text, 2, 2),  DigitsValue(text, 0, 2),
                   DigitsValue(text, 8, 2),  DigitsValue(text, 10, 2), DigitsValue(text, 12, 2),
                   DigitsValue(text, 14, 3)};
  // A text of the right length that is no valid date reads as the empty
  // date too, rather than failing the whole row.
  if (!TryEncodeDateTime(p, value)) value = TDateTime{};
  return value;
}

std::unique_ptr<TCustomStorageField> CreateStorageField(const std::string& name, std::string_view text,
                                                        bool emptyBoolean) {
  if (StartsText("s_", name)) return std::make_unique<TStringStorageField>(name, std::string(text));
  if (StartsText("i_", name)) return std::make_unique<TIntegerStorageField>(name, IntegerFromText(name, text));
  if (StartsText("b_", name)) {
    return std::make_unique<TBooleanStorageField>(name, BooleanFromText(name, text, emptyBoolean));
  }
  if (StartsText("dt_", name)) return std::make_unique<TDateTimeStorageField>(name, StorageDateTimeValue(text));
  LogFmt(lmtError, lmdAll, "unknown field descriptor in header: %1", "SQL", name);
  throw EStorage("unknown field descriptor in header: " + name);
}

// --- rows and results ---

size_t TStorageRow::LowerBound(std::string_view name) const {
  auto it = std::lower_bound(fields_.begin(), fields_.end(), name,
                             [](const auto& field, std::string_view key) { return LessText(field->Name(), key); });
  return static_cast<size_t>(it - fields_.begin());
}

void TStorageRow::Add(std::unique_ptr<TCustomStorageField> field) {
  size_t pos = LowerBound(field->Name());
  if (pos < fields_.size() && SameText(fields_[pos]->Name(), field->Name())) return;
  fields_.insert(fields_.begin() + static_cast<std::ptrdiff_t>(pos), std::move(field));
}

const TCustomStorageField* TStorageRow::FindField(std::string_view name) const {
  size_t pos = LowerBound(name);
  if (pos < fields_.size() && SameText(fields_[pos]->Name(), name)) return fields_[pos].get();
  return nullptr;
}

const TCustomStorageField& TStorageRow::FieldByName(std::string_view name) const {
  if (const TCustomStorageField* field = FindField(name)) return *field;
  throw EStorage(fmt::format("field {} not found", name));
}

const TStorageRow& TStorageContainer::Row() const {
  if (Eof()) throw EStorage("no current row");
  return *rows_[position_];
}

// --- the storage ---

TCustomStorage::TCustomStorage(std::string connectString) : connectString_(std::move(connectString)) {}

bool TCustomStorage::LoadSQL(const std::string& path) {
  std::lock_guard guard(lock_);
  statement_.clear();
  std::error_code error;
  // A directory opens like a file on this platform but cannot be read.
  bool regular = std::filesystem::is_regular_file(path, error);
  std::ifstream file;
  if (regular) file.open(path, std::ios::binary);
  std::ostringstream content;
  if (file.is_open()) content << file.rdbuf();
  if (!file.is_open() || file.bad()) {
    LogFmt(lmtError, lmdAll, "SQL file not found %1", "SQL", path);
    return false;
  }
  std::string text;
  for (const std::string& line : SplitLines(content.str())) {
    text += line;
    text += "\r\n";
  }
  SetStatement(std::move(text));
  return true;
}

std::string TCustomStorage::Statement() const {
  std::lock_guard guard(lock_);
  std::string text;
  for (const TStatementPiece& piece : statement_) text += piece.text;
  return text;
}

void TCustomStorage::SetStatement(std::string text) {
  std::lock_guard guard(lock_);
  statement_.clear();
  if (!text.empty()) statement_.push_back({std::move(text), false});
}

void TCustomStorage::BindParam(std::string_view name, std::string_view sqlText) {
  if (name.empty()) return;
  std::lock_guard guard(lock_);
  std::vector<TStatementPiece> result;
  result.reserve(statement_.size() + 2);
  for (TStatementPiece& piece : statement_) {
    if (piece.bound) {
      result.push_back(std::move(piece));
      continue;
    }
    size_t hit = FindText(piece.text, name);
    if (hit == std::string::npos) {  // most pieces hold none of the names
      result.push_back(std::move(piece));
      continue;
    }
    size_t pos = 0;
    for (; hit != std::string::npos; pos = hit + name.size(), hit = FindText(piece.text, name, pos)) {
      if (hit > pos) result.push_back({piece.text.substr(pos, hit - pos), false});
      result.push_back({std::string(sqlText), true});
    }
    if (pos < piece.text.size()) result.push_back({piece.text.substr(pos), false});
  }
  statement_ = std::move(result);
}

std::vector<std::string> TCustomStorage::StatementCommands() const {
  std::lock_guard guard(lock_);
  std::vector<std::string> commands;
  std::string current;
  auto finish = [&] {
    if (!Trim(current).empty()) commands.push_back(std::move(current));
    current.clear();
  };
  bool quoted = false;
  for (const TStatementPiece& piece : statement_) {
    if (piece.bound) {
      current += piece.text;
      continue;
    }
    for (char c : piece.text) {
      if (c == '\'' || c == '"') quoted = !quoted;
      if (c == ';' && !quoted) {
        finish();
        continue;
      }
      current += c;
    }
  }
  finish();
  return commands;
}

void TCustomStorage::SetParamString(std::string_view name, std::string_view value) {
  // SQL text ends at a zero byte, which would leave the literal unterminated:
  // a value is stored up to its first zero byte.
  value = value.substr(0, value.find('\0'));
  std::string sql = "'";
  for (char c : value) {
    sql += c;
    if (c == '\'') sql += '\'';
  }
  sql += '\'';
  BindParam(name, sql);
}

void TCustomStorage::SetParamBool(std::string_view name, bool value) { BindParam(name, value ? "-1" : "0"); }

void TCustomStorage::SetParamDateTime(std::string_view name, TDateTime value) {
  BindParam(name, "'" + StorageDateTimeText(value) + "'");
}

void TCustomStorage::SetParamInteger(std::string_view name, int64_t value) { BindParam(name, std::to_string(value)); }

std::string ScriptPath(const std::string& directory, std::string_view name) {
  std::string path = directory;
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
  path += name;
  return path;
}

}  // namespace qv
