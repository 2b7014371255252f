// TMultiList: an owning, insertion-ordered list with lookup by key.
//
// The player list and the channel tree keep their records here. The list owns
// every item (std::unique_ptr<T>); Get and Items hand out borrowed pointers
// that stay valid until the item is removed or FreeItems runs. Positions follow
// insertion order and close up on removal, so iterating by position (or over
// Items()) is a plain vector walk. Lookup by key goes through a THashList of
// the bucket count given at construction. The largest count ever reached is
// kept for statistics.
//
// Thread rules: no locking of its own; the owner locks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/exception.h"
#include "base/hash_list.h"

namespace qv {

// A position outside 0..Count()-1, or a missing item passed to Add.
QV_EXCEPTION_CLASS(EListError, Exception);

namespace multi_list_detail {
[[noreturn]] void RaiseBadIndex(int index);
[[noreturn]] void RaiseNoItem(uint32_t key);
}  // namespace multi_list_detail

template <typename T>
class TMultiList {
 public:
  // Raises EHashList when buckets is not a positive power of two.
  explicit TMultiList(int buckets) : hash_(buckets) {}

  TMultiList(const TMultiList&) = delete;
  TMultiList& operator=(const TMultiList&) = delete;

  // Takes ownership of item under key and returns the new count. On an
  // exception (duplicate key: EHashList "Item nr %d already exists"; empty
  // item: EListError) item is left untouched with the caller.
  int Add(std::unique_ptr<T>&& item, uint32_t key) {
    if (!item) multi_list_detail::RaiseNoItem(key);
    items_.reserve(items_.size() + 1);  // so nothing below can fail after the hash holds it
    hash_.Add(key, item.get());
    items_.push_back(std::move(item));
    const int count = Count();
    maxCount_ = std::max(maxCount_, count);
    return count;
  }

  // Hands the item under key back to the caller. Raises EHashList
  // "Item nr %d does not exist" when key is absent.
  std::unique_ptr<T> Remove(uint32_t key) {
    T* item = hash_.Get(key);
    hash_.Remove(key);  // raises when absent
    auto it = std::find_if(items_.begin(), items_.end(),
                           [item](const std::unique_ptr<T>& p) { return p.get() == item; });
    std::unique_ptr<T> owned = std::move(*it);
    items_.erase(it);
    return owned;
  }

  T* Get(uint32_t key) const { return hash_.Get(key); }
  bool Contains(uint32_t key) const { return hash_.Contains(key); }
  int Count() const { return static_cast<int>(items_.size()); }
  int MaxCount() const { return maxCount_; }

  // The item at position index (insertion order); raises EListError when out
  // of range.
  T* Items(int index) const {
    if (index < 0 || index >= Count()) multi_list_detail::RaiseBadIndex(index);
    return items_[static_cast<size_t>(index)].get();
  }
  // All items in insertion order, for range-for loops.
  const std::vector<std::unique_ptr<T>>& Items() const { return items_; }

  // Frees every item and forgets every key. The largest count is kept.
  void FreeItems() {
    hash_.Clear();
    items_.clear();
  }

 private:
  std::vector<std::unique_ptr<T>> items_;
  THashList<T> hash_;
  int maxCount_ = 0;
};

}  // namespace qv
