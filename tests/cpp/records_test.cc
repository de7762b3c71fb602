// Object records: parser messages and positions, the three shapes, the array
// form, the canonical written form, and randomised round trips and mutations.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "records/record.h"
#include "records/record_parser.h"
#include "records/record_writer.h"

namespace vossick {
namespace {

constexpr uint64_t kMaxU64 = UINT64_MAX;

// The parse error text, or "ok".
template <class Shape = RawObjectRecord>
std::string outcome(std::string_view input) {
  Shape record;
  Status status = parse_record(input, record);
  if (status.ok()) return "ok";
  EXPECT_EQ(status.error().kind(), ErrorKind::kParse);
  return status.error().text();
}

std::string canonical(const RawObjectRecord& record) {
  std::string out;
  write_record(record, out);
  return out;
}

enum class Shape { kRaw, kNoValue, kSummary };

struct ErrorCase {
  std::string input;
  std::string message;
  Shape shape = Shape::kRaw;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << "input: " << c.input; }

class RecordParserErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(RecordParserErrorTest, ReportsMessageAndPosition) {
  const ErrorCase& c = GetParam();
  const std::string got = c.shape == Shape::kRaw       ? outcome<RawObjectRecord>(c.input)
                          : c.shape == Shape::kNoValue ? outcome<ObjectRecordNoValue>(c.input)
                                                       : outcome<ObjectSummary>(c.input);
  EXPECT_EQ(got, c.message);
}

using E = ErrorCase;

// One case per message and kind of position: at the end of input, at the
// offending byte, on a later line; the same faults inside skipped members.
INSTANTIATE_TEST_SUITE_P(Structure, RecordParserErrorTest,
                         ::testing::Values(E{"", "EOF while parsing a value at line 1 column 0"},
                                           E{"  \n ", "EOF while parsing a value at line 2 column 1"},
                                           E{"{", "EOF while parsing an object at line 1 column 1"},
                                           E{R"({"id":1)", "EOF while parsing an object at line 1 column 7"},
                                           E{R"({"id":)", "EOF while parsing a value at line 1 column 6"},
                                           E{"{\n\"id\" 1}", "expected `:` at line 2 column 6"},
                                           E{R"({"id":1 "type":"t"})", "expected `,` or `}` at line 1 column 9"},
                                           E{R"({1:2})", "key must be a string at line 1 column 2"},
                                           E{R"({"id":1,})", "trailing comma at line 1 column 9"},
                                           E{R"({"id":})", "expected value at line 1 column 7"},
                                           E{R"({"references":[1,]})", "trailing comma at line 1 column 18"},
                                           E{R"({"references":[1 2]})", "expected `,` or `]` at line 1 column 18"},
                                           E{R"({"references":[1)", "EOF while parsing a list at line 1 column 16"},
                                           E{R"({"references":[,1]})", "expected value at line 1 column 16"},
                                           E{R"({"x":[1,})", "expected value at line 1 column 9"},
                                           E{R"({"x":[1,])", "trailing comma at line 1 column 9"},
                                           E{R"({"x":[1 2])", "expected `,` or `]` at line 1 column 9"},
                                           E{R"({"x":[1,2)", "EOF while parsing a list at line 1 column 9"},
                                           E{R"({"x":{"a" 1}})", "expected `:` at line 1 column 11"},
                                           E{R"({"x":{"a":1 "b":2}})", "expected `,` or `}` at line 1 column 13"},
                                           E{R"({"x":{"a":1,}})", "trailing comma at line 1 column 13"},
                                           E{R"({"x":{1:2}})", "key must be a string at line 1 column 7"},
                                           E{R"({"x":{"a":1)", "EOF while parsing an object at line 1 column 11"}));

INSTANTIATE_TEST_SUITE_P(Literals, RecordParserErrorTest,
                         ::testing::Values(E{R"({"id":1,"value":nul})", "expected ident at line 1 column 20"},
                                           E{R"({"x":tru)", "EOF while parsing a value at line 1 column 8"},
                                           E{R"({"x":trUe})", "expected ident at line 1 column 8"},
                                           E{R"({"x":fals})", "expected ident at line 1 column 10"},
                                           E{R"({"x":nulll})", "expected `,` or `}` at line 1 column 10"},
                                           E{R"({"x":True})", "expected value at line 1 column 6"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, RecordParserErrorTest,
    ::testing::Values(E{R"({"id":01})", "invalid number at line 1 column 8"},
                      E{R"({"id":-})", "invalid number at line 1 column 8"},
                      E{R"({"id":-)", "EOF while parsing a value at line 1 column 7"},
                      E{R"({"id":1.})", "invalid number at line 1 column 9"},
                      E{R"({"id":1.)", "EOF while parsing a value at line 1 column 8"},
                      E{R"({"id":1e})", "invalid number at line 1 column 9"},
                      E{R"({"id":1e+})", "invalid number at line 1 column 10"},
                      E{R"({"x":.5})", "expected value at line 1 column 6"},
                      E{R"({"x":-1e400})", "number out of range at line 1 column 11"},
                      E{R"({"x":[0.2e310]})", "number out of range at line 1 column 13"},
                      E{R"({"id":1e400})", "number out of range at line 1 column 11"},
                      E{R"({"x":)" + std::string(400, '1') + "}", "number out of range at line 1 column 405"},
                      E{R"({"id":18446744073709551616})",
                        "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 26"},
                      E{R"({"id":-1})", "invalid value: integer `-1`, expected u64 at line 1 column 8"},
                      E{R"({"size":1.5})", "invalid type: floating point `1.5`, expected u64 at line 1 column 11"},
                      E{R"({"size":1e3})", "invalid type: floating point `1000.0`, expected u64 at line 1 column 11"},
                      E{R"({"size":-0.0})", "invalid type: floating point `-0.0`, expected u64 at line 1 column 12"},
                      E{R"({"size":25e-4})", "invalid type: floating point `0.0025`, expected u64 at line 1 column 13"},
                      E{R"({"references":[1,-2]})", "invalid value: integer `-2`, expected u64 at line 1 column 19"},
                      E{R"({"references":[1,"2"]})", "invalid type: string \"2\", expected u64 at line 1 column 20"}));

INSTANTIATE_TEST_SUITE_P(
    StringsAndEscapes, RecordParserErrorTest,
    ::testing::Values(E{R"({"type":"abc)", "EOF while parsing a string at line 1 column 12"},
                      E{R"({"type":"a\)", "EOF while parsing a string at line 1 column 11"},
                      E{R"({"type":"a\x"})", "invalid escape at line 1 column 12"},
                      E{R"({"type":"\u12"})", "invalid escape at line 1 column 14"},
                      E{R"({"type":"\u12)", "EOF while parsing a string at line 1 column 13"},
                      E{R"({"type":"\uDC00"})", "lone leading surrogate in hex escape at line 1 column 15"},
                      E{R"({"type":"\uD800"})", "unexpected end of hex escape at line 1 column 16"},
                      E{R"({"type":"\uD800\u0041"})", "lone leading surrogate in hex escape at line 1 column 21"},
                      E{R"({"type":"\uD800)", "EOF while parsing a string at line 1 column 15"},
                      E{"{\"type\":\"a\tb\"}",
                        "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 11"},
                      E{std::string("{\"type\":\"a\0b\"}", 14),
                        "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 11"},
                      E{"{\"type\":\"a\nb\"}",
                        "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
                      E{"{\"type\":\"a\xff\"}", "invalid unicode code point at line 1 column 11"},
                      E{"{\"type\":\"\xc0\x80\"}", "invalid unicode code point at line 1 column 10"},
                      E{"{\"type\":\"\xed\xa0\x80\"}", "invalid unicode code point at line 1 column 10"},
                      E{"{\"type\":\"\xf4\x90\x80\x80\"}", "invalid unicode code point at line 1 column 10"},
                      E{"{\"type\":\"\xe2\x82\"}", "invalid unicode code point at line 1 column 10"},
                      E{"{\"type\":\"\xe2\x82", "EOF while parsing a string at line 1 column 11"},
                      E{"{\"x\":\"\xff\"}", "invalid unicode code point at line 1 column 7"},
                      E{"{\"\xff\":1}", "invalid unicode code point at line 1 column 3"},
                      E{R"({"x":"\uDC00"})", "lone leading surrogate in hex escape at line 1 column 12"},
                      E{R"({"x":{"\q":1}})", "invalid escape at line 1 column 9"}));

INSTANTIATE_TEST_SUITE_P(
    RecordLevel, RecordParserErrorTest,
    ::testing::Values(
        E{"{}", "missing field `id` at line 1 column 2"},
        E{R"({"type":"a"})", "missing field `id` at line 1 column 12"},
        E{R"({"id":1})", "missing field `type` at line 1 column 8"},
        E{R"({"id":1,"type":"t"})", "missing field `references` at line 1 column 19"},
        E{R"({"id":1,"type":"t","references":[]})", "missing field `size` at line 1 column 35"},
        E{R"({"id":1,"id" :2})", "duplicate field `id` at line 1 column 13"},
        E{R"({"value":null,"value":"b"})", "duplicate field `value` at line 1 column 21"},
        E{R"({"subtree_size":1,"subtree_size":1})", "duplicate field `subtree_size` at line 1 column 32"},
        E{R"({"i\u0064":1,"id":2})", "duplicate field `id` at line 1 column 17"},
        E{R"({"type":null})", "invalid type: null, expected a string at line 1 column 12"},
        E{R"({"id":false})", "invalid type: boolean `false`, expected u64 at line 1 column 11"},
        E{R"({"type":7})", "invalid type: integer `7`, expected a string at line 1 column 9"},
        E{R"({"value":[]})", "invalid type: sequence, expected a string at line 1 column 9"},
        E{R"({"id":"a\"b\n"})", R"(invalid type: string "a\"b\n", expected u64 at line 1 column 14)"},
        E{R"({"id":[1]})", "invalid type: sequence, expected u64 at line 1 column 6"},
        E{R"({"references":null})", "invalid type: null, expected a sequence at line 1 column 18"},
        E{R"({"references":{}})", "invalid type: map, expected a sequence at line 1 column 14"},
        E{R"({"references":"12"})", "invalid type: string \"12\", expected a sequence at line 1 column 18"},
        E{R"({"subtree_size":1.0})", "invalid type: floating point `1.0`, expected u64 at line 1 column 19"}));

INSTANTIATE_TEST_SUITE_P(
    TopLevelAndArrayForm, RecordParserErrorTest,
    ::testing::Values(
        E{"5", "invalid type: integer `5`, expected struct RawObjectRecord at line 1 column 1"},
        E{" null ", "invalid type: null, expected struct RawObjectRecord at line 1 column 5"},
        E{R"("s")", "invalid type: string \"s\", expected struct RawObjectRecord at line 1 column 3"},
        E{"-1.5", "invalid type: floating point `-1.5`, expected struct RawObjectRecord at line 1 column 4"},
        E{"false", "invalid type: boolean `false`, expected struct RawObjectRecord at line 1 column 5"},
        E{"}", "expected value at line 1 column 1"}, E{"nul", "EOF while parsing a value at line 1 column 3"},
        E{"[", "EOF while parsing a list at line 1 column 1"},
        E{"[]", "invalid length 0, expected struct RawObjectRecord with 6 elements at line 1 column 2"},
        E{R"([1,"t"])", "invalid length 2, expected struct RawObjectRecord with 6 elements at line 1 column 7"},
        E{R"([1,"t",[],null,2,null,7])",
          "invalid length 7, expected struct RawObjectRecord with 6 elements at line 1 column 24"},
        E{R"([1,"t",[],null,2,null,7,{}])",
          "invalid length 8, expected struct RawObjectRecord with 6 elements at line 1 column 27"},
        E{R"([1,"t",[],null,2,null,])", "trailing comma at line 1 column 23"},
        E{R"([1,"t",[],null,2,null,7)", "EOF while parsing a list at line 1 column 23"},
        E{R"([1 "t"])", "expected `,` or `]` at line 1 column 4"},
        E{R"([1,"t",[],5,2,null])", "invalid type: integer `5`, expected a string at line 1 column 11"},
        E{R"([1,"t",[],null,2,"x"])", "invalid type: string \"x\", expected u64 at line 1 column 20"}));

// A well-formed record whose member `x` holds `nested`.
std::string with_member_x(const std::string& nested) {
  return R"({"id":1,"x":)" + nested + R"(,"type":"t","references":[],"size":2})";
}

INSTANTIATE_TEST_SUITE_P(
    RecursionAndTrailing, RecordParserErrorTest,
    ::testing::Values(
        // The record is one level; 127 more fit, the 128th does not.
        E{with_member_x(std::string(127, '[') + std::string(127, ']')), "ok"},
        E{with_member_x(std::string(128, '[') + std::string(128, ']')),
          "recursion limit exceeded at line 1 column 140"},
        E{with_member_x(std::string(100000, '[')), "recursion limit exceeded at line 1 column 140"},
        E{with_member_x([] {
            std::string s;
            for (int i = 0; i < 100000; ++i) s += "{\"a\":";
            return s;
          }()),
          "recursion limit exceeded at line 1 column 648"},
        E{R"({"id":1,"type":"t","references":[],"size":2}{"id":1})", "trailing characters at line 1 column 45"},
        E{"{\"id\":1,\"type\":\"t\",\"references\":[],\"size\":2}\n x", "trailing characters at line 2 column 2"},
        E{"\r\n\t {\"id\":1,\"type\":\"t\",\"references\":[],\"size\":2} \r\n\t", "ok"}));

// The narrower shapes name themselves, skip what they do not read (any JSON
// in place of a value or a reference list) but still validate it.
INSTANTIATE_TEST_SUITE_P(
    NarrowShapes, RecordParserErrorTest,
    ::testing::Values(
        E{"5", "invalid type: integer `5`, expected struct ObjectRecordNoValue at line 1 column 1", Shape::kNoValue},
        E{"\"x\"", "invalid type: string \"x\", expected struct ObjectSummary at line 1 column 3", Shape::kSummary},
        E{R"([1,"t",[2],3])",
          "invalid length 4, expected struct ObjectRecordNoValue with 5 elements at line 1 column 13", Shape::kNoValue},
        E{R"([1,"t","v",3,null,null])",
          "invalid length 6, expected struct ObjectSummary with 5 elements at line 1 column 23", Shape::kSummary},
        E{R"({"id":1,"type":"t","references":[2],"value":{"a":[1.5]},"size":3})", "ok", Shape::kNoValue},
        E{R"({"id":1,"type":"t","references":[2],"value":{"a":[1.5]},"size":3})",
          "invalid type: map, expected a string at line 1 column 44"},
        E{R"({"id":1,"type":"t","references":"none","size":3})", "ok", Shape::kSummary},
        E{R"({"id":1,"value":"\x"})", "invalid escape at line 1 column 19", Shape::kNoValue},
        E{R"({"id":1,"references":[1,]})", "trailing comma at line 1 column 25", Shape::kSummary},
        E{R"({"value":1,"value":2})", "duplicate field `value` at line 1 column 18", Shape::kNoValue},
        E{R"({"references":1,"references":2})", "duplicate field `references` at line 1 column 28", Shape::kSummary},
        // `references` is required only where it is read.
        E{R"({"id":1,"type":"t","size":3})", "ok", Shape::kSummary},
        E{R"({"id":1,"type":"t","size":3})", "missing field `references` at line 1 column 28", Shape::kNoValue},
        E{std::string(R"({"id":1,"references":)") + std::string(200, '['),
          "recursion limit exceeded at line 1 column 149", Shape::kSummary}));

TEST(RecordParserShapes, ArrayFormReadsMembersInShapeOrder) {
  const auto raw = parse_record<RawObjectRecord>(R"([7, "t", [1,2], "v", 9, null])");
  ASSERT_TRUE(raw.ok()) << raw.error().text();
  EXPECT_EQ(raw.value(), (RawObjectRecord{7, "t", {1, 2}, "v", 9, std::nullopt}));
  const auto no_value = parse_record<ObjectRecordNoValue>(R"([7,"t",[1,2],9,10])");
  ASSERT_TRUE(no_value.ok()) << no_value.error().text();
  EXPECT_EQ(no_value.value(), (ObjectRecordNoValue{7, "t", {1, 2}, 9, 10}));
  const auto summary = parse_record<ObjectSummary>(R"([7,"t",null,9,10])");
  ASSERT_TRUE(summary.ok()) << summary.error().text();
  EXPECT_EQ(summary.value(), (ObjectSummary{7, "t", std::nullopt, 9, 10}));
}

TEST(RecordParserValues, DecodesMembersInAnyOrderWithWhitespace) {
  const auto record = parse_record<RawObjectRecord>(
      " {\n\t\"size\" : 232 ,\"subtree_size\":18446744073709551615, \"references\" : [ 3 , 3 ,9 ],"
      "\"type\":\"builtins.dict\", \"id\":0,\"value\":\"{}\"}\r\n");
  ASSERT_TRUE(record.ok()) << record.error().text();
  EXPECT_EQ(record.value(), (RawObjectRecord{0, "builtins.dict", {3, 3, 9}, "{}", 232, kMaxU64}));
}

TEST(RecordParserValues, DecodesEveryEscapeAndAcceptsRawNonAsciiAndDelete) {
  const std::pair<std::string, std::string> types[] = {
      {R"(a\"\\\/\b\f\n\r\t\u0041\u00e9\u20AC\ud83d\ude00\u0000z)",
       std::string("a\"\\/\b\f\n\r\tA\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\0z", 21)},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \x7f", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \x7f"}};
  for (const auto& [written, decoded] : types) {
    const auto record =
        parse_record<RawObjectRecord>(R"({"id":1,"type":")" + written + R"(","references":[],"size":2})");
    ASSERT_TRUE(record.ok()) << record.error().text();
    EXPECT_EQ(record.value().type, decoded);
  }
}

TEST(RecordParserValues, NumbersAtTheEdgesOfTheirRanges) {
  EXPECT_EQ(outcome(R"({"id":18446744073709551615,"type":"t","references":[0],"size":0})"), "ok");
  const std::string line = R"({"id":1,"type":"t","references":[],"size":2,"x":[)";
  for (const char* number :
       {"1e-400", "-0", "0.0", "1.7976931348623157e308", "-2.5E+3", "123456789012345678901234567890", "0e0"}) {
    EXPECT_EQ(outcome(line + number + "]}"), "ok") << number;
  }
  EXPECT_EQ(outcome(line + "1.8e308]}"), "number out of range at line 1 column 56");
}

TEST(RecordParserValues, AbsentNullAndExtraMembersAreNotWritten) {
  const char* inputs[] = {R"({"id":1,"type":"t","references":[4],"size":2})",
                          R"({"id":1,"type":"t","references":[4],"value":null,"size":2,"subtree_size":null})",
                          R"({"module":"x","id":1,"extra":{"a":[true,false,null,-1.5e3,"s",{}]},"type":"t",)"
                          R"("references":[4],"size":2,"id2":[]})"};
  for (const char* input : inputs) {
    const auto record = parse_record<RawObjectRecord>(input);
    ASSERT_TRUE(record.ok()) << record.error().text();
    EXPECT_EQ(record.value(), (RawObjectRecord{1, "t", {4}, std::nullopt, 2, std::nullopt})) << input;
    EXPECT_EQ(canonical(record.value()),
              R"({"id":1,"type":"t","references":[4],"value":null,"size":2,"subtree_size":null})");
  }
}

TEST(RecordParserValues, ReusedRecordIsOverwrittenNotAccumulated) {
  RawObjectRecord record;
  ASSERT_TRUE(parse_record(R"({"id":1,"type":"long type name here","references":[1,2,3],)"
                           R"("value":"v","size":2,"subtree_size":5})",
                           record)
                  .ok());
  ASSERT_TRUE(parse_record(R"({"id":2,"type":"u","references":[9],"size":3})", record).ok());
  EXPECT_EQ(record, (RawObjectRecord{2, "u", {9}, std::nullopt, 3, std::nullopt}));
}

struct WriteCase {
  RawObjectRecord record;
  std::string written;
};

class RecordWriterTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(RecordWriterTest, WritesCanonicalForm) {
  std::string out = "prefix";
  write_record(GetParam().record, out);
  EXPECT_EQ(out, "prefix" + GetParam().written);
}

std::string controls() {
  std::string all;
  for (char c = 0; c < 0x20; ++c) all += c;
  return all;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RecordWriterTest,
    ::testing::Values(
        WriteCase{{0, "", {}, "", 0, 0}, R"({"id":0,"type":"","references":[],"value":"","size":0,"subtree_size":0})"},
        WriteCase{{kMaxU64, "t", {kMaxU64, 0}, "v", kMaxU64, kMaxU64},
                  R"({"id":18446744073709551615,"type":"t","references":[18446744073709551615,0],)"
                  R"("value":"v","size":18446744073709551615,"subtree_size":18446744073709551615})"},
        WriteCase{{1, "a\"b\\c/d\x7f\xc3\xa9\xf0\x9f\x98\x80", {}, std::nullopt, 1, std::nullopt},
                  "{\"id\":1,\"type\":\"a\\\"b\\\\c/d\x7f\xc3\xa9\xf0\x9f\x98\x80\",\"references\":[],"
                  "\"value\":null,\"size\":1,\"subtree_size\":null}"},
        WriteCase{{1, "t", {}, controls() + "after a long plain run", 1, std::nullopt},
                  R"({"id":1,"type":"t","references":[],)"
                  R"("value":"\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
                  R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c\u001d)"
                  R"(\u001e\u001fafter a long plain run","size":1,"subtree_size":null})"}));

TEST(RecordWriterIntegers, DigitCountBoundaries) {
  std::vector<uint64_t> values = {0, kMaxU64, kMaxU64 - 1};
  for (uint64_t power = 1; power <= kMaxU64 / 10; power *= 10) {
    values.insert(values.end(), {power - 1, power, power + 1, power * 10 - 1});
  }
  for (uint64_t value : values) {
    const RawObjectRecord record{value, "t", {value, 1}, std::nullopt, value, value};
    const std::string v = std::to_string(value);
    EXPECT_EQ(canonical(record), R"({"id":)" + v + R"(,"type":"t","references":[)" + v + R"(,1],"value":null,"size":)" +
                                     v + R"(,"subtree_size":)" + v + "}");
  }
}

TEST(RecordWriterEscapes, RewritingNormalisesAnyAcceptedSpelling) {
  const auto record = parse_record<RawObjectRecord>(
      R"( { "value" : "\u002F\/\u00e9\u001F" , "size":5,"references":[ ],"type":"\u0074", )"
      R"("id":3, "subtree_size" : 4 } )");
  ASSERT_TRUE(record.ok()) << record.error().text();
  EXPECT_EQ(canonical(record.value()),
            "{\"id\":3,\"type\":\"t\",\"references\":[],\"value\":\"//\xc3\xa9\\u001f\",\"size\":5,"
            "\"subtree_size\":4}");
}

// Random records: strings of every kind of character, extreme integers, empty
// and long reference lists.
class RecordGenerator {
 public:
  explicit RecordGenerator(uint64_t seed) : random_(seed) {}

  RawObjectRecord next() {
    RawObjectRecord record;
    record.id = integer();
    record.type = string();
    const size_t count = pick(4) == 0 ? 0 : pick(8) == 0 ? 200 + pick(300) : pick(20);
    for (size_t i = 0; i < count; ++i) record.references.push_back(integer());
    if (pick(2)) record.value = string();
    record.size = integer();
    if (pick(2)) record.subtree_size = integer();
    return record;
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random_); }

  uint64_t integer() {
    switch (pick(5)) {
      case 0: return 0;
      case 1: return kMaxU64;
      case 2: return pick(1000);
      default: return random_();
    }
  }

  std::string string() {
    static const uint32_t kSpecial[] = {'"',   '\\',  '/',    0x7F,    0,        '\n',   0x1F,  0x80,
                                        0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF, 0xD7FF, 0xE000};
    std::string out;
    const size_t length = pick(6) == 0 ? 100 + pick(200) : pick(24);
    for (size_t i = 0; i < length; ++i) {
      uint32_t code_point;
      switch (pick(6)) {
        case 0: code_point = static_cast<uint32_t>(pick(0x20)); break;
        case 1: code_point = kSpecial[pick(std::size(kSpecial))]; break;
        case 2:
          code_point = 0x80 + static_cast<uint32_t>(pick(0x10FFFF - 0x80));
          if (code_point >= 0xD800 && code_point <= 0xDFFF) code_point -= 0x800;
          break;
        default: code_point = 0x20 + static_cast<uint32_t>(pick(0x5F)); break;
      }
      append_utf8(code_point, out);
    }
    return out;
  }

  static void append_utf8(uint32_t c, std::string& out) {
    static const unsigned char kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
    const int continuation_bytes = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    out += static_cast<char>(kLead[continuation_bytes] | (c >> (6 * continuation_bytes)));
    for (int i = continuation_bytes - 1; i >= 0; --i) out += static_cast<char>(0x80 | ((c >> (6 * i)) & 0x3F));
  }

  std::mt19937_64 random_;
};

TEST(RecordRoundTrip, RandomRecordsSurviveWriteAndParseInEveryShape) {
  RecordGenerator generator(20240611);
  RawObjectRecord raw;
  ObjectRecordNoValue no_value;
  ObjectSummary summary;
  for (int i = 0; i < 5000; ++i) {
    const RawObjectRecord record = generator.next();
    const std::string line = canonical(record);
    ASSERT_TRUE(parse_record(line, raw).ok()) << line;
    ASSERT_EQ(raw, record) << line;
    ASSERT_TRUE(parse_record(line, no_value).ok()) << line;
    ASSERT_EQ(no_value,
              (ObjectRecordNoValue{record.id, record.type, record.references, record.size, record.subtree_size}));
    ASSERT_TRUE(parse_record(line, summary).ok()) << line;
    ASSERT_EQ(summary, (ObjectSummary{record.id, record.type, record.value, record.size, record.subtree_size}));
    ASSERT_EQ(canonical(raw), line);
  }
}

// True when `text` ends in " at line L column C".
bool ends_with_position(const std::string& text) {
  const size_t at = text.rfind(" at line ");
  if (at == std::string::npos) return false;
  unsigned long line = 0, column = 0;
  char tail = 0;
  return std::sscanf(text.c_str() + at, " at line %lu column %lu%c", &line, &column, &tail) == 2 && line >= 1;
}

// Mutated and truncated lines never crash; whatever the full shape accepts,
// the narrower shapes accept with the same members, and every error carries a
// position.
TEST(RecordRobustness, MutationsGiveRecordsOrPositionedErrors) {
  RecordGenerator generator(7);
  std::mt19937_64 random(99);
  static const char kInteresting[] = "{}[]\",:\\ \n-0123456789.eEtrufalsn\x80\xff\xc3";
  RawObjectRecord raw;
  ObjectRecordNoValue no_value;
  ObjectSummary summary;
  int accepted = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string line = canonical(generator.next());
    const int edits = 1 + static_cast<int>(random() % 3);
    for (int e = 0; e < edits && !line.empty(); ++e) {
      const size_t at = random() % line.size();
      switch (random() % 4) {
        case 0: line[at] = kInteresting[random() % (sizeof(kInteresting) - 1)]; break;
        case 1: line.erase(at, 1); break;
        case 2: line.insert(at, 1, kInteresting[random() % (sizeof(kInteresting) - 1)]); break;
        default: line.resize(at); break;
      }
    }
    const Status raw_status = parse_record(line, raw);
    const Status no_value_status = parse_record(line, no_value);
    const Status summary_status = parse_record(line, summary);
    for (const Status* status : {&raw_status, &no_value_status, &summary_status}) {
      if (!status->ok()) {
        ASSERT_TRUE(ends_with_position(status->error().text())) << status->error().text();
      }
    }
    if (raw_status.ok()) {
      ++accepted;
      ASSERT_TRUE(no_value_status.ok()) << line;
      ASSERT_TRUE(summary_status.ok()) << line;
      EXPECT_EQ(no_value.references, raw.references);
      EXPECT_EQ(summary.value, raw.value);
      EXPECT_EQ(summary.type, raw.type);
      const std::string rewritten = canonical(raw);
      RawObjectRecord reread;
      ASSERT_TRUE(parse_record(rewritten, reread).ok());
      EXPECT_EQ(reread, raw);
    }
  }
  // Some mutations (inside strings, digits) keep the line valid.
  EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace vossick
