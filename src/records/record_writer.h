// The one written form of an object record, which `primary` stores and the
// canonical-form scanner (canonical_record.h) recognises: compact JSON,
// members in a fixed order, absent optionals as null, minimal escaping.
//
// Thread safety: all functions are reentrant; no shared state.
#pragma once

#include <cstdint>
#include <string>

#include "records/record.h"

namespace vossick {

// Appends the canonical compact form of `record` to `out`:
// {"id":..,"type":"..","references":[..],"value":..|null,"size":..,"subtree_size":..|null}
void write_record(const RawObjectRecord& record, std::string& out);

// Appends the decimal digits of `value`, as write_record writes integers.
void append_u64(uint64_t value, std::string& out);

}  // namespace vossick
