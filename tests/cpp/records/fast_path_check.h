// The canonical-record fast path checked against the general parser and the
// writer, shared by canonical_record_test.cc and the record parser fuzzer
// (so without gtest).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "records/canonical_record.h"
#include "records/record_parser.h"
#include "records/record_writer.h"

namespace vossick::testing {

// Runs every fast-path entry point on `bytes` and sets `recognised` to
// whether they recognised them. Recognised bytes must parse to the identical
// record in every shape (decoded over records a previous decode left behind)
// and be what write_record writes for it, and the splice of a new subtree
// size must write what decoding and writing anew would. Returns what is
// wrong, or "".
inline std::string fast_path_error(std::string_view bytes, bool& recognised) {
  RawObjectRecord raw{99, "stale", {1, 2, 3}, "stale value", 5, 6};
  ObjectRecordNoValue no_value{99, "stale", {4}, 5, 6};
  ObjectSummary summary{99, "stale", "stale value", 5, 6};
  const std::optional<CanonicalRecordView> view = scan_canonical_record(bytes);
  recognised = view.has_value();
  if (decode_canonical_record(bytes, raw) != recognised || decode_canonical_record(bytes, no_value) != recognised ||
      decode_canonical_record(bytes, summary) != recognised) {
    return "the scan and the decodes disagree";
  }
  if (!recognised) return "";
  const auto parsed = parse_record<RawObjectRecord>(bytes);
  if (!parsed.ok() || !(parsed.value() == raw)) return "the parser reads something else";
  const auto as_no_value = parse_record<ObjectRecordNoValue>(bytes);
  const auto as_summary = parse_record<ObjectSummary>(bytes);
  if (!as_no_value.ok() || !(as_no_value.value() == no_value) || !as_summary.ok() || !(as_summary.value() == summary)) {
    return "a narrower shape reads something else";
  }
  std::string written;
  write_record(raw, written);
  if (written != bytes) return "write_record writes other bytes";
  if (view->id != raw.id || view->type != raw.type) return "the view differs from the record";
  for (uint64_t subtree_size : {uint64_t{0}, uint64_t{7}, UINT64_MAX}) {
    std::string spliced = "prefix", rewritten = "prefix";
    append_with_subtree_size(bytes, *view, subtree_size, spliced);
    raw.subtree_size = subtree_size;
    write_record(raw, rewritten);
    if (spliced != rewritten) return "the splice differs from decoding and writing";
  }
  return "";
}

}  // namespace vossick::testing
