// Importing heap-dump lines: one write transaction for the whole import, one
// record parsed and written at a time, committed once at the end.
//
// Thread safety: an ImportSession belongs to the thread that began it (LMDB
// write transactions are per thread). Only one write transaction per
// environment exists at a time; begin() waits for it.
#pragma once

#include <string>
#include <string_view>

#include "heap_dump_explorer/explorer.h"
#include "heap_dump_explorer/records.h"

namespace vossick {

class ImportSession {
 public:
  // Begins the import's write transaction. Waits while another writer holds
  // the environment: callers holding other locks must release them first.
  static Result<ImportSession> begin(const Explorer& explorer);

  // Parses one line as a RawObjectRecord and writes it: the record (re-
  // serialised in canonical form) to `primary`, one reverse edge per distinct
  // reference, and the id under its type and under "All Types" in `types` and
  // `types_size_index`. On error nothing of the session will persist.
  Status add_line(std::string_view line);

  Status commit();

  // Not committing (destruction, or any error) aborts everything added.

 private:
  ImportSession(Transaction txn, const Databases& dbs) : txn_(std::move(txn)), dbs_(&dbs) {}

  Transaction txn_;
  const Databases* dbs_;
  RawObjectRecord record_;  // reused across lines
  std::string scratch_;
};

}  // namespace vossick
