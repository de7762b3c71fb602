// Imports in key-ordered batches against imports in input order: the same
// databases, the same error on the same line, and room in the map checked
// before a batch can run out of it.

#include <gtest/gtest.h>
#include <lmdb.h>

#include <random>
#include <string>
#include <vector>

#include "heap_dump_explorer/import.h"
#include "test_support.h"

namespace vossick {
namespace {

using testing::raw_contents;
using testing::record_line;
using testing::TempDir;
using testing::value_or_die;

std::string line_with_value(uint64_t id, const std::vector<uint64_t>& references, uint64_t size,
                            std::string_view type, const std::string& value) {
  std::string line = record_line(id, references, size, type);
  line.pop_back();
  return line + ",\"value\":\"" + value + "\"}";
}

// Repeated ids with other contents, types that sort as prefixes and by high
// bytes, a type literally named "All Types", repeated and dangling
// references, sizes at the top of the range, and values long enough for
// pages of their own.
std::vector<std::string> random_lines(uint64_t seed, size_t count) {
  static const std::string types[] = {"T", "Ta", "T\xc3\xa9", "All Types", "builtins.module", std::string(511, 'x')};
  std::mt19937_64 random(seed);
  std::vector<std::string> lines;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t id = random() % 8 == 0 ? UINT64_MAX - random() % 3 : random() % (count * 3 / 4 + 1);
    std::vector<uint64_t> references;
    for (size_t k = random() % 6; k > 0; --k) references.push_back(random() % 3 == 0 ? id : random() % count);
    const uint64_t size = random() % 20 == 0 ? UINT64_MAX - random() % 5 : random() % 1000;
    const std::string& type = types[random() % std::size(types)];
    const size_t value_length = random() % 30 == 0 ? 2500 + random() % 6000 : random() % 40;
    lines.push_back(line_with_value(id, references, size, type, std::string(value_length, 'a' + random() % 26)));
  }
  return lines;
}

struct Outcome {
  size_t failed_at = SIZE_MAX;  // index of the line whose add_line failed
  std::string error;
  std::vector<std::pair<std::string, std::string>> contents;
};

// Imports `first` and commits, then imports `second`; reports where and how
// the second session failed, if it did, and what the databases hold.
Outcome import_twice(const std::vector<std::string>& first, const std::vector<std::string>& second,
                     ImportOrder order, BatchLimits limits) {
  TempDir dir;
  Explorer explorer = value_or_die(Explorer::open(dir.path()));
  Outcome outcome;
  for (const auto* lines : {&first, &second}) {
    ImportSession session = value_or_die(ImportSession::begin(explorer, order, limits));
    Status status = ok_status();
    for (size_t i = 0; i < lines->size() && status.ok(); ++i) {
      status = session.add_line((*lines)[i]);
      if (!status.ok()) outcome.failed_at = i;
    }
    if (status.ok()) status = session.commit();
    if (!status.ok()) {
      outcome.error = status.error().text();
      // A failed session keeps failing with the same error.
      EXPECT_EQ(session.add_line(first.front()).error().text(), outcome.error);
      EXPECT_EQ(session.commit().error().text(), outcome.error);
    }
  }
  outcome.contents = raw_contents(explorer);
  return outcome;
}

struct LimitsCase {
  const char* name;
  BatchLimits limits;
};
void PrintTo(const LimitsCase& c, std::ostream* os) { *os << c.name; }

class KeyOrderedImportTest : public ::testing::TestWithParam<LimitsCase> {};

TEST_P(KeyOrderedImportTest, StoresWhatInputOrderStores) {
  for (uint64_t seed : {1, 2, 3}) {
    const std::vector<std::string> first = random_lines(seed, 700);
    const std::vector<std::string> second = random_lines(seed + 100, 2500);
    const Outcome expected = import_twice(first, second, ImportOrder::kInput, {});
    const Outcome batched = import_twice(first, second, ImportOrder::kKeyOrderedBatches, GetParam().limits);
    EXPECT_EQ(expected.error, "");
    EXPECT_GT(expected.contents.size(), 10000u);
    EXPECT_TRUE(batched.contents == expected.contents) << "seed " << seed;
  }
}

TEST_P(KeyOrderedImportTest, FailsOnTheSameLineWithTheSameErrorAndKeepsNothing) {
  const std::vector<std::string> first = random_lines(7, 50);
  const std::string bad_lines[] = {
      record_line(1, {}, 1, ""),                      // key too short for LMDB
      record_line(1, {}, 1, std::string(512, 'y')),   // key too long
      "{\"id\":1,\"type\":\"T\",\"references\":[]}",  // no size
      "",
  };
  for (const std::string& bad : bad_lines) {
    for (size_t position : {size_t{0}, size_t{1}, size_t{5}, size_t{17}}) {
      std::vector<std::string> second = random_lines(position + 11, 20);
      second.insert(second.begin() + static_cast<std::ptrdiff_t>(position), bad);
      const Outcome expected = import_twice(first, second, ImportOrder::kInput, {});
      const Outcome batched = import_twice(first, second, ImportOrder::kKeyOrderedBatches, GetParam().limits);
      ASSERT_NE(expected.error, "");
      EXPECT_EQ(batched.failed_at, position);
      EXPECT_EQ(batched.failed_at, expected.failed_at);
      EXPECT_EQ(batched.error, expected.error);
      EXPECT_TRUE(batched.contents == expected.contents);  // the first import only
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, KeyOrderedImportTest,
    ::testing::Values(LimitsCase{"Default", {}}, LimitsCase{"OneRecord", {1, SIZE_MAX}},
                      LimitsCase{"SevenRecords", {7, SIZE_MAX}}, LimitsCase{"FewBytes", {SIZE_MAX, 300}},
                      LimitsCase{"ManyBytes", {SIZE_MAX, 20000}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KeyOrderedImportTest, KeyLimitIsLmdbs) {
  for (size_t length : {size_t{1}, size_t{510}, size_t{511}}) {
    const std::vector<std::string> lines = {record_line(1, {}, 1, std::string(length, 'k'))};
    const Outcome expected = import_twice(lines, lines, ImportOrder::kInput, {});
    const Outcome batched = import_twice(lines, lines, ImportOrder::kKeyOrderedBatches, {});
    EXPECT_EQ(expected.error, "") << length;
    EXPECT_EQ(batched.error, "") << length;
    EXPECT_TRUE(batched.contents == expected.contents);
  }
}

// A map too small for the dump: batching stops while the map surely still
// holds the batch, and the line that finds it full fails in input order.
TEST(KeyOrderedImportTest, AMapRunningFullFailsOnTheLineThatNeedsTheRoom) {
  for (ImportOrder order : {ImportOrder::kInput, ImportOrder::kKeyOrderedBatches}) {
    TempDir dir;
    Explorer explorer = value_or_die(Explorer::open(dir.path()));
    ASSERT_EQ(mdb_env_set_mapsize(explorer.env().raw(), size_t{96} << 20), 0);
    ImportSession session = value_or_die(ImportSession::begin(explorer, order, {}));
    const std::string value(20000, 'v');
    size_t batched_lines = 0;
    Status status = ok_status();
    size_t i = 0;
    for (; i < 100000 && status.ok(); ++i) {
      if (session.batching()) ++batched_lines;
      status = session.add_line(line_with_value(i, {i / 2}, 1, "T", value));
    }
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().text(), Error::lmdb(MDB_MAP_FULL).text());
    EXPECT_FALSE(session.batching());
    if (order == ImportOrder::kKeyOrderedBatches) {
      EXPECT_GT(batched_lines, 100u);
      EXPECT_LT(batched_lines, i - 100);  // the last lines went in input order
    }
  }
}

}  // namespace
}  // namespace vossick
