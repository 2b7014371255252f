#include "query/query_login_commands.h"

namespace qv {

TQueryReply QueryLogin(TQueryRequest& r) { return r.Session.Login(r.Params); }
TQueryReply QuerySuperLogin(TQueryRequest& r) { return r.Session.SuperLogin(r.Params); }

}  // namespace qv
