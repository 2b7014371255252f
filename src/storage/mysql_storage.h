// The MySQL/MariaDB storage back end: TCustomStorage over one connection of
// MariaDB Connector/C, chosen by [DBEXPRESS] "Active"=1 in the configuration
// file. It runs the same script files as the SQLite back end.
//
// Connection settings come from the [DBEXPRESS] section of the configuration
// file: "Database", "Hostname" (a host, host:port, or the path of a unix
// socket), "User_name", "Password". The driver keys of other platforms
// ("Drivername", "GetDriverFunc", "VendorLib", "LibraryName") are written
// with their defaults and otherwise unused.
//
// Text is stored byte for byte: the session runs with NO_BACKSLASH_ESCAPES
// (so the quote doubling of the shared binding is the whole escaping) and
// the "binary" character set (so no text is converted on the way). A script
// is cut into its commands before anything is sent, and bound values are
// never searched for ";" (TCustomStorage::StatementCommands).
//
// A failed command is tried once more over a fresh connection, so a
// connection the server dropped (idle time-out, server restart) heals on the
// next statement. Unlike SQLite, a script's commands are not undone when a
// later one fails.
//
// Thread rules: as TCustomStorage. Every operation takes the storage lock
// itself, so the one connection is never used by two threads at once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "storage/server_storage.h"

struct st_mysql;

namespace qv {

QV_EXCEPTION_CLASS(EDBExpressStorage, EStorage);

// Where to reach the server, from the "Hostname" key.
struct TMySqlAddress {
  std::string Host;    // empty: the client library's default (localhost)
  unsigned Port = 0;   // 0: the default port
  std::string Socket;  // a unix socket path; Host and Port are then unused
};

// "host", "host:port", "[v6 address]:port" or "/path/to/socket". Raises
// EDBExpressStorage for a port that is no number from 1 to 65535.
TMySqlAddress ParseMySqlHostname(const std::string& hostname);

class TDBExpressStorage : public TCustomStorage {
 public:
  // Reads [DBEXPRESS] from configFile and connects. An empty "Database"
  // writes the missing keys with their defaults, logs "Database configfile
  // contains invalid data" and raises; a server that cannot be reached logs
  // "Database initialization error: <class>.<message>" and raises.
  explicit TDBExpressStorage(const std::string& configFile);
  ~TDBExpressStorage() override;

  // The script with every AUTOINCREMENT keyword spelled AUTO_INCREMENT.
  bool LoadSQL(const std::string& path) override;
  bool ExecSQL() override;
  // Raises EDBExpressStorage when a command fails twice (logged first).
  std::unique_ptr<TStorageContainer> OpenSQL() override;
  int64_t GetLastInsertID() override;
  // Closes the connection afterwards; the next statement opens it again.
  bool TableExists(const std::string& name) override;
  // Asks the server's schema (the upgrade of the node column relies on it).
  bool ColumnExists(const std::string& table, const std::string& column) override;

 private:
  struct TCloser {
    void operator()(st_mysql* connection) const;
  };
  using TConnection = std::unique_ptr<st_mysql, TCloser>;

  bool Connect();  // sets errorText_ on failure
  void Close() { connection_.reset(); }
  // Runs one command, rows (when given) receiving its result rows.
  bool Run(const std::string& command, TStorageContainer* rows);
  // Run, and once more over a fresh connection when that failed.
  bool RunWithRetry(const std::string& command, TStorageContainer* rows);
  // One text column of every row of `query`; false on a failure.
  bool QueryColumn(const std::string& query, std::vector<std::string>& values);

  TMySqlAddress address_;
  std::string database_, user_, password_;
  TConnection connection_;  // guarded by the storage lock; empty while closed
  std::string errorText_;   // guarded by the storage lock
};

}  // namespace qv
