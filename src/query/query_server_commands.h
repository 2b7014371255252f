// Query commands: virtual servers: start, stop, add, delete, settings, and the stored list.
//
// Handlers of the query command table (query_commands.cpp): each takes the
// request its row's checks passed and returns the whole reply.
//
// Thread rules: the connection's thread (see query_session.h).
#pragma once

#include "query/query_request.h"

namespace qv {

TQueryReply QueryServerStart(TQueryRequest& r);
TQueryReply QueryServerStop(TQueryRequest& r);
TQueryReply QueryServerAdd(TQueryRequest& r);
TQueryReply QueryServerDelete(TQueryRequest& r);
TQueryReply QueryServerSet(TQueryRequest& r);
TQueryReply QueryRehash(TQueryRequest& r);
TQueryReply QueryCheckServerOK(TQueryRequest& r);
TQueryReply QueryDBServerList(TQueryRequest& r);

}  // namespace qv
