#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "failure.hpp"
#include "prepared.hpp"
#include "unlocked.hpp"
#include "vorn.hpp"

namespace vorn::py {

namespace {

struct Prepared {
    PreparedSamples samples;
    std::vector<std::int64_t> site_of_row;
};

// The core keeps no record of where each row went; a kept row's site is found again among the
// distinct sites, where it sits exactly (merging compares sites with ==, and so does this).
std::vector<std::int64_t> sites_of_rows(const std::optional<VectorView>& x, const MatrixView& y,
                                        const std::vector<double>& sites,
                                        const CancelHook& cancel) {
    std::vector<std::int64_t> out(y.rows, -1);
    for (std::size_t i = 0; i < y.rows; ++i) {
        if ((i & 0xfff) == 0) cancel.tick();
        bool finite = true;
        for (std::size_t c = 0; c < y.cols && finite; ++c) finite = std::isfinite(y(i, c));
        if (!finite) continue;
        const double site = x ? (*x)[i] : static_cast<double>(i + 1);
        const auto at = std::lower_bound(sites.begin(), sites.end(), site);
        require(at != sites.end() && *at == site, "every kept row must have its site");
        out[i] = static_cast<std::int64_t>(at - sites.begin());
    }
    return out;
}

PyRef prepared_dict(const np::Api& numpy, Prepared&& p) {
    PreparedSamples& s = p.samples;
    const std::size_t m = s.size();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    PyObject* d = dict.get();
    if (!set_item(d, "x", adopt_doubles(numpy, std::move(s.x), {m})) ||
        !set_item(d, "y", adopt_doubles(numpy, std::move(s.y), {m, s.dim})) ||
        !set_item(d, "w", adopt_doubles(numpy, std::move(s.w), {m})) ||
        !set_item(d, "delta", adopt_doubles(numpy, std::move(s.delta), {m})) ||
        !set_item(d, "site_of_row", adopt_signed_indices(numpy, std::move(p.site_of_row)))) {
        return {};
    }
    return dict;
}

}  // namespace

// Why prepared samples cannot be what prepare returned, or null.
const char* unprepared(const VectorView& x, const MatrixView& y, const VectorView& w) {
    if (x.size < 2) return "prepared samples need at least two sites";
    if (y.rows != x.size || w.size != x.size) {
        return "prepared x, y and w must have one entry per site";
    }
    for (std::size_t i = 0; i < x.size; ++i) {
        if (!std::isfinite(x[i]) || (i > 0 && !(x[i - 1] < x[i]))) {
            return "prepared x must be finite and strictly ascending";
        }
        if (!(w[i] > 0.0) || !std::isfinite(w[i])) {
            return "prepared w must be positive and finite";
        }
        for (std::size_t c = 0; c < y.cols; ++c) {
            if (!std::isfinite(y(i, c))) return "prepared y must be finite";
        }
    }
    return nullptr;
}

PreparedSamples prepared_copy(const VectorView& x, const MatrixView& y, const VectorView& w) {
    PreparedSamples s;
    s.dim = y.cols;
    s.x.resize(x.size);
    s.w.resize(x.size);
    s.delta.resize(x.size);
    s.y.resize(x.size * s.dim);
    for (std::size_t i = 0; i < x.size; ++i) {
        s.x[i] = x[i];
        s.w[i] = w[i];
        // As prepare_samples derives it, so the search sees the same deviations.
        s.delta[i] = std::sqrt(1.0 / w[i]);
        for (std::size_t c = 0; c < s.dim; ++c) s.y[i * s.dim + c] = y(i, c);
    }
    return s;
}

std::optional<PreparedView> contiguous_samples(const StridedArray& x, const StridedArray& y,
                                              const StridedArray& w) {
    constexpr auto item = static_cast<std::ptrdiff_t>(sizeof(double));
    const auto aligned = [](const StridedArray& a) {
        return reinterpret_cast<std::uintptr_t>(a.data) % alignof(double) == 0;
    };
    const auto dense = [&](const StridedArray& a) {
        return aligned(a) && (a.shape[0] < 2 || a.strides[0] == item);
    };
    const std::size_t dim = y.shape[1];
    const auto row = static_cast<std::ptrdiff_t>(dim) * item;
    const bool rows_dense = aligned(y) && (dim < 2 || y.strides[1] == item) &&
                            (y.shape[0] < 2 || y.strides[0] == row);
    // Anything else goes the copying way, which words every mismatch.
    if (dim == 0 || y.shape[0] != x.shape[0] || w.shape[0] != x.shape[0]) return std::nullopt;
    if (!dense(x) || !dense(w) || !rows_dense) return std::nullopt;
    const auto values = [](const StridedArray& a, std::size_t count) {
        return std::span<const double>(reinterpret_cast<const double*>(a.data), count);
    };
    return PreparedView{values(x, x.shape[0]), values(y, y.shape[0] * dim), dim,
                        values(w, w.shape[0]), {}};
}

PyObject* call_prepare(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"x", "y", "delta", nullptr};
    PyObject* x = nullptr;
    PyObject* y = nullptr;
    PyObject* delta = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:prepare", const_cast<char**>(keywords),
                                     &x, &y, &delta)) {
        return nullptr;
    }
    const np::Api* numpy = np::api();
    if (numpy == nullptr) return nullptr;
    const std::optional<SampleViews> samples = sample_views(*numpy, x, y, delta);
    if (!samples) return nullptr;

    std::optional<Checked<PreparedSamples>> prepared;
    std::vector<std::int64_t> site_of_row;
    if (!run_unlocked([&](const CancelHook& cancel) {
            prepared.emplace(prepare_samples(samples->x, samples->y, samples->delta));
            if (*prepared) {
                site_of_row =
                    sites_of_rows(samples->x, samples->y, prepared->value().x, cancel);
            }
        })) {
        return nullptr;
    }
    PyRef result;
    const bool contained = firewall([&] {
        if (!*prepared) {
            PyErr_SetString(PyExc_ValueError, prepared->error().message().c_str());
            return;
        }
        result = prepared_dict(*numpy, {std::move(prepared->value()), std::move(site_of_row)});
    });
    if (!contained) return nullptr;
    return result.release();
}

