#include "query/query_checks.h"

#include "model/server_types.h"

namespace qv {

std::optional<TQueryReply> ApplyCheck(const TCheck& check, TQueryRequest& r) {
  TQuerySession& s = r.Session;
  const size_t count = r.Params.size();
  switch (check.Kind) {
    case ckNone: return std::nullopt;
    case ckLoggedIn:
      if (!s.Account) return Error("not logged in");
      return std::nullopt;
    case ckSelected:
      r.Server = s.SelectedServer();
      if (!r.Server) return Error("no server selected");
      return std::nullopt;
    case ckSuperAdmin:
      if (!s.Account || !(s.Account->PlayerPrivileges & spSuperAdmin)) return Error("invalid permissions");
      return std::nullopt;
    case ckRight:
      if (!r.Server || !s.HasRight(static_cast<TUserPermissions>(check.Value), *r.Server))
        return Error("invalid permissions");
      return std::nullopt;
    case ckResolveServer: {
      TQueryReply refusal;
      if (!s.ResolveServer(r.Params, r.Server, refusal)) return refusal;
      return std::nullopt;
    }
    case ckParamsExactly:
      if (count != static_cast<size_t>(check.Value)) return Error("invalid paramcount");
      return std::nullopt;
    case ckParamsMoreThan:
      if (count <= static_cast<size_t>(check.Value)) return Error("invalid paramcount");
      return std::nullopt;
    case ckParamsAtLeast:
      if (count < static_cast<size_t>(check.Value)) return Error("invalid paramcount");
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace qv
