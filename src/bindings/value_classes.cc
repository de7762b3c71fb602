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
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

template <class T>
PyObject* new_holder(PyObject* type, T&& value) {
  PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<Holder<std::decay_t<T>>*>(self)->data = new std::decay_t<T>(std::forward<T>(value));
  return self;
}

constexpr unsigned kResultFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

PyObject* u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* str(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }
PyObject* optional_str(const std::optional<std::string>& s) {
  if (!s) Py_RETURN_NONE;
  return str(*s);
}
PyObject* optional_u64(const std::optional<uint64_t>& v) {
  if (!v) Py_RETURN_NONE;
  return u64(*v);
}

// ---- EstimatorPrecision ----------------------------------------------------

constexpr const char* kPrecisionNames[] = {"NoEstimates", "Low", "Medium", "High", "Exact"};
constexpr int kPrecisionCount = 5;

struct PrecisionObject {
  PyObject_HEAD
  int value;
};

void precision_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* precision_repr(PyObject* self) {
  int value = reinterpret_cast<PrecisionObject*>(self)->value;
  return PyUnicode_FromFormat("EstimatorPrecision.%s", kPrecisionNames[value]);
}

PyObject* precision_int(PyObject* self) { return PyLong_FromLong(reinterpret_cast<PrecisionObject*>(self)->value); }

PyType_Slot precision_slots[] = {
    {Py_tp_doc, const_cast<char*>("Controls the speed and accuracy of subtree-size estimation.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(precision_dealloc)},
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

// ---- TypeSummary -----------------------------------------------------------

PyObject* type_summary_count(PyObject* self, void*) { return u64(data_of<TypeSummary>(self).count); }
PyObject* type_summary_total_size(PyObject* self, void*) { return u64(data_of<TypeSummary>(self).total_size); }

PyGetSetDef type_summary_getset[] = {
    {"count", type_summary_count, nullptr, nullptr, nullptr},
    {"total_size", type_summary_total_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot type_summary_slots[] = {
    {Py_tp_doc, const_cast<char*>("Aggregate counts and sizes for one type.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<TypeSummary>)},
    {Py_tp_getset, type_summary_getset},
    {0, nullptr},
};
PyType_Spec type_summary_spec = {"builtins.TypeSummary", sizeof(Holder<TypeSummary>), 0, kResultFlags,
                                 type_summary_slots};
std::atomic<PyObject*> type_summary_cell{nullptr};

// ---- ObjectSummary ---------------------------------------------------------

PyObject* summary_id(PyObject* self, void*) { return u64(data_of<ObjectSummary>(self).id); }
PyObject* summary_type(PyObject* self, void*) { return str(data_of<ObjectSummary>(self).type); }
PyObject* summary_value(PyObject* self, void*) { return optional_str(data_of<ObjectSummary>(self).value); }
PyObject* summary_size(PyObject* self, void*) { return u64(data_of<ObjectSummary>(self).size); }
PyObject* summary_subtree_size(PyObject* self, void*) {
  return optional_u64(data_of<ObjectSummary>(self).subtree_size);
}

PyGetSetDef object_summary_getset[] = {
    {"id", summary_id, nullptr, nullptr, nullptr},
    {"type", summary_type, nullptr, nullptr, nullptr},
    {"value", summary_value, nullptr, nullptr, nullptr},
    {"size", summary_size, nullptr, nullptr, nullptr},
    {"subtree_size", summary_subtree_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot object_summary_slots[] = {
    {Py_tp_doc, const_cast<char*>("Lightweight object metadata used in lists and graph paths.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<ObjectSummary>)},
    {Py_tp_getset, object_summary_getset},
    {0, nullptr},
};
PyType_Spec object_summary_spec = {"builtins.ObjectSummary", sizeof(Holder<ObjectSummary>), 0, kResultFlags,
                                   object_summary_slots};
std::atomic<PyObject*> object_summary_cell{nullptr};

// ---- ObjectRecord ----------------------------------------------------------

PyObject* record_id(PyObject* self, void*) { return u64(data_of<ObjectRecord>(self).id); }
PyObject* record_type(PyObject* self, void*) { return str(data_of<ObjectRecord>(self).type); }
PyObject* record_references(PyObject* self, void*) { return to_python(data_of<ObjectRecord>(self).references); }
PyObject* record_referrers(PyObject* self, void*) { return to_python(data_of<ObjectRecord>(self).referrers); }
PyObject* record_value(PyObject* self, void*) { return optional_str(data_of<ObjectRecord>(self).value); }
PyObject* record_size(PyObject* self, void*) { return u64(data_of<ObjectRecord>(self).size); }
PyObject* record_subtree_size(PyObject* self, void*) {
  return optional_u64(data_of<ObjectRecord>(self).subtree_size);
}

PyGetSetDef object_record_getset[] = {
    {"id", record_id, nullptr, nullptr, nullptr},
    {"type", record_type, nullptr, nullptr, nullptr},
    {"references", record_references, nullptr, nullptr, nullptr},
    {"referrers", record_referrers, nullptr, nullptr, nullptr},
    {"value", record_value, nullptr, nullptr, nullptr},
    {"size", record_size, nullptr, nullptr, nullptr},
    {"subtree_size", record_subtree_size, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot object_record_slots[] = {
    {Py_tp_doc, const_cast<char*>("Full object record including references and referrers.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<ObjectRecord>)},
    {Py_tp_getset, object_record_getset},
    {0, nullptr},
};
PyType_Spec object_record_spec = {"builtins.ObjectRecord", sizeof(Holder<ObjectRecord>), 0, kResultFlags,
                                  object_record_slots};
std::atomic<PyObject*> object_record_cell{nullptr};

}  // namespace

PyObject* estimator_precision_type() {
  return create_type_once(precision_type_cell, &precision_spec, add_precision_members);
}
PyObject* type_summary_type() { return create_type_once(type_summary_cell, &type_summary_spec); }
PyObject* object_summary_type() { return create_type_once(object_summary_cell, &object_summary_spec); }
PyObject* object_record_type() { return create_type_once(object_record_cell, &object_record_spec); }

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
