#include <Python.h>

#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "jump_profile.hpp"
#include "unlocked.hpp"

namespace vorn::py {

namespace {

PyRef profiles_dict(const np::Api& numpy, JumpProfiles&& got, std::size_t dim) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    PyObject* d = dict.get();
    const std::size_t k = got.merged.size();
    if (!set_item(d, "first", adopt_indices(numpy, std::move(got.first))) ||
        !set_item(d, "last", adopt_indices(numpy, std::move(got.last))) ||
        !set_item(d, "merged", adopt_doubles(numpy, std::move(got.merged), {k})) ||
        !set_item(d, "at_fit", adopt_doubles(numpy, std::move(got.at_fit), {k})) ||
        !set_item(d, "best", adopt_doubles(numpy, std::move(got.best), {k})) ||
        !set_item(d, "best_split", adopt_indices(numpy, std::move(got.best_split))) ||
        !set_item(d, "low", adopt_indices(numpy, std::move(got.low))) ||
        !set_item(d, "high", adopt_indices(numpy, std::move(got.high))) ||
        !set_item(d, "smooth_saving", adopt_doubles(numpy, std::move(got.smooth_saving), {k}))) {
        return {};
    }
    if (!got.profile_offset.empty()) {
        const std::size_t size = got.profile.size();
        if (!set_item(d, "profile", adopt_doubles(numpy, std::move(got.profile), {size})) ||
            !set_item(d, "profile_offset", adopt_indices(numpy, std::move(got.profile_offset)))) {
            return {};
        }
    }
    if (!got.smooth_offset.empty()) {
        const std::size_t rows = got.smooth.size() / dim;
        if (!set_item(d, "smooth", adopt_doubles(numpy, std::move(got.smooth), {rows, dim})) ||
            !set_item(d, "smooth_offset", adopt_indices(numpy, std::move(got.smooth_offset))) ||
            !set_item(d, "smooth_first", adopt_indices(numpy, std::move(got.smooth_first)))) {
            return {};
        }
    }
    return dict;
}

// Where a jump may sit: ascending, two samples between neighbours, two after the last.
bool check_jumps(std::span<const std::int64_t> jumps, std::size_t n) {
    for (std::size_t j = 0; j < jumps.size(); ++j) {
        const std::int64_t m = jumps[j];
        const bool placed = m >= 0 && static_cast<std::uint64_t>(m) + 2 < n &&
                            (j == 0 || jumps[j - 1] + 2 <= m);
        if (!placed) {
            PyErr_Format(PyExc_ValueError,
                         "jump_indices[%zd] = %lld: jumps must ascend with at least two samples "
                         "between them and after the last, below n = %zd",
                         static_cast<Py_ssize_t>(j), static_cast<long long>(m),
                         static_cast<Py_ssize_t>(n));
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* call_jump_profiles(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"x",          "y", "w", "p", "precondition", "jump_indices",
                                     "thresholds", "keep_profile", "smooth_reach",
                                     "keep_smooth", nullptr};
    PyObject* x = nullptr;
    PyObject* y = nullptr;
    PyObject* w = nullptr;
    double p = 0.0;
    const char* precondition_text = nullptr;
    PyObject* jumps = nullptr;
    PyObject* thresholds = nullptr;
    int keep_profile = 0;
    double smooth_reach = default_smooth_reach;
    int keep_smooth = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOdsOO|pdp:jump_profiles",
                                     const_cast<char**>(keywords), &x, &y, &w, &p,
                                     &precondition_text, &jumps, &thresholds, &keep_profile,
                                     &smooth_reach, &keep_smooth)) {
        return nullptr;
    }
    const np::Api* numpy = np::api();
    if (numpy == nullptr) return nullptr;
    const std::optional<DoubleArray> xs = double_array(*numpy, x, 1, "x");
    if (!xs) return nullptr;
    const std::optional<DoubleArray> ys = double_array(*numpy, y, 2, "y");
    if (!ys) return nullptr;
    std::optional<DoubleArray> ws;
    if (w != Py_None) {
        ws = double_array(*numpy, w, 1, "w");
        if (!ws) return nullptr;
    }
    const std::optional<std::span<const std::int64_t>> indices =
        index_array(*numpy, jumps, "jump_indices");
    if (!indices) return nullptr;
    const std::optional<DoubleArray> limits = double_array(*numpy, thresholds, 1, "thresholds");
    if (!limits) return nullptr;
    const std::optional<Precondition> precondition = precondition_argument(precondition_text);
    if (!precondition) return nullptr;
    const std::size_t n = xs->size;
    if (ys->shape[0] != n || ys->shape[1] == 0 || (ws && ws->size != n) ||
        limits->size != indices->size()) {
        PyErr_SetString(PyExc_ValueError,
                        "x, y and w need one entry per sample, y at least one column, and "
                        "thresholds one entry per jump");
        return nullptr;
    }
    if (!(p >= 0.0 && p < 1.0)) {
        PyErr_SetString(PyExc_ValueError, "p must be at least 0 and below 1");
        return nullptr;
    }
    if (!(smooth_reach > 0.0)) {
        PyErr_SetString(PyExc_ValueError, "smooth_reach must be positive");
        return nullptr;
    }
    if (!check_jumps(*indices, n)) return nullptr;

    std::optional<JumpProfiles> got;
    if (!run_unlocked([&](const CancelHook& cancel) {
            const std::vector<std::uint64_t> at(indices->begin(), indices->end());
            const JumpProfileInputs in{xs->values(), ys->matrix(),
                                       ws ? ws->values() : std::span<const double>(), p,
                                       *precondition == Precondition::local};
            got.emplace(jump_profiles(in, at, limits->values(), keep_profile != 0, smooth_reach,
                                      keep_smooth != 0, cancel));
        })) {
        return nullptr;
    }
    PyRef result;
    const std::size_t dim = ys->shape[1];
    if (!firewall([&] { result = profiles_dict(*numpy, std::move(*got), dim); })) return nullptr;
    return result.release();
}

}  // namespace vorn::py
