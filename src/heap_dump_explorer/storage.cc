#include "heap_dump_explorer/storage.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <shared_mutex>

namespace vossick {

namespace {

// Canonical paths of the environments this process holds open. LMDB forbids
// opening one environment twice in a process (its locks are per process).
std::shared_mutex registry_mutex;
std::set<std::string>& open_paths() {
  static std::set<std::string> paths;
  return paths;
}

Error os_error(int err) {
  return Error::message(std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")");
}

}  // namespace

Result<std::shared_ptr<Environment>> Environment::open(std::string_view path) {
  std::string requested(path);
  char resolved[PATH_MAX];
  if (::realpath(requested.c_str(), resolved) == nullptr) return os_error(errno);
  std::string canonical(resolved);

  std::unique_lock lock(registry_mutex);
  if (open_paths().count(canonical)) {
    return Error::message(
        "environment already open in this program; close it to be able to open it again with "
        "different options");
  }
  MDB_env* env = nullptr;
  int rc = mdb_env_create(&env);
  if (rc != 0) return Error::lmdb(rc);
  rc = mdb_env_set_mapsize(env, kMapSize);
  if (rc == 0) rc = mdb_env_set_maxdbs(env, kMaxNamedDatabases);
  if (rc == 0) rc = mdb_env_open(env, canonical.c_str(), MDB_NOTLS, 0600);
  if (rc != 0) {
    mdb_env_close(env);
    return Error::lmdb(rc);
  }
  open_paths().insert(canonical);
  return std::shared_ptr<Environment>(new Environment(env, std::move(canonical)));
}

Environment::~Environment() {
  mdb_env_close(env_);
  std::unique_lock lock(registry_mutex);
  open_paths().erase(path_);
}

Result<Transaction> Transaction::begin_read(const Environment& env) {
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(env.raw(), nullptr, MDB_RDONLY, &txn);
  if (rc != 0) return Error::lmdb(rc);
  return Transaction(txn, nullptr);
}

Result<Transaction> Transaction::begin_write(Environment& env) {
  const std::thread::id self = std::this_thread::get_id();
  if (env.writer_.load() == self) {
    return Error::message(
        "a write transaction on this environment is already open on this thread; imports into "
        "one environment cannot be nested");
  }
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(env.raw(), nullptr, 0, &txn);
  if (rc != 0) return Error::lmdb(rc);
  env.writer_.store(self);
  return Transaction(txn, &env);
}

Transaction& Transaction::operator=(Transaction&& other) noexcept {
  if (this != &other) {
    abort();
    txn_ = std::exchange(other.txn_, nullptr);
    writer_of_ = std::exchange(other.writer_of_, nullptr);
  }
  return *this;
}

void Transaction::release_writer() noexcept {
  if (writer_of_ != nullptr) {
    writer_of_->writer_.store(std::thread::id());
    writer_of_ = nullptr;
  }
}

Status Transaction::commit() {
  MDB_txn* txn = std::exchange(txn_, nullptr);
  // mdb_txn_commit frees the transaction even when it fails.
  int rc = mdb_txn_commit(txn);
  release_writer();
  if (rc != 0) return Error::lmdb(rc);
  return ok_status();
}

void Transaction::abort() noexcept {
  if (txn_ != nullptr) {
    mdb_txn_abort(std::exchange(txn_, nullptr));
    release_writer();
  }
}

Result<Cursor> Cursor::open(const Transaction& txn, MDB_dbi dbi) {
  MDB_cursor* cursor = nullptr;
  int rc = mdb_cursor_open(txn.raw(), dbi, &cursor);
  if (rc != 0) return Error::lmdb(rc);
  return Cursor(cursor);
}

Cursor& Cursor::operator=(Cursor&& other) noexcept {
  if (this != &other) {
    if (cursor_ != nullptr) mdb_cursor_close(cursor_);
    cursor_ = std::exchange(other.cursor_, nullptr);
  }
  return *this;
}

Cursor::~Cursor() {
  if (cursor_ != nullptr) mdb_cursor_close(cursor_);
}

Status Cursor::put(std::string_view key, std::string_view value) {
  MDB_val k = to_val(key);
  MDB_val v = to_val(value);
  int rc = mdb_cursor_put(cursor_, &k, &v, 0);
  if (rc != 0 && rc != MDB_KEYEXIST) return Error::lmdb(rc);
  return ok_status();
}

Result<std::optional<Entry>> Cursor::get(MDB_cursor_op op, std::string_view key) {
  MDB_val k = to_val(key);
  MDB_val v{0, nullptr};
  int rc = mdb_cursor_get(cursor_, &k, &v, op);
  if (rc == MDB_NOTFOUND) return std::optional<Entry>();
  if (rc != 0) return Error::lmdb(rc);
  return std::optional<Entry>(Entry(to_view(k), to_view(v)));
}

Result<std::optional<std::string_view>> Cursor::first_duplicate(std::string_view key) {
  MDB_val k = to_val(key);
  MDB_val v{0, nullptr};
  int rc = mdb_cursor_get(cursor_, &k, &v, MDB_SET);
  if (rc == MDB_NOTFOUND) return std::optional<std::string_view>();
  if (rc == 0) rc = mdb_cursor_get(cursor_, &k, &v, MDB_FIRST_DUP);
  if (rc == 0) rc = mdb_cursor_get(cursor_, &k, &v, MDB_GET_CURRENT);
  if (rc == MDB_NOTFOUND) return std::optional<std::string_view>();
  if (rc != 0) return Error::lmdb(rc);
  return std::optional<std::string_view>(to_view(v));
}

Result<std::optional<std::string_view>> Cursor::next_duplicate() {
  MDB_val k{0, nullptr};
  MDB_val v{0, nullptr};
  int rc = mdb_cursor_get(cursor_, &k, &v, MDB_NEXT_DUP);
  if (rc == MDB_NOTFOUND) return std::optional<std::string_view>();
  if (rc != 0) return Error::lmdb(rc);
  return std::optional<std::string_view>(to_view(v));
}

Result<std::optional<std::string_view>> get_value(const Transaction& txn, MDB_dbi dbi,
                                                  std::string_view key) {
  MDB_val k = to_val(key);
  MDB_val v{0, nullptr};
  int rc = mdb_get(txn.raw(), dbi, &k, &v);
  if (rc == MDB_NOTFOUND) return std::optional<std::string_view>();
  if (rc != 0) return Error::lmdb(rc);
  return std::optional<std::string_view>(to_view(v));
}

Status put_value(const Transaction& txn, MDB_dbi dbi, std::string_view key, std::string_view value) {
  MDB_val k = to_val(key);
  MDB_val v = to_val(value);
  int rc = mdb_put(txn.raw(), dbi, &k, &v, 0);
  // A pair already present in a duplicate-sorted database is not an error.
  if (rc != 0 && rc != MDB_KEYEXIST) return Error::lmdb(rc);
  return ok_status();
}

Result<Databases> Databases::create(Environment& env) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction txn, Transaction::begin_write(env));
  Databases dbs;
  struct Spec {
    const char* name;
    unsigned flags;
    MDB_dbi* out;
  };
  const Spec specs[] = {
      {"primary", MDB_INTEGERKEY, &dbs.primary},
      {"referrers", MDB_INTEGERKEY | MDB_DUPSORT | MDB_DUPFIXED, &dbs.referrers},
      {"types", MDB_DUPSORT | MDB_DUPFIXED, &dbs.types},
      {"types_size_index", MDB_DUPSORT | MDB_DUPFIXED, &dbs.types_size_index},
      {"types_subtree_size_index", MDB_DUPSORT | MDB_DUPFIXED, &dbs.types_subtree_size_index},
      {"type_summaries", 0, &dbs.type_summaries},
  };
  for (const Spec& spec : specs) {
    int rc = mdb_dbi_open(txn.raw(), spec.name, spec.flags | MDB_CREATE, spec.out);
    if (rc != 0) return Error::lmdb(rc);
  }
  VOSSICK_TRY(txn.commit());
  return dbs;
}

