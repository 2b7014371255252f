// The storage contract: every persistent record of the process (virtual
// servers, channels, accounts, channel and server privileges, IP bans) goes
// through one TCustomStorage object and named SQL script files.
//
// A caller locks the storage, loads a script (LoadSQL), binds its named
// parameters by text substitution (SetParam...), then runs it (ExecSQL) or
// opens it as a query (OpenSQL) and reads typed columns by name. A column's
// type follows from its name's prefix: "s_" text, "i_" integer, "b_" boolean,
// "dt_" date-time. Back ends (SQLite, MySQL) derive from TCustomStorage and
// implement the statement execution; binding and script loading are shared.
//
// Thread rules: one storage object serves every thread of the process. A
// caller holds the storage lock (TStorageLock) from LoadSQL until its result
// has been read, because the statement being built is shared. The lock is
// re-entrant, so an operation that holds it may call helpers that take it
// again. Lock order: a server's player list, its channel tree, then storage.
// A returned TStorageContainer belongs to the caller and needs no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"
#include "base/exception.h"

namespace qv {

// Failures of the storage layer: a missing column, an unreadable value, a
// back end that cannot be opened.
QV_EXCEPTION_CLASS(EStorage, Exception);

// --- typed result fields ---

// One column value of a result row. Reading it as a type it does not hold
// raises EStorage.
class TCustomStorageField {
 public:
  explicit TCustomStorageField(std::string name) : name_(std::move(name)) {}
  virtual ~TCustomStorageField() = default;
  TCustomStorageField(const TCustomStorageField&) = delete;
  TCustomStorageField& operator=(const TCustomStorageField&) = delete;

  const std::string& Name() const { return name_; }
  virtual std::string AsString() const = 0;  // the value's text form
  virtual int32_t AsInteger() const;
  virtual bool AsBoolean() const;
  virtual TDateTime AsDateTime() const;

 protected:
  [[noreturn]] void WrongType(const char* type) const;

 private:
  std::string name_;
};

class TStringStorageField : public TCustomStorageField {
 public:
  TStringStorageField(std::string name, std::string value);
  std::string AsString() const override { return value_; }

 private:
  std::string value_;
};

class TIntegerStorageField : public TCustomStorageField {
 public:
  TIntegerStorageField(std::string name, int32_t value);
  std::string AsString() const override;
  int32_t AsInteger() const override { return value_; }

 private:
  int32_t value_;
};

class TBooleanStorageField : public TCustomStorageField {
 public:
  TBooleanStorageField(std::string name, bool value);
  std::string AsString() const override { return value_ ? "-1" : "0"; }
  int32_t AsInteger() const override { return value_ ? 1 : 0; }
  bool AsBoolean() const override { return value_; }

 private:
  bool value_;
};

class TDateTimeStorageField : public TCustomStorageField {
 public:
  TDateTimeStorageField(std::string name, TDateTime value);
  std::string AsString() const override;  // "ddmmyyyyhhnnsszzz"
  TDateTime AsDateTime() const override { return value_; }

 private:
  TDateTime value_;
};

// The 17-character stored form of a date-time, "ddmmyyyyhhnnsszzz".
std::string StorageDateTimeText(TDateTime value);
// The value of a stored date-time text; any text that is not exactly 17
// digits forming a valid date and time reads as 0 (1899-12-30 00:00).
TDateTime StorageDateTimeValue(std::string_view text);

// Builds the field for column `name` from the back end's text of its value
// (NULL passed as empty text). Empty "i_" reads 0, empty "b_" reads
// `emptyBoolean` (true on SQLite, false on MySQL). A name without one of the
// four prefixes is logged and raises EStorage "unknown field descriptor in
// header: <name>"; a value that is not of the column's type raises EStorage.
std::unique_ptr<TCustomStorageField> CreateStorageField(const std::string& name, std::string_view text,
                                                        bool emptyBoolean);

// --- rows and results ---

// One result row: its fields sorted by column name, looked up by name with
// letter case ignored.
class TStorageRow {
 public:
  // Adds a field; a second column of the same name is ignored.
  void Add(std::unique_ptr<TCustomStorageField> field);
  // Raises EStorage "field <name> not found" for a name that is no column.
  const TCustomStorageField& FieldByName(std::string_view name) const;
  const TCustomStorageField* FindField(std::string_view name) const;  // nullptr when absent

  size_t Count() const { return fields_.size(); }
  const TCustomStorageField& Field(size_t index) const { return *fields_.at(index); }

