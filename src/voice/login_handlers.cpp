// Login and logout: the login steps, the quit and the login reply.
#include <fmt/format.h>

#include "base/log.h"
#include "base/login_audit.h"
#include "base/text_utils.h"
#include "model/accounts.h"
#include "model/process_settings.h"
#include "protocol/command_types.h"
#include "voice/login_handlers.h"
#include "voice/permission_checks.h"
#include "voice/view_notifications.h"
#include "voice/wire_layouts.h"

namespace qv::voice {

namespace {

constexpr size_t kPermissionSetBytes = 11;
constexpr size_t kChannelListFlushSize = 472;  // with the next head it could pass 560
constexpr size_t kLoginStep6Size = 280;
// Logins whose peer has not yet answered the verdict.
constexpr int kPendingLoginsPerAddress = 4;
constexpr int kPendingLoginsTotal = 256;
constexpr const char* kLoginCategory = "UDP Listener";

// The fields of a CMD_cs_LoginStep1 request.
struct TLoginRequest {
  TText29 ClientName;
  TText29 ClientPlatform;
  std::array<uint16_t, 4> Version{};
  uint8_t UniqueNick = 0;
  uint8_t ServerPasswordFlag = 0;
  TText29 LoginName;
  TText29 Password;
  TText29 NickName;
};

// Where a login request came from: its verdict goes back there.
struct TLoginSource {
  std::string Ip;
  uint16_t Port = 0;
  uint32_t RequestSize = 0;
};

// What the account check of a login found: loAccepted with the account, or
// why not (loBusy when the check was refused or never made).
struct TAccountCheck {
  TLoginOutcome Outcome = loBusy;
  std::unique_ptr<TClientRec> Account;
};

void StartAccountCheck(TListenerContext& ctx, const TLoginRequest& r, const TLoginSource& source);
void FinishLoginStep1(TListenerContext& ctx, const TLoginRequest& r, const TLoginSource& source, int32_t code,
                      TLoginOutcome outcome, TAccountCheck* account);
int32_t ReadLoginIdentity(TListenerContext& ctx, TClientRec& rec, const TLoginRequest& r, TAccountCheck* account);
void AdmitLogin(TListenerContext& ctx, std::unique_ptr<TClientRec> rec, const TLoginRequest& r,
                const TServerSettings& settings, const TLoginSource& source);
void SendRefusal(TListenerContext& ctx, TPacketPtr reply, const TLoginSource& source);
void CountLoginFailure(TListenerContext& ctx, const TLoginSource& source);
bool JoinLoginChannel(TListenerContext& ctx, TClientRec& player, const std::string& channelName,
                      const std::string& subChannelName, const std::string& password);

// A request of another length than 180 bytes is read up to the version; the
// later fields count as empty. Shorter than that raises EStreamError.
TLoginRequest ReadLoginRequest(TPacket& p) {
  TLoginRequest r;
  const bool complete = p.Size() == LoginRequestLayout::Size;
  p.SetPosition(LoginRequestLayout::ClientName);
  uint8_t fixed[LoginRequestLayout::UniqueNick - LoginRequestLayout::ClientName];
  p.ReadBuffer(fixed, sizeof fixed);
  p.SetPosition(LoginRequestLayout::ClientName);
  r.ClientName = p.ReadText(kShortTextField);
  r.ClientPlatform = p.ReadText(kShortTextField);
  for (auto& n : r.Version) n = p.ReadU16();
  if (!complete) return r;
  r.UniqueNick = p.ReadU8();
  r.ServerPasswordFlag = p.ReadU8();
  r.LoginName = p.ReadText(kShortTextField);
  r.Password = p.ReadText(kShortTextField);
  r.NickName = p.ReadText(kShortTextField);
  return r;
}

}  // namespace

// Six groups of 11 bytes; bit n of a group's bytes is permission n.
void WritePermissionTable(TPacket& p, const TPermissionTable& table) {
  for (const TPermissionSet& set : table) {
    uint8_t bytes[kPermissionSetBytes] = {};
    for (size_t n = 0; n < set.size(); ++n) {
      if (set[n]) bytes[n / 8] |= static_cast<uint8_t>(1u << (n % 8));
    }
    p.Write(bytes, sizeof bytes);
  }
}

namespace {

std::string VersionText(const TClientRec& r) {
  return fmt::format("{}.{}.{}.{}", r.ClientVersion[0], r.ClientVersion[1], r.ClientVersion[2],
                     r.ClientVersion[3]);
}

}  // namespace

TPacketPtr NewLoginReply(const TClientRec& player, int32_t result) {
  TPacketPtr p = NewControlPacket(qv::CMD_sc_LoginStep2, 0, player.PlayerId);
  p->SetSize(LoginReplyLayout::Size);
  p->SetU32(LoginReplyLayout::Result, static_cast<uint32_t>(result));
  p->SetU32(LoginReplyLayout::ConnectionId, player.ConnectionId);
  p->SetU32(LoginReplyLayout::PlayerId, player.PlayerId);
  return p;
}

void FillLoginReply(TPacket& p, const TServerSettings& s, int32_t result) {
  p.SetPosition(LoginReplyLayout::ServerName);
  p.WriteText(s.Name, kShortTextField);
  p.WriteText(s.Platform, kShortTextField);
  for (uint16_t n : s.Version) p.WriteU16(n);
  p.WriteI32(result);
  p.WriteU32(s.CodecMask());
  p.WriteU32(0);
  p.WriteU16(s.ServerFlags);
  WritePermissionTable(p, s.Permissions);
  p.WriteU32(s.MaxUsers);
  p.SetPosition(LoginReplyLayout::Welcome);
  p.WriteText(s.WelcomeMessage, kLongTextField);
}

// ---------------------------------------------------------------------------
// CMD_cs_LoginStep1: the request and the verdict

int32_t CMD_cs_LoginStep1(TListenerContext& ctx, TClientRec*, TPacket& request) {
  const TLoginSource source{request.PeerIp(), request.PeerPort(), static_cast<uint32_t>(request.Size())};
  // A request repeated while its account check runs gets the one verdict.
  TLoginChecks& checks = ctx.LoginChecks();
  if (checks.Pending(source.Ip, source.Port)) return 0;
  // Logins in progress are bounded per address and in total; beyond that a
  // request is dropped without reply or player id.
  const auto pending = ctx.Buffer().PendingLogins(source.Ip);
  if (pending.FromAddress + checks.PendingFrom(source.Ip) >= kPendingLoginsPerAddress ||
      pending.Total >= kPendingLoginsTotal)
    return 0;
  const TLoginRequest r = ReadLoginRequest(request);
  if (ctx.Server().LoginFailures.Refused(source.Ip, GetSettings().LoginFailureLimits)) {
    // not even the accounts are consulted
    FinishLoginStep1(ctx, r, source, lcBadLogin, loLockedOut, nullptr);
  } else if (r.Version[2] < 28 && r.Version[3] < 40) {
    FinishLoginStep1(ctx, r, source, lcVersionNotSupported, loVersionNotSupported, nullptr);
  } else if (!r.LoginName.empty()) {
    StartAccountCheck(ctx, r, source);
  } else {
    FinishLoginStep1(ctx, r, source, 0, loAccepted, nullptr);
  }
  return 0;
}

// The account check (the stored hash read, compared, the account read) runs
// on a worker of the password pool; the rest of the login runs on this
// thread once it is back. The check gets copies only: it outlives nothing.
namespace {

void StartAccountCheck(TListenerContext& ctx, const TLoginRequest& r, const TLoginSource& source) {
  auto account = std::make_shared<TAccountCheck>();
  TLoginChecks::TCheck check = [account, storage = ctx.Server().Storage, serverId = ctx.ServerId(),
                                name = r.LoginName.str(),
                                password = r.Password.str()](const TPasswordCheckPool::TVerify& verify) {
    const TPasswordVerifier compare = [&](const std::string& stored) {
      return verify(stored, password) ? pcMatch : pcMismatch;
    };
    account->Outcome = DBCheckLogin(storage, serverId, name, compare, &account->Account);
    return account->Outcome == loAccepted ? pcMatch : pcMismatch;
  };
  TLoginChecks::TFinish finish = [account, r, source](TListenerContext& back, TPasswordCheck) {
    FinishLoginStep1(back, r, source, 0, loAccepted, account.get());
  };
  ctx.LoginChecks().Start(ctx.PasswordChecks(), source.Ip, source.Port, std::move(check), std::move(finish));
}

// The verdict. code and outcome: a refusal decided before the accounts
// (locked out, old version); account: what the check found, nullptr for an
// anonymous login.
void FinishLoginStep1(TListenerContext& ctx, const TLoginRequest& r, const TLoginSource& source, int32_t code,
                      TLoginOutcome outcome, TAccountCheck* account) {
  std::unique_ptr<TClientRec> rec = NewClient();
  rec->ConnectionId = ctx.Clients().GetNewConnectionID();
  rec->ClientName = r.ClientName;
  rec->ClientPlatform = r.ClientPlatform;
  rec->ClientVersion = r.Version;
  rec->LoginComplete = false;
  const bool lockedOut = outcome == loLockedOut;
  if (code == 0) {
    code = ReadLoginIdentity(ctx, *rec, r, account);
    if (code == lcLoginNameInUse) outcome = loLoginNameInUse;
    if (code == lcServerFull) outcome = loBusy;  // no guess was checked: not a failure
    if (code == lcNoAccount) {
      CountLoginFailure(ctx, source);
      // Only the log tells them apart; the client hears -21 for all.
      outcome = account->Outcome;
    }
  }
  // A refusal shows the id the player would have had, without taking it.
  rec->PlayerId = ctx.Clients().PeekPlayerId();
  const TServerSettings settings = ctx.Server().Settings();
  if (outcome != loBusy && !rec->IsRegistered() && !settings.Password.empty() && r.Password != settings.Password) {
    if (!lockedOut) {
      CountLoginFailure(ctx, source);
      outcome = loWrongPassword;
    }
    code = lcBadLogin;
  }
  if (ctx.Server().IsIpBanned(source.Ip)) {
    code = lcBanned;
    outcome = loBanned;
  }
  if (code != 0) {
    ctx.LogAccess(RemoteLine("client disconnected, reason {} [IP: {}, Nick: {}, LoginName: {}, Version: {}]",
                             LoginRefusalReason(code), source.Ip, rec->NickName.str(), rec->LoginName.str(),
                             VersionText(*rec)));
    AuditRefusedLogin(liVoice, outcome, source.Ip, rec->LoginName.str(), kLoginCategory);
    TServerCounters::Add(ctx.Server().Counters.LoginsRefused);
    SendRefusal(ctx, NewLoginReply(*rec, code), source);
    return;
  }
  AdmitLogin(ctx, std::move(rec), r, settings, source);
}

}  // namespace

// Wrong passwords and unknown login names count against the address; the
// lock they lead to is logged once.
namespace {

void CountLoginFailure(TListenerContext& ctx, const TLoginSource& source) {
  const TFailureLimits limits = GetSettings().LoginFailureLimits;
  if (!ctx.Server().LoginFailures.CountFailure(source.Ip, limits)) return;
  AuditLockOut(liVoice, source.Ip, limits.Failures, limits.LockSeconds / 60, kLoginCategory);
}

}  // namespace

// A refused request gets its verdict without a connection: the reply goes
// straight to the request's address, numbered as a connection's first
// control packet would be.
namespace {

void SendRefusal(TListenerContext& ctx, TPacketPtr reply, const TLoginSource& source) {
  reply->SetSequence(2);
  reply->SetPeer(source.Ip, source.Port);
  try {
    ctx.Buffer().SendConnectionless(std::move(reply));
  } catch (const std::exception& e) {
    ctx.LogError(fmt::format("SendPacket Exception: {}", ExceptionText(e)));
  }
}

}  // namespace

// The names and, for an account, its privileges from what its check found.
// 0 or a code; lcServerFull when the check was busy.
namespace {

int32_t ReadLoginIdentity(TListenerContext& ctx, TClientRec& rec, const TLoginRequest& r, TAccountCheck* account) {
  rec.LoginName = r.LoginName;
  rec.LoginPassword = r.Password;
  rec.NickName = r.NickName;
  rec.LastActivity = rec.LoginTime = Now();
  rec.ChannelId = -1;
  rec.ChannelPrivileges = rec.PlayerPrivileges = rec.PlayerFlags = 0;
  int32_t code = 0;
  if (account && account->Outcome == loAccepted && account->Account) {
    const TClientRec& stored = *account->Account;
    rec.PlayerPrivileges = static_cast<uint16_t>((stored.PlayerPrivileges | spRegistered) & ~spAllowRegistration);
    rec.Created = stored.Created;
    rec.StorageClientId = stored.StorageClientId;
    if (ctx.Clients().isLoggedIn(rec.LoginName)) code = lcLoginNameInUse;
  } else if (account) {
    code = account->Outcome == loBusy ? lcServerFull : lcNoAccount;
  }
  if (r.UniqueNick != 0) rec.NickName = GetGuestPlayerName(ctx, rec.NickName);
  return code;
}

}  // namespace

// The full reply; an accepted player joins the list.
namespace {

void AdmitLogin(TListenerContext& ctx, std::unique_ptr<TClientRec> rec, const TLoginRequest& r,
                const TServerSettings& settings, const TLoginSource& source) {
  int32_t result = lcAccepted;
  TLoginOutcome outcome = loAccepted;
  auto refuse = [&](int32_t code, TLoginOutcome why) {
    result = code;
    outcome = why;
  };
  if (ctx.Clients().Count() >= settings.MaxUsers) {
    refuse(lcServerFull, loServerFull);
  } else if (r.ServerPasswordFlag == 1 && !settings.Password.empty() && r.Password != settings.Password) {
    CountLoginFailure(ctx, source);
    refuse(lcBadLogin, loWrongPassword);
  }
  const std::string trimmed = Trim(rec->NickName.str());
  if (ctx.Clients().GetClientByNickName(rec->NickName)) refuse(lcNickNameInUse, loNickNameInUse);
  if (trimmed.empty()) refuse(lcBadLogin, loBadName);
  if (ctx.Server().IsBadName && ctx.Server().IsBadName(LowerCase(trimmed))) refuse(lcBadLogin, loBadName);

  if (result != lcAccepted) {
    TPacketPtr refusal = NewLoginReply(*rec, result);
    FillLoginReply(*refusal, settings, result);
    AuditRefusedLogin(liVoice, outcome, source.Ip, rec->LoginName.str(), kLoginCategory);
    TServerCounters::Add(ctx.Server().Counters.LoginsRefused);
    SendRefusal(ctx, std::move(refusal), source);
    return;
  }
  CountLogin(liVoice, loAccepted);
  TServerCounters::Add(ctx.Server().Counters.LoginsAccepted);
  rec->PlayerId = ctx.Clients().NextPlayerId();
  ctx.Buffer().AddConnection(rec->PlayerId, rec->ConnectionId, 1, source.Port, source.Ip);
  ctx.Buffer().LimitUntilVerified(rec->PlayerId, source.RequestSize);
  TPacketPtr reply = NewLoginReply(*rec, result);
  FillLoginReply(*reply, settings, result);
  ctx.SendPacket(std::move(reply));
  ctx.LogAccess(RemoteLine("client connected [IP: {}, Nick: {}, LoginName: {}, Version: {}]", source.Ip,
                           rec->NickName.str(), rec->LoginName.str(), VersionText(*rec)));
  if (!ctx.Clients().AddClient(std::move(rec))) ctx.LogError("CMD_cs_LoginStep1: player id already in use");
}

}  // namespace

std::string GetGuestPlayerName(const TListenerContext& ctx, std::string_view nick) {
  auto taken = [&ctx](const std::string& name) { return ctx.Clients().GetClientByNickName(name) != nullptr; };
  auto firstFree = [&taken](std::string_view base) {
    for (int n = 1;; ++n) {
      std::string candidate = fmt::format("{}{}", base, n);
      if (!taken(candidate)) return candidate;
    }
  };
  if (Trim(nick).empty()) return firstFree("Guest");
  std::string name(nick);
  if (!taken(name)) return name;
  // A nick name holds 29 characters: a number that would be cut off would
  // give back the name that is in use.
  std::string numbered = firstFree(name);
  return numbered.size() > kShortTextMax ? firstFree("Guest") : numbered;
}

// ---------------------------------------------------------------------------
// CMD_cs_LoginStep3: the channel choice, then the lists

int32_t CMD_cs_LoginStep3(TListenerContext& ctx, TClientRec* player, TPacket& p) {
  if (!player) {
    ctx.RequestDisconnect();
    return 0;
  }
  // A second CMD_cs_LoginStep3 would put the player into a second channel's member list.
  if (player->LoginComplete) return 0;
  if (p.Size() < LoginStep3Layout::Size) throw EStreamError("Stream read error");
  player->LoginStep3Flag = p.GetU8(LoginStep3Layout::Step3Flag) == 1;
  if (player->LoginStep3Flag) {
    ctx.RequestDisconnect();
    return 0;
  }
  p.SetPosition(LoginStep3Layout::Channel);
  const TText29 channelName = p.ReadText(kShortTextField);
  const TText29 subChannelName = p.ReadText(kShortTextField);
  const TText29 password = p.ReadText(kShortTextField);
  const int32_t bandwidth = static_cast<int32_t>(p.GetU32(LoginStep3Layout::UploadBandwidth));
  if (!JoinLoginChannel(ctx, *player, channelName, subChannelName, password)) {
    ctx.RequestDisconnect();
    return 0;
  }
  player->UploadBandwidth = bandwidth;
  ctx.Buffer().SetBandwidthLimit(player->PlayerId, bandwidth);
  CMD_sc_LoginStep4(ctx, *player);
  CMD_sc_LoginStep5(ctx, *player);
  CMD_sc_LoginStep6(ctx, *player);
  return 0;
}

// False when the player must be disconnected.
namespace {

bool JoinLoginChannel(TListenerContext& ctx, TClientRec& player, const std::string& channelName,
                      const std::string& subChannelName, const std::string& password) {
  TChannelRec* channel = nullptr;
  if (!channelName.empty()) channel = ctx.Channels().GetChannelByName(channelName, -1);
  if (channel && !subChannelName.empty()) channel = ctx.Channels().GetChannelByName(subChannelName, channel->Id);
  if (!channel) channel = ctx.Channels().GetDefaultChannelAsPointer();
  if (!channel) return true;  // no channel at all: the login goes on without one
  if (CheckChannelJoin(ctx, channel->Id, password) != 0) {
    channel = ctx.Channels().GetDefaultChannelAsPointer();
    if (!channel) return false;
  }
  ctx.Channels().ClientJoinedChannel(channel, &player);
  player.ChannelId = channel->Id;
  SetPlayerChannelFlagsAndPrivileges(ctx, channel, &player);
  return true;
}

}  // namespace

void CMD_sc_LoginStep4(TListenerContext& ctx, const TClientRec& to) {
  TPacketPtr p;
  for (const auto& channel : ctx.Channels().Items()) {
    if (!p) {
      p = NewCommandPacket(qv::CMD_sc_LoginStep4, to.ConnectionId, to.PlayerId);
      p->WriteU32(0);
    }
    p->WriteI32(channel->Id);
    p->WriteU16(channel->Flags);
    p->WriteU16(channel->Codec);
    p->WriteI32(channel->ParentId);
    p->WriteU16(channel->Order);
    p->WriteU16(channel->MaxUsers);
    p->WriteCString(channel->Name);
    p->WriteCString(channel->Topic);
    p->WriteCString(channel->Description);
    p->SetU32(24, p->GetU32(24) + 1);
    if (p->Size() > kChannelListFlushSize) ctx.SendPacket(std::move(p));
  }
  if (p) ctx.SendPacket(std::move(p));
}

void CMD_sc_LoginStep5(TListenerContext& ctx, const TClientRec& to) {
  std::vector<const TClientRec*> inView;
  for (const auto& player : ctx.Clients().Items()) {
    if (CheckClientInView(ctx, player.get(), &to)) inView.push_back(player.get());
  }
  SendPlayerEntries(ctx, to, qv::CMD_sc_LoginStep5, inView);
}

void CMD_sc_LoginStep6(TListenerContext& ctx, TClientRec& to) {
  TPacketPtr p = NewCommandPacket(qv::CMD_sc_LoginStep6, to.ConnectionId, to.PlayerId);
  p->SetSize(kLoginStep6Size);
  ctx.SendPacket(std::move(p));
  NotifyPlayerEnteredScope(ctx, to.PlayerId);
  to.LoginComplete = true;
  ctx.Server().LoginsSinceNotify.fetch_add(1);
}

int32_t CMD_cs_PlayerQuit(TListenerContext& ctx, TClientRec*, TPacket& request) {
  NotifyPlayerLeftScope(ctx, request.PlayerId(), lrLeftServer, "", 0);
  return 0;
}

}  // namespace qv::voice
