// Clocks and stopwatches.
//
// Every time-out, retransmission, ping and scheduling step measures elapsed
// milliseconds with a stopwatch (TPerformanceTime). Stopwatches read a TClock:
// normally the process's monotonic clock, in tests a TManualClock that the
// test moves by hand, so that time-outs are tested without sleeping.
//
// Elapsed times are fractional milliseconds internally; range checks use the
// fraction and results are rounded to whole milliseconds. A reading outside
// 0..ceiling (a clock untouched for too long, or a "now" stopwatch older than
// this one) is out of range and handled per operation as documented below.
//
// Thread rules: clocks may be read from any thread. A stopwatch belongs to one
// owner, which serialises its use (usually under the packet buffer's lock).
// Stopwatches that are compared (ElapsedUntil, Assign) must read the same clock.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>

namespace qv {

// A monotonic time source: nanoseconds since an arbitrary fixed origin.
class TClock {
 public:
  virtual ~TClock() = default;
  virtual int64_t NowNs() const = 0;
};

// The process's steady clock; stateless, shared by default.
class TSteadyClock final : public TClock {
 public:
  int64_t NowNs() const override;
};
const TClock& DefaultClock();

// A clock that only moves when told to. Starts at startNs. It may be set
// backwards, to test the out-of-range rules.
class TManualClock final : public TClock {
 public:
  explicit TManualClock(int64_t startNs = 0) : now_(startNs) {}
  int64_t NowNs() const override { return now_.load(); }
  void SetNs(int64_t ns) { now_.store(ns); }
  void AdvanceNs(int64_t ns) { now_.fetch_add(ns); }
  void AdvanceMs(double ms) { AdvanceNs(std::llround(ms * 1e6)); }

 private:
  std::atomic<int64_t> now_;
};

// A stopwatch holding one timestamp. x below is the elapsed time in ms.
class TPerformanceTime {
 public:
  virtual ~TPerformanceTime() = default;

  // If 0 <= x <= high: x > low. Otherwise restartIfOutside ? (restart, false) : true.
  virtual bool InWindow(int64_t low, int64_t high, bool restartIfOutside) = 0;
  // If 0 <= x <= ceiling: round(x). Otherwise restartIfOutside ? (restart, 0) : -1.
  virtual int64_t Elapsed(int64_t ceiling, bool restartIfOutside) = 0;
  // x = other's timestamp - this one's. If 0 <= x <= ceiling: round(x);
  // otherwise this stopwatch restarts and the result is 0. Lets one reading of
  // the clock ("now") serve a whole scheduling step.
  virtual int64_t ElapsedUntil(int64_t ceiling, const TPerformanceTime& other) = 0;
  // Takes over other's timestamp.
  virtual void Assign(const TPerformanceTime& other) = 0;
  // Timestamp := now.
  virtual void Restart() = 0;
  // The timestamp in the clock's nanoseconds.
  virtual int64_t TimestampNs() const = 0;
};

// The stopwatch on a monotonic TClock. The clock must outlive the stopwatch.
class THighPerformanceTime final : public TPerformanceTime {
 public:
  explicit THighPerformanceTime(const TClock& clock);  // started

  bool InWindow(int64_t low, int64_t high, bool restartIfOutside) override;
  int64_t Elapsed(int64_t ceiling, bool restartIfOutside) override;
  int64_t ElapsedUntil(int64_t ceiling, const TPerformanceTime& other) override;
  void Assign(const TPerformanceTime& other) override;
  void Restart() override;
  int64_t TimestampNs() const override { return stamp_; }

 private:
  double MsSince(int64_t laterNs) const;

  const TClock& clock_;
  int64_t stamp_;
};

// A started stopwatch on clock (nullptr: DefaultClock()).
std::unique_ptr<TPerformanceTime> NewStopwatch(const TClock* clock = nullptr);

}  // namespace qv
