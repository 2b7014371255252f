#include "protocol/protocol_errors.h"

#include <algorithm>
#include <array>
#include <utility>

namespace qv {

namespace {

struct TErrorText {
  int32_t code;
  const char* text;
};

// Kept sorted by code so that a lookup is a binary search.
constexpr std::array kErrorTexts{
    TErrorText{peServerBlacklisted, "Server is blacklisted (banned)"},
    TErrorText{peNotRegistered, "Is not registered"},
    TErrorText{peNotAllowedToRegister, "Is not allowed to register"},
    TErrorText{peNoChannelVoice, "Hasn't got channel voice"},
    TErrorText{peNotChannelOperator, "Not a channel operator"},
    TErrorText{peNotChannelAdmin, "Not a channel admin"},
    TErrorText{peNotServerAdmin, "Not a server admin"},
    TErrorText{peAlreadyAllowedToRegister, "Already is allowed to register"},
    TErrorText{peAlreadyChannelVoice, "Already channel voice"},
    TErrorText{peAlreadyChannelOperator, "Already channel operator"},
    TErrorText{peAlreadyChannelAdmin, "Already channel admin"},
    TErrorText{peAlreadyServerAdmin, "Already server admin"},
    TErrorText{peInsufficientPermission, "Insufficient permission rights!"},
    TErrorText{peNeedServerOrChannelAdmin, "Need server admin or channel admin rights to complete operation"},
    TErrorText{peNeedAdminOrOperator,
               "Need server admin, channel admin or channel operator rights to complete operation"},
    TErrorText{peNeedOperatorToDeop, "Need to be a channel operator to deop"},
    TErrorText{peNeedOperatorToDevoice, "Need to be a channel operator to devoice"},
    TErrorText{peNeedOperatorToGrantOp, "Need to be a channel operator to grant op"},
    TErrorText{peNeedOperatorToGrantVoice, "Need to be a channel operator to grant voice"},
    TErrorText{peNeedChannelAdmin, "Need Channel admin rights to complete operation"},
    TErrorText{peNeedServerAdmin, "Need server admin rights to complete operation"},
    TErrorText{peAlreadyRegistered, "Already registered"},
    TErrorText{peBadUserPassword, "Bad user password"},
    TErrorText{peLoginNameInUse, "Loginname already in use"},
    TErrorText{peRegistrationNotAllowed, "Not allowed to register"},
    TErrorText{peAlreadyHasPrivilege, "Already has this privilege"},
    TErrorText{peNotInModeratedChannel, "Command not valid in unmoderated channels"},
    TErrorText{peSubChannelLimit, "Subchannel limit reached"},
    TErrorText{peSubChannelPassword, "Subchannels cannot have a password"},
    TErrorText{peAlreadyChannelMember, "Allready member of channel"},
    TErrorText{peSubChannelsPresent, "Cant remove flag, subchannels are still present"},
    TErrorText{peDefaultChannelNotDeletable, "Default channel cannot be deleted"},
    TErrorText{peNickNameInUse, "Nickname already in use"},
    TErrorText{peChannelNotHierarchical, "Channel is not hierarchical"},
    TErrorText{peChannelExists, "Channel already exists"},
    TErrorText{peChannelFull, "Maximum players reached for this channel"},
    TErrorText{peChannelCodecUnsupported, "Channel uses an unsupported codec"},
    TErrorText{peWrongChannelPassword, "Wrong password"},
    TErrorText{peChannelPasswordProtected, "Channel is password protected"},
    TErrorText{peChannelNotEmpty, "Channel is not empty"},
    TErrorText{peCodecDisabled, "Codec is disabled"},
    TErrorText{peBadArgument, "Bad argument"},
    TErrorText{pePlayerNotConnected, "Player is not connected"},
    TErrorText{peCodecNotSupported, "Codec not supported"},
    TErrorText{peInvalidCodec, "Invalid Codec"},
    TErrorText{peParentChannelNotFound, "Parent channel does not exist"},
    TErrorText{peChannelIdNotFound, "ChannelId does not exist"},
    TErrorText{peLoginNameNotFound, "loginName does not exist"},
    TErrorText{pePlayerIdNotFound, "Playerid does not exist"},
    TErrorText{peUndefinedInternalError, "Undefined internal error"},
    TErrorText{peAlreadyLoggedIn, "This user is already logged in on the server"},
    TErrorText{peIpBanned, "Unable to login. Your IP has been banned."},
    TErrorText{peBadLogin, "Bad Login (name and/or password wrong)"},
    TErrorText{peConnectionReset, "Connection reset by peer.\r\nMaybe there is no server running"},
    TErrorText{peServerVersionUnsupported, "This Client does not support the server version"},
    TErrorText{peClientVersionUnsupported, "Server does not support this client version"},
    TErrorText{peNoAnonymousLogin, "This server does not allow anonymous login's"},
    TErrorText{peBadResponse, "Got a bad response from the server"},
    TErrorText{pePortClosed, "Port on the server is closed"},
    TErrorText{peUnresolvedHost, "Unable to resolve hostname to ip number"},
    TErrorText{peServerFull, "Server is full"},
    TErrorText{peWrongServerPassword, "Wrong Password"},
    TErrorText{peNoReplyFromServer,
               "No reply from server\r\nMaybe the server is offline\r\nor maybe quillvane is not running on it"},
    TErrorText{peConnectionTimedOut, "Connection Timed out"},
    TErrorText{peNeedRegistration, "Need to be a registered player to complete operation"},
};

constexpr bool SortedByCode() {
  for (size_t i = 1; i < kErrorTexts.size(); ++i) {
    if (kErrorTexts[i - 1].code >= kErrorTexts[i].code) return false;
  }
  return true;
}
static_assert(SortedByCode(), "error texts must stay sorted by code");

}  // namespace

const char* LoginRefusalReason(int32_t code) {
  switch (code) {
    case lcBadLogin: return "Bad Login";
    case lcServerFull: return "Server Full";
    case lcNickNameInUse: return "NickName in use";
    case lcVersionNotSupported: return "Client Version not supported";
    case lcBanned: return "Client is banned";
    case lcLoginNameInUse: return "LoginName in use";
    case lcNoAccount: return "Bad LoginName or password";
    default: return "Refused";
  }
}

std::string ProtocolErrorText(int32_t code) {
  auto it = std::lower_bound(kErrorTexts.begin(), kErrorTexts.end(), code,
                             [](const TErrorText& e, int32_t c) { return e.code < c; });
  if (it == kErrorTexts.end() || it->code != code) return {};
  return it->text;
}

}  // namespace qv