PyObject* call_fit_prepared(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"x",       "y",            "w",            "p", "gamma",
                                     "pruning", "precondition", "with_samples", nullptr};
    PyObject* x = nullptr;
    PyObject* y = nullptr;
    PyObject* w = nullptr;
    double p = 0.0;
    double gamma = 0.0;
    const char* pruning_text = nullptr;
    const char* precondition_text = nullptr;
    int with_samples = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOddss|p:fit_prepared",
                                     const_cast<char**>(keywords), &x, &y, &w, &p, &gamma,
                                     &pruning_text, &precondition_text, &with_samples)) {
        return nullptr;
    }
    const np::Api* numpy = np::api();
    if (numpy == nullptr) return nullptr;
    const std::optional<StridedArray> xs = strided_array(*numpy, x, 1, "x");
    if (!xs) return nullptr;
    const std::optional<StridedArray> ys = strided_array(*numpy, y, 2, "y");
    if (!ys) return nullptr;
    const std::optional<StridedArray> ws = strided_array(*numpy, w, 1, "w");
    if (!ws) return nullptr;
    const std::optional<Pruning> pruning_value = pruning_argument(pruning_text);
    if (!pruning_value) return nullptr;
    const std::optional<Precondition> precondition_value =
        precondition_argument(precondition_text);
    if (!precondition_value) return nullptr;
    const Pruning pruning = *pruning_value;
    const Precondition precondition = *precondition_value;
    // The raw fit checks its parameters before its samples; so does this one.
    if (const std::optional<InputError> error = check_parameters(p, gamma)) {
        firewall([&] { PyErr_SetString(PyExc_ValueError, error->message().c_str()); });
        return nullptr;
    }

    if (const std::optional<PreparedView> in_place = contiguous_samples(*xs, *ys, *ws)) {
        return fit_prepared_in_place(
            *numpy, *in_place,
            [&](const PreparedView& samples, const CancelHook& cancel) {
                return fit_curve_in_place(samples, pruning, precondition, p, gamma, cancel,
                                          SearchValues::centred);
            },
            with_samples != 0);
    }
    return fit_prepared_samples(
        *numpy, *xs, *ys, *ws,
        [&](PreparedSamples&& samples, const CancelHook& cancel) {
            return fit_curve(std::move(samples), pruning, precondition, p, gamma, cancel,
                             SearchValues::centred);
        },
        with_samples != 0);
}

}  // namespace vorn::py
