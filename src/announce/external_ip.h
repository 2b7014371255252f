// External address detection: the address this machine has as seen from the
// internet, asked of the server-list host ("/getip.php"), for the start-up
// report beside the local addresses.
//
// Thread rules: stateless; any thread. DetectExternalIp blocks for at most
// the connect and read time-outs (5 seconds each).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "model/process_settings.h"

namespace qv {

// The reply's lines are separated by "<br>" (any letter case) or line
// breaks; the address is the text after "IP=" on the first line that starts
// with it. nullopt when there is no such line or it is empty.
std::optional<std::string> ParseExternalIpReply(std::string_view reply);

// Asks the configured server-list host when ExternalIpDetection is on and a
// host is configured; nullopt otherwise. A failed request or a reply without
// an address logs "unable to detect external ip" and gives nullopt.
std::optional<std::string> DetectExternalIp(const TProcessSettings& settings);

}  // namespace qv
