#include "model/server_object.h"

#include <chrono>
#include <cmath>

#include <fmt/format.h>

#include "base/log.h"
#include "base/version.h"
#include "model/process_settings.h"

namespace qv {

const char* const kDefaultServerName = "Quillvane Server";
const char* const kDefaultWelcomeMessage =
    "[Welcome to Quillvane, the self-hosted voice chat. See the project page for news.]";

namespace {

constexpr const char* kLogCategory = "TServerObject";

// The codec a new channel tree gets, best first; Speex is never the default.
constexpr std::array<TCodec, 5> kDefaultCodecPreference{codecGSM164, codecGSM148, codecCelp63,
                                                       codecCelp52, codecCelp51};

void LogServer(TLogMessageType type, TLogMessageDepth depth, int32_t serverId, const std::string& text) {
  LogMsg(type, depth, fmt::format("SID: {} {}", serverId, text), kLogCategory);
}

}  // namespace

uint32_t TServerSettings::CodecMask() const {
  uint32_t mask = 0;
  for (int i = 0; i < kCodecCount; ++i) {
    if (AllowCodec[static_cast<size_t>(i)]) mask |= 1u << i;
  }
  return mask;
}

TServerSettings DefaultServerSettings() {
  TServerSettings s;
  s.UdpPort = kDefaultUdpPort;
  s.Name = kDefaultServerName;
  s.Platform = PlatformText();
  s.Version = {kVersionMajor, kVersionMinor, kVersionRelease, kVersionBuild};
  s.ServerFlags = sfClan;
  s.WelcomeMessage = kDefaultWelcomeMessage;
  s.AllowCodec.fill(true);
  s.MaxUsers = 8;
  return s;
}

bool SaveSettings(const TScriptStorage& storage, int32_t serverId, const TServerSettings& settings) {
  if (!storage.Valid()) return false;
  try {
    TStorageLock lock(*storage);
    if (!storage.Load("edit_server.sql")) return false;
    storage->SetParamInteger(":iServerID", serverId);
    storage->SetParamInteger(":iMaxUser", settings.MaxUsers);
    storage->SetParamInteger(":iServerPort", settings.UdpPort);
    storage->SetParamBool(":bActive", true);
    storage->SetParamBool(":bClanServer", settings.IsClan());
    for (size_t i = 0; i < kCodecTable.size(); ++i) {
      storage->SetParamBool(kCodecTable[i].Param, settings.AllowCodec[i]);
    }
    storage->SetParamString(":sName", settings.Name.str());
    storage->SetParamString(":sWelcome", settings.WelcomeMessage.str());
    storage->SetParamString(":sPassword", settings.Password.str());
    storage->SetParamString(":sWebPostURL", settings.WebPostUrl.str());
    storage->SetParamString(":sWebLinkURL", settings.WebLinkUrl.str());
    return storage->ExecSQL();
  } catch (const std::exception& e) {
    LogServer(lmtError, lmdAll, serverId, "SaveSettings Exception: " + ExceptionText(e));
    return false;
  }
}

int32_t CreateServerRow(const TScriptStorage& storage, uint32_t port) {
  if (!storage.Valid()) return 0;
  try {
    TStorageLock lock(*storage);
    if (!storage.Load("new_server.sql")) return 0;
    storage->SetParamInteger(":iServerPort", port);
    storage->SetParamDateTime(":dtServerCreated", Now());
    storage->SetParamString(":sNode", GetSettings().NodeName);
    if (!storage->ExecSQL()) return 0;
    return static_cast<int32_t>(storage->GetLastInsertID());
  } catch (const std::exception& e) {
    LogMsg(lmtError, lmdAll, "CreateServerRow Exception: " + ExceptionText(e), kLogCategory);
    return 0;
  }
}

std::string FormatUptime(uint64_t seconds) {
  const uint64_t days = seconds / 86400;
  const uint64_t hours = seconds / 3600 % 24;
  const uint64_t minutes = seconds / 60 % 60;
  const uint64_t secs = seconds % 60;
  if (days > 0) return fmt::format("{}D {:02}:{:02}:{:02}", days, hours, minutes, secs);
  return fmt::format("{:02}:{:02}:{:02}", hours, minutes, secs);
}

uint32_t SecondsBetween(TDateTime later, TDateTime earlier) {
  const double ms = std::llround(std::fabs(later.value - earlier.value) * 86400000.0);
  return static_cast<uint32_t>(std::llround(ms / 1000.0));
}

// ---------------------------------------------------------------------------
// TServerObject

TServerObject::TServerObject(TScriptStorage storage, TServerRegistry& registry)
    : Storage(std::move(storage)), registry_(registry), settings_(DefaultServerSettings()) {}

TServerObject::~TServerObject() { Stop(); }

TServerSettings TServerObject::Settings() const {
  std::lock_guard<std::mutex> lock(Lock);
  return settings_;
}

bool TServerObject::ChangeSettings(const std::function<void(TServerSettings&)>& change) {
  {
    std::lock_guard<std::mutex> lock(Lock);
    change(settings_);
  }
  return SaveSettings();
}

bool TServerObject::IsClanServer() const {
  std::lock_guard<std::mutex> lock(Lock);
  return settings_.IsClan();
}

bool TServerObject::HasPermission(const TClientRec* player, TUserPermissions permission) const {
  std::lock_guard<std::mutex> lock(Lock);
  return qv::HasPermission(player, permission, settings_.Permissions);
}

uint32_t TServerObject::Uptime() const {
  std::lock_guard<std::mutex> lock(Lock);
  return SecondsBetween(Now(), StartTime);
}

bool TServerObject::Start(int32_t serverId, uint32_t port) {
  if (Running.load()) return false;
  {
    std::lock_guard<std::mutex> lock(Lock);
    settings_ = DefaultServerSettings();
    StartTime = Now();
    Bans.reset();
  }
  LoginsSinceNotify = 0;
  // A new server gets its storage id before it registers, so that its id
  // never changes while other threads can find it.
  if (serverId < 1) {
    if (!CreateNewServer(port)) return false;
  } else {
    ServerId = serverId;
  }
  if (!registry_.RegisterServer(this)) {
    LogServer(lmtError, lmdAll, ServerId, "unable to register server");
    return false;
  }
  if (serverId >= 1 && !LoadStoredServer(serverId)) {
    registry_.UnregisterServer(this);  // not held by the registry while starting
    return false;
  }
  LogFmt(lmtAll, lmdInfo, "SID: %1 Starting server with port: %2", kLogCategory, ServerId, Settings().UdpPort);
  {
    std::lock_guard<std::mutex> lock(Lock);
    settings_.ServerFlags = static_cast<uint16_t>((settings_.ServerFlags & ~0x0C) | sfFreeware);
  }
  SaveSettings();
  if (!StartRuntime()) {
    registry_.UnregisterServer(this);
    return false;
  }
  Running = true;
  return true;
}

bool TServerObject::CreateNewServer(uint32_t port) {
  if (!Storage.Valid()) return false;
  TStorageLock lock(*Storage);
  const TPermissionTable permissions = DefaultPermissions();
  ServerId = CreateServerRow(Storage, kDefaultUdpPort);
  if (ServerId < 1) return false;
  {
    std::lock_guard<std::mutex> guard(Lock);
    settings_.Permissions = permissions;
    settings_.UdpPort = port == 0 ? kDefaultUdpPort : port;
  }
  for (int g = 0; g < kUserGroupCount; ++g) {
    const auto group = static_cast<TUserGroup>(g);
    qv::SaveGroupPermissions(Storage, ServerId, UserGroupName(group), permissions[group]);
  }
  return true;
}

bool TServerObject::LoadStoredServer(int32_t serverId) {
  if (!Storage.Valid()) return false;
  try {
    TStorageLock lock(*Storage);
    Storage.Load("read_server.sql");
    Storage->SetParamInteger(":iServerID", serverId);
    std::unique_ptr<TStorageContainer> rows = Storage->OpenSQL();
    if (!rows) return false;
    ReadServerRow(rows->Row());
    for (int g = 0; g < kUserGroupCount; ++g) {
      const auto group = static_cast<TUserGroup>(g);
      TPermissionSet set = ReadGroupPermissions(group);
      std::lock_guard<std::mutex> guard(Lock);
      settings_.Permissions[group] = set;
    }
    return true;
  } catch (const std::exception& e) {
    LogServer(lmtError, lmdAll, serverId, "Start Exception: " + ExceptionText(e));
    return false;
  }
}

void TServerObject::ReadServerRow(const TStorageRow& row) {
  std::lock_guard<std::mutex> lock(Lock);
  TServerSettings& s = settings_;
  s.Name = row.AsString("s_server_name");
  s.WelcomeMessage = row.AsString("s_server_welcomemessage");
  s.MaxUsers = static_cast<uint16_t>(row.AsInteger("i_server_maxusers"));
  s.UdpPort = static_cast<uint32_t>(row.AsInteger("i_server_udpport"));
  s.Password = row.AsString("s_server_password");
  if (!row.AsBoolean("b_server_clan_server")) {
    s.ServerFlags = static_cast<uint16_t>((s.ServerFlags & ~sfClan) | sfPublic);
  }
  for (size_t i = 0; i < kCodecTable.size(); ++i) s.AllowCodec[i] = row.AsBoolean(kCodecTable[i].Column);
  s.WebLinkUrl = row.AsString("s_server_weblinkurl");
  s.WebPostUrl = row.AsString("s_server_webposturl");
}

bool TServerObject::SaveSettings() { return qv::SaveSettings(Storage, ServerId, Settings()); }

TPermissionSet TServerObject::ReadGroupPermissions(TUserGroup group) {
  return qv::ReadGroupPermissions(Storage, ServerId, UserGroupName(group));
}

void TServerObject::SaveGroupPermissions(TUserGroup group, const TPermissionSet& permissions) {
  qv::SaveGroupPermissions(Storage, ServerId, UserGroupName(group), permissions);
}

void TServerObject::ReloadBans() {
  std::unique_ptr<TStorageContainer> bans;
  if (Storage.Valid()) {
    try {
      TStorageLock lock(*Storage);
      Storage.Load("read_bans.sql");
      Storage->SetParamInteger(":iServerID", ServerId);
      bans = Storage->OpenSQL();
    } catch (const std::exception& e) {
      LogServer(lmtError, lmdAll, ServerId, "ReloadBans Exception: " + ExceptionText(e));
    }
  }
  std::lock_guard<std::mutex> lock(Lock);
  Bans = std::move(bans);
}

bool TServerObject::IsIpBanned(std::string_view ip) const {
  std::lock_guard<std::mutex> lock(Lock);
  return qv::IsIpBanned(ip, Bans.get());
}

void TServerObject::SetDefaultCodec() {
  const TServerSettings settings = Settings();
  for (TCodec codec : kDefaultCodecPreference) {
    if (settings.AllowCodec[codec]) {
      Channels->DefaultCodec = codec;
      return;
    }
  }
}

// ---------------------------------------------------------------------------
// Model and network side

void TServerObject::CreateModel(int32_t serverId) {
  ServerId = serverId;
  // The tree's member lists borrow the player records: the tree goes first.
  Channels.reset();
  Clients = std::make_unique<TClients>(ServerId, Storage);
  Channels = std::make_unique<TChannels>(ServerId, Storage);
  SetDefaultCodec();
}

bool TServerObject::StartRuntime() {
  CreateModel(ServerId);
  ReloadBans();
  std::unique_lock<std::shared_mutex> hold(runtimeLock_);
  if (const TRuntimeFactory& factory = registry_.RuntimeFactory()) runtime_ = factory(*this);
  if (runtime_ && !runtime_->Start()) {
    runtime_.reset();
    return false;
  }
  return true;
}

TServerObject::TRuntimeLease TServerObject::LeaseRuntime() const {
  std::shared_lock<std::shared_mutex> hold(runtimeLock_);
  if (!Running.load() || !runtime_) return {};
  TServerRuntime* runtime = runtime_.get();
  return TRuntimeLease(std::move(hold), runtime);
}

void TServerObject::Stop() {
  {
    // Under the block's mutex: a caller of ExecuteExternalCommand that saw the
    // server running has finished waking the listener before it goes away.
    TMutexLock lock(blockMutex_);
    if (!Running) return;
    Running = false;
  }
  try {
    std::unique_lock<std::shared_mutex> hold(runtimeLock_);
    if (runtime_) runtime_->Stop();
    runtime_.reset();
  } catch (const std::exception& e) {
    LogStopFailure(e);
  }
  // Wake a caller still waiting for an external command: nobody will run it.
  blockDone_.notify_all();
}

void TServerObject::LogStopFailure(const std::exception& e) {
  LogMsg(lmtError, lmdAll,
         fmt::format("TServerObject.Stop({}) Exception: {}", ServerId, ExceptionText(e)), kLogCategory);
}

// ---------------------------------------------------------------------------
// Command block

int32_t TServerObject::ExecuteExternalCommand(const TExternalCommand& command, int timeoutMs) {
  std::lock_guard<std::mutex> serial(CommandLock);
  uint64_t ticket = 0;
  {
    TMutexLock lock(blockMutex_);
    if (!Running.load() || !runtime_) return kNoResult;
    block_ = command;
    block_.Result = kNoResult;
    ticket = ++issued_;
    runtime_->WakeListener();
  }
  TMutexLock lock(blockMutex_);
  blockDone_.wait_for(blockMutex_, std::chrono::milliseconds(timeoutMs), [&] {
    blockMutex_.AssertHeld();  // the wait hands it back before asking
    return completed_ >= ticket || !Running.load();
  });
  return completed_ == ticket ? completedResult_ : kNoResult;
}

int32_t TServerObject::MoveClientToChannel(int32_t channelId, int32_t playerId) {
  TExternalCommand command;
  command.CommandType = ecMoveClientToChannel;
  command.Argument1 = channelId;
  command.Argument2 = playerId;
  return ExecuteExternalCommand(command, kExternalCommandWaitMs);
}

int32_t TServerObject::SetUserPrivilege(int32_t playerId, uint16_t privileges) {
  TExternalCommand command;
  command.CommandType = ecSetUserPrivilege;
  command.Argument1 = playerId;
  command.Privileges = privileges;
  return ExecuteExternalCommand(command, kExternalCommandWaitMs);
}

int32_t TServerObject::NotifyChangedServerProperties(bool serverTypeChanged) {
  TExternalCommand command;
  command.CommandType = ecNotifyChangedServerProperties;
  command.ServerTypeChanged = serverTypeChanged;
  return ExecuteExternalCommand(command, kExternalCommandWaitMs);
}

bool TServerObject::CheckServerOK() {
  TExternalCommand command;
  command.CommandType = ecCheckServerOK;
  return ExecuteExternalCommand(command, kAliveCheckWaitMs) == kServerOK;
}

TExternalCommand TServerObject::TakeExternalCommand() {
  TMutexLock lock(blockMutex_);
  TExternalCommand command = block_;
  if (block_.CommandType != ecNone) {
    taken_ = issued_;
    block_ = TExternalCommand{};
  }
  command.Result = kNoResult;
  return command;
}

void TServerObject::CompleteExternalCommand(int32_t result) {
  {
    TMutexLock lock(blockMutex_);
    completed_ = taken_;
    completedResult_ = result;
  }
  blockDone_.notify_all();
}

}  // namespace qv
