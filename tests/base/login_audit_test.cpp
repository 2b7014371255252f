#include <gtest/gtest.h>

#include "base/login_audit.h"

namespace qv {
namespace {

// The lines an intrusion filter matches: one shape for every interface, the
// reason in words, a peer's control characters harmless.
TEST(LoginAuditTest, LinesNameInterfaceReasonAndAddress) {
  struct Row {
    TRemoteLine line;
    const char* text;
  };
  const Row rows[] = {
      {RefusedLoginLine(liWeb, loWrongPassword, "10.0.0.7", "bob"),
       "login refused [interface: web, reason: wrong password, IP: 10.0.0.7, LoginName: bob]"},
      {RefusedLoginLine(liVoice, loUnknownAccount, "::1", ""),
       "login refused [interface: voice, reason: unknown account, IP: ::1, LoginName: ]"},
      {RefusedLoginLine(liQuery, loLockedOut, "1.2.3.4", "a\nlogin refused"),
       "login refused [interface: query, reason: locked out, IP: 1.2.3.4, LoginName: a?login refused]"},
      {LockOutLine(liQuery, "1.2.3.4", 3, 10), "login lock-out [interface: query, IP: 1.2.3.4, failures: 3, minutes: 10]"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.line.Text, row.text);
  EXPECT_EQ(rows[0].line.Shape, rows[1].line.Shape);
}

TEST(LoginAuditTest, CountsPerInterfaceAndOutcome) {
  const uint64_t before = LoginCount(liQuery, loNoPermission);
  const uint64_t voiceBefore = LoginCount(liVoice, loNoPermission);
  const uint64_t lockOuts = LockOutCount(liWeb);
  AuditRefusedLogin(liQuery, loNoPermission, "1.2.3.4", "x", "TEST");
  AuditLockOut(liWeb, "1.2.3.4", 10, 10, "TEST");
  EXPECT_EQ(LoginCount(liQuery, loNoPermission), before + 1);
  EXPECT_EQ(LoginCount(liVoice, loNoPermission), voiceBefore);
  EXPECT_EQ(LockOutCount(liWeb), lockOuts + 1);
  EXPECT_STREQ(LoginOutcomeLabel(loServerFull), "server_full");
}

}  // namespace
}  // namespace qv
