#pragma once
// The engine's entry points, one frame each; every frame is its own exception firewall.

#include <Python.h>

namespace vorn::py {

PyObject* call_fit(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* call_prepare(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* call_fit_prepared(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* call_fit_constant(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* call_evaluate(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* call_integrate(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* call_derivative(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* call_antiderivative(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* call_cv_predict(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* call_cv_score(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* call_jump_profiles(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vorn::py
