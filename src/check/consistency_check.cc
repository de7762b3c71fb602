#include "check/consistency_check.h"

#include <algorithm>
#include <optional>
#include <span>
#include <unordered_map>

#include "base/utf8.h"
#include "records/record_writer.h"
#include "storage/encodings.h"
#include "storage/primary.h"

namespace vossick {

namespace {

constexpr uint64_t kProgressEvery = uint64_t{1} << 16;
constexpr uint32_t kUnreadable = UINT32_MAX;

void append(std::string& out, std::string_view text) { out += text; }
void append(std::string& out, uint64_t number) { append_u64(number, out); }

template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (append(out, parts), ...);
  return out;
}

void append_hex_escape(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\x";
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

// A stored key as readable, always valid UTF-8 text: quoted, control
// characters escaped, bytes that are not UTF-8 as \xNN.
std::string quoted(std::string_view bytes) {
  std::string out = "\"";
  while (!bytes.empty()) {
    const std::optional<Utf8Error> error = validate_utf8(bytes);
    const size_t valid = error ? error->valid_up_to : bytes.size();
    for (unsigned char c : bytes.substr(0, valid)) {
      if (c < 0x20 || c == 0x7f) {
        append_hex_escape(out, c);
        continue;
      }
      if (c == '"' || c == '\\') out += '\\';
      out += static_cast<char>(c);
    }
    const size_t invalid = error ? error->error_len.value_or(bytes.size() - valid) : 0;
    for (unsigned char c : bytes.substr(valid, invalid)) append_hex_escape(out, c);
    bytes.remove_prefix(valid + invalid);
  }
  out += '"';
  return out;
}

// Duplicate values as numbers that compare as LMDB compares their bytes, so
// that sorted arrays merge with a walk in stored order.
//
// `types`: an id, stored little-endian; read big-endian it orders bytewise.
struct IdValues {
  using Value = uint64_t;
  static constexpr size_t kBytes = kIdBytes;
  static Value decode(std::string_view bytes) { return load_be64(bytes_of(bytes)); }
  static Value of(uint64_t id, uint64_t) { return id_bytes_order(id); }
  static uint64_t id(Value v) { return id_bytes_order(v); }  // a byte swap: its own inverse
  static uint64_t size(Value) { return 0; }
  static std::string describe(Value v) { return cat("id ", id(v)); }
};

// The size indexes: (complemented size, id), both big-endian.
struct SizeValues {
  using Value = std::pair<uint64_t, uint64_t>;
  static constexpr size_t kBytes = kSizeIndexEntryBytes;
  static Value decode(std::string_view bytes) { return {load_be64(bytes_of(bytes)), load_be64(bytes_of(bytes) + 8)}; }
  static Value of(uint64_t id, uint64_t size) { return {~size, id}; }
  static uint64_t id(Value v) { return v.second; }
  static uint64_t size(Value v) { return ~v.first; }
  static std::string describe(Value v) { return cat("(size ", size(v), ", id ", id(v), ")"); }
};

// What `primary` holds, one slot per record in ascending id order.
struct Records {
  std::vector<uint64_t> ids;
  std::vector<uint32_t> ranks;  // index into `keys`, or kUnreadable
  std::vector<uint64_t> sizes;
  std::vector<uint64_t> subtree_sizes;
  std::vector<bool> has_subtree_size;
  // The type keys the records need, "All Types" among them, in stored order.
  std::vector<std::string> keys;
  uint32_t all_rank = 0;

  std::optional<size_t> find(uint64_t id) const {
    auto it = std::lower_bound(ids.begin(), ids.end(), id);
    if (it == ids.end() || *it != id) return std::nullopt;
    return static_cast<size_t>(it - ids.begin());
  }
};

// The values one type-keyed database should hold: under each key rank its
// sorted group; the "All Types" group holds every record's value.
template <class Value>
struct Expected {
  std::vector<Value> values;
  std::vector<size_t> starts;  // group r is values[starts[r], starts[r + 1])

  std::span<const Value> under(size_t rank) const {
    return std::span<const Value>(values).subspan(starts[rank], starts[rank + 1] - starts[rank]);
  }
};

// `filed(i)` gives the size record i is filed with, or nothing when it is not filed.
template <class Values, class Filed>
Expected<typename Values::Value> expect(const Records& records, Filed&& filed) {
  Expected<typename Values::Value> out;
  out.starts.assign(records.keys.size() + 1, 0);
  auto each_filed = [&](auto&& visit) {
    for (size_t i = 0; i < records.ids.size(); ++i) {
      if (records.ranks[i] == kUnreadable) continue;
      if (std::optional<uint64_t> size = filed(i)) visit(i, *size);
    }
  };
  each_filed([&](size_t i, uint64_t) {
    if (records.ranks[i] != records.all_rank) ++out.starts[records.ranks[i] + 1];
    ++out.starts[records.all_rank + 1];
  });
  for (size_t r = 1; r < out.starts.size(); ++r) out.starts[r] += out.starts[r - 1];
  out.values.resize(out.starts.back());
  std::vector<size_t> next(out.starts.begin(), out.starts.end() - 1);
  each_filed([&](size_t i, uint64_t size) {
    const auto value = Values::of(records.ids[i], size);
    if (records.ranks[i] != records.all_rank) out.values[next[records.ranks[i]]++] = value;
    out.values[next[records.all_rank]++] = value;
  });
  for (size_t r = 0; r + 1 < out.starts.size(); ++r) {
    std::sort(out.values.begin() + out.starts[r], out.values.begin() + out.starts[r + 1]);
  }
  return out;
}

class Checker {
 public:
  Checker(const Explorer& explorer, const Transaction& txn, StopCheck& stop, size_t max_problems)
      : dbs_(explorer.dbs()), txn_(txn), stop_(stop), max_problems_(max_problems) {}

  Result<ConsistencyReport> run();

 private:
  Status tick() {
    if (++done_ % kProgressEvery == 0) return stop_.report_progress(done_, total_);
    return ok_status();
  }
  template <class MakeText>
  void problem(MakeText&& make_text) {
    if (report_.counts.problems++ < max_problems_) report_.problems.push_back(make_text());
  }
  // A key that is neither "All Types" nor UTF-8: reported; false.
  bool check_key(std::string_view database, std::string_view key);
  // A value of the wrong length: reported; false. `where()` names its key.
  template <class Where>
  bool check_length(std::string_view database, Where&& where, std::string_view value, size_t expected) {
    if (value.size() == expected) return true;
    problem([&] { return cat(database, ": ", where(), " holds a value of ", value.size(), " bytes, not ", expected); });
    return false;
  }

  // Walks every entry of `dbi` in stored order, counting it in `entries`.
  template <class Visit>
  Status walk(MDB_dbi dbi, uint64_t& entries, Visit&& visit) {
    VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn_, dbi));
    for (MDB_cursor_op op = MDB_FIRST;; op = MDB_NEXT) {
      VOSSICK_ASSIGN_OR_RETURN(auto entry, cursor.get(op));
      if (!entry) return ok_status();
      VOSSICK_TRY(tick());
      ++entries;
      visit(entry->first, entry->second);
    }
  }
  // The id an integer key holds; a key of another length is reported.
  std::optional<uint64_t> key_id(std::string_view database, std::string_view key);

