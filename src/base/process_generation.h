// Which process a handle belongs to. LMDB environments, transactions and
// cursors, and the descriptors that hold a writer gate, must not be used by a
// process forked from the one that created them: a handle records
// process_generation() when it is created and, finding it changed, knows it
// is in such a child.
//
// Thread safety: may be called from any thread.
#pragma once

#include <cstdint>

namespace vossick {

// Changes in every child forked from this process (never in the process
// itself).
uint64_t process_generation() noexcept;

}  // namespace vossick
