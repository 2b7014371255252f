#include "query/query_commands.h"

#include <algorithm>
#include <array>
#include <mutex>

#include <fmt/format.h>

#include "base/admin_audit.h"
#include "base/log.h"
#include "base/text_utils.h"
#include "protocol/command_types.h"
#include "protocol/text_message.h"
#include "query/query_account_commands.h"
#include "query/query_checks.h"
#include "query/query_info_commands.h"
#include "query/query_login_commands.h"
#include "query/query_message_commands.h"
#include "query/query_moderation_commands.h"
#include "query/query_player_commands.h"
#include "query/query_request.h"
#include "query/query_server_commands.h"

namespace qv {

namespace {

constexpr TCheck L{ckLoggedIn};
constexpr TCheck S{ckSelected};
constexpr TCheck SA{ckSuperAdmin};
constexpr TCheck RS{ckResolveServer};
constexpr TCheck R(TUserPermissions right) { return {ckRight, right}; }
constexpr TCheck PExactly(int n) { return {ckParamsExactly, n}; }
constexpr TCheck PMoreThan(int n) { return {ckParamsMoreThan, n}; }
constexpr TCheck PAtLeast(int n) { return {ckParamsAtLeast, n}; }

// How a command that changes accounts, servers or settings is written to
// the audit trail: its word and this many of its leading parameters (never
// the passwords that follow them).
constexpr int kNoAudit = -1;
constexpr int kAuditAll = 99;

struct TQueryCommand {
  const char* Word;
  THandler Handler;  // nullptr: quit
  std::array<TCheck, 4> Checks;
  int Audit = kNoAudit;
  const char* Help;  // its line in the help
};

TQueryReply QueryHelp(TQueryRequest&);

// In the order of the help.
// clang-format off
const TQueryCommand kQueryCommands[] = {
    // word                 handler                       checks                                              audit      help
    {"help",                QueryHelp,                    {},                                                 kNoAudit,  "this helpfile"},
    {"sl",                  QueryServerList,              {},                                                 kNoAudit,  "serverlist"},
    {"pl",                  QueryPlayerList,              {RS},                                               kNoAudit,  "playerlist"},
    {"cl",                  QueryChannelList,             {RS},                                               kNoAudit,  "channellist"},
    {"ver",                 QueryVersion,                 {},                                                 kNoAudit,  "version"},
    {"gi",                  QueryGlobalInfo,              {},                                                 kNoAudit,  "global information"},
    {"sel",                 QuerySelect,                  {},                                                 kNoAudit,  "select"},  // ResolveServer after clearing the selection
    {"si",                  QueryServerInfo,              {RS},                                               kNoAudit,  "server information"},
    {"msg",                 QueryMessage,                 {L, S, SA},                                         kNoAudit,  "message to server"},
    {"msgall",              QueryMessageAll,              {L, SA},                                            kNoAudit,  "message to all servers"},
    {"login",               QueryLogin,                   {},                                                 kNoAudit,  "login to server"},  // checks of its own, after clearing the account
    {"slogin",              QuerySuperLogin,              {},                                                 kNoAudit,  "superlogin to server"},
    {"fc",                  QueryFindChannel,             {L, S, SA, PExactly(1)},                            kNoAudit,  "finds a channel"},
    {"ci",                  QueryChannelInfo,             {L, S, SA, PExactly(1)},                            kNoAudit,  "display channel info"},
    {"fp",                  QueryFindPlayer,              {L, S, SA, PExactly(1)},                            kNoAudit,  "finds a player"},
    {"pi",                  QueryPlayerInfo,              {L, S, SA, PExactly(1)},                            kNoAudit,  "display infos about a player"},
    {"sppriv",              QuerySetPlayerPrivilege,      {L, S, SA, PMoreThan(2)},                           kAuditAll, "set user privilege"},
    {"mptc",                QueryMovePlayer,              {L, S, R(upAdminMovePlayer), PExactly(2)},          kAuditAll, "move player to channel"},
    {"serverstart",         QueryServerStart,             {L, SA, PExactly(1)},                               kAuditAll, "start server"},
    {"serverstop",          QueryServerStop,              {L, RS, SA},                                        0,         "stop server"},
    {"serveradd",           QueryServerAdd,               {L, SA, PExactly(1)},                               kAuditAll, "adds a server"},
    {"serverdel",           QueryServerDelete,            {L, PExactly(1), SA},                               kAuditAll, "deletes a server"},
    {"serverset",           QueryServerSet,               {L, S, SA, PAtLeast(2)},                            kAuditAll, "set a server variable"},  // but a password
    {"dbserverlist",        QueryDBServerList,            {L, SA},                                            kNoAudit,  "list all servers from db"},
    {"checkserverok",       QueryCheckServerOK,           {L, S, SA},                                         kNoAudit,  "checks if server hangs"},
    {"rehash",              QueryRehash,                  {L, S, SA},                                         kNoAudit,  "reload server settings"},
    {"dbuserlist",          QueryUserList,                {L, S, R(upAdminListDBUsers)},                      kNoAudit,  "display server user list"},
    {"dbuseradd",           QueryUserAdd,                 {L, S, R(upAdminRegisterPlayer), PMoreThan(3)},     1,         "adds a user to server"},
    {"dbuserdel",           QueryUserDelete,              {L, S, R(upPrivilegePlayerDelete), PAtLeast(1)},    1,         "deletes a user from server"},
    {"dbuserchangepw",      QueryUserChangePassword,      {L, S, R(upAdminChangeUserPassword), PMoreThan(2)}, 1,         "changes password of a user"},
    {"dbuserchangeattribs", QueryUserChangeAttributes,    {L, S, PExactly(2)},                                2,         "changes rights of a user"},
    {"dbuserid",            QueryUserId,                  {L, S, SA, PExactly(1)},                            kNoAudit,  "display dbid from loginname"},
    {"dbsuserlist",         QuerySuperUserList,           {L, SA},                                            kNoAudit,  "display superadmin serverlist"},
    {"dbsuseradd",          QuerySuperUserAdd,            {L, SA, PMoreThan(2)},                              1,         "adds a superadmin to server"},
    {"dbsuserdel",          QuerySuperUserDelete,         {L, SA, PExactly(1)},                               1,         "deletes a superadmin from server"},
    {"dbsuserchangepw",     QuerySuperUserChangePassword, {L, SA, PMoreThan(2)},                              1,         "changes password of a superadmin"},
    {"dccl",                QueryChannelsWithPlayers,     {L, S, SA},                                         kNoAudit,  "display channels with their players"},
    {"kick",                QueryKick,                    {L, S, R(upKickPlayerFromServer), PAtLeast(1)},     kAuditAll, "kick player from server"},
    {"kickch",              QueryKickFromChannel,         {L, S, R(upKickPlayerFromChannel), PAtLeast(1)},    kAuditAll, "kick player to default channel"},
    {"ban",                 QueryBan,                     {L, S, R(upAdminBanIp), PAtLeast(2)},               kAuditAll, "ban player (minutes, 0 no end)"},
    {"banip",               QueryBanAddress,              {L, S, R(upAdminBanIp), PExactly(2)},               kAuditAll, "ban ip address (minutes)"},
    {"banlist",             QueryBanList,                 {L, S, R(upAdminBanIp), PExactly(0)},               kNoAudit,  "display ban list"},
    {"unban",               QueryUnban,                   {L, S, R(upAdminBanIp), PExactly(1)},               kAuditAll, "remove ban of ip address"},
    {"msgp",                QueryMessagePlayer,           {L, S, R(upSendTextToPlayer), PAtLeast(2)},         kAuditAll, "message to player"},
    {"msgch",               QueryMessageChannel,          {L, S, R(upSendTextToAllChannel), PAtLeast(2)},     kAuditAll, "message to channel"},
    {"chcreate",            QueryChannelCreate,           {L, S, PAtLeast(2)},                                kAuditAll, "create channel (parent -1: top)"},  // the right by the parent
    {"chedit",              QueryChannelEdit,             {L, S, PAtLeast(2)},                                kAuditAll, "set a channel variable"},  // the right by the key; not a password
    {"chdel",               QueryChannelDelete,           {L, S, R(upChannelDelete), PExactly(1)},            kAuditAll, "delete channel"},
    {"privset",             QuerySetPrivilege,            {L, S, PExactly(3)},                                kAuditAll, "grant/revoke player privilege"},  // the right by the privilege
    {"quit",                nullptr,                      {},                                                 kNoAudit,  "close connection"},
};
// clang-format on

constexpr size_t kHelpWordWidth = 20;

TQueryReply QueryHelp(TQueryRequest&) {
  std::string lines = "command overview: " + std::string(kCrLf);
  for (const TQueryCommand& command : kQueryCommands)
    lines += fmt::format("{:<{}}: {}", command.Word, kHelpWordWidth, command.Help) + std::string(kCrLf);
  return Ok(std::move(lines));
}

// The audit line's change: the word, the parameters it may show, and the
// server the command acted on.
std::string AuditedChange(const TQueryCommand& command, const TQueryRequest& r, int32_t serverId) {
  std::string change = command.Word;
  size_t shown = std::min(r.Params.size(), static_cast<size_t>(command.Audit));
  if (command.Handler == QueryServerSet && LowerCase(r.Params[0]) == "server_password") shown = 1;
  if (command.Handler == QueryChannelEdit && LowerCase(r.Params[1]) == "channel_password") shown = 2;
  for (size_t i = 0; i < shown; ++i) change += " " + r.Params[i];
  if (serverId > 0) change += " (server " + Num(serverId) + ")";
  return change;
}

// The row whose word the line is, or starts with followed by a blank.
const TQueryCommand* MatchCommand(std::string_view line, std::string_view& paramText) {
  for (const TQueryCommand& command : kQueryCommands) {
    const std::string_view word = command.Word;
    if (line.size() < word.size() || !SameText(line.substr(0, word.size()), word)) continue;
    if (line.size() == word.size()) {
      paramText = {};
      return &command;
    }
    if (line[word.size()] == ' ') {
      paramText = line.substr(word.size() + 1);
      return &command;
    }
  }
  return nullptr;
}

constexpr uint32_t kQuerySenderId = 255;

}  // namespace

std::vector<std::string> SplitQueryParams(std::string_view text) {
  std::vector<std::string> params;
  if (text.empty()) return params;
  for (;;) {
    const size_t blank = text.find(' ');
    params.emplace_back(text.substr(0, blank));
    if (blank == std::string_view::npos) return params;
    text.remove_prefix(blank + 1);
  }
}

TQueryReply DispatchQueryLine(TQuerySession& session, std::string_view line, bool& quit) {
  quit = false;
  std::string_view paramText;
  // A NUL would cut a parameter where the storage reads it (a password
  // followed by "\0garbage" would log in): such a line is no command.
  const TQueryCommand* command =
      line.find('\0') == std::string_view::npos ? MatchCommand(line, paramText) : nullptr;
  if (!command) return TQueryReply{"error" + std::string(kCrLf)};
  if (!command->Handler) {
    quit = true;
    return {};
  }
  try {
    TQueryRequest request{session, SplitQueryParams(paramText)};
    for (const TCheck& check : command->Checks) {
      if (auto refusal = ApplyCheck(check, request)) return *refusal;
    }
    const int32_t serverId = request.Server ? request.Server->ServerId : session.SelectedServerId;
    TQueryReply reply = command->Handler(request);
    if (command->Audit != kNoAudit && reply.Text.rfind("OK", 0) == 0)
      AuditAdminChange(liQuery, session.PeerAddress, session.Account ? session.Account->LoginName.str() : "",
                       AuditedChange(*command, request, serverId), kQueryCategory);
    return reply;
  } catch (const std::exception& e) {
    LogMsg(lmtError, lmdAll, std::string("TTCPQuery.") + command->Word + " Exception: " + ExceptionText(e),
           kQueryCategory);
    return Error("error");
  }
}

void SendQueryMessage(TServerObject& server, const TClientRec& account, const std::string& text) {
  const TBufferLease buffer = Live(&server);
  if (!buffer) return;
  const std::string nick = "telnet." + account.LoginName.str();
  std::lock_guard<TClients> players(*server.Clients);
  for (const auto& p : server.Clients->Items()) {
    buffer->SendPacket(NewTextMessagePacket(p->ConnectionId, p->PlayerId, kQuerySenderId, tkEverybody, nick, text));
  }
}

}  // namespace qv
