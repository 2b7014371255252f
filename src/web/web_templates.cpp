#include "web/web_templates.h"

#include <cmath>
#include <functional>
#include <optional>
#include <vector>

#include "base/date_time.h"
#include "base/log.h"
#include "base/text_utils.h"
#include "base/version.h"
#include "model/accounts.h"
#include "model/countries.h"
#include "model/process_settings.h"
#include "model/server_object.h"
#include "voice/voice_runtime.h"
#include "web/web_access.h"
#include "web/web_live.h"

namespace qv {

namespace {

// Expansion that never ends (a file that includes itself) stops here.
constexpr int kMaxIncludes = 100;

// A page being filled. Values enter it as tokens ("\x01" index "\x02") and
// take their place only in Text(), once every placeholder and region has been
// processed: a stored value that reads like a placeholder or a region marker
// ("%%SERVERPASSWORD%%" as a server name) is then shown as it is, never
// expanded.
class TPage {
 public:
  explicit TPage(std::string text) : text_(std::move(text)) {}

  // The token that stands for value (escaped) until Text().
  std::string Token(std::string_view value) {
    values_.push_back(HtmlEscape(value));
    return "\x01" + std::to_string(values_.size() - 1) + "\x02";
  }
  void Value(std::string_view name, std::string_view value) {
    const std::string placeholder = "%%" + std::string(name) + "%%";
    if (Has(placeholder)) text_ = ReplaceText(text_, placeholder, Token(value));
  }
  void Markup(std::string_view placeholder, std::string_view markup) {
    text_ = ReplaceText(text_, placeholder, markup);
  }
  bool Has(std::string_view placeholder) const { return FindText(text_, placeholder) != std::string::npos; }
  // Removes the region of a condition that holds, and the markers otherwise.
  void Region(std::string_view condition, bool hide);
  void Block(std::string_view placeholder, const std::function<std::string()>& build) {
    if (Has(placeholder)) Markup(placeholder, build());
  }
  // The page with every token replaced by its value.
  std::string Text() const;

