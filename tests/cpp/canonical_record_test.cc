// The canonical-record fast path against the general parser and the writer:
// whatever it recognises must parse to the same record in every shape and
// be exactly what write_record writes for it; whatever it does not recognise
// falls back to the parser unchanged.

#include "records/canonical_record.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "records/record.h"
#include "records/record_parser.h"
#include "records/record_writer.h"
#include "storage/primary.h"

namespace vossick {
namespace {

std::string written(const RawObjectRecord& record) {
  std::string out;
  write_record(record, out);
  return out;
}

// Records the previous decode left behind, so that stale members show.
void fill_with_stale_members(RawObjectRecord& raw, ObjectRecordNoValue& no_value, ObjectSummary& summary) {
  raw = RawObjectRecord{99, "stale", {1, 2, 3}, "stale value", 5, 6};
  no_value = ObjectRecordNoValue{99, "stale", {4}, 5, 6};
  summary = ObjectSummary{99, "stale", "stale value", 5, 6};
}

// Checks every fast-path entry point on `bytes` and returns whether they
// recognised them. Recognised bytes must parse to the identical record in
// every shape and be what write_record writes for it, and the splice must
// write what decoding and writing anew would.
bool expect_fast_path_sound(std::string_view bytes) {
  SCOPED_TRACE(::testing::Message() << "bytes: " << ::testing::PrintToString(std::string(bytes)));
  RawObjectRecord raw;
  ObjectRecordNoValue no_value;
  ObjectSummary summary;
  fill_with_stale_members(raw, no_value, summary);
  const std::optional<CanonicalRecordView> view = scan_canonical_record(bytes);
  const bool recognised = view.has_value();
  EXPECT_EQ(decode_canonical_record(bytes, raw), recognised);
  EXPECT_EQ(decode_canonical_record(bytes, no_value), recognised);
  EXPECT_EQ(decode_canonical_record(bytes, summary), recognised);
  if (!recognised) return false;

  const auto parsed_raw = parse_record<RawObjectRecord>(bytes);
  const auto parsed_no_value = parse_record<ObjectRecordNoValue>(bytes);
  const auto parsed_summary = parse_record<ObjectSummary>(bytes);
  EXPECT_TRUE(parsed_raw.ok() && parsed_no_value.ok() && parsed_summary.ok());
  if (!(parsed_raw.ok() && parsed_no_value.ok() && parsed_summary.ok())) return true;
  EXPECT_EQ(raw, parsed_raw.value());
  EXPECT_EQ(no_value, parsed_no_value.value());
  EXPECT_EQ(summary, parsed_summary.value());
  EXPECT_EQ(written(parsed_raw.value()), bytes);

  EXPECT_EQ(view->id, raw.id);
  EXPECT_EQ(view->type, raw.type);
  for (uint64_t subtree_size : {uint64_t{0}, uint64_t{7}, uint64_t{1} << 63, UINT64_MAX}) {
    RawObjectRecord rewritten = raw;
    rewritten.subtree_size = subtree_size;
    std::string spliced = "prefix";
    append_with_subtree_size(bytes, *view, subtree_size, spliced);
    EXPECT_EQ(spliced, "prefix" + written(rewritten));
  }
  return true;
}

// Strings: ASCII, multi-byte UTF-8 up to U+10FFFF, and the characters that
// write_record escapes (quote, backslash, controls including NUL).
const std::vector<std::string>& string_pieces() {
  static const std::vector<std::string> pieces = {"a",
                                                  "builtins.dict",
                                                  "<function main at 0x7f3a2c>",
                                                  " ",
                                                  "/",
                                                  "\x7f",
                                                  "\xc3\xa9",
                                                  "\xdf\xbf",
                                                  "\xe2\x82\xac",
                                                  "\xe2\x80\xa8",
                                                  "\xef\xbf\xbf",
                                                  "\xf0\x9f\x98\x80",
                                                  "\xf4\x8f\xbf\xbf",
                                                  "\"",
                                                  "\\",
                                                  "\n",
                                                  "\t",
                                                  "\b",
                                                  "\f",
                                                  "\r",
                                                  std::string(1, '\0'),
                                                  "\x01",
                                                  "\x1f",
                                                  "\x0b"};
  return pieces;
}

bool needs_escape(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') return true;
  }
  return false;
}

// Integers at the boundaries of digit counts, of the eight-digit words the
// scanner reads, and of u64.
constexpr uint64_t kBoundaryIntegers[] = {0,
                                          1,
                                          9,
                                          10,
                                          99,
                                          100,
                                          9999999,
                                          10000000,
                                          99999999,
                                          100000000,
                                          999999999999999,
                                          1000000000000000,
                                          9999999999999999,
                                          10000000000000000,
                                          99999999999999999,
                                          9999999999999999999u,
                                          10000000000000000000u,
                                          uint64_t{1} << 63,
                                          UINT64_MAX - 1,
                                          UINT64_MAX};

class RandomRecords {
 public:
  explicit RandomRecords(uint64_t seed) : random_(seed) {}