  Status count_entries();
  Status scan_primary();
  void rank_types(std::vector<std::string>&& names);
  Status check_referrers();
  // Merges the walk of a type-keyed database with what the records expect.
  // `same_type(key, value)` handles an entry that names a readable record of
  // the key's type but is not expected (its size differs). Every key with
  // values that decode reaches `key_done(key, their count and size sum)`.
  template <class Values, class SameType, class KeyDone>
  Status check_type_index(MDB_dbi dbi, std::string_view database, const Expected<typename Values::Value>& expected,
                          uint64_t& entries, SameType&& same_type, KeyDone&& key_done);
  Status check_type_summaries();
  Status check_retained_count();

  const Databases& dbs_;
  const Transaction& txn_;
  StopCheck& stop_;
  const size_t max_problems_;
  uint64_t done_ = 0;
  uint64_t total_ = 0;
  // What the databases say they hold: the sizes of the arrays built from
  // them when they are consistent, reserved up front rather than grown.
  uint64_t primary_entries_ = 0;
  uint64_t referrers_entries_ = 0;
  Records records_;
  // (referenced id, referrer as IdValues::of), one per distinct reference.
  std::vector<std::pair<uint64_t, uint64_t>> edges_;
  // What the post-import pass derives from `types_size_index`, in key order.
  std::vector<std::pair<std::string, TypeSummary>> derived_summaries_;
  ConsistencyReport report_;
};

