#pragma once
// Samples handed back as prepare returned them: the one check of their shape and order, and
// their copy into the core's record, shared by every call that fits from them.

#include <Python.h>

#include <optional>
#include <utility>

#include "arrays.hpp"
#include "chk.hpp"
#include "unlocked.hpp"
#include "views.hpp"

namespace vorn::py {

// Why prepared samples cannot be what prepare returned, or null.
const char* unprepared(const VectorView& x, const MatrixView& y, const VectorView& w);

// The record the core fits from, delta derived as prepare_samples derives it.
PreparedSamples prepared_copy(const VectorView& x, const MatrixView& y, const VectorView& w);

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

}  // namespace vorn::py
