#pragma once
// Test hooks of the fault-injection build of _vorn_core; the shipped module has none of this.
// That build replaces the global allocation functions with counting ones whose k-th call
// throws std::bad_alloc, so that a test can fail every allocation of a call in turn.

#include <Python.h>

namespace vorn::py {

// Adds _call_failing_allocation and _allocation_counts to the module; -1 with an error set.
int add_fault_injection_hooks(PyObject* module);

}  // namespace vorn::py
