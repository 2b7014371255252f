// Query commands: the logins of a server account (login) and of a superadmin (slogin).
//
// Handlers of the query command table (query_commands.cpp): each takes the
// request its row's checks passed and returns the whole reply.
//
// Thread rules: the connection's thread (see query_session.h).
#pragma once

#include "query/query_request.h"

namespace qv {

TQueryReply QueryLogin(TQueryRequest& r);       // login
TQueryReply QuerySuperLogin(TQueryRequest& r);  // slogin

}  // namespace qv
