#include "model/client_object.h"

#include <fmt/format.h>

#include "base/exception.h"
#include "base/log.h"
#include "model/accounts.h"

namespace qv {

namespace {

constexpr int kMuteListBuckets = 8;
constexpr const char* kLogCategory = "CLIENT";

// Record helpers belong to no server, so their lines carry no "SID: " prefix.
void LogHelperFailure(std::string_view operation, const std::exception& e) {
  LogMsg(lmtError, lmdAll, fmt::format("{} Exception: {}", operation, ExceptionText(e)), kLogCategory);
}

}  // namespace

// --- TClientRec ---

TClientRec::TClientRec() = default;
TClientRec::~TClientRec() = default;

TClientRec::TClientRec(const TClientRec& other) { *this = other; }

TClientRec& TClientRec::operator=(const TClientRec& other) {
  if (this == &other) return *this;
  ConnectionId = other.ConnectionId;
  PlayerId = other.PlayerId;
  ChannelId = other.ChannelId;
  ChannelPrivileges = other.ChannelPrivileges;
  PlayerPrivileges = other.PlayerPrivileges;
  PlayerFlags = other.PlayerFlags;
  NickName = other.NickName;
  ClientName = other.ClientName;
  ClientPlatform = other.ClientPlatform;
  ClientVersion = other.ClientVersion;
  LoginName = other.LoginName;
  LoginPassword = other.LoginPassword;
  PasswordHash = other.PasswordHash;
  Created = other.Created;
  LoginStep3Flag = other.LoginStep3Flag;
  Removing = other.Removing;
  LastActivity = other.LastActivity;
  LoginTime = other.LoginTime;
  UploadBandwidth = other.UploadBandwidth;
  LoginComplete = other.LoginComplete;
  StorageClientId = other.StorageClientId;
  MuteList = other.MuteList ? std::make_unique<TMuteList>(*other.MuteList) : nullptr;
  return *this;
}

// --- record helpers ---

std::unique_ptr<TClientRec> NewClient() {
  try {
    auto rec = std::make_unique<TClientRec>();
    rec->MuteList = std::make_unique<TMuteList>(kMuteListBuckets);
    return rec;
  } catch (const std::exception& e) {
    LogHelperFailure("NewClient", e);
    return nullptr;
  }
}

void FreeAndClearClient(std::unique_ptr<TClientRec>& rec) { rec.reset(); }

bool AddToPlayerMuteList(TClientRec* rec, uint32_t id) {
  try {
    if (!rec || !rec->MuteList || rec->MuteList->Contains(id)) return false;
    rec->MuteList->Add(id, nullptr);
    return true;
  } catch (const std::exception& e) {
    LogHelperFailure("AddToPlayerMuteList", e);
    return false;
  }
}

bool RemoveFromPlayerMuteList(TClientRec* rec, uint32_t id) {
  try {
    if (!rec || !rec->MuteList || !rec->MuteList->Contains(id)) return true;
    rec->MuteList->Remove(id);
    return false;
  } catch (const std::exception& e) {
    LogHelperFailure("RemoveFromPlayerMuteList", e);
    return true;
  }
}

bool ClientInClientMuteList(const TClientRec* rec, uint32_t id) {
  return rec && rec->MuteList && rec->MuteList->Contains(id);
}

// --- TClients ---

TClients::TClients(int32_t serverId, TScriptStorage storage)
    : serverId_(serverId), storage_(std::move(storage)) {}

TClients::~TClients() = default;

void TClients::Lock() {
  mutex_.lock();
  locked_ = true;
}

bool TClients::try_lock() {
  if (!mutex_.try_lock()) return false;
  locked_ = true;
  return true;
}

void TClients::Unlock() {
  locked_ = false;
  mutex_.unlock();
}

void TClients::LogFailure(std::string_view operation, const std::exception& e) const {
  LogMsg(lmtError, lmdAll,
         fmt::format("SID: {} {} Exception: {}", serverId_, operation, ExceptionText(e)),
         kLogCategory);
}

bool TClients::AddClient(std::unique_ptr<TClientRec>&& rec) {
  if (!rec) return false;
  try {
    const uint32_t id = rec->PlayerId;
    list_.Add(std::move(rec), id);
    return true;
  } catch (const std::exception& e) {
    LogFailure("AddClient", e);
    return false;
  }
}

std::unique_ptr<TClientRec> TClients::DeleteClient(const TClientRec* rec) {
  if (!rec || list_.Get(rec->PlayerId) != rec) return nullptr;
  try {
    return list_.Remove(rec->PlayerId);
  } catch (const std::exception& e) {
    LogFailure("DeleteClient", e);
    return nullptr;
  }
}

TClientRec* TClients::GetClientByID(uint32_t id) const { return list_.Get(id); }

TClientRec* TClients::GetClientByNickName(std::string_view name) const {
  for (const auto& rec : list_.Items()) {
    if (rec->NickName == name) return rec.get();
  }
  return nullptr;
}

bool TClients::isLoggedIn(std::string_view name) const {
  if (name.empty()) return false;
  for (const auto& rec : list_.Items()) {
    if (rec->LoginName == name) return true;
  }
  return false;
}

uint32_t TClients::PeekPlayerId() const {
  uint32_t id = lastPlayerId_;
  do {
    ++id;
    if (id == 0) id = 1;
  } while (GetClientByID(id) && id != lastPlayerId_);
  return id;
}

uint32_t TClients::NextPlayerId() { return lastPlayerId_ = PeekPlayerId(); }

uint32_t TClients::GetNewConnectionID() {
  // 0 is what login packets carry before a session exists, so it is never a
  // session key.
  std::uniform_int_distribution<uint32_t> draw(1, kMaxConnectionId);
  uint32_t id = 0;
  try {
    for (;;) {
      id = draw(random_);
      bool taken = false;
      for (const auto& rec : list_.Items()) {
        if (rec->ConnectionId == id) {
          taken = true;
          break;
        }
      }
      if (!taken) return id;
    }
  } catch (const std::exception& e) {
    LogFailure("GetNewConnectionID", e);
    return id;
  }
}

std::unique_ptr<TClientRec> TClients::DBValidLogin(std::string_view name, std::string_view password) {
  std::unique_ptr<TClientRec> account;
  DBCheckLogin(storage_, serverId_, name, PasswordVerifier(password, nullptr), &account);
  return account;
}

int TClients::DBAddUser(TClientRec& rec) { return qv::DBAddUser(storage_, serverId_, rec); }
void TClients::DBSaveUser(TClientRec& rec) { qv::DBSaveUser(storage_, serverId_, rec); }
void TClients::DBDeleteUser(TClientRec& rec) { qv::DBDeleteUser(storage_, serverId_, rec); }
void TClients::DBDeleteUser(int32_t clientId) { qv::DBDeleteUser(storage_, serverId_, clientId); }
std::unique_ptr<TClientRec> TClients::DBLoadUser(int32_t clientId) {
  return qv::DBLoadUser(storage_, serverId_, clientId);
}

}  // namespace qv
