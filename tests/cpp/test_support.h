// Helpers shared by the C++ tests: result unwrapping, temporary
// environments, dump lines, imports, the raw contents of the databases,
// written records and random records. Single-threaded use only.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "import/import_session.h"
#include "records/record_writer.h"
#include "storage/explorer.h"
#include "subtree_sizes/post_import.h"

namespace vossick::testing {

#define ASSERT_OK(expr)                                                      \
  do {                                                                       \
    auto&& assert_ok_result_ = (expr);                                       \
    ASSERT_TRUE(assert_ok_result_.ok()) << assert_ok_result_.error().text(); \
  } while (0)

// Imports `lines` in one session, then runs the post-import pass.
inline Status import_lines(const Explorer& explorer, const std::vector<std::string>& lines,
                           EstimatorPrecision precision) {
  VOSSICK_ASSIGN_OR_RETURN(ImportSession session, ImportSession::begin(explorer));
  for (const auto& line : lines) VOSSICK_TRY(session.add_line(line));
  VOSSICK_TRY(session.commit());
  return run_post_import_processing(explorer, precision);
}

template <class T>
T value_or_die(Result<T>&& result) {
  if (!result.ok()) {
    std::fprintf(stderr, "%s\n", result.error().text().c_str());
    std::abort();
  }
  return std::move(result).value();
}

using Contents = std::vector<std::pair<std::string, std::string>>;

// Every key/value pair of the six databases, in order, "--" after each.
inline Contents raw_contents(const Explorer& explorer) {
  const Databases& dbs = explorer.dbs();
  Contents contents;
  Transaction txn = value_or_die(Transaction::begin_read(explorer.env()));
  for (MDB_dbi dbi : {dbs.primary, dbs.referrers, dbs.types, dbs.types_size_index, dbs.types_subtree_size_index,
                      dbs.type_summaries, dbs.reference_labels, dbs.allocation_sites}) {
    Cursor cursor = value_or_die(Cursor::open(txn, dbi));
    for (MDB_cursor_op op = MDB_FIRST;; op = MDB_NEXT) {
      auto entry = value_or_die(cursor.get(op));
      if (!entry) break;
      contents.emplace_back(std::string(entry->first), std::string(entry->second));
    }
    contents.emplace_back("--", "--");
  }
  return contents;
}

// Says stop from its (asks + 1)-th question on.
class StopAfter final : public StopCheck {
 public:
  explicit StopAfter(int asks) : left_(asks) {}
  bool stop_requested() override { return left_-- <= 0; }

 private:
  int left_;
};

// An explorer over a fresh directory under the system temp dir, which is
// removed with it.
class TempExplorer {
 public:
  TempExplorer() : path_(make_directory()), explorer_(value_or_die(Explorer::open(path_))) {}
  ~TempExplorer() {
    explorer_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  Explorer& operator*() { return *explorer_; }
  Explorer* operator->() { return &*explorer_; }

 private:
  static std::string make_directory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vossick-test-XXXXXX").string();
    return ::mkdtemp(pattern.data());
  }

  std::string path_;
  std::optional<Explorer> explorer_;
};

// One dump line in the import format.
inline std::string record_line(uint64_t id, const std::vector<uint64_t>& references, uint64_t size = 16,
                               std::string_view type = "builtins.object") {
  std::string out = "{\"id\":" + std::to_string(id) + ",\"type\":\"" + std::string(type) + "\",\"references\":[";
  for (size_t i = 0; i < references.size(); ++i) {
    if (i > 0) out += ',';
    out += std::to_string(references[i]);
  }
  return out + "],\"size\":" + std::to_string(size) + "}";
}

inline std::string written(const RawObjectRecord& record) {
  std::string out;
  write_record(record, out);
  return out;
}

// Random records: strings of ASCII, of every UTF-8 width, of the characters
// write_record escapes (quote, backslash, controls including NUL), short and
// long; boundary integers; empty and long reference lists.
class RandomRecords {
 public:
  explicit RandomRecords(uint64_t seed) : random_(seed) {}

  uint64_t pick(uint64_t n) { return random_() % n; }

  // Often next to a power of ten (where the digit count, and the eight-digit
  // words the scanners read, change) or at the top of u64.
  uint64_t integer() {
    uint64_t power = 1;
    for (uint64_t k = pick(20); k > 0; --k) power *= 10;
    switch (pick(4)) {
      case 0: return power - pick(2);
      case 1: return UINT64_MAX - pick(2);
      case 2: return pick(100000);
      default: return random_() >> pick(64);
    }
  }

  // `plain`: no character that needs an escape.
  std::string text(bool plain) {
    // clang-format off
    static const std::string kPieces[] = {"a", "builtins.dict", " ", "/", "\x7f", "\xc3\xa9", "\xe2\x82\xac",
        "\xef\xbf\xbf", "\xf0\x9f\x98\x80", "\xf4\x8f\xbf\xbf", "\"", "\\", "\n", "\t", std::string(1, '\0'), "\x1f"};
    // clang-format on
    const size_t plain_pieces = 10;
    const size_t length = pick(8) == 0 ? 60 + pick(60) : pick(6);
    std::string out;
    while (out.size() < length) out += kPieces[pick(plain ? plain_pieces : std::size(kPieces))];
    return out;
  }

  RawObjectRecord record() {
    RawObjectRecord record;
    record.id = integer();
    record.type = text(pick(4) != 0);
    const size_t references = pick(10) == 0 ? 200 : pick(6);
    for (size_t i = 0; i < references; ++i) record.references.push_back(integer());
    if (pick(3) != 0) record.value = text(pick(2) == 0);
    record.size = integer();
    if (pick(2) == 0) record.subtree_size = integer();
    return record;
  }

 private:
  std::mt19937_64 random_;
};

}  // namespace vossick::testing
