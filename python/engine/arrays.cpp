#include <Python.h>

#include "arrays.hpp"

#include <cstring>

namespace vorn::py {

namespace {

constexpr int type_bool = 0;  // NPY_BOOL

int has_dtype(const np::Api& numpy, PyObject* array, int type_num) {
    PyRef wanted = PyRef::steal(numpy.descr_from_type(type_num));
    if (!wanted) return -1;
    return numpy.equiv_types(np::fields(array).descr, wanted.get()) ? 1 : 0;
}

// The array's fields when it is a C-contiguous, aligned array of `nd` dimensions and the
// type; null with TypeError otherwise.
const np::ArrayFields* contiguous(const np::Api& numpy, PyObject* obj, int nd, int type_num,
                                  const char* type_name, const char* name) {
    constexpr int layout = np::flag_c_contiguous | np::flag_aligned;
    if (np::is_array(numpy, obj)) {
        const np::ArrayFields& a = np::fields(obj);
        const int typed = has_dtype(numpy, obj, type_num);
        if (typed < 0) return nullptr;
        if (typed == 1 && a.nd == nd && (a.flags & layout) == layout) return &a;
    }
    PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous %s array with %d dimension%s", name,
                 type_name, nd, nd == 1 ? "" : "s");
    return nullptr;
}

np::npy_intp extent(std::size_t n) { return static_cast<np::npy_intp>(n); }

}  // namespace

std::optional<DoubleArray> double_array(const np::Api& numpy, PyObject* obj, int nd,
                                        const char* name) {
    const np::ArrayFields* a = contiguous(numpy, obj, nd, np::type_double, "float64", name);
    if (a == nullptr) return std::nullopt;
    DoubleArray out;
    out.data = reinterpret_cast<const double*>(a->data);
    out.size = 1;
    for (int k = 0; k < nd; ++k) {
        out.shape[k] = static_cast<std::size_t>(a->dimensions[k]);
        out.size *= out.shape[k];
    }
    return out;
}

std::optional<StridedArray> strided_array(const np::Api& numpy, PyObject* obj, int nd,
                                          const char* name) {
    if (np::is_array(numpy, obj) && np::fields(obj).nd == nd) {
        const int typed = has_dtype(numpy, obj, np::type_double);
        if (typed < 0) return std::nullopt;
        if (typed == 1) {
            const np::ArrayFields& a = np::fields(obj);
            StridedArray out;
            out.data = reinterpret_cast<const std::byte*>(a.data);
            for (int k = 0; k < nd; ++k) {
                out.shape[k] = static_cast<std::size_t>(a.dimensions[k]);
                out.strides[k] = a.strides[k];
            }
            return out;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s must be a float64 array with %d dimension%s", name, nd,
                 nd == 1 ? "" : "s");
    return std::nullopt;
}

std::optional<SampleViews> sample_views(const np::Api& numpy, PyObject* x, PyObject* y,
                                        PyObject* delta) {
    SampleViews views;
    if (x != Py_None) {
        const std::optional<StridedArray> a = strided_array(numpy, x, 1, "x");
        if (!a) return std::nullopt;
        views.x = a->vector();
    }
    const std::optional<StridedArray> values = strided_array(numpy, y, 2, "y");
    if (!values) return std::nullopt;
    views.y = values->matrix();
    if (delta != Py_None) {
        const std::optional<StridedArray> a = strided_array(numpy, delta, 1, "delta");
        if (!a) return std::nullopt;
        views.delta = a->vector();
    }
    return views;
}

std::optional<PpView> pp_arguments(const np::Api& numpy, PyObject* breaks, PyObject* coefs) {
    const std::optional<DoubleArray> b = double_array(numpy, breaks, 1, "breaks");
    if (!b) return std::nullopt;
    const std::optional<DoubleArray> c = double_array(numpy, coefs, 3, "coefs");
    if (!c) return std::nullopt;
    if (b->size < 2 || c->shape[0] != b->size - 1 || c->shape[1] == 0 || c->shape[2] == 0) {
        PyErr_Format(PyExc_ValueError,
                     "breaks (%zd,) and coefs (%zd, %zd, %zd) do not make a piecewise "
                     "polynomial: coefs needs one row per piece, at least one column and "
                     "one coefficient",
                     extent(b->size), extent(c->shape[0]), extent(c->shape[1]),
                     extent(c->shape[2]));
        return std::nullopt;
    }
    return PpView{b->values(), c->values(), c->shape[1], c->shape[2]};
}

std::optional<Pruning> pruning_argument(const char* text) {
    if (std::strcmp(text, "DOMINANCE") == 0) return Pruning::DOMINANCE;
    if (std::strcmp(text, "PELT") == 0) return Pruning::PELT;
    if (std::strcmp(text, "FPVI") == 0) return Pruning::FPVI;
    PyErr_Format(PyExc_ValueError, "pruning must be 'DOMINANCE', 'PELT' or 'FPVI', got '%s'",
                 text);
    return std::nullopt;
}

std::optional<Precondition> precondition_argument(const char* text) {
    if (std::strcmp(text, "none") == 0) return Precondition::none;
    if (std::strcmp(text, "local") == 0) return Precondition::local;
    PyErr_Format(PyExc_ValueError, "precondition must be 'none' or 'local', got '%s'", text);
    return std::nullopt;
}

bool read_folds(const np::Api& numpy, PyObject* obj, std::size_t n,
                std::vector<std::vector<std::int64_t>>& out) {
    const bool is_list = PyList_Check(obj) != 0;
    if (!is_list && PyTuple_Check(obj) == 0) {
        PyErr_SetString(PyExc_TypeError, "folds must be a list or tuple of int64 arrays");
        return false;
    }
    const Py_ssize_t count = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
    if (count < 0) return false;
    out.clear();
    out.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t f = 0; f < count; ++f) {
        PyObject* item = is_list ? PyList_GetItem(obj, f) : PyTuple_GetItem(obj, f);
        if (item == nullptr) return false;
        const np::ArrayFields* a =
            contiguous(numpy, item, 1, np::type_int64, "int64", "every fold");
        if (a == nullptr) return false;
        const auto size = static_cast<std::size_t>(a->dimensions[0]);
        std::vector<std::int64_t>& fold = out.emplace_back(size);
        if (size > 0) std::memcpy(fold.data(), a->data, size * sizeof(std::int64_t));
        for (std::size_t k = 0; k < size; ++k) {
            if (fold[k] < 0 || static_cast<std::uint64_t>(fold[k]) >= n) {
                PyErr_Format(PyExc_ValueError,
                             "folds[%zd] holds index %lld, but the samples are numbered 0 to "
                             "%zd",
                             f, static_cast<long long>(fold[k]), extent(n) - 1);
                return false;
            }
        }
    }
    return true;
}

