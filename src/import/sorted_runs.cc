#include "import/sorted_runs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <unordered_map>
#include <utility>

#include "import/record_puts.h"
#include "storage/primary.h"

namespace vossick {

namespace {

constexpr std::string_view kTemporaryPrefix = "vossick-import-";
constexpr size_t kFileBufferBytes = size_t{1} << 20;
constexpr uint32_t kEntriesPerStopCheck = 65536;
// An entry in memory: its check, the annotations
// present (with kRecordCheck), the key's and the value's lengths (4 bytes
// each, native order), the line (8 bytes, with a check), the key, the value.
constexpr size_t kFixedHeaderBytes = 10;
constexpr size_t kMaxHeaderBytes = kFixedHeaderBytes + 8;
constexpr uint8_t kRecordCheck = 1;               // agrees as same_but_subtree_size says
constexpr uint8_t kExactCheck = 2;                // agrees when equal
constexpr size_t kMaxRunBytes = size_t{2} << 30;  // entry offsets are 32 bits

template <class T>
T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// LMDB's order of byte strings (mdb_cmp_memn).
int compare_bytes(std::string_view a, std::string_view b) {
  const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// Eight bytes from `at` in `bytes`, zero-padded, as an integer in their byte
// order, and back.
uint64_t big_endian_word(std::string_view bytes, size_t at) {
  unsigned char word[8] = {};
  if (at < bytes.size()) std::memcpy(word, bytes.data() + at, std::min<size_t>(bytes.size() - at, 8));
  uint64_t v = 0;
  for (unsigned char c : word) v = v << 8 | c;
  return v;
}
void put_big_endian_word(uint64_t v, char* out) {
  for (int i = 7; i >= 0; --i, v >>= 8) out[i] = static_cast<char>(v & 0xff);
}

void append_entry(std::string& out, uint8_t check, uint8_t annotations, uint64_t line, std::string_view key,
                  std::string_view value) {
  char header[kMaxHeaderBytes];
  header[0] = static_cast<char>(check);
  header[1] = static_cast<char>(annotations);
  const auto key_bytes = static_cast<uint32_t>(key.size());
  const auto value_bytes = static_cast<uint32_t>(value.size());
  std::memcpy(header + 2, &key_bytes, 4);
  std::memcpy(header + 6, &value_bytes, 4);
  if (check != 0) std::memcpy(header + kFixedHeaderBytes, &line, 8);
  out.append(header, kFixedHeaderBytes + (check != 0 ? 8 : 0));
  out.append(key);
  out.append(value);
}

// An entry in the temporary file, shorter than in memory, since sorted runs
// repeat keys (a type name for every object of the type) and their integer
// keys and 8-byte duplicates grow in small steps: a flags byte (the check;
// whether the key is the previous entry's, or an 8-byte integer key given as
// its difference from the previous one; whether an 8-byte value under the
// same key is given as its difference, as a big-endian number, from the
// previous 8-byte value), the annotations (with kRecordCheck), the line (with
// a check), the key's length or difference (unless repeated), the value's
// length or difference, each a base-128 number, then the key and the value
// bytes that were not given as differences.
constexpr uint8_t kCheckBits = 3;
constexpr uint8_t kSameKey = 4;
constexpr uint8_t kKeyStep = 8;
constexpr uint8_t kValueStep = 16;
constexpr size_t kMaxFileHeaderBytes = 1 + 1 + 3 * 10;

void append_number(std::string& out, uint64_t v) {
  char bytes[10];
  size_t n = 0;
  for (; v >= 0x80; v >>= 7) bytes[n++] = static_cast<char>((v & 0x7f) | 0x80);
  bytes[n++] = static_cast<char>(v);
  out.append(bytes, n);
}

// Reads a number at `at`, advancing it; false past `end` or at ten bytes.
bool read_number(const char* end, const char*& at, uint64_t& v) {
  v = 0;
  for (unsigned shift = 0; shift < 70 && at < end; shift += 7) {
    const auto byte = static_cast<uint8_t>(*at++);
    v |= uint64_t{byte & 0x7fu} << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

// The previous entry of a run, which the next one's differences refer to.
struct PreviousEntry {
  std::string key;
  bool has_key = false;
  std::optional<uint64_t> value;  // an 8-byte value, as a big-endian number

  void set_value(std::string_view v) {
    if (v.size() == 8) {
      value = big_endian_word(v, 0);
    } else {
      value.reset();
    }
  }
};

void append_file_entry(std::string& out, PreviousEntry& previous, uint8_t check, uint8_t annotations, uint64_t line,
                       std::string_view key, std::string_view value) {
  const bool same_key = previous.has_key && key == previous.key;
  uint8_t flags = check;
  uint64_t key_step = 0, value_step = 0;
  if (same_key) {
    flags |= kSameKey;
    if (value.size() == 8 && previous.value && big_endian_word(value, 0) >= *previous.value) {
      flags |= kValueStep;
      value_step = big_endian_word(value, 0) - *previous.value;
    }
  } else if (previous.has_key && key.size() == 8 && previous.key.size() == 8 &&
             load<uint64_t>(key.data()) >= load<uint64_t>(previous.key.data())) {
    flags |= kKeyStep;
    key_step = load<uint64_t>(key.data()) - load<uint64_t>(previous.key.data());
  }
  out.push_back(static_cast<char>(flags));
  if (check == kRecordCheck) out.push_back(static_cast<char>(annotations));
  if (check != 0) append_number(out, line);
  if (!same_key) append_number(out, (flags & kKeyStep) != 0 ? key_step : key.size());
  append_number(out, (flags & kValueStep) != 0 ? value_step : value.size());
  if ((flags & (kSameKey | kKeyStep)) == 0) out.append(key);
  if ((flags & kValueStep) == 0) out.append(value);
  if (!same_key) {
    previous.key.assign(key);
    previous.has_key = true;
  }
  previous.set_value(value);
}

Status write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Error::os(errno);
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return ok_status();
}

struct KeyHash {
  using is_transparent = void;
  size_t operator()(std::string_view key) const noexcept { return std::hash<std::string_view>()(key); }
};

// What a slot's sort compares first: the key's integer (an 8-byte key of an
// MDB_INTEGERKEY database) or its rank among the run's distinct keys, then
// the first 16 bytes of a duplicate's value and its length; the entry's
// offset, in input order, breaks ties. A plain put of a duplicate of at most
// 16 bytes is held in its handle alone (offset kInHandle).
struct Handle {
  uint64_t key;
  uint64_t value[2];
  uint32_t value_bytes;
  uint32_t offset;
};
constexpr uint32_t kInHandle = UINT32_MAX;
constexpr size_t kMaxBytesInHandle = 16;

// Where an entry held in its handle is rebuilt.
struct Rebuilt {
  char key[8];
  char value[kMaxBytesInHandle];
};

}  // namespace

struct SortedRuns::Entry {
  uint8_t check = 0;
  uint8_t annotations = 0;
  uint64_t line = 0;
  std::string_view key;
  std::string_view value;
  size_t bytes = 0;  // the whole entry's

  // Decodes the entry at the start of `in`; false when `in` is too short.
  bool decode(std::string_view in) {
    if (in.size() < kFixedHeaderBytes) return false;
    check = static_cast<uint8_t>(in[0]);
    annotations = static_cast<uint8_t>(in[1]);
    const size_t key_bytes = load<uint32_t>(in.data() + 2);
    const size_t value_bytes = load<uint32_t>(in.data() + 6);
    const size_t header = kFixedHeaderBytes + (check != 0 ? 8 : 0);
    bytes = header + key_bytes + value_bytes;
    if (in.size() < bytes) return false;
    line = check != 0 ? load<uint64_t>(in.data() + kFixedHeaderBytes) : 0;
    key = in.substr(header, key_bytes);
    value = in.substr(header + key_bytes, value_bytes);
    return true;
  }
};

// The puts held for one database.
struct SortedRuns::Slot {
  MDB_txn* txn;
  MDB_dbi dbi;
  bool duplicates;
  bool integer_key;      // 8-byte keys, compared as integers
  bool typed;            // ordered here rather than by mdb_cmp and mdb_dcmp
  bool checked = false;  // holds puts that must agree
  std::string arena;     // the entries of the run in memory
  std::vector<Handle> handles;
  std::unordered_map<std::string, uint64_t, KeyHash, std::equal_to<>> key_numbers;
  std::vector<std::string> ranked_keys;             // after sort(), the distinct keys in order
  std::vector<std::pair<uint64_t, uint64_t>> runs;  // spilled: offsets and lengths in the file

  int compare_keys(std::string_view a, std::string_view b) const {
    if (integer_key) {
      const auto x = load<uint64_t>(a.data()), y = load<uint64_t>(b.data());
      return x < y ? -1 : x > y;
    }
    if (typed) return compare_bytes(a, b);
    MDB_val va = to_val(a), vb = to_val(b);
    return mdb_cmp(txn, dbi, &va, &vb);
  }
  // The order of entries: by key, then (with duplicates) by value.
  int compare(const Entry& a, const Entry& b) const {
    if (int c = compare_keys(a.key, b.key); c != 0 || !duplicates) return c;
    if (typed) return compare_bytes(a.value, b.value);
    MDB_val va = to_val(a.value), vb = to_val(b.value);
    return mdb_dcmp(txn, dbi, &va, &vb);
  }
  Entry entry(const Handle& h, Rebuilt& rebuilt) const {
    Entry e;
    if (h.offset != kInHandle) {
      e.decode(std::string_view(arena).substr(h.offset));
      return e;
    }
    if (integer_key) {
      std::memcpy(rebuilt.key, &h.key, 8);
      e.key = std::string_view(rebuilt.key, 8);
    } else {
      e.key = ranked_keys[h.key];
    }
    put_big_endian_word(h.value[0], rebuilt.value);
    put_big_endian_word(h.value[1], rebuilt.value + 8);
    e.value = std::string_view(rebuilt.value, h.value_bytes);
    return e;
  }

  // Sorts the handles (unless they came in order) and makes each key number
  // a rank.
  void sort() {
    if (typed && !integer_key && !key_numbers.empty()) {
      std::vector<std::string> keys(key_numbers.size());
      for (auto& [key, number] : key_numbers) keys[number] = key;
      std::vector<uint64_t> order(keys.size());
      for (size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::sort(order.begin(), order.end(),
                [&](uint64_t a, uint64_t b) { return compare_bytes(keys[a], keys[b]) < 0; });
      std::vector<uint64_t> rank(keys.size());
      for (size_t i = 0; i < order.size(); ++i) {
        rank[order[i]] = i;
        ranked_keys.push_back(std::move(keys[order[i]]));
      }
      for (Handle& h : handles) h.key = rank[h.key];
      key_numbers.clear();
    }
    if (!typed) {
      sort_handles([this](const Handle& a, const Handle& b) {
        Rebuilt ra, rb;
        const int c = compare(entry(a, ra), entry(b, rb));
        return c != 0 ? c < 0 : a.offset < b.offset;
      });
    } else if (!duplicates) {
      sort_handles(
          [](const Handle& a, const Handle& b) { return a.key != b.key ? a.key < b.key : a.offset < b.offset; });
    } else {
      sort_handles([this](const Handle& a, const Handle& b) {
        if (a.key != b.key) return a.key < b.key;
        if (a.value[0] != b.value[0]) return a.value[0] < b.value[0];
        if (a.value[1] != b.value[1]) return a.value[1] < b.value[1];
        if (a.value_bytes > kMaxBytesInHandle && b.value_bytes > kMaxBytesInHandle) {
          Rebuilt ra, rb;
          if (int c = compare_bytes(entry(a, ra).value, entry(b, rb).value); c != 0) return c < 0;
        } else if (a.value_bytes != b.value_bytes) {
          return a.value_bytes < b.value_bytes;
        }
        return a.offset < b.offset;
      });
    }
  }
  template <class Less>
  void sort_handles(Less less) {
    if (!std::is_sorted(handles.begin(), handles.end(), less)) std::sort(handles.begin(), handles.end(), less);
  }

  // Empties the run in memory; keeps its memory for the next run unless
  // `release`.
  void clear_run(bool release) noexcept {
    arena.clear();
    handles.clear();
    key_numbers.clear();
    ranked_keys.clear();
    if (release) {
      std::string().swap(arena);
      std::vector<Handle>().swap(handles);
    }
  }
};

// A sorted run of one slot, read entry by entry; `current` stays valid until
// next(), and after it too when `stable`.
class SortedRuns::Source {
 public:
  explicit Source(bool stable) : stable(stable) {}
  virtual ~Source() = default;
  // Advances to the next entry; false at the end.
  virtual Result<bool> next() = 0;
  Entry current;
  const bool stable;
};

class SortedRuns::MemorySource final : public Source {
 public:
  // Entries rebuilt from their handles (duplicates) change at next().
  explicit MemorySource(const Slot& slot) : Source(!slot.duplicates), slot_(slot) {}
  Result<bool> next() override {
    if (at_ == slot_.handles.size()) return false;
    current = slot_.entry(slot_.handles[at_++], rebuilt_);
    return true;
  }

 private:
  const Slot& slot_;
  Rebuilt rebuilt_;
  size_t at_ = 0;
};

class SortedRuns::FileSource final : public Source {
 public:
  FileSource(int fd, uint64_t offset, uint64_t length)
      : Source(false),
        fd_(fd),
        buffer_(std::min<uint64_t>(length, kFileBufferBytes), '\0'),
        offset_(offset),
        end_of_run_(offset + length) {}
  Result<bool> next() override {
    VOSSICK_TRY(fill(kMaxFileHeaderBytes));
    if (begin_ == end_) return false;
    const char* const start = buffer_.data() + begin_;
    const char* const end = buffer_.data() + end_;
    const char* at = start;
    const auto flags = static_cast<uint8_t>(*at++);
    const bool same_key = (flags & kSameKey) != 0, key_step = (flags & kKeyStep) != 0,
               value_step = (flags & kValueStep) != 0;
    current.check = static_cast<uint8_t>(flags & kCheckBits);
    current.annotations = 0;
    current.line = 0;
    if (current.check == kRecordCheck) {
      if (at == end) return truncated();
      current.annotations = static_cast<uint8_t>(*at++);
    }
    uint64_t key_number = 0, value_number = 0;
    if ((current.check != 0 && !read_number(end, at, current.line)) ||
        (!same_key && !read_number(end, at, key_number)) || !read_number(end, at, value_number)) {
      return truncated();
    }
    if ((same_key || key_step) && !(previous_.has_key && (same_key || previous_.key.size() == 8))) return truncated();
    if (value_step && !(same_key && previous_.value)) return truncated();
    const uint64_t key_bytes = same_key || key_step ? 0 : key_number;
    const uint64_t value_bytes = value_step ? 0 : value_number;
    const size_t header = static_cast<size_t>(at - start);
    if (key_bytes > end_of_run_ || value_bytes > end_of_run_) return truncated();
    const size_t body = key_bytes + value_bytes;
    // May move the buffer: positions are taken again after it.
    VOSSICK_TRY(fill(header + body));
    if (end_ - begin_ < header + body) return truncated();
    const char* p = buffer_.data() + begin_ + header;
    if (key_step) {
      const uint64_t key = load<uint64_t>(previous_.key.data()) + key_number;
      std::memcpy(previous_.key.data(), &key, 8);
    } else if (!same_key) {
      previous_.key.assign(p, key_bytes);
      previous_.has_key = true;
      p += key_bytes;
    }
    current.key = previous_.key;
    if (value_step) {
      put_big_endian_word(*previous_.value + value_number, value_);
      current.value = std::string_view(value_, 8);
    } else {
      current.value = std::string_view(p, value_bytes);
    }
    previous_.set_value(current.value);
    current.bytes = header + body;
    begin_ += current.bytes;
    return true;
  }

 private:
  static Error truncated() { return Error::panic("a temporary run of the import is truncated"); }

  // Makes at least `wanted` unread bytes buffered, or all that are left.
  Status fill(size_t wanted) {
    if (end_ - begin_ >= wanted || at_end_) return ok_status();
    // Moves the unread bytes to the front, keeping the buffer's whole size
    // to read into.
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    if (buffer_.size() < wanted) buffer_.resize(wanted);
    while (end_ < wanted) {
      const size_t room = std::min<uint64_t>(buffer_.size() - end_, end_of_run_ - offset_);
      const ssize_t n = ::pread(fd_, buffer_.data() + end_, room, static_cast<off_t>(offset_));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Error::os(errno);
      if (n == 0) {
        at_end_ = true;
        break;
      }
      end_ += static_cast<size_t>(n);
      offset_ += static_cast<uint64_t>(n);
    }
    return ok_status();
  }

  int fd_;
  std::string buffer_;
  PreviousEntry previous_;  // holds the current entry's key
  char value_[8];           // a value given as a difference
  size_t begin_ = 0;
  size_t end_ = 0;
  uint64_t offset_;
  uint64_t end_of_run_;
  bool at_end_ = false;
};

Status HeldCursor::put(std::string_view key, std::string_view value) { return runs_->hold(slot_, 0, key, value); }

Result<std::optional<std::string_view>> HeldCursor::put_unless_present(std::string_view key, std::string_view value) {
  VOSSICK_TRY(runs_->hold(slot_, kRecordCheck, key, value));
  return std::optional<std::string_view>();
}

Status put_annotation(HeldCursor& annotations, HeldCursor& /*primary*/, std::optional<uint64_t>& /*previous_id*/,
                      uint64_t id, std::optional<std::string_view> value, uint64_t /*line*/) {
  if (!value) return ok_status();
  SortedRuns& runs = *annotations.runs_;
  runs.annotations_ |= static_cast<uint8_t>(1u << annotations.slot_);
  const EncodedId key = encode_id(id);
  return runs.hold(annotations.slot_, kExactCheck, id_key(key), *value);
}

SortedRuns::SortedRuns(MDB_txn* txn, std::string directory, size_t run_bytes)
    : txn_(txn), directory_(std::move(directory)), run_bytes_(std::min(run_bytes, kMaxRunBytes)) {}

std::unique_ptr<SortedRuns> SortedRuns::create(const Transaction& txn, std::string directory, size_t run_bytes) {
  // Only a process killed between creating and unlinking a run leaves one;
  // the caller holds the writer lock, so no other import is making one now.
  std::error_code ignored;
  for (const auto& file : std::filesystem::directory_iterator(directory, ignored)) {
    if (file.path().filename().string().starts_with(kTemporaryPrefix)) std::filesystem::remove(file.path(), ignored);
  }
  return std::unique_ptr<SortedRuns>(new SortedRuns(txn.raw(), std::move(directory), run_bytes));
}

SortedRuns::~SortedRuns() { clear(); }

Result<HeldCursor> SortedRuns::cursor(MDB_dbi dbi) {
  for (size_t slot = 0; slot < slots_.size(); ++slot) {
    if (slots_[slot]->dbi == dbi) return HeldCursor(*this, static_cast<uint8_t>(slot));
  }
  // A bit per slot in an entry's annotations.
  if (slots_.size() >= 8) return Error::panic("sorted runs: too many databases");
  unsigned flags = 0;
  if (int rc = mdb_dbi_flags(txn_, dbi, &flags); rc != 0) return Error::lmdb(rc);
  constexpr unsigned kTyped = MDB_INTEGERKEY | MDB_DUPSORT | MDB_DUPFIXED;
  const bool typed = (flags & ~kTyped & 0xffff) == 0;
  auto slot = std::make_unique<Slot>();
  slot->txn = txn_;
  slot->dbi = dbi;
  slot->duplicates = (flags & MDB_DUPSORT) != 0;
  slot->integer_key = typed && (flags & MDB_INTEGERKEY) != 0;
  slot->typed = typed;
  slots_.push_back(std::move(slot));
  return HeldCursor(*this, static_cast<uint8_t>(slots_.size() - 1));
}

Status SortedRuns::hold(uint8_t slot, uint8_t check, std::string_view key, std::string_view value) {
  Slot& s = *slots_[slot];
  if (key.size() > UINT32_MAX || value.size() > UINT32_MAX || (s.integer_key && key.size() != sizeof(uint64_t))) {
    return Error::lmdb(MDB_BAD_VALSIZE);
  }
  Handle handle{0, {0, 0}, static_cast<uint32_t>(value.size()), static_cast<uint32_t>(s.arena.size())};
  if (s.integer_key) {
    handle.key = load<uint64_t>(key.data());
  } else if (s.typed) {
    auto found = s.key_numbers.find(key);
    if (found == s.key_numbers.end()) found = s.key_numbers.emplace(std::string(key), s.key_numbers.size()).first;
    handle.key = found->second;
  }
  if (s.typed && s.duplicates) {
    handle.value[0] = big_endian_word(value, 0);
    handle.value[1] = big_endian_word(value, 8);
    if (check == 0 && value.size() <= kMaxBytesInHandle) handle.offset = kInHandle;
  }
  s.handles.push_back(handle);
  if (handle.offset != kInHandle) {
    append_entry(s.arena, check, check == kRecordCheck ? annotations_ : 0, line_, key, value);
  }
  if (check == kRecordCheck) annotations_ = 0;
  s.checked |= check != 0;
  if (held_bytes() >= run_bytes_) return spill();
  return ok_status();
}

size_t SortedRuns::held_bytes() const noexcept {
  size_t bytes = 0;
  for (const auto& s : slots_) bytes += s->arena.size() + s->handles.size() * sizeof(Handle);
  return bytes;
}

Status SortedRuns::spill() {
  if (file_ < 0) {
    std::string path = directory_ + "/" + std::string(kTemporaryPrefix) + "XXXXXX";
    file_ = ::mkostemp(path.data(), O_CLOEXEC);  // created 0600
    if (file_ < 0) return Error::os(errno);
    if (::unlink(path.c_str()) != 0) return Error::os(errno);  // closed by clear()
  }
  std::string out;
  for (const auto& s : slots_) {
    s->sort();
    s->runs.emplace_back(spilled_bytes_, 0);
    Rebuilt rebuilt;
    PreviousEntry previous;
    for (size_t i = 0; i <= s->handles.size(); ++i) {
      if (i < s->handles.size()) {
        const Entry e = s->entry(s->handles[i], rebuilt);
        append_file_entry(out, previous, e.check, e.annotations, e.line, e.key, e.value);
      }
      if (i == s->handles.size() || out.size() >= kFileBufferBytes) {
        VOSSICK_TRY(write_all(file_, out));
        spilled_bytes_ += out.size();
        s->runs.back().second += out.size();
        out.clear();
      }
    }
    s->clear_run(false);
  }
  return ok_status();
}

void SortedRuns::clear() noexcept {
  if (file_ >= 0) ::close(file_);
  file_ = -1;
  for (const auto& s : slots_) {
    s->clear_run(true);
    s->runs.clear();
  }
}

Status SortedRuns::apply(const Transaction& txn, StopCheck& stop, uint64_t& failed_line) {
  Status status = ok_status();
  if (file_ >= 0) {
    // Runs went to disk already: the last one follows them, so that its
    // memory is free before LMDB's dirty pages take theirs.
    status = spill();
    for (const auto& s : slots_) s->clear_run(true);
  }
  if (status.ok()) status = merge(&txn, stop, failed_line);
  clear();
  return status;
}

Status SortedRuns::check(StopCheck& stop, uint64_t& failed_line) { return merge(nullptr, stop, failed_line); }

Status SortedRuns::merge(const Transaction* txn, StopCheck& stop, uint64_t& failed_line) {
  StopPoll poll(stop, kEntriesPerStopCheck);
  std::optional<std::pair<uint64_t, Error>> first_failure;
  // The slots whose puts must agree first: after a conflict nothing is
  // written.
  for (const bool checked : {true, false}) {
    for (size_t slot = 0; slot < slots_.size(); ++slot) {
      if (slots_[slot]->checked != checked || (!checked && (txn == nullptr || first_failure))) continue;
      VOSSICK_TRY(merge_slot(slot, txn, poll, first_failure));
    }
  }
  if (first_failure) {
    failed_line = first_failure->first;
    return std::move(first_failure->second);
  }
  return ok_status();
}

namespace {

// A key or value met in a merge, kept until the next one: a view of a stable
// source, a copy otherwise.
struct Kept {
  std::string copy;
  std::string_view view;
  void set(std::string_view bytes, bool stable) {
    if (stable) {
      view = bytes;
    } else {
      copy.assign(bytes);
      view = copy;
    }
  }
};

}  // namespace

// Merges the slot's runs, oldest first, so that puts that sort alike meet in
// input order, and hands the database its entries in order (with `txn`;
// without, only the conflicts are looked for).
Status SortedRuns::merge_slot(size_t slot, const Transaction* txn, StopPoll& poll,
                              std::optional<std::pair<uint64_t, Error>>& first_failure) {
  Slot& s = *slots_[slot];
  s.sort();
  std::vector<std::unique_ptr<Source>> sources;
  for (const auto& [offset, length] : s.runs) sources.push_back(std::make_unique<FileSource>(file_, offset, length));
  sources.push_back(std::make_unique<MemorySource>(s));
  const auto after = [&](size_t a, size_t b) {
    const int c = s.compare(sources[a]->current, sources[b]->current);
    return c != 0 ? c > 0 : a > b;
  };
  std::vector<size_t> heap;
  for (size_t i = 0; i < sources.size(); ++i) {
    VOSSICK_ASSIGN_OR_RETURN(bool more, sources[i]->next());
    if (more) heap.push_back(i);
  }
  std::make_heap(heap.begin(), heap.end(), after);

  std::optional<Cursor> cursor;
  if (txn != nullptr && !first_failure) {
    VOSSICK_ASSIGN_OR_RETURN(Cursor opened, Cursor::open(*txn, s.dbi));
    cursor.emplace(std::move(opened));
  }
  bool pending = false;  // a key is held in `key`
  Kept key;
  Kept value;               // the value to store under `key`
  uint8_t annotations = 0;  // of the key's first record
  bool key_failed = false;
  // Writes the last value of the held key (duplicates are written at once).
  const auto write_pending = [&]() -> Status {
    if (!pending || first_failure || !cursor || s.duplicates) return ok_status();
    return cursor->append(key.view, value.view, false);
  };
  while (!heap.empty()) {
    VOSSICK_TRY(poll.poll());
    std::pop_heap(heap.begin(), heap.end(), after);
    const Source& source = *sources[heap.back()];
    const Entry& e = source.current;
    const bool key_again = pending && s.compare_keys(e.key, key.view) == 0;
    if (s.duplicates) {
      const bool pair_again = key_again && s.compare(e, Entry{0, 0, 0, key.view, value.view}) == 0;
      if (!pair_again && cursor && !first_failure) VOSSICK_TRY(cursor->append(e.key, e.value, key_again));
      if (!key_again) key.set(e.key, source.stable);
      value.set(e.value, source.stable);
    } else if (key_again) {
      // Another put of the key: checked against the value it replaces, as
      // put_record_unless_conflicting and put_annotation check against the
      // stored one.
      if (e.check != 0 && !key_failed) {
        bool agree = e.value == value.view;
        if (e.check == kRecordCheck) {
          VOSSICK_ASSIGN_OR_RETURN(bool same, same_but_subtree_size(value.view, e.value));
          agree = same && e.annotations == annotations;
        }
        if (!agree) {
          key_failed = true;
          if (!first_failure || e.line < first_failure->first) {
            VOSSICK_ASSIGN_OR_RETURN(uint64_t id, decode_id(e.key));
            first_failure.emplace(e.line, conflicting_record_error(id, e.line));
          }
        }
      }
      if (!key_failed) value.set(e.value, source.stable);
    } else {
      VOSSICK_TRY(write_pending());
      key.set(e.key, source.stable);
      value.set(e.value, source.stable);
      annotations = e.annotations;
      key_failed = false;
    }
    pending = true;

    VOSSICK_ASSIGN_OR_RETURN(bool more, sources[heap.back()]->next());
    if (more) {
      std::push_heap(heap.begin(), heap.end(), after);
    } else {
      heap.pop_back();
    }
  }
  return write_pending();
}

}  // namespace vossick
