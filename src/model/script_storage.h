// Where the model's storage-backed operations find their data: the one
// process-wide storage object and the directory that holds its SQL scripts.
//
// Borrowed, cheap to copy. Thread rules: those of TCustomStorage; callers
// hold TStorageLock from Load until the result has been read.
#pragma once

#include <string>
#include <string_view>

#include "base/exception.h"
#include "storage/server_storage.h"

namespace qv {

// Raised by a storage-backed operation on a TScriptStorage without storage
// (a server object made for tests or tools); the operation's boundary logs it
// and returns its neutral result.
QV_EXCEPTION_CLASS(EScriptStorage, Exception);

struct TScriptStorage {
  TCustomStorage* Storage = nullptr;
  std::string SqlDir;

  bool Valid() const { return Storage != nullptr; }
  // Loads the named script of the script directory into the statement.
  bool Load(std::string_view script) const { return Get().LoadSQL(ScriptPath(SqlDir, script)); }
  TCustomStorage& operator*() const { return Get(); }
  TCustomStorage* operator->() const { return &Get(); }

 private:
  TCustomStorage& Get() const {
    if (!Storage) throw EScriptStorage("no storage");
    return *Storage;
  }
};

}  // namespace qv
