// The commands of the TCP query interface and their dispatch.
//
// One table holds a row per command word: the word, its handler and its
// checks in the order they are applied (logged in, server selected,
// superadmin, a right, ResolveServer, a parameter count). DispatchQueryLine
// matches a line to a row, applies the checks (the first that fails gives
// the reply), runs the handler and catches and logs what it raises. Handlers
// take the request (session, parameters, the server the checks found) and
// return the whole reply.
//
// Thread rules: runs on the connection's thread; see query_session.h.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "query/query_reply.h"
#include "query/query_session.h"

namespace qv {

struct TQueryRequest {
  TQuerySession& Session;
  std::vector<std::string> Params;
  TServerRef Server{};  // set by the "server selected" and ResolveServer checks
};

// The reply to one line; quit is set when the line asks to close the
// connection (no reply then).
TQueryReply DispatchQueryLine(TQuerySession& session, std::string_view line, bool& quit);

// The parameter text split at every single blank (no text: no parameters).
std::vector<std::string> SplitQueryParams(std::string_view text);

}  // namespace qv
