#include <Python.h>

#include <optional>
#include <span>
#include <utility>

#include "arrays.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "ppform.hpp"
#include "unlocked.hpp"

namespace vorn::py {

namespace {

// A derivative order as the engine takes it: a non-negative int.
std::optional<unsigned> derivative_order(int nu) {
    if (nu < 0) {
        PyErr_Format(PyExc_ValueError, "nu must be >= 0, got %d", nu);
        return std::nullopt;
    }
    return static_cast<unsigned>(nu);
}

PyRef coefs_array(const np::Api& numpy, PpForm&& form) {
    return adopt_doubles(numpy, std::move(form.coefs), {form.pieces(), form.dim, form.order});
}

}  // namespace

PyObject* call_evaluate(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"breaks", "coefs", "sites", "nu", "left", nullptr};
    PyObject* breaks = nullptr;
    PyObject* coefs = nullptr;
    PyObject* sites = nullptr;
    int nu = 0;
    int left = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|ip:evaluate", const_cast<char**>(keywords),
                                     &breaks, &coefs, &sites, &nu, &left)) {
        return nullptr;
    }
    const np::Api* numpy = np::api();
    if (numpy == nullptr) return nullptr;
    const std::optional<PpView> form = pp_arguments(*numpy, breaks, coefs);
    if (!form) return nullptr;
    const std::optional<DoubleArray> at = double_array(*numpy, sites, 1, "sites");
    if (!at) return nullptr;
    const std::optional<unsigned> order = derivative_order(nu);
    if (!order) return nullptr;

    const np::npy_intp dims[2] = {static_cast<np::npy_intp>(at->size),
                                  static_cast<np::npy_intp>(form->dim)};
    PyRef out = np::new_array(*numpy, np::type_double, 2, dims);
    if (!out) return nullptr;
    const std::span<double> values(reinterpret_cast<double*>(np::data_of(out.get())),
                                   at->size * form->dim);
    const Side side = left != 0 ? Side::left : Side::right;
    if (!run_unlocked([&](const CancelHook& cancel) {
            eval_into(*form, at->values(), *order, side, values, cancel);
        })) {
        return nullptr;
    }
    return out.release();
}

PyObject* call_integrate(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"breaks", "coefs", "a", "b", nullptr};
    PyObject* breaks = nullptr;
    PyObject* coefs = nullptr;
    double a = 0.0;
    double b = 0.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOdd:integrate", const_cast<char**>(keywords),
                                     &breaks, &coefs, &a, &b)) {
        return nullptr;
    }
    const np::Api* numpy = np::api();
    if (numpy == nullptr) return nullptr;
    const std::optional<PpView> form = pp_arguments(*numpy, breaks, coefs);
    if (!form) return nullptr;
    const np::npy_intp dims[1] = {static_cast<np::npy_intp>(form->dim)};
    PyRef out = np::new_array(*numpy, np::type_double, 1, dims);
    if (!out) return nullptr;
    const std::span<double> values(reinterpret_cast<double*>(np::data_of(out.get())), form->dim);
    if (!firewall([&] { integrate_into(*form, a, b, values); })) return nullptr;
    return out.release();
}

PyObject* call_derivative(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"breaks", "coefs", "nu", nullptr};
    PyObject* breaks = nullptr;
    PyObject* coefs = nullptr;
    int nu = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOi:derivative", const_cast<char**>(keywords),
                                     &breaks, &coefs, &nu)) {
        return nullptr;
    }
    const np::Api* numpy = np::api();
    if (numpy == nullptr) return nullptr;
    const std::optional<PpView> form = pp_arguments(*numpy, breaks, coefs);
    if (!form) return nullptr;
    const std::optional<unsigned> order = derivative_order(nu);
    if (!order) return nullptr;
    PyRef out;
    if (!firewall([&] { out = coefs_array(*numpy, derivative(*form, *order)); })) return nullptr;
    return out.release();
}

PyObject* call_antiderivative(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"breaks", "coefs", nullptr};
    PyObject* breaks = nullptr;
    PyObject* coefs = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:antiderivative",
                                     const_cast<char**>(keywords), &breaks, &coefs)) {
        return nullptr;
    }
    const np::Api* numpy = np::api();
    if (numpy == nullptr) return nullptr;
    const std::optional<PpView> form = pp_arguments(*numpy, breaks, coefs);
    if (!form) return nullptr;
    PyRef out;
    if (!firewall([&] { out = coefs_array(*numpy, antiderivative(*form)); })) return nullptr;
    return out.release();
}

}  // namespace vorn::py
