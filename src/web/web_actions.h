// The actions of the web interface: every request whose file name contains
// ".qvcmd". One table names each action, its handler and the checks the
// frame applies before the handler runs (who may run it, the right it needs,
// whose account or server it acts on); the handler then reads its form
// fields, makes its change and answers with a redirect, usually one of the
// three boxes.
//
// Thread rules: runs on the request's thread. Session values that belong
// together change under the session's lock; storage scripts run under the
// storage lock; a running server is told about new settings through its
// command block.
#pragma once

#include <string>

#include "web/web_common.h"

namespace qv {

// The action named by a document ("/login.qvcmd" names "LOGIN.QVCMD"); empty
// for a document in a subdirectory.
std::string ActionName(const std::string& document);

// Runs the action of the document and builds the reply.
void DispatchAction(const TWebRequest& request, const std::string& document);

}  // namespace qv
