// The audit trail of the administration interfaces: one line for every
// change an administrator makes to accounts, servers or settings, written as
//   admin change [interface: query, IP: 10.0.0.7, LoginName: bob, change: dbuseradd carol]
// a warning in the interface's category, control characters shown as '?'.
// The change names the command or action and what it acted on; never a
// password.
//
// Thread rules: any thread; the log serialises the lines.
#pragma once

#include <string_view>

#include "base/login_audit.h"

namespace qv {

// The line of one change.
std::string AdminChangeLine(TLoginInterface i, std::string_view address, std::string_view loginName,
                            std::string_view change);
// Writes it.
void AuditAdminChange(TLoginInterface i, std::string_view address, std::string_view loginName,
                      std::string_view change, std::string_view category);

}  // namespace qv
