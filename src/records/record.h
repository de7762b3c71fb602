// Object records: the JSON line format of a heap dump and the stored value of
// `primary`.
//
// One JSON object per heap object. Three shapes read it: RawObjectRecord (all
// members), ObjectRecordNoValue (graph walks: skips `value`) and ObjectSummary
// (lists: skips `references`). The parser is strict RFC 8259; it decodes
// straight into the shape asked for and skips what the shape does not read.
// A record may also be a JSON array of its members' values in member order.
//
// Thread safety: all functions are reentrant; no shared state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace vossick {

struct RawObjectRecord {
  uint64_t id = 0;
  std::string type;
  std::vector<uint64_t> references;
  std::optional<std::string> value;
  uint64_t size = 0;
  std::optional<uint64_t> subtree_size;

  bool operator==(const RawObjectRecord&) const = default;
};

struct ObjectRecordNoValue {
  uint64_t id = 0;
  std::string type;
  std::vector<uint64_t> references;
  uint64_t size = 0;
  std::optional<uint64_t> subtree_size;

  bool operator==(const ObjectRecordNoValue&) const = default;
};

struct ObjectSummary {
  uint64_t id = 0;
  std::string type;
  std::optional<std::string> value;
  uint64_t size = 0;
  std::optional<uint64_t> subtree_size;

  bool operator==(const ObjectSummary&) const = default;
};

// Parses `input` into `out`, reusing out's buffers (the import parses millions
// of lines into one record). On error `out` holds unspecified members and the
// error is of kind kParse, its text ending in " at line L column C".
Status parse_record(std::string_view input, RawObjectRecord& out);
Status parse_record(std::string_view input, ObjectRecordNoValue& out);
Status parse_record(std::string_view input, ObjectSummary& out);

template <class Record>
Result<Record> parse_record(std::string_view input) {
  Record record;
  Status status = parse_record(input, record);
  if (!status.ok()) return std::move(status).error();
  return record;
}

// Appends the canonical compact form of `record` to `out`:
// {"id":..,"type":"..","references":[..],"value":..|null,"size":..,"subtree_size":..|null}
void write_record(const RawObjectRecord& record, std::string& out);

// Appends the decimal digits of `value`, as write_record writes integers.
void append_u64(uint64_t value, std::string& out);

}  // namespace vossick
