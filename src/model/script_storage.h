// Where the model's storage-backed operations find their data: the one
// process-wide storage object and the directory that holds its SQL scripts.
//
// Borrowed, cheap to copy. Thread rules: those of TCustomStorage; callers
// hold TStorageLock from Load until the result has been read.
#pragma once

#include <string>
#include <string_view>

#include "storage/server_storage.h"

namespace qv {

struct TScriptStorage {
  TCustomStorage* Storage = nullptr;
  std::string SqlDir;

  bool Valid() const { return Storage != nullptr; }
  // Loads the named script of the script directory into the statement.
  bool Load(std::string_view script) const { return Storage->LoadSQL(ScriptPath(SqlDir, script)); }
  TCustomStorage& operator*() const { return *Storage; }
  TCustomStorage* operator->() const { return Storage; }
};

}  // namespace qv
