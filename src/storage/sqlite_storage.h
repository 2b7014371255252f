// The default storage back end: TCustomStorage over one SQLite 3 database
// file ("server.dbs" beside the program unless configured otherwise).
//
// The file is opened in WAL mode with synchronous=NORMAL, so a crash or power
// loss can lose the last transactions but never corrupt the file. ExecSQL
// runs a whole script atomically: when one of its statements fails, the ones
// before it are undone (scripts therefore hold no transaction statements of
// their own). Result values are read from SQLite directly; a NULL value
// counts as empty text, so a NULL "b_" column reads as true.
//
// Thread rules: as TCustomStorage. Every operation also takes the storage
// lock itself, so the one connection is never used by two threads at once.
#pragma once

#include <memory>
#include <string>

#include "storage/server_storage.h"

struct sqlite3;

namespace qv {

QV_EXCEPTION_CLASS(ESQLiteStorage, EStorage);

class TSQLiteStorage : public TCustomStorage {
 public:
  // Opens (or creates) the database file. A file that cannot be opened or is
  // no database is logged as "Database initialization error: <text>" and
  // raises ESQLiteStorage with that message; such a file is left untouched.
  explicit TSQLiteStorage(const std::string& dbPath);
  ~TSQLiteStorage() override;

  bool ExecSQL() override;
  std::unique_ptr<TStorageContainer> OpenSQL() override;
  int64_t GetLastInsertID() override;
  bool TableExists(const std::string& name) override;
  bool ColumnExists(const std::string& table, const std::string& column) override;

  // Text of the last failure of this connection.
  std::string ErrorText() const;

 private:
  struct TCloser {
    void operator()(sqlite3* db) const;
  };

  // Runs every statement of `sql` in one savepoint; false (with errorText_
  // set) when one failed, after undoing the others.
  bool ExecuteScript(const std::string& sql);
  bool ExecuteRaw(const std::string& sql);  // sets errorText_ on failure
  // Appends the rows of every statement of `sql`; false on a failure.
  bool QueryRows(const std::string& sql, TStorageContainer& rows);

  std::unique_ptr<sqlite3, TCloser> db_;  // guarded by the storage lock
  std::string errorText_;                 // guarded by the storage lock
};

}  // namespace qv
