// How long work learns that its caller wants it to stop (in the module: a
// signal such as Ctrl-C reaching the Python thread that waits for it), and
// how it tells its caller how far it has come. The work asks now and then,
// only where giving up leaves nothing half-written, and when told to stop
// returns the error it was given (Error::interrupted() from stop_requested);
// the owners of its transactions then abort them.
//
// Thread safety: a StopCheck is used only on the thread doing the work.
#pragma once

#include <cstdint>

#include "base/result.h"

namespace vossick {

class StopCheck {
 public:
  // Once true, stays true.
  virtual bool stop_requested() = 0;

  // Work that knows its length reports `done` of `total` steps now and then,
  // first with 0 done, last with all done. An error ends the work with that
  // error. Here: Error::interrupted() once stop_requested().
  virtual Status report_progress(uint64_t /*done*/, uint64_t /*total*/) {
    return stop_requested() ? Status(Error::interrupted()) : ok_status();
  }

 protected:
  ~StopCheck() = default;
};

// For work that nobody interrupts (tests, benchmarks, the fuzzers).
inline StopCheck& never_stop() {
  struct Never final : StopCheck {
    bool stop_requested() override { return false; }
  };
  static Never never;
  return never;
}

// Asks a StopCheck on every `period`-th call of poll(), for loops over
// millions of items whose single steps are too short to ask each time.
class StopPoll {
 public:
  StopPoll(StopCheck& stop, uint32_t period) : stop_(stop), period_(period) {}

  Status poll() {
    if (++calls_ < period_) return ok_status();
    calls_ = 0;
    return stop_.stop_requested() ? Status(Error::interrupted()) : ok_status();
  }

 private:
  StopCheck& stop_;
  const uint32_t period_;
  uint32_t calls_ = 0;
};

}  // namespace vossick
