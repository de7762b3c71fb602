// Strict RFC 8259 parser for object records, decoding straight into a shape.
//
// The hot path (scanning, integers, strings) never allocates beyond growing the
// output record's own buffers and reports faults as a compact Failure; the
// message text is rendered only once parsing has failed.
//
// Choices that go beyond "valid JSON":
// - Every string, key or value, kept or skipped, is checked the same way: raw
//   bytes must be UTF-8 ("invalid unicode code point" at the first bad byte)
//   and \u escapes must pair into scalar values. A skipped member is checked
//   as JSON only, not against the member's type.
// - A repeated `id`, `type`, `references`, `value`, `size` or `subtree_size` is
//   a "duplicate field" error in every shape, also where the shape skips that
//   member; repeats of other members are allowed.
// - Arrays and objects may nest 128 deep, the record itself counting as one.
// - The array form must hold exactly as many elements as the shape has
//   members; both short and long arrays fail with "invalid length N, ...",
//   N being the number of elements found.
// - An integer member given a negative or too large integer fails with
//   "invalid value: integer `N`", given a fraction or exponent with "invalid
//   type: floating point `X`"; both echo the number.
// - Positions count bytes: the column is the number of bytes consumed on the
//   offending line, so a fault at a byte reports that byte's 1-based column.

#include "records/record_parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "base/utf8.h"
#include "records/json_scan.h"
#include "records/record_labels.h"

