#include "announce/web_post.h"

#include <httplib.h>

#include <cmath>

#include "model/countries.h"
#include "announce/server_list_host.h"
#include "base/log.h"
#include "base/text_utils.h"
#include "model/server_object.h"
#include "model/server_registry.h"
#include "protocol/packets.h"
#include "protocol/udp_socket.h"
#include "voice/voice_runtime.h"

namespace qv {

namespace {

constexpr const char* kCategory = "WebPost";

// Heartbeat layout.
namespace Heartbeat {
constexpr size_t IspName = 0;
constexpr size_t IspLinkUrl = 30;
constexpr size_t AdminEmail = 286;
constexpr size_t ServerName = 316;
constexpr size_t Platform = 346;
constexpr size_t Flags = 376;
constexpr size_t UdpPort = 377;
constexpr size_t Country = 379;
constexpr size_t MaxPlayers = 381;
constexpr size_t Players = 383;
constexpr size_t Channels = 385;
constexpr size_t Uptime = 387;
constexpr size_t Bandwidth = 391;
constexpr size_t Version = 399;
}  // namespace Heartbeat

enum THeartbeatFlag : uint8_t { hfListPublic = 0x01, hfClan = 0x02, hfFreeware = 0x04, hfPassword = 0x08 };

// The server list reads its forms as Latin-1; the country table is UTF-8.
std::string Utf8ToLatin1(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if ((c == 0xC2 || c == 0xC3) && i + 1 < s.size()) {
      out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3F));
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string EncodeForm(const TFormFields& form) {
  std::string body;
  for (const auto& [name, value] : form) {
    if (!body.empty()) body += '&';
    body += httplib::detail::encode_query_param(name) + "=" + httplib::detail::encode_query_param(value);
  }
  return body;
}

// "scheme://host:port" and the path (with its query) of a URL.
std::pair<std::string, std::string> SplitUrl(const std::string& url) {
  size_t hostStart = url.find("://");
  hostStart = hostStart == std::string::npos ? 0 : hostStart + 3;
  size_t pathStart = url.find_first_of("/?#", hostStart);
  if (pathStart == std::string::npos) return {url, "/"};
  std::string path = url.substr(pathStart);
  path = path.substr(0, path.find('#'));
  if (path.empty() || path.front() != '/') path.insert(0, "/");
  return {url.substr(0, pathStart), path};
}

// What a pass needs of a running server, read in one go so that nothing of
// the server is used while the network calls run. nullopt once it stopped.
std::optional<TAnnouncedServer> ReadServer(TServerRegistry& registry, int32_t id) {
  auto server = registry.FindServer(id);
  if (!server || !server->Running.load()) return std::nullopt;
  const TServerSettings settings = server->Settings();
  TAnnouncedServer out;
  out.ServerId = id;
  out.Name = settings.Name;
  out.Platform = settings.Platform;
  out.Version = settings.Version;
  out.UdpPort = settings.UdpPort;
  out.ServerFlags = settings.ServerFlags;
  out.HasPassword = !settings.Password.empty();
  out.MaxPlayers = settings.MaxUsers;
  out.LinkUrl = settings.WebLinkUrl;
  out.Uptime = server->Uptime();
  if (server->Clients && server->Channels) {
    std::lock_guard<TClients> players(*server->Clients);
    std::lock_guard<TChannels> channels(*server->Channels);
    out.Players = static_cast<uint32_t>(server->Clients->Count());
    out.Channels = static_cast<uint32_t>(server->Channels->Count());
  }
  if (const TBufferLease buffer{*server}) {
    const TBufferStatistics stats = buffer->GetStatistics();
    out.Bandwidth = static_cast<uint64_t>(std::llround(stats.Incoming.PerMinute + stats.Outgoing.PerMinute));
  }
  return out;
}

}  // namespace

std::array<uint8_t, kHeartbeatSize> BuildHeartbeat(const TProcessSettings& settings,
                                                   const TAnnouncedServer& server) {
  namespace L = Heartbeat;
  TPacket p;
  p.SetSize(kHeartbeatSize);
  const std::pair<size_t, std::string_view> texts[] = {
      {L::IspName, settings.IspName},   {L::AdminEmail, settings.AdminEmail},
      {L::ServerName, server.Name},     {L::Platform, server.Platform},
  };
  for (const auto& [offset, text] : texts) {
    p.SetPosition(offset);
    p.WriteText(text, kShortTextField);
  }
  p.SetPosition(L::IspLinkUrl);
  p.WriteText(settings.IspLinkUrl, kLongTextField);

  uint8_t flags = 0;
  if (settings.ListPublic) flags |= hfListPublic;
  if (server.ServerFlags & sfClan) flags |= hfClan;
  if (server.ServerFlags & sfFreeware) flags |= hfFreeware;
  if (server.HasPassword) flags |= hfPassword;
  p.SetU8(L::Flags, flags);
  p.SetU16(L::UdpPort, static_cast<uint16_t>(server.UdpPort));
  p.SetU16(L::Country, static_cast<uint16_t>(settings.IspCountryNumber));
  p.SetU16(L::MaxPlayers, static_cast<uint16_t>(server.MaxPlayers));
  p.SetU16(L::Players, static_cast<uint16_t>(server.Players));
  p.SetU16(L::Channels, static_cast<uint16_t>(server.Channels));
  p.SetU32(L::Uptime, server.Uptime);
  p.SetU32(L::Bandwidth, static_cast<uint32_t>(server.Bandwidth));
  p.SetU32(L::Bandwidth + 4, static_cast<uint32_t>(server.Bandwidth >> 32));
  for (size_t i = 0; i < server.Version.size(); ++i)
    p.SetU8(L::Version + i, static_cast<uint8_t>(server.Version[i]));

  std::array<uint8_t, kHeartbeatSize> out{};
  std::copy(p.Data(), p.Data() + kHeartbeatSize, out.begin());
  return out;
}

TFormFields BuildFormFields(const TProcessSettings& settings, const TAnnouncedServer& server) {
  auto number = [](auto n) { return std::to_string(n); };
  return {
      {"server_adminemail", settings.AdminEmail},
      {"server_isplinkurl", settings.IspLinkUrl},
      {"server_ispname", settings.IspName},
      {"server_ispcountry", Utf8ToLatin1(CountryName(settings.IspCountryNumber))},
      {"server_platform", server.Platform},
      {"server_version_major", number(server.Version[0])},
      {"server_version_minor", number(server.Version[1])},
      {"server_version_release", number(server.Version[2])},
      {"server_version_build", number(server.Version[3])},
      {"server_port", number(server.UdpPort)},
      {"server_name", server.Name},
      {"server_uptime", number(server.Uptime)},
      {"server_password", server.HasPassword ? "1" : "0"},
      {"server_type1", (server.ServerFlags & sfClan) ? "clan" : "public"},
      {"server_type2", (server.ServerFlags & sfFreeware) ? "freeware" : "commercial"},
      {"clients_current", number(server.Players)},
      {"clients_maximum", number(server.MaxPlayers)},
      {"channels_current", number(server.Channels)},
      {"server_linkurl", server.LinkUrl},
      {"server_queryport", number(settings.QueryPort)},
      {"public", settings.ListPublic ? "1" : "0"},
  };
}

// --- the thread ---

struct TWebPost::THeartbeatTarget {
  TUDPSocket socket;
  std::string ip;
  uint16_t port = 0;
};

TWebPost::TWebPost(std::function<TServerRegistry*()> registry)
    : registry_(registry ? std::move(registry) : std::function<TServerRegistry*()>(GetServerRegistry)) {}

TWebPost::~TWebPost() {
  Terminate();
  Join();
}

void TWebPost::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Execute(); });
}

