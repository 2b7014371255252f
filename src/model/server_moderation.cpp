#include "model/server_moderation.h"

#include <cmath>
#include <utility>

#include <fmt/format.h>

#include "base/log.h"
#include "base/text_utils.h"
#include "protocol/protocol_errors.h"
#include "protocol/text_message.h"

namespace qv {

namespace {

constexpr const char* kLogCategory = "Moderation";

void LogFailure(const TServerObject& server, const char* operation, const std::exception& e) {
  LogMsg(lmtError, lmdAll, fmt::format("SID: {} {} Exception: {}", server.ServerId, operation, ExceptionText(e)),
         kLogCategory);
}

// A text from outside, without control characters and cut to `max` bytes.
std::string Clean(std::string_view text, size_t max) {
  std::string clean = DropControls(text);
  if (clean.size() > max) clean.resize(max);
  return clean;
}

TExternalCommand Command(uint8_t type, int32_t argument1, int32_t argument2 = 0) {
  TExternalCommand command;
  command.CommandType = type;
  command.Argument1 = argument1;
  command.Argument2 = argument2;
  return command;
}

int32_t Run(TServerObject& server, const TExternalCommand& command) {
  return server.ExecuteExternalCommand(command, kExternalCommandWaitMs);
}

// An id a player or channel can have; the protocol thread finds the rest.
bool PossibleId(int32_t id) { return id >= 1; }

// Digits, dots and '*', one to four parts of at most three characters.
bool UsableBanAddress(std::string_view address) {
  if (address.empty() || address.size() > kBanAddressMax) return false;
  int parts = 1;
  size_t partLength = 0;
  for (char c : address) {
    if (c == '.') {
      if (partLength == 0 || ++parts > 4) return false;
      partLength = 0;
      continue;
    }
    if (!((c >= '0' && c <= '9') || c == '*') || ++partLength > 3) return false;
  }
  return partLength > 0;
}

uint32_t RemainingMinutes(TDateTime created, uint32_t minutes, TDateTime now) {
  if (minutes == 0) return kBanForever;
  const double left = created.value + minutes / (24.0 * 60.0) - now.value;
  if (left <= 0) return 0;
  return static_cast<uint32_t>(std::ceil(left * 24.0 * 60.0 - 1e-6));
}

void StoreBanRow(TServerObject& server, const std::string& address, uint32_t minutes, const std::string& by) {
  const TScriptStorage& storage = server.Storage;
  TStorageLock lock(*storage);
  if (!storage.Load("new_ban.sql")) throw EScriptStorage("new_ban.sql");
  storage->SetParamInteger(":iServerID", server.ServerId);
  storage->SetParamString(":sBy", by);
  storage->SetParamString(":sIP", address);
  storage->SetParamDateTime(":dtCreated", Now());
  storage->SetParamInteger(":iMinutes", static_cast<int32_t>(minutes));
  storage->ExecSQL();
}

}  // namespace

std::string ModerationResultText(int32_t code) {
  if (code == 0) return "OK";
  if (code == kNoResult) return "server not running or not answering";
  std::string text = ProtocolErrorText(code);
  return text.empty() ? fmt::format("error {}", code) : text;
}

// ---------------------------------------------------------------------------
// Players

int32_t KickFromServer(TServerObject& server, int32_t playerId, std::string_view reason) {
  if (!PossibleId(playerId)) return pePlayerIdNotFound;
  TExternalCommand command = Command(ecDelClient, playerId);
  command.Kick = true;
  command.Text = Clean(reason, kModerationReasonMax);
  return Run(server, command);
}

int32_t KickFromChannel(TServerObject& server, int32_t playerId, std::string_view reason) {
  if (!PossibleId(playerId)) return pePlayerIdNotFound;
  TExternalCommand command = Command(ecKickFromChannel, playerId);
  command.Text = Clean(reason, kModerationReasonMax);
  return Run(server, command);
}

int32_t MoveToChannel(TServerObject& server, int32_t playerId, int32_t channelId) {
  if (!PossibleId(playerId)) return pePlayerIdNotFound;
  return server.MoveClientToChannel(channelId, playerId);
}

int32_t BanPlayer(TServerObject& server, int32_t playerId, uint32_t minutes, std::string_view reason,
                  std::string_view creator) {
  if (!PossibleId(playerId)) return pePlayerIdNotFound;
  if (minutes > kBanMinutesMax) return peBadArgument;
  TExternalCommand command = Command(ecBanPlayer, playerId, static_cast<int32_t>(minutes));
  command.Text = Clean(reason, kModerationReasonMax);
  command.Author = Clean(creator, kBanCreatorMax);
  return Run(server, command);
}

int32_t SetServerAdmin(TServerObject& server, int32_t playerId, bool on) {
  if (!PossibleId(playerId)) return pePlayerIdNotFound;
  TExternalCommand command = Command(ecChangeServerPrivilege, playerId, on ? 1 : 0);
  command.Privileges = spSA;
  return Run(server, command);
}

int32_t SetChannelPrivilege(TServerObject& server, int32_t playerId, uint16_t privilege, bool on) {
  if (!PossibleId(playerId)) return pePlayerIdNotFound;
  if (privilege != cpCA && privilege != cpOP && privilege != cpV && privilege != cpAutoOP && privilege != cpAutoV) {
    return peBadArgument;
  }
  TExternalCommand command = Command(ecSetChannelPrivilege, playerId, on ? 1 : 0);
  command.Privileges = privilege;
  return Run(server, command);
}

// ---------------------------------------------------------------------------
// Bans

std::vector<TBanEntry> ListBans(TServerObject& server) {
  std::vector<TBanEntry> list;
  if (!server.Storage.Valid()) return list;
  try {
    const TScriptStorage& storage = server.Storage;
    TStorageLock lock(*storage);
    if (!storage.Load("read_bans.sql")) return list;
    storage->SetParamInteger(":iServerID", server.ServerId);
    std::unique_ptr<TStorageContainer> rows = storage->OpenSQL();
    const TDateTime now = Now();
    for (size_t i = 0; rows && i < rows->Count(); ++i) {
      const TStorageRow& row = rows->RowAt(i);
      TBanEntry ban;
      ban.Address = row.AsString("s_ban_ip");
      ban.CreatedBy = row.AsString("s_ban_by");
      ban.Created = row.AsDateTime("dt_ban_created");
      ban.Minutes = static_cast<uint32_t>(std::max(0, row.AsInteger("i_ban_minutes")));
      ban.RemainingMinutes = RemainingMinutes(ban.Created, ban.Minutes, now);
      list.push_back(std::move(ban));
    }
  } catch (const std::exception& e) {
    LogFailure(server, "ListBans", e);
    list.clear();
  }
  return list;
}

int32_t BanAddress(TServerObject& server, std::string_view address, uint32_t minutes, std::string_view creator) {
  if (!UsableBanAddress(address)) return peBadArgument;
  if (minutes > kBanMinutesMax) return peBadArgument;
  if (!server.Storage.Valid()) return kNoResult;
  try {
    StoreBanRow(server, std::string(address), minutes, Clean(creator, kBanCreatorMax));
  } catch (const std::exception& e) {
    LogFailure(server, "BanAddress", e);
    return peUndefinedInternalError;
  }
  server.ReloadBans();
  return 0;
}

int32_t Unban(TServerObject& server, std::string_view address) {
  if (address.empty() || address.size() > kBanAddressMax) return peBadArgument;
  bool found = false;
  for (const TBanEntry& ban : ListBans(server)) found = found || ban.Address == address;
  if (!found) return peBadArgument;
  try {
    const TScriptStorage& storage = server.Storage;
    TStorageLock lock(*storage);
    if (!storage.Load("delete_ban_ip.sql")) return peUndefinedInternalError;
    storage->SetParamInteger(":iServerID", server.ServerId);
    storage->SetParamString(":sIP", std::string(address));
    storage->ExecSQL();
  } catch (const std::exception& e) {
    LogFailure(server, "Unban", e);
    return peUndefinedInternalError;
  }
  server.ReloadBans();
  return 0;
}

// ---------------------------------------------------------------------------
// Text messages

namespace {

int32_t SendText(TServerObject& server, uint8_t kind, int32_t targetId, std::string_view sender,
                 std::string_view text) {
  const std::string message = Clean(text, kModerationMessageMax);
  if (Trim(message).empty()) return peBadArgument;
  TExternalCommand command = Command(ecSendText, kind, targetId);
  command.Text = message;
  command.Author = Clean(sender, kShortTextMax);
  return Run(server, command);
}

}  // namespace

int32_t SendTextToPlayer(TServerObject& server, int32_t playerId, std::string_view sender, std::string_view text) {
  if (!PossibleId(playerId)) return pePlayerIdNotFound;
  return SendText(server, tkPlayer, playerId, sender, text);
}

int32_t SendTextToChannel(TServerObject& server, int32_t channelId, std::string_view sender, std::string_view text) {
  if (!PossibleId(channelId)) return peChannelIdNotFound;
  return SendText(server, tkChannel, channelId, sender, text);
}

int32_t SendTextToAll(TServerObject& server, std::string_view sender, std::string_view text) {
  return SendText(server, tkEverybody, 0, sender, text);
}

// ---------------------------------------------------------------------------
// Channels

namespace {

// The fields with control characters dropped and the texts cut as the
// client's channel commands cut them (the protocol thread cuts again).
TChannelFields CleanFields(const TChannelFields& fields) {
  TChannelFields clean = fields;
  clean.Name = Clean(fields.Name, kShortTextMax);
  clean.Topic = Clean(fields.Topic, kLongTextMax);
  clean.Description = Clean(fields.Description, 1024);
  clean.Password = Clean(fields.Password, kShortTextMax);
  return clean;
}

}  // namespace

int32_t CreateChannel(TServerObject& server, const TChannelFields& fields, int32_t* createdId) {
  TExternalCommand command = Command(ecAddChannel, 0);
  command.HasChannel = true;
  command.Channel = CleanFields(fields);
  if (Trim(command.Channel.Name).empty()) return peBadArgument;
  if (command.Channel.ParentId != -1 && !PossibleId(command.Channel.ParentId)) return peChannelIdNotFound;
  const int32_t result = Run(server, command);
  if (result <= 0) return result == 0 ? peUndefinedInternalError : result;
  if (createdId) *createdId = result;
  return 0;
}

int32_t EditChannel(TServerObject& server, int32_t channelId, const TChannelFields& fields, uint16_t changes) {
  if (!PossibleId(channelId)) return peChannelIdNotFound;
  constexpr uint16_t kAll =
      chfName | chfTopic | chfDescription | chfPassword | chfCodec | chfMaxUsers | chfOrder | chfFlags;
  if (changes == 0 || (changes & ~kAll)) return peBadArgument;
  TExternalCommand command = Command(ecEditChannel, channelId);
  command.Channel = CleanFields(fields);
  command.Changes = changes;
  if ((changes & chfName) && Trim(command.Channel.Name).empty()) return peBadArgument;
  return Run(server, command);
}

int32_t DeleteChannel(TServerObject& server, int32_t channelId) {
  if (!PossibleId(channelId)) return peChannelIdNotFound;
  return Run(server, Command(ecDelChannel, channelId));
}

}  // namespace qv
