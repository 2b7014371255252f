#include "base/hash_list.h"

#include <fmt/format.h>

namespace qv::hash_list_detail {

uint32_t MaskFor(int buckets) {
  if (buckets <= 0) throw EHashList(fmt::format("{} is not a positive number", buckets));
  if ((buckets & (buckets - 1)) != 0) throw EHashList(fmt::format("{} is not a power of 2", buckets));
  return static_cast<uint32_t>(buckets) - 1;
}

void RaiseExists(uint32_t key) { throw EHashList(fmt::format("Item nr {} already exists", key)); }

void RaiseMissing(uint32_t key) { throw EHashList(fmt::format("Item nr {} does not exist", key)); }

}  // namespace qv::hash_list_detail
