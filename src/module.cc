// The extension module vossick_analysis: multi-phase initialisation whose
// single execution slot adds the five classes.
#include "bindings/explorer_type.h"
#include "bindings/python.h"
#include "bindings/value_classes.h"

namespace {

int exec_module(PyObject* module) {
  struct Class {
    const char* name;
    PyObject* (*type)();
  };
  static const Class classes[] = {
      {"EstimatorPrecision", vossick::py::estimator_precision_type},
      {"HeapDumpExplorer", vossick::py::heap_dump_explorer_type},
      {"ObjectRecord", vossick::py::object_record_type},
      {"ObjectSummary", vossick::py::object_summary_type},
      {"TypeSummary", vossick::py::type_summary_type},
  };
  for (const Class& c : classes) {
    PyObject* type = c.type();  // kept for the life of the process
    if (type == nullptr) return -1;
    Py_INCREF(type);
    if (PyModule_AddObject(module, c.name, type) < 0) {
      Py_DECREF(type);
      return -1;
    }
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vossick_analysis",
    "Python bindings for Vossick's heap-dump analysis primitives.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vossick_analysis() { return PyModuleDef_Init(&module_def); }
