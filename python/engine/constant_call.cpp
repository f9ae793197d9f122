#include <Python.h>

#include <optional>
#include <utility>

#include "arrays.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "fit_constant.hpp"
#include "prepared.hpp"

namespace vorn::py {

PyObject* call_fit_constant(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"x", "values", "weight", "gamma", "with_samples", nullptr};
    PyObject* x = nullptr;
    PyObject* values = nullptr;
    PyObject* weight = nullptr;
    double gamma = 0.0;
    int with_samples = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOd|p:fit_constant",
                                     const_cast<char**>(keywords), &x, &values, &weight,
                                     &gamma, &with_samples)) {
        return nullptr;
    }
    const np::Api* numpy = np::api();
    if (numpy == nullptr) return nullptr;
    const std::optional<StridedArray> xs = strided_array(*numpy, x, 1, "x");
    if (!xs) return nullptr;
    const std::optional<StridedArray> ys = strided_array(*numpy, values, 2, "values");
    if (!ys) return nullptr;
    const std::optional<StridedArray> ws = strided_array(*numpy, weight, 1, "weight");
    if (!ws) return nullptr;
    // As fit_prepared: the parameter before the samples.
    if (const std::optional<InputError> error = check_gamma(gamma)) {
        firewall([&] { PyErr_SetString(PyExc_ValueError, error->message().c_str()); });
        return nullptr;
    }

    if (const std::optional<PreparedView> in_place = contiguous_samples(*xs, *ys, *ws)) {
        return fit_prepared_in_place(
            *numpy, *in_place,
            [&](const PreparedView& samples, const CancelHook& cancel) {
                return fit_constant_curve_in_place(samples, gamma, cancel);
            },
            with_samples != 0);
    }
    return fit_prepared_samples(
        *numpy, *xs, *ys, *ws,
        [&](PreparedSamples&& samples, const CancelHook& cancel) {
            return fit_constant_curve(std::move(samples), gamma, cancel);
        },
        with_samples != 0);
}

}  // namespace vorn::py
