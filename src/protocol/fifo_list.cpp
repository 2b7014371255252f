#include "protocol/fifo_list.h"

#include <fmt/format.h>

#include <algorithm>
#include <new>
#include <utility>

namespace qv {

namespace detail {

namespace {

void CheckParameters(int initial, int maximum, int growth) {
  if (maximum < initial) throw EFIFOList("StartItems if more than MaxItems");
  if (maximum > 100000) {
    throw EFIFOList(fmt::format("{} Items is to much. A FifoList can contain 100.000 items", maximum));
  }
  if (growth > 10000) {
    throw EFIFOList(
        fmt::format("{} Items is to much. A FifoList can grow with 10.000 items at a time max", growth));
  }
  if (initial < 0 || maximum < 0 || growth < 0) throw EFIFOList("Negative parameter is not allowed");
}

}  // namespace

template <typename T>
TFIFORing<T>::TFIFORing(int initial, int maximum, int growth) {
  CheckParameters(initial, maximum, growth);
  // A growth of 0 would leave a full ring below its maximum unable to take
  // the next item; grow by one slot at least.
  growth_ = static_cast<size_t>(std::max(growth, 1));
  maximum_ = static_cast<size_t>(maximum);
  try {
    slots_.resize(static_cast<size_t>(initial));
  } catch (const std::bad_alloc&) {
    throw EFIFOList("Can't allocate needed memory");
  }
}

template <typename T>
void TFIFORing<T>::Grow() {
  if (slots_.size() >= maximum_) {
    throw EFIFOList(fmt::format("TFIFOList max items reached( {}, {}, {})", slots_.size(), growth_,
                                maximum_));
  }
  size_t capacity = std::min(slots_.size() + growth_, maximum_);
  std::vector<T> grown;
  try {
    grown.resize(capacity);
  } catch (const std::bad_alloc&) {
    throw EFIFOList("Can't allocate needed memory");
  }
  for (size_t i = 0; i < count_; ++i) grown[i] = std::move(slots_[(read_ + i) % slots_.size()]);
  slots_ = std::move(grown);
  read_ = 0;
  write_ = count_;
}

template <typename T>
void TFIFORing<T>::Push(T item) {
  if (count_ == slots_.size()) Grow();
  slots_[write_] = std::move(item);
  write_ = (write_ + 1) % slots_.size();
  ++count_;
}

template <typename T>
T TFIFORing<T>::Pop() {
  T item = std::move(slots_[read_]);
  read_ = (read_ + 1) % slots_.size();
  --count_;
  return item;
}

template class TFIFORing<TPacketPtr>;
template class TFIFORing<uint32_t>;

}  // namespace detail

// ---------------------------------------------------------------------------

TFIFOList::TFIFOList(int initial, int maximum, int growth) : ring_(initial, maximum, growth) {}

void TFIFOList::Push(TPacketPtr packet) {
  if (!packet) return;
  size_t size = packet->Size();
  ring_.Push(std::move(packet));
  totalSize_ += size;
}

TPacketPtr TFIFOList::Pop() {
  if (ring_.Count() == 0) return nullptr;
  TPacketPtr packet = ring_.Pop();
  totalSize_ -= packet->Size();
  return packet;
}

const TPacket* TFIFOList::Peek() const { return ring_.Count() ? ring_.Head().get() : nullptr; }

std::optional<uint32_t> TFIFOList::HeadSpeaker() const {
  if (ring_.Count() == 0) return std::nullopt;
  const TPacket& head = *ring_.Head();
  if (head.IsS2CVoice()) return head.SpeakerId();
  if (head.IsKnownClass()) return head.PlayerId();
  return std::nullopt;
}

void TFIFOList::Clear() {
  while (ring_.Count()) ring_.Pop();
  totalSize_ = 0;
}

// ---------------------------------------------------------------------------

TFIFOList_Playerid::TFIFOList_Playerid(int initial, int maximum, int growth)
    : ring_(initial, maximum, growth) {}

bool TFIFOList_Playerid::Contains(uint32_t id) const { return queued_.count(id) != 0; }

void TFIFOList_Playerid::Push(uint32_t id) {
  if (!queued_.insert(id).second) return;
  try {
    ring_.Push(id);
  } catch (...) {
    queued_.erase(id);  // a full ring keeps the set equal to its contents
    throw;
  }
}

bool TFIFOList_Playerid::Pop(uint32_t& id) {
  if (ring_.Count() == 0) return false;
  id = ring_.Pop();
  queued_.erase(id);
  return true;
}

}  // namespace qv
