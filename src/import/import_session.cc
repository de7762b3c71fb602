#include "import/import_session.h"

#include "import/record_puts.h"
#include "records/record_parser.h"
#include "records/record_writer.h"
#include "storage/type_summaries.h"

namespace vossick {

namespace {

// LMDB refuses values above this size (and keys above its key limit).
constexpr uint64_t kMaxValueBytes = 0xffffffffu;

// Room kept free in the map for what a commit adds (the free list, the
// database records) beside the pages of the puts.
constexpr uint64_t kCommitReserveBytes = uint64_t{64} << 20;

// A put's share of the map, for the worst-case bound: its node (header and
// slot in the page) at most this many times over, which covers leaf pages
// filled to a quarter and their branch pages.
constexpr uint64_t kNodeBytes = 10;
constexpr uint64_t kPageFillSlack = 4;

}  // namespace

Result<ImportSession> ImportSession::begin(const Explorer& explorer, ImportOrder order, BatchLimits limits,
                                           StopCheck& stop) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_write(explorer.env(), stop));
  // Retained sizes describe the objects as they are: whatever this import
  // commits makes them stale, so they go in the same transaction.
  if (int rc = mdb_drop(txn.raw(), explorer.dbs().retained_state, 0); rc != 0) return Error::lmdb(rc);
  ImportSession session(std::move(txn), explorer.dbs(), order, limits);
  // Read under the writer lock: no other commit can move these.
  MDB_env* env = explorer.env().raw();
  MDB_envinfo info{};
  MDB_stat stat{};
  int rc = mdb_env_info(env, &info);
  if (rc == 0) rc = mdb_env_stat(env, &stat);
  if (rc != 0) return Error::lmdb(rc);
  session.map_bytes_ = info.me_mapsize;
  session.page_bytes_ = stat.ms_psize;
  session.max_key_bytes_ = static_cast<uint64_t>(mdb_env_get_maxkeysize(env));
  // Each page in use may be copied once before this transaction writes it.
  session.bound_of_used_bytes_ = 2 * (uint64_t{info.me_last_pgno} + 1) * stat.ms_psize + kCommitReserveBytes;
  return session;
}

Status ImportSession::add_line(std::string_view line) {
  if (failed_) return *failed_;
  ++lines_;
  if (txn_.foreign()) return fail(foreign_process_error());
  return fail(add_checked(line));
}

Status ImportSession::commit(StopCheck& stop) {
  if (failed_) return *failed_;
  if (!batch_.empty()) VOSSICK_TRY(fail(apply_batch()));
  VOSSICK_TRY(fail(rebuild_type_summaries(txn_, txn_, *dbs_, stop)));
  return fail(txn_.commit());
}

Status ImportSession::apply_batch() { return batch_.apply(txn_, *dbs_, limits_, failed_line_); }

Status ImportSession::fail(Status status) {
  if (!status.ok()) failed_ = status.error();
  return status;
}

Status ImportSession::add_checked(std::string_view line) {
  Status own = parse_record(line, record_);
  if (own.ok()) {
    text_.clear();
    write_record(record_, text_);
    own = check_sizes();
  }
  if (!own.ok()) {
    // A failure among the held lines came first.
    if (!batch_.empty()) VOSSICK_TRY(apply_batch());
    failed_line_ = lines_;
    return own;
  }
  if (order_ == ImportOrder::kInput) return put_line_in_input_order();

  const uint64_t worst = worst_case_bytes();
  if (worst > map_bytes_ || bound_of_used_bytes_ > map_bytes_ - worst) {
    // The map may not hold this line and the batch: apply the batch (its
    // lines were counted) and go on in input order, so that running out of
    // room fails on the line that needs the room.
    if (!batch_.empty()) VOSSICK_TRY(apply_batch());
    order_ = ImportOrder::kInput;
    return put_line_in_input_order();
  }
  bound_of_used_bytes_ += worst;
  batch_.add(record_, text_, lines_);
  if (batch_.full(limits_)) return apply_batch();
  return ok_status();
}

Status ImportSession::put_line_in_input_order() {
  Status status = put_in_input_order();
  if (!status.ok()) failed_line_ = lines_;
  return status;
}

Status ImportSession::put_in_input_order() {
  VOSSICK_ASSIGN_OR_RETURN(ImportCursors cursors, ImportCursors::open(txn_, *dbs_));
  return replay_record_puts(record_, text_, lines_, cursors);
}

// The size limits LMDB checks on each put, with its error, checked before
// any put: a line that breaks one fails with it in either order, even if its
// record also conflicts with a stored one.
Status ImportSession::check_sizes() const {
  if (text_.size() > kMaxValueBytes || record_.annotations.labels.size() > kMaxValueBytes ||
      record_.annotations.allocated_at.value_or("").size() > kMaxValueBytes) {
    return Error::lmdb(MDB_BAD_VALSIZE);
  }
  if (record_.type.empty() || record_.type.size() > max_key_bytes_) return Error::lmdb(MDB_BAD_VALSIZE);
  return ok_status();
}

uint64_t ImportSession::worst_case_bytes() const {
  const uint64_t type_keys = record_.type.size() + kAllTypesName.size();
  uint64_t bytes = kPageFillSlack * (kIdBytes + text_.size() + kNodeBytes);
  if (text_.size() > page_bytes_ / 4) {
    // On pages of its own, which a later line of the same id may replace.
    bytes += 2 * (text_.size() + 2 * page_bytes_);
  }
  bytes += record_.references.size() * kPageFillSlack * (2 * kIdBytes + kNodeBytes);
  bytes += kPageFillSlack * (type_keys + 2 * (kIdBytes + kNodeBytes));
  bytes += kPageFillSlack * (type_keys + 2 * (kSizeIndexEntryBytes + kNodeBytes));
  for (const uint64_t annotation : {uint64_t{record_.annotations.labels.size()},
                                    uint64_t{record_.annotations.allocated_at.value_or("").size()}}) {
    if (annotation == 0) continue;
    bytes += kPageFillSlack * (kIdBytes + annotation + kNodeBytes);
    if (annotation > page_bytes_ / 4) bytes += 2 * (annotation + 2 * page_bytes_);
  }
  return bytes;
}

std::string input_line_note(uint64_t line) {
  return "while importing line " + line_number_text(line) + " of the input";
}

}  // namespace vossick
