#pragma once
// Samples handed back as prepare returned them: the one check of their shape and order, and
// their copy into the core's record, shared by every call that fits from them.

#include <Python.h>

#include <optional>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "chk.hpp"
#include "unlocked.hpp"
#include "views.hpp"

namespace vorn::py {

// Why prepared samples cannot be what prepare returned, or null.
const char* unprepared(const VectorView& x, const MatrixView& y, const VectorView& w);

// The record the core fits from, delta derived as prepare_samples derives it.
PreparedSamples prepared_copy(const VectorView& x, const MatrixView& y, const VectorView& w);

// x, y and w read in place when each is dense and aligned (as prepare returns them, and as
// the package forms them); nothing otherwise. The deviations are left empty.
std::optional<PreparedView> contiguous_samples(const StridedArray& x, const StridedArray& y,
                                               const StridedArray& w);

// The rest of a frame that fits from prepared samples, once its arguments are read and its
// parameters checked: with the interpreter lock released, the samples' check and
// fit(samples, cancel), which returns a Checked<Curve>; the curve's dict, or null with the
// error set. Without `keep_samples` the dict's x and y are empty (the caller holds them).
template <class Fit>
PyObject* fit_prepared_samples(const np::Api& numpy, const StridedArray& x,
                               const StridedArray& y, const StridedArray& w, Fit&& fit,
                               bool keep_samples = true) {
    const char* unfit = nullptr;
    std::optional<Checked<Curve>> fitted;
    if (!run_unlocked([&](const CancelHook& cancel) {
            const VectorView xv = x.vector();
            const MatrixView yv = y.matrix();
            const VectorView wv = w.vector();
            unfit = unprepared(xv, yv, wv);
            if (unfit != nullptr) return;
            fitted.emplace(fit(prepared_copy(xv, yv, wv), cancel));
            if (*fitted && !keep_samples) {
                Curve& curve = fitted->value();
                std::vector<double>().swap(curve.x);
                std::vector<double>().swap(curve.y);
            }
        })) {
        return nullptr;
    }
    if (unfit != nullptr) {
        PyErr_SetString(PyExc_ValueError, unfit);
        return nullptr;
    }
    return curve_result(numpy, std::move(*fitted));
}

// fit_prepared_samples without the copy: the fit reads x, y and w where the caller holds
// them (the search derives the deviations for itself); the result's x and y are copied once
// the fit is done, when its working memory is freed. Without `copy_samples` they stay empty: a
// caller that holds the samples anyway (the many fits of one choice) pays for no second copy.
template <class Fit>
PyObject* fit_prepared_in_place(const np::Api& numpy, const PreparedView& samples, Fit&& fit,
                                bool copy_samples = true) {
    const char* unfit = nullptr;
    std::optional<Checked<Curve>> fitted;
    if (!run_unlocked([&](const CancelHook& cancel) {
            unfit = unprepared(VectorView::of(samples.x), samples.y_view(),
                               VectorView::of(samples.w));
            if (unfit != nullptr) return;
            fitted.emplace(fit(samples, cancel));
            if (*fitted && copy_samples) {
                Curve& curve = fitted->value();
                curve.x.assign(samples.x.begin(), samples.x.end());
                curve.y.assign(samples.y.begin(), samples.y.end());
            }
        })) {
        return nullptr;
    }
    if (unfit != nullptr) {
        PyErr_SetString(PyExc_ValueError, unfit);
        return nullptr;
    }
    return curve_result(numpy, std::move(*fitted));
}

}  // namespace vorn::py
