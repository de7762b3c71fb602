// The one include of Python.h, and small owners for Python references.
// Only the binding layer includes this file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <utility>

#include "base/stop_check.h"

namespace vossick::py {

// An owned (strong) reference, released on scope exit.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : obj_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// Releases the interpreter lock for the lifetime of the object, and is the
// StopCheck of the core work that runs meanwhile: asked, it takes the lock
// back at most every 50 ms to run the pending signal handlers. Once one has
// raised (KeyboardInterrupt for Ctrl-C), it answers stop, and the exception
// stays set for the method to raise when the core has returned its
// Error::interrupted(). The core asks every few thousand steps or polls, so
// reading the clock on every question costs nothing worth counting.
class ReleasedInterpreterLock final : public StopCheck {
 public:
  ReleasedInterpreterLock() : state_(PyEval_SaveThread()), next_check_(Clock::now() + kCheckInterval) {}
  ~ReleasedInterpreterLock() { PyEval_RestoreThread(state_); }

  // Runs `fn` with the lock held again (to check for signals or call back
  // into Python from long work) and releases it after.
  template <class Fn>
  auto with_lock(Fn&& fn) {
    PyEval_RestoreThread(state_);
    struct Release {
      PyThreadState*& state;
      ~Release() { state = PyEval_SaveThread(); }
    } release{state_};
    return fn();
  }
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

  bool stop_requested() override {
    if (stopped_) return true;
    const Clock::time_point now = Clock::now();
    if (now < next_check_) return false;
    next_check_ = now + kCheckInterval;
    PyEval_RestoreThread(state_);
    stopped_ = PyErr_CheckSignals() != 0;
    state_ = PyEval_SaveThread();
    return stopped_;
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kCheckInterval = std::chrono::milliseconds(50);

  PyThreadState* state_;
  Clock::time_point next_check_;
  bool stopped_ = false;
};

}  // namespace vossick::py
