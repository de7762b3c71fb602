// The floor of a comparison of two dumps: one cursor pass over the `primary`
// database of each, in id order, reading every key and value (a checksum of
// the values' lengths and first bytes keeps the reads from being optimised
// away), each in its own read transaction as the comparison reads them.
//
// Usage: primary_pass NEW_DB OLD_DB
// Prints "key value" lines: records_new, records_old, pass_seconds.

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "storage/explorer.h"
#include "storage/primary.h"

namespace {

vossick::Result<uint64_t> pass(const vossick::Explorer& explorer, uint64_t& checksum) {
  VOSSICK_ASSIGN_OR_RETURN(vossick::Transaction txn, vossick::Transaction::begin_read(explorer.env()));
  VOSSICK_ASSIGN_OR_RETURN(vossick::PrimaryScan scan, vossick::PrimaryScan::open(txn, explorer.dbs()));
  uint64_t records = 0;
  for (;;) {
    VOSSICK_ASSIGN_OR_RETURN(bool more, scan.next());
    if (!more) break;
    ++records;
    checksum += scan.current_id() ^ scan.current_value().size() ^ static_cast<uint8_t>(scan.current_value()[0]);
  }
  return records;
}

int fail(const vossick::Error& error) {
  std::fprintf(stderr, "primary_pass: %s\n", error.text().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: primary_pass NEW_DB OLD_DB\n");
    return 2;
  }
  auto current = vossick::Explorer::open(argv[1]);
  if (!current.ok()) return fail(current.error());
  auto baseline = vossick::Explorer::open(argv[2]);
  if (!baseline.ok()) return fail(baseline.error());
  uint64_t checksum = 0;
  const auto started = std::chrono::steady_clock::now();
  auto records_new = pass(current.value(), checksum);
  auto records_old = pass(baseline.value(), checksum);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!records_new.ok()) return fail(records_new.error());
  if (!records_old.ok()) return fail(records_old.error());
  std::printf("records_new %llu\nrecords_old %llu\npass_seconds %.4f\nchecksum %llu\n",
              static_cast<unsigned long long>(records_new.value()),
              static_cast<unsigned long long>(records_old.value()), seconds, static_cast<unsigned long long>(checksum));
  return 0;
}
