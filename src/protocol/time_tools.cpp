#include "protocol/time_tools.h"

#include <chrono>
#include <cmath>

namespace qv {

int64_t TSteadyClock::NowNs() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

const TClock& DefaultClock() {
  static const TSteadyClock clock;
  return clock;
}

namespace {

bool InRange(double x, int64_t ceiling) { return x >= 0.0 && x <= static_cast<double>(ceiling); }

}  // namespace

THighPerformanceTime::THighPerformanceTime(const TClock& clock) : clock_(clock), stamp_(clock.NowNs()) {}

double THighPerformanceTime::MsSince(int64_t laterNs) const {
  return static_cast<double>(laterNs - stamp_) / 1e6;
}

bool THighPerformanceTime::InWindow(int64_t low, int64_t high, bool restartIfOutside) {
  const double x = MsSince(clock_.NowNs());
  if (InRange(x, high)) return x > static_cast<double>(low);
  if (!restartIfOutside) return true;
  Restart();
  return false;
}

int64_t THighPerformanceTime::Elapsed(int64_t ceiling, bool restartIfOutside) {
  const double x = MsSince(clock_.NowNs());
  if (InRange(x, ceiling)) return std::llround(x);
  if (!restartIfOutside) return -1;
  Restart();
  return 0;
}

int64_t THighPerformanceTime::ElapsedUntil(int64_t ceiling, const TPerformanceTime& other) {
  const double x = MsSince(other.TimestampNs());
  if (InRange(x, ceiling)) return std::llround(x);
  Restart();
  return 0;
}

void THighPerformanceTime::Assign(const TPerformanceTime& other) { stamp_ = other.TimestampNs(); }

void THighPerformanceTime::Restart() { stamp_ = clock_.NowNs(); }

std::unique_ptr<TPerformanceTime> NewStopwatch(const TClock* clock) {
  return std::make_unique<THighPerformanceTime>(clock ? *clock : DefaultClock());
}

}  // namespace qv
