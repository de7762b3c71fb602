#include "import/sorted_runs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "import/record_puts.h"
#include "storage/primary.h"

namespace vossick {

namespace {

constexpr std::string_view kTemporaryPrefix = "vossick-import-";
constexpr size_t kFileBufferBytes = size_t{1} << 20;
constexpr uint32_t kEntriesPerStopCheck = 65536;
// slot, checked, and three varints of at most 10 bytes.
constexpr size_t kMaxHeaderBytes = 2 + 3 * 10;

void put_varint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

bool get_varint(const char*& p, const char* end, uint64_t& out) {
  out = 0;
  for (unsigned shift = 0; p < end && shift < 64; shift += 7) {
    const auto byte = static_cast<uint8_t>(*p++);
    out |= uint64_t{byte & 0x7fu} << shift;
    if (byte < 0x80) return true;
  }
  return false;
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

struct HeldPut {
  uint8_t slot = 0;
  bool checked = false;
  uint64_t line = 0;
  std::string_view key;
  std::string_view value;
};

}  // namespace

// A sorted run, read entry by entry; `current` stays valid until next().
class SortedRuns::Source {
 public:
  virtual ~Source() = default;
  // Advances to the next entry; false at the end.
  virtual Result<bool> next() = 0;
  HeldPut current;
};

class SortedRuns::MemorySource final : public Source {
 public:
  explicit MemorySource(const SortedRuns& runs) : runs_(runs) {}
  Result<bool> next() override {
    if (at_ == runs_.held_.size()) return false;
    const Held& held = runs_.held_[at_++];
    const std::string_view bytes = std::string_view(runs_.arena_).substr(held.offset);
    current = HeldPut{held.slot, held.checked, held.line, bytes.substr(0, held.key_bytes),
                    bytes.substr(held.key_bytes, held.value_bytes)};
    return true;
  }

 private:
  const SortedRuns& runs_;
  size_t at_ = 0;
};

class SortedRuns::FileSource final : public Source {
 public:
  FileSource(int fd, uint64_t offset, uint64_t length)
      : fd_(fd), buffer_(std::min<uint64_t>(length, kFileBufferBytes), '\0'), offset_(offset), end_of_run_(offset + length) {}
  Result<bool> next() override {
    VOSSICK_TRY(fill(kMaxHeaderBytes));
    if (begin_ == end_) return false;
    const char* p = buffer_.data() + begin_;
    const char* end = buffer_.data() + end_;
    uint64_t line = 0, key_bytes = 0, value_bytes = 0;
    const auto slot = static_cast<uint8_t>(p[0]);
    const bool checked = p[1] != 0;
    p += 2;
    if (p > end || (checked && !get_varint(p, end, line)) || !get_varint(p, end, key_bytes) ||
        !get_varint(p, end, value_bytes)) {
      return truncated();
    }
    const size_t header = static_cast<size_t>(p - (buffer_.data() + begin_));
    VOSSICK_TRY(fill(header + key_bytes + value_bytes));
    if (end_ - begin_ < header + key_bytes + value_bytes) return truncated();
    const std::string_view bytes = std::string_view(buffer_).substr(begin_ + header);
    current = HeldPut{slot, checked, line, bytes.substr(0, key_bytes), bytes.substr(key_bytes, value_bytes)};
    begin_ += header + key_bytes + value_bytes;
    return true;
  }

 private:
  static Error truncated() { return Error::panic("a temporary run of the import is truncated"); }

