// The record parser's messages and positions, its three shapes and the array
// form; the written form. (Random records are written and read back in
// canonical_record_test.cc.)

#include "records/record_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "records/record_labels.h"
#include "records/record_writer.h"
#include "test_support.h"

namespace vossick {
namespace {

using testing::written;

enum class Shape { kRaw, kNoValue, kSummary, kAnnotated };

struct ErrorCase {
  std::string input;
  std::string message;  // "ok" when the line parses
  Shape shape = Shape::kRaw;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << "input: " << c.input.substr(0, 80); }

template <class Record>
std::string outcome(std::string_view input) {
  Record record;
  const Status status = parse_record(input, record);
  if (status.ok()) return "ok";
  EXPECT_EQ(status.error().kind(), ErrorKind::kParse);
  return status.error().text();
}

class RecordParserErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(RecordParserErrorTest, ReportsMessageAndPosition) {
  const ErrorCase& c = GetParam();
  EXPECT_EQ(c.shape == Shape::kRaw         ? outcome<RawObjectRecord>(c.input)
            : c.shape == Shape::kNoValue   ? outcome<ObjectRecordNoValue>(c.input)
            : c.shape == Shape::kAnnotated ? outcome<AnnotatedRecord>(c.input)
                                           : outcome<ObjectSummary>(c.input),
            c.message);
  // Without annotations a dump line reads as the plain record does.
  if (c.shape == Shape::kRaw && c.input.find("labels") == std::string::npos &&
      c.input.find("allocated_at") == std::string::npos) {
    EXPECT_EQ(outcome<AnnotatedRecord>(c.input), c.message);
  }
}

using E = ErrorCase;

// A well-formed record whose member `x` holds `nested`.
std::string with_member_x(const std::string& nested) {
  return R"({"id":1,"x":)" + nested + R"(,"type":"t","references":[],"size":2})";
}

// Every message, at the end of input, at the offending byte and on a later
// line, in read and in skipped members.
INSTANTIATE_TEST_SUITE_P(
    Messages, RecordParserErrorTest,
    ::testing::Values(
        E{"", "EOF while parsing a value at line 1 column 0"},
        E{R"({"id":1)", "EOF while parsing an object at line 1 column 7"},
        E{"{\n\"id\" 1}", "expected `:` at line 2 column 6"},
        E{R"({"id":1 "type":"t"})", "expected `,` or `}` at line 1 column 9"},
        E{R"({1:2})", "key must be a string at line 1 column 2"},
        E{R"({"id":1,})", "trailing comma at line 1 column 9"}, E{R"({"id":})", "expected value at line 1 column 7"},
        E{R"({"references":[1 2]})", "expected `,` or `]` at line 1 column 18"},
        E{R"({"references":[1)", "EOF while parsing a list at line 1 column 16"},
        E{R"({"x":[1,]})", "trailing comma at line 1 column 9"},
        E{R"({"id":1,"value":nul})", "expected ident at line 1 column 20"},
        E{R"({"x":True})", "expected value at line 1 column 6"}, E{R"({"id":01})", "invalid number at line 1 column 8"},
        E{R"({"id":1e400})", "number out of range at line 1 column 11"},
        E{R"({"x":[0.2e310]})", "number out of range at line 1 column 13"},
        E{R"({"x":)" + std::string(400, '1') + "}", "number out of range at line 1 column 405"},
        E{R"({"id":18446744073709551616})",
          "invalid value: integer `18446744073709551616`, expected u64 at line 1 column 26"},
        E{R"({"id":-1})", "invalid value: integer `-1`, expected u64 at line 1 column 8"},
        E{R"({"size":1e3})", "invalid type: floating point `1000.0`, expected u64 at line 1 column 11"},
        E{R"({"references":[1,"2"]})", "invalid type: string \"2\", expected u64 at line 1 column 20"},
        E{R"({"type":"abc)", "EOF while parsing a string at line 1 column 12"},
        E{R"({"type":"a\x"})", "invalid escape at line 1 column 12"},
        E{R"({"type":"\uDC00"})", "lone leading surrogate in hex escape at line 1 column 15"},
        E{R"({"type":"\uD800"})", "unexpected end of hex escape at line 1 column 16"},
        E{"{\"type\":\"a\nb\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        E{"{\"type\":\"a\xff\"}", "invalid unicode code point at line 1 column 11"},
        E{"{\"type\":\"\xe2\x82", "EOF while parsing a string at line 1 column 11"},
        E{"{\"\xff\":1}", "invalid unicode code point at line 1 column 3"},
        E{"{}", "missing field `id` at line 1 column 2"},
        E{R"({"id":1,"type":"t","references":[]})", "missing field `size` at line 1 column 35"},
        E{R"({"id":1,"id" :2})", "duplicate field `id` at line 1 column 13"},
        E{R"({"i\u0064":1,"id":2})", "duplicate field `id` at line 1 column 17"},
        E{R"({"type":null})", "invalid type: null, expected a string at line 1 column 12"},
        E{R"({"id":"a\"b\n"})", R"(invalid type: string "a\"b\n", expected u64 at line 1 column 14)"},
        E{"5", "invalid type: integer `5`, expected struct RawObjectRecord at line 1 column 1"},
        E{"[]", "invalid length 0, expected struct RawObjectRecord with 6 elements at line 1 column 2"},
        E{R"([1,"t",[],null,2,null,7])",
          "invalid length 7, expected struct RawObjectRecord with 6 elements at line 1 column 24"},
        E{R"([1,"t",[],5,2,null])", "invalid type: integer `5`, expected a string at line 1 column 11"},
        // The record is one level; 127 more fit, the 128th does not.
        E{with_member_x(std::string(127, '[') + std::string(127, ']')), "ok"},
        E{with_member_x(std::string(128, '[') + std::string(128, ']')),
          "recursion limit exceeded at line 1 column 140"},
        E{R"({"id":1,"type":"t","references":[],"size":2}{"id":1})", "trailing characters at line 1 column 45"},
        E{"{\"id\":1,\"type\":\"t\",\"references\":[],\"size\":2}\n x", "trailing characters at line 2 column 2"},
        E{"\r\n\t {\"id\":1,\"type\":\"t\",\"references\":[],\"size\":2} \r\n\t", "ok"}));

// The narrower shapes name themselves, and skip what they do not read (any
// JSON in place of a value or a reference list) but still check it.
INSTANTIATE_TEST_SUITE_P(
    NarrowShapes, RecordParserErrorTest,
    ::testing::Values(
        E{"5", "invalid type: integer `5`, expected struct ObjectRecordNoValue at line 1 column 1", Shape::kNoValue},
        E{R"([1,"t","v",3,null,null])",
          "invalid length 6, expected struct ObjectSummary with 5 elements at line 1 column 23", Shape::kSummary},
        E{R"({"id":1,"type":"t","references":[2],"value":{"a":[1.5]},"size":3})", "ok", Shape::kNoValue},
        E{R"({"id":1,"value":"\x"})", "invalid escape at line 1 column 19", Shape::kNoValue},
        E{R"({"id":1,"type":"t","size":3})", "ok", Shape::kSummary},
        E{R"({"id":1,"type":"t","size":3})", "missing field `references` at line 1 column 28", Shape::kNoValue}));

// Annotations of the wrong shape fail the import's shape only; the others
// skip them as any unknown member, repeats included.
std::string labelled(const std::string& members) {
  return R"({"id":1,"type":"t","references":[2,3],"size":2,)" + members + "}";
}
INSTANTIATE_TEST_SUITE_P(
    Annotations, RecordParserErrorTest,
    ::testing::Values(E{labelled(R"("labels":["a",null],"allocated_at":"f.py:3")"), "ok", Shape::kAnnotated},
                      E{labelled(R"("labels":["a"])"), "labels has 1 entries for 2 references at line 1 column 62",
                        Shape::kAnnotated},
                      E{labelled(R"("labels":[])"), "labels has 0 entries for 2 references at line 1 column 59",
                        Shape::kAnnotated},
                      E{labelled(R"("labels":"ab")"), "invalid type: string \"ab\", expected a sequence at line 1 column 60",
                        Shape::kAnnotated},
                      E{labelled(R"("labels":[1,null])"),
                        "invalid type: integer `1`, expected a string or null at line 1 column 58", Shape::kAnnotated},
                      E{labelled(R"("labels":["a\q",null])"), "invalid escape at line 1 column 61", Shape::kAnnotated},
                      E{labelled(R"("allocated_at":7)"), "invalid type: integer `7`, expected a string at line 1 column 63",
                        Shape::kAnnotated},
                      E{labelled(R"("allocated_at":"a","allocated_at":"b")"),
                        "duplicate field `allocated_at` at line 1 column 80", Shape::kAnnotated},
                      E{labelled(R"("labels":"ab","labels":[1])"), "ok", Shape::kRaw},
                      E{labelled(R"("allocated_at":7,"allocated_at":8)"), "ok", Shape::kSummary}));

TEST(RecordParserTest, ReadsEveryShapeInAnyMemberOrderAndTheArrayForm) {
  EXPECT_EQ(parse_record<RawObjectRecord>(" {\n\t\"size\" : 232 ,\"subtree_size\":18446744073709551615, "
                                          "\"references\" : [ 3 , 3 ,9 ],\"type\":\"builtins.dict\", \"id\":0,"
                                          "\"value\":\"{}\", \"x\": [1e-400, -0, 1.7976931348623157e308]}\r\n")
                .value(),
            (RawObjectRecord{0, "builtins.dict", {3, 3, 9}, "{}", 232, UINT64_MAX}));
  EXPECT_EQ(parse_record<RawObjectRecord>(R"([7, "t", [1,2], "v", 9, null])").value(),
            (RawObjectRecord{7, "t", {1, 2}, "v", 9, std::nullopt}));
  EXPECT_EQ(parse_record<ObjectRecordNoValue>(R"([7,"t",[1,2],9,10])").value(),
            (ObjectRecordNoValue{7, "t", {1, 2}, 9, 10}));
  EXPECT_EQ(parse_record<ObjectSummary>(R"([7,"t",null,9,10])").value(), (ObjectSummary{7, "t", std::nullopt, 9, 10}));
}

TEST(RecordParserTest, DecodesEveryEscapeAndRawUtf8) {
  const auto record =
      parse_record<RawObjectRecord>(R"({"id":1,"type":"a\"\\\/\b\f\n\r\t\u0041\u00e9\u20AC\ud83d\ude00\u0000z)"
                                    "caf\xc3\xa9\xf0\x9f\x98\x80\x7f\",\"references\":[],\"size\":2}");
  ASSERT_OK(record);
  EXPECT_EQ(record.value().type, std::string("a\"\\/\b\f\n\r\tA\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80") + '\0' +
                                     "zcaf\xc3\xa9\xf0\x9f\x98\x80\x7f");
}

// Absent and null optionals, and members of no shape, leave nothing behind,
// also in a record reused from a longer line.
TEST(RecordParserTest, AbsentNullAndExtraMembersAreNotWritten) {
  RawObjectRecord record;
  ASSERT_OK(parse_record(R"({"id":9,"type":"long type","references":[1,2,3],"value":"v","size":2,"subtree_size":5})",
                         record));
  for (const char* input :
       {R"({"id":1,"type":"t","references":[4],"size":2})",
        R"({"id":1,"type":"t","references":[4],"value":null,"size":2,"subtree_size":null})",
        R"({"module":"x","id":1,"extra":{"a":[true,null,"s"]},"type":"t","references":[4],"size":2})"}) {
    ASSERT_OK(parse_record(input, record));
    EXPECT_EQ(written(record), R"({"id":1,"type":"t","references":[4],"value":null,"size":2,"subtree_size":null})");
  }
}

TEST(RecordWriterTest, EscapesOnlyQuoteBackslashAndControls) {
  std::string controls;
  for (char c = 0; c < 0x20; ++c) controls += c;
  EXPECT_EQ(written({1, "a\"b\\c/d\x7f\xc3\xa9\xf0\x9f\x98\x80", {}, controls + "after a long run", 1, std::nullopt}),
            "{\"id\":1,\"type\":\"a\\\"b\\\\c/d\x7f\xc3\xa9\xf0\x9f\x98\x80\",\"references\":[],\"value\":\""
            R"(\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f\u0010\u0011\u0012)"
            R"(\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c\u001d\u001e\u001fafter a long run")"
            R"(,"size":1,"subtree_size":null})");
}

}  // namespace
}  // namespace vossick
