// Scenarios that run the same voice load on the real server under two
// conditions and compare the two:
//
// - flood: 100 clients in 10 channels of 10, one speaker each, measured
//   without a flood, under a flood of login requests and junk from many
//   source addresses and ports (TFloodLoad), and again after it. Each row
//   adds the growth of the server's log and, under the flood, the bytes the
//   server sent back to the flooding sockets against the bytes they sent,
//   and how a newcomer's login fares during the flood.
// - logins: the flood's 100 clients, measured in alternating rounds without
//   and with accounts logging in and out at a steady rate (each login a
//   full one whose password hash is checked, then a quit): the cost of the
//   hash checks, which run beside the protocol thread, to everybody's voice.
// - metrics: 500 clients in 10 channels of 50, one speaker each, with the
//   metrics endpoint off and on (scraped once a second), in alternating
//   rounds on fresh servers (three of each): the relay CPU per relayed
//   datagram of both, and the server's CPU for one scrape, measured apart.
//
// Thread rules: everything runs on the caller's thread, apart from the load
// generators' and the scraper's own threads.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench_load.h"
#include "bench_server.h"
#include "flood_load.h"

namespace qv::bench {

struct TConditionRow {
  std::string Label;
  TStepResult Step;
  double ServerCores = 0;          // the server's CPU during the window, in cores
  double LogBytesPerSecond = 0;    // growth of server.log while the condition held
  std::optional<TFloodTotals> Flood;
  int NewcomerLogin = 0;  // a login during the flood: 1 accepted, else the client's result
  double NewcomerSeconds = 0;
  int Scrapes = 0, ScrapeFailures = 0;
  double ScrapedRelayed = 0;       // quillvane_voice_relayed_datagrams_total at the last scrape
  // From the metrics endpoint (flood): players at most, logins while the condition held.
  double MostPlayers = 0, LoginsAccepted = 0, LoginsRefused = 0;
  double CpuPerScrapeMs = 0;  // metrics on: the server's CPU for one scrape
  // Account logins during the condition (logins): accepted, not, their time.
  int Logins = 0, LoginFailures = 0;
  double LoginMeanMs = 0, LoginMaxMs = 0;
};

struct TPairedRun {
  std::string Id, Title;
  bool Ok = false;
  std::string Error;
  std::vector<TConditionRow> Rows;
};

struct TPairedOptions {
  bool Quick = false;
  double FloodRate = 20000;  // datagrams a second
  double LoginRate = 10;     // account logins a second
};

// The scenario ids, for --only.
inline constexpr const char* kFloodScenarioId = "flood-c100-g10-s1";
inline constexpr const char* kMetricsScenarioId = "metrics-c500-g50-s1";
inline constexpr const char* kLoginsScenarioId = "logins-c100-g10-s1";

TPairedRun RunFloodScenario(TQuillvaneServer& server, const TPairedOptions& options);
TPairedRun RunMetricsScenario(TQuillvaneServer& server, const TPairedOptions& options);
TPairedRun RunLoginsScenario(TQuillvaneServer& server, const TPairedOptions& options);

void PrintPairedRun(const TPairedRun& run);
std::string PairedRunJson(const TPairedRun& run);

}  // namespace qv::bench
