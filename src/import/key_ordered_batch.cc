#include "import/key_ordered_batch.h"

#include <algorithm>
#include <optional>
#include <tuple>
#include <utility>

#include "import/record_puts.h"

namespace vossick {

namespace {

template <class T>
void release_if_above(std::vector<T>& v, size_t max_bytes) {
  if (v.capacity() * sizeof(T) > max_bytes) std::vector<T>().swap(v);
}

}  // namespace

// Whether the held annotation puts can store or conflict: not when none has a
// value and the database is empty (an import without annotations).
Result<bool> KeyOrderedBatch::annotations_needed(const Transaction& txn, const Annotations& annotations, MDB_dbi dbi) {
  if (annotations.present > 0) return true;
  MDB_stat stat{};
  if (int rc = mdb_stat(txn.raw(), dbi, &stat); rc != 0) return Error::lmdb(rc);
  return stat.ms_entries > 0;
}

struct KeyOrderedBatch::Holder {
  KeyOrderedBatch& batch;

  Status put_record(uint64_t id, std::string_view text, uint64_t line) {
    batch.primary_.push_back(RecordPut{id, line, batch.records_.size(), text.size()});
    batch.records_.append(text);
    return ok_status();
  }
  Status put_labels(uint64_t id, std::optional<std::string_view> labels, uint64_t line) {
    batch.labels_.add(id, labels, line);
    return ok_status();
  }
  Status put_allocation_site(uint64_t id, std::optional<std::string_view> site, uint64_t line) {
    batch.sites_.add(id, site, line);
    return ok_status();
  }
  Status put_reverse_edge(uint64_t referenced_id, uint64_t referrer_id) {
    batch.edges_.push_back(ReverseEdge{referenced_id, referrer_id});
    return ok_status();
  }
  // Filed under "All Types" as well when applied.
  Status put_under_type(std::string_view type, const SizeIndexEntry& entry) {
    const uint32_t number = batch.types_.number(type);
    batch.type_ids_.push_back(TypeIdPut{number, entry.id});
    batch.size_entries_.push_back(SizeEntryPut{number, entry});
    return ok_status();
  }
};

void KeyOrderedBatch::Annotations::add(uint64_t id, std::optional<std::string_view> value, uint64_t line) {
  puts.push_back(AnnotationPut{id, line, bytes.size(), value ? value->size() : 0, value.has_value()});
  if (value) {
    bytes.append(*value);
    ++present;
  }
}

void KeyOrderedBatch::Annotations::clear(size_t max_bytes) {
  bytes.clear();
  puts.clear();
  present = 0;
  if (bytes.capacity() > max_bytes) std::string().swap(bytes);
  release_if_above(puts, max_bytes);
}

void KeyOrderedBatch::add(const AnnotatedRecord& record, std::string_view text, uint64_t line) {
  Holder holder{*this};
  (void)replay_record_puts(record, text, line, holder).ok();  // holding cannot fail
}

size_t KeyOrderedBatch::held_bytes() const noexcept {
  return records_.size() + labels_.held_bytes() + sites_.held_bytes() + primary_.size() * sizeof(RecordPut) + edges_.size() * sizeof(ReverseEdge) +
         type_ids_.size() * sizeof(TypeIdPut) + size_entries_.size() * sizeof(SizeEntryPut);
}

Status KeyOrderedBatch::apply(const Transaction& txn, const Databases& dbs, const BatchLimits& limits,
                              uint64_t& failed_line) {
  struct Clear {
    KeyOrderedBatch& batch;
    const BatchLimits& limits;
    ~Clear() { batch.clear(limits); }
  } clear_on_exit{*this, limits};
  VOSSICK_ASSIGN_OR_RETURN(ImportCursors cursors, open_import_cursors(txn, dbs));

  // The puts of one id keep their input order, so each line meets what the
  // lines before it left, as in input order, and the first conflicting line
  // of each id is found; the first of those in input order is the failure.
  std::sort(primary_.begin(), primary_.end(),
            [](const RecordPut& a, const RecordPut& b) { return a.id != b.id ? a.id < b.id : a.line < b.line; });
  std::optional<std::pair<uint64_t, Error>> first_failure;
  // Keeps the failure of the earliest line; returns the errors of no line.
  auto made = [&first_failure](Status status, uint64_t line) -> Status {
    if (status.ok() || status.error().kind() == ErrorKind::kStorage) return status;
    if (!first_failure || line < first_failure->first) first_failure.emplace(line, std::move(status).error());
    return ok_status();
  };
  // The annotations before the records: a line's annotation put asks
  // `primary` whether a record came before it (record_puts.h).
  using PutAnnotation = Status (ImportCursors::*)(uint64_t, std::optional<std::string_view>, uint64_t);
  const std::tuple<Annotations*, MDB_dbi, PutAnnotation> annotation_dbs[] = {
      {&labels_, dbs.reference_labels, &ImportCursors::put_labels},
      {&sites_, dbs.allocation_sites, &ImportCursors::put_allocation_site}};
  for (const auto& [annotations, dbi, put_annotation] : annotation_dbs) {
    VOSSICK_ASSIGN_OR_RETURN(bool needed, annotations_needed(txn, *annotations, dbi));
    if (!needed) continue;
    std::vector<AnnotationPut>& puts = annotations->puts;
    std::sort(puts.begin(), puts.end(), [](const AnnotationPut& a, const AnnotationPut& b) {
      return a.id != b.id ? a.id < b.id : a.line < b.line;
    });
    for (const AnnotationPut& put : puts) {
      if (first_failure && put.line > first_failure->first) continue;
      const std::string_view bytes = std::string_view(annotations->bytes).substr(put.offset, put.length);
      VOSSICK_TRY(made((cursors.*put_annotation)(put.id, optional_view(bytes, put.present), put.line), put.line));
    }
  }
  for (const RecordPut& put : primary_) {
    if (first_failure && put.line > first_failure->first) continue;
    const std::string_view text = std::string_view(records_).substr(put.offset, put.length);
    VOSSICK_TRY(made(cursors.put_record(put.id, text, put.line), put.line));
  }
  if (first_failure) {
    failed_line = first_failure->first;
    return std::move(first_failure->second);
  }

  std::sort(edges_.begin(), edges_.end(), [](const ReverseEdge& a, const ReverseEdge& b) {
    return a.referenced != b.referenced ? a.referenced < b.referenced
                                        : id_bytes_order(a.referrer) < id_bytes_order(b.referrer);
  });
  for (const ReverseEdge& edge : edges_) VOSSICK_TRY(cursors.put_reverse_edge(edge.referenced, edge.referrer));

  VOSSICK_TRY(put_under_type_and_all_types(
      type_ids_, types_,
      [](const TypeIdPut& a, const TypeIdPut& b) { return id_bytes_order(a.id) < id_bytes_order(b.id); },
      [&](std::string_view name, const TypeIdPut& put) { return put_type_id(cursors.types, name, put.id); }));
  return put_size_entries_in_key_order(cursors.size_index, size_entries_, types_);
}

void KeyOrderedBatch::clear(const BatchLimits& limits) {
  records_.clear();
  primary_.clear();
  labels_.clear(limits.max_bytes);
  sites_.clear(limits.max_bytes);
  edges_.clear();
  type_ids_.clear();
  size_entries_.clear();
  types_.clear();
  if (records_.capacity() > limits.max_bytes) std::string().swap(records_);
  release_if_above(primary_, limits.max_bytes);
  release_if_above(edges_, limits.max_bytes);
  release_if_above(type_ids_, limits.max_bytes);
  release_if_above(size_entries_, limits.max_bytes);
}

}  // namespace vossick
