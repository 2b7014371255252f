// THashList: an integer-keyed hash of borrowed pointers.
//
// Maps unique 32-bit keys (player ids, channel ids, connection ids) to T*
// values that it does not own; destroying or clearing the list frees only its
// nodes. The bucket count is a power of two and a key's bucket is
// key AND (buckets - 1), so consecutive ids spread evenly; each bucket chains
// its nodes with the newest at the head.
//
// Thread rules: no locking of its own; the owner locks.
#pragma once

#include <cstdint>
#include <forward_list>
#include <vector>

#include "base/exception.h"

namespace qv {

QV_EXCEPTION_CLASS(EHashList, Exception);

namespace hash_list_detail {
// The mask of a bucket count; raises EHashList unless buckets is a positive
// power of two.
uint32_t MaskFor(int buckets);
[[noreturn]] void RaiseExists(uint32_t key);
[[noreturn]] void RaiseMissing(uint32_t key);
}  // namespace hash_list_detail

template <typename T>
class THashList {
 public:
  // Raises EHashList: "%d is not a positive number", "%d is not a power of 2".
  explicit THashList(int buckets)
      : mask_(hash_list_detail::MaskFor(buckets)), buckets_(static_cast<size_t>(mask_) + 1) {}

  // Raises EHashList "Item nr %d already exists" when key is present.
  void Add(uint32_t key, T* value) {
    Chain& chain = ChainOf(key);
    for (const Node& node : chain) {
      if (node.key == key) hash_list_detail::RaiseExists(key);
    }
    chain.push_front(Node{key, value});
    ++count_;
  }

  // Raises EHashList "Item nr %d does not exist" when key is absent.
  void Remove(uint32_t key) {
    Chain& chain = ChainOf(key);
    for (auto before = chain.before_begin(), it = chain.begin(); it != chain.end(); before = it++) {
      if (it->key == key) {
        chain.erase_after(before);
        --count_;
        return;
      }
    }
    hash_list_detail::RaiseMissing(key);
  }

  // The value stored under key, or nullptr.
  T* Get(uint32_t key) const {
    for (const Node& node : buckets_[key & mask_]) {
      if (node.key == key) return node.value;
    }
    return nullptr;
  }

  bool Contains(uint32_t key) const {
    for (const Node& node : buckets_[key & mask_]) {
      if (node.key == key) return true;
    }
    return false;
  }

  int Count() const { return count_; }
  int BucketCount() const { return static_cast<int>(buckets_.size()); }

  // Forgets every key; the values are not touched.
  void Clear() {
    for (Chain& chain : buckets_) chain.clear();
    count_ = 0;
  }

 private:
  struct Node {
    uint32_t key;
    T* value;
  };
  using Chain = std::forward_list<Node>;

  Chain& ChainOf(uint32_t key) { return buckets_[key & mask_]; }

  uint32_t mask_;
  std::vector<Chain> buckets_;
  int count_ = 0;
};

}  // namespace qv
