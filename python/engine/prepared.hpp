#pragma once
// Samples handed back as prepare returned them: the one check of their shape and order, and
// their copy into the core's record, shared by every call that fits from them.

#include <Python.h>

#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "arrays.hpp"
#include "chk.hpp"
#include "mapped_allocator.hpp"
#include "unlocked.hpp"
#include "views.hpp"

namespace vorn::py {

// Why prepared samples cannot be what prepare returned, or null.
const char* unprepared(const VectorView& x, const MatrixView& y, const VectorView& w);

// The record the core fits from, delta derived as prepare_samples derives it.
PreparedSamples prepared_copy(const VectorView& x, const MatrixView& y, const VectorView& w);

// x, y and w read in place when each is dense and aligned (as prepare returns them, and as
// the package forms them); nothing otherwise. The deviations are left for the frame.
std::optional<PreparedView> contiguous_samples(const StridedArray& x, const StridedArray& y,
                                               const StridedArray& w);

// Whether a fit at p and gamma searches, and so reads the deviations.
inline bool needs_deviations(double p, double gamma) {
    return !(p == 1.0 || gamma >= std::numeric_limits<double>::infinity());
}

// The rest of a frame that fits from prepared samples, once its arguments are read and its
// parameters checked: with the interpreter lock released, the samples' check and
// fit(samples, cancel), which returns a Checked<Curve>; the curve's dict, or null with the
// error set.
template <class Fit>
PyObject* fit_prepared_samples(const np::Api& numpy, const StridedArray& x,
                               const StridedArray& y, const StridedArray& w, Fit&& fit) {
    const char* unfit = nullptr;
    std::optional<Checked<Curve>> fitted;
    if (!run_unlocked([&](const CancelHook& cancel) {
            const VectorView xv = x.vector();
            const MatrixView yv = y.matrix();
            const VectorView wv = w.vector();
            unfit = unprepared(xv, yv, wv);
            if (unfit != nullptr) return;
            fitted.emplace(fit(prepared_copy(xv, yv, wv), cancel));
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
// them, with the deviations derived beside them when the fit searches; the result's x and y
// are copied once the fit is done, when its working memory is freed.
template <class Fit>
PyObject* fit_prepared_in_place(const np::Api& numpy, const PreparedView& samples, Fit&& fit,
                                bool with_deviations) {
    const char* unfit = nullptr;
    std::optional<Checked<Curve>> fitted;
    if (!run_unlocked([&](const CancelHook& cancel) {
            const MatrixView y = samples.y_view();
            unfit = unprepared(VectorView::of(samples.x), y, VectorView::of(samples.w));
            if (unfit != nullptr) return;
            {
                MappedVector<double> delta;
                PreparedView view = samples;
                if (with_deviations) {
                    delta.resize(samples.size());
                    // As prepare_samples derives it, so the search sees the same deviations.
                    for (std::size_t i = 0; i < delta.size(); ++i) {
                        delta[i] = std::sqrt(1.0 / samples.w[i]);
                    }
                    view.delta = delta;
                }
                fitted.emplace(fit(view, cancel));
            }
            if (*fitted) {
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