PyRef adopt_doubles(const np::Api& numpy, std::vector<double>&& values,
                    std::initializer_list<std::size_t> shape) {
    np::npy_intp dims[3] = {0, 0, 0};
    int nd = 0;
    for (std::size_t extent_k : shape) dims[nd++] = extent(extent_k);
    return np::adopt_vector(numpy, std::move(values), np::type_double, nd, dims);
}

PyRef adopt_doubles(const np::Api& numpy, MappedVector<double>&& values,
                    std::initializer_list<std::size_t> shape) {
    np::npy_intp dims[3] = {0, 0, 0};
    int nd = 0;
    for (std::size_t extent_k : shape) dims[nd++] = extent(extent_k);
    return np::adopt_vector(numpy, std::move(values), np::type_double, nd, dims);
}

// The core counts with unsigned integers; the package indexes with int64, the same bits for
// every count below 2**63.
PyRef adopt_indices(const np::Api& numpy, std::vector<std::uint64_t>&& values) {
    const np::npy_intp dims[1] = {extent(values.size())};
    return np::adopt_vector(numpy, std::move(values), np::type_int64, 1, dims);
}

PyRef adopt_signed_indices(const np::Api& numpy, std::vector<std::int64_t>&& values) {
    const np::npy_intp dims[1] = {extent(values.size())};
    return np::adopt_vector(numpy, std::move(values), np::type_int64, 1, dims);
}

PyRef adopt_flags(const np::Api& numpy, std::vector<std::uint8_t>&& values) {
    const np::npy_intp dims[1] = {extent(values.size())};
    return np::adopt_vector(numpy, std::move(values), type_bool, 1, dims);
}

bool set_item(PyObject* dict, const char* key, PyRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef unsigned_number(std::uint64_t value) {
    return PyRef::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}

}  // namespace vorn::py

namespace vorn::py {

std::optional<std::span<const std::int64_t>> index_array(const np::Api& numpy, PyObject* obj,
                                                         const char* name) {
    const np::ArrayFields* a = contiguous(numpy, obj, 1, np::type_int64, "int64", name);
    if (a == nullptr) return std::nullopt;
    return std::span<const std::int64_t>(reinterpret_cast<const std::int64_t*>(a->data),
                                         static_cast<std::size_t>(a->dimensions[0]));
}

}  // namespace vorn::py
