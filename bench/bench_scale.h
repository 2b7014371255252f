// The scale scenarios of the voice benchmark, measured against the real
// server: what the process costs when it idles with its default server,
// with 1000 logged-in clients that only answer pings (and the same on
// murmur, "murmur-idle-1000", which brings Quillvane's row along), and with
// 100 virtual servers of 10 clients (one speaker each) beside the same load
// on one virtual server.
//
// Thread rules: called from the thread that drives the run.
#pragma once

#include <chrono>
#include <string>

#include "bench_server.h"

namespace qv::bench {

class TMurmurServer;

struct TScaleConfig {
  bool Quick = false;
  bool Profile = false;  // perf record of the server in the relay scenarios
  std::string Only;      // run the scenarios whose id contains this text
  std::string JsonFile;  // where the figures go
  TMurmurServer* Murmur = nullptr;  // for the murmur row
  std::chrono::steady_clock::time_point Deadline;
};

struct TScaleOutcome {
  int Matched = 0;  // scenarios selected by Only
  bool AllRan = true;
};

// Runs the selected scale scenarios on the prepared server, prints their
// table and the targets, and writes the JSON file.
TScaleOutcome RunScaleScenarios(TQuillvaneServer& server, const TScaleConfig& config);

}  // namespace qv::bench
