// The country table: the codes the server list knows for a hosting
// provider's country, in the list's own order.
//
// A code has four decimal digits: continent (1 Africa, 2 Americas, 3 Asia,
// 4 Europe, 5 Oceania, 6 Antarctica), sub-region, then two digits for the
// country. Codes ending in "00" name a continent or sub-region, not a
// country. Names are UTF-8; convert to Latin-1 where a wire format needs it.
//
// Thread rules: the table is built once on first use (thread-safe) and never
// changes; every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

struct TCountry {
  int32_t Number;
  std::string Name;
};

// The whole table (267 entries), ordered by code.
const std::vector<TCountry>& CountryTable();
// The name for a code; "Unknown" when the code is not in the table.
std::string CountryName(int32_t number);
// True when the code is in the table and names a country, not a region.
bool IsCountry(int32_t number);

}  // namespace qv
