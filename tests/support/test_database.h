// A real SQLite database with the shipped scripts and tables in a temporary
// directory, reopened to simulate a restart.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "model/script_storage.h"
#include "storage/schema.h"
#include "storage/sqlite_storage.h"
#include "support/test_dir.h"

namespace qv::test {

inline std::string ModelScriptDir() {
  const char* source = std::getenv("QV_SOURCE_DIR");
  std::filesystem::path root =
      source ? std::filesystem::path(source)
             : std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
  return (root / "sqlite_sql").string() + "/";
}

class TestDatabase {
 public:
  TestDatabase() {
    Open();
    EXPECT_TRUE(CreateTables(*db_, ModelScriptDir()));
  }

  // Closes and reopens the database file, as a server restart does.
  void Restart() {
    scripts_.Storage = nullptr;
    db_.reset();
    Open();
  }

  const TScriptStorage& Scripts() const { return scripts_; }
  TCustomStorage& Storage() { return *db_; }

 private:
  void Open() {
    db_ = std::make_unique<TSQLiteStorage>(dir_.File("server.dbs"));
    scripts_ = TScriptStorage{db_.get(), ModelScriptDir()};
  }

  TempDir dir_;
  std::unique_ptr<TSQLiteStorage> db_;
  TScriptStorage scripts_;
};

}  // namespace qv::test