void TWebPost::Terminate() {
  {
    std::lock_guard lock(waitMutex_);
    terminated_ = true;
  }
  waitWake_.notify_all();
}

void TWebPost::Join() {
  if (thread_.joinable()) thread_.join();
}

bool TWebPost::Wait(std::chrono::milliseconds span) {
  std::unique_lock lock(waitMutex_);
  return !waitWake_.wait_for(lock, span, [this] { return terminated_.load(); });
}

void TWebPost::Execute() {
  while (!terminated_) {
    const std::chrono::milliseconds half(int64_t{GetSettings().AnnounceIntervalSeconds} * 500);
    if (!Wait(half)) break;
    AnnounceAll();
    if (!Wait(half)) break;
  }
}

void TWebPost::AnnounceAll() {
  try {
    TServerRegistry* registry = registry_();
    if (!registry) return;
    const TProcessSettings settings = GetSettings();
    // Ids only: a server may stop at any time, so each is looked up on its turn.
    std::vector<int32_t> ids;
    for (const auto& entry : registry->ServerList())
      ids.push_back(static_cast<int32_t>(StrToIntDef(entry.first, 0)));
    if (ids.empty()) return;
    std::unique_ptr<THeartbeatTarget> heartbeat = OpenHeartbeat(settings);
    for (int32_t id : ids) {
      if (terminated_) break;
      AnnounceServer(*registry, id, settings, heartbeat.get());
    }
  } catch (const std::exception& e) {
    LogMsg(lmtError, lmdAll, "DoWebPost Exception: " + ExceptionText(e), kCategory);
  }
}

