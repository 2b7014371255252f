#include "app/startup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <thread>

#include "app/host.h"

#include "announce/web_post.h"
#include "base/ini_file.h"
#include "base/log.h"
#include "base/tls_context.h"
#include "base/version.h"
#include "model/accounts.h"
#include "model/server_node.h"
#include "model/server_object.h"
#include "storage/mysql_storage.h"
#include "model/server_control.h"
#include "metrics/metrics_endpoint.h"
#include "query/tcp_query.h"
#include "storage/schema.h"
#include "storage/sqlite_storage.h"

namespace qv {

namespace {

constexpr const char* kCategory = "SERVER";
constexpr size_t kNewPasswordLength = 12;

bool Fail(const std::string& message) {
  LogMsg(lmtError, lmdAll, message, kCategory);
  return false;
}

// Creates one administrator account; the password counts only once it is stored.
std::string CreateAccount(const TScriptStorage& storage, const char* login, uint16_t privileges,
                          int32_t serverId) {
  std::unique_ptr<TClientRec> rec = NewClient();
  rec->LoginName = login;
  rec->PlayerPrivileges = privileges;
  std::string password = GeneratePassword(kNewPasswordLength);
  rec->LoginPassword = password;
  int result = (privileges & spSuperAdmin) ? DBAddSuperUser(storage, *rec) : DBAddUser(storage, serverId, *rec);
  if (result != 0) {
    LogFmt(lmtError, lmdAll, "unable to create the %1 account", kCategory, login);
    return "";
  }
  LogFmt(lmtWarning, lmdInfo, "%1 account info: username: %1 password: %2", kCategory, login, password);
  return password;
}

// 127.0.0.0/8; an empty address (every address) is not.
bool IsLoopbackAddress(const std::string& address) {
  in_addr addr{};
  return inet_pton(AF_INET, address.c_str(), &addr) == 1 && (ntohl(addr.s_addr) >> 24) == 127;
}

}  // namespace

std::string TStartupStatus::Text() const {
  std::string text = std::to_string(ServersRunning) + " of " + std::to_string(ServersWanted) +
                     (ServersWanted == 1 ? " virtual server running" : " virtual servers running");
  for (const std::string& note : Notes) text += "; " + note;
  return text;
}

std::string BindProblem(int type, const std::string& address, int port) {
  const std::string what = std::string(type == SOCK_DGRAM ? "UDP " : "TCP ") + std::to_string(port);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (address.empty()) {
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
  } else if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    return what + ": bad address " + address;
  }
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return what + " not started";
  if (type == SOCK_STREAM) {
    // As a listener binds: a port whose old connections linger is not busy.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  const int result = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  const int error = errno;
  close(fd);
  if (result == 0) return what + " not started";
  if (error == EADDRINUSE) return what + " in use";
  if (error == EADDRNOTAVAIL) return what + ": address " + address + " not available";
  if (error == EACCES) return what + ": permission denied";
  return what + " not started";
}

TServerProcess::TServerProcess(TRuntimeFactory runtimeFactory, std::chrono::milliseconds shutdownPause)
    : runtimeFactory_(std::move(runtimeFactory)), shutdownPause_(shutdownPause) {}

TServerProcess::~TServerProcess() { ReleaseAll(); }

bool TServerProcess::InitServer(const TCommandLine& commandLine, const std::string& programDir) {
  TProcessSettings settings;  // every setting at its default
  ApplyFileLocations(commandLine, programDir, settings);
  SetSettings(settings);  // the file locations, for whoever reports a failure
  CreateLog(settings.ConfigFile, "Debug", settings.LogFile);
  logCreated_ = true;
  LogMsg(lmtAll, lmdInfo, "Server init initialized", kCategory);
  LogMsg(lmtAll, lmdInfo, "Server version: " + VersionNumbers() + " " + PlatformText(), kCategory);

  SetBadNames(LoadBadNamesOrDefault(settings.BadNamesFile));

  TIniFile ini(settings.ConfigFile);
  if (!ini.Load())
    return Fail("Start_Quillvane_Server: unable to open server config file: " + settings.ConfigFile + " ");
  if (!OpenStorage(settings, ini.ReadString("DBEXPRESS", "Active", "") == "1")) return false;
  if (!ReadBasicSettings(ini, settings)) return Fail("Start_Quillvane_Server: error in config file");
  SaveBasicSettings(ini, settings);
  // Servers read the bind address and the listener reads the rest, so the
  // settings are published before the first server starts.
  SetSettings(settings);

  CreateServerRegistry(runtimeFactory_);
  registryCreated_ = true;
  if (!StartStoredServers(settings)) return false;
  PrepareTls(settings);
  SetSettings(settings);  // with the passwords of a first run and the certificate's fingerprint
  StartListeners(settings);
  webPost_ = std::make_unique<TWebPost>();
  webPost_->Start();

  if (!ini.UpdateFile())
    LogFmt(lmtError, lmdAll, "SaveBasicSettings: unable to open server config file: %1 ", kCategory,
           settings.ConfigFile);
  if (!settings.PidFile.empty()) {
    if (WritePidFile(settings.PidFile)) {
      pidFile_ = settings.PidFile;
    } else {
      LogFmt(lmtWarning, lmdImportant, "unable to write the PID file %1", kCategory, settings.PidFile);
    }
  }
  if (status_.Problems) LogMsg(lmtWarning, lmdImportant, "Start-up: " + status_.Text(), kCategory);
  LogMsg(lmtAll, lmdInfo, "Server init finished", kCategory);
  return true;
}

void TServerProcess::StartListeners(const TProcessSettings& settings) {
  auto note = [this](bool running, int type, const std::string& what, const std::string& address, int port) {
    if (running) {
      status_.Notes.push_back(what + " on TCP " + std::to_string(port));
    } else {
      status_.Notes.push_back(what + " " + BindProblem(type, address, port));
      status_.Problems = true;
    }
  };
  if (settings.HttpEnabled && settings.HttpPort > 0 && (!settings.WebTls || tls_)) {
    web_ = StartWebInterface(storage_.get(), settings.WebTls ? tls_ : nullptr);
    status_.WebRunning = web_ != nullptr;
    note(status_.WebRunning, SOCK_STREAM, "web interface", settings.WebBindAddress(), settings.HttpPort);
    if (web_ && !settings.WebTls && !IsLoopbackAddress(settings.WebBindAddress()))
      LogFmt(lmtWarning, lmdImportant,
             "the web interface serves plain HTTP on %1: passwords and session cookies cross the network in clear "
             "(WebTLS=1 serves HTTPS)",
             kCategory, settings.WebBindAddress().empty() ? "every address" : settings.WebBindAddress());
  }
  if (settings.QueryPort > 0 || (settings.QueryTlsPort > 0 && tls_)) {
    // TCPQueryPort=0 with a TLS port: the TLS port only.
    const bool plain = settings.QueryPort > 0;
    query_ = std::make_unique<TTCPQuery>(TScriptStorage{storage_.get(), settings.SqlDir}, *GetServerRegistry(),
                                         static_cast<uint16_t>(settings.QueryPort), settings.QueryBindAddress());
    if (plain) {
      status_.QueryRunning = query_->Port() != 0;
      note(status_.QueryRunning, SOCK_STREAM, "query interface", settings.QueryBindAddress(), settings.QueryPort);
    }
    if (settings.QueryTlsPort > 0 && tls_) {
      const bool running = query_->ListenTls(static_cast<uint16_t>(settings.QueryTlsPort), settings.QueryBindAddress(), tls_);
      status_.QueryRunning = status_.QueryRunning || running;
      note(running, SOCK_STREAM, "query interface (TLS)", settings.QueryBindAddress(), settings.QueryTlsPort);
    }
  }
  if (settings.MetricsEnabled && settings.MetricsPort > 0) {
    metrics_ = std::make_unique<TMetricsEndpoint>(
        TScriptStorage{storage_.get(), settings.SqlDir}, *GetServerRegistry(), [this] {
          return TSessionCounts{query_ ? query_->SessionCount() : 0, web_ ? web_->SessionCount() : 0};
        });
    if ((settings.MetricsTls && !tls_) ||
        !metrics_->Start(settings.MetricsPort, settings.MetricsBoundToIp, settings.MetricsTls ? tls_ : nullptr,
                         settings.MetricsUser, settings.MetricsPassword))
      metrics_.reset();
    note(metrics_ != nullptr, SOCK_STREAM, "metrics", settings.MetricsBoundToIp, settings.MetricsPort);
  }
}

void TServerProcess::PrepareTls(TProcessSettings& settings) {
  if (!settings.WebTls && settings.QueryTlsPort == 0 && !settings.MetricsTls) return;
  std::string cert = settings.TlsCertificateFile, key = settings.TlsKeyFile;
  std::string error;
  if (cert.empty() && key.empty()) {
    // Beside the database, made at the first start.
    const std::filesystem::path dir = std::filesystem::absolute(settings.DatabaseFile).parent_path();
    cert = (dir / "server.crt").string();
    key = (dir / "server.key").string();
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    if (!EnsureSelfSigned(cert, key, host, error)) {
      Fail("TLS: unable to make a self-signed certificate: " + error + "; the TLS listeners do not start");
      return;
    }
  }
  auto tls = std::make_shared<TTlsContext>(cert, key);
  if (!tls->Load(error)) {
    Fail("TLS: " + error + "; the TLS listeners do not start");
    return;
  }
  tls_ = tls;
  settings.TlsFingerprint = tls_->Fingerprint();
  LogFmt(lmtAll, lmdImportant, "TLS certificate %1, SHA-256 fingerprint %2", kCategory, cert,
         settings.TlsFingerprint);
}

void TServerProcess::ReloadCertificate() {
  if (!tls_) return;
  std::string error;
  if (!tls_->Load(error)) {
    Fail("TLS certificate reload failed, the old certificate stays: " + error);
    return;
  }
  TProcessSettings settings = GetSettings();
  settings.TlsFingerprint = tls_->Fingerprint();
  SetSettings(settings);
  LogFmt(lmtAll, lmdImportant, "TLS certificate reloaded, SHA-256 fingerprint %1", kCategory,
         settings.TlsFingerprint);
}

void TServerProcess::ServerFailed(uint32_t port, const TProcessSettings& settings) {
  status_.Notes.push_back(BindProblem(SOCK_DGRAM, settings.BoundToIp, static_cast<int>(port)));
  status_.Problems = true;
}

bool TServerProcess::OpenStorage(const TProcessSettings& settings, bool mysqlConfigured) {
  try {
    if (mysqlConfigured) {
      storage_ = std::make_unique<TDBExpressStorage>(settings.ConfigFile);
    } else {
      storage_ = std::make_unique<TSQLiteStorage>(settings.DatabaseFile);
    }
    if (!CreateTables(*storage_, settings.SqlDir)) return Fail("Start_Quillvane_Server: unable to create tables");
  } catch (const std::exception& e) {
    LogMsg(lmtError, lmdAll, "Start_Quillvane_Server Exception: " + ExceptionText(e), kCategory);
    return Fail("Start_Quillvane_Server: unable to open database");
  }
  if (!UpgradeDatabase(*storage_, settings.SqlDir)) return false;
  // A database of an older version holds clear-text passwords: hashed once.
  DBHashClearPasswords(TScriptStorage{storage_.get(), settings.SqlDir});
  return true;
}

bool TServerProcess::StartStoredServers(TProcessSettings& settings) {
  TScriptStorage scripts{storage_.get(), settings.SqlDir};
  std::unique_ptr<TStorageContainer> rows;
  try {
    {
      TStorageLock lock(*storage_);
      if (!scripts.Load("read_servers.sql")) return Fail("Start_Quillvane_Server: unable to read servers");
      rows = storage_->OpenSQL();
    }
    if (!rows) {
      // No rows can also mean the query failed; only a table that is truly
      // empty is a first run, or every restart after a failure would create
      // another default server and new administrator accounts.
      bool empty = false;
      if (!ServersTableEmpty(empty) || !empty) return Fail("Start_Quillvane_Server: unable to read servers");
      FirstRun(settings);
      return true;
    }
  } catch (const std::exception& e) {
    return Fail("Start_Quillvane_Server Exception: " + ExceptionText(e));
  }
  for (rows->First(); !rows->Eof(); rows->Next()) {
    int32_t id = 0;
    try {
      id = rows->Row().AsInteger("i_server_id");
      // Servers of other nodes sharing the database are theirs to run.
      if (!rows->Row().AsBoolean("b_server_active") || !RowOnThisNode(rows->Row())) continue;
      ++status_.ServersWanted;
      if (StartServer(id, settings)) {
        ++status_.ServersRunning;
      } else {
        ServerFailed(static_cast<uint32_t>(rows->Row().AsInteger("i_server_udpport")), settings);
      }
    } catch (const std::exception& e) {
      LogFmt(lmtError, lmdAll, "Startup(%1) Exception: %2", kCategory, id, ExceptionText(e));
    }
  }
  return true;
}

bool TServerProcess::ServersTableEmpty(bool& empty) {
  TStorageLock lock(*storage_);
  storage_->SetStatement("SELECT COUNT(*) AS i_count FROM qv2_servers");
  std::unique_ptr<TStorageContainer> rows = storage_->OpenSQL();
  if (!rows) return false;
  empty = rows->Row().AsInteger("i_count") == 0;
  return true;
}

bool TServerProcess::StartServer(int32_t serverId, const TProcessSettings& settings) {
  return StartConfiguredServer(*GetServerRegistry(), TScriptStorage{storage_.get(), settings.SqlDir}, serverId, 0) !=
         nullptr;
}

void TServerProcess::FirstRun(TProcessSettings& settings) {
  TScriptStorage scripts{storage_.get(), settings.SqlDir};
  auto started = StartConfiguredServer(*GetServerRegistry(), scripts, 0, kDefaultUdpPort);
  LogMsg(lmtWarning, lmdInfo, "Default Server created", kCategory);
  status_.ServersWanted = 1;
  status_.ServersRunning = started ? 1 : 0;
  if (!started) ServerFailed(kDefaultUdpPort, settings);

  // A server that failed to start may still have been stored (its port was
  // busy, say); it starts on the next run and needs its admin all the same.
  int32_t serverId = started ? started->ServerId : NewestServerId(settings);
  if (serverId > 0) settings.NewAdminPassword = CreateAccount(scripts, "admin", spSA, serverId);
  settings.NewSuperAdminPassword = CreateAccount(scripts, "superadmin", spSuperAdmin, 0);
  if (!started) LogMsg(lmtWarning, lmdInfo, "there is no server running!", kCategory);
}

int32_t TServerProcess::NewestServerId(const TProcessSettings& settings) {
  TScriptStorage scripts{storage_.get(), settings.SqlDir};
  TStorageLock lock(*storage_);
  if (!scripts.Load("read_servers.sql")) return 0;
  std::unique_ptr<TStorageContainer> rows = storage_->OpenSQL();
  int32_t newest = 0;
  for (size_t i = 0; rows && i < rows->Count(); ++i)
    newest = std::max(newest, rows->RowAt(i).AsInteger("i_server_id"));
  return newest;
}

void TServerProcess::ShutdownServer() {
  LogMsg(lmtAll, lmdInfo, "Server shutdown initialized", "server");
  metrics_.reset();
  if (TServerRegistry* registry = GetServerRegistry()) registry->StopServers(0);
  web_.reset();
  StopWebPost();
  query_.reset();
  FreeServerRegistry();
  registryCreated_ = false;
  storage_.reset();
  SetBadNames({});
  // Connection threads of the administration interfaces that are still
  // finishing a reply get this long before the log goes away.
  std::this_thread::sleep_for(shutdownPause_);
  LogMsg(lmtAll, lmdInfo, "Server shutdown finished", "server");
  ReleasePidFile();
  FreeLog();
  logCreated_ = false;
}

void TServerProcess::ReleasePidFile() {
  if (!pidFile_.empty()) RemovePidFile(pidFile_);
  pidFile_.clear();
}

void TServerProcess::StopWebPost() {
  if (!webPost_) return;
  webPost_->Terminate();
  webPost_->Join();
  webPost_.reset();
}

void TServerProcess::ReleaseAll() {
  metrics_.reset();
  web_.reset();
  StopWebPost();
  query_.reset();
  if (registryCreated_) FreeServerRegistry();  // stops every server it holds
  registryCreated_ = false;
  storage_.reset();
  SetBadNames({});
  ReleasePidFile();
  if (logCreated_) FreeLog();
  logCreated_ = false;
}

}  // namespace qv
