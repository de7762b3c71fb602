// Object records: the JSON line format of a heap dump and the stored value of
// `primary`, one JSON object per heap object. Three shapes read it:
// RawObjectRecord (all members), ObjectRecordNoValue (graph walks: skips
// `value`) and ObjectSummary (lists: skips `references`). record_parser.h
// reads them, record_writer.h writes the one canonical form, and
// canonical_record.h reads that form fast.
//
// Thread safety: plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vossick {

// The type of module objects, which no graph walk enters through a
// reference (every function would otherwise reach its module and with it
// the whole program). Dumps name the type so; the name is part of the
// module's public contract.
inline constexpr std::string_view kModuleTypeName = "builtins.module";

struct RawObjectRecord {
  uint64_t id = 0;
  std::string type;
  std::vector<uint64_t> references;
  std::optional<std::string> value;
  uint64_t size = 0;
  std::optional<uint64_t> subtree_size;

  bool operator==(const RawObjectRecord&) const = default;
};

// What a dump line may say about its object beyond the record: names for its
// references and where it was allocated. Kept apart from the record, which
// stays exactly as stored in `primary`; the import files them in databases
// of their own.
struct RecordAnnotations {
  // The line's `labels` in the encoding of record_labels.h; empty when the
  // line has none or all its labels are null (nothing is stored for either).
  std::string labels;
  std::optional<std::string> allocated_at;
};

// The shape the import reads a line into: the record and its annotations.
struct AnnotatedRecord : RawObjectRecord {
  RecordAnnotations annotations;
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

}  // namespace vossick
