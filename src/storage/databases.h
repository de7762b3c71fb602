// The named databases of an environment (the six that hold the records and
// their indexes, and two that hold what dump lines say beside their records:
// `reference_labels`, id -> the labels in the encoding of record_labels.h,
// and `allocation_sites`, id -> the site's UTF-8 text; and the four of the dominator
// tree, dominators/retained_store.h), and the puts and reads of the
// index databases (`referrers`, `types`, the two size indexes and
// `type_summaries`) in the byte forms of encodings.h. Records in `primary`
// are read and written through primary.h.
//
// Thread safety: as the transaction or cursor passed in.
#pragma once

#include <lmdb.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/result.h"
#include "base/stop_check.h"
#include "storage/encodings.h"
#include "storage/environment.h"

namespace vossick {

struct Databases {
  MDB_dbi primary = 0;
  MDB_dbi referrers = 0;
  MDB_dbi types = 0;
  MDB_dbi types_size_index = 0;
  MDB_dbi types_subtree_size_index = 0;
  MDB_dbi type_summaries = 0;
  MDB_dbi reference_labels = 0;
  MDB_dbi allocation_sites = 0;
  // The dominator tree and retained sizes (dominators/retained_store.h).
  // `retained_state` holds its one record only while they describe the
  // objects stored: every import empties it in its own transaction.
  MDB_dbi dominator_tree = 0;
  MDB_dbi dominated_by_root = 0;
  MDB_dbi types_retained_size_index = 0;
  MDB_dbi retained_state = 0;

  // Opens the databases in a read-only transaction, which waits for no
  // writer; only when one is missing, creates what is absent as create() does.
  static Result<Databases> open(Environment& env, StopCheck& stop = never_stop());
  // Creates the databases if absent, in one write transaction.
  static Result<Databases> create(Environment& env, StopCheck& stop = never_stop());
};

// Index puts, each through a cursor on its database, which is left on the
// pair. Putting a pair that a duplicate-sorted database already holds stores
// nothing new.
Status put_reverse_edge(Cursor& referrers, uint64_t referenced_id, uint64_t referrer_id);
Status put_type_id(Cursor& types, std::string_view type_key, uint64_t id);
Status put_size_index_entry(Cursor& size_index, std::string_view type_key, const SizeIndexEntry& entry);

// Replaces the summary stored under `type_key`.
Status put_type_summary(const Transaction& txn, const Databases& dbs, std::string_view type_key,
                        const TypeSummary& summary);
// Empty when no summary is stored under `type_key`.
Result<std::optional<TypeSummary>> get_type_summary(const Transaction& txn, const Databases& dbs,
                                                    std::string_view type_key);

// Walks the duplicates of `key` in `dbi` in stored order, skipping `offset`
// of them undecoded and handing at most `limit` to `take` (all when no
// limit); an absent key has none. Stops at the first error of `take`.
template <class Take>
Status walk_duplicates(const Transaction& txn, MDB_dbi dbi, std::string_view key, uint64_t offset,
                       std::optional<uint64_t> limit, Take&& take) {
  VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn, dbi));
  VOSSICK_ASSIGN_OR_RETURN(auto value, cursor.first_duplicate(key));
  uint64_t taken = 0;
  for (uint64_t position = 0; value; ++position) {
    if (position >= offset) {
      if (limit && taken == *limit) break;
      VOSSICK_TRY(take(*value));
      ++taken;
    }
    VOSSICK_ASSIGN_OR_RETURN(value, cursor.next_duplicate());
  }
  return ok_status();
}

}  // namespace vossick
