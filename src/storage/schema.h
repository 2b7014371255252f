// The database schema: the six tables the program uses, created from their
// scripts when missing, and the upgrades of a database from an older release.
//
// Both run once at start-up, before any server starts and before any other
// thread uses the storage. `scriptDirectory` is the directory of the SQL
// scripts ("sqlite_sql" beside the program unless configured otherwise).
#pragma once

#include <string>

#include "storage/server_storage.h"

namespace qv {

// Checks the tables in their fixed order ("qv2_servers", "qv2_channels",
// "qv2_clients", "qv2_channel_privileges", "qv2_server_privileges",
// "qv2_bans") and creates each missing one from its script, logging
// "created table <name>". Stops at the first table that cannot be created
// ("unable to create table") and gives false; true when all six exist.
bool CreateTables(TCustomStorage& storage, const std::string& scriptDirectory);

// Runs "upgrade_1.sql" when "qv2_servers" lacks the column
// "b_server_allow_codec_speex2150", then "upgrade_2.sql" when it lacks
// "b_server_allow_codec_speex15000", then "upgrade_3.sql" when it lacks the
// node column "s_server_node" (existing rows get the empty node). True when
// every upgrade that ran succeeded (or none was needed). Runs on both back
// ends: each answers ColumnExists from its own schema.
bool UpgradeDatabase(TCustomStorage& storage, const std::string& scriptDirectory);

}  // namespace qv
