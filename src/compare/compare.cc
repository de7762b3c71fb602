#include "compare/compare.h"

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "dominators/retained_store.h"
#include "queries/object_lookup.h"
#include "queries/type_listings.h"
#include "records/canonical_record.h"
#include "storage/databases.h"
#include "storage/primary.h"

namespace vossick {

namespace {

// Records and index entries between two questions to `stop`.
constexpr uint32_t kStopPollPeriod = 4096;

// Both explorers on one environment would call every object kept; an
// environment is open at most once per process, so one environment means one
// database.
Status check_baseline(const Explorer& current, const Explorer& baseline) {
  if (&current.env() == &baseline.env())
    return Error::message("the baseline is this explorer's own database: import the two dumps into two databases");
  return ok_status();
}

// The read transactions of one comparison, one per environment.
struct SidePair {
  Transaction current;
  Transaction baseline;

  static Result<SidePair> begin(const Explorer& current, const Explorer& baseline) {
    VOSSICK_TRY(check_baseline(current, baseline));
    VOSSICK_ASSIGN_OR_RETURN(Transaction current_txn, Transaction::begin_read(current.env()));
    VOSSICK_ASSIGN_OR_RETURN(Transaction baseline_txn, Transaction::begin_read(baseline.env()));
    return SidePair{std::move(current_txn), std::move(baseline_txn)};
  }
};

// The half-open range of `count` items that `page` selects (all without a
// page; empty past the end, also where the offset exceeds 64 bits).
std::pair<size_t, size_t> page_range(std::optional<uint64_t> page, size_t count) {
  if (!page) return {0, count};
  uint64_t offset = 0;
  if (__builtin_mul_overflow(*page, kPageSize, &offset) || offset >= count) return {count, count};
  return {offset, std::min<uint64_t>(count, offset + kPageSize)};
}

// The type of a stored record. The view points into `bytes` (canonical) or
// into `scratch` (anything else, decoded by the general parser). Only the
// head of a canonical record is read: kept objects are the bulk of a dump,
// and their other members play no part in a comparison.
Result<std::string_view> stored_type(std::string_view bytes, ObjectSummary& scratch) {
  if (auto head = scan_canonical_head(bytes)) [[likely]]
    return head->type;
  VOSSICK_TRY(decode_stored_record(bytes, scratch));
  return std::string_view(scratch.type);
}

// The new objects of this side, ascending by id, with their direct sizes.
struct NewObjects {
  std::vector<uint64_t> ids;
  std::vector<uint64_t> sizes;  // beside ids, filled only when asked for

