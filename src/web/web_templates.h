// Pages: a template of the document directory with its include directives
// expanded, its placeholders and generated blocks filled and its show/hide
// regions resolved for one request.
//
// Values are HTML-escaped where they enter the page; only the blocks built
// from row templates and the server list's own links are markup.
//
// Thread rules: keeps no state; runs on the request's thread.
#pragma once

#include <string>

#include "base/exception.h"
#include "web/web_common.h"

namespace qv {

// A row template that the page needs is missing (its file name is the message).
QV_EXCEPTION_CLASS(ERowTemplateMissing, EWebInterface);

// The finished page for this request. Raises ERowTemplateMissing; other
// failures while filling are logged ("SetVariables Exception: ") and the
// page is returned as far as it was filled.
std::string BuildPage(const TWebRequest& request, const std::string& text);

// Include directives ("%%INCLUDE%name%"), expanded until none is left.
std::string ExpandIncludes(const std::string& docDir, std::string text);

}  // namespace qv
