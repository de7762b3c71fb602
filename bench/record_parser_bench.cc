// Throughput of the object-record parser and writer.
//
// Usage: record_parser_bench [path-to-jsonl]
// Without a path it generates typical heap-dump lines (short type names, 5-20
// references, mostly short or null values). Prints MB/s and records/s for
// parsing into each shape (into one reused record) and for parse + re-write;
// then, on the lines as `primary` stores them (written by write_record), the
// general parser against the canonical-record fast path, in ns/record.

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "records/canonical_record.h"
#include "records/record.h"
#include "records/record_parser.h"
#include "records/record_writer.h"

namespace {

using vossick::ObjectRecordNoValue;
using vossick::ObjectSummary;
using vossick::RawObjectRecord;

std::vector<std::string> generate_lines(size_t count) {
  static const char* const kTypes[] = {
      "builtins.dict",           "builtins.list",     "builtins.str",   "builtins.tuple",  "builtins.int",
      "builtins.function",       "builtins.cell",     "builtins.type",  "builtins.set",    "builtins.bytes",
      "collections.OrderedDict", "myapp.models.User", "builtins.float", "builtins.method", "_io.TextIOWrapper",
      "builtins.module",
  };
  static const char* const kValues[] = {
      "'hello'",        "42", "3.14", "<function main at 0x7f3a2c>", "'caf\xc3\xa9'", "(1, 2)", "'a \"quoted\" word'",
      "'line\\nbreak'",
  };
  std::mt19937_64 random(12345);
  std::vector<std::string> lines;
  lines.reserve(count);
  RawObjectRecord record;
  for (size_t i = 0; i < count; ++i) {
    record.id = 140000000000000 + random() % 4000000000;
    record.type = kTypes[random() % std::size(kTypes)];
    record.references.resize(5 + random() % 16);
    for (auto& id : record.references) id = 140000000000000 + random() % 4000000000;
    if (random() % 3 == 0) {
      record.value = kValues[random() % std::size(kValues)];
    } else {
      record.value.reset();
    }
    record.size = 16 + random() % 2000;
    if (random() % 4 == 0) {
      record.subtree_size = record.size + random() % 100000;
    } else {
      record.subtree_size.reset();
    }
    std::string line;
    vossick::write_record(record, line);
    lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<std::string> read_lines(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// CPU time of this thread: the machine is shared, so wall time would count
// time spent descheduled.
double thread_seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <class Body>
void run(const char* name, const std::vector<std::string>& lines, size_t bytes, Body body) {
  constexpr int kRepetitions = 5;
  double best = 1e300;
  size_t failures = 0;
  for (int rep = 0; rep < kRepetitions; ++rep) {
    failures = 0;
    const double start = thread_seconds();
    for (const std::string& line : lines) failures += body(line) ? 0 : 1;
    best = std::min(best, thread_seconds() - start);
  }
  std::printf("%-34s %9.1f MB/s %12.0f records/s %7.1f ns/record%s\n", name, bytes / best / 1e6, lines.size() / best,
              best * 1e9 / lines.size(), failures ? "  (some lines failed)" : "");
}

// The lines as `primary` stores them.
std::vector<std::string> stored_values(const std::vector<std::string>& lines) {
  std::vector<std::string> values;
  RawObjectRecord record;
  for (const std::string& line : lines) {
    if (!vossick::parse_record(line, record).ok()) continue;
    values.emplace_back();
    vossick::write_record(record, values.back());
  }
  return values;
}

// What the post-import pass does with each stored value: decode it for the
// traversal, then rewrite it with a new subtree size.
void compare_stored_value_paths(const std::vector<std::string>& values) {
  size_t bytes = 0;
  size_t recognised = 0;
  for (const std::string& value : values) {
    bytes += value.size();
    recognised += vossick::scan_canonical_record(value) ? 1 : 0;
  }
  std::printf("\nstored values: %zu records, %.1f MB, %.2f %% in the canonical fast path's subset\n", values.size(),
              bytes / 1e6, values.empty() ? 0.0 : 100.0 * recognised / values.size());
  RawObjectRecord raw;
  ObjectRecordNoValue no_value;
  std::string rewritten;
  run("parse_record ObjectRecordNoValue", values, bytes,
      [&](const std::string& value) { return vossick::parse_record(value, no_value).ok(); });
  run("fast path ObjectRecordNoValue", values, bytes,
      [&](const std::string& value) { return vossick::decode_canonical_record(value, no_value); });
  run("parse_record RawObjectRecord", values, bytes,
      [&](const std::string& value) { return vossick::parse_record(value, raw).ok(); });
  run("fast path RawObjectRecord", values, bytes,
      [&](const std::string& value) { return vossick::decode_canonical_record(value, raw); });
  run("rewrite: parse + write_record", values, bytes, [&](const std::string& value) {
    if (!vossick::parse_record(value, raw).ok()) return false;
    raw.subtree_size = 123456789;
    rewritten.clear();
    vossick::write_record(raw, rewritten);
    return true;
  });
  run("rewrite: scan + splice", values, bytes, [&](const std::string& value) {
    const auto view = vossick::scan_canonical_record(value);
    if (!view) return false;
    rewritten.clear();
    vossick::append_with_subtree_size(value, *view, 123456789, rewritten);
    return true;
  });
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> lines = argc > 1 ? read_lines(argv[1]) : generate_lines(500000);
  size_t bytes = 0;
  for (const std::string& line : lines) bytes += line.size();
  std::printf("%zu records, %.1f MB, %.0f bytes/record (best of 5 runs, thread CPU time)\n", lines.size(), bytes / 1e6,
              lines.empty() ? 0.0 : static_cast<double>(bytes) / lines.size());
  if (lines.empty()) return 0;

  RawObjectRecord raw;
  ObjectRecordNoValue no_value;
  ObjectSummary summary;
  std::string written;
  run("parse RawObjectRecord", lines, bytes,
      [&](const std::string& line) { return vossick::parse_record(line, raw).ok(); });
  run("parse ObjectRecordNoValue", lines, bytes,
      [&](const std::string& line) { return vossick::parse_record(line, no_value).ok(); });
  run("parse ObjectSummary", lines, bytes,
      [&](const std::string& line) { return vossick::parse_record(line, summary).ok(); });
  run("parse RawObjectRecord + write", lines, bytes, [&](const std::string& line) {
    if (!vossick::parse_record(line, raw).ok()) return false;
    written.clear();
    vossick::write_record(raw, written);
    return true;
  });
  compare_stored_value_paths(stored_values(lines));
  return 0;
}
