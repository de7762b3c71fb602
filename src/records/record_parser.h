// The strict RFC 8259 parser of object records. It decodes straight into
// the shape asked for and skips what the shape does not read; a record may
// also be a JSON array of its members' values in member order. Its error
// texts ("missing field `size` at line 1 column 35") reach Python unchanged
// and are part of the module's public contract.
//
// Thread safety: all functions are reentrant; no shared state.
#pragma once

#include <string_view>

#include "base/result.h"
#include "records/record.h"

namespace vossick {

// Parses `input` into `out`, reusing out's buffers (the import parses millions
// of lines into one record). On error `out` holds unspecified members and the
// error is of kind kParse, its text ending in " at line L column C".
Status parse_record(std::string_view input, RawObjectRecord& out);
Status parse_record(std::string_view input, ObjectRecordNoValue& out);
Status parse_record(std::string_view input, ObjectSummary& out);
// The import's shape: the record and, from the object form, its `labels`
// (an array as long as `references`, each entry a string or null; a count
// that differs fails with "labels has 3 entries for 2 references") and
// `allocated_at` (a string or null). Lines without them read as
// RawObjectRecord reads them; the other shapes skip both as unknown members.
Status parse_record(std::string_view input, AnnotatedRecord& out);

template <class Record>
Result<Record> parse_record(std::string_view input) {
  Record record;
  Status status = parse_record(input, record);
  if (!status.ok()) return std::move(status).error();
  return record;
}

}  // namespace vossick
