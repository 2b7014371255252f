// The protocol's error codes and their texts, and the login results.
//
// Handlers answer a refused request with one of these codes in an error
// packet; the administration interfaces print the text of a code they get
// back from a running server. Codes -10 to -23 are the client program's own
// login and connection messages, kept here so that the table is complete.
// The login results are the verdicts CMD_sc_LoginStep2 carries.
//
// Thread rules: constant data; any thread may call.
#pragma once

#include <cstdint>
#include <string>

namespace qv {

enum ProtocolError : int32_t {
  peConnectionTimedOut = -10,
  peNoReplyFromServer = -11,
  peWrongServerPassword = -12,
  peServerFull = -13,
  peUnresolvedHost = -14,
  pePortClosed = -15,
  peBadResponse = -16,
  peNoAnonymousLogin = -17,
  peClientVersionUnsupported = -18,
  peServerVersionUnsupported = -19,
  peConnectionReset = -20,
  peBadLogin = -21,
  peIpBanned = -22,
  peAlreadyLoggedIn = -23,
  peUndefinedInternalError = -50,
  pePlayerIdNotFound = -100,
  peLoginNameNotFound = -101,
  peChannelIdNotFound = -102,
  peParentChannelNotFound = -103,
  peInvalidCodec = -104,
  peCodecNotSupported = -105,
  pePlayerNotConnected = -106,
  peBadArgument = -107,
  peCodecDisabled = -108,
  peChannelNotEmpty = -109,
  peChannelPasswordProtected = -110,
  peWrongChannelPassword = -111,
  peChannelCodecUnsupported = -112,
  peChannelFull = -113,
  peChannelExists = -114,
  peChannelNotHierarchical = -115,
  peNickNameInUse = -116,
  peDefaultChannelNotDeletable = -117,
  peSubChannelsPresent = -118,
  peAlreadyChannelMember = -119,
  peSubChannelPassword = -120,
  peSubChannelLimit = -121,
  peParentIsSubChannel = -122,      // no text
  peSubChannelFlagsChanged = -123,  // no text
  peNotInModeratedChannel = -130,
  peAlreadyHasPrivilege = -131,
  peRegistrationNotAllowed = -140,
  peLoginNameInUse = -141,
  peBadUserPassword = -142,
  peAlreadyRegistered = -143,
  peNeedServerAdmin = -1000,
  peNeedChannelAdmin = -1001,
  peNeedOperatorToGrantVoice = -1003,
  peNeedOperatorToGrantOp = -1004,
  peNeedOperatorToDevoice = -1005,
  peNeedOperatorToDeop = -1006,
  peNeedAdminOrOperator = -1007,
  peNeedServerOrChannelAdmin = -1008,
  peInsufficientPermission = -1009,
  peAlreadyServerAdmin = -1020,
  peAlreadyChannelAdmin = -1021,
  peAlreadyChannelOperator = -1022,
  peAlreadyChannelVoice = -1023,
  peAlreadyAllowedToRegister = -1024,
  peNotServerAdmin = -1030,
  peNotChannelAdmin = -1031,
  peNotChannelOperator = -1032,
  peNoChannelVoice = -1033,
  peNotAllowedToRegister = -1034,
  peNotRegistered = -1035,
  peServerBlacklisted = -2000,
  peNeedRegistration = 1002,  // positive on purpose
};

// Login results carried in CMD_sc_LoginStep2.
enum TLoginResult : int32_t {
  lcAccepted = 1,
  lcBadLogin = -1,
  lcServerFull = -2,
  lcNickNameInUse = -4,
  lcVersionNotSupported = -5,
  lcBanned = -6,
  lcLoginNameInUse = -7,
  lcNoAccount = -21,
};

// The text of a code; empty for a code without text.
std::string ProtocolErrorText(int32_t code);

// The reason a login result gives, as the server's access log writes it
// ("client disconnected, reason ...") and the client tool shows it; "Refused"
// for a code that is no login result.
const char* LoginRefusalReason(int32_t code);

}  // namespace qv
