// Query commands: stored accounts of a server and superadmin accounts.
//
// Handlers of the query command table (query_commands.cpp): each takes the
// request its row's checks passed and returns the whole reply.
//
// Thread rules: the connection's thread (see query_session.h).
#pragma once

#include "query/query_request.h"

namespace qv {

TQueryReply QueryUserList(TQueryRequest& r);                 // dbuserlist
TQueryReply QuerySuperUserList(TQueryRequest& r);            // dbsuserlist
TQueryReply QueryUserId(TQueryRequest& r);                   // dbuserid
TQueryReply QueryUserAdd(TQueryRequest& r);                  // dbuseradd
TQueryReply QueryUserDelete(TQueryRequest& r);               // dbuserdel
TQueryReply QueryUserChangePassword(TQueryRequest& r);       // dbuserchangepw
TQueryReply QueryUserChangeAttributes(TQueryRequest& r);     // dbuserchangeattribs
TQueryReply QuerySuperUserAdd(TQueryRequest& r);             // dbsuseradd
TQueryReply QuerySuperUserDelete(TQueryRequest& r);          // dbsuserdel
TQueryReply QuerySuperUserChangePassword(TQueryRequest& r);  // dbsuserchangepw

}  // namespace qv
