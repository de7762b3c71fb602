// A consistency check of a stored database: walks every entry of the six
// databases in one read transaction and verifies the redundancies between
// them, reporting every problem it finds instead of stopping at the first.
//
// What must hold (anything else is a problem):
//  - every `primary` value decodes as a record whose id equals its key;
//  - `types` and `types_size_index` file every record under its type and
//    under "All Types" (with its direct size), and hold nothing else;
//  - `referrers` holds exactly one pair (referenced, referrer) per distinct
//    reference of every record; its keys may name ids without a record;
//  - `type_summaries` holds, per key of `types_size_index`, the count and the
//    wrapping sum of its sizes, and nothing else;
//  - `types_subtree_size_index` files every record that has a subtree size
//    under its type and under "All Types" with that size. Nothing is ever
//    removed from it when an object is estimated again, so entries of an
//    earlier estimate (a size other than the record's current one) are
//    counted as stale, not reported;
//  - every index value has its fixed length and every type key decodes;
//  - while retained sizes are current (`retained_state` holds its record),
//    `dominator_tree` holds one node per record (only counted: the tree's
//    values are its own code's to check).
// A record that does not decode is reported once; index entries naming it
// are then accepted unexamined, since what it should be filed under is
// unknown.
//
// Memory: about 29 bytes per record throughout, and besides 16 per distinct
// reference while `referrers` is compared, 32 per record while a size index
// is: each database's key-ordered walk is merged with a sorted array of what
// it should hold, never looked up entry by entry.
//
// Thread safety: like a query; one read transaction, beside any writer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"
#include "base/stop_check.h"
#include "storage/explorer.h"

namespace vossick {

struct ConsistencyCounts {
  uint64_t records = 0;
  uint64_t records_with_subtree_size = 0;
  uint64_t referrers_entries = 0;
  uint64_t referenced_ids_without_record = 0;
  uint64_t types_entries = 0;
  uint64_t types_size_index_entries = 0;
  uint64_t types_subtree_size_index_entries = 0;
  uint64_t stale_subtree_size_entries = 0;
  uint64_t type_summaries_entries = 0;
  uint64_t problems = 0;
};

// The counts as (name, count) rows in a fixed order. The names are part of
// the public surface (scripts read them); do not reword them.
std::vector<std::pair<std::string_view, uint64_t>> named_counts(const ConsistencyCounts& counts);

struct ConsistencyReport {
  ConsistencyCounts counts;
  // The first problems found, at most the cap the check was given; each names
  // its database and the key or id ("types: id 9 (type "T") is missing under
  // "T""). counts.problems tells how many there were in all.
  std::vector<std::string> problems;

  bool consistent() const noexcept { return counts.problems == 0; }
};

inline constexpr size_t kMaxReportedProblems = 100;

// Fails only on LMDB errors, and with what `stop.report_progress` returns:
// it is told, every few tens of thousands of entries, the entries walked so
// far of the total entry count of the six databases. Damage in the stored
// values is reported, not returned as an error.
Result<ConsistencyReport> check_consistency(const Explorer& explorer, StopCheck& stop = never_stop(),
                                            size_t max_problems = kMaxReportedProblems);

}  // namespace vossick
