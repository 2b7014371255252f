// What the administration targets share: a fresh in-memory SQLite database
// per input with the shipped scripts and tables, one superadmin account
// ("fuzz"/"fuzz") and one stored server running in a registry without
// network side (no socket, no thread), so that starting, stopping and adding
// servers is safe to fuzz.
#pragma once

#include <memory>
#include <string>

#include "fuzz_server.h"
#include "model/accounts.h"
#include "model/server_control.h"
#include "model/server_registry.h"
#include "storage/schema.h"
#include "storage/sqlite_storage.h"

#ifndef QV_FUZZ_SOURCE_DIR
#error "QV_FUZZ_SOURCE_DIR must name the source tree"
#endif

namespace qv::fuzz {

inline std::string SqlDir() { return std::string(QV_FUZZ_SOURCE_DIR) + "/sqlite_sql/"; }
inline std::string DocDir() { return std::string(QV_FUZZ_SOURCE_DIR) + "/httpdocs"; }

class TFuzzStorage {
 public:
  TFuzzStorage() : db_(std::make_unique<TSQLiteStorage>(":memory:")), scripts{db_.get(), SqlDir()} {
    if (!CreateTables(*db_, SqlDir())) Broken("set-up: tables not created");
    TClientRec admin;
    admin.LoginName = "fuzz";
    admin.LoginPassword = "fuzz";
    if (DBAddSuperUser(scripts, admin) != 0) Broken("set-up: superadmin not added");
    if (!StartConfiguredServer(registry, scripts, 0, 8767)) Broken("set-up: server not started");
  }

 private:
  std::unique_ptr<TSQLiteStorage> db_;

 public:
  TScriptStorage scripts;
  TServerRegistry registry;
};

}  // namespace qv::fuzz
