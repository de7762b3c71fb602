#include "queries/object_lookup.h"

#include "storage/primary.h"

namespace vossick {

namespace {

constexpr uint32_t kSummariesPerStopPoll = 4096;

}  // namespace

Result<ObjectSummary> get_summary(const Transaction& txn, const Databases& dbs, uint64_t id) {
  ObjectSummary summary;
  VOSSICK_ASSIGN_OR_RETURN(bool found, get_record_into(txn, dbs, id, summary));
  if (!found) return missing_record_error(id, MissingRecordIn::kSummary);
  return summary;
}

Result<std::vector<ObjectSummary>> get_summaries_for_ids(const Transaction& txn, const Databases& dbs,
                                                         std::span<const uint64_t> ids, StopCheck& stop) {
  std::vector<ObjectSummary> summaries;
  summaries.reserve(ids.size());
  StopPoll poll(stop, kSummariesPerStopPoll);
  for (uint64_t id : ids) {
    VOSSICK_TRY(poll.poll());
    VOSSICK_ASSIGN_OR_RETURN(ObjectSummary summary, get_summary(txn, dbs, id));
    summaries.push_back(std::move(summary));
  }
  return summaries;
}

Result<std::optional<ObjectRecord>> get_object(const Explorer& explorer, uint64_t id, StopCheck& stop) {
  const Databases& dbs = explorer.dbs();
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_read(explorer.env()));
  RawObjectRecord raw;
  VOSSICK_ASSIGN_OR_RETURN(bool found, get_record_into(txn, dbs, id, raw));
  if (!found) return std::optional<ObjectRecord>();

  std::vector<uint64_t> referrer_ids;
  VOSSICK_TRY(walk_duplicates(txn, dbs.referrers, id_key(encode_id(id)), 0, std::nullopt,
                              [&](std::string_view bytes) -> Status {
                                VOSSICK_ASSIGN_OR_RETURN(uint64_t referrer, decode_id(bytes));
                                referrer_ids.push_back(referrer);
                                return ok_status();
                              }));
  ObjectRecord record;
  VOSSICK_ASSIGN_OR_RETURN(record.referrers, get_summaries_for_ids(txn, dbs, referrer_ids, stop));
  VOSSICK_ASSIGN_OR_RETURN(record.references, get_summaries_for_ids(txn, dbs, raw.references, stop));
  record.id = raw.id;
  record.type = std::move(raw.type);
  record.value = std::move(raw.value);
  record.size = raw.size;
  record.subtree_size = raw.subtree_size;
  return std::optional<ObjectRecord>(std::move(record));
}

}  // namespace vossick
