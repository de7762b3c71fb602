#include "bindings/value_classes.h"

#include <atomic>

#include "bindings/method_frame.h"

namespace vossick::py {

namespace {

// Instances hold their value in a C++ object owned by the Python object.
template <class T>
struct Holder {
  PyObject_HEAD
  T* data;
};

template <class T>
T& data_of(PyObject* self) {
  return *reinterpret_cast<Holder<T>*>(self)->data;
}

template <class T>
void holder_dealloc(PyObject* self) {
  delete reinterpret_cast<Holder<T>*>(self)->data;
  free_heap_instance(self);
}

template <class T>
PyObject* new_holder(PyObject* type, T&& value) {
  PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<Holder<std::decay_t<T>>*>(self)->data = new std::decay_t<T>(std::forward<T>(value));
  return self;
}

// A new Python object for a field of a value class: reading an attribute
// builds one each time, so the value stays immutable.
PyObject* field_to_python(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* field_to_python(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
template <class T>
PyObject* field_to_python(const std::optional<T>& v) {
  if (!v) Py_RETURN_NONE;
  return field_to_python(*v);
}
PyObject* field_to_python(const std::vector<ObjectSummary>& summaries) { return to_python(summaries); }

// The getter of the attribute that reads `Field` of a T.
template <class T, auto Field>
PyObject* attribute(PyObject* self, void*) {
  return field_to_python(data_of<T>(self).*Field);
}

template <class T, auto Field>
constexpr PyGetSetDef read_only(const char* name) {
  return {name, attribute<T, Field>, nullptr, nullptr, nullptr};
}

// ---- EstimatorPrecision ----------------------------------------------------

constexpr const char* kPrecisionNames[] = {"NoEstimates", "Low", "Medium", "High", "Exact"};
constexpr int kPrecisionCount = 5;

struct PrecisionObject {
  PyObject_HEAD
  int value;
};

PyObject* precision_repr(PyObject* self) {
  int value = reinterpret_cast<PrecisionObject*>(self)->value;
  return PyUnicode_FromFormat("EstimatorPrecision.%s", kPrecisionNames[value]);
}

PyObject* precision_int(PyObject* self) { return PyLong_FromLong(reinterpret_cast<PrecisionObject*>(self)->value); }

PyType_Slot precision_slots[] = {
    {Py_tp_doc, const_cast<char*>("Controls the speed and accuracy of subtree-size estimation.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_heap_instance)},
    {Py_tp_repr, reinterpret_cast<void*>(precision_repr)},
    {Py_nb_int, reinterpret_cast<void*>(precision_int)},
    {0, nullptr},
};
// Members are set as class attributes after creation, so this type is not
// flagged immutable.
PyType_Spec precision_spec = {"builtins.EstimatorPrecision", sizeof(PrecisionObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, precision_slots};

std::atomic<PyObject*> precision_type_cell{nullptr};
std::atomic<PyObject*> precision_cells[kPrecisionCount];

void add_precision_members(PyObject* type) {
  for (int v = 0; v < kPrecisionCount; ++v) {
    PyObject* member = estimator_precision_member(v);
    if (member == nullptr || PyObject_SetAttrString(type, kPrecisionNames[v], member) < 0) {
      PyErr_Clear();
    }
  }
}

// ---- The result classes -----------------------------------------------------
//
// What tells TypeSummary, ObjectSummary and ObjectRecord apart; result_type
// builds each from it. Their names ("builtins." + the class name),
// docstrings and attribute names are part of the module's public contract.

template <class T>
struct ResultClass;

template <>
struct ResultClass<TypeSummary> {
  static constexpr const char* kName = "builtins.TypeSummary";
  static constexpr const char* kDoc = "Aggregate counts and sizes for one type.";
  static inline PyGetSetDef getset[] = {
      read_only<TypeSummary, &TypeSummary::count>("count"),
      read_only<TypeSummary, &TypeSummary::total_size>("total_size"),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
};

template <>
struct ResultClass<ObjectSummary> {
  static constexpr const char* kName = "builtins.ObjectSummary";
  static constexpr const char* kDoc = "Lightweight object metadata used in lists and graph paths.";
  static inline PyGetSetDef getset[] = {
      read_only<ObjectSummary, &ObjectSummary::id>("id"),
      read_only<ObjectSummary, &ObjectSummary::type>("type"),
      read_only<ObjectSummary, &ObjectSummary::value>("value"),
      read_only<ObjectSummary, &ObjectSummary::size>("size"),
      read_only<ObjectSummary, &ObjectSummary::subtree_size>("subtree_size"),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
};

template <>
struct ResultClass<ObjectRecord> {
  static constexpr const char* kName = "builtins.ObjectRecord";
  static constexpr const char* kDoc = "Full object record including references and referrers.";
  static inline PyGetSetDef getset[] = {
      read_only<ObjectRecord, &ObjectRecord::id>("id"),
      read_only<ObjectRecord, &ObjectRecord::type>("type"),
      read_only<ObjectRecord, &ObjectRecord::references>("references"),
      read_only<ObjectRecord, &ObjectRecord::referrers>("referrers"),
      read_only<ObjectRecord, &ObjectRecord::value>("value"),
      read_only<ObjectRecord, &ObjectRecord::size>("size"),
      read_only<ObjectRecord, &ObjectRecord::subtree_size>("subtree_size"),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
};

// Immutable instances holding a T, with read-only attributes and no
// constructor.
template <class T>
PyObject* result_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(ResultClass<T>::kDoc)},
      {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<T>)},
      {Py_tp_getset, ResultClass<T>::getset},
      {0, nullptr},
  };
  static PyType_Spec spec = {ResultClass<T>::kName, sizeof(Holder<T>), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, slots};
  static std::atomic<PyObject*> cell{nullptr};
  return create_type_once(cell, &spec);
}

}  // namespace

PyObject* estimator_precision_type() {
  return create_type_once(precision_type_cell, &precision_spec, add_precision_members);
}
PyObject* type_summary_type() { return result_type<TypeSummary>(); }
PyObject* object_summary_type() { return result_type<ObjectSummary>(); }
PyObject* object_record_type() { return result_type<ObjectRecord>(); }

PyObject* estimator_precision_member(int value) {
  std::atomic<PyObject*>& cell = precision_cells[value];
  if (PyObject* existing = cell.load(std::memory_order_acquire)) return existing;
  PyObject* type = estimator_precision_type();
  if (type == nullptr) return nullptr;
  // Creating the type creates the members; the cell may be filled now.
  if (PyObject* existing = cell.load(std::memory_order_acquire)) return existing;
  PyObject* member = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (member == nullptr) return nullptr;
  reinterpret_cast<PrecisionObject*>(member)->value = value;
  PyObject* expected = nullptr;
  if (!cell.compare_exchange_strong(expected, member, std::memory_order_acq_rel)) {
    Py_DECREF(member);
    return expected;
  }
  return member;  // the cell keeps this reference for the life of the process
}

bool convert_precision(const char* param, PyObject* value, int& out) {
  PyObject* type = estimator_precision_type();
  if (type == nullptr) return false;
  if (!PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
    return raise_wrong_class(param, value, "EstimatorPrecision");
  }
  out = reinterpret_cast<PrecisionObject*>(value)->value;
  return true;
}

PyObject* to_python(const TypeSummary& summary) {
  PyObject* type = type_summary_type();
  return type ? new_holder(type, TypeSummary(summary)) : nullptr;
}

PyObject* to_python(const ObjectSummary& summary) {
  PyObject* type = object_summary_type();
  return type ? new_holder(type, ObjectSummary(summary)) : nullptr;
}

PyObject* to_python(ObjectRecord&& record) {
  PyObject* type = object_record_type();
  return type ? new_holder(type, std::move(record)) : nullptr;
}

PyObject* to_python(const std::vector<ObjectSummary>& summaries) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(summaries.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < summaries.size(); ++i) {
    PyObject* item = to_python(summaries[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

}  // namespace vossick::py