bool Checker::check_key(std::string_view database, std::string_view key) {
  const std::optional<Utf8Error> error = validate_utf8(key);
  if (!error) return true;
  problem([&] { return cat(database, ": the key ", quoted(key), " is not UTF-8 (", error->to_string(), ")"); });
  return false;
}

Status Checker::count_entries() {
  // Counts from damaged pages can be anything; no entry takes less than 8
  // bytes of the file, which bounds what is worth reserving.
  MDB_envinfo info{};
  MDB_stat env_stat{};
  MDB_env* env = mdb_txn_env(txn_.raw());
  if (int rc = mdb_env_info(env, &info); rc != 0) return Error::lmdb(rc);
  if (int rc = mdb_env_stat(env, &env_stat); rc != 0) return Error::lmdb(rc);
  const uint64_t plausible = (uint64_t{info.me_last_pgno} + 1) * env_stat.ms_psize / kIdBytes;
  for (MDB_dbi dbi : {dbs_.primary, dbs_.referrers, dbs_.types, dbs_.types_size_index, dbs_.types_subtree_size_index,
                      dbs_.type_summaries}) {
    MDB_stat stat{};
    if (int rc = mdb_stat(txn_.raw(), dbi, &stat); rc != 0) return Error::lmdb(rc);
    total_ += stat.ms_entries;
    if (dbi == dbs_.primary) primary_entries_ = std::min<uint64_t>(stat.ms_entries, plausible);
    if (dbi == dbs_.referrers) referrers_entries_ = std::min<uint64_t>(stat.ms_entries, plausible);
  }
  return stop_.report_progress(0, total_);
}

std::optional<uint64_t> Checker::key_id(std::string_view database, std::string_view key) {
  if (key.size() == kIdBytes) return load_le64(bytes_of(key));
  problem([&] { return cat(database, ": a key of ", key.size(), " bytes, not ", kIdBytes); });
  return std::nullopt;
}

Status Checker::scan_primary() {
  Records& r = records_;
  RawObjectRecord record;
  std::unordered_map<std::string, uint32_t> type_ids;
  std::vector<std::string> names;  // by type id
  r.ids.reserve(primary_entries_);
  r.ranks.reserve(primary_entries_);
  r.sizes.reserve(primary_entries_);
  r.subtree_sizes.reserve(primary_entries_);
  r.has_subtree_size.reserve(primary_entries_);
  edges_.reserve(referrers_entries_);
  VOSSICK_TRY(walk(dbs_.primary, report_.counts.records, [&](std::string_view key, std::string_view value) {
    const std::optional<uint64_t> id = key_id("primary", key);
    if (!id) return;
    if (!r.ids.empty() && *id <= r.ids.back()) {
      problem([&] { return cat("primary: id ", *id, " is out of order (after id ", r.ids.back(), ")"); });
      return;
    }
    r.ids.push_back(*id);
    const Status decoded = decode_stored_record(value, record);
    if (!decoded.ok()) {
      problem(
          [&] { return cat("primary: the record of id ", *id, " does not decode (", decoded.error().text(), ")"); });
      r.ranks.push_back(kUnreadable);
      r.sizes.push_back(0);
      r.subtree_sizes.push_back(0);
      r.has_subtree_size.push_back(false);
      return;
    }
    if (record.id != *id) problem([&] { return cat("primary: the record under id ", *id, " has id ", record.id); });
    auto [slot, added] = type_ids.try_emplace(record.type, static_cast<uint32_t>(names.size()));
    if (added) names.push_back(record.type);
    r.ranks.push_back(slot->second);
    r.sizes.push_back(record.size);
    r.subtree_sizes.push_back(record.subtree_size.value_or(0));
    r.has_subtree_size.push_back(record.subtree_size.has_value());
    report_.counts.records_with_subtree_size += record.subtree_size.has_value();
    // One pair per distinct reference: then no pair repeats across records
    // either, and a consistent store needs exactly what was reserved.
    std::sort(record.references.begin(), record.references.end());
    auto distinct_end = std::unique(record.references.begin(), record.references.end());
    for (auto it = record.references.begin(); it != distinct_end; ++it) edges_.emplace_back(*it, IdValues::of(*id, 0));
  }));
  rank_types(std::move(names));
  return ok_status();
}

