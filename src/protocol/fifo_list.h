// First-in first-out rings: TFIFOList holds packets (and owns them),
// TFIFOList_Playerid holds player ids without duplicates.
//
// A ring starts with `initial` slots and, when full, grows by `growth` slots up
// to `maximum`; pushing into a full ring at its maximum raises EFIFOList.
//
// Thread rules: no locking of their own; the owner locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "base/exception.h"
#include "protocol/packets.h"

namespace qv {

QV_EXCEPTION_CLASS(EFIFOList, Exception);

namespace detail {

// The ring shared by both lists: slots, read/write indices, growth rules.
template <typename T>
class TFIFORing {
 public:
  TFIFORing(int initial, int maximum, int growth);

  size_t Count() const { return count_; }
  size_t Capacity() const { return slots_.size(); }
  void Push(T item);
  // Oldest item; the caller checks Count() first.
  T Pop();
  const T& Head() const { return slots_[read_]; }
  // i-th item from the oldest (0 = head).
  const T& At(size_t i) const { return slots_[(read_ + i) % slots_.size()]; }

 private:
  void Grow();

  std::vector<T> slots_;
  size_t growth_;
  size_t maximum_;
  size_t count_ = 0;
  size_t read_ = 0;
  size_t write_ = 0;
};

}  // namespace detail

class TFIFOList {
 public:
  // Raises EFIFOList on bad parameters.
  TFIFOList(int initial, int maximum, int growth);
  ~TFIFOList() = default;  // frees every packet still held
  TFIFOList(const TFIFOList&) = delete;
  TFIFOList& operator=(const TFIFOList&) = delete;

  // A null packet is ignored. Raises EFIFOList when full at the maximum (the
  // packet is then freed).
  void Push(TPacketPtr packet);
  // The oldest packet, or null when empty.
  TPacketPtr Pop();
  // The oldest packet without removing it, or null.
  const TPacket* Peek() const;
  size_t Count() const { return ring_.Count(); }
  size_t Capacity() const { return ring_.Capacity(); }
  // Total size in bytes of the packets held.
  size_t TotalSize() const { return totalSize_; }
  // Speaker of the oldest packet: the speaker id of a server voice packet,
  // otherwise its player id; none when empty.
  std::optional<uint32_t> HeadSpeaker() const;
  // Frees every packet.
  void Clear();

 private:
  detail::TFIFORing<TPacketPtr> ring_;
  size_t totalSize_ = 0;
};

class TFIFOList_Playerid {
 public:
  TFIFOList_Playerid(int initial, int maximum, int growth);

  // Does nothing when id is already queued (a constant-time check: the
  // sender's ready queue takes one push per relayed voice copy).
  void Push(uint32_t id);
  // False when empty.
  bool Pop(uint32_t& id);
  bool Contains(uint32_t id) const;
  size_t Count() const { return ring_.Count(); }
  size_t Capacity() const { return ring_.Capacity(); }

 private:
  detail::TFIFORing<uint32_t> ring_;
  std::unordered_set<uint32_t> queued_;  // the ids in ring_
};

}  // namespace qv
