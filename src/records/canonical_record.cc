// The canonical-form scanner: fixed literals between the members, so each
// member is found without looking at keys, whitespace or member order.
// Anything unexpected ends the scan with "not recognised"; it never reports
// why, since the general parser owns every error message.

#include "records/canonical_record.h"

#include <cstring>

#include "base/utf8.h"
#include "records/json_scan.h"
#include "records/record_writer.h"

namespace vossick {
namespace {

using json_scan::DiscardingSink;
using json_scan::is_digit;
using json_scan::scan_u64;
using json_scan::StringSink;

// Consumes `literal` at p, or returns false.
template <size_t N>
inline bool consume(const char*& p, const char* end, const char (&literal)[N]) noexcept {
  constexpr size_t kLength = N - 1;
  if (static_cast<size_t>(end - p) < kLength || std::memcmp(p, literal, kLength) != 0) return false;
  p += kLength;
  return true;
}

inline int lower_hex_value(char c) noexcept {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The escape at p (a backslash) as write_record writes it: a short escape
// for '"', '\\', \b \t \n \f \r, and \u00xx in lower case for the other
// control characters. Stores the character and returns the escape's width,
// or 0 when the escape is not canonical.
inline int canonical_escape(const char* p, const char* end, char& decoded) noexcept {
  if (end - p < 2) return 0;
  switch (p[1]) {
    case '"': decoded = '"'; return 2;
    case '\\': decoded = '\\'; return 2;
    case 'b': decoded = '\b'; return 2;
    case 't': decoded = '\t'; return 2;
    case 'n': decoded = '\n'; return 2;
    case 'f': decoded = '\f'; return 2;
    case 'r': decoded = '\r'; return 2;
    case 'u': {
      if (end - p < 6 || p[2] != '0' || p[3] != '0' || (p[4] != '0' && p[4] != '1')) return 0;
      const int low = lower_hex_value(p[5]);
      if (low < 0) return 0;
      const int c = (p[4] - '0') * 16 + low;
      if (c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r') return 0;
      decoded = static_cast<char>(c);
      return 6;
    }
    default: return 0;
  }
}

// The contents of a string, p just after its opening quote; returns the end
// of its contents (the closing quote), or nullptr. Escapes are canonical
// ones when allowed, otherwise the string is not recognised.
template <bool kAllowEscapes, class Sink>
const char* scan_string(const char* p, const char* end, Sink& sink) {
  const char* run = p;
  for (;;) {
    p = json_scan::skip_plain_run<true>(p, end);
    if (p == end) return nullptr;
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') {
      sink.append(run, static_cast<size_t>(p - run));
      return p;
    }
    if (c >= 0x80) {
      const int width =
          utf8_sequence_width(reinterpret_cast<const unsigned char*>(p), reinterpret_cast<const unsigned char*>(end));
      if (width <= 0) return nullptr;  // malformed, or cut short by the end
      p += width;
      continue;
    }
    if (!kAllowEscapes || c != '\\') return nullptr;  // a raw control character, or an escape
    char decoded;
    const int width = canonical_escape(p, end, decoded);
    if (width == 0) return nullptr;
    sink.append(run, static_cast<size_t>(p - run));
    sink.append(&decoded, 1);
    p += width;
    run = p;
  }
}

// Where references go: nowhere (still validated) or into a vector.
struct DiscardingReferences {
  void clear() noexcept {}
  void push_back(uint64_t) noexcept {}
};

// Where the value goes: nowhere (still validated) or into an optional string.
struct DiscardingValue {
  void set_null() noexcept {}
  DiscardingSink start_text() noexcept { return {}; }
};

struct OptionalStringValue {
  std::optional<std::string>& out;
  void set_null() noexcept { out.reset(); }
  StringSink start_text() {
    if (!out) out.emplace();
    out->clear();
    return StringSink{*out};
  }
};

struct ScalarMembers {
  uint64_t id = 0;
  std::string_view type;
  uint64_t size = 0;
  std::optional<uint64_t> subtree_size;
  size_t subtree_size_offset = 0;
};

// The id and type at the head of a canonical record; false when the head is
// not in the subset.
inline bool scan_head(const char*& p, const char* end, uint64_t& id, std::string_view& type) noexcept {
  if (!consume(p, end, "{\"id\":")) return false;
  if (!(p = scan_u64(p, end, id))) return false;
  if (!consume(p, end, ",\"type\":\"")) return false;
  DiscardingSink type_sink;
  const char* const type_end = scan_string<false>(p, end, type_sink);
  if (!type_end) return false;
  type = std::string_view(p, static_cast<size_t>(type_end - p));
  p = type_end + 1;
  return true;
}

template <class References, class Value>
bool scan_record(std::string_view bytes, ScalarMembers& members, References&& references, Value&& value) {
  const char* const begin = bytes.data();
  const char* const end = begin + bytes.size();
  const char* p = begin;
  if (!scan_head(p, end, members.id, members.type)) return false;
  if (!consume(p, end, ",\"references\":[")) return false;
  references.clear();
  if (p != end && *p == ']') {
    ++p;
  } else {
    for (;;) {
      uint64_t id;
      if (!(p = scan_u64(p, end, id))) return false;
      references.push_back(id);
      if (p == end) return false;
      const char delimiter = *p++;
      if (delimiter == ']') break;
      if (delimiter != ',') return false;
    }
  }
  if (!consume(p, end, ",\"value\":")) return false;
  if (consume(p, end, "null")) {
    value.set_null();
  } else {
    if (!consume(p, end, "\"")) return false;
    auto sink = value.start_text();
    if (!(p = scan_string<true>(p, end, sink))) return false;
    ++p;
  }
  if (!consume(p, end, ",\"size\":")) return false;
  if (!(p = scan_u64(p, end, members.size))) return false;
  if (!consume(p, end, ",\"subtree_size\":")) return false;
  members.subtree_size_offset = static_cast<size_t>(p - begin);
  if (consume(p, end, "null")) {
    members.subtree_size.reset();
  } else {
    uint64_t subtree_size;
    if (!(p = scan_u64(p, end, subtree_size))) return false;
    members.subtree_size = subtree_size;
  }
  return end - p == 1 && *p == '}';
}

// The members every shape has.
template <class Record>
void assign_scalar_members(const ScalarMembers& members, Record& out) {
  out.id = members.id;
  out.type.assign(members.type);
  out.size = members.size;
  out.subtree_size = members.subtree_size;
}

}  // namespace

std::optional<CanonicalRecordView> scan_canonical_record(std::string_view bytes) noexcept {
  ScalarMembers members;
  if (!scan_record(bytes, members, DiscardingReferences{}, DiscardingValue{})) return std::nullopt;
  return CanonicalRecordView{members.id, members.type, members.subtree_size_offset};
}

std::optional<CanonicalHead> scan_canonical_head(std::string_view bytes) noexcept {
  const char* p = bytes.data();
  CanonicalHead head;
  if (!scan_head(p, bytes.data() + bytes.size(), head.id, head.type)) return std::nullopt;
  return head;
}

bool decode_canonical_record(std::string_view bytes, RawObjectRecord& out) {
  ScalarMembers members;
  if (!scan_record(bytes, members, out.references, OptionalStringValue{out.value})) return false;
  assign_scalar_members(members, out);
  return true;
}

bool decode_canonical_record(std::string_view bytes, ObjectRecordNoValue& out) {
  ScalarMembers members;
  if (!scan_record(bytes, members, out.references, DiscardingValue{})) return false;
  assign_scalar_members(members, out);
  return true;
}

bool decode_canonical_record(std::string_view bytes, ObjectSummary& out) {
  ScalarMembers members;
  if (!scan_record(bytes, members, DiscardingReferences{}, OptionalStringValue{out.value})) return false;
  assign_scalar_members(members, out);
  return true;
}

void append_with_subtree_size(std::string_view bytes, const CanonicalRecordView& view, uint64_t subtree_size,
                              std::string& out) {
  out.append(bytes.data(), view.subtree_size_offset);
  append_u64(subtree_size, out);
  out += '}';
}

}  // namespace vossick
