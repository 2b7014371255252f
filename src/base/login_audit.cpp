#include "base/login_audit.h"

#include <atomic>

namespace qv {

namespace {

std::atomic<uint64_t> gLogins[kLoginInterfaces][kLoginOutcomes];
std::atomic<uint64_t> gLockOuts[kLoginInterfaces];

struct TOutcomeNames {
  const char* Text;
  const char* Label;
};

constexpr TOutcomeNames kOutcomeNames[kLoginOutcomes] = {
    {"accepted", "accepted"},
    {"wrong password", "wrong_password"},
    {"unknown account", "unknown_account"},
    {"no permission", "no_permission"},
    {"locked out", "locked_out"},
    {"server full", "server_full"},
    {"banned", "banned"},
    {"nick name in use", "nick_name_in_use"},
    {"login name in use", "login_name_in_use"},
    {"bad name", "bad_name"},
    {"version not supported", "version_not_supported"},
    {"busy", "busy"},
    {"other", "other"},
};

int Clamp(int value, int count) { return value >= 0 && value < count ? value : count - 1; }

}  // namespace

const char* LoginInterfaceName(TLoginInterface i) {
  static constexpr const char* kNames[kLoginInterfaces] = {"voice", "web", "query"};
  return kNames[Clamp(i, kLoginInterfaces)];
}

const char* LoginOutcomeText(TLoginOutcome o) { return kOutcomeNames[Clamp(o, kLoginOutcomes)].Text; }
const char* LoginOutcomeLabel(TLoginOutcome o) { return kOutcomeNames[Clamp(o, kLoginOutcomes)].Label; }

TRemoteLine RefusedLoginLine(TLoginInterface i, TLoginOutcome o, std::string_view address,
                             std::string_view loginName) {
  return RemoteLine("login refused [interface: {}, reason: {}, IP: {}, LoginName: {}]", LoginInterfaceName(i),
                    LoginOutcomeText(o), address, loginName);
}

TRemoteLine LockOutLine(TLoginInterface i, std::string_view address, int failures, int minutes) {
  return RemoteLine("login lock-out [interface: {}, IP: {}, failures: {}, minutes: {}]", LoginInterfaceName(i),
                    address, failures, minutes);
}

void CountLogin(TLoginInterface i, TLoginOutcome o) {
  gLogins[Clamp(i, kLoginInterfaces)][Clamp(o, kLoginOutcomes)].fetch_add(1, std::memory_order_relaxed);
}

void AuditRefusedLogin(TLoginInterface i, TLoginOutcome o, std::string_view address, std::string_view loginName,
                       std::string_view category) {
  CountLogin(i, o);
  LogRemote(lmtWarning, lmdImportant, RefusedLoginLine(i, o, address, loginName), category);
}

void AuditLockOut(TLoginInterface i, std::string_view address, int failures, int minutes,
                  std::string_view category) {
  gLockOuts[Clamp(i, kLoginInterfaces)].fetch_add(1, std::memory_order_relaxed);
  LogRemote(lmtError, lmdImportant, LockOutLine(i, address, failures, minutes), category);
}

uint64_t LoginCount(TLoginInterface i, TLoginOutcome o) {
  return gLogins[Clamp(i, kLoginInterfaces)][Clamp(o, kLoginOutcomes)].load(std::memory_order_relaxed);
}

uint64_t LockOutCount(TLoginInterface i) {
  return gLockOuts[Clamp(i, kLoginInterfaces)].load(std::memory_order_relaxed);
}

}  // namespace qv
