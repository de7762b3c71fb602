// Imports of whole line lists and the raw contents of the six databases,
// shared by the C++ tests and the import fuzzer (so without gtest: a failing
// read aborts with its error). Single-threaded use only.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "import/import_session.h"
#include "storage/explorer.h"
#include "subtree_sizes/post_import.h"

namespace vossick::testing {

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
