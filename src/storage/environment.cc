#include "storage/environment.h"

#include <pthread.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace vossick {

namespace {

// Canonical paths of the environments this process holds open. LMDB forbids
// opening one environment twice in a process (its locks are per process).
// The registry is held still across fork, so that a child inherits it whole
// and can take it (to free the path of an environment it inherited). A plain
// mutex: a child may unlock that after the fork, not a reader/writer lock
// (glibc's knows its writer by thread id, which the child does not share).
std::mutex registry_mutex;
std::set<std::string>& open_paths() {
  static std::set<std::string> paths;
  static std::once_flag fork_handlers;
  std::call_once(fork_handlers, [] {
    const auto unlock = [] { registry_mutex.unlock(); };
    pthread_atfork([] { registry_mutex.lock(); }, unlock, unlock);
  });
  return paths;
}

}  // namespace

Error foreign_process_error() {
  return Error::message(
      "this explorer's environment was opened in another process (before a fork) and cannot be used in this "
      "one; create a new HeapDumpExplorer in this process once the inherited one is gone");
}

Result<std::shared_ptr<Environment>> Environment::open(std::string_view path) {
  std::string requested(path);
  char resolved[PATH_MAX];
  if (::realpath(requested.c_str(), resolved) == nullptr) return Error::os(errno);
  std::string canonical(resolved);

  std::set<std::string>& paths = open_paths();
  std::lock_guard lock(registry_mutex);
  if (paths.count(canonical)) {
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
  if (rc == 0) rc = mdb_reader_check(env, nullptr);
  if (rc != 0) {
    mdb_env_close(env);
    return Error::lmdb(rc);
  }
  paths.insert(canonical);
  return std::shared_ptr<Environment>(new Environment(env, std::move(canonical)));
}

Environment::~Environment() {
  // In a forked child the handle is left as it is: closing it would let LMDB
  // clear the parent's reader slots (they carry the parent's pid, which LMDB
  // takes for its own) and close descriptors it still uses.
  if (!foreign()) mdb_env_close(env_);
  std::lock_guard lock(registry_mutex);
  open_paths().erase(path_);
}

Result<Transaction> Transaction::begin_read(const Environment& env) {
  if (env.foreign()) return foreign_process_error();
  MDB_txn* txn = nullptr;
  int rc = mdb_txn_begin(env.raw(), nullptr, MDB_RDONLY, &txn);
  if (rc != 0) return Error::lmdb(rc);
  return Transaction(txn, nullptr, WriterGate());
}

Result<Transaction> Transaction::begin_write(Environment& env, StopCheck& stop) {
  if (env.foreign()) return foreign_process_error();
  const std::thread::id self = std::this_thread::get_id();
  if (env.writer_.load() == self) {
    return Error::message(
        "a write transaction on this environment is already open on this thread; imports into "
        "one environment cannot be nested");
  }
  VOSSICK_ASSIGN_OR_RETURN(WriterGate gate, WriterGate::acquire(env.canonical_path() + "/data.mdb", stop));
  MDB_txn* txn = nullptr;
  int rc = mdb_reader_check(env.raw(), nullptr);
  if (rc == 0) rc = mdb_txn_begin(env.raw(), nullptr, 0, &txn);
  if (rc != 0) return Error::lmdb(rc);
  env.writer_.store(self);
  return Transaction(txn, &env, std::move(gate));
}

Result<Transaction> Transaction::begin_nested(const Transaction& parent) {
  if (parent.foreign()) return foreign_process_error();
  MDB_txn* txn = nullptr;
  if (int rc = mdb_txn_begin(mdb_txn_env(parent.raw()), parent.raw(), 0, &txn); rc != 0) return Error::lmdb(rc);
  return Transaction(txn, nullptr, WriterGate());
}

Transaction& Transaction::operator=(Transaction&& other) noexcept {
  if (this != &other) {
    abort();
    txn_ = std::exchange(other.txn_, nullptr);
    writer_of_ = std::exchange(other.writer_of_, nullptr);
    gate_ = std::move(other.gate_);
    generation_ = other.generation_;
  }
  return *this;
}

void Transaction::release_writer() noexcept {
  if (writer_of_ != nullptr) {
    writer_of_->writer_.store(std::thread::id());
    writer_of_ = nullptr;
  }
  gate_.release();
}

Status Transaction::commit() {
  if (foreign()) return foreign_process_error();
  MDB_txn* txn = std::exchange(txn_, nullptr);
  // mdb_txn_commit frees the transaction even when it fails.
  int rc = mdb_txn_commit(txn);
  release_writer();
  if (rc != 0) return Error::lmdb(rc);
  return ok_status();
}

void Transaction::abort() noexcept {
  if (txn_ == nullptr) return;
  // A forked child leaves the parent's transaction alone (leaking its
  // memory): LMDB would release the parent's writer lock or reader slot.
  if (!foreign()) mdb_txn_abort(txn_);
  txn_ = nullptr;
  release_writer();
}

Result<Cursor> Cursor::open(const Transaction& txn, MDB_dbi dbi) {
  if (txn.foreign()) return foreign_process_error();
  MDB_cursor* cursor = nullptr;
  int rc = mdb_cursor_open(txn.raw(), dbi, &cursor);
  if (rc != 0) return Error::lmdb(rc);
  return Cursor(cursor);
}

void Cursor::close() noexcept {
  // A forked child's cursor is leaked with its transaction.
  if (cursor_ != nullptr && generation_ == process_generation()) mdb_cursor_close(cursor_);
  cursor_ = nullptr;
}

Cursor& Cursor::operator=(Cursor&& other) noexcept {
  if (this != &other) {
    close();
    cursor_ = std::exchange(other.cursor_, nullptr);
    generation_ = other.generation_;
  }
  return *this;
}

Cursor::~Cursor() { close(); }

Status Cursor::put(std::string_view key, std::string_view value) {
  MDB_val k = to_val(key);
  MDB_val v = to_val(value);
  int rc = mdb_cursor_put(cursor_, &k, &v, 0);
  if (rc != 0 && rc != MDB_KEYEXIST) return Error::lmdb(rc);
  return ok_status();
}

Status Cursor::append(std::string_view key, std::string_view value, bool same_key) {
  MDB_val k = to_val(key);
  MDB_val v = to_val(value);
  int rc = mdb_cursor_put(cursor_, &k, &v, same_key ? MDB_APPENDDUP : MDB_APPEND);
  if (rc != 0) return Error::lmdb(rc);
  return ok_status();
}

Result<std::optional<std::string_view>> Cursor::put_unless_present(std::string_view key, std::string_view value) {
  MDB_val k = to_val(key);
  MDB_val v = to_val(value);
  int rc = mdb_cursor_put(cursor_, &k, &v, MDB_NOOVERWRITE);
  if (rc == MDB_KEYEXIST) return std::optional<std::string_view>(to_view(v));
  if (rc != 0) return Error::lmdb(rc);
  return std::optional<std::string_view>();
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

Result<std::optional<std::string_view>> get_value(const Transaction& txn, MDB_dbi dbi, std::string_view key) {
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

}  // namespace vossick
