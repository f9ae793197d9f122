#include <Python.h>

#include <optional>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "calls.hpp"
#include "errors.hpp"
#include "unlocked.hpp"
#include "vorn.hpp"

namespace vorn::py {

namespace {

// The arguments both cross-validation frames take, read and checked under the lock.
struct CvArguments {
    StridedArray x;
    StridedArray y;
    std::optional<StridedArray> delta;
    PyObject* folds = nullptr;
    double p = 0.0;
    double gamma = 0.0;
    Pruning pruning = Pruning::DOMINANCE;
    Precondition precondition = Precondition::none;
};

std::optional<CvArguments> cv_arguments(const np::Api& numpy, PyObject* args, PyObject* kwargs,
                                        const char* format) {
    static const char* keywords[] = {"x", "y",       "delta",        "folds", "p",
                                     "gamma", "pruning", "precondition", nullptr};
    PyObject* x = nullptr;
    PyObject* y = nullptr;
    PyObject* delta = nullptr;
    const char* pruning_text = nullptr;
    const char* precondition_text = nullptr;
    CvArguments out;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &x, &y,
                                     &delta, &out.folds, &out.p, &out.gamma, &pruning_text,
                                     &precondition_text)) {
        return std::nullopt;
    }
    const std::optional<StridedArray> xs = strided_array(numpy, x, 1, "x");
    if (!xs) return std::nullopt;
    const std::optional<StridedArray> ys = strided_array(numpy, y, 2, "y");
    if (!ys) return std::nullopt;
    out.x = *xs;
    out.y = *ys;
    if (delta != Py_None) {
        out.delta = strided_array(numpy, delta, 1, "delta");
        if (!out.delta) return std::nullopt;
    }
    const std::size_t n = out.x.shape[0];
    if (out.y.shape[0] != n || (out.delta && out.delta->shape[0] != n)) {
        PyErr_Format(PyExc_ValueError,
                     "x, y and delta must have one entry per sample: x has %zd, y has %zd, "
                     "delta has %zd",
                     static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(out.y.shape[0]),
                     static_cast<Py_ssize_t>(out.delta ? out.delta->shape[0] : n));
        return std::nullopt;
    }
    const std::optional<Pruning> pruning = pruning_argument(pruning_text);
    if (!pruning) return std::nullopt;
    const std::optional<Precondition> precondition = precondition_argument(precondition_text);
    if (!precondition) return std::nullopt;
    out.pruning = *pruning;
    out.precondition = *precondition;
    return out;
}

// The folds and, where the caller gave none, unit deviations: the buffers the core reads.
struct CvInputs {
    std::vector<std::vector<std::int64_t>> folds;
    std::vector<double> unit_delta;
    VectorView delta;
};

bool cv_inputs(const np::Api& numpy, const CvArguments& a, CvInputs& in) {
    if (!read_folds(numpy, a.folds, a.x.shape[0], in.folds)) return false;
    if (a.delta) {
        in.delta = a.delta->vector();
    } else {
        in.unit_delta.assign(a.x.shape[0], 1.0);
        in.delta = VectorView::of(in.unit_delta);
    }
    return true;
}

PyRef predictions_dict(const np::Api& numpy, CvPredictions&& cv) {
    const std::size_t rows = cv.in_gap.size();
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    PyObject* d = dict.get();
    if (!set_item(d, "predicted", adopt_doubles(numpy, std::move(cv.predicted), {rows, cv.dim})) ||
        !set_item(d, "left", adopt_doubles(numpy, std::move(cv.left), {rows, cv.dim})) ||
        !set_item(d, "right", adopt_doubles(numpy, std::move(cv.right), {rows, cv.dim})) ||
        !set_item(d, "in_gap", adopt_flags(numpy, std::move(cv.in_gap))) ||
        !set_item(d, "fold_ok", adopt_flags(numpy, std::move(cv.fold_ok)))) {
        return {};
    }
    return dict;
}

}  // namespace

PyObject* call_cv_predict(PyObject*, PyObject* args, PyObject* kwargs) {
    const np::Api* numpy = np::api();
    if (numpy == nullptr) return nullptr;
    const std::optional<CvArguments> a = cv_arguments(*numpy, args, kwargs, "OOOOddss:cv_predict");
    if (!a) return nullptr;
    CvInputs in;
    bool read = false;
    if (!firewall([&] { read = cv_inputs(*numpy, *a, in); }) || !read) return nullptr;

    std::optional<Checked<CvPredictions>> predicted;
    if (!run_unlocked([&](const CancelHook& cancel) {
            predicted.emplace(cv_predictions(a->x.vector(), a->y.matrix(), in.delta, in.folds,
                                             a->pruning, a->precondition, a->p, a->gamma,
                                             cancel, SearchValues::centred));
        })) {
        return nullptr;
    }
    PyRef result;
    const bool contained = firewall([&] {
        if (!*predicted) {
            PyErr_SetString(PyExc_ValueError, predicted->error().message().c_str());
            return;
        }
        result = predictions_dict(*numpy, std::move(predicted->value()));
    });
    if (!contained) return nullptr;
    return result.release();
}

PyObject* call_cv_score(PyObject*, PyObject* args, PyObject* kwargs) {
    const np::Api* numpy = np::api();
    if (numpy == nullptr) return nullptr;
    const std::optional<CvArguments> a = cv_arguments(*numpy, args, kwargs, "OOOOddss:cv_score");
    if (!a) return nullptr;
    CvInputs in;
    bool read = false;
    if (!firewall([&] { read = cv_inputs(*numpy, *a, in); }) || !read) return nullptr;

    double score = 0.0;
    if (!run_unlocked([&](const CancelHook& cancel) {
            score = cv_score(a->x.vector(), a->y.matrix(), in.delta, in.folds, a->pruning,
                             a->precondition, a->p, a->gamma, cancel,
                             SearchValues::centred);
        })) {
        return nullptr;
    }
    return PyFloat_FromDouble(score);
}

}  // namespace vorn::py
