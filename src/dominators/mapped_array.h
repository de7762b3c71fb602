// MappedArray: an array of trivially copyable elements in an anonymous
// mapping of its own, for the dominator computation's per-object and
// per-reference arrays (tens of millions of elements each).
//
// Unlike std::vector it grows without copying (mremap moves page tables, not
// bytes), so a growing array never holds an old and a new copy at once, and
// shrinking or destroying it hands the pages straight back to the system:
// the computation's peak memory is the sum of the arrays alive at one time.
// New elements are zero. Exhausted memory throws std::bad_alloc, as the
// standard containers do; the binding layer turns it into MemoryError.
//
// Thread safety: none; an array has one owner.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace vossick::dominators {

template <class T>
class MappedArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  MappedArray() = default;
  explicit MappedArray(size_t size) { resize(size); }
  MappedArray(MappedArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_bytes_(std::exchange(other.capacity_bytes_, 0)) {}
  MappedArray& operator=(MappedArray&& other) noexcept {
    if (this != &other) {
      reset();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_bytes_ = std::exchange(other.capacity_bytes_, 0);
    }
    return *this;
  }
  ~MappedArray() { reset(); }

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](size_t i) noexcept { return data_[i]; }
  const T& operator[](size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  T& back() noexcept { return data_[size_ - 1]; }

  void push_back(const T& value) {
    if ((size_ + 1) * sizeof(T) > capacity_bytes_) reserve_bytes(capacity_bytes_ + capacity_bytes_ / 2 + sizeof(T));
    data_[size_++] = value;
  }
  void pop_back() noexcept { --size_; }

  // Grows with zeroed elements, or shrinks and returns the whole pages past
  // the new end to the system.
  void resize(size_t size) {
    if (size > size_) {
      const size_t old_end = size_ * sizeof(T);
      const size_t mapped = capacity_bytes_;
      reserve(size);
      // Pages the mapping gains are zero; bytes of the old mapping past the
      // old end may hold earlier elements.
      const size_t stale_end = std::min(size * sizeof(T), mapped);
      if (stale_end > old_end) std::memset(reinterpret_cast<char*>(data_) + old_end, 0, stale_end - old_end);
    } else {
      shrink_to_bytes(size * sizeof(T));
    }
    size_ = size;
  }

  // Room for `capacity` elements, its pages mapped in at once (one call
  // instead of a fault per page) for arrays about to be filled.
  void reserve(size_t capacity) {
    if (capacity * sizeof(T) <= capacity_bytes_) return;
    reserve_bytes(capacity * sizeof(T));
    // A hint; refusal (kernels before 5.14) leaves the pages to faults.
    ::madvise(data_, capacity_bytes_, kPopulateWrite);
  }

  // Hands this array's pages to an array of another element type holding
  // `size` elements, which must fit in the bytes this one holds. The bytes
  // are kept: callers rewrite an array in place as a narrower one.
  template <class U>
  MappedArray<U> reinterpret_as(size_t size) && {
    MappedArray<U> out;
    out.data_ = reinterpret_cast<U*>(std::exchange(data_, nullptr));
    out.capacity_bytes_ = std::exchange(capacity_bytes_, 0);
    out.size_ = size;
    size_ = 0;
    out.shrink_to_bytes(size * sizeof(U));
    return out;
  }

  void reset() noexcept {
    if (data_ != nullptr) ::munmap(data_, capacity_bytes_);
    data_ = nullptr;
    size_ = 0;
    capacity_bytes_ = 0;
  }

 private:
  template <class U>
  friend class MappedArray;

  static constexpr size_t kHugePageBytes = size_t{2} << 20;
#ifdef MADV_POPULATE_WRITE
  static constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
  static constexpr int kPopulateWrite = 23;  // Linux's value, for older headers
#endif

  static size_t page_rounded(size_t bytes) noexcept { return (bytes + 4095) & ~size_t{4095}; }

  void reserve_bytes(size_t bytes) {
    bytes = page_rounded(bytes);
    void* grown = data_ == nullptr
                      ? ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                      : ::mremap(data_, capacity_bytes_, bytes, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_bytes_ = bytes;
    // Large arrays are walked whole: huge pages take a fault and a TLB entry
    // per 2 MiB instead of per 4 KiB. A hint; refusal changes nothing.
    if (bytes >= kHugePageBytes) ::madvise(data_, bytes, MADV_HUGEPAGE);
  }

  void shrink_to_bytes(size_t bytes) noexcept {
    bytes = page_rounded(bytes);
    if (bytes >= capacity_bytes_) return;
    if (bytes == 0) {
      ::munmap(data_, capacity_bytes_);
      data_ = nullptr;
    } else {
      ::munmap(reinterpret_cast<char*>(data_) + bytes, capacity_bytes_ - bytes);
    }
    capacity_bytes_ = bytes;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_bytes_ = 0;
};

}  // namespace vossick::dominators
