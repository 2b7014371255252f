// Query commands: text messages from the query account to the players of one server or of all.
//
// Handlers of the query command table (query_commands.cpp): each takes the
// request its row's checks passed and returns the whole reply.
//
// Thread rules: the connection's thread (see query_session.h).
#pragma once

#include "query/query_request.h"

namespace qv {

TQueryReply QueryMessage(TQueryRequest& r);     // msg
TQueryReply QueryMessageAll(TQueryRequest& r);  // msgall

}  // namespace qv
