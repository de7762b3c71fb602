#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "heap_dump_explorer/post_import.h"
#include "heap_dump_explorer/scc_size_visitor.h"
#include "heap_dump_explorer/subtree_size_batch.h"
#include "size_sketch/size_sketch.h"
#include "summed_radix_tree/summed_radix_tree.h"
#include "tarjan/tarjan.h"

namespace vossick {

namespace {

// One member's estimate. When `prepared`, the batch's text holds the
// rewritten record and its type at the given offsets, and `record_id` is the
// id the record names (its key when written).
struct SubtreeSizeUpdate {
  uint64_t member_id;
  uint64_t estimate;
  bool prepared = false;
  uint64_t record_id = 0;
  size_t type_offset = 0;
  size_t type_size = 0;
  size_t record_offset = 0;
  size_t record_size = 0;
};

struct UpdateBatch {
  std::vector<SubtreeSizeUpdate> updates;
  std::string text;
};

// Carries estimates, in emit order, from the traversal thread to the thread
// that owns the write transaction. Bounded: a producer that runs ahead waits
// once kMaxQueuedBatches batches are waiting.
class UpdateQueue {
 public:
  static constexpr size_t kBatchSize = 4096;
  static constexpr size_t kBatchTextBytes = size_t{1} << 20;
  static constexpr size_t kMaxQueuedBatches = 16;

  // False once the consumer has stopped taking batches.
  bool push(UpdateBatch&& batch) {
    std::unique_lock lock(mutex_);
    not_full_.wait(lock, [&] { return stopped_ || batches_.size() < kMaxQueuedBatches; });
    if (stopped_) return false;
    batches_.push_back(std::move(batch));
    backlog_.store(batches_.size(), std::memory_order_relaxed);
    not_empty_.notify_one();
    return true;
  }

  // The producer is done: pop drains what is queued, then reports the end.
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    not_empty_.notify_one();
  }

  // False when closed and drained.
  bool pop(UpdateBatch& batch) {
    std::unique_lock lock(mutex_);
    not_empty_.wait(lock, [&] { return closed_ || !batches_.empty(); });
    if (batches_.empty()) return false;
    batch = std::move(batches_.front());
    batches_.pop_front();
    backlog_.store(batches_.size(), std::memory_order_relaxed);
    not_full_.notify_one();
    return true;
  }

  // The consumer takes nothing more; a waiting or later push returns false.
  void stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    not_full_.notify_one();
  }

  // Batches waiting; a hint only.
  size_t backlog() const noexcept { return backlog_.load(std::memory_order_relaxed); }

 private:
  std::mutex mutex_;
  std::condition_variable not_empty_;
  std::condition_variable not_full_;
  std::deque<UpdateBatch> batches_;
  std::atomic<size_t> backlog_{0};
  bool closed_ = false;
  bool stopped_ = false;
};

// The traversal's sink when the writes happen on another thread. While the
// writer keeps up it passes bare estimates; once half the queue is waiting
// (for instance while a large SCC emits all its members at once) it also
// prepares the rewritten records from the snapshot, which holds the same
// records as the write transaction (the pass rewrites each record once, when
// it is emitted), so the writer is left with the puts. A record it cannot
// prepare goes bare, and the writer meets the same outcome itself.
class QueuedSink {
 public:
  QueuedSink(UpdateQueue& queue, const Databases& dbs, const Transaction& read_txn, bool prepare_all)
      : queue_(queue), dbs_(dbs), read_txn_(read_txn), prepare_all_(prepare_all) {
    batch_.updates.reserve(UpdateQueue::kBatchSize);
  }

  Status write(uint64_t member_id, uint64_t estimate) {
    SubtreeSizeUpdate update{.member_id = member_id, .estimate = estimate};
    if (prepare_all_ || queue_.backlog() >= UpdateQueue::kMaxQueuedBatches / 2) prepare(update);
    batch_.updates.push_back(update);
    const bool full = batch_.updates.size() == UpdateQueue::kBatchSize ||
                      batch_.text.size() >= UpdateQueue::kBatchTextBytes;
    return full ? flush() : ok_status();
  }

  Status flush() {
    if (batch_.updates.empty()) return ok_status();
    // The text never reaches a caller: the writer's own error is returned.
    if (!queue_.push(std::move(batch_))) return Error::message("the subtree-size writer stopped");
    batch_ = UpdateBatch{};
    batch_.updates.reserve(UpdateQueue::kBatchSize);
    return ok_status();
  }

 private:
  void prepare(SubtreeSizeUpdate& update) {
    Result<bool> found = get_record_into(read_txn_, dbs_, update.member_id, record_);
    if (!found.ok() || !found.value()) return;
    record_.subtree_size = update.estimate;
    std::string& text = batch_.text;
    update.prepared = true;
    update.record_id = record_.id;
    update.type_offset = text.size();
    update.type_size = record_.type.size();
    text += record_.type;
    update.record_offset = text.size();
    write_record(record_, text);
    update.record_size = text.size() - update.record_offset;
  }

  UpdateQueue& queue_;
  const Databases& dbs_;
  const Transaction& read_txn_;
  const bool prepare_all_;
  UpdateBatch batch_;
  RawObjectRecord record_;  // reused for every prepared record
};

