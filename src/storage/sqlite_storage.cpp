#include "storage/sqlite_storage.h"

#include <sqlite3.h>

#include "base/log.h"
#include "base/text_utils.h"

namespace qv {

namespace {

// A locked database waits this long before a statement fails, so that a
// backup or an administrator's tool reading the file does not cost a write.
constexpr int kBusyTimeoutMs = 2000;

struct TStatementCloser {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using TStatementPtr = std::unique_ptr<sqlite3_stmt, TStatementCloser>;

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);  // NULL value: nullptr
  if (!text) return {};
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

std::string ColumnName(sqlite3_stmt* stmt, int column) {
  const char* name = sqlite3_column_name(stmt, column);
  return name ? name : "";
}

std::unique_ptr<TStorageRow> ReadRow(sqlite3_stmt* stmt) {
  auto row = std::make_unique<TStorageRow>();
  int columns = sqlite3_column_count(stmt);
  for (int i = 0; i < columns; ++i) {
    row->Add(CreateStorageField(ColumnName(stmt, i), ColumnText(stmt, i), /*emptyBoolean=*/true));
  }
  return row;
}

}  // namespace

void TSQLiteStorage::TCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

TSQLiteStorage::TSQLiteStorage(const std::string& dbPath) : TCustomStorage(dbPath) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(dbPath.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  db_.reset(raw);  // SQLite hands out a handle to close even when the open failed
  bool ok = rc == SQLITE_OK;
  if (!ok) errorText_ = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
  if (ok) sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
  // Reading the schema is what finds a file that is no database; it fails
  // before anything is written, so such a file stays as it was.
  ok = ok && ExecuteRaw("SELECT count(*) FROM sqlite_master;");
  ok = ok && ExecuteRaw("PRAGMA journal_mode = WAL;");
  ok = ok && ExecuteRaw("PRAGMA synchronous = NORMAL;");
  if (!ok) {
    LogFmt(lmtError, lmdAll, "Database initialization error: %1", "SQL", errorText_);
    throw ESQLiteStorage("Database initialization error: " + errorText_);
  }
}

TSQLiteStorage::~TSQLiteStorage() = default;

std::string TSQLiteStorage::ErrorText() const {
  std::lock_guard guard(LockObject());
  return errorText_;
}

bool TSQLiteStorage::ExecuteRaw(const std::string& sql) {
  char* message = nullptr;
  int rc = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) errorText_ = message ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  return rc == SQLITE_OK;
}

bool TSQLiteStorage::ExecuteScript(const std::string& sql) {
  // A script of several statements (an upgrade, a delete across tables)
  // must not stop half-way: a half-applied upgrade could never run again.
  if (!ExecuteRaw("SAVEPOINT qv_script;")) return false;
  if (ExecuteRaw(sql) && ExecuteRaw("RELEASE qv_script;")) return true;
  std::string failure = errorText_;
  ExecuteRaw("ROLLBACK TO qv_script; RELEASE qv_script;");
  errorText_ = failure;
  return false;
}

bool TSQLiteStorage::ExecSQL() {
  TStorageLock lock(*this);
  std::string sql = Statement();
  if (sql.empty()) return false;
  if (ExecuteScript(sql)) return true;
  LogFmt(lmtError, lmdAll, "ExcecSQL Error: %1 in query: %2", "SQL", errorText_, sql);
  return false;
}

bool TSQLiteStorage::QueryRows(const std::string& sql, TStorageContainer& rows) {
  const char* next = sql.c_str();
  const char* end = next + sql.size();
  while (next < end) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db_.get(), next, static_cast<int>(end - next), &raw, &next);
    TStatementPtr stmt(raw);
    if (rc != SQLITE_OK) {
      errorText_ = sqlite3_errmsg(db_.get());
      return false;
    }
    if (!stmt) continue;  // only blanks or a comment were left
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) rows.Add(ReadRow(stmt.get()));
    if (rc != SQLITE_DONE) {
      errorText_ = sqlite3_errmsg(db_.get());
      return false;
    }
  }
  return true;
}

std::unique_ptr<TStorageContainer> TSQLiteStorage::OpenSQL() {
  TStorageLock lock(*this);
  std::string sql = Statement();
  if (sql.empty()) return nullptr;
  auto rows = std::make_unique<TStorageContainer>();
  if (!QueryRows(sql, *rows)) {
    LogFmt(lmtError, lmdAll, "OpenSQL Error: %1 in query: %2", "SQL", errorText_, sql);
    return nullptr;
  }
  if (rows->Count() == 0) return nullptr;
  return rows;
}

int64_t TSQLiteStorage::GetLastInsertID() {
  TStorageLock lock(*this);
  return sqlite3_last_insert_rowid(db_.get());
}

bool TSQLiteStorage::TableExists(const std::string& name) {
  TStorageLock lock(*this);
  static const std::string kQuery = "SELECT name FROM sqlite_master WHERE type = 'table';";
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db_.get(), kQuery.c_str(), -1, &raw, nullptr);
  TStatementPtr stmt(raw);
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW && SameText(ColumnText(stmt.get(), 0), name)) return true;
  }
  if (rc != SQLITE_DONE) {
    errorText_ = sqlite3_errmsg(db_.get());
    LogFmt(lmtError, lmdAll, "TableExists Error: %1 in query: %2", "SQL", errorText_, kQuery);
  }
  return false;
}

bool TSQLiteStorage::ColumnExists(const std::string& table, const std::string& column) {
  TStorageLock lock(*this);
  // Asks the schema instead of selecting the column, so a missing column is
  // no failed statement in the log and the table name is never SQL text.
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db_.get(), "SELECT name FROM pragma_table_info(?1);", -1, &raw, nullptr);
  TStatementPtr stmt(raw);
  if (rc == SQLITE_OK) rc = sqlite3_bind_text(stmt.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW && SameText(ColumnText(stmt.get(), 0), column)) return true;
  }
  if (rc != SQLITE_DONE) errorText_ = sqlite3_errmsg(db_.get());
  return false;
}

}  // namespace qv
