// Login outcomes of the three interfaces (voice, web, query): one line format
// for refused logins and lock-outs, and process-wide counters behind the
// metrics endpoint.
//
// A refused login is written as
//   login refused [interface: web, reason: wrong password, IP: 10.0.0.7, LoginName: bob]
// and a lock-out as
//   login lock-out [interface: query, IP: 10.0.0.7, failures: 3, minutes: 10]
// both as remote lines (their control characters shown as '?', a flood of
// them limited by shape), so that an intrusion filter (fail2ban) can match
// the reason and the address with one expression whatever the interface.
// Never a password.
//
// Thread rules: any thread records and reads; the counters are relaxed
// atomics, nothing else is shared.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/log.h"

namespace qv {

enum TLoginInterface : uint8_t { liVoice = 0, liWeb = 1, liQuery = 2 };
constexpr int kLoginInterfaces = 3;

enum TLoginOutcome : uint8_t {
  loAccepted = 0,
  loWrongPassword,     // the account exists, the password is wrong (or the server password)
  loUnknownAccount,    // no account of that name
  loNoPermission,      // right credentials, but the account may not use this interface
  loLockedOut,         // the address is locked out; the guess was not checked
  loServerFull,
  loBanned,
  loNickNameInUse,
  loLoginNameInUse,
  loBadName,           // an empty or forbidden nick name
  loVersionNotSupported,
  loBusy,              // too many checks in progress
  loOther,
};
constexpr int kLoginOutcomes = loOther + 1;

// "voice", "web", "query".
const char* LoginInterfaceName(TLoginInterface i);
// The reason in words, as the refused-login line shows it ("wrong password").
const char* LoginOutcomeText(TLoginOutcome o);
// The reason as a metrics label value ("wrong_password").
const char* LoginOutcomeLabel(TLoginOutcome o);

// The line of a refused login (see above).
TRemoteLine RefusedLoginLine(TLoginInterface i, TLoginOutcome o, std::string_view address,
                             std::string_view loginName);
// The line of a lock-out: failures guesses locked the address for minutes.
TRemoteLine LockOutLine(TLoginInterface i, std::string_view address, int failures, int minutes);

// Counts one login with its outcome (accepted ones too).
void CountLogin(TLoginInterface i, TLoginOutcome o);
// Counts one refused login and writes its line as a warning in category.
void AuditRefusedLogin(TLoginInterface i, TLoginOutcome o, std::string_view address, std::string_view loginName,
                       std::string_view category);
// Counts one lock-out and writes its line as an error in category.
void AuditLockOut(TLoginInterface i, std::string_view address, int failures, int minutes,
                  std::string_view category);

// What has been counted since the process started.
uint64_t LoginCount(TLoginInterface i, TLoginOutcome o);
uint64_t LockOutCount(TLoginInterface i);

}  // namespace qv
