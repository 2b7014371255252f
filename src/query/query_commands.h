// The command table of the TCP query interface and its dispatch.
//
// One table (query_commands.cpp) holds a row per command word: the word, its
// handler, its checks in the order they are applied (query_checks.h), what
// the audit trail shows of it, and its line in the help. DispatchQueryLine
// matches a line to a row, applies the checks (the first that fails gives
// the reply), runs the handler and catches and logs what it raises. The
// handlers live by command group, one header each:
//   query_info_commands.h     sl ver sel pl cl si gi
//   query_message_commands.h  msg msgall
//   query_login_commands.h    login slogin
//   query_player_commands.h   sppriv mptc fp fc pi ci dccl
//   query_server_commands.h   serverstart serverstop serveradd serverdel
//                             serverset rehash checkserverok dbserverlist
//   query_account_commands.h  dbuser* dbsuser*
// help (built from the table) and quit belong to the table itself.
//
// Thread rules: runs on the connection's thread; see query_session.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/client_object.h"
#include "model/server_object.h"
#include "query/query_reply.h"
#include "query/query_session.h"

namespace qv {

// The reply to one line; quit is set when the line asks to close the
// connection (no reply then).
TQueryReply DispatchQueryLine(TQuerySession& session, std::string_view line, bool& quit);

// The parameter text split at every single blank (no text: no parameters).
std::vector<std::string> SplitQueryParams(std::string_view text);

// A text message from the query account to every player of the server.
void SendQueryMessage(TServerObject& server, const TClientRec& account, const std::string& text);

}  // namespace qv
