// Query commands: listing and information: the servers, players and channels running, the version, the selection.
//
// Handlers of the query command table (query_commands.cpp): each takes the
// request its row's checks passed and returns the whole reply.
//
// Thread rules: the connection's thread (see query_session.h).
#pragma once

#include "query/query_request.h"

namespace qv {

TQueryReply QueryServerList(TQueryRequest& r);
TQueryReply QueryVersion(TQueryRequest& r);
TQueryReply QuerySelect(TQueryRequest& r);
TQueryReply QueryPlayerList(TQueryRequest& r);
TQueryReply QueryChannelList(TQueryRequest& r);
TQueryReply QueryServerInfo(TQueryRequest& r);
TQueryReply QueryGlobalInfo(TQueryRequest& r);

}  // namespace qv
