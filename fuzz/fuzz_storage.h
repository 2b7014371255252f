// What the administration targets share: a fresh SQLite database per input
// with the shipped scripts and tables, one superadmin account ("fuzz"/"fuzz")
// and one stored server (id 1, UDP port 8767) running in a registry without
// network side (no socket, no thread), so that starting, stopping and adding
// servers is safe to fuzz.
//
// The database is built once per process and copied for each input: building
// it (every table script, then a new server's settings and six permission
// groups) costs ten times more than most inputs.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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

inline constexpr int32_t kServerId = 1;
inline constexpr uint32_t kServerPort = 8767;

// The database as set up, kept in memory, and the file (in memory too where
// /dev/shm exists) its per-input copies go to. Only a crashing run leaves
// that file behind.
class TPristineDatabase {
 public:
  TPristineDatabase() {
    std::error_code error;
    std::filesystem::path dir = "/dev/shm";
    if (!std::filesystem::is_directory(dir, error)) dir = std::filesystem::temp_directory_path();
    work_ = (dir / ("qv-fuzz-" + std::to_string(getpid()) + ".dbs")).string();
    Remove();
    {
      TSQLiteStorage db(work_);
      TScriptStorage scripts{&db, SqlDir()};
      if (!CreateTables(db, SqlDir())) Broken("set-up: tables not created");
      TClientRec admin;
      admin.LoginName = "fuzz";
      admin.LoginPassword = "fuzz";
      if (DBAddSuperUser(scripts, admin) != 0) Broken("set-up: superadmin not added");
      TServerRegistry registry;
      auto server = StartConfiguredServer(registry, scripts, 0, kServerPort);
      if (!server || server->ServerId != kServerId) Broken("set-up: server not created");
    }
    std::ifstream file(work_, std::ios::binary);
    image_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (image_.empty()) Broken("set-up: database not read");
    Remove();
  }
  ~TPristineDatabase() { Remove(); }

  // A fresh copy of the database; the previous copy must be closed.
  const std::string& Copy() const {
    Remove();
    std::ofstream file(work_, std::ios::binary);
    file.write(image_.data(), static_cast<std::streamsize>(image_.size()));
    if (!file.flush()) Broken("set-up: database not copied");
    return work_;
  }

 private:
  void Remove() const {
    std::error_code error;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(work_ + suffix, error);
  }

  std::string work_;
  std::string image_;
};

class TFuzzStorage {
 public:
  TFuzzStorage() : db_(std::make_unique<TSQLiteStorage>(Pristine().Copy())), scripts{db_.get(), SqlDir()} {
    if (!StartConfiguredServer(registry, scripts, kServerId, 0)) Broken("set-up: server not started");
  }

 private:
  static const TPristineDatabase& Pristine() {
    static const TPristineDatabase pristine;
    return pristine;
  }

  std::unique_ptr<TSQLiteStorage> db_;

 public:
  TScriptStorage scripts;
  TServerRegistry registry;
};

}  // namespace qv::fuzz
