// Long work that is asked to stop: a writer waiting at the gate, the
// summary rebuild before an import's commit, the post-import pass. Each
// stops with Error::interrupted() and leaves the databases as they were.
// And the summaries an import commits, against a plain per-type model.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "heap_dump_explorer/queries.h"
#include "test_support.h"

namespace vossick {
namespace {

using testing::import_lines;
using testing::raw_contents;
using testing::record_line;
using testing::value_or_die;

// Says stop from its (asks + 1)-th question on.
class StopAfter final : public StopCheck {
 public:
  explicit StopAfter(int asks) : left_(asks) {}
  bool stop_requested() override { return left_-- <= 0; }

 private:
  int left_;
};

bool interrupted(const Status& status) { return !status.ok() && status.error().kind() == ErrorKind::kInterrupted; }

TEST(StopTest, AWriterWaitingAtTheGateGivesUpWhenAskedAndGoesOnAfterTheHolder) {
  testing::TempDir dir;
  Explorer explorer = value_or_die(Explorer::open(dir.path()));
  Transaction held = value_or_die(Transaction::begin_write(explorer.env()));
  std::thread([&] {
    StopAfter stop(3);
    Result<Transaction> waited = Transaction::begin_write(explorer.env(), stop);
    EXPECT_TRUE(!waited.ok() && waited.error().kind() == ErrorKind::kInterrupted);
  }).join();
  ASSERT_OK(held.commit());
  std::thread([&] { ASSERT_OK(Transaction::begin_write(explorer.env())); }).join();
}

std::vector<std::string> chain(uint64_t count) {
  std::vector<std::string> lines;
  for (uint64_t i = 0; i < count; ++i) lines.push_back(record_line(i, {i ? i - 1 : i + 1}, 8, i % 2 ? "A" : "B"));
  return lines;
}

// Every stop, however late, leaves the databases as they were; asked late
// enough, the work completes.
TEST(StopTest, AnInterruptedImportCommitOrPassLeavesNothing) {
  testing::TempDir dir;
  Explorer explorer = value_or_die(Explorer::open(dir.path()));
  ASSERT_OK(import_lines(explorer, chain(30000), EstimatorPrecision::kNoEstimates));
  const auto work = [&](StopCheck& stop, bool pass) -> Status {
    if (pass) return run_post_import_processing(explorer, EstimatorPrecision::kExact, TypeSummaries::kRebuild, stop);
    VOSSICK_ASSIGN_OR_RETURN(ImportSession session, ImportSession::begin(explorer));
    VOSSICK_TRY(session.add_line(record_line(1u << 30, {}, 1)));
    return session.commit(stop);
  };
  for (bool pass : {false, true}) {
    const auto before = raw_contents(explorer);
    int asks = 0;
    for (;; ++asks) {
      StopAfter stop(asks);
      Status status = work(stop, pass);
      if (status.ok()) break;
      ASSERT_TRUE(interrupted(status)) << status.error().text();
      ASSERT_TRUE(raw_contents(explorer) == before) << "asks " << asks;
    }
    EXPECT_GE(asks, pass ? 8 : 3);  // it was asked throughout, not only at the start
    EXPECT_FALSE(raw_contents(explorer) == before);
  }
}

// Types with one object (a key without pages of entries), with thousands
// (entries over many pages), sizes that wrap; an earlier import's objects
// count too, and a conflicting call changes nothing.
TEST(TypeSummariesTest, TheCommitLeavesEveryTypesCountAndTotalOfWhatIsStored) {
  testing::TempDir dir;
  Explorer explorer = value_or_die(Explorer::open(dir.path()));
  std::map<std::string, TypeSummary> model;
  std::mt19937_64 random(5);
  uint64_t next_id = 0;
  for (size_t count : {size_t{1}, size_t{5000}, size_t{3}}) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < count; ++i) {
      const std::string type = i % 100 == 7 ? "single" + std::to_string(next_id) : "many" + std::to_string(i % 3);
      const uint64_t size = random() % 10 == 0 ? UINT64_MAX - random() % 9 : random() % 1000;
      lines.push_back(record_line(next_id++, {}, size, type));
      for (const std::string& key : {type, std::string("All Types")}) {
        model[key].count += 1;
        model[key].total_size += size;
      }
    }
    ImportSession session = value_or_die(ImportSession::begin(explorer));
    for (const std::string& line : lines) ASSERT_OK(session.add_line(line));
    ASSERT_OK(session.commit());
    std::map<std::string, TypeSummary> stored;
    for (const auto& [type, summary] : value_or_die(get_type_summaries(explorer))) {
      stored[std::string(type.display())] = summary;
    }
    EXPECT_EQ(stored, model);
  }
  const auto before = raw_contents(explorer);
  EXPECT_FALSE(import_lines(explorer, {record_line(next_id, {}, 1), record_line(0, {}, 2)},
                            EstimatorPrecision::kNoEstimates).ok());
  EXPECT_TRUE(raw_contents(explorer) == before);
}

}  // namespace
}  // namespace vossick
