// A second, deliberately plain reading of object records for the fuzzers: a
// recursive-descent RFC 8259 parser into a small tree, and the record rules
// (members, shapes, array form) applied to that tree. It shares no code with
// the production parser, so the two can be checked against each other.
//
// Thread safety: pure functions.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "records/record.h"
#include "records/record_parser.h"
#include "records/record_writer.h"

namespace vossick::fuzz {

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  std::string text;               // a number's source text, or a string's decoded bytes
  std::vector<JsonValue> items;   // array elements, or object member values
  std::vector<std::string> keys;  // object member names, parallel to `items`
};

class ReferenceJsonParser {
 public:
  explicit ReferenceJsonParser(std::string_view input) : input_(input) {}

  // The whole input as one value with optional surrounding whitespace.
  std::optional<JsonValue> parse_document() {
    JsonValue value;
    skip_whitespace();
    if (!parse_value(value, 1)) return std::nullopt;
    skip_whitespace();
    if (pos_ != input_.size()) return std::nullopt;
    return value;
  }

 private:
  static constexpr int kMaxDepth = 128;

  bool at_end() const { return pos_ >= input_.size(); }
  unsigned char peek() const { return static_cast<unsigned char>(input_[pos_]); }
  static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

  // Steps over `c` if it comes next.
  bool consume(char c) {
    if (at_end() || input_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  // Steps over one or more digits.
  bool digits() {
    const size_t start = pos_;
    while (!at_end() && is_digit(peek())) ++pos_;
    return pos_ > start;
  }

  void skip_whitespace() {
    while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++pos_;
  }

  bool expect_word(std::string_view word) {
    if (input_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  // `depth` counts the containers this value would open, the outermost being 1.
  bool parse_value(JsonValue& out, int depth) {
    if (at_end()) return false;
    switch (peek()) {
      case 'n': out.kind = JsonValue::Kind::kNull; return expect_word("null");
      case 't': out.kind = JsonValue::Kind::kBool; return expect_word("true");
      case 'f': out.kind = JsonValue::Kind::kBool; return expect_word("false");
      case '"':
        out.kind = JsonValue::Kind::kString;
        ++pos_;
        return parse_string_rest(out.text);
      case '[': return depth <= kMaxDepth && parse_container(out, depth, ']');
      case '{': return depth <= kMaxDepth && parse_container(out, depth, '}');
      default: out.kind = JsonValue::Kind::kNumber; return parse_number(out.text);
    }
  }

  // An array (`close` is ']') or an object ('}'), from its opening bracket.
  bool parse_container(JsonValue& out, int depth, char close) {
    out.kind = close == ']' ? JsonValue::Kind::kArray : JsonValue::Kind::kObject;
    ++pos_;
    skip_whitespace();
    if (consume(close)) return true;
    for (;;) {
      skip_whitespace();
      if (close == '}') {
        std::string key;
        if (!consume('"') || !parse_string_rest(key)) return false;
        skip_whitespace();
        if (!consume(':')) return false;
        skip_whitespace();
        out.keys.push_back(std::move(key));
      }
      JsonValue item;
      if (!parse_value(item, depth + 1)) return false;
      out.items.push_back(std::move(item));
      skip_whitespace();
      if (consume(close)) return true;
      if (!consume(',')) return false;
    }
  }

  bool parse_number(std::string& text) {
    const size_t start = pos_;
    consume('-');
    if (!consume('0') && !digits()) return false;
    if (consume('.') && !digits()) return false;
    if (consume('e') || consume('E')) {
      if (!consume('+')) consume('-');
      if (!digits()) return false;
    }
    text.assign(input_.substr(start, pos_ - start));
    // Every number must be representable as a double (overflow, not underflow, fails).
    return std::isfinite(std::strtod(text.c_str(), nullptr));
  }

  bool parse_hex4(uint32_t& out) {
    if (input_.size() - pos_ < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = input_[pos_++];
      const char lower = static_cast<char>(c | 0x20);  // 'A'-'F' to 'a'-'f', and nothing else into that range
      const int digit = is_digit(c) ? c - '0' : lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
      if (digit < 0) return false;
      out = out * 16 + static_cast<uint32_t>(digit);
    }
    return true;
  }

  // The bytes that follow the lead byte of a UTF-8 sequence (0 to 3), by the
  // lead's high bits, or -1 for a byte that cannot lead.
  static int continuation_bytes(unsigned char lead) {
    return lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
  }

  static void append_utf8(uint32_t cp, std::string& out) {
    static constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
    const int extra = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
    out += static_cast<char>(kLead[extra] | (cp >> (6 * extra)));
    for (int k = extra - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
  }

  // Decodes one raw UTF-8 scalar value starting at pos_ by its definition:
  // shortest form, no surrogates, at most U+10FFFF.
  bool copy_utf8_scalar(std::string& out) {
    const int extra = continuation_bytes(peek());
    if (extra < 0 || input_.size() - pos_ < static_cast<size_t>(extra) + 1) return false;
    uint32_t cp = peek() & (0x7F >> extra);
    for (int i = 1; i <= extra; ++i) {
      const unsigned char c = static_cast<unsigned char>(input_[pos_ + i]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out.append(input_.substr(pos_, static_cast<size_t>(extra) + 1));
    pos_ += static_cast<size_t>(extra) + 1;
    return true;
  }

  bool parse_string_rest(std::string& out) {
    for (;;) {
      if (at_end()) return false;
      const unsigned char c = peek();
      if (consume('"')) return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        if (!copy_utf8_scalar(out)) return false;
        continue;
      }
      ++pos_;
      if (at_end()) return false;
      const char escape = input_[pos_++];
      static constexpr std::string_view kEscapes = "\"\"\\\\//b\bf\fn\nr\rt\t";  // escape, then its byte
      if (const size_t at = kEscapes.find(escape); at != std::string_view::npos && at % 2 == 0) {
        out += kEscapes[at + 1];
        continue;
      }
      if (escape != 'u') return false;
      uint32_t cp;
      if (!parse_hex4(cp)) return false;
      if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (input_.substr(pos_, 2) != "\\u") return false;
        pos_ += 2;
        uint32_t low;
        if (!parse_hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      }
      append_utf8(cp, out);
    }
  }

  std::string_view input_;
  size_t pos_ = 0;
};

// ---- record rules over the tree ------------------------------------------------

inline std::optional<uint64_t> as_u64(const JsonValue& v) {
  if (v.kind != JsonValue::Kind::kNumber) return std::nullopt;
  for (char c : v.text) {
    if (c < '0' || c > '9') return std::nullopt;  // sign, fraction or exponent
  }
  constexpr std::string_view kMax = "18446744073709551615";
  if (v.text.size() > kMax.size() || (v.text.size() == kMax.size() && v.text > kMax)) return std::nullopt;
  return std::strtoull(v.text.c_str(), nullptr, 10);
}

// Reads member `name` into `out`; false when its value has the wrong kind.
inline bool read_member(const JsonValue& v, std::string_view name, RawObjectRecord& out) {
  using Kind = JsonValue::Kind;
  const bool null = v.kind == Kind::kNull, string = v.kind == Kind::kString;
  const std::optional<uint64_t> number = as_u64(v);
  if (name == "id" || name == "size") {
    if (number) (name == "id" ? out.id : out.size) = *number;
    return number.has_value();
  }
  if (name == "type") {
    if (string) out.type = v.text;
    return string;
  }
  if (name == "value") {
    out.value = string ? std::optional<std::string>(v.text) : std::nullopt;
    return null || string;
  }
  if (name == "subtree_size") {
    out.subtree_size = number;
    return null || number;
  }
  if (name != "references") return true;  // any other member is skipped
  if (v.kind != Kind::kArray) return false;
  out.references.clear();
  for (const JsonValue& item : v.items) {
    const std::optional<uint64_t> reference = as_u64(item);
    if (!reference) return false;
    out.references.push_back(*reference);
  }
  return true;
}

// Reads a record in one shape, given by the member names it reads in array
// order. Results use RawObjectRecord; members the shape does not read stay
// at their defaults.
inline std::optional<RawObjectRecord> reference_record(const JsonValue& root,
                                                       const std::vector<std::string_view>& shape) {
  const auto reads = [&](std::string_view name) { return std::ranges::count(shape, name) > 0; };
  RawObjectRecord record;
  if (root.kind == JsonValue::Kind::kArray) {
    if (root.items.size() != shape.size()) return std::nullopt;
    for (size_t i = 0; i < shape.size(); ++i) {
      if (!read_member(root.items[i], shape[i], record)) return std::nullopt;
    }
    return record;
  }
  if (root.kind != JsonValue::Kind::kObject) return std::nullopt;
  static constexpr std::string_view kKnown[] = {"id", "type", "references", "value", "size", "subtree_size"};
  std::vector<std::string> seen;  // known members
  for (size_t m = 0; m < root.keys.size(); ++m) {
    const std::string& key = root.keys[m];
    if (std::ranges::count(kKnown, key) > 0) {
      if (std::ranges::count(seen, key) > 0) return std::nullopt;  // a known member twice, read or not
      seen.push_back(key);
    }
    if (reads(key) && !read_member(root.items[m], key, record)) return std::nullopt;
  }
  for (std::string_view required : {"id", "type", "references", "size"}) {
    if (reads(required) && std::ranges::count(seen, required) == 0) return std::nullopt;
  }
  return record;
}

inline const std::vector<std::string_view> kRawShape{"id", "type", "references", "value", "size", "subtree_size"};
inline const std::vector<std::string_view> kNoValueShape{"id", "type", "references", "size", "subtree_size"};
inline const std::vector<std::string_view> kSummaryShape{"id", "type", "value", "size", "subtree_size"};

}  // namespace vossick::fuzz
