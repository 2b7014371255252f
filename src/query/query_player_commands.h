// Query commands: players and channels of a running server: find, show, move, privileges.
//
// Handlers of the query command table (query_commands.cpp): each takes the
// request its row's checks passed and returns the whole reply.
//
// Thread rules: the connection's thread (see query_session.h).
#pragma once

#include "query/query_request.h"

namespace qv {

TQueryReply QuerySetPlayerPrivilege(TQueryRequest& r);   // sppriv
TQueryReply QueryMovePlayer(TQueryRequest& r);           // mptc
TQueryReply QueryFindPlayer(TQueryRequest& r);           // fp
TQueryReply QueryFindChannel(TQueryRequest& r);          // fc
TQueryReply QueryPlayerInfo(TQueryRequest& r);           // pi
TQueryReply QueryChannelInfo(TQueryRequest& r);          // ci
TQueryReply QueryChannelsWithPlayers(TQueryRequest& r);  // dccl

}  // namespace qv
