#pragma once
// The dictionary that vorn returns, built from one fit.

#include <Python.h>

#include "numpy_api.hpp"
#include "py_ref.hpp"
#include "vorn.hpp"

namespace vorn::py {

// Consumes the fit: its large buffers become the memory of the result arrays. Null with a
// Python error set on failure, after everything made so far has been released. May throw
// std::bad_alloc (the caller's firewall turns it into MemoryError).
PyRef build_result_dict(const np::Api& numpy, FitResult&& fit);

// breaks, coefs, dim, order of one form, as copies.
PyRef build_pp_dict(const np::Api& numpy, const PpForm& form);

}  // namespace vorn::py
