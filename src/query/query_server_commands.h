// Query commands: virtual servers: start, stop, add, delete, settings, and the stored list.
//
// Handlers of the query command table (query_commands.cpp): each takes the
// request its row's checks passed and returns the whole reply.
//
// Thread rules: the connection's thread (see query_session.h).
#pragma once

#include "query/query_request.h"

namespace qv {

TQueryReply QueryServerStart(TQueryRequest& r);    // serverstart
TQueryReply QueryServerStop(TQueryRequest& r);     // serverstop
TQueryReply QueryServerAdd(TQueryRequest& r);      // serveradd
TQueryReply QueryServerDelete(TQueryRequest& r);   // serverdel
TQueryReply QueryServerSet(TQueryRequest& r);      // serverset
TQueryReply QueryRehash(TQueryRequest& r);         // rehash
TQueryReply QueryCheckServerOK(TQueryRequest& r);  // checkserverok
TQueryReply QueryDBServerList(TQueryRequest& r);   // dbserverlist

}  // namespace qv
