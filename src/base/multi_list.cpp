#include "base/multi_list.h"

#include <fmt/format.h>

namespace qv::multi_list_detail {

void RaiseBadIndex(int index) { throw EListError(fmt::format("List index out of bounds ({})", index)); }

void RaiseNoItem(uint32_t key) { throw EListError(fmt::format("Item nr {} is empty", key)); }

}  // namespace qv::multi_list_detail
