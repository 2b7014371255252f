#include "storage/mysql_storage.h"

#include <mysql.h>

#include <array>
#include <mutex>

#include <fmt/format.h>

#include "base/ini_file.h"
#include "base/log.h"
#include "base/text_utils.h"

namespace qv {

namespace {

constexpr std::string_view kSection = "DBEXPRESS";
constexpr const char* kClass = "EDBExpressStorage";
constexpr unsigned kConnectTimeoutSeconds = 10;
// A server that stops answering in the middle of a statement fails it after
// this long instead of holding the storage lock for ever.
constexpr unsigned kReadWriteTimeoutSeconds = 60;

// The keys written when "Database" is empty, with their defaults.
constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kDefaultKeys{{
    {"Drivername", "mysql"},
    {"Database", ""},
    {"Hostname", ""},
    {"User_name", ""},
    {"Password", ""},
    {"GetDriverFunc", "getSQLDriverMYSQL"},
    {"VendorLib", "libmysql.dll"},
    {"LibraryName", "dbexpmysql.dll"},
}};

// Drivers that cut column names at 31 characters return these for the
// longer permission columns; they are given their full names again.
constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kCutColumnNames{{
    {"b_sp_AdminEditServerWelcomeMess", "b_sp_AdminEditServerWelcomeMessage"},
    {"b_sp_ChannelJoinChannelWithoutPa", "b_sp_ChannelJoinChannelWithoutPassword"},
    {"b_sp_PrivilegeGrantAllowRegistra", "b_sp_PrivilegeGrantAllowRegistration"},
    {"b_sp_PrivilegeRevokeAllowRegistr", "b_sp_PrivilegeRevokeAllowRegistration"},
    {"b_sp_PrivilegeAdminPlayerRegiste", "b_sp_PrivilegeAdminPlayerRegister"},
    {"b_sp_PrivilegeRegisterSelfByDefa", "b_sp_PrivilegeRegisterSelfByDefault"},
    {"b_sp_AllowChannelCommanderStatu", "b_sp_AllowChannelCommanderStatus"},
}};

// The session keeps the server's sql_mode and adds NO_BACKSLASH_ESCAPES: a
// backslash in a bound value is then an ordinary character.
constexpr const char* kInitCommand =
    "SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), 'NO_BACKSLASH_ESCAPES')";

std::string FullColumnName(std::string name) {
  for (const auto& [cut, full] : kCutColumnNames)
    if (name == cut) return std::string(full);
  return name;
}

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mysql_library_init(0, nullptr, nullptr); });
}