std::unique_ptr<TWebPost::THeartbeatTarget> TWebPost::OpenHeartbeat(const TProcessSettings& settings) {
  std::optional<TServerListHost> host = ParseServerListHost(settings.ServerListHost);
  if (!host) return nullptr;
  std::optional<std::string> ip =
      RunBounded([name = host->Host] { return ResolveIPv4(name); }, kPostTimeout, &terminated_);
  if (!ip) return nullptr;
  auto target = std::make_unique<THeartbeatTarget>();
  try {
    target->socket.Open(0, settings.BoundToIp);
  } catch (const ESocketError&) {
    return nullptr;  // no heartbeats this pass, like any other failed send
  }
  target->ip = *ip;
  target->port = host->HeartbeatPort();
  return target;
}

void TWebPost::AnnounceServer(TServerRegistry& registry, int32_t id, const TProcessSettings& settings,
                              THeartbeatTarget* heartbeat) {
  const std::optional<TAnnouncedServer> server = ReadServer(registry, id);
  const std::string body = server ? EncodeForm(BuildFormFields(settings, *server)) : std::string();
  if (server && heartbeat) {
    try {
      const auto datagram = BuildHeartbeat(settings, *server);
      heartbeat->socket.SendTo(datagram.data(), datagram.size(), heartbeat->ip, heartbeat->port);
    } catch (const ESocketError&) {
      // A lost heartbeat is sent again next pass.
    }
  }
  if (!settings.WebPostEnabled) return;
  const std::string postUrl = Trim(settings.PostUrl);
  if (!postUrl.empty()) PostForm(postUrl, body, settings.BoundToIp);
  if (terminated_) return;
  // Looked up again: the server may have stopped while the post ran.
  std::string ownUrl;
  if (auto now = registry.FindServer(id); now && now->Running.load())
    ownUrl = Trim(now->Settings().WebPostUrl.str());
  if (!ownUrl.empty()) PostForm(ownUrl, body, settings.BoundToIp);
}

void TWebPost::PostForm(const std::string& url, const std::string& body, const std::string& bindIp) {
  const auto [base, path] = SplitUrl(url);
  auto client = std::make_shared<httplib::Client>(base);
  if (!client->is_valid()) return;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(kPostTimeout).count();
  client->set_connection_timeout(seconds);
  client->set_read_timeout(seconds);
  client->set_write_timeout(seconds);
  client->set_follow_location(true);
  if (!bindIp.empty()) client->set_interface(bindIp);
  // The reply is not read for anything; a failed post is simply skipped.
  RunBounded(
      [client, path = path, body] {
        client->Post(path, body, "application/x-www-form-urlencoded");
        return std::optional<std::string>("");
      },
      kPostTimeout, &terminated_, [client] { client->stop(); });
}

}  // namespace qv
