// The canonical-record fast path against the general parser and the writer:
// whatever it recognises must parse to the same record in every shape and
// be exactly what write_record writes for it; whatever it does not recognise
// falls back to the parser unchanged.

#include "records/canonical_record.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "fast_path_check.h"
#include "records/record_parser.h"
#include "storage/primary.h"
#include "test_support.h"

namespace vossick {
namespace {

using testing::written;

// Whether the fast path recognises `bytes`, which it must do soundly.
bool expect_fast_path_sound(std::string_view bytes) {
  bool recognised = false;
  EXPECT_EQ(testing::fast_path_error(bytes, recognised), "") << ::testing::PrintToString(std::string(bytes));
  return recognised;
}

bool needs_escape(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') return true;
  }
  return false;
}

// Every written record parses back to itself in every shape; those whose
// type needs no escape are recognised (so the subset covers the plain
// records), and no other is. (The record parser fuzzer checks the fast path
// on arbitrary bytes.)
TEST(CanonicalRecordTest, RecognisesWrittenRecordsExactlyWhenTheTypeHasNoEscape) {
  testing::RandomRecords random(7);
  for (int i = 0; i < 5000; ++i) {
    const RawObjectRecord record = random.record();
    const std::string line = written(record);
    ASSERT_EQ(parse_record<RawObjectRecord>(line).value(), record) << line;
    ASSERT_EQ(parse_record<ObjectRecordNoValue>(line).value(),
              (ObjectRecordNoValue{record.id, record.type, record.references, record.size, record.subtree_size}));
    ASSERT_EQ(parse_record<ObjectSummary>(line).value(),
              (ObjectSummary{record.id, record.type, record.value, record.size, record.subtree_size}));
    ASSERT_EQ(expect_fast_path_sound(line), !needs_escape(record.type));
  }
}

const std::string kPrefix = R"({"id":1,"type":"t","references":[2,3],"value":)";
const std::string kSuffix = R"(,"size":1,"subtree_size":null})";

// Valid records outside the canonical form and invalid ones alike are left
// to the general parser: decode_stored_record gives its record, or its error
// as a decoding error.
TEST(CanonicalRecordTest, OtherFormsFallBackToTheParser) {
  const std::string cases[] = {
      R"({"id":01,"type":"t","references":[],"value":null,"size":1,"subtree_size":null})",
      R"({"id":18446744073709551616,"type":"t","references":[],"value":null,"size":1,"subtree_size":null})",
      R"({"id":-1,"type":"t","references":[],"value":null,"size":1,"subtree_size":null})",
      kPrefix + "\"\xc0\xaf\"" + kSuffix,      // overlong
      kPrefix + "\"\xed\xa0\x80\"" + kSuffix,  // surrogate
      kPrefix + "\"a\tb\"" + kSuffix,          // raw control character
      kPrefix + R"("a\/b")" + kSuffix,
      kPrefix + R"("\u000a")" + kSuffix,
      R"({"id":1,"type":"a\"b","references":[],"value":null,"size":1,"subtree_size":null})",
      R"({"id":1,"type":"t","references":[],"value":null,"size":1,"subtree_size":null})"
      "\n",
      R"({"id":1,"type":"t","references":[],"size":1})",
      R"({"type":"t","id":1,"references":[],"value":null,"size":1,"subtree_size":null})",
      R"({"id":1,"type":"t","references":[],"value":null,"size":1,"subtree_size":null}x)",
      ""};
  for (const std::string& bytes : cases) {
    EXPECT_FALSE(expect_fast_path_sound(bytes));
    RawObjectRecord stored;
    const Status status = decode_stored_record(bytes, stored);
    const auto parsed = parse_record<RawObjectRecord>(bytes);
    ASSERT_EQ(status.ok(), parsed.ok()) << bytes;
    if (parsed.ok()) {
      EXPECT_EQ(stored, parsed.value());
    } else {
      EXPECT_EQ(status.error().text(), "error while decoding: " + parsed.error().text());
    }
  }
}

}  // namespace
}  // namespace vossick