// Replaces the records' type ids by the ranks of their keys in stored order.
// A type named "All Types" is the marker itself.
void Checker::rank_types(std::vector<std::string>&& names) {
  Records& r = records_;
  std::vector<uint32_t> order(names.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return names[a] < names[b]; });
  std::vector<uint32_t> rank_of(names.size());
  bool all_placed = false;
  for (uint32_t i : order) {
    if (!all_placed && kAllTypesName <= names[i]) {
      r.all_rank = static_cast<uint32_t>(r.keys.size());
      all_placed = true;
      if (names[i] != kAllTypesName) r.keys.emplace_back(kAllTypesName);
    }
    rank_of[i] = static_cast<uint32_t>(r.keys.size());
    r.keys.push_back(std::move(names[i]));
  }
  if (!all_placed) {
    r.all_rank = static_cast<uint32_t>(r.keys.size());
    r.keys.emplace_back(kAllTypesName);
  }
  for (uint32_t& rank : r.ranks) {
    if (rank != kUnreadable) rank = rank_of[rank];
  }
}

Status Checker::check_referrers() {
  std::sort(edges_.begin(), edges_.end());
  auto missing = [&](const std::pair<uint64_t, uint64_t>& edge) {
    problem([&] {
      const uint64_t referrer = IdValues::id(edge.second);
      return cat("referrers: the pair (", edge.first, ", ", referrer, ") is missing: the record of id ", referrer,
                 " references ", edge.first);
    });
  };
  size_t next_edge = 0;
  size_t next_record = 0;  // keys ascend, so the search for their records only moves on
  std::optional<uint64_t> last_key;
  VOSSICK_TRY(walk(dbs_.referrers, report_.counts.referrers_entries, [&](std::string_view key, std::string_view value) {
    const std::optional<uint64_t> referenced = key_id("referrers", key);
    if (!referenced) return;
    if (last_key != referenced) {
      last_key = referenced;
      const std::vector<uint64_t>& ids = records_.ids;
      next_record = std::lower_bound(ids.begin() + next_record, ids.end(), *referenced) - ids.begin();
      if (next_record == ids.size() || ids[next_record] != *referenced) ++report_.counts.referenced_ids_without_record;
    }
    if (!check_length(
            "referrers", [&] { return cat("id ", *referenced); }, value, kIdBytes))
      return;
    const std::pair<uint64_t, uint64_t> edge(*referenced, IdValues::decode(value));
    while (next_edge < edges_.size() && edges_[next_edge] < edge) missing(edges_[next_edge++]);
    if (next_edge < edges_.size() && edges_[next_edge] == edge) {
      ++next_edge;
      return;
    }
    const uint64_t referrer = IdValues::id(edge.second);
    const std::optional<size_t> record = records_.find(referrer);
    if (record && records_.ranks[*record] == kUnreadable) return;
    problem([&] {
      return cat("referrers: the pair (", *referenced, ", ", referrer, ") names a referrer ",
                 record ? cat("whose record does not reference ", *referenced) : std::string("without a record"));
    });
  }));
  while (next_edge < edges_.size()) missing(edges_[next_edge++]);
  std::vector<std::pair<uint64_t, uint64_t>>().swap(edges_);
  return ok_status();
}

