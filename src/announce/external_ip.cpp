#include "announce/external_ip.h"

#include <httplib.h>

#include "announce/server_list_host.h"
#include "base/log.h"
#include "base/text_utils.h"

namespace qv {

namespace {

constexpr time_t kDetectTimeoutSeconds = 5;

}  // namespace

std::optional<std::string> ParseExternalIpReply(std::string_view reply) {
  for (const std::string& line : SplitLines(ReplaceText(reply, "<br>", "\n"))) {
    if (line.rfind("IP=", 0) != 0) continue;
    std::string address = Trim(std::string_view(line).substr(3));
    if (address.empty()) return std::nullopt;
    return address;
  }
  return std::nullopt;
}

std::optional<std::string> DetectExternalIp(const TProcessSettings& settings) {
  if (!settings.ExternalIpDetection) return std::nullopt;
  std::optional<TServerListHost> host = ParseServerListHost(settings.ServerListHost);
  if (!host) return std::nullopt;
  std::optional<std::string> address;
  try {
    httplib::Client client(host->HttpBase());
    client.set_connection_timeout(kDetectTimeoutSeconds);
    client.set_read_timeout(kDetectTimeoutSeconds);
    client.set_follow_location(true);
    if (!settings.BoundToIp.empty()) client.set_interface(settings.BoundToIp);
    httplib::Result reply = client.Get("/getip.php");
    if (reply && reply->status == 200) address = ParseExternalIpReply(reply->body);
  } catch (const std::exception&) {
    // Reported below like any other failure.
  }
  if (!address) LogMsg(lmtError, lmdAll, "unable to detect external ip", "frmMain");
  return address;
}

}  // namespace qv
