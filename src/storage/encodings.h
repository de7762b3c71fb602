// Byte encodings of the keys and values of the type-keyed databases and of
// object ids. These fix the orders in which LMDB hands entries back:
//  - ids are 8 bytes little-endian (native order for MDB_INTEGERKEY keys;
//    duplicates of one key therefore sort by their least significant byte);
//  - SizeIndexEntry sorts largest size first, then ascending id;
//  - type names sort bytewise.
// The stored bytes, the orders they give the listings, the name "All Types"
// and the decoding errors' texts are the module's public contract: stored
// databases and callers' scripts depend on them.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/result.h"

namespace vossick {

inline constexpr std::string_view kAllTypesName = "All Types";

// A type name, or the all-types marker under which every object is indexed as
// well. Both encode as their bytes, so a type literally named "All Types" shares
// the marker's entries.
struct Type {
  bool all_types = false;
  std::string name;  // empty for the marker

  static Type all() { return Type{true, {}}; }
  static Type named(std::string_view name) { return name == kAllTypesName ? all() : Type{false, std::string(name)}; }

  // The key bytes, which are also the text shown to Python.
  std::string_view encoded() const { return all_types ? kAllTypesName : std::string_view(name); }

  bool operator==(const Type&) const = default;
};

// Decodes a type key: exactly "All Types" is the marker, anything else must be
// UTF-8 ("error while decoding: invalid utf-8 sequence ...").
Result<Type> decode_type(std::string_view bytes);

struct TypeSummary {
  uint64_t count = 0;
  uint64_t total_size = 0;
  bool operator==(const TypeSummary&) const = default;
};

struct SizeIndexEntry {
  uint64_t size = 0;
  uint64_t id = 0;
  bool operator==(const SizeIndexEntry&) const = default;
};

inline constexpr size_t kIdBytes = 8;
inline constexpr size_t kTypeSummaryBytes = 16;
inline constexpr size_t kSizeIndexEntryBytes = 16;

inline void store_le64(uint64_t v, unsigned char* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline uint64_t load_le64(const unsigned char* in) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}
inline void store_be64(uint64_t v, unsigned char* out) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
}
inline uint64_t load_be64(const unsigned char* in) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | in[i];
  return v;
}

inline const unsigned char* bytes_of(std::string_view bytes) {
  return reinterpret_cast<const unsigned char*>(bytes.data());
}

struct EncodedId {
  unsigned char bytes[kIdBytes];
};
inline EncodedId encode_id(uint64_t id) {
  EncodedId e;
  store_le64(id, e.bytes);
  return e;
}
// The encoded id as an LMDB key or value; views `id`, so it must outlive the use.
inline std::string_view id_key(const EncodedId& id) {
  return std::string_view(reinterpret_cast<const char*>(id.bytes), kIdBytes);
}
// Fails with "error while decoding: Invalid byte length for object id: expected 8, got N".
Result<uint64_t> decode_id(std::string_view bytes);
// Duplicates compare bytewise and ids are stored little-endian, so ids sort
// as duplicates in the order of their byte-swapped values.
inline uint64_t id_bytes_order(uint64_t id) { return __builtin_bswap64(id); }

struct EncodedTypeSummary {
  unsigned char bytes[kTypeSummaryBytes];
  std::string_view view() const { return std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes); }
};
EncodedTypeSummary encode_type_summary(const TypeSummary& summary);
Result<TypeSummary> decode_type_summary(std::string_view bytes);

struct EncodedSizeIndexEntry {
  unsigned char bytes[kSizeIndexEntryBytes];
  std::string_view view() const { return std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes); }
};
EncodedSizeIndexEntry encode_size_index_entry(const SizeIndexEntry& entry);
Result<SizeIndexEntry> decode_size_index_entry(std::string_view bytes);

}  // namespace vossick
