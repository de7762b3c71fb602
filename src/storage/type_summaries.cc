#include "storage/type_summaries.h"

namespace vossick {

namespace {

// Pages of up to ~250 entries between questions to the StopCheck.
constexpr uint32_t kPagesPerStopPoll = 16;

}  // namespace

Status rebuild_type_summaries(const Transaction& read_txn, const Transaction& write_txn, const Databases& dbs,
                              StopCheck& stop) {
  VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(read_txn, dbs.types_size_index));
  StopPoll poll(stop, kPagesPerStopPoll);
  std::string type;
  for (MDB_cursor_op op = MDB_FIRST;; op = MDB_NEXT_NODUP) {
    VOSSICK_ASSIGN_OR_RETURN(auto first, cursor.get(op));
    if (!first) break;
    VOSSICK_TRY(decode_type(first->first));
    // The index is DUPFIXED, so every entry of a key has the first one's length.
    VOSSICK_TRY(decode_size_index_entry(first->second));
    type.assign(first->first);
    TypeSummary summary;
    // A key with one entry has no pages of entries: then LMDB leaves the
    // value as it was, and the entry is the one already read.
    VOSSICK_ASSIGN_OR_RETURN(auto page, cursor.get(MDB_GET_MULTIPLE));
    if (page && page->second.data() == nullptr) page->second = first->second;
    while (page) {
      for (size_t at = 0; at < page->second.size(); at += kSizeIndexEntryBytes) {
        VOSSICK_ASSIGN_OR_RETURN(SizeIndexEntry entry,
                                 decode_size_index_entry(page->second.substr(at, kSizeIndexEntryBytes)));
        summary.count += 1;
        summary.total_size += entry.size;
      }
      VOSSICK_TRY(poll.poll());
      VOSSICK_ASSIGN_OR_RETURN(page, cursor.get(MDB_NEXT_MULTIPLE));
    }
    VOSSICK_TRY(put_type_summary(write_txn, dbs, type, summary));
  }
  return ok_status();
}

}  // namespace vossick
