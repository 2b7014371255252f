#include "query/query_message_commands.h"

#include "base/log.h"
#include "base/text_utils.h"
#include "query/query_commands.h"

namespace qv {

// Control characters (terminal escapes among them) never reach players.
TQueryReply QueryMessage(TQueryRequest& r) {
  SendQueryMessage(*r.Server, *r.Session.Account, DropControls(JoinParams(r.Params, 0)));
  return Ok();
}

TQueryReply QueryMessageAll(TQueryRequest& r) {
  const std::string text = DropControls(JoinParams(r.Params, 0));
  for (auto& server : r.Session.SnapshotServers()) {
    try {
      SendQueryMessage(*server, *r.Session.Account, text);
    } catch (const std::exception& e) {
      LogMsg(lmtError, lmdAll, "TTCPQuery.msgall Exception: " + ExceptionText(e), kQueryCategory);
    }
  }
  return Ok();
}

}  // namespace qv
