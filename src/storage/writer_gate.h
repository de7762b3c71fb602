// The writer gate.
//
// LMDB's writer lock cannot be waited for with a timeout, so a writer that
// waits inside mdb_txn_begin can neither be interrupted nor give up. Every
// writer of this module therefore first takes the gate: an exclusive
// advisory lock (flock) on the environment's data file, polled, asking a
// StopCheck between polls. Whoever holds the gate meets LMDB's lock free
// (or held only by a program that writes without the gate, which LMDB's lock
// still keeps out: the gate orders our writers, it guards nothing).
//
// Each hold opens a descriptor of its own, so threads of one process exclude
// each other as processes do; the kernel drops the lock when its holder dies.
// A forked child closes its copies of the descriptors held at the fork (a
// fork handler), so that it never keeps its parent's hold alive.
//
// Thread safety: a WriterGate is owned by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "base/process_generation.h"
#include "base/result.h"
#include "base/stop_check.h"

namespace vossick {

class WriterGate {
 public:
  // Waits until this holder has the gate of `data_file`, polling every 20 ms
  // and asking `stop` between polls: Error::interrupted() when it says stop,
  // the OS message when the file cannot be opened or locked.
  static Result<WriterGate> acquire(const std::string& data_file, StopCheck& stop);

  WriterGate() = default;
  WriterGate(WriterGate&& other) noexcept : fd_(std::exchange(other.fd_, -1)), generation_(other.generation_) {}
  WriterGate& operator=(WriterGate&& other) noexcept;
  ~WriterGate() { release(); }

  bool held() const noexcept { return fd_ >= 0; }
  void release() noexcept;

 private:
  WriterGate(int fd, uint64_t generation) : fd_(fd), generation_(generation) {}

  int fd_ = -1;
  uint64_t generation_ = 0;
};

}  // namespace vossick