  // Shorthands for FieldByName(name).As...().
  std::string AsString(std::string_view name) const { return FieldByName(name).AsString(); }
  int32_t AsInteger(std::string_view name) const { return FieldByName(name).AsInteger(); }
  bool AsBoolean(std::string_view name) const { return FieldByName(name).AsBoolean(); }
  TDateTime AsDateTime(std::string_view name) const { return FieldByName(name).AsDateTime(); }

 private:
  size_t LowerBound(std::string_view name) const;

  std::vector<std::unique_ptr<TCustomStorageField>> fields_;  // sorted by lower-cased name
};

// The rows of one query with a cursor. OpenSQL returns one only when it
// holds at least one row, with the cursor on the first row.
class TStorageContainer {
 public:
  void Add(std::unique_ptr<TStorageRow> row) { rows_.push_back(std::move(row)); }
  // Moves the rows of `other` behind these.
  void Append(TStorageContainer&& other) {
    for (auto& row : other.rows_) rows_.push_back(std::move(row));
    other.rows_.clear();
  }

  void First() { position_ = 0; }
  bool Eof() const { return position_ >= rows_.size(); }
  void Next() { ++position_; }
  const TStorageRow& Row() const;  // raises EStorage at Eof
  size_t Count() const { return rows_.size(); }
  const TStorageRow& RowAt(size_t index) const { return *rows_.at(index); }

 private:
  std::vector<std::unique_ptr<TStorageRow>> rows_;
  size_t position_ = 0;
};

// --- the storage ---

class TCustomStorage {
 public:
  // connectString: the database file path (SQLite) or the configuration
  // file path (MySQL).
  explicit TCustomStorage(std::string connectString);
  virtual ~TCustomStorage() = default;
  TCustomStorage(const TCustomStorage&) = delete;
  TCustomStorage& operator=(const TCustomStorage&) = delete;

  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }
  std::recursive_mutex& LockObject() const { return lock_; }

  // Reads the script at `path` into the statement, its lines joined by CR LF.
  // A missing file logs "SQL file not found <path>", empties the statement
  // and gives false.
  virtual bool LoadSQL(const std::string& path);

  // Replace every occurrence of `name` (letter case ignored) in the statement
  // by the value's SQL text. Text put in by an earlier binding is never
  // searched again, so a value may contain a later parameter's name.
  virtual void SetParamString(std::string_view name, std::string_view value);  // 'it''s'
  virtual void SetParamBool(std::string_view name, bool value);                // -1 / 0
  virtual void SetParamDateTime(std::string_view name, TDateTime value);       // 'ddmmyyyyhhnnsszzz'
  virtual void SetParamInteger(std::string_view name, int64_t value);          // decimal

  // Runs the statement; false (and logged) when it failed or is empty.
  virtual bool ExecSQL() = 0;
  // Runs the statement as a query: nullptr when it failed, is empty or
  // yields no row. Raises EStorage when a column cannot be typed or read.
  virtual std::unique_ptr<TStorageContainer> OpenSQL() = 0;
  // The id the last insert of this connection assigned.
  virtual int64_t GetLastInsertID() = 0;
  // Whether a table of exactly this name exists (letter case ignored).
  virtual bool TableExists(const std::string& name) = 0;
  virtual bool ColumnExists(const std::string& table, const std::string& column) = 0;

  // The statement with the parameters bound so far.
  std::string Statement() const;
  void SetStatement(std::string text);
  const std::string& ConnectString() const { return connectString_; }

 protected:
  // Replaces every unbound occurrence of `name` by `sqlText`, marking the
  // inserted text as bound.
  void BindParam(std::string_view name, std::string_view sqlText);

  // The statement cut into commands at the ";" characters of the script text
  // that stand outside quotes (one flag flips at every ' and "). Bound values
  // are never searched, so a value cannot end a command or open a quote.
  // Commands that are blank after trimming are left out; text after the
  // last ";" is a command of its own.
  std::vector<std::string> StatementCommands() const;

 private:
  // The statement as pieces of script text (searched by bindings) and bound
  // values (never searched again). Guarded by lock_.
  struct TStatementPiece {
    std::string text;
    bool bound;
  };

  const std::string connectString_;
  mutable std::recursive_mutex lock_;
  std::vector<TStatementPiece> statement_;  // guarded by lock_
};

// Holds the storage lock for one scope.
class TStorageLock {
 public:
  explicit TStorageLock(TCustomStorage& storage) : guard_(storage.LockObject()) {}

 private:
  std::lock_guard<std::recursive_mutex> guard_;
};

// The script `name` inside `directory` (a separator is put in between when
// the directory does not end with one).
std::string ScriptPath(const std::string& directory, std::string_view name);

}  // namespace qv
