#include <Python.h>

#include "result.hpp"

#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "failure.hpp"

namespace vorn::py {

namespace {

using np::npy_intp;

npy_intp extent(std::size_t n) { return static_cast<npy_intp>(n); }

PyRef copy_doubles(const np::Api& numpy, std::span<const double> values, int nd,
                   const npy_intp* dims) {
    PyRef array = np::new_array(numpy, np::type_double, nd, dims);
    if (array && !values.empty()) {
        std::memcpy(np::data_of(array.get()), values.data(), values.size_bytes());
    }
    return array;
}

// The core counts with unsigned integers; callers index with int64.
PyRef copy_indices(const np::Api& numpy, std::span<const std::uint64_t> values) {
    const npy_intp dims[1] = {extent(values.size())};
    PyRef array = np::new_array(numpy, np::type_int64, 1, dims);
    if (!array) return {};
    char* out = np::data_of(array.get());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto value = static_cast<std::int64_t>(values[i]);
        std::memcpy(out + i * sizeof value, &value, sizeof value);
    }
    return array;
}

template <class A>
PyRef adopt_doubles(const np::Api& numpy, std::vector<double, A>&& values) {
    const npy_intp dims[1] = {extent(values.size())};
    return np::adopt_vector(numpy, std::move(values), np::type_double, 1, dims);
}

// Rows of a form's coefficient matrix: one per piece and value column.
std::size_t coef_rows(const PpForm& form) {
    const std::size_t rows = form.pieces() * form.dim;
    require(form.coefs.size() == rows * form.order,
            "coefs must hold pieces * dim rows of order entries");
    return rows;
}

bool insert(PyObject* dict, const char* key, PyRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

bool append(PyObject* list, PyRef value) { return value && PyList_Append(list, value.get()) == 0; }

PyRef from_unsigned(std::uint64_t value) {
    return PyRef::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}

}  // namespace

PyRef build_pp_dict(const np::Api& numpy, const PpForm& form) {
    const npy_intp coef_dims[2] = {extent(coef_rows(form)), extent(form.order)};
    const npy_intp break_dims[1] = {extent(form.breaks.size())};
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    if (!insert(dict.get(), "breaks", copy_doubles(numpy, form.breaks, 1, break_dims)) ||
        !insert(dict.get(), "coefs", copy_doubles(numpy, form.coefs, 2, coef_dims)) ||
        !insert(dict.get(), "dim", from_unsigned(form.dim)) ||
        !insert(dict.get(), "order", from_unsigned(form.order))) {
        return {};
    }
    return dict;
}

PyRef build_result_dict(const np::Api& numpy, FitResult&& fit) {
    PpForm& joined = fit.joined;
    const npy_intp coef_dims[2] = {extent(coef_rows(joined)), extent(joined.order)};
    const std::size_t n = fit.x.size();
    require(fit.y.size() == n * fit.dim, "prepared y must hold n rows of dim values");
    const npy_intp y_dims[2] = {extent(n), extent(fit.dim)};

    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    PyObject* d = dict.get();
    if (!insert(d, "breaks", adopt_doubles(numpy, std::move(joined.breaks))) ||
        !insert(d, "coefs",
                np::adopt_vector(numpy, std::move(joined.coefs), np::type_double, 2, coef_dims)) ||
        !insert(d, "dim", from_unsigned(joined.dim)) ||
        !insert(d, "order", from_unsigned(joined.order)) ||
        !insert(d, "discont", adopt_doubles(numpy, std::move(fit.discont))) ||
        !insert(d, "discont_idx", copy_indices(numpy, fit.discont_idx)) ||
        !insert(d, "x", adopt_doubles(numpy, std::move(fit.x))) ||
        !insert(d, "y", np::adopt_vector(numpy, std::move(fit.y), np::type_double, 2, y_dims)) ||
        !insert(d, "complexity_counter", from_unsigned(fit.complexity_counter))) {
        return {};
    }

    PyRef cells = PyRef::steal(PyList_New(0));
    if (!cells) return {};
    for (const auto& cell : fit.interval_cell) {
        if (!append(cells.get(), copy_indices(numpy, cell))) return {};
    }
    if (!insert(d, "interval_cell", std::move(cells))) return {};

    PyRef forms = PyRef::steal(PyList_New(0));
    if (!forms) return {};
    for (const PpForm& form : fit.pp_cell) {
        if (!append(forms.get(), build_pp_dict(numpy, form))) return {};
    }
    if (!insert(d, "pp_cell", std::move(forms))) return {};

    const char* precondition = fit.precondition == Precondition::local ? "local" : "none";
    if (!insert(d, "F", adopt_doubles(numpy, std::move(fit.F))) ||
        !insert(d, "partition", copy_indices(numpy, fit.partition)) ||
        !insert(d, "precondition", PyRef::steal(PyUnicode_FromString(precondition))) ||
        !insert(d, "tau", adopt_doubles(numpy, std::move(fit.tau)))) {
        return {};
    }
    return dict;
}

}  // namespace vorn::py
