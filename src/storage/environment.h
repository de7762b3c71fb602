// The LMDB environment, and RAII owners for its transactions and cursors.
//
// Lifetimes: an Environment lives as long as the last shared_ptr to it; a
// Transaction must not outlive its Environment; a Cursor must not outlive its
// Transaction (declare it after the transaction so it is destroyed first).
// Every Transaction that is neither committed nor aborted is aborted by its
// destructor, so every path out of a function ends it.
//
// Thread safety: Environment is safe to share between threads. The environment
// is opened with MDB_NOTLS, so a read transaction is not tied to the thread that
// began it and one thread may hold a read and a write transaction at once. A
// write transaction must be used on the thread that began it. Transactions and
// cursors are not safe for concurrent use.
//
// Processes: all three belong to the process that created them. In a forked
// child they refuse every use with foreign_process_error() and make no LMDB
// call at all, not even when destroyed (LMDB's handles must not cross fork:
// closing the environment in a child would clear its parent's reader slots).
// Stale reader slots, left by processes that died inside a read transaction,
// are cleared at open and before every write transaction, so that they do not
// keep the pages of old snapshots from reuse and the file from growing.
//
// The texts of the errors (LMDB's messages, the OS's, "environment already
// open in this program; ...") are part of the module's public contract.
#pragma once

#include <lmdb.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "base/process_generation.h"
#include "base/result.h"
#include "base/stop_check.h"
#include "storage/writer_gate.h"

namespace vossick {

inline constexpr size_t kMapSize = size_t{1} << 36;  // 64 GiB
// Not stored in the files: the databases of databases.h, and room for more.
inline constexpr unsigned kMaxNamedDatabases = 16;

// The error of every use of an environment, transaction or cursor in a
// process forked from the one that created it.
Error foreign_process_error();

class Environment {
 public:
  // Opens the environment in the existing directory `path`, resolved to its
  // canonical form. Fails with the OS message ("No such file or directory
  // (os error 2)"), with "environment already open in this program; ..." when
  // this process already holds the directory, or with LMDB's message.
  static Result<std::shared_ptr<Environment>> open(std::string_view path);

  ~Environment();
  Environment(const Environment&) = delete;
  Environment& operator=(const Environment&) = delete;

  MDB_env* raw() const noexcept { return env_; }
  const std::string& canonical_path() const noexcept { return path_; }
  // Whether this process is a fork of the one that opened the environment.
  bool foreign() const noexcept { return generation_ != process_generation(); }

 private:
  friend class Transaction;
  Environment(MDB_env* env, std::string path) : env_(env), path_(std::move(path)), generation_(process_generation()) {}

  MDB_env* env_;
  std::string path_;
  uint64_t generation_;
  // The thread holding this environment's write transaction, if any. LMDB's
  // writer lock is not reentrant: a second write transaction on the same
  // thread would wait for itself forever, so it is refused instead.
  std::atomic<std::thread::id> writer_{};
};

class Transaction {
 public:
  static Result<Transaction> begin_read(const Environment& env);
  // Waits for the writer gate (writer_gate.h), asking `stop` while it waits,
  // then for LMDB's writer lock, which only a writer outside this module can
  // hold by then. Callers that hold other locks (the Python interpreter lock)
  // must release them around this call.
  static Result<Transaction> begin_write(Environment& env, StopCheck& stop = never_stop());
  // A transaction nested in the write transaction `parent`: its writes reach
  // `parent` when it commits and vanish when it aborts. `parent` must not be
  // used until it ends. Holds no lock of its own (its parent holds them).
  static Result<Transaction> begin_nested(const Transaction& parent);

  Transaction(Transaction&& other) noexcept
      : txn_(std::exchange(other.txn_, nullptr)),
        writer_of_(std::exchange(other.writer_of_, nullptr)),
        gate_(std::move(other.gate_)),
        generation_(other.generation_) {}
  Transaction& operator=(Transaction&& other) noexcept;
  ~Transaction() { abort(); }

  Status commit();
  void abort() noexcept;

  MDB_txn* raw() const noexcept { return txn_; }
  bool active() const noexcept { return txn_ != nullptr; }
  bool foreign() const noexcept { return generation_ != process_generation(); }

 private:
  Transaction(MDB_txn* txn, Environment* writer_of, WriterGate gate)
      : txn_(txn), writer_of_(writer_of), gate_(std::move(gate)), generation_(process_generation()) {}
  void release_writer() noexcept;

  MDB_txn* txn_;
  Environment* writer_of_;  // set for top-level write transactions
  WriterGate gate_;         // held by write transactions until they end
  uint64_t generation_;
};

inline MDB_val to_val(std::string_view bytes) { return MDB_val{bytes.size(), const_cast<char*>(bytes.data())}; }
inline MDB_val to_val(const void* data, size_t size) { return MDB_val{size, const_cast<void*>(data)}; }
inline std::string_view to_view(const MDB_val& v) {
  return std::string_view(static_cast<const char*>(v.mv_data), v.mv_size);
}

using Entry = std::pair<std::string_view, std::string_view>;

class Cursor {
 public:
  static Result<Cursor> open(const Transaction& txn, MDB_dbi dbi);

  Cursor(Cursor&& other) noexcept : cursor_(std::exchange(other.cursor_, nullptr)), generation_(other.generation_) {}
  Cursor& operator=(Cursor&& other) noexcept;
  ~Cursor();

  // One cursor operation; empty at MDB_NOTFOUND. The views point into the map
  // and stay valid until the transaction ends (read) or the next write.
  Result<std::optional<Entry>> get(MDB_cursor_op op, std::string_view key = {});

  // Positions on `key` and yields its first duplicate; empty when absent.
  Result<std::optional<std::string_view>> first_duplicate(std::string_view key);
  // The next duplicate of the current key; empty after the last one.
  Result<std::optional<std::string_view>> next_duplicate();

  // Puts like put_value, and leaves the cursor on the pair: a next key on the
  // same page is then found without a descent from the root.
  Status put(std::string_view key, std::string_view value);

  // Appends a pair that sorts after every pair of the database: a new last
  // key (MDB_APPEND), or, with `same_key`, a new last duplicate of the last
  // key (MDB_APPENDDUP). Fills pages to the brim instead of splitting them in
  // half. A pair out of order fails with LMDB's MDB_KEYEXIST error.
  Status append(std::string_view key, std::string_view value, bool same_key);

  // In a database without duplicates: puts unless `key` is present, and then
  // returns its present value instead (valid until the next write), leaving
  // the cursor on it.
  Result<std::optional<std::string_view>> put_unless_present(std::string_view key, std::string_view value);

  // For writers that reserve space in place (MDB_RESERVE) or append.
  MDB_cursor* raw() const noexcept { return cursor_; }

 private:
  explicit Cursor(MDB_cursor* cursor) : cursor_(cursor), generation_(process_generation()) {}
  void close() noexcept;

  MDB_cursor* cursor_;
  uint64_t generation_;
};

// Point read; empty when the key is absent.
Result<std::optional<std::string_view>> get_value(const Transaction& txn, MDB_dbi dbi, std::string_view key);
Status put_value(const Transaction& txn, MDB_dbi dbi, std::string_view key, std::string_view value);

}  // namespace vossick
