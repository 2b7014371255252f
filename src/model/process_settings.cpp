#include "model/process_settings.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/ini_file.h"
#include "base/log.h"
#include "base/mutex.h"
#include "base/text_utils.h"

namespace qv {

namespace {

constexpr std::string_view kMainConfig = "Main Config";
constexpr std::string_view kWebPost = "WebPost";
constexpr std::string_view kLogSection = "log";
constexpr std::string_view kMetrics = "Metrics";

TMutex g_mutex;  // a leaf lock: nothing is called while it is held
TProcessSettings g_settings GUARDED_BY(g_mutex);
std::vector<std::string> g_badNames GUARDED_BY(g_mutex);

std::string TrimCut(std::string_view s, size_t max) { return Trim(s).substr(0, max); }

bool ValidPort(int64_t port) { return port >= 0 && port <= 65535; }

// A [Main Config] number; a value outside min..max keeps the default.
void ReadBounded(const TIniFile& ini, std::string_view key, int64_t min, int64_t max, int32_t& value) {
  const int64_t read = ini.ReadInteger(kMainConfig, key, value);
  if (read >= min && read <= max) value = static_cast<int32_t>(read);
}

std::vector<std::string> SplitWords(std::string_view text, std::string_view separators) {
  std::vector<std::string> words;
  size_t from = 0;
  while ((from = text.find_first_not_of(separators, from)) != std::string_view::npos) {
    const size_t end = text.find_first_of(separators, from);
    words.emplace_back(text.substr(from, end - from));
    from = end;
  }
  return words;
}

}  // namespace

// --- the process-wide values ---

TProcessSettings GetSettings() {
  TMutexLock lock(g_mutex);
  return g_settings;
}

void SetSettings(const TProcessSettings& settings) {
  TMutexLock lock(g_mutex);
  g_settings = settings;
}

bool IsBadName(std::string_view nickName) {
  std::string nick = Trim(nickName);
  TMutexLock lock(g_mutex);
  for (const std::string& name : g_badNames)
    if (SameText(Trim(name), nick)) return true;
  return false;
}

void SetBadNames(std::vector<std::string> names) {
  TMutexLock lock(g_mutex);
  g_badNames = std::move(names);
}

std::vector<std::string> GetBadNames() {
  TMutexLock lock(g_mutex);
  return g_badNames;
}

// --- configuration file ---

bool ReadBasicSettings(const TIniFile& ini, TProcessSettings& s) {
  int64_t httpPort = ini.ReadInteger(kMainConfig, "HTTPServer Port", s.HttpPort);
  int64_t queryPort = ini.ReadInteger(kMainConfig, "TCPQueryPort", s.QueryPort);
  if (!ValidPort(httpPort) || !ValidPort(queryPort)) return false;
  s.HttpPort = static_cast<int32_t>(httpPort);
  s.QueryPort = static_cast<int32_t>(queryPort);
  s.HttpEnabled = ini.ReadBool(kMainConfig, "HTTPServer Enabled", s.HttpEnabled);
  s.ExternalIpDetection = ini.ReadBool(kMainConfig, "ExternalIPDectection", s.ExternalIpDetection);
  s.DateTimeFormat = ini.ReadString(kMainConfig, "DateTimeFormat", s.DateTimeFormat);
  s.BoundToIp = Trim(ini.ReadString(kMainConfig, "BoundToIp", s.BoundToIp));
  s.WebBoundToIp = Trim(ini.ReadString(kMainConfig, "WebBoundToIp", s.WebBoundToIp));
  s.QueryBoundToIp = Trim(ini.ReadString(kMainConfig, "QueryBoundToIp", s.QueryBoundToIp));
  s.TrayIdent = ini.ReadString(kMainConfig, "TrayIdent", s.TrayIdent);
  s.NodeName = Trim(ini.ReadString(kMainConfig, "NodeName", s.NodeName));
  TFailureLimits& limits = s.LoginFailureLimits;
  const int64_t failures = ini.ReadInteger(kMainConfig, "LoginFailureLimit", limits.Failures);
  const int64_t window = ini.ReadInteger(kMainConfig, "LoginFailureWindowSeconds", limits.WindowSeconds);
  const int64_t lock = ini.ReadInteger(kMainConfig, "LoginLockMinutes", limits.LockSeconds / 60);
  if (failures >= 0 && failures <= 1000000) limits.Failures = static_cast<int32_t>(failures);
  if (window >= 1 && window <= 86400) limits.WindowSeconds = static_cast<int32_t>(window);
  if (lock >= 1 && lock <= 10080) limits.LockSeconds = static_cast<int32_t>(lock * 60);
  ReadBounded(ini, "WebConnectionsPerAddress", 1, 500, s.WebConnectionsPerAddress);
  ReadBounded(ini, "WebRequestSeconds", 1, 3600, s.WebRequestSeconds);
  ReadBounded(ini, "QueryConnectionsPerAddress", 1, 100, s.QueryConnectionsPerAddress);
  ReadBounded(ini, "QueryLineSeconds", 1, 3600, s.QueryLineSeconds);
  const std::string hosts = ini.ReadString(kMainConfig, "WebHostNames", "");
  if (!hosts.empty()) {
    s.WebHostNames.clear();
    for (const std::string& name : SplitWords(hosts, ", \t")) s.WebHostNames.push_back(LowerCase(name));
  }

  s.AdminEmail = TrimCut(ini.ReadString(kWebPost, "AdminEmail", s.AdminEmail), 255);
  s.IspLinkUrl = TrimCut(ini.ReadString(kWebPost, "ISPLinkURL", s.IspLinkUrl), 255);
  s.IspName = TrimCut(ini.ReadString(kWebPost, "ISPName", s.IspName), 29);
  int64_t country = ini.ReadInteger(kWebPost, "ISPCountryNumber", s.IspCountryNumber);
  if (country < INT32_MIN || country > INT32_MAX) return false;
  s.IspCountryNumber = static_cast<int32_t>(country);
  s.WebPostEnabled = ini.ReadBool(kWebPost, "Enabled", s.WebPostEnabled);
  s.PostUrl = ini.ReadString(kWebPost, "PostURL", s.PostUrl).substr(0, 255);
  s.ListPublic = ini.ReadBool(kWebPost, "ListPublic", s.ListPublic);
  s.ServerListHost = Trim(ini.ReadString(kWebPost, "ServerListHost", s.ServerListHost));
  int64_t interval = ini.ReadInteger(kWebPost, "AnnounceIntervalSeconds", s.AnnounceIntervalSeconds);
  if (interval >= 1 && interval <= INT32_MAX) s.AnnounceIntervalSeconds = static_cast<int32_t>(interval);

  s.AccessLog = ini.ReadBool(kLogSection, "access", s.AccessLog);

  int64_t metricsPort = ini.ReadInteger(kMetrics, "Port", s.MetricsPort);
  if (!ValidPort(metricsPort)) return false;
  s.MetricsPort = static_cast<int32_t>(metricsPort);
  s.MetricsEnabled = ini.ReadBool(kMetrics, "Enabled", s.MetricsEnabled);
  std::string metricsIp = Trim(ini.ReadString(kMetrics, "BoundToIp", s.MetricsBoundToIp));
  if (!metricsIp.empty()) s.MetricsBoundToIp = metricsIp;
  s.MetricsTls = ini.ReadBool(kMetrics, "TLS", s.MetricsTls);
  s.MetricsUser = ini.ReadString(kMetrics, "User", s.MetricsUser);
  s.MetricsPassword = ini.ReadString(kMetrics, "Password", s.MetricsPassword);

  s.WebTls = ini.ReadBool(kMainConfig, "WebTLS", s.WebTls);
  const int64_t queryTlsPort = ini.ReadInteger(kMainConfig, "QueryTLSPort", s.QueryTlsPort);
  if (!ValidPort(queryTlsPort)) return false;
  s.QueryTlsPort = static_cast<int32_t>(queryTlsPort);
  s.TlsCertificateFile = Trim(ini.ReadString(kMainConfig, "TLSCertificateFile", s.TlsCertificateFile));
  s.TlsKeyFile = Trim(ini.ReadString(kMainConfig, "TLSKeyFile", s.TlsKeyFile));
  return true;
}

void SaveBasicSettings(TIniFile& ini, const TProcessSettings& s) {
  ini.WriteBool(kMainConfig, "ExternalIPDectection", s.ExternalIpDetection);
  ini.WriteInteger(kMainConfig, "HTTPServer Port", s.HttpPort);
  ini.WriteBool(kMainConfig, "HTTPServer Enabled", s.HttpEnabled);
  ini.WriteString(kMainConfig, "DateTimeFormat", s.DateTimeFormat);
  ini.WriteInteger(kMainConfig, "TCPQueryPort", s.QueryPort);
  ini.WriteString(kMainConfig, "BoundToIp", s.BoundToIp);
  ini.WriteString(kWebPost, "AdminEmail", s.AdminEmail);
  ini.WriteString(kWebPost, "ISPLinkURL", s.IspLinkUrl);
  ini.WriteString(kWebPost, "ISPName", s.IspName);
  ini.WriteInteger(kWebPost, "ISPCountryNumber", s.IspCountryNumber);
  ini.WriteBool(kWebPost, "Enabled", s.WebPostEnabled);
  ini.WriteString(kWebPost, "PostURL", s.PostUrl);
  ini.WriteBool(kWebPost, "ListPublic", s.ListPublic);
  ini.WriteBool(kLogSection, "access", s.AccessLog);
}

bool SaveBasicSettings() {
  TProcessSettings s = GetSettings();
  // Loading first keeps the sections this function does not own ([Debug],
  // [DBEXPRESS]) and every comment.
  TIniFile ini(s.ConfigFile);
  bool ok = ini.Load();
  if (ok) {
    SaveBasicSettings(ini, s);
    ok = ini.UpdateFile();
  }
  if (!ok)
    LogFmt(lmtError, lmdAll, "SaveBasicSettings: unable to open server config file: %1 ", "SERVER",
           s.ConfigFile);
  return ok;
}

// --- forbidden nick names ---

std::vector<std::string> LoadBadNames(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::stringstream text;
  text << in.rdbuf();
  return SplitLines(text.str());
}

std::vector<std::string> LoadBadNamesOrDefault(const std::string& path) {
  std::vector<std::string> names = LoadBadNames(path);
  if (!names.empty()) return names;
  names.push_back("server");
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "server\n";
  return names;
}

// --- passwords ---

std::string GeneratePassword(size_t length) {
  static constexpr std::string_view kChars = "abcdefghijklmnopqrstuvwxyz1234567890";
  // Bytes from 252 up are thrown away: 252 is the largest multiple of 36
  // below 256, so every character stays exactly as likely as the others.
  constexpr unsigned kLimit = 256 / kChars.size() * kChars.size();
  std::string out;
  std::array<unsigned char, 32> buf;
  while (out.size() < length) {
    ssize_t got = getrandom(buf.data(), buf.size(), 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw ESettings(std::string("no secure random source: ") + std::strerror(errno));
    }
    for (ssize_t i = 0; i < got && out.size() < length; ++i)
      if (buf[i] < kLimit) out += kChars[buf[i] % kChars.size()];
  }
  return out;
}

}  // namespace qv
