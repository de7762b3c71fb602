#include "queries/annotations.h"

#include <algorithm>
#include <map>

#include "queries/type_listings.h"
#include "records/record_labels.h"
#include "storage/primary.h"

namespace vossick {

namespace {

// Sites are few beside objects; one poll per this many objects.
constexpr uint32_t kObjectsPerStopPoll = 4096;

}  // namespace

Result<std::optional<std::vector<std::optional<std::string>>>> get_reference_labels(const Explorer& explorer,
                                                                                     uint64_t id) {
  using Labels = std::vector<std::optional<std::string>>;
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_read(explorer.env()));
  VOSSICK_ASSIGN_OR_RETURN(auto record, get_record<ObjectRecordNoValue>(txn, explorer.dbs(), id));
  if (!record) return std::optional<Labels>();
  VOSSICK_ASSIGN_OR_RETURN(auto bytes, get_value(txn, explorer.dbs().reference_labels, id_key(encode_id(id))));
  if (!bytes) return std::optional<Labels>(Labels(record->references.size()));
  std::optional<Labels> labels = decode_labels(*bytes);
  if (!labels || labels->size() != record->references.size()) {
    return Error::decoding("Invalid labels for ID " + std::to_string(id));
  }
  return labels;
}

Result<std::optional<std::string>> get_allocation_site(const Explorer& explorer, uint64_t id) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_read(explorer.env()));
  VOSSICK_ASSIGN_OR_RETURN(auto bytes, get_value(txn, explorer.dbs().allocation_sites, id_key(encode_id(id))));
  if (!bytes) return std::optional<std::string>();
  return std::optional<std::string>(std::string(*bytes));
}

Result<std::vector<AllocationSiteSummary>> get_allocation_site_summaries(const Explorer& explorer,
                                                                         std::optional<uint64_t> page,
                                                                         StopCheck& stop) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_read(explorer.env()));
  VOSSICK_ASSIGN_OR_RETURN(Cursor sites, Cursor::open(txn, explorer.dbs().allocation_sites));
  std::map<std::string, AllocationSiteSummary, std::less<>> by_site;
  StopPoll poll(stop, kObjectsPerStopPoll);
  ObjectSummary object;
  for (MDB_cursor_op op = MDB_FIRST;; op = MDB_NEXT) {
    VOSSICK_TRY(poll.poll());
    VOSSICK_ASSIGN_OR_RETURN(auto entry, sites.get(op));
    if (!entry) break;
    VOSSICK_ASSIGN_OR_RETURN(uint64_t id, decode_id(entry->first));
    VOSSICK_ASSIGN_OR_RETURN(bool found, get_record_into(txn, explorer.dbs(), id, object));
    if (!found) return missing_record_error(id, MissingRecordIn::kSummary);
    auto it = by_site.find(entry->second);
    if (it == by_site.end()) {
      it = by_site.emplace(std::string(entry->second), AllocationSiteSummary{std::string(entry->second)}).first;
    }
    ++it->second.count;
    it->second.total_size += object.size;
  }
  std::vector<AllocationSiteSummary> rows;
  rows.reserve(by_site.size());
  for (auto& [site, summary] : by_site) rows.push_back(std::move(summary));
  // by_site ordered them by site, so a stable sort keeps ties that way.
  std::stable_sort(rows.begin(), rows.end(), [](const AllocationSiteSummary& a, const AllocationSiteSummary& b) {
    return a.total_size > b.total_size;
  });
  if (!page) return rows;
  uint64_t offset = 0;
  if (__builtin_mul_overflow(*page, kPageSize, &offset) || offset >= rows.size()) {
    return std::vector<AllocationSiteSummary>();
  }
  const auto first = rows.begin() + static_cast<ptrdiff_t>(offset);
  return std::vector<AllocationSiteSummary>(first, first + static_cast<ptrdiff_t>(std::min<uint64_t>(
                                                                kPageSize, rows.size() - offset)));
}

}  // namespace vossick
