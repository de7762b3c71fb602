// The one include of Python.h, small owners for Python references and
// objects, and the StopCheck through which long core work reaches Python.
// Only the binding layer includes this file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <utility>

#include "base/result.h"
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
// StopCheck of the core work that runs meanwhile, the one way long work
// reaches Python. Asked whether to stop, it takes the lock back at most every
// 50 ms to run the pending signal handlers; once one has raised
// (KeyboardInterrupt for Ctrl-C), it answers stop, and the exception stays
// set for the method to raise when the core has returned its
// Error::interrupted(). Told of progress, it takes the lock back, runs the
// pending signal handlers and calls `progress(done, total)` if it was given
// one; an exception from either ends the work with Error::python_pending().
// The core asks every few thousand steps or polls, so reading the clock on
// every question costs nothing worth counting.
class ReleasedInterpreterLock final : public StopCheck {
 public:
  // `progress`: a callable, borrowed for the object's lifetime, or nullptr.
  explicit ReleasedInterpreterLock(PyObject* progress = nullptr)
      : progress_(progress), state_(PyEval_SaveThread()), next_check_(Clock::now() + kCheckInterval) {}
  ~ReleasedInterpreterLock() { PyEval_RestoreThread(state_); }
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

  Status report_progress(uint64_t done, uint64_t total) override {
    PyEval_RestoreThread(state_);
    bool raised = PyErr_CheckSignals() != 0;
    if (!raised && progress_ != nullptr) {
      PyObject* called = PyObject_CallFunction(progress_, "KK", static_cast<unsigned long long>(done),
                                               static_cast<unsigned long long>(total));
      raised = called == nullptr;
      Py_XDECREF(called);
    }
    state_ = PyEval_SaveThread();
    return raised ? Status(Error::python_pending()) : ok_status();
  }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kCheckInterval = std::chrono::milliseconds(50);

  PyObject* progress_;
  PyThreadState* state_;
  Clock::time_point next_check_;
  bool stopped_ = false;
};

// The tp_dealloc of a heap type's instance that holds nothing to release:
// frees it and drops its reference to the type.
inline void free_heap_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// The type object of `spec`, created on first need and kept for the life of
// the process in `cell`; a thread that loses the race to create it discards
// its own. `after_create` runs once, on the type that is kept.
inline PyObject* create_type_once(std::atomic<PyObject*>& cell, PyType_Spec* spec,
                                  void (*after_create)(PyObject*) = nullptr) {
  if (PyObject* existing = cell.load(std::memory_order_acquire)) return existing;
  PyObject* type = PyType_FromSpec(spec);
  if (type == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!cell.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
    Py_DECREF(type);
    return expected;
  }
  if (after_create != nullptr) after_create(type);
  return type;
}

}  // namespace vossick::py
