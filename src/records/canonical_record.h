// A fast path for reading the records stored in `primary`. Every stored value
// was written by write_record, so it is in the canonical form:
// {"id":N,"type":"..","references":[N,..],"value":".."|null,"size":N,"subtree_size":N|null}
// The scanner here recognises exactly that form, byte for byte, within a
// subset: the type has no escapes, the value only the escapes write_record
// produces. It validates what the general parser validates for those bytes
// (u64 range, no leading zeros, UTF-8, nothing after the record), so:
// - bytes it recognises parse with parse_record, in every shape, to the very
//   record it decodes, and write_record gives those bytes back;
// - bytes it does not recognise may still be valid: callers then fall back
//   to parse_record, which gives the record or the error.
//
// Thread safety: all functions are reentrant; no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "records/record.h"

namespace vossick {

struct CanonicalRecordView {
  uint64_t id = 0;
  // The type's bytes, which are its text: the subset has no escapes there.
  std::string_view type;
  // Where the `subtree_size` member's value (digits or null) begins; the
  // closing brace follows it.
  size_t subtree_size_offset = 0;
};

// The view of `bytes` when they are a canonical record in the subset,
// otherwise nothing. Validates the whole record, `value` included.
std::optional<CanonicalRecordView> scan_canonical_record(std::string_view bytes) noexcept;

struct CanonicalHead {
  uint64_t id = 0;
  std::string_view type;  // as in CanonicalRecordView
};

// The id and type of `bytes` when the record begins in the canonical form of
// the subset, otherwise nothing. Only that head is read and validated, for
// walks over whole dumps that need no more than the type; what follows it
// may still be damaged.
std::optional<CanonicalHead> scan_canonical_head(std::string_view bytes) noexcept;

// True when `bytes` are a canonical record in the subset; `out` then holds
// what parse_record gives, its buffers reused. False leaves `out` with
// unspecified members.
bool decode_canonical_record(std::string_view bytes, RawObjectRecord& out);
bool decode_canonical_record(std::string_view bytes, ObjectRecordNoValue& out);
bool decode_canonical_record(std::string_view bytes, ObjectSummary& out);

// Appends what write_record writes for the record of `bytes` (recognised as
// `view`) with its `subtree_size` set to `subtree_size`, without decoding it.
void append_with_subtree_size(std::string_view bytes, const CanonicalRecordView& view, uint64_t subtree_size,
                              std::string& out);

}  // namespace vossick