namespace {
std::string_view bytes_view(const unsigned char* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}
}  // namespace

Status put_reverse_edge(const Transaction& txn, const Databases& dbs, uint64_t referenced_id,
                        uint64_t referrer_id) {
  EncodedId key = encode_id(referenced_id);
  EncodedId value = encode_id(referrer_id);
  return put_value(txn, dbs.referrers, id_key(key), id_key(value));
}

Status put_type_id(const Transaction& txn, const Databases& dbs, std::string_view type_key,
                   uint64_t id) {
  EncodedId value = encode_id(id);
  return put_value(txn, dbs.types, type_key, id_key(value));
}

Status put_size_index_entry(const Transaction& txn, MDB_dbi size_index, std::string_view type_key,
                            const SizeIndexEntry& entry) {
  EncodedSizeIndexEntry value = encode_size_index_entry(entry);
  return put_value(txn, size_index, type_key, bytes_view(value.bytes, kSizeIndexEntryBytes));
}

Status put_type_summary(const Transaction& txn, const Databases& dbs, std::string_view type_key,
                        const TypeSummary& summary) {
  EncodedTypeSummary value = encode_type_summary(summary);
  return put_value(txn, dbs.type_summaries, type_key, bytes_view(value.bytes, kTypeSummaryBytes));
}

Result<std::optional<TypeSummary>> get_type_summary(const Transaction& txn, const Databases& dbs,
                                                    std::string_view type_key) {
  VOSSICK_ASSIGN_OR_RETURN(auto bytes, get_value(txn, dbs.type_summaries, type_key));
  if (!bytes) return std::optional<TypeSummary>();
  VOSSICK_ASSIGN_OR_RETURN(TypeSummary summary, decode_type_summary(*bytes));
  return std::optional<TypeSummary>(summary);
}

}  // namespace vossick