struct TResultCloser {
  void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
using TResultPtr = std::unique_ptr<MYSQL_RES, TResultCloser>;

void ReadRows(MYSQL_RES* result, TStorageContainer& rows) {
  unsigned columns = mysql_num_fields(result);
  MYSQL_FIELD* fields = mysql_fetch_fields(result);
  std::vector<std::string> names;
  for (unsigned i = 0; i < columns; ++i) names.push_back(FullColumnName(fields[i].name));
  while (MYSQL_ROW values = mysql_fetch_row(result)) {
    unsigned long* lengths = mysql_fetch_lengths(result);
    auto row = std::make_unique<TStorageRow>();
    for (unsigned i = 0; i < columns; ++i) {
      std::string_view text = values[i] ? std::string_view(values[i], lengths[i]) : std::string_view();
      row->Add(CreateStorageField(names[i], text, /*emptyBoolean=*/false));  // NULL "b_" reads false
    }
    rows.Add(std::move(row));
  }
}

// SQL text of a value for the few statements of our own.
std::string Quoted(std::string_view value) { return "'" + ReplaceText(value, "'", "''") + "'"; }

// Replaces the word AUTOINCREMENT (any letter case) outside quotes.
std::string MySqlDialect(const std::string& script) {
  static constexpr std::string_view kWord = "AUTOINCREMENT";
  std::string out;
  bool quoted = false;
  for (size_t i = 0; i < script.size(); ++i) {
    char c = script[i];
    if (c == '\'' || c == '"') quoted = !quoted;
    auto wordChar = [](char x) { return std::isalnum(static_cast<unsigned char>(x)) || x == '_'; };
    if (!quoted && SameText(std::string_view(script).substr(i, kWord.size()), kWord) &&
        (i == 0 || !wordChar(script[i - 1])) &&
        (i + kWord.size() == script.size() || !wordChar(script[i + kWord.size()]))) {
      out += "AUTO_INCREMENT";
      i += kWord.size() - 1;
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

TMySqlAddress ParseMySqlHostname(const std::string& hostname) {
  TMySqlAddress address;
  std::string text = Trim(hostname);
  if (!text.empty() && text.front() == '/') {
    address.Socket = text;
    return address;
  }
  size_t colon = text.rfind(':');
  bool bracketed = !text.empty() && text.front() == '[';
  if (bracketed) {
    size_t close = text.find(']');
    if (close == std::string::npos) throw EDBExpressStorage("invalid host name " + text);
    address.Host = text.substr(1, close - 1);
    colon = close + 1 < text.size() && text[close + 1] == ':' ? close + 1 : std::string::npos;
  } else if (colon != std::string::npos && text.find(':') != colon) {
    colon = std::string::npos;  // a bare IPv6 address has no port
  }
  if (colon == std::string::npos) {
    if (!bracketed) address.Host = text;
    return address;
  }
  if (!bracketed) address.Host = text.substr(0, colon);
  std::optional<int64_t> port = ParseInt(text.substr(colon + 1));
  if (!port || *port < 1 || *port > 65535) throw EDBExpressStorage("invalid port in host name " + text);
  address.Port = static_cast<unsigned>(*port);
  return address;
}

void TDBExpressStorage::TCloser::operator()(st_mysql* connection) const { mysql_close(connection); }

TDBExpressStorage::TDBExpressStorage(const std::string& configFile) : TCustomStorage(configFile) {
  InitLibrary();
  TIniFile ini(configFile);
  if (ini.Load()) database_ = ini.ReadString(kSection, "Database", "");
  if (database_.empty()) {
    // Keys the administrator already filled in are kept: only the missing
    // ones are added, for them to complete.
    for (const auto& [key, value] : kDefaultKeys)
      if (!ini.ValueExists(kSection, key)) ini.WriteString(kSection, key, value);
    ini.UpdateFile();
    LogMsg(lmtError, lmdAll, "Database configfile contains invalid data", "SQL");
    throw EDBExpressStorage("Database configfile contains invalid data");
  }
  try {
    address_ = ParseMySqlHostname(ini.ReadString(kSection, "Hostname", ""));
    user_ = ini.ReadString(kSection, "User_name", "");
    password_ = ini.ReadString(kSection, "Password", "");
  } catch (const Exception& e) {
    LogFmt(lmtError, lmdAll, "Database configfile initialization error: %1.%2", "SQL", e.ClassName(), e.what());
    throw EDBExpressStorage(fmt::format("Database configfile initialization error: {}.{}", e.ClassName(), e.what()));
  }
  if (!Connect()) {
    LogFmt(lmtError, lmdAll, "Database initialization error: %1.%2", "SQL", kClass, errorText_);
    throw EDBExpressStorage(fmt::format("Database initialization error: {}.{}", kClass, errorText_));
  }
}

TDBExpressStorage::~TDBExpressStorage() = default;

bool TDBExpressStorage::Connect() {
  Close();
  TConnection connection(mysql_init(nullptr));
  if (!connection) {
    errorText_ = "out of memory";
    return false;
  }
  MYSQL* c = connection.get();
  mysql_options(c, MYSQL_SET_CHARSET_NAME, "binary");
  mysql_options(c, MYSQL_INIT_COMMAND, kInitCommand);
  mysql_options(c, MYSQL_OPT_CONNECT_TIMEOUT, &kConnectTimeoutSeconds);
  mysql_options(c, MYSQL_OPT_READ_TIMEOUT, &kReadWriteTimeoutSeconds);
  mysql_options(c, MYSQL_OPT_WRITE_TIMEOUT, &kReadWriteTimeoutSeconds);
  const char* host = address_.Host.empty() ? nullptr : address_.Host.c_str();
  const char* socket = address_.Socket.empty() ? nullptr : address_.Socket.c_str();
  if (socket) host = "localhost";
  if (!mysql_real_connect(c, host, user_.c_str(), password_.c_str(), database_.c_str(), address_.Port, socket, 0)) {
    errorText_ = mysql_error(c);
    return false;
  }
  connection_ = std::move(connection);
  return true;
}

bool TDBExpressStorage::Run(const std::string& command, TStorageContainer* rows) {
  if (!connection_ && !Connect()) return false;
  MYSQL* c = connection_.get();
  if (mysql_real_query(c, command.data(), command.size()) != 0) {
    errorText_ = mysql_error(c);
    return false;
  }
  TResultPtr result(mysql_store_result(c));
  if (!result) {
    if (mysql_field_count(c) == 0) return true;  // no result set: an insert, update, ...
    errorText_ = mysql_error(c);
    return false;
  }
  if (rows) ReadRows(result.get(), *rows);
  return true;
}

bool TDBExpressStorage::RunWithRetry(const std::string& command, TStorageContainer* rows) {
  if (Run(command, rows)) return true;
  // Rows of a failed try are dropped: the retry reads them all again.
  if (rows) *rows = TStorageContainer();
  Close();
  return Run(command, rows);
}

bool TDBExpressStorage::LoadSQL(const std::string& path) {
  TStorageLock lock(*this);
  if (!TCustomStorage::LoadSQL(path)) return false;
  // SQLite spells the keyword AUTOINCREMENT and MySQL AUTO_INCREMENT, and
  // neither accepts the other's; the creation scripts are written for
  // SQLite and translated here. Nothing is bound yet, so only script text
  // is touched.
  SetStatement(MySqlDialect(Statement()));
  return true;
}

bool TDBExpressStorage::ExecSQL() {
  TStorageLock lock(*this);
  std::string sql = Statement();
  if (sql.empty()) return false;
  bool ok = true;
  for (const std::string& command : StatementCommands()) {
    if (RunWithRetry(command, nullptr)) continue;
    LogFmt(lmtError, lmdAll, "ExecSQL Error: %1.%2 in query: %3", "SQL", kClass, errorText_, sql);
    ok = false;
  }
  return ok;
}

std::unique_ptr<TStorageContainer> TDBExpressStorage::OpenSQL() {
  TStorageLock lock(*this);
  std::string sql = Statement();
  if (sql.empty()) return nullptr;
  auto rows = std::make_unique<TStorageContainer>();
  for (const std::string& command : StatementCommands()) {
    TStorageContainer commandRows;
    if (!RunWithRetry(command, &commandRows)) {
      LogFmt(lmtError, lmdAll, "OpenSQL Error: %1.%2 in query: %3", "SQL", kClass, errorText_, sql);
      throw EDBExpressStorage(fmt::format("OpenSQL Error: {}.{} in query: {}", kClass, errorText_, sql));
    }
    rows->Append(std::move(commandRows));
  }
  if (rows->Count() == 0) return nullptr;
  return rows;
}

bool TDBExpressStorage::QueryColumn(const std::string& query, std::vector<std::string>& values) {
  if (!connection_ && !Connect()) return false;
  MYSQL* c = connection_.get();
  if (mysql_real_query(c, query.data(), query.size()) != 0) {
    errorText_ = mysql_error(c);
    return false;
  }
  TResultPtr result(mysql_store_result(c));
  if (!result) {
    errorText_ = mysql_error(c);
    return false;
  }
  while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
    unsigned long* lengths = mysql_fetch_lengths(result.get());
    values.emplace_back(row[0] ? std::string(row[0], lengths[0]) : std::string());
  }
  return true;
}

int64_t TDBExpressStorage::GetLastInsertID() {
  TStorageLock lock(*this);
  static const std::string kQuery = "select LAST_INSERT_ID() as id";
  std::vector<std::string> values;
  // No retry: a fresh connection knows no insert of the old one.
  if (!QueryColumn(kQuery, values) || values.empty()) {
    LogFmt(lmtError, lmdAll, "GetLastInsertID Error: %1.%2 in query: %2", "SQL", kClass, errorText_);
    throw EDBExpressStorage(fmt::format("GetLastInsertID Error: {}.{} in query: {}", kClass, errorText_, kQuery));
  }
  return ParseInt(values.front()).value_or(0);
}

bool TDBExpressStorage::TableExists(const std::string& name) {
  TStorageLock lock(*this);
  static const std::string kQuery = "SHOW TABLES";
  std::vector<std::string> tables;
  bool ok = QueryColumn(kQuery, tables);
  Close();
  if (!ok) {
    LogFmt(lmtError, lmdAll, "TableExists Error: %1.%2 in query: %3", "SQL", kClass, errorText_, kQuery);
    throw EDBExpressStorage(fmt::format("TableExists Error: {}.{} in query: {}", kClass, errorText_, kQuery));
  }
  for (const std::string& table : tables)
    if (SameText(table, name)) return true;
  return false;
}

bool TDBExpressStorage::ColumnExists(const std::string& table, const std::string& column) {
  TStorageLock lock(*this);
  std::string query =
      "SELECT COUNT(*) FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = " +
      Quoted(table) + " AND COLUMN_NAME = " + Quoted(column);
  std::vector<std::string> count;
  if (!QueryColumn(query, count)) {
    Close();
    count.clear();
    if (!QueryColumn(query, count)) return false;
  }
  return !count.empty() && count.front() != "0";
}

}  // namespace qv
