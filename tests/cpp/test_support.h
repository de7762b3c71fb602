// Helpers shared by the C++ tests: temporary environment directories, dump
// lines, imports and result unwrapping. Single-threaded use only.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/result.h"
#include "import/import_session.h"
#include "storage/explorer.h"
#include "subtree_sizes/post_import.h"

namespace vossick::testing {

// A fresh directory under the system temp dir, removed on destruction.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vossick-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

#define ASSERT_OK(expr)                                                      \
  do {                                                                       \
    auto&& assert_ok_result_ = (expr);                                       \
    ASSERT_TRUE(assert_ok_result_.ok()) << assert_ok_result_.error().text(); \
  } while (0)

template <class T>
T value_or_die(Result<T>&& result) {
  if (!result.ok()) {
    ADD_FAILURE() << result.error().text();
    std::abort();
  }
  return std::move(result).value();
}

// One dump line in the import format.
inline std::string record_line(uint64_t id, const std::vector<uint64_t>& references, uint64_t size = 16,
                               std::string_view type = "builtins.object",
                               std::optional<uint64_t> subtree_size = std::nullopt) {
  std::string out = "{\"id\":" + std::to_string(id) + ",\"type\":\"" + std::string(type) + "\",\"references\":[";
  for (size_t i = 0; i < references.size(); ++i) {
    if (i > 0) out += ',';
    out += std::to_string(references[i]);
  }
  out += "],\"size\":" + std::to_string(size);
  if (subtree_size) out += ",\"subtree_size\":" + std::to_string(*subtree_size);
  return out + "}";
}

// Imports `lines` in one session, then runs the post-import pass.
inline Status import_lines(Explorer& explorer, const std::vector<std::string>& lines, EstimatorPrecision precision) {
  VOSSICK_ASSIGN_OR_RETURN(ImportSession session, ImportSession::begin(explorer));
  for (const auto& line : lines) VOSSICK_TRY(session.add_line(line));
  VOSSICK_TRY(session.commit());
  return run_post_import_processing(explorer, precision);
}

// Every key/value pair of the six databases, in order.
inline std::vector<std::pair<std::string, std::string>> raw_contents(const Explorer& explorer) {
  const Databases& dbs = explorer.dbs();
  std::vector<std::pair<std::string, std::string>> contents;
  Transaction txn = value_or_die(Transaction::begin_read(explorer.env()));
  for (MDB_dbi dbi : {dbs.primary, dbs.referrers, dbs.types, dbs.types_size_index, dbs.types_subtree_size_index,
                      dbs.type_summaries}) {
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

}  // namespace vossick::testing
