#pragma once
// Binding and conversion of the call frames' arguments, with CPython's own messages.

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "py_ref.hpp"
#include "strided_array.hpp"
#include "views.hpp"
#include "vorn.hpp"

namespace vorn::py {

// A function with positional-or-keyword parameters only, the first `required` without default.
struct Signature {
    const char* name;
    std::span<const char* const> params;
    std::size_t required;
};

// Everything here may throw std::bad_alloc: call it inside the entry point's firewall.

// Binds like a Python def with this signature, with the same checks in the same order and the
// same messages. bound[i] receives a new reference, or stays null for an omitted parameter.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                    std::span<PyRef> bound);
// The same into named members: *slots[i] receives parameter i (one slot per parameter).
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                    std::span<PyRef* const> slots);

// Conversions. On failure they return nothing (false) with the unprefixed error set; the frame
// then calls prefix_argument_error with the parameter's name.
bool check_double_array(PyObject* obj, int ndim);
std::optional<double> to_double(PyObject* obj);

struct OptionText {
    PyObject* text;     // the str object as given, kept alive by the frame
    std::string bytes;  // its UTF-8 encoding
};
std::optional<OptionText> to_option_text(PyObject* obj);

using Folds = std::vector<std::vector<std::int64_t>>;
std::optional<Folds> to_folds(PyObject* obj);

// An exact TypeError becomes TypeError("argument '{name}': " + its text), keeping its cause;
// any other pending error is left as it is.
void prefix_argument_error(const char* name);

std::optional<Pruning> parse_pruning(const OptionText& option);
std::optional<Precondition> parse_precondition(const OptionText& option);

// Caller code run by later conversions may have resized or re-typed an array that already
// passed its check; these read the array's memory only after all conversions, checking again.
// Raises the conversion's own (prefixed) TypeError when the array no longer qualifies.
bool recheck_array(PyObject* obj, int ndim, const char* name);
// Only after recheck_array succeeded and with no Python code run since.
StridedArray read_array(PyObject* obj);

}  // namespace vorn::py
