// The one include of Python.h, and small owners for Python references.
// Only the binding layer includes this file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

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

// Releases the interpreter lock for the lifetime of the object.
class ReleasedInterpreterLock {
 public:
  ReleasedInterpreterLock() : state_(PyEval_SaveThread()) {}
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

 private:
  PyThreadState* state_;
};

}  // namespace vossick::py