 private:
  std::string text_;
  std::vector<std::string> values_;
};

std::string TPage::Text() const {
  std::string out;
  out.reserve(text_.size());
  size_t from = 0;
  for (size_t at; (at = text_.find('\x01', from)) != std::string::npos;) {
    const size_t end = text_.find('\x02', at);
    // -1 when the marker holds no number.
    const int64_t index =
        end == std::string::npos ? -1 : ParseInt(std::string_view(text_).substr(at + 1, end - at - 1)).value_or(-1);
    out.append(text_, from, at - from);
    if (index >= 0 && static_cast<size_t>(index) < values_.size()) {
      out += values_[static_cast<size_t>(index)];
      from = end + 1;
    } else {
      out += '\x01';
      from = at + 1;
    }
  }
  out.append(text_, from, std::string::npos);
  return out;
}

void TPage::Region(std::string_view condition, bool hide) {
  const std::string on = "%!COMMENT_ON_" + std::string(condition) + "!%";
  const std::string off = "%!COMMENT_OFF_" + std::string(condition) + "!%";
  if (!hide) {
    text_ = ReplaceText(ReplaceText(text_, on, ""), off, "");
    return;
  }
  // Hidden regions leave the page altogether: commented-out markup would
  // still reach the browser and breaks when regions nest.
  size_t from = 0;
  while ((from = FindText(text_, on, from)) != std::string::npos) {
    size_t end = FindText(text_, off, from + on.size());
    if (end == std::string::npos) {
      text_.erase(from, on.size());
      continue;
    }
    text_.erase(from, end + off.size() - from);
  }
  text_ = ReplaceText(text_, off, "");
}

std::string RowTemplate(const TWebRequest& request, const char* name) {
  std::optional<std::string> text = ReadTextFile(request.Context.DocDir + "/" + name);
  if (!text) throw ERowTemplateMissing(name);
  return *text;
}

// One row: the template with its placeholders replaced by the page's tokens.
using TRowValues = std::vector<std::pair<const char*, std::string>>;
std::string Row(TPage& page, std::string row, const TRowValues& values) {
  for (const auto& [name, value] : values) row = ReplaceText(row, std::string("%%") + name + "%%", page.Token(value));
  return row;
}

std::unique_ptr<TStorageContainer> OpenScript(const TScriptStorage& storage, const char* script, int32_t serverId,
                                              bool withServerId) {
  TStorageLock lock(*storage);
  if (!storage.Load(script)) return nullptr;
  if (withServerId) storage->SetParamInteger(":iServerID", serverId);
  return storage->OpenSQL();
}

std::string ServerList(TPage& page, const TWebRequest& request) {
  const std::string rowText = RowTemplate(request, "server_manager_servers_list.html");
  std::string block;
  try {
    auto rows = OpenScript(request.Context.Storage, "read_servers.sql", 0, false);
    for (size_t i = 0; rows && i < rows->Count(); ++i) {
      const TStorageRow& r = rows->RowAt(i);
      const int32_t id = r.AsInteger("i_server_id");
      const bool running = request.Context.Registry && request.Context.Registry->FindServer(id) != nullptr;
      std::string row = ReplaceText(
          rowText, "%%SERVER_RUNNING%%",
          running ? "<a href=\"stop_server.qvcmd?serverid=%%SERVER_ID%%\"><img src=\"gfx/server-run.png\" "
                    "alt=\"Stop Server\" border=\"0\"></a>"
                  : "<a href=\"start_server.qvcmd?serverid=%%SERVER_ID%%\"><img src=\"gfx/server-stop.png\" "
                    "alt=\"Start Server\" border=\"0\"></a>");
      block += Row(page, row, {{"SERVER_ID", std::to_string(id)},
                         {"SERVER_NAME", r.AsString("s_server_name")},
                         {"SERVER_UDPPORT", std::to_string(r.AsInteger("i_server_udpport"))}});
    }
  } catch (const ERowTemplateMissing&) {
    throw;
  } catch (const std::exception& e) {
    LogWebException("CreateServerList", e);
  }
  return block;
}

std::string AccountList(TPage& page, const TWebRequest& request, const char* rowFile, int32_t serverId, const char* operation) {
  const std::string rowText = RowTemplate(request, rowFile);
  const std::string format = GetSettings().DateTimeFormat;
  std::string block;
  try {
    auto rows = OpenScript(request.Context.Storage, "read_clients.sql", serverId, true);
    for (size_t i = 0; rows && i < rows->Count(); ++i) {
      const TStorageRow& r = rows->RowAt(i);
      const std::string name = r.AsString("s_client_name");
      // The name as it stands in a link's query (the page's own extension).
      block += Row(page, rowText, {{"CLIENT_LOGINNAME", name},
                             {"CLIENT_LOGINNAME_URL", UrlEncode(name)},
                             {"CLIENT_ID", std::to_string(r.AsInteger("i_client_id"))},
                             {"CLIENT_REGISTERED", FormatDateTime(format, r.AsDateTime("dt_client_created"))}});
    }
  } catch (const std::exception& e) {
    LogWebException(operation, e);
  }
  return block;
}

std::string CountryOptions(TPage& page, const TWebRequest& request) {
  const std::string rowText = RowTemplate(request, "server_country_option.html");
  std::string block;
  const int32_t selected = GetSettings().IspCountryNumber;
  for (const TCountry& country : CountryTable()) {
    if (!IsCountry(country.Number)) continue;
    block += Row(page, rowText, {{"COUNTRY_NUMBER", std::to_string(country.Number)},
                           {"COUNTRY_NAME", country.Name},
                           {"COUNTRY_SELECTED", country.Number == selected ? "selected" : ""}});
  }
  return block;
}

std::string GroupPermissions(TPage& page, const TWebRequest& request, TUserGroup group, const TPermissionSet& set) {
  const std::string fieldText = RowTemplate(request, "server_manager_permissionfield.html");
  const std::string blockText = RowTemplate(request, "server_manager_grouppermission.html");
  const std::string groupName = UserGroupName(group) + 1;  // "ugSA"
  request.Session->Set("permissiongroup", groupName);
  std::string fields;
  for (int p = 0; p < kUserPermissionCount; ++p) {
    const auto permission = static_cast<TUserPermissions>(p);
    if (!PermissionOffered(group, permission)) continue;
    const std::string name = PermissionName(permission);
    fields += Row(page, fieldText, {{"DESCRIPTION", name.substr(2)},
                              {"NAME", groupName + "_" + name},
                              {"VALUE", "1"},
                              {"SELECTED", set.test(p) ? "checked" : ""}});
  }
  std::string block = ReplaceText(blockText, "%%DESCRIPTION%%", page.Token(groupName.substr(2)));
  return ReplaceText(block, "%%PERMISSIONS%%", fields);
}

void FillCommon(TPage& page, const TWebRequest& request) {
  const bool superadmin = request.Superadmin();
  const TProcessSettings settings = GetSettings();
  page.Region("NOT_SUPERADMIN", !superadmin);
  if (!superadmin) {
    page.Markup("%!SERVER_LIST!%", "");
    page.Markup("%!SERVERCFG_DATABASE_SCLIENT_MANAGER_CLIENTLIST!%", "");
  } else {
    page.Block("%!SERVER_LIST!%", [&] { return ServerList(page, request); });
    page.Block("%!SERVERCFG_DATABASE_SCLIENT_MANAGER_CLIENTLIST!%", [&] {
      return AccountList(page, request, "database_sclient_manager_clientlist.html", 0, "CreateDataBaseSuperClientList");
    });
    if (request.HasField("client")) {
      page.Value("SELECTED_CLIENT_LOGINNAME", request.Field("client"));
      page.Value("SELECTED_CLIENT_ID", request.Field("clientid"));
    }
  }
  page.Value("BASIC_ADMINEMAIL", settings.AdminEmail);
  page.Value("BASIC_ISPLINKURL", settings.IspLinkUrl);
  page.Value("BASIC_ISPNAME", settings.IspName);
  page.Value("WEBPOST_POSTURL", settings.PostUrl);
  page.Value("BASIC_LISTPUBLIC", settings.ListPublic ? "checked" : "");
  page.Value("WEBPOST_ENABLED", settings.WebPostEnabled ? "checked" : "");
  page.Block("%!COUNTRY_OPTIONLIST!%", [&] { return CountryOptions(page, request); });
  page.Value("SERVERVERSIONMAJOR", "2");
  page.Value("SERVERVERSIONMINOR", "0");
  page.Value("SERVERVERSIONRELEASE", "19");
  page.Value("SERVERVERSIONBUILD", "40");
  for (const char* name : {"error_title", "error_text", "ok_title", "ok_text", "choice_title", "choice_text",
                           "choice_yes", "choice_no"})
    page.Value(UpperCase(name), request.Field(name));
  // A box's links lead back into the interface only.
  for (const char* name : {"error_url", "ok_url", "choice_url_yes", "choice_url_no"})
    page.Value(UpperCase(name), SafeUrl(request, request.Field(name)));
  page.Value("LOGGEDINUSERNAME", request.Value("username"));
  page.Value("CURRENT_DATETIME", FormatDateTime(settings.DateTimeFormat, Now()));
}

void FillRunning(TPage& page, TServerObject* server) {
  page.Region("SERVER_NOT_RUNNING", server == nullptr);
  if (!server) return;
  const TBufferLease buffer(*server);
  if (!buffer) return;
  const TBufferStatistics stats = buffer->GetStatistics();
  page.Value("SERVERPACKETSSEND", std::to_string(stats.PacketsSent));
  page.Value("SERVERBYTESSEND", std::to_string(stats.BytesSent));
  page.Value("SERVERPACKETSRECEIVED", std::to_string(stats.PacketsReceived));
  page.Value("SERVERBYTESRECEIVED", std::to_string(stats.BytesReceived));
  auto rounded = [](float v) { return std::to_string(std::lround(v)); };
  page.Value("SERVERBWLASTSECIN", rounded(stats.Incoming.PerSecond));
  page.Value("SERVERBWLASTSECOUT", rounded(stats.Outgoing.PerSecond));
  page.Value("SERVERBWLASTMININ", rounded(stats.Incoming.PerMinute));
  page.Value("SERVERBWLASTMINOUT", rounded(stats.Outgoing.PerMinute));
  page.Value("SERVERUPTIME", FormatUptime(server->Uptime()));
  int playerCount = 0, channelCount = 0;
  if (server->Clients && server->Channels) {
    std::lock_guard<TClients> lockPlayers(*server->Clients);
    std::lock_guard<TChannels> lockChannels(*server->Channels);
    playerCount = server->Clients->Count();
    channelCount = server->Channels->Count();
  }
  const std::string players = std::to_string(playerCount);
  const std::string channels = std::to_string(channelCount);
  page.Value("CURRENTUSERS", players);
  page.Value("SERVERUSERSONLINE", players);
  page.Value("CURRENTCHANNELS", channels);
  page.Value("SERVERCHANNELS", channels);
}

// The live view's blocks, from one snapshot of the running server. Server
// admins (and superadmins) see the players' addresses and pings, as in the
// query's player list.
void FillLive(TPage& page, const TWebRequest& request, TServerObject* server, const TServerSettings& s) {
  if (!page.Has("%!LIVE_")) return;
  std::optional<TLiveView> view;
  if (server) view = SnapshotServer(*server, request.Superadmin() || request.Value("admin") == "1");
  const TPageValue value = [&page](std::string_view text) { return page.Token(text); };
  page.Region("SERVER_NOT_LIVE", !view.has_value());
  page.Region("SERVER_LIVE", view.has_value());
  page.Block("%!LIVE_VIEW!%", [&] { return view ? RenderLiveView(*view, value) : std::string(); });
  page.Block("%!LIVE_PLAYER_OPTIONS!%", [&] { return view ? RenderPlayerOptions(*view, value) : std::string(); });
  page.Block("%!LIVE_CHANNEL_OPTIONS!%", [&] { return view ? RenderChannelOptions(*view, value) : std::string(); });
  page.Block("%!LIVE_BANS!%", [&] {
    // The bans list shows addresses: for those who may ban.
    if (!server || !HasWebRight(request, upAdminBanIp)) return std::string();
    return RenderBans(ListBans(*server), value);
  });
  page.Block("%!LIVE_CODEC_OPTIONS!%", [&] {
    std::string options;
    for (int c = 0; c < kCodecCount; ++c)
      if (s.AllowCodec[c])
        options += "<option value=\"" + std::to_string(c) + "\">" + page.Token(kCodecTable[c].Name) + "</option>";
    return options;
  });
}

void FillServer(TPage& page, const TWebRequest& request, int32_t serverId, const TServerSettings& s) {
  std::shared_ptr<TServerObject> server;
  if (request.Context.Registry) server = request.Context.Registry->FindServer(serverId);
  FillRunning(page, server.get());
  FillLive(page, request, server.get(), s);
  page.Region("SERVER_SELECTED", true);
  page.Region("SERVER_NOT_SELECTED", false);
  page.Value("SERVERID", std::to_string(serverId));
  page.Value("SERVERNAME", s.Name.str());
  page.Value("SERVERPLATFORM", PlatformText());
  page.Value("SERVERWELCOMEMESSAGE", s.WelcomeMessage.str());
  page.Value("SERVERMAXUSERS", std::to_string(s.MaxUsers));
  page.Value("SERVERPASSWORD", s.Password.str());
  page.Value("SERVERWEBPOSTLINKURL", s.WebLinkUrl.str());
  page.Value("SERVERWEBPOSTPOSTURL", s.WebPostUrl.str());
  page.Value("SERVERUDPPORT", std::to_string(s.UdpPort));
  for (int c = 0; c < kCodecCount; ++c)
    page.Value(std::string("SERVERCFG_CODEC_") + kCodecTable[c].Placeholder + "_SELECTED", s.AllowCodec[c] ? "checked" : "");
  const bool clan = (s.ServerFlags & sfClan) != 0, pub = (s.ServerFlags & sfPublic) != 0;
  page.Value("SERVERTYPE", clan ? "Clan Server" : pub ? "Public Server" : "Invalid Server Type");
  if (clan || pub) {
    page.Value("SERVERCFG_SERVERTYPE_CLANSERVER_SELECTED", clan ? "selected" : "");
    page.Value("SERVERCFG_SERVERTYPE_PUBLICSERVER_SELECTED", clan ? "" : "selected");
  }
  static const std::pair<const char*, TUserGroup> kGroups[] = {
      {"U", ugAnonymous}, {"R", ugRegisterred}, {"OP", ugOP}, {"V", ugV}, {"CA", ugCA}, {"SA", ugSA}};
  for (const auto& [suffix, group] : kGroups)
    page.Block(std::string("%!SERVERCFG_GROUP_PERMISSIONS_") + suffix + "!%",
               [&, group = group] { return GroupPermissions(page, request, group, s.Permissions[group]); });
  page.Block("%!SERVERCFG_DATABASE_CLIENT_MANAGER_CLIENTLIST!%", [&] {
    return AccountList(page, request, "database_client_manager_clientlist.html", serverId, "CreateDataBaseClientList");
  });
  if (request.HasField("clientid")) {
    auto account = DBLoadUser(request.Context.Storage, serverId,
                              static_cast<int32_t>(StrToIntDef(request.Field("clientid"), 0)));
    if (account) {
      page.Value("SELECTED_CLIENT_LOGINNAME", account->LoginName.str());
      page.Value("SELECTED_CLIENT_REGISTERED", FormatDateTime(GetSettings().DateTimeFormat, account->Created));
      page.Value("SELECTED_CLIENT_ID", std::to_string(account->StorageClientId));
      page.Value("SELECTED_CLIENT_SERVERADMIN", (account->PlayerPrivileges & spSA) ? "checked" : "");
    }
  }
}

// Markers of regions whose condition this page never decided are dropped, so
// that no raw marker reaches the browser.
void DropLeftoverMarkers(TPage& page) {
  for (const char* condition :
       {"SERVER_NOT_RUNNING", "SERVER_SELECTED", "SERVER_NOT_SELECTED", "SERVER_NOT_LIVE", "SERVER_LIVE"})
    page.Region(condition, false);
}

}  // namespace

std::string ExpandIncludes(const std::string& docDir, std::string text) {
  static const std::string kDirective = "%%INCLUDE%";
  for (int n = 0; n < kMaxIncludes; ++n) {
    const size_t at = text.find(kDirective);  // exactly this letter case
    if (at == std::string::npos) break;
    const size_t end = text.find('%', at + kDirective.size());
    if (end == std::string::npos) break;
    const std::string name = text.substr(at + kDirective.size(), end - at - kDirective.size());
    std::string included;
    if (auto path = DocumentPath(docDir, name))
      if (auto file = ReadTextFile(*path)) included = *file;
    text = ReplaceText(text, kDirective + name + "%", included);
  }
  return text;
}

std::string BuildPage(const TWebRequest& request, const std::string& text) {
  TPage page(ExpandIncludes(request.Context.DocDir, text));
  try {
    FillCommon(page, request);
    const int32_t serverId = SessionServerId(request);
    const auto settings = SessionSettings(request, serverId);
    if (settings) {
      FillServer(page, request, serverId, *settings);
    } else {
      page.Region("SERVER_SELECTED", false);
      page.Region("SERVER_NOT_SELECTED", true);
      page.Region("SERVER_NOT_RUNNING", true);
      page.Value("SERVERNAME", "");
      for (const char* block : {"%!LIVE_VIEW!%", "%!LIVE_PLAYER_OPTIONS!%", "%!LIVE_CHANNEL_OPTIONS!%", "%!LIVE_BANS!%",
                                "%!LIVE_CODEC_OPTIONS!%"})
        page.Markup(block, "");
    }
    DropLeftoverMarkers(page);
  } catch (const ERowTemplateMissing&) {
    throw;
  } catch (const std::exception& e) {
    LogWebException("SetVariables", e);
  }
  return page.Text();
}

}  // namespace qv