  uint64_t integer() {
    switch (random_() % 3) {
      case 0: return kBoundaryIntegers[random_() % std::size(kBoundaryIntegers)];
      case 1: return random_() % 100000;
      default: return random_() >> (random_() % 64);
    }
  }

  // `plain` strings need no escape.
  std::string text(bool plain) {
    const size_t pieces = random_() % 8 == 0 ? 60 + random_() % 60 : random_() % 6;
    std::string out;
    while (out.size() < pieces) {
      const std::string& piece = string_pieces()[random_() % string_pieces().size()];
      if (!plain || !needs_escape(piece)) out += piece;
    }
    return out;
  }

  RawObjectRecord record() {
    RawObjectRecord record;
    record.id = integer();
    record.type = text(random_() % 4 != 0);
    const size_t references = random_() % 10 == 0 ? 200 : random_() % 6;
    for (size_t i = 0; i < references; ++i) record.references.push_back(integer());
    if (random_() % 3 != 0) record.value = text(random_() % 2 == 0);
    record.size = integer();
    if (random_() % 2 == 0) record.subtree_size = integer();
    return record;
  }

 private:
  std::mt19937_64 random_;
};

// Every written record whose type needs no escape is recognised (so the
// subset covers the plain records), and no other is.
TEST(CanonicalRecordTest, RecognisesWrittenRecordsExactlyWhenTheTypeHasNoEscape) {
  RandomRecords random(7);
  size_t recognised = 0;
  constexpr size_t kRecords = 4000;
  for (size_t i = 0; i < kRecords; ++i) {
    const RawObjectRecord record = random.record();
    const std::string bytes = written(record);
    const bool expected = !needs_escape(record.type);
    ASSERT_EQ(expect_fast_path_sound(bytes), expected) << ::testing::PrintToString(bytes);
    recognised += expected ? 1 : 0;
  }
  EXPECT_GT(recognised, kRecords / 2);
}

struct BoundaryCase {
  std::string name;
  RawObjectRecord record;
};

class CanonicalBoundaryTest : public ::testing::TestWithParam<BoundaryCase> {};

TEST_P(CanonicalBoundaryTest, IsRecognisedAndDecodedAsTheParserDoes) {
  EXPECT_TRUE(expect_fast_path_sound(written(GetParam().record)));
}

std::vector<BoundaryCase> boundary_cases() {
  std::vector<BoundaryCase> cases = {
      {"empty_everything", {0, "", {}, std::nullopt, 0, std::nullopt}},
      {"empty_value_string", {1, "t", {}, "", 1, std::nullopt}},
      {"every_escape_in_value", {1, "t", {2}, "\"\\/\b\t\n\f\r" + std::string(1, '\0') + "\x01\x1f\x7f", 3, 4}},
      {"four_byte_utf8", {1, "\xf0\x9f\x98\x80", {}, "\xf4\x8f\xbf\xbf", 1, 1}},
      {"long_references", {1, "t", std::vector<uint64_t>(1000, UINT64_MAX), std::nullopt, 1, 1}},
      {"long_type", {1, std::string(5000, 'x'), {}, std::nullopt, 1, 1}},
  };
  // Each boundary integer in each integer member, the last member included
  // (few bytes follow it there).
  for (uint64_t n : kBoundaryIntegers) {
    const std::string digits = std::to_string(n);
    cases.push_back({"id_" + digits, {n, "t", {}, std::nullopt, 1, std::nullopt}});
    cases.push_back({"reference_" + digits, {1, "t", {n, n}, std::nullopt, 1, std::nullopt}});
    cases.push_back({"size_" + digits, {1, "t", {}, "v", n, std::nullopt}});
    cases.push_back({"subtree_size_" + digits, {1, "t", {}, std::nullopt, 1, n}});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Records, CanonicalBoundaryTest, ::testing::ValuesIn(boundary_cases()),
                         [](const auto& info) { return info.param.name; });

// Bytes to put into, or over, a canonical record: syntax, digits, UTF-8
// leads and continuations, controls, whitespace.
constexpr unsigned char kMutationBytes[] = {'0',  '1',  '9',  ' ',  '\n', '"',  '\\', ',',  ':',  '}',  ']',
                                            '[',  '{',  'n',  'u',  '-',  '.',  'e',  'a',  '/',  0x00, 0x1f,
                                            0x7f, 0x80, 0xbf, 0xc0, 0xc2, 0xe0, 0xed, 0xf0, 0xf4, 0xf5, 0xff};

std::vector<std::string> single_byte_mutants(const std::string& bytes) {
  std::vector<std::string> mutants;
  for (size_t i = 0; i <= bytes.size(); ++i) {
    mutants.push_back(bytes.substr(0, i));  // truncation
    for (unsigned char b : kMutationBytes) {
      mutants.push_back(bytes.substr(0, i) + static_cast<char>(b) + bytes.substr(i));  // insertion
      if (i < bytes.size() && bytes[i] != static_cast<char>(b)) {
        std::string replaced = bytes;
        replaced[i] = static_cast<char>(b);
        mutants.push_back(std::move(replaced));
      }
    }
    if (i < bytes.size()) mutants.push_back(bytes.substr(0, i) + bytes.substr(i + 1));  // deletion
  }
  return mutants;
}

// Any single-byte change, insertion, deletion or truncation: whatever the
// fast path still recognises must be sound.
TEST(CanonicalRecordTest, EverySingleByteMutantIsRejectedOrSound) {
  RandomRecords random(11);
  std::vector<std::string> seeds = {
      written({140586463294656,
               "builtins.\xc3\xa9",
               {0, 10, 18446744073709551615u},
               "a\"b\xe2\x82\xac\n\x01",
               9,
               std::nullopt}),
      written({0, "", {}, std::nullopt, 0, 0}),
      written({12345678, "t", {1234567890123456}, "\xf0\x9f\x98\x80", 100000000, 10000000000000000000u}),
  };
  while (seeds.size() < 8) {
    RawObjectRecord record = random.record();
    if (!needs_escape(record.type) && record.references.size() < 10 && written(record).size() < 300) {
      seeds.push_back(written(record));
    }
  }
  size_t mutants = 0;
  size_t recognised = 0;
  for (const std::string& seed : seeds) {
    for (const std::string& mutant : single_byte_mutants(seed)) {
      ++mutants;
      if (expect_fast_path_sound(mutant)) ++recognised;
      if (::testing::Test::HasFailure()) return;
    }
  }
  // Some mutants stay canonical (a digit changed), most do not.
  EXPECT_GT(recognised, 0u);
  EXPECT_LT(recognised, mutants / 4);
}

struct MutantCase {
  std::string name;
  std::string bytes;
  bool valid_json_record;  // whether the general parser accepts it
};

class NonCanonicalTest : public ::testing::TestWithParam<MutantCase> {};

// Valid records outside the canonical form and invalid ones alike are left
// to the general parser.
TEST_P(NonCanonicalTest, IsNotRecognised) {
  const MutantCase& c = GetParam();
  EXPECT_FALSE(expect_fast_path_sound(c.bytes));
  EXPECT_EQ(parse_record<RawObjectRecord>(c.bytes).ok(), c.valid_json_record);
}

const std::string kPrefix = R"({"id":1,"type":"t","references":[2,3],"value":)";

std::vector<MutantCase> non_canonical_cases() {
  return {
      {"leading_zero_id", R"({"id":01,"type":"t","references":[],"value":null,"size":1,"subtree_size":null})", false},
      {"leading_zero_reference", R"({"id":1,"type":"t","references":[00],"value":null,"size":1,"subtree_size":null})",
       false},
      {"leading_zero_subtree_size", R"({"id":1,"type":"t","references":[],"value":null,"size":1,"subtree_size":007})",
       false},
      {"u64_max_plus_one",
       R"({"id":18446744073709551616,"type":"t","references":[],"value":null,"size":1,)"
       R"("subtree_size":null})",
       false},
      {"twenty_nines_in_references",
       R"({"id":1,"type":"t","references":[99999999999999999999],"value":null,)"
       R"("size":1,"subtree_size":null})",
       false},
      {"twenty_one_digits",
       R"({"id":1,"type":"t","references":[],"value":null,"size":1,)"
       R"("subtree_size":100000000000000000000})",
       false},
      {"negative", R"({"id":-1,"type":"t","references":[],"value":null,"size":1,"subtree_size":null})", false},
      {"fraction", R"({"id":1,"type":"t","references":[],"value":null,"size":1.0,"subtree_size":null})", false},
      {"exponent", R"({"id":1,"type":"t","references":[],"value":null,"size":1e2,"subtree_size":null})", false},
      {"overlong_two_bytes", kPrefix + "\"\xc0\xaf\",\"size\":1,\"subtree_size\":null}", false},
      {"overlong_three_bytes", kPrefix + "\"\xe0\x80\xaf\",\"size\":1,\"subtree_size\":null}", false},
      {"overlong_four_bytes", kPrefix + "\"\xf0\x80\x80\xaf\",\"size\":1,\"subtree_size\":null}", false},
      {"surrogate", kPrefix + "\"\xed\xa0\x80\",\"size\":1,\"subtree_size\":null}", false},
      {"above_u10ffff", kPrefix + "\"\xf4\x90\x80\x80\",\"size\":1,\"subtree_size\":null}", false},
      {"truncated_sequence", kPrefix + "\"\xe2\x82\",\"size\":1,\"subtree_size\":null}", false},
      {"lone_continuation", kPrefix + "\"\x80\",\"size\":1,\"subtree_size\":null}", false},
      {"byte_f5", kPrefix + "\"\xf5\x80\x80\x80\",\"size\":1,\"subtree_size\":null}", false},
      {"byte_ff", kPrefix + "\"\xff\",\"size\":1,\"subtree_size\":null}", false},
      {"invalid_utf8_in_type",
       "{\"id\":1,\"type\":\"\xc3\",\"references\":[],\"value\":null,\"size\":1,"
       "\"subtree_size\":null}",
       false},
      {"raw_control_character", kPrefix + "\"a\tb\",\"size\":1,\"subtree_size\":null}", false},
      {"escaped_slash", kPrefix + R"("a\/b","size":1,"subtree_size":null})", true},
      {"escaped_letter", kPrefix + R"("\u0041","size":1,"subtree_size":null})", true},
      {"upper_case_hex", kPrefix + R"("\u001F","size":1,"subtree_size":null})", true},
      {"long_form_of_newline", kPrefix + R"("\u000a","size":1,"subtree_size":null})", true},
      {"long_form_of_quote", kPrefix + R"("\u0022","size":1,"subtree_size":null})", true},
      {"escaped_non_ascii", kPrefix + R"("\u00e9","size":1,"subtree_size":null})", true},
      {"surrogate_pair_escape", kPrefix + R"("\ud83d\ude00","size":1,"subtree_size":null})", true},
      {"invalid_escape", kPrefix + R"("\x","size":1,"subtree_size":null})", false},
      {"escape_in_type", R"({"id":1,"type":"a\"b","references":[],"value":null,"size":1,"subtree_size":null})", true},
      {"space_after_colon", R"({"id": 1,"type":"t","references":[],"value":null,"size":1,"subtree_size":null})", true},
      {"trailing_newline",
       R"({"id":1,"type":"t","references":[],"value":null,"size":1,"subtree_size":null})"
       "\n",
       true},
      {"trailing_characters", R"({"id":1,"type":"t","references":[],"value":null,"size":1,"subtree_size":null}x)",
       false},
      {"value_absent", R"({"id":1,"type":"t","references":[],"size":1,"subtree_size":null})", true},
      {"subtree_size_absent", R"({"id":1,"type":"t","references":[],"value":null,"size":1})", true},
      {"reordered", R"({"type":"t","id":1,"references":[],"value":null,"size":1,"subtree_size":null})", true},
      {"extra_member", R"({"id":1,"type":"t","references":[],"value":null,"size":1,"subtree_size":null,"x":0})", true},
      {"duplicate_member",
       R"({"id":1,"type":"t","references":[],"value":null,"size":1,"subtree_size":null,)"
       R"("id":1})",
       false},
      {"array_form", R"([1,"t",[],null,1,null])", true},
      {"trailing_comma", R"({"id":1,"type":"t","references":[2,],"value":null,"size":1,"subtree_size":null})", false},
      {"value_true", R"({"id":1,"type":"t","references":[],"value":true,"size":1,"subtree_size":null})", false},
      {"null_prefix", R"({"id":1,"type":"t","references":[],"value":nul,"size":1,"subtree_size":null})", false},
      {"empty", "", false},
  };
}

INSTANTIATE_TEST_SUITE_P(Mutants, NonCanonicalTest, ::testing::ValuesIn(non_canonical_cases()),
                         [](const auto& info) { return info.param.name; });

// The stored-value decoder: the fast path's record for canonical bytes, the
// parser's record or its error, as a decoding error, for the rest.
TEST(DecodeStoredRecordTest, FallsBackToTheParserWithItsRecordOrError) {
  for (const MutantCase& c : non_canonical_cases()) {
    SCOPED_TRACE(c.name);
    RawObjectRecord stored;
    const Status status = decode_stored_record(c.bytes, stored);
    const auto parsed = parse_record<RawObjectRecord>(c.bytes);
    ASSERT_EQ(status.ok(), parsed.ok());
    if (parsed.ok()) {
      EXPECT_EQ(stored, parsed.value());
    } else {
      EXPECT_EQ(status.error().text(), "error while decoding: " + parsed.error().text());
    }
  }
  RandomRecords random(3);
  for (int i = 0; i < 200; ++i) {
    const RawObjectRecord record = random.record();
    ObjectSummary summary;
    ASSERT_TRUE(decode_stored_record(written(record), summary).ok());
    EXPECT_EQ(summary, (ObjectSummary{record.id, record.type, record.value, record.size, record.subtree_size}));
  }
}

TEST(AppendU64Test, WritesTheDecimalDigits) {
  for (uint64_t n : kBoundaryIntegers) {
    std::string out = "x";
    append_u64(n, out);
    EXPECT_EQ(out.substr(0, 1), "x");
    EXPECT_EQ(out.substr(1), std::to_string(n));
  }
}

}  // namespace
}  // namespace vossick
