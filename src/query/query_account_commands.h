// Query commands: stored accounts of a server and superadmin accounts.
//
// Handlers of the query command table (query_commands.cpp): each takes the
// request its row's checks passed and returns the whole reply.
//
// Thread rules: the connection's thread (see query_session.h).
#pragma once

#include "query/query_request.h"

namespace qv {

TQueryReply QueryUserList(TQueryRequest& r);
TQueryReply QuerySuperUserList(TQueryRequest& r);
TQueryReply QueryUserId(TQueryRequest& r);
TQueryReply QueryUserAdd(TQueryRequest& r);
TQueryReply QueryUserDelete(TQueryRequest& r);
TQueryReply QueryUserChangePassword(TQueryRequest& r);
TQueryReply QueryUserChangeAttributes(TQueryRequest& r);
TQueryReply QuerySuperUserAdd(TQueryRequest& r);
TQueryReply QuerySuperUserDelete(TQueryRequest& r);
TQueryReply QuerySuperUserChangePassword(TQueryRequest& r);

}  // namespace qv