template <class Values, class SameType, class KeyDone>
Status Checker::check_type_index(MDB_dbi dbi, std::string_view database,
                                 const Expected<typename Values::Value>& expected, uint64_t& entries,
                                 SameType&& same_type, KeyDone&& key_done) {
  using Value = typename Values::Value;
  const std::vector<std::string>& keys = records_.keys;
  std::optional<size_t> rank;  // of the current key, when records need it
  auto missing = [&](Value value) {
    problem([&] { return cat(database, ": ", Values::describe(value), " is missing under ", quoted(keys[*rank])); });
  };
  auto all_missing = [&] {
    for (Value value : expected.under(*rank)) missing(value);
  };
  VOSSICK_ASSIGN_OR_RETURN(Cursor cursor, Cursor::open(txn_, dbi));
  size_t next_key = 0;
  for (MDB_cursor_op op = MDB_FIRST;; op = MDB_NEXT_NODUP) {
    VOSSICK_ASSIGN_OR_RETURN(auto entry, cursor.get(op));
    if (!entry) break;
    const std::string_view key = entry->first;
    for (; next_key < keys.size() && keys[next_key].compare(key) < 0; ++next_key) {
      rank = next_key;
      all_missing();
    }
    rank.reset();
    if (next_key < keys.size() && keys[next_key] == key) rank = next_key++;
    const bool key_ok = check_key(database, key);
    std::span<const Value> wanted = rank ? expected.under(*rank) : std::span<const Value>();
    TypeSummary summary;
    for (std::string_view bytes = entry->second;;) {
      VOSSICK_TRY(tick());
      ++entries;
      if (key_ok && check_length(
                        database, [&] { return quoted(key); }, bytes, Values::kBytes)) {
        const Value value = Values::decode(bytes);
        summary.count += 1;
        summary.total_size += Values::size(value);
        while (!wanted.empty() && wanted.front() < value) {
          missing(wanted.front());
          wanted = wanted.subspan(1);
        }
        if (!wanted.empty() && wanted.front() == value) {
          wanted = wanted.subspan(1);
        } else {
          const uint64_t id = Values::id(value);
          const std::optional<size_t> record = records_.find(id);
          const uint32_t record_rank = record ? records_.ranks[*record] : kUnreadable;
          if (!record) {
            problem([&] {
              return cat(database, ": ", quoted(key), " lists ", Values::describe(value), ", but id ", id,
                         " has no record");
            });
          } else if (record_rank != kUnreadable && rank != records_.all_rank && rank != record_rank) {
            problem([&] {
              return cat(database, ": ", quoted(key), " lists ", Values::describe(value), ", but the record of id ", id,
                         " has type ", quoted(keys[record_rank]));
            });
          } else if (record_rank != kUnreadable) {
            same_type(key, value, *record);
          }
        }
      }
      VOSSICK_ASSIGN_OR_RETURN(auto next, cursor.get(MDB_NEXT_DUP));
      if (!next) break;
      bytes = next->second;
    }
    for (Value value : wanted) missing(value);
    if (summary.count > 0) key_done(key, summary);
  }
  for (; next_key < keys.size(); ++next_key) {
    rank = next_key;
    all_missing();
  }
  return ok_status();
}

Status Checker::check_type_summaries() {
  const std::vector<std::pair<std::string, TypeSummary>>& derived = derived_summaries_;
  auto describe = [](const TypeSummary& s) { return cat("count ", s.count, ", total size ", s.total_size); };
  auto missing = [&](const std::pair<std::string, TypeSummary>& want) {
    problem([&] {
      return cat("type_summaries: ", quoted(want.first), " is missing (types_size_index gives ", describe(want.second),
                 ")");
    });
  };
  size_t next = 0;
  VOSSICK_TRY(walk(
      dbs_.type_summaries, report_.counts.type_summaries_entries, [&](std::string_view key, std::string_view value) {
        if (!check_key("type_summaries", key)) return;
        for (; next < derived.size() && derived[next].first < key; ++next) missing(derived[next]);
        const bool derived_here = next < derived.size() && derived[next].first == key;
        const std::optional<TypeSummary> want = derived_here ? std::optional(derived[next++].second) : std::nullopt;
        if (!check_length(
                "type_summaries", [&] { return quoted(key); }, value, kTypeSummaryBytes))
          return;
        const TypeSummary stored{load_le64(bytes_of(value)), load_le64(bytes_of(value) + 8)};
        if (want == stored) return;
        problem([&] {
          return cat("type_summaries: ", quoted(key), " holds ", describe(stored), ", but types_size_index ",
                     want ? "gives " + describe(*want) : std::string("has no entries under it"));
        });
      }));
  for (; next < derived.size(); ++next) missing(derived[next]);
  return ok_status();
}

