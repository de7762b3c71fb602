// U64HashMap: an insert-only open-addressing hash map from u64 keys to small
// trivially copyable values, built to hold tens of millions of entries.
//
// Each slot is the key followed by the value, probed linearly; the table
// doubles when it would pass 3/4 full. Keys are hashed with XXH3-64 (seed 0)
// over their 8 little-endian bytes. There is no erase, so no tombstones.
// Key 0 marks an empty slot and is therefore kept outside the table.
//
// Thread-safety: none; a map belongs to one thread. Pointers returned by find
// and try_emplace stay valid until the next insertion of a new key.
//
// Memory exhaustion throws std::bad_alloc, as every standard container does.
//
// Probes land at random: in a table of tens of megabytes nearly every one
// would also miss the TLB on 4 KiB pages, so large tables are mapped on their
// own, aligned to 2 MiB and offered to the kernel's transparent huge pages.
// 2 MiB is the huge page of x86-64 and of aarch64 with 4 KiB pages. With other
// page sizes (aarch64's 16 or 64 KiB) the mapping is still correct, since 2
// MiB is a multiple of every base page, and the hint merely finds fewer huge
// pages to use.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include <sys/mman.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vossick {

inline uint64_t hash_u64_key(uint64_t key) noexcept {
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(key >> (8 * i));
  return XXH3_64bits(bytes, sizeof bytes);
}

template <class V>
class U64HashMap {
  // Slots come zero-filled from calloc and are copied bitwise when rehashing.
  static_assert(std::is_trivially_copyable_v<V> && std::is_trivially_default_constructible_v<V>,
                "U64HashMap stores plain values only");

 public:
  U64HashMap() = default;
  U64HashMap(const U64HashMap&) = delete;
  U64HashMap& operator=(const U64HashMap&) = delete;
  U64HashMap(U64HashMap&& other) noexcept { swap(other); }
  U64HashMap& operator=(U64HashMap&& other) noexcept {
    U64HashMap(std::move(other)).swap(*this);
    return *this;
  }
  ~U64HashMap() { release(slots_, capacity()); }

  size_t size() const noexcept { return table_size_ + (zero_key_value_.has_value() ? 1 : 0); }
  // Number of slots in the table; its memory is capacity() * (8 + sizeof(V)) bytes.
  size_t capacity() const noexcept { return slots_ == nullptr ? 0 : mask_ + 1; }

  V* find(uint64_t key) noexcept { return const_cast<V*>(std::as_const(*this).find(key)); }
  const V* find(uint64_t key) const noexcept {
    if (key == kEmptyKey) return zero_key_value_.has_value() ? &*zero_key_value_ : nullptr;
    if (slots_ == nullptr) return nullptr;
    for (size_t i = hash_u64_key(key) & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.key == key) return &slot.value;
      if (slot.key == kEmptyKey) return nullptr;
    }
  }
  bool contains(uint64_t key) const noexcept { return find(key) != nullptr; }

  // Starts loading the slot where a look-up of `key` begins, for a look-up
  // expected soon. Changes nothing.
  void prefetch(uint64_t key) const noexcept {
    if (slots_ != nullptr) __builtin_prefetch(&slots_[hash_u64_key(key) & mask_]);
  }

  // Inserts `value` under `key` unless the key is present. Returns the stored
  // value and whether it was inserted.
  std::pair<V*, bool> try_emplace(uint64_t key, const V& value) {
    if (key == kEmptyKey) {
      if (zero_key_value_.has_value()) return {&*zero_key_value_, false};
      zero_key_value_ = value;
      return {&*zero_key_value_, true};
    }
    if ((table_size_ + 1) * 4 > capacity() * 3) grow(capacity() == 0 ? kMinCapacity : capacity() * 2);
    for (size_t i = hash_u64_key(key) & mask_;; i = (i + 1) & mask_) {
      Slot& slot = slots_[i];
      if (slot.key == key) return {&slot.value, false};
      if (slot.key == kEmptyKey) {
        slot.key = key;
        slot.value = value;
        ++table_size_;
        return {&slot.value, true};
      }
    }
  }

  // Makes room for `count` keys without further rehashing.
  void reserve(size_t count) {
    size_t wanted = kMinCapacity;
    while (wanted / 4 * 3 < count) wanted *= 2;
    if (wanted > capacity()) grow(wanted);
  }

  void swap(U64HashMap& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(mask_, other.mask_);
    std::swap(table_size_, other.table_size_);
    std::swap(zero_key_value_, other.zero_key_value_);
  }

 private:
  struct Slot {
    uint64_t key;
    V value;
  };
  static constexpr uint64_t kEmptyKey = 0;
  static constexpr size_t kMinCapacity = 16;

  void grow(size_t new_capacity) {
    Slot* fresh = allocate_zeroed(new_capacity);
    const size_t new_mask = new_capacity - 1;
    for (size_t i = 0; i < capacity(); ++i) {
      const Slot& slot = slots_[i];
      if (slot.key == kEmptyKey) continue;
      size_t j = hash_u64_key(slot.key) & new_mask;
      while (fresh[j].key != kEmptyKey) j = (j + 1) & new_mask;
      fresh[j] = slot;
    }
    release(slots_, capacity());
    slots_ = fresh;
    mask_ = new_mask;
  }

  static constexpr size_t kHugePageBytes = size_t{2} << 20;
  static constexpr size_t kMappedTableBytes = 2 * kHugePageBytes;

  static size_t mapped_bytes(size_t count) noexcept {
    return (count * sizeof(Slot) + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  }
  static bool is_mapped(size_t count) noexcept { return count * sizeof(Slot) >= kMappedTableBytes; }

  static Slot* allocate_zeroed(size_t count) {
    if (!is_mapped(count)) {
      void* memory = std::calloc(count, sizeof(Slot));
      if (memory == nullptr) throw std::bad_alloc();
      return static_cast<Slot*>(memory);
    }
    // Map one huge page more than needed and trim both ends to the alignment.
    const size_t bytes = mapped_bytes(count);
    void* mapped = mmap(nullptr, bytes + kHugePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
    if (aligned > start) munmap(mapped, aligned - start);
    const size_t tail = start + kHugePageBytes - aligned;
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);  // a hint; failure changes nothing
#endif
    return reinterpret_cast<Slot*>(aligned);
  }

  static void release(Slot* slots, size_t count) noexcept {
    if (slots == nullptr) return;
    if (is_mapped(count)) {
      munmap(slots, mapped_bytes(count));
    } else {
      std::free(slots);
    }
  }

  Slot* slots_ = nullptr;
  size_t mask_ = 0;
  size_t table_size_ = 0;  // keys in `slots_`, key 0 not counted
  std::optional<V> zero_key_value_;
};

}  // namespace vossick