  bool contains(uint64_t id) const { return std::binary_search(ids.begin(), ids.end(), id); }
};

// One merge of both `primary` databases in id order. A record's type is read
// only where the baseline holds its id: any other record is new regardless.
Result<NewObjects> classify(const Databases& current_dbs, const Databases& baseline_dbs, const SidePair& txns,
                            bool with_sizes, StopCheck& stop) {
  VOSSICK_ASSIGN_OR_RETURN(PrimaryScan current, PrimaryScan::open(txns.current, current_dbs));
  VOSSICK_ASSIGN_OR_RETURN(PrimaryScan baseline, PrimaryScan::open(txns.baseline, baseline_dbs));
  VOSSICK_ASSIGN_OR_RETURN(bool baseline_more, baseline.next());
  StopPoll poll(stop, kStopPollPeriod);
  NewObjects result;
  ObjectSummary current_scratch, baseline_scratch;
  for (;;) {
    VOSSICK_ASSIGN_OR_RETURN(bool current_more, current.next());
    if (!current_more) break;
    VOSSICK_TRY(poll.poll());
    const uint64_t id = current.current_id();
    while (baseline_more && baseline.current_id() < id) {
      VOSSICK_ASSIGN_OR_RETURN(baseline_more, baseline.next());
    }
    bool kept = false;
    if (baseline_more && baseline.current_id() == id) {
      VOSSICK_ASSIGN_OR_RETURN(std::string_view now, stored_type(current.current_value(), current_scratch));
      VOSSICK_ASSIGN_OR_RETURN(std::string_view before, stored_type(baseline.current_value(), baseline_scratch));
      kept = now == before;
    }
    if (kept) continue;
    result.ids.push_back(id);
    if (with_sizes) {
      VOSSICK_TRY(decode_stored_record(current.current_value(), current_scratch));
      result.sizes.push_back(current_scratch.size);
    }
  }
  return result;
}

// Whether this side's retained sizes describe its stored objects (computed,
// and not discarded by an import since).
Result<bool> retained_sizes_current(const Transaction& txn, const Databases& dbs) {
  VOSSICK_ASSIGN_OR_RETURN(auto state, get_value(txn, dbs.retained_state, dominators::kCurrentKey));
  return state.has_value();
}

// The size a new object adds to its referrer's growth: its retained size (the
// object with all that only it keeps alive) where retained sizes are current,
// else its direct size. A current tree has a node for every object, so a
// missing one is a damaged store.
Result<uint64_t> size_for_growth(const Transaction& current_txn, const Databases& dbs, uint64_t id,
                                 uint64_t direct_size, bool retained_current) {
  if (!retained_current) return direct_size;
  VOSSICK_ASSIGN_OR_RETURN(auto node, dominators::get_tree_node(current_txn, dbs, id));
  if (!node) return dominators::missing_tree_node(id);
  return node->retained_size;
}

// Ids of `type` in this side's `types` that the baseline's `types` lacks
// under that type: one merge of the two duplicate lists, which share the
// bytewise order.
Result<std::vector<uint64_t>> new_ids_of_type(const Explorer& current, const Explorer& baseline, const SidePair& txns,
                                              const Type& type, StopCheck& stop) {
  VOSSICK_ASSIGN_OR_RETURN(Cursor before, Cursor::open(txns.baseline, baseline.dbs().types));
  VOSSICK_ASSIGN_OR_RETURN(auto before_value, before.first_duplicate(type.encoded()));
  // The baseline's next id in the shared order; past its end when its list is.
  uint64_t before_id = 0;
  const auto decode_before = [&]() -> Status {
    if (!before_value) return ok_status();
    VOSSICK_ASSIGN_OR_RETURN(before_id, decode_id(*before_value));
    return ok_status();
  };
  VOSSICK_TRY(decode_before());
  StopPoll poll(stop, kStopPollPeriod);
  std::vector<uint64_t> ids;
  VOSSICK_TRY(walk_duplicates(txns.current, current.dbs().types, type.encoded(), 0, std::nullopt,
                              [&](std::string_view bytes) -> Status {
                                VOSSICK_TRY(poll.poll());
                                VOSSICK_ASSIGN_OR_RETURN(uint64_t id, decode_id(bytes));
                                while (before_value && id_bytes_order(before_id) < id_bytes_order(id)) {
                                  VOSSICK_ASSIGN_OR_RETURN(before_value, before.next_duplicate());
                                  VOSSICK_TRY(decode_before());
                                }
                                if (!before_value || before_id != id) ids.push_back(id);
                                return ok_status();
                              }));
  return ids;
}

}  // namespace

Result<std::vector<TypeComparison>> compare_type_summaries(const Explorer& current, const Explorer& baseline) {
  VOSSICK_TRY(check_baseline(current, baseline));
  VOSSICK_ASSIGN_OR_RETURN(auto current_rows, get_type_summaries(current));
  VOSSICK_ASSIGN_OR_RETURN(auto baseline_rows, get_type_summaries(baseline));
  std::map<std::string, TypeComparison, std::less<>> by_name;
  for (auto& [type, summary] : baseline_rows) by_name[std::string(type.encoded())] = {type, summary, {}};
  for (auto& [type, summary] : current_rows) {
    auto [at, inserted] = by_name.try_emplace(std::string(type.encoded()), TypeComparison{type, {}, {}});
    at->second.current = summary;
  }
  std::vector<TypeComparison> rows;
  rows.reserve(by_name.size());
  for (auto& [name, row] : by_name) rows.push_back(std::move(row));
  const auto growth = [](const TypeComparison& row) {
    return static_cast<__int128>(row.current.total_size) - static_cast<__int128>(row.baseline.total_size);
  };
  // by_name left the rows in name order, which the stable sort keeps for ties.
  std::stable_sort(rows.begin(), rows.end(),
                   [&](const TypeComparison& a, const TypeComparison& b) { return growth(a) > growth(b); });
  return rows;
}

Result<std::vector<ObjectSummary>> get_new_objects(const Explorer& current, const Explorer& baseline, const Type& type,
                                                   std::optional<uint64_t> page, StopCheck& stop) {
  VOSSICK_ASSIGN_OR_RETURN(SidePair txns, SidePair::begin(current, baseline));
  std::vector<uint64_t> ids;
  if (type.all_types) {
    VOSSICK_ASSIGN_OR_RETURN(NewObjects found,
                             classify(current.dbs(), baseline.dbs(), txns, /*with_sizes=*/false, stop));
    ids = std::move(found.ids);
    std::sort(ids.begin(), ids.end(), [](uint64_t a, uint64_t b) { return id_bytes_order(a) < id_bytes_order(b); });
  } else {
    VOSSICK_ASSIGN_OR_RETURN(ids, new_ids_of_type(current, baseline, txns, type, stop));
  }
  const auto [begin, end] = page_range(page, ids.size());
  return get_summaries_for_ids(txns.current, current.dbs(), std::span(ids).subspan(begin, end - begin), stop);
}

Result<std::vector<GrowthPoint>> get_growth_points(const Explorer& current, const Explorer& baseline,
                                                   std::optional<uint64_t> page, StopCheck& stop) {
  VOSSICK_ASSIGN_OR_RETURN(SidePair txns, SidePair::begin(current, baseline));
  const Databases& dbs = current.dbs();
  VOSSICK_ASSIGN_OR_RETURN(NewObjects found, classify(dbs, baseline.dbs(), txns, /*with_sizes=*/true, stop));
  VOSSICK_ASSIGN_OR_RETURN(bool retained_current, retained_sizes_current(txns.current, dbs));

  // (kept referrer, size of one new object it references); each pair of
  // referrer and referenced object is stored once, so counts are distinct.
  std::vector<std::pair<uint64_t, uint64_t>> edges;
  {
    VOSSICK_ASSIGN_OR_RETURN(Cursor referrers, Cursor::open(txns.current, dbs.referrers));
    StopPoll poll(stop, kStopPollPeriod);
    for (size_t i = 0; i < found.ids.size(); ++i) {
      VOSSICK_TRY(poll.poll());
      const EncodedId key = encode_id(found.ids[i]);
      VOSSICK_ASSIGN_OR_RETURN(uint64_t size,
                               size_for_growth(txns.current, dbs, found.ids[i], found.sizes[i], retained_current));
      VOSSICK_ASSIGN_OR_RETURN(auto value, referrers.first_duplicate(id_key(key)));
      while (value) {
        VOSSICK_ASSIGN_OR_RETURN(uint64_t referrer, decode_id(*value));
        if (!found.contains(referrer)) edges.emplace_back(referrer, size);
        VOSSICK_ASSIGN_OR_RETURN(value, referrers.next_duplicate());
      }
    }
  }
  std::sort(edges.begin(), edges.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

  struct Point {
    uint64_t id, count, size;
  };
  std::vector<Point> points;
  for (const auto& [referrer, size] : edges) {
    if (points.empty() || points.back().id != referrer) points.push_back({referrer, 0, 0});
    points.back().count += 1;
    points.back().size += size;
  }
  std::sort(points.begin(), points.end(),
            [](const Point& a, const Point& b) { return a.size != b.size ? a.size > b.size : a.id < b.id; });

  const auto [begin, end] = page_range(page, points.size());
  std::vector<GrowthPoint> result;
  result.reserve(end - begin);
  for (size_t i = begin; i < end; ++i) {
    VOSSICK_ASSIGN_OR_RETURN(ObjectSummary object, get_summary(txns.current, dbs, points[i].id));
    result.push_back({std::move(object), points[i].count, points[i].size});
  }
  return result;
}

}  // namespace vossick
