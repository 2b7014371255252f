// Query commands: players and channels of a running server: find, show, move, privileges.
//
// Handlers of the query command table (query_commands.cpp): each takes the
// request its row's checks passed and returns the whole reply.
//
// Thread rules: the connection's thread (see query_session.h).
#pragma once

#include "query/query_request.h"

namespace qv {

TQueryReply QuerySetPlayerPrivilege(TQueryRequest& r);
TQueryReply QueryMovePlayer(TQueryRequest& r);
TQueryReply QueryFindPlayer(TQueryRequest& r);
TQueryReply QueryFindChannel(TQueryRequest& r);
TQueryReply QueryPlayerInfo(TQueryRequest& r);
TQueryReply QueryChannelInfo(TQueryRequest& r);
TQueryReply QueryChannelsWithPlayers(TQueryRequest& r);

}  // namespace qv
