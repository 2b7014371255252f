#include "protocol/bandwidth_calc.h"

#include <algorithm>
#include <limits>

namespace qv {

template <size_t N>
void TBandWidthCalc::TSlotRing<N>::Push(int64_t bytes) {
  sum += bytes - totals[index];
  totals[index] = bytes;
  if (++index == N) {
    index = 0;
    full = true;
  }
}

TBandWidthCalc::TBandWidthCalc(bool withLock, const TClock* clock) : TBandWidthCalc(withLock, 0, clock) {}

TBandWidthCalc::TBandWidthCalc(bool withLock, int commandSlots, const TClock* clock)
    : withLock_(withLock), slotClock_(NewStopwatch(clock)), commandSlots_(commandSlots) {}

std::unique_lock<std::mutex> TBandWidthCalc::Guard() const {
  return withLock_ ? std::unique_lock<std::mutex>(mutex_) : std::unique_lock<std::mutex>();
}

void TBandWidthCalc::Add(uint32_t bytes, const TPerformanceTime* now) {
  auto lock = Guard();
  Advance(now);
  current_ += bytes;
}

void TBandWidthCalc::AddCommand(uint32_t bytes, const TPerformanceTime* now) {
  auto lock = Guard();
  // Advance first: boundaries that passed before this command must not count
  // towards the two slots that have to pass after it.
  Advance(now);
  commandSlots_ = 0;
  current_ += bytes;
}

void TBandWidthCalc::SetLimit(int64_t bytesPerSecond) {
  auto lock = Guard();
  Advance(nullptr);
  limit_ = std::max<int64_t>(bytesPerSecond, 0);
  allowance_ = (limit_ + 2) / 4 + 1;  // round(limit * 0.25) + 1, halves rounded up
}

int64_t TBandWidthCalc::TimeUntilAllowed(const TPerformanceTime* now) {
  auto lock = Guard();
  const int64_t left = Advance(now);
  if (limit_ == 0 || current_ + excess_ < allowance_) return 0;
  return left;
}

bool TBandWidthCalc::CommandSlotFree() const {
  auto lock = Guard();
  return limit_ == 0 || commandSlots_ >= 2;
}

TBandWidthRates TBandWidthCalc::Rates(const TPerformanceTime* now) {
  auto lock = Guard();
  Advance(now);
  TBandWidthRates rates;
  // Until a ring has filled, scale what it holds up to its full window.
  if (short_.full) {
    rates.PerSecond = static_cast<float>(short_.sum);
  } else if (short_.index > 0) {
    rates.PerSecond = static_cast<float>(static_cast<double>(short_.sum) * 4 / short_.index);
  }
  if (long_.full) {
    rates.PerMinute = static_cast<float>(static_cast<double>(long_.sum) / 60);
  } else if (long_.index > 0) {
    rates.PerMinute = static_cast<float>(static_cast<double>(long_.sum) / 60 * 240 / long_.index);
  }
  return rates;
}

int64_t TBandWidthCalc::Limit() const {
  auto lock = Guard();
  return limit_;
}

int64_t TBandWidthCalc::Allowance() const {
  auto lock = Guard();
  return allowance_;
}

int64_t TBandWidthCalc::Advance(const TPerformanceTime* now) {
  // An out-of-range reading restarts the slot clock and counts as no time.
  const int64_t e = now ? slotClock_->ElapsedUntil(kClockCeilingMs, *now)
                        : slotClock_->Elapsed(kClockCeilingMs, true);
  const int64_t n = e + msInSlot_;
  const int64_t slots = n / kSlotMs;
  const int64_t remainder = n % kSlotMs;
  if (slots == 0) return kSlotMs - remainder;  // the clock keeps its start, so nothing drifts
  for (int64_t i = 0; i < slots; ++i) CloseSlot();
  if (now) {
    slotClock_->Assign(*now);
  } else {
    slotClock_->Restart();
  }
  msInSlot_ = remainder;
  return kSlotMs - remainder;
}

void TBandWidthCalc::CloseSlot() {
  short_.Push(current_);
  long_.Push(current_);
  excess_ += current_;
  current_ = 0;
  excess_ = limit_ > 0 ? excess_ - std::min(excess_, allowance_) : 0;
  if (commandSlots_ < std::numeric_limits<int>::max()) ++commandSlots_;
}

}  // namespace qv