template <class Estimator>
Status estimate_on_this_thread(const Explorer& explorer, const Transaction& read_txn, PrimaryScan roots,
                               const Transaction& write_txn, PassWrites writes) {
  if (writes == PassWrites::kEmitOrder) {
    SubtreeSizeWriter writer(explorer.dbs(), write_txn);
    StronglyConnectedComponentsVisitor<Estimator, SubtreeSizeWriter> visitor(explorer.dbs(), read_txn, writer,
                                                                             std::move(roots));
    return visit_sccs(visitor);
  }
  KeyOrderedSubtreeSizeWriter writer(explorer.dbs(), write_txn);
  StronglyConnectedComponentsVisitor<Estimator, KeyOrderedSubtreeSizeWriter> visitor(explorer.dbs(), read_txn,
                                                                                     writer, std::move(roots));
  Status traversed = visit_sccs(visitor);
  // What was emitted before the traversal's own error comes first.
  Status written = writer.flush();
  return written.ok() ? traversed : written;
}

// The traversal (reads through the snapshot, SCCs, estimator values) runs on
// a second thread while this thread, which owns the write transaction,
// rewrites records and index entries. The writes happen in the same order as
// on one thread, so the stored bytes are the same. So is the error: the
// traversal hands over everything emitted before its own error, and the
// writer's first error, which comes earlier in that order, wins.
template <class Estimator>
Status estimate_on_two_threads(const Explorer& explorer, const Transaction& read_txn, PrimaryScan& roots,
                               const Transaction& write_txn, EstimationThreads threads, bool& started) {
  UpdateQueue queue;
  std::optional<Status> traversal_status;
  std::exception_ptr traversal_exception;
  // Estimator values live and die on the traversal thread (the radix tree's
  // nodes are per thread), so the visitor is made there too.
  auto traverse = [&] {
    try {
      QueuedSink sink(queue, explorer.dbs(), read_txn, threads == EstimationThreads::kTwoAllPrepared);
      StronglyConnectedComponentsVisitor<Estimator, QueuedSink> visitor(explorer.dbs(), read_txn, sink,
                                                                        std::move(roots));
      Status status = visit_sccs(visitor);
      Status flushed = sink.flush();
      traversal_status = status.ok() ? std::move(flushed) : std::move(status);
    } catch (...) {
      traversal_exception = std::current_exception();
    }
    queue.close();
  };
  std::thread traversal;
  try {
    traversal = std::thread(traverse);
  } catch (const std::system_error&) {
    return ok_status();  // no thread to be had: the caller runs everything here
  }
  started = true;
  // Joins on every way out, a thrown std::bad_alloc included.
  struct StopAndJoin {
    UpdateQueue& queue;
    std::thread& thread;
    ~StopAndJoin() {
      if (!thread.joinable()) return;
      queue.stop();
      thread.join();
    }
  } stop_and_join{queue, traversal};

  SubtreeSizeWriter writer(explorer.dbs(), write_txn);
  UpdateBatch batch;
  std::optional<Status> write_error;
  while (!write_error && queue.pop(batch)) {
    const std::string_view text = batch.text;
    for (const SubtreeSizeUpdate& update : batch.updates) {
      Status status = update.prepared
                          ? writer.write_prepared(update.member_id, update.estimate, update.record_id,
                                                  text.substr(update.type_offset, update.type_size),
                                                  text.substr(update.record_offset, update.record_size))
                          : writer.write(update.member_id, update.estimate);
      if (!status.ok()) {
        write_error = std::move(status);
        break;
      }
    }
  }
  queue.stop();
  traversal.join();
  if (traversal_exception) std::rethrow_exception(traversal_exception);
  if (write_error) return std::move(*write_error);
  return std::move(*traversal_status);
}

template <class Estimator>
Status estimate_with(const Explorer& explorer, const Transaction& write_txn, EstimationThreads threads,
                     PassWrites writes) {
  VOSSICK_ASSIGN_OR_RETURN(Transaction read_txn, Transaction::begin_read(explorer.env()));
  // Declared after read_txn: the cursor closes before the snapshot ends.
  VOSSICK_ASSIGN_OR_RETURN(PrimaryScan roots, PrimaryScan::open(read_txn, explorer.dbs()));
  if (threads != EstimationThreads::kOne) {
    bool started = false;
    Status status = estimate_on_two_threads<Estimator>(explorer, read_txn, roots, write_txn, threads, started);
    if (started) return status;
  }
  return estimate_on_this_thread<Estimator>(explorer, read_txn, std::move(roots), write_txn, writes);
}

}  // namespace

Status run_subtree_size_estimation(const Explorer& explorer, const Transaction& write_txn,
                                   EstimatorPrecision precision, EstimationThreads threads, PassWrites writes) {
  switch (precision) {
    case EstimatorPrecision::kLow: return estimate_with<SizeSketch<7>>(explorer, write_txn, threads, writes);
    case EstimatorPrecision::kMedium: return estimate_with<SizeSketch<31>>(explorer, write_txn, threads, writes);
    case EstimatorPrecision::kHigh: return estimate_with<SizeSketch<127>>(explorer, write_txn, threads, writes);
    case EstimatorPrecision::kExact: return estimate_with<SummedRadixTree>(explorer, write_txn, threads, writes);
    case EstimatorPrecision::kNoEstimates: break;
  }
  return Error::panic("subtree-size estimation run with precision " +
                      std::to_string(static_cast<int>(precision)));
}

}  // namespace vossick
