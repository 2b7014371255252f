// Query commands: moderation of a running server's players and channels
// (kicks, bans, messages, channels, privileges), through the model's
// moderation functions (model/server_moderation.h).
//
// Handlers of the query command table (query_commands.cpp): each takes the
// request its row's checks passed and returns the whole reply. The rows
// check the login, the selected server and the parameter count, and one
// right where the command has one; the commands whose right depends on
// their parameters (chcreate, chedit, privset) check it here.
//
// Thread rules: the connection's thread (see query_session.h).
#pragma once

#include "query/query_request.h"

namespace qv {

TQueryReply QueryKick(TQueryRequest& r);             // kick
TQueryReply QueryKickFromChannel(TQueryRequest& r);  // kickch
TQueryReply QueryBan(TQueryRequest& r);              // ban
TQueryReply QueryBanAddress(TQueryRequest& r);       // banip
TQueryReply QueryBanList(TQueryRequest& r);          // banlist
TQueryReply QueryUnban(TQueryRequest& r);            // unban
TQueryReply QueryMessagePlayer(TQueryRequest& r);    // msgp
TQueryReply QueryMessageChannel(TQueryRequest& r);   // msgch
TQueryReply QueryChannelCreate(TQueryRequest& r);    // chcreate
TQueryReply QueryChannelEdit(TQueryRequest& r);      // chedit
TQueryReply QueryChannelDelete(TQueryRequest& r);    // chdel
TQueryReply QuerySetPrivilege(TQueryRequest& r);     // privset

}  // namespace qv
