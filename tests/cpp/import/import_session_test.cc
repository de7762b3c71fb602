// Imports in key-ordered batches and from sorted runs against imports in
// input order: the same databases, the same error on the same line, room in
// the map checked before what is held can run out of it, and no temporary
// file left behind.

#include "import/import_session.h"

#include <gtest/gtest.h>
#include <lmdb.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "import/record_puts.h"
#include "test_support.h"

namespace vossick {
namespace {

using testing::record_line;
using testing::value_or_die;

// `line` with `member` ("\"name\":value") added last.
std::string with_member(std::string line, const std::string& member) {
  line.pop_back();
  return line + "," + member + "}";
}

std::string with_value(std::string line, const std::string& value) {
  return with_member(std::move(line), "\"value\":\"" + value + "\"");
}

// Repeated ids (each with one record, as ids must be, but with and without
// subtree sizes), types that sort as prefixes and by high bytes, a type
// literally named "All Types", repeated and dangling references, sizes at
// the top of the range, and values long enough for pages of their own.
std::vector<std::string> random_lines(uint64_t seed, size_t count) {
  static const std::string types[] = {"T", "Ta", "T\xc3\xa9", "All Types", "builtins.module", std::string(511, 'x')};
  std::mt19937_64 random(seed);
  std::vector<std::string> lines;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t id = random() % 8 == 0 ? UINT64_MAX - random() % 3 : random() % (count * 3 / 4 + 1);
    std::mt19937_64 of_id(id);
    std::vector<uint64_t> references;
    for (size_t k = of_id() % 6; k > 0; --k) references.push_back(of_id() % 3 == 0 ? id : of_id() % 2000);
    const uint64_t size = of_id() % 20 == 0 ? UINT64_MAX - of_id() % 5 : of_id() % 1000;
    const std::string& type = types[of_id() % std::size(types)];
    const size_t value_length = of_id() % 30 == 0 ? 2500 + of_id() % 6000 : of_id() % 40;
    std::string line =
        with_value(record_line(id, references, size, type), std::string(value_length, 'a' + of_id() % 26));
    if (random() % 4 == 0) line.insert(line.size() - 1, ",\"subtree_size\":" + std::to_string(random() % 99));
    // Annotations, the same on every line of the id.
    if (of_id() % 3 == 0) line = with_member(line, "\"allocated_at\":\"f.py:" + std::to_string(of_id() % 9) + "\"");
    if (of_id() % 2 == 0) {
      std::string labels;
      for (size_t k = 0; k < references.size(); ++k) labels += k % 2 ? ",null" : ",\"." + std::to_string(k) + "\"";
      line = with_member(line, "\"labels\":[" + labels.substr(labels.empty() ? 0 : 1) + "]");
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

struct Outcome {
  uint64_t failed_line = 0;  // as the second session reports it
  std::string error;
  testing::Contents contents;
  size_t open_temporary_files = 0;  // the most any session held
};

// Temporary files of the sorted runs this process holds open.
size_t open_temporary_files() {
  size_t open = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    open += std::filesystem::read_symlink(fd.path(), ignored).string().find("vossick-import-") != std::string::npos;
  }
  return open;
}

// Imports `first` and commits, then imports `second`; reports where and how
// the second session failed, if it did, and what the databases hold.
Outcome import_twice(const std::vector<std::string>& first, const std::vector<std::string>& second, ImportOrder order,
                     BatchLimits limits) {
  testing::TempExplorer explorer;
  Outcome outcome;
  // What a process killed while it spilled a run would leave.
  const std::filesystem::path left = std::filesystem::path(explorer->env().canonical_path()) / "vossick-import-left";
  std::ofstream(left) << "x";
  for (const auto* lines : {&first, &second}) {
    ImportSession session = value_or_die(ImportSession::begin(*explorer, order, limits));
    Status status = ok_status();
    for (size_t i = 0; i < lines->size() && status.ok(); ++i) status = session.add_line((*lines)[i]);
    outcome.open_temporary_files = std::max(outcome.open_temporary_files, open_temporary_files());
    if (status.ok()) status = session.commit();
    if (!status.ok()) {
      outcome.error = status.error().text();
      outcome.failed_line = session.failed_line();
      // A failed session keeps failing with the same error.
      EXPECT_EQ(session.add_line(first.front()).error().text(), outcome.error);
      EXPECT_EQ(session.commit().error().text(), outcome.error);
    }
  }
  EXPECT_EQ(open_temporary_files(), 0u);
  EXPECT_EQ(std::filesystem::exists(left), order != ImportOrder::kSortedRuns);
  outcome.contents = testing::raw_contents(*explorer);
  return outcome;
}

class KeyOrderedImportTest : public ::testing::TestWithParam<BatchLimits> {};

TEST_P(KeyOrderedImportTest, StoresWhatInputOrderStores) {
  for (uint64_t seed : {1, 2}) {
    const std::vector<std::string> first = random_lines(seed, 700);
    const std::vector<std::string> second = random_lines(seed + 100, 2500);
    const Outcome expected = import_twice(first, second, ImportOrder::kInput, {});
    const Outcome batched = import_twice(first, second, ImportOrder::kKeyOrderedBatches, GetParam());
    EXPECT_EQ(expected.error, "");
    EXPECT_GT(expected.contents.size(), 9000u);
    EXPECT_TRUE(batched.contents == expected.contents) << "seed " << seed;
    // From sorted runs: the first import (all of it, and the second's lines
    // too), the second in batches.
    EXPECT_TRUE(import_twice(first, second, ImportOrder::kSortedRuns, GetParam()).contents == expected.contents);
    std::vector<std::string> all = first;
    all.insert(all.end(), second.begin(), second.end());
    const Outcome runs = import_twice(all, {}, ImportOrder::kSortedRuns, GetParam());
    EXPECT_TRUE(runs.contents == expected.contents);
    EXPECT_EQ(runs.open_temporary_files > 0, GetParam().run_bytes < 100000);  // spilled, and closed after
  }
}

TEST_P(KeyOrderedImportTest, FailsOnTheSameLineWithTheSameErrorAndKeepsNothing) {
  std::vector<std::string> first = random_lines(7, 50);
  first.push_back(record_line(1u << 20, {}, 5, "T"));
  const std::string bad_lines[] = {
      record_line(1, {}, 1, ""),                      // key too short for LMDB
      record_line(1, {}, 1, std::string(512, 'y')),   // key too long
      "{\"id\":1,\"type\":\"T\",\"references\":[]}",  // no size
      record_line(1u << 20, {}, 6, "T"),              // another record for an id stored before
      "{\"id\":1,\"type\":\"T\",\"references\":[],\"size\":1,\"labels\":[null]}",  // labels too long
      with_member(record_line(1u << 20, {}, 5, "T"), "\"allocated_at\":\"f.py:1\""),  // a site it had not
  };
  for (const std::string& bad : bad_lines) {
    for (size_t position : {size_t{0}, size_t{5}, size_t{17}}) {
      std::vector<std::string> second = random_lines(position + 11, 20);
      second.insert(second.begin() + static_cast<std::ptrdiff_t>(position), bad);
      const Outcome expected = import_twice(first, second, ImportOrder::kInput, {});
      const Outcome batched = import_twice(first, second, ImportOrder::kKeyOrderedBatches, GetParam());
      ASSERT_NE(expected.error, "");
      EXPECT_EQ(batched.failed_line, position + 1);
      EXPECT_EQ(batched.failed_line, expected.failed_line);
      EXPECT_EQ(batched.error, expected.error);
      EXPECT_TRUE(batched.contents == expected.contents);  // the first import only
      // The same lines into an empty environment, from sorted runs.
      std::vector<std::string> all = first;
      all.insert(all.end(), second.begin(), second.end());
      const Outcome input = import_twice(all, {}, ImportOrder::kInput, {});
      const Outcome runs = import_twice(all, {}, ImportOrder::kSortedRuns, GetParam());
      EXPECT_EQ(runs.failed_line, input.failed_line);
      EXPECT_EQ(runs.error, input.error);
      EXPECT_TRUE(runs.contents == input.contents);
    }
  }
  // Conflicts within one call; the earlier one is reported, also before a
  // later line's own failure.
  const uint64_t a = 1u << 21, b = 1u << 22;  // not in `first`
  const std::vector<std::string> conflicting = {record_line(b, {}, 1, "T"), record_line(a, {}, 1),
                                                record_line(a, {}, 1, "Q"), record_line(b, {1}, 1, "T"), ""};
  for (ImportOrder order : {ImportOrder::kInput, ImportOrder::kKeyOrderedBatches, ImportOrder::kSortedRuns}) {
    for (const Outcome& outcome : {import_twice(first, conflicting, order, GetParam()),
                                   import_twice(conflicting, first, order, GetParam())}) {
      EXPECT_EQ(outcome.error, conflicting_record_error(a, 3).text());
      EXPECT_EQ(outcome.failed_line, 3u);
    }
  }
}

// A line whose id was stored before, by an earlier import or an earlier line
// of the same one, brings the same record: it must also bring the same
// annotations (all-null labels being none), or it conflicts.
TEST_P(KeyOrderedImportTest, AnIdAgainMustBringTheSameAnnotations) {
  const std::string record = R"({"id":5,"type":"T","references":[1,2],"size":3)";
  const struct {
    std::string first, again;
    bool same;
  } cases[] = {
      {"", "", true},
      {R"(,"labels":["a",null])", R"(,"labels":["a",null])", true},
      {R"(,"labels":[null,null])", "", true},
      {R"(,"labels":["a",null])", "", false},
      {"", R"(,"labels":["a",null])", false},
      {R"(,"labels":["a",null])", R"(,"labels":["a","b"])", false},
      {R"(,"allocated_at":"f.py:1")", R"(,"allocated_at":"f.py:1")", true},
      {R"(,"allocated_at":"f.py:1")", R"(,"allocated_at":null)", false},
      {"", R"(,"allocated_at":"")", false},
      {R"(,"allocated_at":"f.py:1")", R"(,"allocated_at":"f.py:2")", false},
  };
  const std::string other = record_line(9, {}, 1);
  for (const auto& c : cases) {
    const std::string first = record + c.first + "}", again = record + c.again + "}";
    // `empty` imports into an empty environment: from sorted runs unless in
    // input order, and stores what input order stores.
    testing::Contents stored;
    for (ImportOrder order : {ImportOrder::kInput, ImportOrder::kKeyOrderedBatches, ImportOrder::kSortedRuns}) {
      const Outcome across = import_twice({first}, {other, again}, order, GetParam());
      const Outcome within = import_twice({other}, {first, other, again}, order, GetParam());
      const Outcome empty = import_twice({first, other, again}, {}, order, GetParam());
      EXPECT_EQ(across.error, c.same ? "" : conflicting_record_error(5, 2).text()) << c.first << " / " << c.again;
      EXPECT_EQ(within.error, c.same ? "" : conflicting_record_error(5, 3).text()) << c.first << " / " << c.again;
      EXPECT_EQ(empty.error, within.error);
      if (order == ImportOrder::kInput) stored = empty.contents;
      EXPECT_TRUE(empty.contents == stored) << c.first << " / " << c.again;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, KeyOrderedImportTest,
                         ::testing::Values(BatchLimits{}, BatchLimits{1, SIZE_MAX, 1}, BatchLimits{7, SIZE_MAX, 300},
                                           BatchLimits{SIZE_MAX, 300, 20000}));

// A map too small for the dump: batching stops while the map surely still
// holds the batch, and the line that finds it full fails in input order.
TEST(KeyOrderedImportTest, AMapRunningFullFailsOnTheLineThatNeedsTheRoom) {
  for (ImportOrder order : {ImportOrder::kInput, ImportOrder::kKeyOrderedBatches, ImportOrder::kSortedRuns}) {
    testing::TempExplorer explorer;
    ASSERT_EQ(mdb_env_set_mapsize(explorer->env().raw(), size_t{96} << 20), 0);
    ImportSession session = value_or_die(ImportSession::begin(*explorer, order, {}));
    const std::string value(20000, 'v');
    size_t batched_lines = 0;
    Status status = ok_status();
    size_t i = 0;
    for (; i < 100000 && status.ok(); ++i) {
      batched_lines += session.batching();
      status = session.add_line(with_value(record_line(i, {i / 2}, 1, "T"), value));
    }
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().text(), Error::lmdb(MDB_MAP_FULL).text());
    EXPECT_FALSE(session.batching());
    if (order != ImportOrder::kInput) {
      EXPECT_GT(batched_lines, 100u);
      EXPECT_LT(batched_lines, i - 100);  // the last lines went in input order
    }
  }
}

}  // namespace
}  // namespace vossick
