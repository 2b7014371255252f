// Moderation of a running virtual server: what the administration interfaces
// (the query and the web interface) do to its players and channels.
//
// Every function returns a result code: 0 for success, a protocol error code
// (protocol/protocol_errors.h) for a refusal, kNoResult when the server does
// not run or its protocol thread did not answer in time. ModerationResultText
// gives the text an OK or error box shows for it.
//
// The functions check no rights: the caller has checked the right of its
// account for the action (the query's table row, the web action's row). They
// check everything else, as a player's own command is checked: ids, ranges,
// lengths (longer texts are cut as the protocol cuts them), the rules of the
// channel tree. A player id is the id of a connected player whose login is
// complete; a channel id one of the server's channels.
//
// Thread rules: any administration thread, holding none of the server's
// locks. Each function except ListBans, BanAddress and Unban is one external
// command: it takes the server's CommandLock (one command at a time) through
// TServerObject::ExecuteExternalCommand, and the command runs on the protocol
// thread between two events with the player list and the channel tree held;
// storage (a registered channel, an account, a ban) is written there under
// the storage lock, and the ban list reloaded under TServerObject::Lock, in
// the lock order of docs/ARCHITECTURE.md. Every change reaches the connected
// clients through the notifications a client's own command causes; the
// originator in them is 0 (the server).
// ListBans, BanAddress and Unban touch no player: they take the storage lock
// and then TServerObject::Lock (for the ban list), and work whether the
// server runs or not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/date_time.h"
#include "model/server_object.h"

namespace qv {

// The longest reason, message, creator and address the functions take; a
// longer text is cut (a reason travels in a 30-byte field).
constexpr size_t kModerationReasonMax = kShortTextMax;
constexpr size_t kModerationMessageMax = 1024;
constexpr size_t kBanCreatorMax = 60;
constexpr size_t kBanAddressMax = 64;
// The longest ban (the protocol's 16-bit minutes, about 45 days); 0
// minutes is a ban without end.
constexpr uint32_t kBanMinutesMax = 0xFFFF;

// "OK" for 0, the protocol's text of a refusal, "server not running or not
// answering" for kNoResult, "error <code>" for a code without text.
std::string ModerationResultText(int32_t code);

// --- Players ---

// Removes the player from the server: everybody who sees him (himself
// included, his copy carries the reason and ends his connection) is told he
// was kicked, as by CMD_cs_PlayerKick.
int32_t KickFromServer(TServerObject& server, int32_t playerId, std::string_view reason);
// Sends the player to the default channel, as CMD_cs_PlayerKickFromChannel
// by a server admin (he loses his privileges in the channel he leaves).
int32_t KickFromChannel(TServerObject& server, int32_t playerId, std::string_view reason);
// Moves the player, as the query's mptc (neither password nor room is tested).
int32_t MoveToChannel(TServerObject& server, int32_t playerId, int32_t channelId);
// Bans the player's address for `minutes` (0: without end, at most
// kBanMinutesMax) with `creator` as its banned-by text, then removes him
// with the reason as CMD_cs_PlayerBanIpPlayer does.
int32_t BanPlayer(TServerObject& server, int32_t playerId, uint32_t minutes, std::string_view reason,
                  std::string_view creator);
// Grants (on) or revokes (off) server admin (spSA) of a connected player, as
// ExternalCommand_SetUserPrivilege; a registered player's account keeps it.
// A grant of what he holds, and a revoke of what he lacks, are refused.
int32_t SetServerAdmin(TServerObject& server, int32_t playerId, bool on);
// Grants or revokes one channel privilege (cpCA, cpOP, cpV, cpAutoOP or
// cpAutoV) of a connected player in his current channel, as
// CMD_cs_PlayerChangeChannelPrivilege: all but cpCA need a moderated
// channel; a grant of channel admin, operator or voice he holds, and a
// revoke of a privilege he lacks, are refused.
int32_t SetChannelPrivilege(TServerObject& server, int32_t playerId, uint16_t privilege, bool on);

// --- Bans ---

struct TBanEntry {
  std::string Address;    // an address or a pattern ("10.0.*")
  std::string CreatedBy;  // banned-by text
  TDateTime Created;
  uint32_t Minutes = 0;  // 0: without end
  // Minutes left (rounded up); 0 for an ended ban; kBanForever without end.
  uint32_t RemainingMinutes = 0;
};
constexpr uint32_t kBanForever = UINT32_MAX;

// The stored bans of the server, oldest first.
std::vector<TBanEntry> ListBans(TServerObject& server);
// Bans an address or pattern (at most kBanAddressMax characters, digits,
// dots and '*' only; four parts at most) as CMD_cs_PlayerBanIp does, with a
// duration. Nobody is removed.
int32_t BanAddress(TServerObject& server, std::string_view address, uint32_t minutes, std::string_view creator);
// Lifts every ban of exactly this address text; peBadArgument when there is none.
int32_t Unban(TServerObject& server, std::string_view address);

// --- Text messages ---

// A text message from `sender` (shown as the sender's nick name) to one
// player, the members of one channel, or every connected player, as
// CMD_cs_InfoSendText sends it.
int32_t SendTextToPlayer(TServerObject& server, int32_t playerId, std::string_view sender, std::string_view text);
int32_t SendTextToChannel(TServerObject& server, int32_t channelId, std::string_view sender, std::string_view text);
int32_t SendTextToAll(TServerObject& server, std::string_view sender, std::string_view text);

// --- Channels (fields: TChannelFields in model/server_object.h) ---

// Creates a channel, top-level (ParentId -1) or a sub-channel, as
// CMD_cs_ChannelCreate does: a registered one is stored, the default
// channel takes the server's maximum of users, a disallowed codec, a missing
// parent or a name in use is refused. *createdId gets the new id.
int32_t CreateChannel(TServerObject& server, const TChannelFields& fields, int32_t* createdId = nullptr);
// Changes the fields named by `changes` (TChannelField bits) of a channel as
// the client's channel commands do, and announces each; all refusals come
// before any change (a sub-channel keeps its parent's flags and takes no
// password; the default flag is only given; the password flag goes with
// the password).
int32_t EditChannel(TServerObject& server, int32_t channelId, const TChannelFields& fields, uint16_t changes);
// Deletes a channel and its sub-channels as CMD_cs_ChannelDestroy does:
// refused while anybody sits in it or its sub-channels, and for the default
// channel.
int32_t DeleteChannel(TServerObject& server, int32_t channelId);

}  // namespace qv
