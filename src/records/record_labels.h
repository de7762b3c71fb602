// The compact encoding of a record's reference labels, the value stored in
// `reference_labels`: one entry per reference, in order, each a varint
// (LEB128, 7 bits a byte, low bits first) that is 0 for a null label and the
// label's UTF-8 byte length plus one otherwise, followed by those bytes. The
// entries delimit themselves, so the count is not stored.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vossick {

void append_null_label(std::string& out);
void append_label(std::string_view label, std::string& out);

// For writing a label's bytes straight after its varint without knowing
// their length first (the parser decodes them into `out`):
// `end_label(out, begin_label(out))` around the appended bytes.
size_t begin_label(std::string& out);
void end_label(std::string& out, size_t begun_at);

// The labels of `bytes`, or nothing when they are not in the encoding.
std::optional<std::vector<std::optional<std::string>>> decode_labels(std::string_view bytes);

}  // namespace vossick
