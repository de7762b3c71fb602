// Fuzzes the record parser with arbitrary bytes in all three shapes.
//
// Checks, for every input:
//  - each shape accepts exactly what the plain reference reading
//    (json_reference.h) accepts, with the same member values;
//  - a rejection carries a message ending in " at line L column C";
//  - an accepted RawObjectRecord, written in canonical form and parsed again,
//    gives the same record in all three shapes, and writing that again gives
//    the same bytes;
//  - whatever the canonical-form fast path recognises (the input, and the
//    written form) the parser accepts, in every shape, with the same record,
//    and write_record gives the bytes back; the splice of a new subtree_size
//    equals decoding and writing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "../tests/cpp/records/fast_path_check.h"
#include "json_reference.h"
#include "records/canonical_record.h"
#include "records/record.h"
#include "records/record_parser.h"
#include "records/record_writer.h"

namespace {

using vossick::ObjectRecordNoValue;
using vossick::ObjectSummary;
using vossick::RawObjectRecord;

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "record_parser_fuzzer: %s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

bool is_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

void check_error_text(const vossick::Error& error) {
  const std::string& text = error.text();
  if (error.kind() != vossick::ErrorKind::kParse) fail("parse error of another kind", text);
  const size_t at_line = text.rfind(" at line ");
  const size_t column = text.rfind(" column ");
  if (at_line == std::string::npos || at_line == 0 || column == std::string::npos || column < at_line) {
    fail("error without position", text);
  }
  if (!is_digits(std::string_view(text).substr(at_line + 9, column - at_line - 9)) ||
      !is_digits(std::string_view(text).substr(column + 8))) {
    fail("malformed position", text);
  }
}

ObjectRecordNoValue without_value(const RawObjectRecord& r) {
  return ObjectRecordNoValue{r.id, r.type, r.references, r.size, r.subtree_size};
}
ObjectSummary summary_of(const RawObjectRecord& r) {
  return ObjectSummary{r.id, r.type, r.value, r.size, r.subtree_size};
}

// Parses `input` in shape Record and compares with the reference reading.
template <class Record, class Project>
std::optional<Record> check_shape(std::string_view input, const std::optional<vossick::fuzz::JsonValue>& tree,
                                  const std::vector<std::string_view>& shape, Project project, const char* name) {
  vossick::Result<Record> parsed = vossick::parse_record<Record>(input);
  std::optional<RawObjectRecord> expected;
  if (tree) expected = vossick::fuzz::reference_record(*tree, shape);
  if (!parsed.ok()) {
    check_error_text(parsed.error());
    if (expected) fail(name, "rejected an input the reference accepts: " + parsed.error().text());
    return std::nullopt;
  }
  if (!expected) fail(name, "accepted an input the reference rejects");
  if (!(parsed.value() == project(*expected))) fail(name, "member values differ from the reference");
  return std::move(parsed).value();
}

// The fast path may decline anything, but what it recognises must be exactly
// what the parser and the writer make of it (the check the C++ tests use).
void check_fast_path(std::string_view bytes) {
  bool recognised = false;
  if (const std::string error = vossick::testing::fast_path_error(bytes, recognised); !error.empty()) {
    fail(error.c_str(), bytes);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::optional<vossick::fuzz::JsonValue> tree = vossick::fuzz::ReferenceJsonParser(input).parse_document();

  auto raw = check_shape<RawObjectRecord>(
      input, tree, vossick::fuzz::kRawShape, [](const RawObjectRecord& r) { return r; }, "RawObjectRecord");
  check_shape<ObjectRecordNoValue>(input, tree, vossick::fuzz::kNoValueShape, without_value, "ObjectRecordNoValue");
  check_shape<ObjectSummary>(input, tree, vossick::fuzz::kSummaryShape, summary_of, "ObjectSummary");
  check_fast_path(input);
  if (!raw) return 0;

  std::string written;
  vossick::write_record(*raw, written);
  if (written.rfind("{\"id\":", 0) != 0 || written.back() != '}') fail("written form", written);
  auto reparsed = vossick::parse_record<RawObjectRecord>(written);
  if (!reparsed.ok()) fail("written record does not parse", reparsed.error().text());
  if (!(reparsed.value() == *raw)) fail("round trip changed the record", written);
  auto as_no_value = vossick::parse_record<ObjectRecordNoValue>(written);
  if (!as_no_value.ok() || !(as_no_value.value() == without_value(*raw))) fail("written record as NoValue", written);
  auto as_summary = vossick::parse_record<ObjectSummary>(written);
  if (!as_summary.ok() || !(as_summary.value() == summary_of(*raw))) fail("written record as summary", written);
  std::string rewritten;
  vossick::write_record(reparsed.value(), rewritten);
  if (rewritten != written) fail("writing is not stable", rewritten);
  check_fast_path(written);
  // The canonical form is itself plain JSON with the same meaning.
  auto tree_of_written = vossick::fuzz::ReferenceJsonParser(written).parse_document();
  if (!tree_of_written) fail("written record is not JSON", written);
  auto reference_of_written = vossick::fuzz::reference_record(*tree_of_written, vossick::fuzz::kRawShape);
  if (!reference_of_written || !(*reference_of_written == *raw)) fail("written record means something else", written);
  return 0;
}
