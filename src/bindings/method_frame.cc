#include "bindings/method_frame.h"

#include <cstring>

namespace vossick::py {

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += (i + 1 == names.size()) ? " and " : ", ";
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

// Binds positional values and (name, value) keyword pairs.
bool bind(const Signature& sig, PyObject* const* positional, Py_ssize_t nargs, PyObject* const* kw_names,
          PyObject* const* kw_values, Py_ssize_t nkw, PyObject** out) {
  const std::string name = sig.display_name;
  if (nargs > static_cast<Py_ssize_t>(sig.count)) {
    std::string message = name + " takes " + std::to_string(sig.count) + " positional arguments but " +
                          std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }
  for (size_t i = 0; i < sig.count; ++i) out[i] = i < static_cast<size_t>(nargs) ? positional[i] : nullptr;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = kw_names[k];
    size_t match = sig.count;
    if (PyUnicode_Check(key)) {
      for (size_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
          match = i;
          break;
        }
      }
    }
    if (match == sig.count) {
      Ref text(PyObject_Str(key));
      if (!text) return false;
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
      if (utf8 == nullptr) return false;
      std::string message = name + " got an unexpected keyword argument '" + std::string(utf8, size) + "'";
      PyErr_SetString(PyExc_TypeError, message.c_str());
      return false;
    }
    if (out[match] != nullptr) {
      std::string message = name + " got multiple values for argument '" + sig.params[match] + "'";
      PyErr_SetString(PyExc_TypeError, message.c_str());
      return false;
    }
    out[match] = kw_values[k];
  }
  std::vector<const char*> missing;
  for (size_t i = 0; i < sig.count && i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.params[i]);
  }
  if (!missing.empty()) {
    std::string message = name + " missing " + std::to_string(missing.size()) + " required positional argument" +
                          (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
  }
  return true;
}

std::string type_name_of(PyObject* value) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) return std::string(utf8, size);
  }
  PyErr_Clear();
  return "?";
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  std::vector<PyObject*> names(static_cast<size_t>(nkw));
  for (Py_ssize_t k = 0; k < nkw; ++k) names[k] = PyTuple_GetItem(kwnames, k);
  return bind(sig, args, nargs, names.data(), args + nargs, nkw, out);
}

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_Size(args);
  std::vector<PyObject*> positional(static_cast<size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) positional[i] = PyTuple_GetItem(args, i);
  std::vector<PyObject*> names, values;
  if (kwargs != nullptr) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      names.push_back(key);
      values.push_back(value);
    }
  }
  return bind(sig, positional.data(), nargs, names.data(), values.data(), static_cast<Py_ssize_t>(names.size()), out);
}

PyObject* panic_exception_type() {
  // Created once and kept for the life of the process, like the classes.
  static PyObject* type =
      PyErr_NewExceptionWithDoc("vossick_analysis.PanicException",
                                "Raised when an internal invariant of the module is violated (a bug, not bad input).",
                                PyExc_BaseException, nullptr);
  return type;
}

PyObject* raise_error(const Error& error) {
  switch (error.kind()) {
    case ErrorKind::kPython:
      // The exception is already pending; it is re-raised unchanged.
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "lost Python exception");
      break;
    case ErrorKind::kInterrupted:
      // A signal handler's exception is pending (ReleasedInterpreterLock).
      if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
      break;
    case ErrorKind::kPanic:
      if (PyObject* type = panic_exception_type()) PyErr_SetString(type, error.text().c_str());
      break;
    default: PyErr_SetString(PyExc_RuntimeError, error.text().c_str()); break;
  }
  return nullptr;
}

bool raise_wrong_class(const char* param, PyObject* value, const char* expected) {
  std::string message;
  if (param != nullptr) {
    message += "argument '";
    message += param;
    message += "': ";
  }
  if (value == Py_None) {
    message += "'None' is not an instance of '";
  } else {
    message += '\'';
    message += type_name_of(value);
    message += "' object is not an instance of '";
  }
  message += expected;
  message += '\'';
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

namespace {

bool add_note(PyObject* exception, const std::string& note) {
  Ref text(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  if (!text) return false;
  if (PyObject_HasAttrString(exception, "add_note")) {
    return Ref(PyObject_CallMethod(exception, "add_note", "O", text.get())).get() != nullptr;
  }
  Ref notes(PyObject_GetAttrString(exception, "__notes__"));
  if (!notes) {
    PyErr_Clear();
    notes = Ref(PyList_New(0));
    if (!notes || PyObject_SetAttrString(exception, "__notes__", notes.get()) < 0) return false;
  }
  return PyList_Check(notes.get()) && PyList_Append(notes.get(), text.get()) == 0;
}

}  // namespace

PyObject* add_note_to_raised(const std::string& note) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && !add_note(value, note)) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  return nullptr;
}

bool prefix_argument_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  Ref text(value ? PyObject_Str(value) : PyUnicode_FromString(""));
  if (!text) return false;
  Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return false;
  Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return false;
  if (value != nullptr) {
    if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(replacement.get(), cause);
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  return false;
}

bool convert_str(const char* param, PyObject* value, std::string& out) {
  if (!PyUnicode_Check(value)) return raise_wrong_class(param, value, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return prefix_argument_error(param);
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

bool convert_u64(const char* param, PyObject* value, uint64_t& out) {
  if (!PyLong_Check(value) && !PyIndex_Check(value)) return raise_wrong_class(param, value, "int");
  Ref index(PyNumber_Index(value));
  if (!index) return prefix_argument_error(param);
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return prefix_argument_error(param);
  out = v;
  return true;
}

bool convert_type(const char* param, PyObject* value, Type& out) {
  std::string name;
  if (!convert_str(param, value, name)) return false;
  out = Type::named(name);
  return true;
}

bool convert_bool(const char* param, PyObject* value, bool& out) {
  if (!PyBool_Check(value)) return raise_wrong_class(param, value, "bool");
  out = value == Py_True;
  return true;
}

bool convert_optional_u64(const char* param, PyObject* value, std::optional<uint64_t>& out) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  uint64_t v = 0;
  if (!convert_u64(param, value, v)) return false;
  out = v;
  return true;
}

bool convert_id_set(const char* param, PyObject* value, std::unordered_set<uint64_t>& out) {
  if (!PyAnySet_Check(value)) return raise_wrong_class(param, value, "set");
  Ref iterator(PyObject_GetIter(value));
  if (!iterator) return prefix_argument_error(param);
  out.clear();
  while (Ref item{PyIter_Next(iterator.get())}) {
    uint64_t id = 0;
    if (!convert_u64(param, item.get(), id)) return false;
    out.insert(id);
  }
  return !PyErr_Occurred() || prefix_argument_error(param);
}

}  // namespace vossick::py
