#include "base/process_generation.h"

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace vossick {

namespace {

std::atomic<uint64_t> generation{0};

}  // namespace

uint64_t process_generation() noexcept {
  // Installed before the first handle records a generation, so every fork
  // after that changes it.
  static std::once_flag once;
  std::call_once(once, [] { pthread_atfork(nullptr, nullptr, [] { generation.fetch_add(1); }); });
  return generation.load(std::memory_order_relaxed);
}

}  // namespace vossick
