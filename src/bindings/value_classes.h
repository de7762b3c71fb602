// The Python value classes: EstimatorPrecision and the immutable results
// TypeSummary, ObjectSummary and ObjectRecord. Each type object is created
// once, on first need, and kept for the life of the process.
//
// Requires the interpreter lock.
#pragma once

#include <vector>
#include "bindings/python.h"

#include "queries/object_lookup.h"
#include "records/record.h"
#include "storage/encodings.h"

namespace vossick::py {

PyObject* estimator_precision_type();
PyObject* type_summary_type();
PyObject* object_summary_type();
PyObject* object_record_type();

// The member object of a precision value 0 to 4 (borrowed; lives forever).
PyObject* estimator_precision_member(int value);
// Reads the value of an EstimatorPrecision argument; raises the argument TypeError otherwise.
bool convert_precision(const char* param, PyObject* value, int& out);

// New references built from core values.
PyObject* to_python(const TypeSummary& summary);
PyObject* to_python(const ObjectSummary& summary);
PyObject* to_python(ObjectRecord&& record);
PyObject* to_python(const std::vector<ObjectSummary>& summaries);

}  // namespace vossick::py