  // Makes at least `wanted` unread bytes buffered, or all that are left.
  Status fill(size_t wanted) {
    if (end_ - begin_ >= wanted || at_end_) return ok_status();
    buffer_.erase(0, begin_);
    end_ -= begin_;
    begin_ = 0;
    buffer_.resize(std::max(buffer_.size(), wanted));
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
  size_t begin_ = 0;
  size_t end_ = 0;
  uint64_t offset_;
  uint64_t end_of_run_;
  bool at_end_ = false;
};

Status HeldCursor::put(std::string_view key, std::string_view value) {
  return runs_->hold(slot_, false, key, value);
}

Result<std::optional<std::string_view>> HeldCursor::put_unless_present(std::string_view key, std::string_view value) {
  VOSSICK_TRY(runs_->hold(slot_, true, key, value));
  return std::optional<std::string_view>();
}

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
    if (slots_[slot].dbi == dbi) return HeldCursor(*this, static_cast<uint8_t>(slot));
  }
  if (slots_.size() > UINT8_MAX) return Error::panic("sorted runs: too many databases");
  unsigned flags = 0;
  if (int rc = mdb_dbi_flags(txn_, dbi, &flags); rc != 0) return Error::lmdb(rc);
  slots_.push_back(Slot{dbi, (flags & MDB_DUPSORT) != 0});
  return HeldCursor(*this, static_cast<uint8_t>(slots_.size() - 1));
}

Status SortedRuns::hold(uint8_t slot, bool checked, std::string_view key, std::string_view value) {
  if (key.size() > UINT32_MAX || value.size() > UINT32_MAX) return Error::lmdb(MDB_BAD_VALSIZE);
  held_.push_back(Held{arena_.size(), line_, static_cast<uint32_t>(key.size()), static_cast<uint32_t>(value.size()),
                       slot, checked});
  arena_.append(key);
  arena_.append(value);
  if (arena_.size() + held_.size() * sizeof(Held) >= run_bytes_) return spill();
  return ok_status();
}

int SortedRuns::compare(uint8_t slot, std::string_view key_a, std::string_view value_a, std::string_view key_b,
                        std::string_view value_b) const {
  const Slot& s = slots_[slot];
  MDB_val a = to_val(key_a);
  MDB_val b = to_val(key_b);
  if (int c = mdb_cmp(txn_, s.dbi, &a, &b); c != 0 || !s.duplicates) return c;
  a = to_val(value_a);
  b = to_val(value_b);
  return mdb_dcmp(txn_, s.dbi, &a, &b);
}

void SortedRuns::sort_held() {
  // Puts that sort alike keep their input order, which the offsets follow.
  std::sort(held_.begin(), held_.end(), [&](const Held& a, const Held& b) {
    if (a.slot != b.slot) return a.slot < b.slot;
    const std::string_view bytes(arena_);
    const int c = compare(a.slot, bytes.substr(a.offset, a.key_bytes), bytes.substr(a.offset + a.key_bytes, a.value_bytes),
                          bytes.substr(b.offset, b.key_bytes), bytes.substr(b.offset + b.key_bytes, b.value_bytes));
    return c != 0 ? c < 0 : a.offset < b.offset;
  });
}

Status SortedRuns::spill() {
  sort_held();
  if (file_ < 0) {
    std::string path = directory_ + "/" + std::string(kTemporaryPrefix) + "XXXXXX";
    file_ = ::mkostemp(path.data(), O_CLOEXEC);  // created 0600
    if (file_ < 0) return Error::os(errno);
    if (::unlink(path.c_str()) != 0) return Error::os(errno);  // closed by clear()
  }
  runs_.emplace_back(spilled_bytes_, 0);
  std::string out;
  MemorySource source(*this);
  for (;;) {
    VOSSICK_ASSIGN_OR_RETURN(bool more, source.next());
    if (more) {
      const HeldPut& e = source.current;
      out.push_back(static_cast<char>(e.slot));
      out.push_back(static_cast<char>(e.checked));
      if (e.checked) put_varint(out, e.line);
      put_varint(out, e.key.size());
      put_varint(out, e.value.size());
      out.append(e.key);
      out.append(e.value);
    }
    if (!more || out.size() >= kFileBufferBytes) {
      VOSSICK_TRY(write_all(file_, out));
      spilled_bytes_ += out.size();
      runs_.back().second += out.size();
      out.clear();
    }
    if (!more) break;
  }
  held_.clear();
  arena_.clear();
  return ok_status();
}

void SortedRuns::clear() noexcept {
  if (file_ >= 0) ::close(file_);
  file_ = -1;
  runs_.clear();
  std::vector<Held>().swap(held_);
  std::string().swap(arena_);
}

Status SortedRuns::apply(const Transaction& txn, StopCheck& stop, uint64_t& failed_line) {
  Status status = merge(&txn, stop, failed_line);
  clear();
  return status;
}

Status SortedRuns::check(StopCheck& stop, uint64_t& failed_line) { return merge(nullptr, stop, failed_line); }

// Merges the runs, oldest first, so that puts that sort alike meet in input
// order, and hands each database its entries in order (with `txn`; without,
// only the conflicts are looked for).
Status SortedRuns::merge(const Transaction* txn, StopCheck& stop, uint64_t& failed_line) {
  sort_held();
  std::vector<std::unique_ptr<Source>> sources;
  for (const auto& [offset, length] : runs_) sources.push_back(std::make_unique<FileSource>(file_, offset, length));
  sources.push_back(std::make_unique<MemorySource>(*this));
  const auto after = [&](size_t a, size_t b) {
    const HeldPut& x = sources[a]->current;
    const HeldPut& y = sources[b]->current;
    if (x.slot != y.slot) return x.slot > y.slot;
    const int c = compare(x.slot, x.key, x.value, y.key, y.value);
    return c != 0 ? c > 0 : a > b;
  };
  std::vector<size_t> heap;
  for (size_t i = 0; i < sources.size(); ++i) {
    VOSSICK_ASSIGN_OR_RETURN(bool more, sources[i]->next());
    if (more) heap.push_back(i);
  }
  std::make_heap(heap.begin(), heap.end(), after);

  std::optional<Cursor> cursor;
  bool pending = false;  // a key of the current database is held in `key`
  uint8_t slot = 0;
  std::string key;
  std::string value;  // the value to store under `key`
  bool key_failed = false;
  std::optional<std::pair<uint64_t, Error>> first_failure;
  // Writes the last value of the held key (duplicates are written at once).
  const auto write_pending = [&]() -> Status {
    if (!pending || first_failure || !cursor || slots_[slot].duplicates) return ok_status();
    return cursor->append(key, value, false);
  };

  StopPoll poll(stop, kEntriesPerStopCheck);
  while (!heap.empty()) {
    VOSSICK_TRY(poll.poll());
    std::pop_heap(heap.begin(), heap.end(), after);
    const size_t source = heap.back();
    const HeldPut& e = sources[source]->current;
    const bool new_slot = !pending || e.slot != slot;
    if (new_slot) {
      VOSSICK_TRY(write_pending());
      cursor.reset();
      if (txn != nullptr) {
        VOSSICK_ASSIGN_OR_RETURN(Cursor opened, Cursor::open(*txn, slots_[e.slot].dbi));
        cursor.emplace(std::move(opened));
      }
    }
    const Slot& s = slots_[e.slot];
    MDB_val a = to_val(e.key);
    MDB_val b = to_val(key);
    const bool key_again = !new_slot && mdb_cmp(txn_, s.dbi, &a, &b) == 0;
    if (s.duplicates) {
      MDB_val va = to_val(e.value);
      MDB_val vb = to_val(value);
      const bool pair_again = key_again && mdb_dcmp(txn_, s.dbi, &va, &vb) == 0;
      if (!pair_again && cursor && !first_failure) VOSSICK_TRY(cursor->append(e.key, e.value, key_again));
      if (!key_again) key.assign(e.key);
      value.assign(e.value);
    } else if (key_again) {
      // Another put of the key: checked against the value it replaces, as
      // put_record_unless_conflicting checks against the stored one.
      if (e.checked && !key_failed) {
        VOSSICK_ASSIGN_OR_RETURN(bool same, same_but_subtree_size(value, e.value));
        if (!same) {
          key_failed = true;
          if (!first_failure || e.line < first_failure->first) {
            VOSSICK_ASSIGN_OR_RETURN(uint64_t id, decode_id(e.key));
            first_failure.emplace(e.line, conflicting_record_error(id, e.line));
          }
        }
      }
      if (!key_failed) value.assign(e.value);
    } else {
      if (!new_slot) VOSSICK_TRY(write_pending());
      key.assign(e.key);
      value.assign(e.value);
      key_failed = false;
    }
    pending = true;
    slot = e.slot;

    VOSSICK_ASSIGN_OR_RETURN(bool more, sources[source]->next());
    if (more) {
      std::push_heap(heap.begin(), heap.end(), after);
    } else {
      heap.pop_back();
    }
  }
  VOSSICK_TRY(write_pending());
  if (first_failure) {
    failed_line = first_failure->first;
    return std::move(first_failure->second);
  }
  return ok_status();
}

}  // namespace vossick
