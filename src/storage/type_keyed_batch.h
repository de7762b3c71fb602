// Entries of the type-keyed databases (`types` and the size indexes) that a
// writer holds back to put many at once, in LMDB's key order, through one
// cursor: the batch's type names ranked as LMDB orders them, and the filing
// of every item under its type and under "All Types". The import's batches
// and the post-import pass's both use them.
//
// Thread safety: none; each belongs to one writer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "storage/databases.h"
#include "storage/environment.h"

namespace vossick {

// How much a key-ordered batch holds: at most this many records, and about
// this much memory (each batcher says what it does with more).
struct BatchLimits {
  size_t max_records = 65536;
  size_t max_bytes = size_t{16} << 20;
  // The memory of one sorted run of an import into empty databases
  // (sorted_runs.h), held puts and their index together.
  size_t run_bytes = size_t{256} << 20;
};

// The type names of one batch, numbered as they come; "All Types" is always
// number 0.
class BatchTypeNames {
 public:
  static constexpr uint32_t kAllTypes = 0;

  uint32_t number(std::string_view name);
  // Each number's position in LMDB's order of the names (bytewise, a prefix
  // first). Valid, like name_at_rank(), until the next number() or clear().
  const std::vector<uint32_t>& ranks();
  std::string_view name_at_rank(uint32_t rank) const { return names_[by_rank_[rank]]; }
  void clear();

 private:
  struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };

  std::vector<std::string> names_;
  std::unordered_map<std::string, uint32_t, StringHash, std::equal_to<>> numbers_;
  std::vector<uint32_t> ranks_;
  std::vector<uint32_t> by_rank_;
};

// Files every item under its `type` (a BatchTypeNames number) and under
// "All Types": `put(name, item)` for each, in LMDB's order of the names, every
// name's items in the order `before` gives, so that the puts could append.
// The items are sorted once; each type's share keeps that order by a stable
// pass over the ranks, instead of sorting twice as many. Stops at the first
// failing put.
template <class Item, class Before, class Put>
Status put_under_type_and_all_types(std::vector<Item>& items, BatchTypeNames& types, Before before, Put put) {
  std::sort(items.begin(), items.end(), before);
  const std::vector<uint32_t>& rank = types.ranks();
  std::vector<size_t> next(rank.size() + 1, 0);
  for (const Item& item : items) ++next[rank[item.type] + 1];
  for (size_t r = 1; r < next.size(); ++r) next[r] += next[r - 1];
  std::vector<const Item*> by_type(items.size());
  for (const Item& item : items) by_type[next[rank[item.type]]++] = &item;
  // next[r] is now where rank r's share ends.
  const uint32_t all_types_rank = rank[BatchTypeNames::kAllTypes];
  size_t begin = 0;
  for (uint32_t r = 0; r < rank.size(); ++r) {
    const std::string_view name = types.name_at_rank(r);
    if (r == all_types_rank) {
      // Objects of a type named "All Types" are among these already.
      for (const Item& item : items) VOSSICK_TRY(put(name, item));
      begin = next[r];
    }
    for (; begin < next[r]; ++begin) VOSSICK_TRY(put(name, *by_type[begin]));
  }
  return ok_status();
}

struct SizeEntryPut {
  uint32_t type;  // a BatchTypeNames number
  SizeIndexEntry entry;
};

// Puts every entry through `size_index`, a cursor on a size index, under its
// type's name and under "All Types", in key order.
Status put_size_entries_in_key_order(Cursor& size_index, std::vector<SizeEntryPut>& entries, BatchTypeNames& types);

}  // namespace vossick
