// A database of its own on the test MariaDB server, dropped afterwards.
//
// The server is the one scripts/run-tests.sh starts: QV_TEST_MYSQL holds its
// socket path (the [DBEXPRESS] "Hostname"), QV_TEST_MYSQL_DIR its directory
// (for a restart). Tests that need it skip when QV_TEST_MYSQL is not set.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "base/ini_file.h"
#include "storage/mysql_storage.h"
#include "support/test_dir.h"

namespace qv::test {

inline const char* MySqlHost() { return std::getenv("QV_TEST_MYSQL"); }

// Writes [DBEXPRESS] of the test server for `database` (and "Active"=1) into
// the configuration file, keeping what else it holds.
inline void WriteMySqlConfig(const std::string& iniPath, const std::string& database) {
  TIniFile ini(iniPath);
  ini.Load();
  ini.WriteString("DBEXPRESS", "Active", "1");
  ini.WriteString("DBEXPRESS", "Database", database);
  ini.WriteString("DBEXPRESS", "Hostname", MySqlHost() ? MySqlHost() : "");
  ini.WriteString("DBEXPRESS", "User_name", "root");
  ini.WriteString("DBEXPRESS", "Password", "");
  ini.UpdateFile();
}

// Restarts the test server (same data); false when that failed.
inline bool RestartMySqlServer() {
  const char* dir = std::getenv("QV_TEST_MYSQL_DIR");
  const char* source = std::getenv("QV_SOURCE_DIR");
  if (!dir || !source) return false;
  std::string command = std::string(source) + "/scripts/mariadb-test-server.sh restart '" + dir + "' >/dev/null";
  return std::system(command.c_str()) == 0;
}

class TMySqlTestDatabase {
 public:
  TMySqlTestDatabase() {
    static std::atomic<int> counter{0};
    name_ = "qvt_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    Admin("DROP DATABASE IF EXISTS " + name_ + "; CREATE DATABASE " + name_ + ";");
  }
  ~TMySqlTestDatabase() { Admin("DROP DATABASE IF EXISTS " + name_ + ";"); }
  TMySqlTestDatabase(const TMySqlTestDatabase&) = delete;
  TMySqlTestDatabase& operator=(const TMySqlTestDatabase&) = delete;

  const std::string& Name() const { return name_; }
  // A configuration file in `dir` that reaches this database.
  std::string Config(const TempDir& dir, const std::string& file = "mysql.ini") const {
    WriteMySqlConfig(dir.File(file), name_);
    return dir.File(file);
  }

 private:
  void Admin(const std::string& sql) {
    WriteMySqlConfig(admin_.File("admin.ini"), "mysql");
    TDBExpressStorage admin(admin_.File("admin.ini"));
    admin.SetStatement(sql);
    admin.ExecSQL();
  }

  TempDir admin_;
  std::string name_;
};

}  // namespace qv::test
