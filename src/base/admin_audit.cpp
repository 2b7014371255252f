#include "base/admin_audit.h"

#include <fmt/format.h>

namespace qv {

std::string AdminChangeLine(TLoginInterface i, std::string_view address, std::string_view loginName,
                            std::string_view change) {
  return WithoutControls(fmt::format("admin change [interface: {}, IP: {}, LoginName: {}, change: {}]",
                                     LoginInterfaceName(i), address, loginName, change));
}

void AuditAdminChange(TLoginInterface i, std::string_view address, std::string_view loginName,
                      std::string_view change, std::string_view category) {
  LogMsg(lmtWarning, lmdImportant, AdminChangeLine(i, address, loginName, change), category);
}

}  // namespace qv
