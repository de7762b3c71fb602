#include "storage/encodings.h"

#include "base/utf8.h"

namespace vossick {

namespace {

Error length_error(std::string_view what, size_t expected, size_t got) {
  return Error::decoding("Invalid byte length for " + std::string(what) + ": expected " + std::to_string(expected) +
                         ", got " + std::to_string(got));
}

}  // namespace

Result<Type> decode_type(std::string_view bytes) {
  if (bytes == kAllTypesName) return Type::all();
  if (auto error = validate_utf8(bytes)) return Error::decoding(error->to_string());
  return Type{false, std::string(bytes)};
}

Result<uint64_t> decode_id(std::string_view bytes) {
  if (bytes.size() != kIdBytes) return length_error("object id", kIdBytes, bytes.size());
  return load_le64(bytes_of(bytes));
}

EncodedTypeSummary encode_type_summary(const TypeSummary& summary) {
  EncodedTypeSummary e;
  store_le64(summary.count, e.bytes);
  store_le64(summary.total_size, e.bytes + 8);
  return e;
}

Result<TypeSummary> decode_type_summary(std::string_view bytes) {
  if (bytes.size() != kTypeSummaryBytes) {
    return length_error("TypeSummary", kTypeSummaryBytes, bytes.size());
  }
  return TypeSummary{load_le64(bytes_of(bytes)), load_le64(bytes_of(bytes) + 8)};
}

EncodedSizeIndexEntry encode_size_index_entry(const SizeIndexEntry& entry) {
  EncodedSizeIndexEntry e;
  store_be64(~entry.size, e.bytes);
  store_be64(entry.id, e.bytes + 8);
  return e;
}

Result<SizeIndexEntry> decode_size_index_entry(std::string_view bytes) {
  if (bytes.size() != kSizeIndexEntryBytes) {
    return length_error("SizeIndexEntry", kSizeIndexEntryBytes, bytes.size());
  }
  return SizeIndexEntry{~load_be64(bytes_of(bytes)), load_be64(bytes_of(bytes) + 8)};
}

}  // namespace vossick
