// The HeapDumpExplorer class. Requires the interpreter lock.
#pragma once

#include "bindings/python.h"

namespace vossick::py {

PyObject* heap_dump_explorer_type();

}  // namespace vossick::py
