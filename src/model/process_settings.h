// The process-wide settings: file locations (from the command line), the keys
// of the configuration file, the forbidden nick names, and the passwords
// generated on the very first run.
//
// Start-up fills them (command line, then defaults, then server.ini) before
// any other thread exists; afterwards any thread reads them through
// GetSettings(), which returns a copy, and the operations that change a
// setting (the web interface's basic settings page) replace them with
// SetSettings() and write them back with SaveBasicSettings().
//
// Thread rules: GetSettings/SetSettings/IsBadName/SetBadNames are safe from
// any thread (one internal mutex, a leaf lock). The parsing and file
// functions work on the values they are given and share nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/exception.h"
#include "base/failure_limiter.h"

namespace qv {

class TIniFile;

// Failures of the settings layer (no secure random source).
QV_EXCEPTION_CLASS(ESettings, Exception);

struct TProcessSettings {
  // File locations; start-up fills the ones the command line leaves empty.
  std::string DatabaseFile;
  std::string ConfigFile;
  std::string HttpDocsDir;
  std::string LogFile;
  std::string SqlDir;  // ends in "/" unless given otherwise with -SQL=
  std::string BadNamesFile;
  // "-PID=": the file that holds the process id while the process runs
  // (for log rotation without a service manager); empty: none.
  std::string PidFile;

  // [Main Config]
  int32_t HttpPort = 14534;
  bool HttpEnabled = true;
  bool ExternalIpDetection = true;
  std::string DateTimeFormat = "dd-mm-yyyy hh:nn:ss";
  int32_t QueryPort = 51234;
  std::string BoundToIp;  // empty: all local addresses
  // The web and query listeners' own addresses ("WebBoundToIp",
  // "QueryBoundToIp"); empty: BoundToIp. Read only.
  std::string WebBoundToIp;
  std::string QueryBoundToIp;
  std::string TrayIdent;
  // This process's node when several processes share one database: it starts
  // only the server rows of its node and stamps new rows with it. Read from
  // [Main Config] "NodeName" (trimmed), never written back.
  std::string NodeName;
  // Password guessing: failed voice and web logins per address ("LoginFailureLimit"
  // within "LoginFailureWindowSeconds" lock the address out for
  // "LoginLockMinutes"; a limit of 0 turns this off). Read only.
  TFailureLimits LoginFailureLimits;
  // What one peer may hold of the administration interfaces (read only):
  // "WebConnectionsPerAddress" and "QueryConnectionsPerAddress" connections
  // at once; a web request's head and body within "WebRequestSeconds", a
  // query line within "QueryLineSeconds" of its first byte.
  int32_t WebConnectionsPerAddress = 32;
  int32_t WebRequestSeconds = 20;
  int32_t QueryConnectionsPerAddress = 5;
  int32_t QueryLineSeconds = 30;
  // "WebHostNames": names besides the machine's own addresses, "localhost"
  // and its host name that a web request's Host header may give (a public
  // name of the server), separated by commas or blanks. Read only.
  std::vector<std::string> WebHostNames;

  // [WebPost]
  std::string AdminEmail = "na";
  std::string IspLinkUrl = "na";
  std::string IspName = "Private";
  int32_t IspCountryNumber = 0;
  bool WebPostEnabled = true;
  std::string PostUrl;
  bool ListPublic = true;
  // "host:port" of the server list: heartbeats go to that UDP port, the
  // external address detection asks that HTTP port. Empty: neither is done.
  // Read only (not among the keys SaveBasicSettings writes).
  std::string ServerListHost;
  // Seconds between two announcement passes (the first comes after half of
  // it); values below 1 keep the default. Read only.
  int32_t AnnounceIntervalSeconds = 300;

  // [log]
  bool AccessLog = false;

  // [Metrics]: the monitoring endpoint. Read only.
  bool MetricsEnabled = false;
  int32_t MetricsPort = 9814;
  std::string MetricsBoundToIp = "127.0.0.1";
  // "TLS": HTTPS with the certificate below; "User" and "Password": HTTP
  // basic authentication (off while User is empty). Read only.
  bool MetricsTls = false;
  std::string MetricsUser;
  std::string MetricsPassword;

  // TLS of the administration ([Main Config], read only): "WebTLS" serves
  // the web interface over HTTPS, "QueryTLSPort" (0: none) a second query
  // port inside TLS; both use "TLSCertificateFile" and "TLSKeyFile" (PEM),
  // which are made self-signed at first start when empty or missing
  // (server.crt and server.key beside the database).
  bool WebTls = false;
  int32_t QueryTlsPort = 0;
  std::string TlsCertificateFile;
  std::string TlsKeyFile;
  // Set at start when a listener uses TLS: the certificate's SHA-256.
  std::string TlsFingerprint;

  // The address the web and the query interface listen on.
  const std::string& WebBindAddress() const { return WebBoundToIp.empty() ? BoundToIp : WebBoundToIp; }
  const std::string& QueryBindAddress() const { return QueryBoundToIp.empty() ? BoundToIp : QueryBoundToIp; }

  // Filled only when this run created the administrator accounts.
  std::string NewAdminPassword;
  std::string NewSuperAdminPassword;
  // False with "-nopwdialog": the new passwords go to the log only.
  bool ShowPasswordDialog = true;
};

// --- the process-wide values ---

TProcessSettings GetSettings();
void SetSettings(const TProcessSettings& settings);
// Whether a nick name, trimmed, equals a forbidden name (letter case ignored).
bool IsBadName(std::string_view nickName);
void SetBadNames(std::vector<std::string> names);
std::vector<std::string> GetBadNames();

// --- configuration file ---

// Reads every configuration key, each with the current value as default.
// False when a value is unusable (a port outside 0..65535).
bool ReadBasicSettings(const TIniFile& ini, TProcessSettings& settings);
// Writes the basic-settings keys into ini (in memory; the caller writes the file).
void SaveBasicSettings(TIniFile& ini, const TProcessSettings& settings);
// Writes the current process settings into their configuration file. Logs
// "SaveBasicSettings: unable to open server config file: <path> " and gives
// false when the file cannot be read or written.
bool SaveBasicSettings();

// --- forbidden nick names ---

// The lines of the file; a missing or unreadable file gives none. A line
// that is blank still counts.
std::vector<std::string> LoadBadNames(const std::string& path);
// LoadBadNames, and when that gives none, the one name "server", which is
// then written to the file (a failed write changes nothing else).
std::vector<std::string> LoadBadNamesOrDefault(const std::string& path);

// --- passwords ---

// `length` characters drawn uniformly from the lower-case letters and digits
// by the kernel's secure random source. Raises ESettings when that fails.
std::string GeneratePassword(size_t length);

}  // namespace qv
