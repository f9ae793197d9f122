#include <Python.h>

#include <optional>
#include <utility>

#include "arrays.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "unlocked.hpp"
#include "vorn.hpp"

namespace vorn::py {

// Every buffer of the curve becomes the memory of one result array.
PyRef curve_dict(const np::Api& numpy, Curve&& curve) {
    const std::size_t pieces = curve.form.pieces();
    const std::size_t n = curve.x.size();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    PyObject* d = dict.get();
    if (!set_item(d, "breaks", adopt_doubles(numpy, std::move(curve.form.breaks),
                                             {curve.form.breaks.size()})) ||
        !set_item(d, "coefs", adopt_doubles(numpy, std::move(curve.form.coefs),
                                            {pieces, curve.dim, curve.form.order})) ||
        !set_item(d, "jumps", adopt_doubles(numpy, std::move(curve.jumps), {curve.jumps.size()})) ||
        !set_item(d, "jump_indices", adopt_indices(numpy, std::move(curve.jump_indices))) ||
        !set_item(d, "x", adopt_doubles(numpy, std::move(curve.x), {n})) ||
        !set_item(d, "y", adopt_doubles(numpy, std::move(curve.y), {n, curve.dim})) ||
        !set_item(d, "complexity_counter", unsigned_number(curve.complexity_counter)) ||
        !set_item(d, "extensions", unsigned_number(curve.search_stats.extensions)) ||
        !set_item(d, "dropped", unsigned_number(curve.search_stats.dropped)) ||
        !set_item(d, "max_active", unsigned_number(curve.search_stats.max_active))) {
        return {};
    }
    return dict;
}

PyObject* curve_result(const np::Api& numpy, Checked<Curve>&& fitted) {
    PyRef result;
    const bool contained = firewall([&] {
        if (!fitted) {
            PyErr_SetString(PyExc_ValueError, fitted.error().message().c_str());
            return;
        }
        result = curve_dict(numpy, std::move(fitted.value()));
    });
    if (!contained) return nullptr;
    return result.release();
}

PyObject* call_fit(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"x",     "y",       "delta",        "p",
                                     "gamma", "pruning", "precondition", nullptr};
    PyObject* x = nullptr;
    PyObject* y = nullptr;
    PyObject* delta = nullptr;
    double p = 0.0;
    double gamma = 0.0;
    const char* pruning_text = nullptr;
    const char* precondition_text = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOddss:fit", const_cast<char**>(keywords),
                                     &x, &y, &delta, &p, &gamma, &pruning_text,
                                     &precondition_text)) {
        return nullptr;
    }
    const np::Api* numpy = np::api();
    if (numpy == nullptr) return nullptr;
    const std::optional<SampleViews> samples = sample_views(*numpy, x, y, delta);
    if (!samples) return nullptr;
    const std::optional<Pruning> pruning = pruning_argument(pruning_text);
    if (!pruning) return nullptr;
    const std::optional<Precondition> precondition = precondition_argument(precondition_text);
    if (!precondition) return nullptr;

    std::optional<Checked<Curve>> fitted;
    if (!run_unlocked([&](const CancelHook& cancel) {
            fitted.emplace(fit_curve(samples->x, samples->y, samples->delta, *pruning,
                                     *precondition, p, gamma, cancel, SearchValues::centred));
        })) {
        return nullptr;
    }
    return curve_result(*numpy, std::move(*fitted));
}

}  // namespace vorn::py
