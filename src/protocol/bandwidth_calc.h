// Bandwidth meters.
//
// TBandWidthCalc counts bytes in 250 ms slots. It reports the transfer rate
// over the last second and the last minute and, with a limit, works as a token
// bucket: each slot may carry the allowance, round(limit * 0.25) + 1 bytes, and
// bytes beyond it (the carried excess) are paid back in later slots before
// sending may resume. It also tells whether a command may interleave with a
// saturating voice stream (at most every second slot).
//
// Each packet buffer has an incoming and an outgoing meter with a lock and no
// limit; each connection has a TClientBandWidthCalc (no lock) with the
// client's limit. Operations taking `now` measure against that stopwatch, so
// that one clock reading serves a whole scheduling step; without it the
// meter reads the clock itself. `now` must read the meter's clock.
//
// Thread rules: a meter built with a lock may be used from any thread; one
// without belongs to a connection and is used under the packet buffer's lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "protocol/time_tools.h"

namespace qv {

// Bytes per second over the last second and over the last minute.
struct TBandWidthRates {
  float PerSecond = 0;
  float PerMinute = 0;
};

class TBandWidthCalc {
 public:
  static constexpr int64_t kSlotMs = 250;
  // A slot clock untouched for longer than this counts as no time passed.
  static constexpr int64_t kClockCeilingMs = 7200000;

  // clock: what the slot clock reads (nullptr: DefaultClock()); must outlive the meter.
  explicit TBandWidthCalc(bool withLock, const TClock* clock = nullptr);
  virtual ~TBandWidthCalc() = default;
  TBandWidthCalc(const TBandWidthCalc&) = delete;
  TBandWidthCalc& operator=(const TBandWidthCalc&) = delete;

  void Add(uint32_t bytes, const TPerformanceTime* now = nullptr);
  // Records a command: the next two slot boundaries keep CommandSlotFree false.
  void AddCommand(uint32_t bytes, const TPerformanceTime* now = nullptr);
  // bytesPerSecond <= 0 removes the limit.
  void SetLimit(int64_t bytesPerSecond);
  // Milliseconds until the next datagram may go: 0 without a limit or while
  // the current slot's bytes plus the carried excess are below the allowance,
  // else what is left of the current slot (1..250).
  int64_t TimeUntilAllowed(const TPerformanceTime* now = nullptr);
  // False while a limit is set and fewer than 2 slot boundaries passed since
  // the last command. Does not advance the meter.
  bool CommandSlotFree() const;
  TBandWidthRates Rates(const TPerformanceTime* now = nullptr);

  int64_t Limit() const;
  int64_t Allowance() const;

 protected:
  TBandWidthCalc(bool withLock, int commandSlots, const TClock* clock);

 private:
  // Slot totals of a fixed window, with their running sum.
  template <size_t N>
  struct TSlotRing {
    std::array<int64_t, N> totals{};
    size_t index = 0;
    int64_t sum = 0;
    bool full = false;  // set when index first wraps
    void Push(int64_t bytes);
  };

  std::unique_lock<std::mutex> Guard() const;
  // Closes the slots that passed; returns the ms left in the current slot.
  int64_t Advance(const TPerformanceTime* now);
  void CloseSlot();

  const bool withLock_;
  mutable std::mutex mutex_;  // used only when withLock_; guards everything below
  int64_t limit_ = 0;
  int64_t allowance_ = 1;
  std::unique_ptr<TPerformanceTime> slotClock_;
  int64_t msInSlot_ = 0;
  int64_t current_ = 0;  // bytes in the current slot
  int64_t excess_ = 0;   // bytes beyond the allowances of past slots
  TSlotRing<4> short_;
  TSlotRing<240> long_;
  int commandSlots_;  // slot boundaries passed since the last command
};

// A connection's meter: no lock, and a command may go at once.
class TClientBandWidthCalc final : public TBandWidthCalc {
 public:
  explicit TClientBandWidthCalc(const TClock* clock = nullptr) : TBandWidthCalc(false, 2, clock) {}
};

}  // namespace qv