Status Checker::check_retained_count() {
  MDB_stat state{};
  MDB_stat tree{};
  if (int rc = mdb_stat(txn_.raw(), dbs_.retained_state, &state); rc != 0) return Error::lmdb(rc);
  if (state.ms_entries == 0) return ok_status();  // not computed, or discarded by an import
  if (int rc = mdb_stat(txn_.raw(), dbs_.dominator_tree, &tree); rc != 0) return Error::lmdb(rc);
  if (tree.ms_entries != report_.counts.records) {
    problem([&] {
      return cat("dominator_tree: ", tree.ms_entries, " nodes, but retained sizes are current for ",
                 report_.counts.records, " records");
    });
  }
  return ok_status();
}

Result<ConsistencyReport> Checker::run() {
  VOSSICK_TRY(count_entries());
  VOSSICK_TRY(scan_primary());
  VOSSICK_TRY(check_referrers());
  const Records& r = records_;
  ConsistencyCounts& counts = report_.counts;
  auto ignore = [](auto&&...) {};
  {
    auto filed = [](size_t) { return std::optional<uint64_t>(0); };
    VOSSICK_TRY(check_type_index<IdValues>(dbs_.types, "types", expect<IdValues>(r, filed), counts.types_entries,
                                           ignore, ignore));
  }
  {
    auto filed = [&](size_t i) { return std::optional<uint64_t>(r.sizes[i]); };
    auto size_differs = [&](std::string_view key, SizeValues::Value value, size_t record) {
      problem([&] {
        return cat("types_size_index: ", quoted(key), " lists ", SizeValues::describe(value), ", but the record of id ",
                   r.ids[record], " has size ", r.sizes[record]);
      });
    };
    auto derive = [&](std::string_view key, const TypeSummary& summary) {
      derived_summaries_.emplace_back(std::string(key), summary);
    };
    VOSSICK_TRY(check_type_index<SizeValues>(dbs_.types_size_index, "types_size_index", expect<SizeValues>(r, filed),
                                             counts.types_size_index_entries, size_differs, derive));
  }
  {
    auto filed = [&](size_t i) {
      return r.has_subtree_size[i] ? std::optional<uint64_t>(r.subtree_sizes[i]) : std::nullopt;
    };
    auto stale = [&](auto&&...) { ++counts.stale_subtree_size_entries; };
    VOSSICK_TRY(check_type_index<SizeValues>(dbs_.types_subtree_size_index, "types_subtree_size_index",
                                             expect<SizeValues>(r, filed), counts.types_subtree_size_index_entries,
                                             stale, ignore));
  }
  VOSSICK_TRY(check_type_summaries());
  VOSSICK_TRY(check_retained_count());
  VOSSICK_TRY(stop_.report_progress(done_, total_));
  return std::move(report_);
}

}  // namespace

std::vector<std::pair<std::string_view, uint64_t>> named_counts(const ConsistencyCounts& c) {
  return {
      {"primary records", c.records},
      {"records with a subtree size", c.records_with_subtree_size},
      {"referrers entries", c.referrers_entries},
      {"referenced ids without a record", c.referenced_ids_without_record},
      {"types entries", c.types_entries},
      {"types_size_index entries", c.types_size_index_entries},
      {"types_subtree_size_index entries", c.types_subtree_size_index_entries},
      {"stale types_subtree_size_index entries", c.stale_subtree_size_entries},
      {"type_summaries entries", c.type_summaries_entries},
      {"problems", c.problems},
  };
}

Result<ConsistencyReport> check_consistency(const Explorer& explorer, StopCheck& stop, size_t max_problems) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_read(explorer.env()));
  Checker checker(explorer, txn, stop, max_problems);
  return checker.run();
}

}  // namespace vossick
