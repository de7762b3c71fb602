#include "heap_dump_explorer/post_import.h"

namespace vossick {

namespace {

// One sequential scan of `types_size_index`, grouping runs of equal keys.
Status rebuild_type_summaries(const Explorer& explorer, const Transaction& write_txn) {
  const Databases& dbs = explorer.dbs();
  VOSSICK_ASSIGN_OR_RETURN(Transaction read_txn, Transaction::begin_read(explorer.env()));
  VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(read_txn, dbs.types_size_index));
  std::string group;
  TypeSummary summary;
  bool in_group = false;
  for (MDB_cursor_op op = MDB_FIRST;; op = MDB_NEXT) {
    VOSSICK_ASSIGN_OR_RETURN(auto entry, cursor.get(op));
    if (!entry) break;
    if (!in_group || entry->first != group) {
      if (in_group) VOSSICK_TRY(put_type_summary(write_txn, dbs, group, summary));
      VOSSICK_TRY(decode_type(entry->first));
      group.assign(entry->first);
      summary = TypeSummary{};
      in_group = true;
    }
    VOSSICK_ASSIGN_OR_RETURN(SizeIndexEntry size_entry, decode_size_index_entry(entry->second));
    summary.count += 1;
    summary.total_size += size_entry.size;
  }
  if (in_group) VOSSICK_TRY(put_type_summary(write_txn, dbs, group, summary));
  return ok_status();
}

}  // namespace

Status run_post_import_processing(const Explorer& explorer, EstimatorPrecision precision) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction write_txn, Transaction::begin_write(explorer.env()));
  VOSSICK_TRY(rebuild_type_summaries(explorer, write_txn));
  if (precision != EstimatorPrecision::kNoEstimates) {
    VOSSICK_TRY(run_subtree_size_estimation(explorer, write_txn, precision));
  }
  return write_txn.commit();
}

}  // namespace vossick
