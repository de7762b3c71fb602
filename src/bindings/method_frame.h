// The frame every HeapDumpExplorer method shares: binding arguments by
// position and keyword, converting them, and turning core errors into Python
// exceptions exactly once. The texts of the binding and conversion errors
// ("HeapDumpExplorer.get_object() missing 1 required positional argument:
// 'obj_id'", "argument 'obj_id': 'str' object is not an instance of 'int'")
// are part of the module's public contract: callers match on them.
//
// All functions here require the interpreter lock. Functions returning bool
// return false with a Python exception set.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/result.h"
#include "bindings/python.h"
#include "storage/encodings.h"

namespace vossick::py {

// A callable's parameters, positional or keyword. The first `required` must
// be given; the others are bound to nullptr when absent.
struct Signature {
  const char* display_name;  // "HeapDumpExplorer.get_object()"
  const char* const* params;
  size_t count;
  size_t required = SIZE_MAX;  // all
};

// Binds a vectorcall argument vector into `out` (borrowed references, one per
// parameter), raising the binding TypeErrors.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a classic (args tuple, kwargs dict) call.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Raises the exception that a core error maps to; always returns nullptr.
PyObject* raise_error(const Error& error);
// The exception class for violated internal invariants (derives from BaseException).
PyObject* panic_exception_type();

// "'bytes' object is not an instance of 'str'" ("'None' is not ..." for None),
// raised as TypeError prefixed with the parameter name (unless `param` is
// null: for values that are no argument themselves).
bool raise_wrong_class(const char* param, PyObject* value, const char* expected);
// Adds `note` to the exception being raised, as BaseException.add_note does
// from Python 3.11 on (before it, by appending to `__notes__`). The
// exception stays as it is if the note cannot be added. Returns nullptr.
PyObject* add_note_to_raised(const std::string& note);
// Re-raises a pending TypeError as "argument 'PARAM': " + its message; other
// exception classes pass unchanged. Returns false.
bool prefix_argument_error(const char* param);

// Argument conversions.
bool convert_str(const char* param, PyObject* value, std::string& out);
bool convert_u64(const char* param, PyObject* value, uint64_t& out);
bool convert_type(const char* param, PyObject* value, Type& out);
bool convert_bool(const char* param, PyObject* value, bool& out);
bool convert_optional_u64(const char* param, PyObject* value, std::optional<uint64_t>& out);
bool convert_id_set(const char* param, PyObject* value, std::unordered_set<uint64_t>& out);

// Runs `body` (returning a new reference or nullptr). The core's containers
// report exhausted memory by throwing std::bad_alloc; it becomes MemoryError
// here instead of unwinding into the interpreter.
template <class Body>
PyObject* with_memory_errors(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace vossick::py
