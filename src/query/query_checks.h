// The checks a query command's table row applies before its handler, in the
// row's order: logged in, server selected, superadmin, a right, ResolveServer,
// a parameter count. The first that fails gives the reply.
//
// Thread rules: the connection's thread (see query_session.h).
#pragma once

#include <cstdint>
#include <optional>

#include "model/security.h"
#include "query/query_request.h"

namespace qv {

enum TCheckKind : uint8_t {
  ckNone,
  ckLoggedIn,
  ckSelected,
  ckSuperAdmin,
  ckRight,  // Value: the TUserPermissions
  ckResolveServer,
  ckParamsExactly,  // Value: the count
  ckParamsMoreThan,
  ckParamsAtLeast,
};

struct TCheck {
  TCheckKind Kind = ckNone;
  int Value = 0;
};

// An empty optional when the check passes, else the refusal. The selection
// and ResolveServer checks set the request's server.
std::optional<TQueryReply> ApplyCheck(const TCheck& check, TQueryRequest& r);

}  // namespace qv
