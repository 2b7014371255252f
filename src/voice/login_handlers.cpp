// Login and logout: the login steps, the quit, the external login, and the
// announcements of arriving and leaving players.
#include <fmt/format.h>

#include "base/log.h"
#include "base/login_audit.h"
#include "base/text_utils.h"
#include "model/accounts.h"
#include "model/process_settings.h"
#include "protocol/command_types.h"
#include "voice/udp_listener.h"

namespace qv {

namespace {



constexpr size_t kPermissionSetBytes = 11;


constexpr size_t kChannelListFlushSize = 472;  // with the next head it could pass 560
constexpr size_t kPlayerListSize = 468;
constexpr size_t kPlayersPerPacket = 10;
constexpr size_t kLoginStep6Size = 280;
// Logins whose peer has not yet answered the verdict.
constexpr int kPendingLoginsPerAddress = 4;
constexpr int kPendingLoginsTotal = 256;
constexpr const char* kLoginCategory = "UDP Listener";

}  // namespace

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

namespace {

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

std::string VersionText(const TClientRec& r) {
  return fmt::format("{}.{}.{}.{}", r.ClientVersion[0], r.ClientVersion[1], r.ClientVersion[2],
                     r.ClientVersion[3]);
}

TPacketPtr NewPlayerListPacket(const TClientRec& to, uint16_t commandType) {
  TPacketPtr p = NewCommandPacket(commandType, to.ConnectionId, to.PlayerId);
  p->SetSize(kPlayerListSize);
  p->SetPosition(28);
  return p;
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

void WritePlayerEntry(TPacket& p, const TClientRec& player) {
  p.WriteU32(player.PlayerId);
  p.WriteI32(player.ChannelId);
  p.WriteU16(player.ChannelPrivileges);
  p.WriteU16(player.PlayerPrivileges);
  p.WriteU16(player.PlayerFlags);
  p.WriteText(player.NickName, kShortTextField);
}

TPacketPtr NewLeftScopePacket(const TClientRec& to, uint32_t playerId, uint16_t reason,
                              std::string_view reasonText, uint32_t actingPlayerId) {
  TPacketPtr packet = NewCommandPacket(qv::CMD_sc_NotifyPlayerLeftScope, to.ConnectionId, to.PlayerId);
  packet->SetSize(LeftScopeLayout::Size);
  packet->SetU32(LeftScopeLayout::PlayerId, playerId);
  packet->SetU16(LeftScopeLayout::Reason, reason);
  packet->SetU32(LeftScopeLayout::ActingPlayerId, actingPlayerId);
  packet->SetPosition(LeftScopeLayout::ReasonText);
  packet->WriteText(reasonText, kShortTextField);
  return packet;
}

// ---------------------------------------------------------------------------
// Step 1: the request and the verdict

int32_t TQVUDPListener::CMD_cs_LoginStep1(TClientRec*, TPacket& request) {
  // Logins in progress are bounded per address and in total; beyond that a
  // request is dropped without reply or player id.
  const auto pending = Buffer().PendingLogins(request.PeerIp());
  if (pending.FromAddress >= kPendingLoginsPerAddress || pending.Total >= kPendingLoginsTotal) return 0;
  TLoginRequest r = ReadLoginRequest(request);
  std::unique_ptr<TClientRec> rec = NewClient();
  rec->ConnectionId = Clients().GetNewConnectionID();
  rec->ClientName = r.ClientName;
  rec->ClientPlatform = r.ClientPlatform;
  rec->ClientVersion = r.Version;
  rec->LoginComplete = false;
  int32_t code = 0;
  TLoginOutcome outcome = loAccepted;  // what the refused-login line names
  const TFailureLimits limits = GetSettings().LoginFailureLimits;
  const bool lockedOut = server_.LoginFailures.Refused(request.PeerIp(), limits);
  if (lockedOut) {
    code = lcBadLogin;  // not even the accounts are consulted
    outcome = loLockedOut;
  } else if (r.Version[2] < 28 && r.Version[3] < 40) {
    code = lcVersionNotSupported;
    outcome = loVersionNotSupported;
  } else {
    code = ReadLoginIdentity(*rec, r);
    if (code == lcLoginNameInUse) outcome = loLoginNameInUse;
    if (code == lcNoAccount) {
      CountLoginFailure(request);
      // Only the log tells the two apart; the client hears -21 for both.
      const bool known = DBLoadUser(server_.Storage, server_.ServerId, rec->LoginName.str()) != nullptr;
      outcome = known ? loWrongPassword : loUnknownAccount;
    }
  }
  // A refusal shows the id the player would have had, without taking it.
  rec->PlayerId = Clients().PeekPlayerId();
  const TServerSettings settings = server_.Settings();
  if (!rec->IsRegistered() && !settings.Password.empty() && r.Password != settings.Password) {
    if (!lockedOut) {
      CountLoginFailure(request);
      outcome = loWrongPassword;
    }
    code = lcBadLogin;
  }
  if (server_.IsIpBanned(request.PeerIp())) {
    code = lcBanned;
    outcome = loBanned;
  }
  if (code != 0) {
    LogAccess(RemoteLine("client disconnected, reason {} [IP: {}, Nick: {}, LoginName: {}, Version: {}]",
                         LoginRefusalReason(code), request.PeerIp(), rec->NickName.str(), rec->LoginName.str(),
                         VersionText(*rec)));
    AuditRefusedLogin(liVoice, outcome, request.PeerIp(), rec->LoginName.str(), kLoginCategory);
    TServerCounters::Add(server_.Counters.LoginsRefused);
    SendRefusal(NewLoginReply(*rec, code), request);
    return 0;
  }
  AdmitLogin(std::move(rec), r, settings, request);
  return 0;
}

// Wrong passwords and unknown login names count against the address; the
// lock they lead to is logged once.
void TQVUDPListener::CountLoginFailure(const TPacket& request) {
  const TFailureLimits limits = GetSettings().LoginFailureLimits;
  if (!server_.LoginFailures.CountFailure(request.PeerIp(), limits)) return;
  AuditLockOut(liVoice, request.PeerIp(), limits.Failures, limits.LockSeconds / 60, kLoginCategory);
}

// A refused request gets its verdict without a connection: the reply goes
// straight to the request's address, numbered as a connection's first
// control packet would be.
void TQVUDPListener::SendRefusal(TPacketPtr reply, const TPacket& request) {
  reply->SetSequence(2);
  reply->SetPeer(request.PeerIp(), request.PeerPort());
  try {
    Buffer().SendConnectionless(std::move(reply));
  } catch (const std::exception& e) {
    LogError(fmt::format("SendPacket Exception: {}", ExceptionText(e)));
  }
}

// Steps 4 to 6: the names and, for an account, its privileges. 0 or a code.
int32_t TQVUDPListener::ReadLoginIdentity(TClientRec& rec, const TLoginRequest& r) {
  rec.LoginName = r.LoginName;
  rec.LoginPassword = r.Password;
  rec.NickName = r.NickName;
  rec.LastActivity = rec.LoginTime = Now();
  rec.ChannelId = -1;
  rec.ChannelPrivileges = rec.PlayerPrivileges = rec.PlayerFlags = 0;
  int32_t code = 0;
  if (!rec.LoginName.empty()) {
    if (std::unique_ptr<TClientRec> account = Clients().DBValidLogin(rec.LoginName, rec.LoginPassword)) {
      rec.PlayerPrivileges =
          static_cast<uint16_t>((account->PlayerPrivileges | spRegistered) & ~spAllowRegistration);
      rec.Created = account->Created;
      rec.StorageClientId = account->StorageClientId;
      if (Clients().isLoggedIn(rec.LoginName)) code = lcLoginNameInUse;
    } else {
      code = lcNoAccount;
    }
  }
  if (r.UniqueNick != 0) rec.NickName = GetGuestPlayerName(rec.NickName);
  return code;
}

// Step 12 and 13: the full reply; an accepted player joins the list.
void TQVUDPListener::AdmitLogin(std::unique_ptr<TClientRec> rec, const TLoginRequest& r,
                                const TServerSettings& settings, const TPacket& request) {
  int32_t result = lcAccepted;
  TLoginOutcome outcome = loAccepted;
  auto refuse = [&](int32_t code, TLoginOutcome why) {
    result = code;
    outcome = why;
  };
  if (Clients().Count() >= settings.MaxUsers) {
    refuse(lcServerFull, loServerFull);
  } else if (r.ServerPasswordFlag == 1 && !settings.Password.empty() && r.Password != settings.Password) {
    CountLoginFailure(request);
    refuse(lcBadLogin, loWrongPassword);
  }
  const std::string trimmed = Trim(rec->NickName.str());
  if (Clients().GetClientByNickName(rec->NickName)) refuse(lcNickNameInUse, loNickNameInUse);
  if (trimmed.empty()) refuse(lcBadLogin, loBadName);
  if (server_.IsBadName && server_.IsBadName(LowerCase(trimmed))) refuse(lcBadLogin, loBadName);

  if (result != lcAccepted) {
    TPacketPtr refusal = NewLoginReply(*rec, result);
    FillLoginReply(*refusal, settings, result);
    AuditRefusedLogin(liVoice, outcome, request.PeerIp(), rec->LoginName.str(), kLoginCategory);
    TServerCounters::Add(server_.Counters.LoginsRefused);
    SendRefusal(std::move(refusal), request);
    return;
  }
  CountLogin(liVoice, loAccepted);
  TServerCounters::Add(server_.Counters.LoginsAccepted);
  rec->PlayerId = Clients().NextPlayerId();
  Buffer().AddConnection(rec->PlayerId, rec->ConnectionId, 1, request.PeerPort(), request.PeerIp());
  Buffer().LimitUntilVerified(rec->PlayerId, static_cast<uint32_t>(request.Size()));
  TPacketPtr reply = NewLoginReply(*rec, result);
  FillLoginReply(*reply, settings, result);
  SendPacket(std::move(reply));
  LogAccess(RemoteLine("client connected [IP: {}, Nick: {}, LoginName: {}, Version: {}]", request.PeerIp(),
                        rec->NickName.str(), rec->LoginName.str(), VersionText(*rec)));
  if (!Clients().AddClient(std::move(rec))) LogError("CMD_cs_LoginStep1: player id already in use");
}

std::string TQVUDPListener::GetGuestPlayerName(std::string_view nick) const {
  auto taken = [this](const std::string& name) { return Clients().GetClientByNickName(name) != nullptr; };
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
// Step 3: the channel choice, then the lists

int32_t TQVUDPListener::CMD_cs_LoginStep3(TClientRec* player, TPacket& p) {
  if (!player) {
    RequestDisconnect();
    return 0;
  }
  // A second step 3 would put the player into a second channel's member list.
  if (player->LoginComplete) return 0;
  if (p.Size() < LoginStep3Layout::Size) throw EStreamError("Stream read error");
  player->LoginStep3Flag = p.GetU8(LoginStep3Layout::Step3Flag) == 1;
  if (player->LoginStep3Flag) {
    RequestDisconnect();
    return 0;
  }
  p.SetPosition(LoginStep3Layout::Channel);
  const TText29 channelName = p.ReadText(kShortTextField);
  const TText29 subChannelName = p.ReadText(kShortTextField);
  const TText29 password = p.ReadText(kShortTextField);
  const int32_t bandwidth = static_cast<int32_t>(p.GetU32(LoginStep3Layout::UploadBandwidth));
  if (!JoinLoginChannel(*player, channelName, subChannelName, password)) {
    RequestDisconnect();
    return 0;
  }
  player->UploadBandwidth = bandwidth;
  Buffer().SetBandwidthLimit(player->PlayerId, bandwidth);
  CMD_sc_LoginStep4(*player);
  CMD_sc_LoginStep5(*player);
  CMD_sc_LoginStep6(*player);
  return 0;
}

// False when the player must be disconnected.
bool TQVUDPListener::JoinLoginChannel(TClientRec& player, const std::string& channelName,
                                      const std::string& subChannelName, const std::string& password) {
  TChannelRec* channel = nullptr;
  if (!channelName.empty()) channel = Channels().GetChannelByName(channelName, -1);
  if (channel && !subChannelName.empty()) channel = Channels().GetChannelByName(subChannelName, channel->Id);
  if (!channel) channel = Channels().GetDefaultChannelAsPointer();
  if (!channel) return true;  // no channel at all: the login goes on without one
  if (CheckChannelJoin(channel->Id, password) != 0) {
    channel = Channels().GetDefaultChannelAsPointer();
    if (!channel) return false;
  }
  Channels().ClientJoinedChannel(channel, &player);
  player.ChannelId = channel->Id;
  SetPlayerChannelFlagsAndPrivileges(channel, &player);
  return true;
}

void TQVUDPListener::CMD_sc_LoginStep4(const TClientRec& to) {
  TPacketPtr p;
  for (const auto& channel : Channels().Items()) {
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
    if (p->Size() > kChannelListFlushSize) SendPacket(std::move(p));
  }
  if (p) SendPacket(std::move(p));
}

void TQVUDPListener::CMD_sc_LoginStep5(const TClientRec& to) {
  std::vector<const TClientRec*> inView;
  for (const auto& player : Clients().Items()) {
    if (CheckClientInView(player.get(), &to)) inView.push_back(player.get());
  }
  SendPlayerEntries(to, qv::CMD_sc_LoginStep5, inView);
}

void TQVUDPListener::SendPlayerEntries(const TClientRec& to, uint16_t commandType,
                                       const std::vector<const TClientRec*>& players) {
  for (size_t first = 0; first < players.size(); first += kPlayersPerPacket) {
    const size_t count = std::min(kPlayersPerPacket, players.size() - first);
    TPacketPtr p = NewPlayerListPacket(to, commandType);
    p->SetU32(24, static_cast<uint32_t>(count));
    for (size_t i = first; i < first + count; ++i) WritePlayerEntry(*p, *players[i]);
    SendPacket(std::move(p));
  }
}

void TQVUDPListener::CMD_sc_LoginStep6(TClientRec& to) {
  TPacketPtr p = NewCommandPacket(qv::CMD_sc_LoginStep6, to.ConnectionId, to.PlayerId);
  p->SetSize(kLoginStep6Size);
  SendPacket(std::move(p));
  NotifyPlayerEnteredScope(to.PlayerId);
  to.LoginComplete = true;
  server_.LoginsSinceNotify.fetch_add(1);
}

int32_t TQVUDPListener::CMD_cs_PlayerQuit(TClientRec*, TPacket& request) {
  NotifyPlayerLeftScope(request.PlayerId(), lrLeftServer, "", 0);
  return 0;
}

}  // namespace qv
