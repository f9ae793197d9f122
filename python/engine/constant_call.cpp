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
    static const char* keywords[] = {"x", "values", "weight", "gamma", nullptr};
    PyObject* x = nullptr;
    PyObject* values = nullptr;
    PyObject* weight = nullptr;
    double gamma = 0.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOd:fit_constant",
                                     const_cast<char**>(keywords), &x, &values, &weight,
                                     &gamma)) {
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

    return fit_prepared_samples(*numpy, *xs, *ys, *ws,
                                [&](PreparedSamples&& samples, const CancelHook& cancel) {
                                    return fit_constant_curve(std::move(samples), gamma, cancel);
                                });
}

}  // namespace vorn::py