namespace vossick {
namespace {

using json_scan::DiscardingSink;
using json_scan::is_digit;
using json_scan::string_special_mask;
using json_scan::StringSink;

constexpr int kMaxDepth = 128;

enum class Fault : uint8_t {
  kEofWhileParsingValue,
  kEofWhileParsingObject,
  kEofWhileParsingList,
  kEofWhileParsingString,
  kExpectedColon,
  kExpectedObjectCommaOrEnd,
  kExpectedListCommaOrEnd,
  kExpectedIdent,
  kExpectedValue,
  kKeyMustBeAString,
  kTrailingComma,
  kTrailingCharacters,
  kInvalidEscape,
  kInvalidNumber,
  kNumberOutOfRange,
  kControlCharacter,
  kUnexpectedEndOfHexEscape,
  kLoneLeadingSurrogate,
  kInvalidCodePoint,
  kRecursionLimitExceeded,
  kMissingField,
  kDuplicateField,
  kInvalidType,
  kInvalidValue,
  kInvalidLength,
  kLabelCount,
};

// The texts of the faults, and the forms rendered below ("missing field
// `size`", " at line L column C"), reach Python unchanged: they are part of
// the module's public contract, and callers match on them.
std::string_view fault_text(Fault fault) {
  switch (fault) {
    case Fault::kEofWhileParsingValue: return "EOF while parsing a value";
    case Fault::kEofWhileParsingObject: return "EOF while parsing an object";
    case Fault::kEofWhileParsingList: return "EOF while parsing a list";
    case Fault::kEofWhileParsingString: return "EOF while parsing a string";
    case Fault::kExpectedColon: return "expected `:`";
    case Fault::kExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case Fault::kExpectedListCommaOrEnd: return "expected `,` or `]`";
    case Fault::kExpectedIdent: return "expected ident";
    case Fault::kExpectedValue: return "expected value";
    case Fault::kKeyMustBeAString: return "key must be a string";
    case Fault::kTrailingComma: return "trailing comma";
    case Fault::kTrailingCharacters: return "trailing characters";
    case Fault::kInvalidEscape: return "invalid escape";
    case Fault::kInvalidNumber: return "invalid number";
    case Fault::kNumberOutOfRange: return "number out of range";
    case Fault::kControlCharacter: return "control character (\\u0000-\\u001F) found while parsing a string";
    case Fault::kUnexpectedEndOfHexEscape: return "unexpected end of hex escape";
    case Fault::kLoneLeadingSurrogate: return "lone leading surrogate in hex escape";
    case Fault::kInvalidCodePoint: return "invalid unicode code point";
    case Fault::kRecursionLimitExceeded: return "recursion limit exceeded";
    default: return {};  // record-level faults are rendered with their details
  }
}

// Bit positions double as the `seen` mask of the object form.
// kLabels and kAllocatedAt are read by the import's shape only; the others
// skip them as unknown members.
enum class Member : uint8_t { kId, kType, kReferences, kValue, kSize, kSubtreeSize, kLabels, kAllocatedAt, kUnknown };

constexpr std::string_view kMemberNames[] = {"id",           "type",   "references",  "value",
                                             "size",         "subtree_size", "labels", "allocated_at"};

enum class Expected : uint8_t {
  kU64,
  kString,
  kStringOrNull,
  kSequence,
  kRawObjectRecord,
  kObjectRecordNoValue,
  kObjectSummary,
};

std::string_view expected_text(Expected expected) {
  switch (expected) {
    case Expected::kU64: return "u64";
    case Expected::kString: return "a string";
    case Expected::kStringOrNull: return "a string or null";
    case Expected::kSequence: return "a sequence";
    case Expected::kRawObjectRecord: return "struct RawObjectRecord";
    case Expected::kObjectRecordNoValue: return "struct ObjectRecordNoValue";
    case Expected::kObjectSummary: return "struct ObjectSummary";
  }
  return {};
}

// What was found where something else was expected.
enum class Token : uint8_t { kNull, kTrue, kFalse, kNumber, kString, kSequence, kMap };

struct Failure {
  Fault fault = Fault::kEofWhileParsingValue;
  // Bytes consumed when the fault was found; the column counts those on the
  // last line.
  size_t index = 0;
  Member member = Member::kUnknown;
  Expected expected = Expected::kU64;
  Token token = Token::kNull;
  // The offending number's text, or a string's contents between its quotes.
  size_t token_begin = 0;
  size_t token_end = 0;
  size_t length = 0;
  size_t references = 0;  // kLabelCount: the record's reference count
};

template <class Shape>
struct ShapeTraits;

template <>
struct ShapeTraits<RawObjectRecord> {
  static constexpr bool kReadsReferences = true;
  static constexpr bool kReadsValue = true;
  static constexpr bool kReadsAnnotations = false;
  static constexpr Expected kExpected = Expected::kRawObjectRecord;
  static constexpr Member kArrayOrder[] = {Member::kId,    Member::kType, Member::kReferences,
                                           Member::kValue, Member::kSize, Member::kSubtreeSize};
};

// A dump line: the record, as RawObjectRecord reads it, and the annotation
// members, which only the object form can carry.
template <>
struct ShapeTraits<AnnotatedRecord> : ShapeTraits<RawObjectRecord> {
  static constexpr bool kReadsAnnotations = true;
};

template <>
struct ShapeTraits<ObjectRecordNoValue> {
  static constexpr bool kReadsReferences = true;
  static constexpr bool kReadsValue = false;
  static constexpr bool kReadsAnnotations = false;
  static constexpr Expected kExpected = Expected::kObjectRecordNoValue;
  static constexpr Member kArrayOrder[] = {Member::kId, Member::kType, Member::kReferences, Member::kSize,
                                           Member::kSubtreeSize};
};

template <>
struct ShapeTraits<ObjectSummary> {
  static constexpr bool kReadsReferences = false;
  static constexpr bool kReadsValue = true;
  static constexpr bool kReadsAnnotations = false;
  static constexpr Expected kExpected = Expected::kObjectSummary;
  static constexpr Member kArrayOrder[] = {Member::kId, Member::kType, Member::kValue, Member::kSize,
                                           Member::kSubtreeSize};
};

inline bool is_whitespace(char c) noexcept { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

inline int hex_value(char c) noexcept {
  if (is_digit(c)) return c - '0';
  const char lower = static_cast<char>(c | 0x20);
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

inline int encode_utf8(uint32_t code_point, char* out) noexcept {
  if (code_point < 0x80) {
    out[0] = static_cast<char>(code_point);
    return 1;
  }
  if (code_point < 0x800) {
    out[0] = static_cast<char>(0xC0 | (code_point >> 6));
    out[1] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 2;
  }
  if (code_point < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (code_point >> 12));
    out[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (code_point >> 18));
  out[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (code_point & 0x3F));
  return 4;
}

Member member_named(std::string_view name) noexcept {
  const char* n = name.data();
  switch (name.size()) {
    case 2: return std::memcmp(n, "id", 2) == 0 ? Member::kId : Member::kUnknown;
    case 4:
      if (std::memcmp(n, "type", 4) == 0) return Member::kType;
      return std::memcmp(n, "size", 4) == 0 ? Member::kSize : Member::kUnknown;
    case 5: return std::memcmp(n, "value", 5) == 0 ? Member::kValue : Member::kUnknown;
    case 6: return std::memcmp(n, "labels", 6) == 0 ? Member::kLabels : Member::kUnknown;
    case 10: return std::memcmp(n, "references", 10) == 0 ? Member::kReferences : Member::kUnknown;
    case 12:
      if (std::memcmp(n, "subtree_size", 12) == 0) return Member::kSubtreeSize;
      return std::memcmp(n, "allocated_at", 12) == 0 ? Member::kAllocatedAt : Member::kUnknown;
    default: return Member::kUnknown;
  }
}

// Collects a member name; names longer than the longest known one are only
// flagged, never stored.
struct KeySink {
  static constexpr size_t kCapacity = 12;  // "subtree_size", "allocated_at"
  char bytes[kCapacity];
  size_t length = 0;
  bool too_long = false;
  void append(const char* p, size_t n) noexcept {
    if (too_long || length + n > kCapacity) {
      too_long = true;
      return;
    }
    std::memcpy(bytes + length, p, n);
    length += n;
  }
  Member member() const noexcept { return too_long ? Member::kUnknown : member_named(std::string_view(bytes, length)); }
};

// A scanned number: its text and, when it is a plain integer within u64, its
// value.
struct NumberToken {
  const char* begin;
  bool negative = false;
  bool is_integer = true;  // no fraction, no exponent
  bool overflow = false;   // integer digits beyond u64
  uint64_t magnitude = 0;
};

// True when the syntactically valid JSON number `text` is finite as a double.
bool fits_double(std::string_view text) noexcept {
  double value;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc()) return std::isfinite(value);
  if (ec != std::errc::result_out_of_range) return false;
  // Out of range is either overflow or underflow; underflow (to zero) is fine.
  // The decimal exponent of the leading significant digit tells which.
  size_t i = text[0] == '-' ? 1 : 0;
  int64_t integer_digits = 0;
  int64_t leading_exponent = 0;
  bool found = false;
  for (; i < text.size() && is_digit(text[i]); ++i, ++integer_digits) {
    if (!found && text[i] != '0') {
      found = true;
      leading_exponent = -integer_digits;
    }
  }
  if (found) leading_exponent += integer_digits - 1;
  if (i < text.size() && text[i] == '.') {
    for (int64_t k = 1; ++i < text.size() && is_digit(text[i]); ++k) {
      if (!found && text[i] != '0') {
        found = true;
        leading_exponent = -k;
      }
    }
  }
  if (!found) return true;
  int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
    for (; i < text.size(); ++i) {
      exponent = std::min<int64_t>(exponent * 10 + (text[i] - '0'), 1'000'000'000);
    }
    if (negative) exponent = -exponent;
  }
  return leading_exponent + exponent < 0;
}

class Parser {
 public:
  explicit Parser(std::string_view input) noexcept
      : begin_(input.data()), p_(input.data()), end_(input.data() + input.size()) {}

  template <class Shape>
  bool parse_record(Shape& out);

  const Failure& failure() const noexcept { return failure_; }

  // Decodes the string whose contents start at `begin` (just after its
  // opening quote); it is known to be valid.
  std::string decode_string_at(size_t begin) {
    std::string text;
    p_ = begin_ + begin;
    StringSink sink{text};
    scan_string(sink);
    return text;
  }

 private:
  size_t index() const noexcept { return static_cast<size_t>(p_ - begin_); }
  size_t input_size() const noexcept { return static_cast<size_t>(end_ - begin_); }

  // A fault at the byte about to be read (it counts as consumed), or at the
  // end of the input.
  [[gnu::cold, gnu::noinline]] bool fail_peek(Fault fault) noexcept {
    return fail_at(fault, std::min(index() + 1, input_size()));
  }
  // A fault after what has been consumed so far.
  [[gnu::cold, gnu::noinline]] bool fail_here(Fault fault) noexcept { return fail_at(fault, index()); }
  bool fail_at(Fault fault, size_t index) noexcept {
    failure_.fault = fault;
    failure_.index = index;
    return false;
  }
  [[gnu::cold, gnu::noinline]] bool fail_member(Fault fault, Member member) noexcept {
    failure_.member = member;
    return fail_here(fault);
  }
  [[gnu::cold, gnu::noinline]] bool fail_length(size_t length) noexcept {
    failure_.length = length;
    return fail_here(Fault::kInvalidLength);
  }
  [[gnu::cold, gnu::noinline]] bool fail_label_count(size_t labels, size_t references) noexcept {
    failure_.length = labels;
    failure_.references = references;
    return fail_here(Fault::kLabelCount);
  }
  // A value of the wrong type or range, just consumed; [token_begin,
  // token_end) is what the message shows of it.
  [[gnu::cold, gnu::noinline]] bool fail_mismatch(Fault fault, Token token, const char* token_begin,
                                                  const char* token_end, Expected expected) noexcept {
    failure_.token = token;
    failure_.token_begin = static_cast<size_t>(token_begin - begin_);
    failure_.token_end = static_cast<size_t>(token_end - begin_);
    failure_.expected = expected;
    return fail_here(fault);
  }

  // Skips whitespace; false at the end of the input.
  bool skip_whitespace() noexcept {
    while (p_ < end_ && is_whitespace(*p_)) ++p_;
    return p_ < end_;
  }

  bool enter_nesting() noexcept {
    if (++depth_ > kMaxDepth) return fail_peek(Fault::kRecursionLimitExceeded);
    return true;
  }

  // p_ is at the first letter of a literal whose remaining letters are `rest`.
  bool parse_literal_rest(std::string_view rest) noexcept {
    ++p_;
    for (char expected : rest) {
      if (p_ == end_) return fail_here(Fault::kEofWhileParsingValue);
      if (*p_++ != expected) return fail_here(Fault::kExpectedIdent);
    }
    return true;
  }

  bool read_plain_integer(uint64_t& out) noexcept;
  bool scan_number(NumberToken& token) noexcept;
  bool parse_u64(uint64_t& out) noexcept;
  bool parse_optional_u64(std::optional<uint64_t>& out) noexcept;
  bool parse_string(std::string& out);
  bool parse_optional_string(std::optional<std::string>& out);
  bool parse_references(std::vector<uint64_t>& out);
  bool parse_labels(std::string& out, size_t& count);
  bool mismatch_at_peek(Expected expected) noexcept;
  bool scan_key(Member& member) noexcept;
  template <class Sink>
  bool scan_string(Sink& sink);
  template <class Sink>
  bool parse_escape(Sink& sink);
  bool parse_hex4(uint32_t& out) noexcept;
  bool skip_value() noexcept;
  bool skip_array_rest() noexcept;
  bool skip_object_rest() noexcept;
  [[gnu::always_inline]] int next_array_element(bool& first) noexcept;
  template <class Shape>
  bool parse_member(Member member, Shape& out);
  template <class Shape>
  bool parse_object_form(Shape& out);
  template <class Shape>
  bool parse_array_form(Shape& out);

  const char* const begin_;
  const char* p_;
  const char* const end_;
  int depth_ = 0;
  size_t label_count_ = 0;  // entries of the `labels` member read
  Failure failure_;
};

// Fast path for the common number: p_ is at a digit that starts a plain
// integer within u64 followed by neither a fraction nor an exponent. Reads
// it and returns true; otherwise leaves p_ where it was and returns false,
// for scan_number to judge.
bool Parser::read_plain_integer(uint64_t& out) noexcept {
  const char* digits_end = json_scan::scan_u64(p_, end_, out);
  if (digits_end == nullptr) return false;
  if (digits_end != end_ && (*digits_end == '.' || (*digits_end | 0x20) == 'e')) return false;
  p_ = digits_end;
  return true;
}

// p_ is at '-' or a digit. Validates the whole number, including that it is
// finite as a double.
bool Parser::scan_number(NumberToken& token) noexcept {
  token.begin = p_;
  if (*p_ == '-') {
    token.negative = true;
    ++p_;
    if (p_ == end_) return fail_here(Fault::kEofWhileParsingValue);
  }
  const char first = *p_;
  if (first == '0') {
    ++p_;
    if (p_ < end_ && is_digit(*p_)) return fail_peek(Fault::kInvalidNumber);
  } else if (is_digit(first)) {
    uint64_t value = static_cast<uint64_t>(first - '0');
    ++p_;
    while (p_ < end_ && is_digit(*p_)) {
      const uint64_t digit = static_cast<uint64_t>(*p_ - '0');
      if (value > (UINT64_MAX - digit) / 10) {
        token.overflow = true;
        while (p_ < end_ && is_digit(*p_)) ++p_;
        break;
      }
      value = value * 10 + digit;
      ++p_;
    }
    token.magnitude = value;
  } else {
    ++p_;
    return fail_here(Fault::kInvalidNumber);
  }
  if (p_ < end_ && *p_ == '.') {
    token.is_integer = false;
    ++p_;
    if (p_ == end_) return fail_peek(Fault::kEofWhileParsingValue);
    if (!is_digit(*p_)) return fail_peek(Fault::kInvalidNumber);
    while (p_ < end_ && is_digit(*p_)) ++p_;
  }
  if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
    token.is_integer = false;
    ++p_;
    if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (p_ == end_) return fail_here(Fault::kEofWhileParsingValue);
    if (!is_digit(*p_)) {
      ++p_;
      return fail_here(Fault::kInvalidNumber);
    }
    while (p_ < end_ && is_digit(*p_)) ++p_;
  }
  if ((!token.is_integer || token.overflow) &&
      !fits_double(std::string_view(token.begin, static_cast<size_t>(p_ - token.begin)))) {
    return fail_here(Fault::kNumberOutOfRange);
  }
  return true;
}

bool Parser::parse_u64(uint64_t& out) noexcept {
  if (!skip_whitespace()) return fail_peek(Fault::kEofWhileParsingValue);
  if (is_digit(*p_) && read_plain_integer(out)) [[likely]]
    return true;
  if (*p_ != '-' && !is_digit(*p_)) return mismatch_at_peek(Expected::kU64);
  NumberToken token;
  if (!scan_number(token)) return false;
  if (!token.is_integer) {
    return fail_mismatch(Fault::kInvalidType, Token::kNumber, token.begin, p_, Expected::kU64);
  }
  if (token.negative || token.overflow) {
    return fail_mismatch(Fault::kInvalidValue, Token::kNumber, token.begin, p_, Expected::kU64);
  }
  out = token.magnitude;
  return true;
}

bool Parser::parse_optional_u64(std::optional<uint64_t>& out) noexcept {
  if (skip_whitespace() && *p_ == 'n') {
    out.reset();
    return parse_literal_rest("ull");
  }
  uint64_t value;
  if (!parse_u64(value)) return false;
  out = value;
  return true;
}

bool Parser::parse_string(std::string& out) {
  if (!skip_whitespace()) return fail_peek(Fault::kEofWhileParsingValue);
  if (*p_ != '"') return mismatch_at_peek(Expected::kString);
  ++p_;
  out.clear();
  StringSink sink{out};
  return scan_string(sink);
}

bool Parser::parse_optional_string(std::optional<std::string>& out) {
  if (skip_whitespace() && *p_ == 'n') {
    out.reset();
    return parse_literal_rest("ull");
  }
  if (!out) out.emplace();
  return parse_string(*out);
}

bool Parser::parse_references(std::vector<uint64_t>& out) {
  out.clear();
  if (!skip_whitespace()) return fail_peek(Fault::kEofWhileParsingValue);
  if (*p_ != '[') return mismatch_at_peek(Expected::kSequence);
  if (!enter_nesting()) return false;
  ++p_;
  bool first = true;
  for (;;) {
    const int next = next_array_element(first);
    if (next < 0) return false;
    if (next == 0) break;
    uint64_t id;
    if (!parse_u64(id)) return false;
    out.push_back(id);
  }
  ++p_;
  --depth_;
  return true;
}

// Encodes the entries (each a string or null) into `out` (record_labels.h),
// leaving it empty when every entry is null, and counts them.
bool Parser::parse_labels(std::string& out, size_t& count) {
  out.clear();
  count = 0;
  if (!skip_whitespace()) return fail_peek(Fault::kEofWhileParsingValue);
  if (*p_ != '[') return mismatch_at_peek(Expected::kSequence);
  if (!enter_nesting()) return false;
  ++p_;
  bool first = true;
  bool named = false;
  for (;;) {
    const int next = next_array_element(first);
    if (next < 0) return false;
    if (next == 0) break;
    ++count;
    if (*p_ == 'n') {
      if (!parse_literal_rest("ull")) return false;
      append_null_label(out);
      continue;
    }
    if (*p_ != '"') return mismatch_at_peek(Expected::kStringOrNull);
    ++p_;
    named = true;
    const size_t begun_at = begin_label(out);
    StringSink sink{out};
    if (!scan_string(sink)) return false;
    end_label(out, begun_at);
  }
  ++p_;
  --depth_;
  if (!named) out.clear();
  return true;
}

// The value at p_ is not of the expected JSON type: consume it if it is a
// scalar (it is shown in the message) and fail with "invalid type".
bool Parser::mismatch_at_peek(Expected expected) noexcept {
  const char* start = p_;
  Token token;
  switch (p_ == end_ ? '\0' : *p_) {
    case 'n':
      if (!parse_literal_rest("ull")) return false;
      token = Token::kNull;
      break;
    case 't':
      if (!parse_literal_rest("rue")) return false;
      token = Token::kTrue;
      break;
    case 'f':
      if (!parse_literal_rest("alse")) return false;
      token = Token::kFalse;
      break;
    case '-':
    case '0' ... '9': {  // a case range: GCC and Clang
      NumberToken number;
      if (!scan_number(number)) return false;
      token = Token::kNumber;
      break;
    }
    case '"': {
      ++p_;
      DiscardingSink sink;
      if (!scan_string(sink)) return false;
      // The contents between the quotes.
      return fail_mismatch(Fault::kInvalidType, Token::kString, start + 1, p_ - 1, expected);
    }
    case '[': token = Token::kSequence; break;
    case '{': token = Token::kMap; break;
    default: return fail_peek(Fault::kExpectedValue);
  }
  return fail_mismatch(Fault::kInvalidType, token, start, p_, expected);
}

// Reads an object key (p_ just after its opening quote) and names the member.
bool Parser::scan_key(Member& member) noexcept {
  // Fast path: a plain ASCII key closing within the next 16 bytes.
  if (end_ - p_ >= 16) {
    uint64_t low, high;
    std::memcpy(&low, p_, 8);
    std::memcpy(&high, p_ + 8, 8);
    size_t length = 16;
    if (const uint64_t mask = string_special_mask(low)) {
      length = static_cast<size_t>(__builtin_ctzll(mask)) / 8;
    } else if (const uint64_t mask_high = string_special_mask(high)) {
      length = 8 + static_cast<size_t>(__builtin_ctzll(mask_high)) / 8;
    }
    if (length < 16 && p_[length] == '"') {
      member = member_named(std::string_view(p_, length));
      p_ += length + 1;
      return true;
    }
  }
  KeySink key;
  if (!scan_string(key)) return false;
  member = key.member();
  return true;
}

// p_ is just after the opening quote; on success it is just after the
// closing one.
template <class Sink>
bool Parser::scan_string(Sink& sink) {
  const char* run = p_;
  for (;;) {
    p_ = json_scan::skip_plain_run<true>(p_, end_);
    if (p_ == end_) return fail_here(Fault::kEofWhileParsingString);
    const auto c = static_cast<unsigned char>(*p_);
    if (c == '"') {
      sink.append(run, static_cast<size_t>(p_ - run));
      ++p_;
      return true;
    }
    if (c == '\\') {
      sink.append(run, static_cast<size_t>(p_ - run));
      ++p_;
      if (!parse_escape(sink)) return false;
      run = p_;
      continue;
    }
    if (c < 0x20) {
      ++p_;
      return fail_here(Fault::kControlCharacter);
    }
    const int width =
        utf8_sequence_width(reinterpret_cast<const unsigned char*>(p_), reinterpret_cast<const unsigned char*>(end_));
    if (width == 0) {
      p_ = end_;
      return fail_here(Fault::kEofWhileParsingString);
    }
    if (width < 0) return fail_peek(Fault::kInvalidCodePoint);
    p_ += width;
  }
}

// p_ is just after a backslash.
template <class Sink>
bool Parser::parse_escape(Sink& sink) {
  if (p_ == end_) return fail_here(Fault::kEofWhileParsingString);
  char decoded;
  switch (*p_++) {
    case '"': decoded = '"'; break;
    case '\\': decoded = '\\'; break;
    case '/': decoded = '/'; break;
    case 'b': decoded = '\b'; break;
    case 'f': decoded = '\f'; break;
    case 'n': decoded = '\n'; break;
    case 'r': decoded = '\r'; break;
    case 't': decoded = '\t'; break;
    case 'u': {
      uint32_t code_point = 0;
      if (!parse_hex4(code_point)) return false;
      if (code_point >= 0xDC00 && code_point <= 0xDFFF) {
        return fail_here(Fault::kLoneLeadingSurrogate);
      }
      if (code_point >= 0xD800 && code_point <= 0xDBFF) {
        if (p_ == end_) return fail_here(Fault::kEofWhileParsingString);
        if (*p_++ != '\\') return fail_here(Fault::kUnexpectedEndOfHexEscape);
        if (p_ == end_) return fail_here(Fault::kEofWhileParsingString);
        if (*p_++ != 'u') return fail_here(Fault::kUnexpectedEndOfHexEscape);
        uint32_t trailing = 0;
        if (!parse_hex4(trailing)) return false;
        if (trailing < 0xDC00 || trailing > 0xDFFF) {
          return fail_here(Fault::kLoneLeadingSurrogate);
        }
        code_point = 0x10000 + ((code_point - 0xD800) << 10) + (trailing - 0xDC00);
      }
      char bytes[4];
      sink.append(bytes, static_cast<size_t>(encode_utf8(code_point, bytes)));
      return true;
    }
    default: return fail_here(Fault::kInvalidEscape);
  }
  sink.append(&decoded, 1);
  return true;
}

bool Parser::parse_hex4(uint32_t& out) noexcept {
  if (end_ - p_ < 4) {
    p_ = end_;
    return fail_here(Fault::kEofWhileParsingString);
  }
  uint32_t value = 0;
  for (int k = 0; k < 4; ++k) {
    const int digit = hex_value(*p_++);
    if (digit < 0) return fail_here(Fault::kInvalidEscape);
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  out = value;
  return true;
}

// Validates and skips any JSON value. Nesting is bounded by kMaxDepth, so the
// recursion is too.
bool Parser::skip_value() noexcept {
  if (!skip_whitespace()) return fail_peek(Fault::kEofWhileParsingValue);
  switch (*p_) {
    case 'n': return parse_literal_rest("ull");
    case 't': return parse_literal_rest("rue");
    case 'f': return parse_literal_rest("alse");
    case '0' ... '9': {
      uint64_t ignored;
      if (read_plain_integer(ignored)) return true;
      NumberToken token;
      return scan_number(token);
    }
    case '-': {
      NumberToken token;
      return scan_number(token);
    }
    case '"': {
      ++p_;
      DiscardingSink sink;
      return scan_string(sink);
    }
    case '[':
      if (!enter_nesting()) return false;
      ++p_;
      return skip_array_rest();
    case '{':
      if (!enter_nesting()) return false;
      ++p_;
      return skip_object_rest();
    default: return fail_peek(Fault::kExpectedValue);
  }
}

bool Parser::skip_array_rest() noexcept {
  bool first = true;
  for (;;) {
    const int next = next_array_element(first);
    if (next < 0) return false;
    if (next == 0) break;
    if (!skip_value()) return false;
  }
  ++p_;
  --depth_;
  return true;
}

bool Parser::skip_object_rest() noexcept {
  if (!skip_whitespace()) return fail_peek(Fault::kEofWhileParsingObject);
  if (*p_ != '}') {
    for (;;) {
      if (*p_ != '"') return fail_peek(Fault::kKeyMustBeAString);
      ++p_;
      DiscardingSink sink;
      if (!scan_string(sink)) return false;
      if (!skip_whitespace()) return fail_peek(Fault::kEofWhileParsingObject);
      if (*p_ != ':') return fail_peek(Fault::kExpectedColon);
      ++p_;
      if (!skip_value()) return false;
      if (!skip_whitespace()) return fail_peek(Fault::kEofWhileParsingObject);
      if (*p_ == '}') break;
      if (*p_ != ',') return fail_peek(Fault::kExpectedObjectCommaOrEnd);
      ++p_;
      if (!skip_whitespace()) return fail_peek(Fault::kEofWhileParsingValue);
      if (*p_ == '}') return fail_peek(Fault::kTrailingComma);
    }
  }
  ++p_;
  --depth_;
  return true;
}

// Inside an array: 1 when an element begins at p_, 0 when p_ is at the
// closing bracket, -1 on a fault.
inline int Parser::next_array_element(bool& first) noexcept {
  Fault fault;
  if (!skip_whitespace()) {
    fault = Fault::kEofWhileParsingList;
  } else if (*p_ == ']') {
    return 0;
  } else if (first) {
    first = false;
    return 1;
  } else if (*p_ != ',') {
    fault = Fault::kExpectedListCommaOrEnd;
  } else {
    ++p_;
    if (!skip_whitespace()) {
      fault = Fault::kEofWhileParsingValue;
    } else if (*p_ == ']') {
      fault = Fault::kTrailingComma;
    } else {
      return 1;
    }
  }
  fail_peek(fault);
  return -1;
}

template <class Shape>
bool Parser::parse_member(Member member, Shape& out) {
  using Traits = ShapeTraits<Shape>;
  switch (member) {
    case Member::kId: return parse_u64(out.id);
    case Member::kType: return parse_string(out.type);
    case Member::kReferences:
      if constexpr (Traits::kReadsReferences) return parse_references(out.references);
      return skip_value();
    case Member::kValue:
      if constexpr (Traits::kReadsValue) return parse_optional_string(out.value);
      return skip_value();
    case Member::kSize: return parse_u64(out.size);
    case Member::kSubtreeSize: return parse_optional_u64(out.subtree_size);
    case Member::kLabels:
      if constexpr (Traits::kReadsAnnotations) return parse_labels(out.annotations.labels, label_count_);
      return skip_value();
    case Member::kAllocatedAt:
      if constexpr (Traits::kReadsAnnotations) return parse_optional_string(out.annotations.allocated_at);
      return skip_value();
    case Member::kUnknown: return skip_value();
  }
  return skip_value();
}

// p_ is just after the opening brace.
template <class Shape>
bool Parser::parse_object_form(Shape& out) {
  using Traits = ShapeTraits<Shape>;
  unsigned seen = 0;
  bool first = true;
  for (;;) {
    if (!skip_whitespace()) return fail_peek(Fault::kEofWhileParsingObject);
    if (*p_ == '}') break;
    if (!first) {
      if (*p_ != ',') return fail_peek(Fault::kExpectedObjectCommaOrEnd);
      ++p_;
      if (!skip_whitespace()) return fail_peek(Fault::kEofWhileParsingValue);
      if (*p_ == '}') return fail_peek(Fault::kTrailingComma);
    }
    first = false;
    if (*p_ != '"') return fail_peek(Fault::kKeyMustBeAString);
    ++p_;
    Member member;
    if (!scan_key(member)) return false;
    if constexpr (!Traits::kReadsAnnotations) {
      // Unknown to this shape, so repeats are allowed, as of any other member.
      if (member == Member::kLabels || member == Member::kAllocatedAt) member = Member::kUnknown;
    }
    if (member != Member::kUnknown) {
      const unsigned bit = 1u << static_cast<unsigned>(member);
      if (seen & bit) {
        skip_whitespace();
        return fail_member(Fault::kDuplicateField, member);
      }
      seen |= bit;
    }
    if (!skip_whitespace()) return fail_peek(Fault::kEofWhileParsingObject);
    if (*p_ != ':') return fail_peek(Fault::kExpectedColon);
    ++p_;
    if (!parse_member(member, out)) return false;
  }
  ++p_;
  for (Member required : {Member::kId, Member::kType, Member::kReferences, Member::kSize}) {
    if (required == Member::kReferences && !Traits::kReadsReferences) continue;
    if (!(seen & (1u << static_cast<unsigned>(required)))) {
      return fail_member(Fault::kMissingField, required);
    }
  }
  if constexpr (Traits::kReadsValue) {
    if (!(seen & (1u << static_cast<unsigned>(Member::kValue)))) out.value.reset();
  }
  if (!(seen & (1u << static_cast<unsigned>(Member::kSubtreeSize)))) out.subtree_size.reset();
  if constexpr (Traits::kReadsAnnotations) {
    if ((seen & (1u << static_cast<unsigned>(Member::kLabels))) && label_count_ != out.references.size()) {
      return fail_label_count(label_count_, out.references.size());
    }
  }
  return true;
}

// p_ is just after the opening bracket.
template <class Shape>
bool Parser::parse_array_form(Shape& out) {
  using Traits = ShapeTraits<Shape>;
  bool first = true;
  size_t count = 0;
  for (Member member : Traits::kArrayOrder) {
    const int next = next_array_element(first);
    if (next < 0) return false;
    if (next == 0) {
      ++p_;
      return fail_length(count);
    }
    if (!parse_member(member, out)) return false;
    ++count;
  }
  for (;;) {
    const int next = next_array_element(first);
    if (next < 0) return false;
    if (next == 0) break;
    if (!skip_value()) return false;
    ++count;
  }
  ++p_;
  if (count != std::size(Traits::kArrayOrder)) return fail_length(count);
  return true;
}

template <class Shape>
bool Parser::parse_record(Shape& out) {
  if constexpr (ShapeTraits<Shape>::kReadsAnnotations) {
    out.annotations.labels.clear();
    out.annotations.allocated_at.reset();
  }
  if (!skip_whitespace()) return fail_peek(Fault::kEofWhileParsingValue);
  const char c = *p_;
  if (c == '{' || c == '[') {
    if (!enter_nesting()) return false;
    ++p_;
    if (!(c == '{' ? parse_object_form(out) : parse_array_form(out))) return false;
    --depth_;
  } else {
    return mismatch_at_peek(ShapeTraits<Shape>::kExpected);
  }
  if (skip_whitespace()) return fail_peek(Fault::kTrailingCharacters);
  return true;
}

// Rust-like debug quoting, so that control characters in a shown string stay
// visible and the message stays on one line.
void append_quoted(std::string_view text, std::string& out) {
  out += '"';
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u{";
          if (c >= 0x10) out += kHex[c >> 4];
          out += kHex[c & 0xF];
          out += '}';
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

void append_number_description(std::string_view text, std::string& out) {
  const bool is_integer = text.find_first_of(".eE") == std::string_view::npos;
  if (is_integer) {
    out += "integer `";
    out += text;
    out += '`';
    return;
  }
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);  // finite: checked when scanned
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed);
  std::string_view shown(buffer, static_cast<size_t>(result.ptr - buffer));
  out += "floating point `";
  out += shown;
  if (shown.find('.') == std::string_view::npos) out += ".0";
  out += '`';
}

[[gnu::cold]] std::string render(const Failure& failure, std::string_view input) {
  std::string text;
  switch (failure.fault) {
    case Fault::kMissingField:
    case Fault::kDuplicateField:
      text = failure.fault == Fault::kMissingField ? "missing field `" : "duplicate field `";
      text += kMemberNames[static_cast<size_t>(failure.member)];
      text += '`';
      break;
    case Fault::kLabelCount:
      text = "labels has " + std::to_string(failure.length) + " entries for " + std::to_string(failure.references) +
             " references";
      break;
    case Fault::kInvalidLength:
      text = "invalid length " + std::to_string(failure.length) + ", expected ";
      text += expected_text(failure.expected);
      text += " with " + std::to_string(failure.expected == Expected::kRawObjectRecord ? 6 : 5) + " elements";
      break;
    case Fault::kInvalidType:
    case Fault::kInvalidValue: {
      text = failure.fault == Fault::kInvalidType ? "invalid type: " : "invalid value: ";
      const std::string_view token = input.substr(failure.token_begin, failure.token_end - failure.token_begin);
      switch (failure.token) {
        case Token::kNull: text += "null"; break;
        case Token::kTrue: text += "boolean `true`"; break;
        case Token::kFalse: text += "boolean `false`"; break;
        case Token::kNumber: append_number_description(token, text); break;
        case Token::kString:
          text += "string ";
          append_quoted(Parser(input).decode_string_at(failure.token_begin), text);
          break;
        case Token::kSequence: text += "sequence"; break;
        case Token::kMap: text += "map"; break;
      }
      text += ", expected ";
      text += expected_text(failure.expected);
      break;
    }
    default: text = fault_text(failure.fault);
  }
  const std::string_view consumed = input.substr(0, failure.index);
  const size_t line = 1 + static_cast<size_t>(std::count(consumed.begin(), consumed.end(), '\n'));
  const size_t last_newline = consumed.rfind('\n');
  const size_t column = last_newline == std::string_view::npos ? consumed.size() : consumed.size() - last_newline - 1;
  text += " at line " + std::to_string(line) + " column " + std::to_string(column);
  return text;
}

template <class Shape>
Status parse_shape(std::string_view input, Shape& out) {
  Parser parser(input);
  if (parser.parse_record(out)) [[likely]]
    return ok_status();
  Failure failure = parser.failure();
  if (failure.fault == Fault::kInvalidLength) failure.expected = ShapeTraits<Shape>::kExpected;
  return Error::parse(render(failure, input));
}

}  // namespace

Status parse_record(std::string_view input, RawObjectRecord& out) { return parse_shape(input, out); }

Status parse_record(std::string_view input, ObjectRecordNoValue& out) { return parse_shape(input, out); }

Status parse_record(std::string_view input, ObjectSummary& out) { return parse_shape(input, out); }

Status parse_record(std::string_view input, AnnotatedRecord& out) { return parse_shape(input, out); }

}  // namespace vossick
