// The post-import pass: writes in key-ordered batches against writes in emit
// order, on random dumps, over damaged and non-canonical stored records, and
// in the errors they report; stopping anywhere. (Its subtree sizes and the
// type summaries an import commits are compared with models in the module's
// tests.)

#include "subtree_sizes/post_import.h"

#include <gtest/gtest.h>
#include <lmdb.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "records/canonical_record.h"
#include "storage/primary.h"
#include "test_support.h"

namespace vossick {
namespace {

using testing::Contents;
using testing::import_lines;
using testing::raw_contents;
using testing::record_line;
using testing::StopAfter;
using testing::TempExplorer;
using testing::value_or_die;

constexpr auto kNone = EstimatorPrecision::kNoEstimates;

// Puts `text` under `id` in `primary`, or deletes the record when `text` is
// empty, from outside the module.
void overwrite(Explorer& explorer, const Transaction& txn, uint64_t id, const std::string& text) {
  EncodedId key = encode_id(id);
  MDB_val k{8, key.bytes};
  MDB_val v{text.size(), const_cast<char*>(text.data())};
  ASSERT_EQ(text.empty() ? mdb_del(txn.raw(), explorer.dbs().primary, &k, nullptr)
                         : mdb_put(txn.raw(), explorer.dbs().primary, &k, &v, 0),
            0);
}

// A random dump: cycles, shared objects, modules, repeated and dangling
// references, sizes up to 2^64 - 1.
std::vector<std::string> random_dump(uint64_t seed, size_t count) {
  std::mt19937_64 random(seed);
  std::vector<std::string> lines;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t id = 1000 + (i * 7919) % count;
    std::vector<uint64_t> references;
    for (size_t k = random() % 5; k > 0; --k) {
      const uint64_t target =
          random() % 4 == 0 ? 1000 + random() % count : 1000 + (id - 1000 + 1 + random() % 3) % count;
      references.push_back(random() % 50 == 0 ? 5 : target);  // id 5 never has a record
    }
    const uint64_t size = random() % 100 == 0 ? UINT64_MAX - random() % 7 : random() % 200;
    lines.push_back(record_line(id, references, size, random() % 40 == 0 ? "builtins.module" : "builtins.object"));
  }
  return lines;
}

// Runs the pass over what `explorer` holds, commits on success, and returns
// the error text (empty on success) and what the databases hold.
std::pair<std::string, Contents> run_pass(Explorer& explorer, EstimatorPrecision precision, PassWrites mode,
                                          BatchLimits limits = {}) {
  Transaction write_txn = value_or_die(Transaction::begin_write(explorer.env()));
  Status status = run_subtree_size_estimation(explorer, write_txn, precision, mode, limits);
  if (status.ok()) status = write_txn.commit();
  write_txn.abort();
  return {status.ok() ? "" : status.error().text(), raw_contents(explorer)};
}

class PassModesTest : public ::testing::TestWithParam<EstimatorPrecision> {};

// Batches of the default size, of a few objects, and batches whose
// rewritten records outgrow the memory allowed (written in emit order).
TEST_P(PassModesTest, KeyOrderedBatchesStoreWhatWritesInEmitOrderStore) {
  const std::vector<std::string> lines = random_dump(GetParam() == EstimatorPrecision::kExact ? 1 : 2, 9000);
  Contents expected;
  for (auto [mode, limits] : {std::pair<PassWrites, BatchLimits>{PassWrites::kEmitOrder, {}},
                              {PassWrites::kCompact, {}},
                              {PassWrites::kKeyOrderedBatches, {}},
                              {PassWrites::kKeyOrderedBatches, {65536, 0}},
                              {PassWrites::kKeyOrderedBatches, {1, SIZE_MAX}},
                              {PassWrites::kKeyOrderedBatches, {7, SIZE_MAX}},
                              {PassWrites::kKeyOrderedBatches, {50, 1000}}}) {
    TempExplorer explorer;
    ASSERT_OK(import_lines(*explorer, lines, kNone));
    auto [error, contents] = run_pass(*explorer, GetParam(), mode, limits);
    EXPECT_EQ(error, "");
    if (expected.empty()) expected = contents;
    EXPECT_GT(contents.size(), 9000u * 4);
    EXPECT_TRUE(contents == expected) << "batches of " << limits.max_records << ", " << limits.max_bytes << " bytes";
  }
}

INSTANTIATE_TEST_SUITE_P(Precisions, PassModesTest,
                         ::testing::Values(EstimatorPrecision::kLow, EstimatorPrecision::kExact));

// Held writes fill every page of `primary` and of the subtree-size index,
// where writes in place split pages as records grow: the compact pass leaves
// fewer pages in use, and a smaller file, than key-ordered batches.
TEST(CompactPassTest, LeavesFewerPagesThanWritesInPlace) {
  const std::vector<std::string> lines = random_dump(3, 20000);
  uint64_t pages[2] = {}, file_pages[2] = {};
  for (int i = 0; i < 2; ++i) {
    TempExplorer explorer;
    ASSERT_OK(import_lines(*explorer, lines, kNone));
    ASSERT_EQ(
        run_pass(*explorer, EstimatorPrecision::kExact, i == 0 ? PassWrites::kCompact : PassWrites::kKeyOrderedBatches)
            .first,
        "");
    Transaction txn = value_or_die(Transaction::begin_read(explorer->env()));
    for (MDB_dbi dbi : {explorer->dbs().primary, explorer->dbs().types_subtree_size_index}) {
      MDB_stat stat{};
      ASSERT_EQ(mdb_stat(txn.raw(), dbi, &stat), 0);
      pages[i] += stat.ms_branch_pages + stat.ms_leaf_pages + stat.ms_overflow_pages;
    }
    MDB_envinfo info{};
    ASSERT_EQ(mdb_env_info(explorer->env().raw(), &info), 0);
    file_pages[i] = info.me_last_pgno;
  }
  EXPECT_LT(pages[0] * 10, pages[1] * 9) << pages[0] << " vs " << pages[1];
  EXPECT_LT(file_pages[0], file_pages[1]);
}

// A record missing at write time for an object emitted early (and, where
// asked, another emitted before it with a larger id, which key order meets
// first), and a damaged record the traversal reaches only later: writing at
// once stops at the first emitted, so held writes must report it too,
// however far the traversal ran ahead of them. Nothing of the pass stays.
TEST(PassErrorsTest, EveryModeReportsTheErrorEmittedFirst) {
  TempExplorer explorer;
  std::vector<std::string> lines = {record_line(1, {50000}, 5), record_line(50000, {}, 7), record_line(3, {})};
  for (uint64_t id = 10; id < 30000; ++id) lines.push_back(record_line(id, {id + 1}, 1));
  lines.push_back(record_line(30000, {}, 1));
  ASSERT_OK(import_lines(*explorer, lines, kNone));
  const Contents before = raw_contents(*explorer);
  for (std::vector<uint64_t> missing : {std::vector<uint64_t>{50000}, {3, 50000}, {}}) {
    if (missing.empty()) {  // then the damaged record's error is the one reported
      Transaction txn = value_or_die(Transaction::begin_write(explorer->env()));
      overwrite(*explorer, txn, 20000, "not json");
      ASSERT_OK(txn.commit());
    }
    for (PassWrites mode : {PassWrites::kEmitOrder, PassWrites::kKeyOrderedBatches, PassWrites::kCompact}) {
      Transaction write_txn = value_or_die(Transaction::begin_write(explorer->env()));
      for (uint64_t id : missing) overwrite(*explorer, write_txn, id, "");
      Status status = run_subtree_size_estimation(*explorer, write_txn, EstimatorPrecision::kHigh, mode);
      ASSERT_FALSE(status.ok());
      EXPECT_EQ(status.error().text(), missing.empty() ? "error while decoding: expected ident at line 1 column 2"
                                                       : "error while decoding: Missing record for node ID 50000");
    }
    EXPECT_TRUE(missing.empty() || raw_contents(*explorer) == before);
  }
}

// A valid stored value for `record` that is not its canonical form, in one
// of three ways; the pass must store the canonical form of each. (No array
// form: its length differs between the shapes that read it.)
std::string non_canonical_text(const RawObjectRecord& record, int way) {
  std::string refs = testing::record_line(0, record.references);  // ...,"references":[1,2],"size":16}
  refs = refs.substr(refs.find('[') + 1, refs.find(']') - refs.find('[') - 1);
  const std::string id = std::to_string(record.id), size = std::to_string(record.size), type = record.type;
  switch (way) {
    case 0:  // whitespace, no value member, a trailing newline
      return "{ \"id\": " + id + ", \"type\": \"" + type + "\", \"references\": [" + refs + "], \"size\": " + size +
             " }\n";
    case 1:  // an escape in the type, an old subtree size, escapes in the value write_record does not use
      return "{\"id\":" + id + ",\"type\":\"\\u0062uiltins.object\",\"references\":[" + refs +
             "],\"value\":\"a\\/b\\u00e9\\ud83d\\ude00\",\"size\":" + size + ",\"subtree_size\":18446744073709551615}";
    default:  // members reordered, one extra
      return "{\"size\":" + size + ",\"module\":\"x\",\"references\":[" + refs + "],\"type\":\"" + type +
             "\",\"id\":" + id + "}";
  }
}

// Stored values outside the canonical form (written from outside, or by an
// older writer) beside canonical ones, and records damaged so that they
// name ids other than their keys, in a chain (key 5 names 9, key 9 names 12,
// ...): object 9's rewrite lands under key 12, which object 12 then reads.
// Every mode must store the same; the former are stored canonically.
TEST(PassModesDamageTest, OtherStoredFormsAndForeignIdsStoreTheSameInEveryMode) {
  const std::vector<std::string> lines = random_dump(4, 3000);
  for (bool foreign_ids : {false, true}) {
    Contents expected;
    for (PassWrites mode : {PassWrites::kEmitOrder, PassWrites::kKeyOrderedBatches, PassWrites::kCompact}) {
      TempExplorer explorer;
      ASSERT_OK(import_lines(*explorer, lines, kNone));
      {
        Transaction txn = value_or_die(Transaction::begin_write(explorer->env()));
        if (foreign_ids) {
          for (auto [key, named] : {std::pair<uint64_t, uint64_t>{1005, 1009}, {1009, 1012}, {1012, 1003}}) {
            overwrite(*explorer, txn, key, record_line(named, {key % 5 + 1000}, 100 + key));
          }
        } else {
          for (uint64_t id = 1000; id < 4000; id += 7) {
            auto record = value_or_die(get_record<RawObjectRecord>(txn, explorer->dbs(), id));
            ASSERT_TRUE(record.has_value());
            const std::string text = non_canonical_text(*record, id % 3);
            ASSERT_FALSE(scan_canonical_record(text).has_value()) << text;
            overwrite(*explorer, txn, id, text);
          }
        }
        ASSERT_OK(txn.commit());
      }
      auto [error, contents] = run_pass(*explorer, EstimatorPrecision::kExact, mode);
      EXPECT_EQ(error, "");
      if (expected.empty()) expected = contents;
      EXPECT_TRUE(contents == expected) << "mode " << static_cast<int>(mode);
      size_t canonical = 0;
      for (size_t i = 0; contents[i].first != "--"; ++i)
        canonical += scan_canonical_record(contents[i].second).has_value();
      EXPECT_TRUE(foreign_ids || canonical == 3000u) << canonical;
    }
  }
}

// The summary rebuild before an import's commit and the post-import pass
// end with Error::interrupted() and leave the databases as they were,
// wherever they are asked to stop.
TEST(StopTest, AnImportCommitOrAPassStoppedAnywhereLeavesNothing) {
  TempExplorer explorer;
  std::vector<std::string> chain;
  for (uint64_t i = 0; i < 30000; ++i) chain.push_back(record_line(i, {i + 1}, 8, i % 2 ? "A" : "B"));
  ASSERT_OK(import_lines(*explorer, chain, kNone));
  for (bool pass : {false, true}) {
    const Contents before = raw_contents(*explorer);
    int asks = 0;
    for (Status status = Error::interrupted(); !status.ok(); ++asks) {
      ASSERT_EQ(status.error().kind(), ErrorKind::kInterrupted) << status.error().text();
      ASSERT_TRUE(raw_contents(*explorer) == before) << "asks " << asks;
      StopAfter stop(asks);
      if (pass) {
        status = run_post_import_processing(*explorer, EstimatorPrecision::kExact, TypeSummaries::kRebuild, stop);
      } else {
        ImportSession session = value_or_die(ImportSession::begin(*explorer));
        status = session.add_line(record_line(1u << 30, {}, 1));
        if (status.ok()) status = session.commit(stop);
      }
    }
    EXPECT_GE(asks, pass ? 8 : 3);  // asked all along, not only at the start
  }
}

}  // namespace
}  // namespace vossick
