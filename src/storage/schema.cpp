#include "storage/schema.h"

#include <array>
#include <optional>

#include "base/log.h"

namespace qv {

namespace {

struct TTableScript {
  const char* table;
  const char* script;
};

// Creation order: the order in which the tables are checked and created.
constexpr std::array<TTableScript, 6> kTables{{
    {"qv2_servers", "create_servers.sql"},
    {"qv2_channels", "create_channels.sql"},
    {"qv2_clients", "create_clients.sql"},
    {"qv2_channel_privileges", "create_channel_privileges.sql"},
    {"qv2_server_privileges", "create_server_privileges.sql"},
    {"qv2_bans", "create_bans.sql"},
}};

bool RunScript(TCustomStorage& storage, const std::string& scriptDirectory, const char* script) {
  TStorageLock lock(storage);
  return storage.LoadSQL(ScriptPath(scriptDirectory, script)) && storage.ExecSQL();
}

bool CreateTable(TCustomStorage& storage, const std::string& scriptDirectory, const TTableScript& entry) {
  if (storage.TableExists(entry.table)) return true;
  // A script that runs but creates some other table counts as a failure
  // too: every later user of the storage relies on this table.
  if (RunScript(storage, scriptDirectory, entry.script) && storage.TableExists(entry.table)) {
    LogFmt(lmtWarning, lmdInfo, "created table %1", "SQL", entry.table);
    return true;
  }
  LogMsg(lmtError, lmdAll, "unable to create table", "SQL");
  return false;
}

// One upgrade step: its outcome when it ran, nothing when not needed.
std::optional<bool> UpgradeStep(TCustomStorage& storage, const std::string& scriptDirectory, const char* marker,
                                const char* script) {
  if (storage.ColumnExists("qv2_servers", marker)) return std::nullopt;
  LogFmt(lmtAll, lmdInfo, "Upgrading database script %1", "SQL", script);
  bool ok = RunScript(storage, scriptDirectory, script);
  if (ok) {
    LogMsg(lmtAll, lmdInfo, "Upgrading successfully", "SQL");
  } else {
    LogMsg(lmtError, lmdAll, "Upgrading failed!", "SQL");
  }
  return ok;
}

}  // namespace

bool CreateTables(TCustomStorage& storage, const std::string& scriptDirectory) {
  try {
    for (const TTableScript& entry : kTables) {
      if (!CreateTable(storage, scriptDirectory, entry)) return false;
    }
    return true;
  } catch (const std::exception& e) {
    LogMsg(lmtError, lmdAll, "CreateTables Exception: " + ExceptionText(e), "SQL");
    return false;
  }
}

bool UpgradeDatabase(TCustomStorage& storage, const std::string& scriptDirectory) {
  try {
    std::optional<bool> first =
        UpgradeStep(storage, scriptDirectory, "b_server_allow_codec_speex2150", "upgrade_1.sql");
    std::optional<bool> second =
        UpgradeStep(storage, scriptDirectory, "b_server_allow_codec_speex15000", "upgrade_2.sql");
    std::optional<bool> third = UpgradeStep(storage, scriptDirectory, "s_server_node", "upgrade_3.sql");
    // Every upgrade that ran must have succeeded: a failed first upgrade
    // leaves a column missing even when the second one went through.
    return first.value_or(true) && second.value_or(true) && third.value_or(true);
  } catch (const std::exception& e) {
    LogMsg(lmtError, lmdAll, "UpgradeDatabase Exception: " + ExceptionText(e), "SQL");
    return false;
  }
}

}  // namespace qv
