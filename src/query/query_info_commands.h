// Query commands: listing and information: the servers, players and channels running, the version, the selection.
//
// Handlers of the query command table (query_commands.cpp): each takes the
// request its row's checks passed and returns the whole reply.
//
// Thread rules: the connection's thread (see query_session.h).
#pragma once

#include "query/query_request.h"

namespace qv {

TQueryReply QueryServerList(TQueryRequest& r);   // sl
TQueryReply QueryVersion(TQueryRequest& r);      // ver
TQueryReply QuerySelect(TQueryRequest& r);       // sel
TQueryReply QueryPlayerList(TQueryRequest& r);   // pl
TQueryReply QueryChannelList(TQueryRequest& r);  // cl
TQueryReply QueryServerInfo(TQueryRequest& r);   // si
TQueryReply QueryGlobalInfo(TQueryRequest& r);   // gi

}  // namespace qv
