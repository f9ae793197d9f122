#include <Python.h>

#include "args.hpp"

#include <algorithm>

#include "failure.hpp"
#include "numpy_api.hpp"

namespace vorn::py {

namespace {

bool is_str(PyObject* obj) {
    return (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

bool is_int(PyObject* obj) {
    return (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_LONG_SUBCLASS) != 0;
}

void raise_type_mismatch(PyObject* obj, const char* target) {
    PyRef qualname =
        PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                            "__qualname__"));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'", qualname.get(),
                 target);
}

// Index of the parameter that the keyword names, params.size() for none, -1 with an error set.
Py_ssize_t find_parameter(const Signature& sig, PyObject* key) {
    const auto count = static_cast<Py_ssize_t>(sig.params.size());
    if (PyUnicode_CheckExact(key)) {
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, sig.params[static_cast<std::size_t>(i)]) ==
                0) {
                return i;
            }
        }
        return count;
    }
    // A str subclass may define its own equality; CPython honours it, so do we.
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef name = PyRef::steal(PyUnicode_FromString(sig.params[static_cast<std::size_t>(i)]));
        if (!name) return -1;
        const int equal = PyObject_RichCompareBool(key, name.get(), Py_EQ);
        if (equal < 0) return -1;
        if (equal) return i;
    }
    return count;
}

void raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
    const auto total = static_cast<Py_ssize_t>(sig.params.size());
    const auto required = static_cast<Py_ssize_t>(sig.required);
    const char* verb = given == 1 ? "was" : "were";
    if (required < total) {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zd to %zd positional arguments but %zd %s given", sig.name,
                     required, total, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                     sig.name, total, total == 1 ? "" : "s", given, verb);
    }
}

void raise_missing(const Signature& sig, const std::vector<std::string>& names) {
    std::string listed;
    const std::size_t count = names.size();
    if (count == 1) {
        listed = names[0];
    } else if (count == 2) {
        listed = names[0] + " and " + names[1];
    } else {
        for (std::size_t i = 0; i + 2 < count; ++i) listed += names[i] + ", ";
        listed += names[count - 2] + ", and " + names[count - 1];
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s",
                 sig.name, static_cast<Py_ssize_t>(count), count == 1 ? "" : "s",
                 listed.c_str());
}

bool keywords_are_strings(PyObject* items) {
    const Py_ssize_t count = PyList_Size(items);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!is_str(PyTuple_GetItem(PyList_GetItem(items, i), 0))) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return false;
        }
    }
    return true;
}

std::optional<std::int64_t> to_int64(PyObject* integer) {
    if constexpr (sizeof(long) == sizeof(std::int64_t)) {
        const long value = PyLong_AsLong(integer);
        if (value == -1 && PyErr_Occurred()) return std::nullopt;
        return static_cast<std::int64_t>(value);
    } else {
        const long long value = PyLong_AsLongLong(integer);
        if (value == -1 && PyErr_Occurred()) return std::nullopt;
        return static_cast<std::int64_t>(value);
    }
}

std::optional<std::int64_t> to_fold_index(PyObject* element) {
    if (is_int(element)) return to_int64(element);
    PyRef index = PyRef::steal(PyNumber_Index(element));
    if (!index) return std::nullopt;
    return to_int64(index.get());
}

bool check_fold_sequence(PyObject* obj) {
    if (is_str(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        raise_type_mismatch(obj, "Sequence");
        return false;
    }
    return true;
}

// The length only sizes the buffer; a failing or lying __len__ must not fail the conversion,
// so a huge claim reserves no more than a modest start and the vector grows from there.
template <class T>
void reserve_from_length(PyObject* seq, std::vector<T>& out) {
    constexpr Py_ssize_t largest_reservation = Py_ssize_t{1} << 16;
    const Py_ssize_t length = PySequence_Size(seq);
    if (length < 0) {
        PyErr_Clear();
        return;
    }
    out.reserve(static_cast<std::size_t>(std::min(length, largest_reservation)));
}

bool collect_fold(PyObject* item, std::vector<std::int64_t>& fold) {
    if (!check_fold_sequence(item)) return false;
    reserve_from_length(item, fold);
    PyRef iter = PyRef::steal(PyObject_GetIter(item));
    if (!iter) return false;
    while (PyRef element = PyRef::steal(PyIter_Next(iter.get()))) {
        const std::optional<std::int64_t> index = to_fold_index(element.get());
        if (!index) return false;
        fold.push_back(*index);
    }
    return !PyErr_Occurred();
}

bool collect_folds(PyObject* obj, Folds& folds) {
    if (!check_fold_sequence(obj)) return false;
    reserve_from_length(obj, folds);
    PyRef iter = PyRef::steal(PyObject_GetIter(obj));
    if (!iter) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
        std::vector<std::int64_t> fold;
        if (!collect_fold(item.get(), fold)) return false;
        folds.push_back(std::move(fold));
    }
    return !PyErr_Occurred();
}

template <class SlotAt>
bool bind_into(const Signature& sig, PyObject* args, PyObject* kwargs, SlotAt slot_at) {
    const Py_ssize_t given = PyTuple_Size(args);
    if (given < 0) return false;
    const auto total = static_cast<Py_ssize_t>(sig.params.size());
    for (Py_ssize_t i = 0; i < given && i < total; ++i) {
        slot_at(static_cast<std::size_t>(i)) = PyRef::borrow(PyTuple_GetItem(args, i));
    }

    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
        // A snapshot: a key's __eq__ or __str__ may change the dictionary while we walk it.
        PyRef items = PyRef::steal(PyDict_Items(kwargs));
        if (!items) return false;
        if (!keywords_are_strings(items.get())) return false;
        const Py_ssize_t count = PyList_Size(items.get());
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* pair = PyList_GetItem(items.get(), k);
            PyObject* key = PyTuple_GetItem(pair, 0);
            const Py_ssize_t index = find_parameter(sig, key);
            if (index < 0) return false;
            if (index == total) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                             sig.name, key);
                return false;
            }
            PyRef& slot = slot_at(static_cast<std::size_t>(index));
            if (slot) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'",
                             sig.name, key);
                return false;
            }
            slot = PyRef::borrow(PyTuple_GetItem(pair, 1));
        }
    }

    if (given > total) {
        raise_too_many_positional(sig, given);
        return false;
    }
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (!slot_at(i)) missing.push_back(std::string("'") + sig.params[i] + "'");
    }
    if (!missing.empty()) {
        raise_missing(sig, missing);
        return false;
    }
    return true;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                    std::span<PyRef> bound) {
    require(bound.size() == sig.params.size(), "one bound slot per parameter");
    return bind_into(sig, args, kwargs, [&](std::size_t i) -> PyRef& { return bound[i]; });
}

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                    std::span<PyRef* const> slots) {
    require(slots.size() == sig.params.size(), "one bound slot per parameter");
    return bind_into(sig, args, kwargs, [&](std::size_t i) -> PyRef& { return *slots[i]; });
}

bool check_double_array(PyObject* obj, int ndim) {
    const np::Api* numpy = np::api();
    if (numpy == nullptr) return false;
    if (np::is_array(*numpy, obj) && np::fields(obj).nd == ndim) {
        const int is_double = np::has_double_dtype(*numpy, obj);
        if (is_double < 0) return false;
        if (is_double) return true;
    }
    raise_type_mismatch(obj, "PyArray<T, D>");
    return false;
}

std::optional<double> to_double(PyObject* obj) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
    return value;
}

std::optional<OptionText> to_option_text(PyObject* obj) {
    if (!is_str(obj)) {
        raise_type_mismatch(obj, "PyString");
        return std::nullopt;
    }
    PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(obj));
    if (!encoded) return std::nullopt;
    const char* data = PyBytes_AsString(encoded.get());
    if (data == nullptr) return std::nullopt;
    const Py_ssize_t size = PyBytes_Size(encoded.get());
    return OptionText{obj, std::string(data, static_cast<std::size_t>(size))};
}

std::optional<Folds> to_folds(PyObject* obj) {
    Folds folds;
    if (!collect_folds(obj, folds)) return std::nullopt;
    return folds;
}

void prefix_argument_error(const char* name) {
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_tb = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_tb);
    if (raw_type == nullptr) return;
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_tb);
    if (raw_type != PyExc_TypeError || raw_value == nullptr) {
        PyErr_Restore(raw_type, raw_value, raw_tb);
        return;
    }
    PyRef type = PyRef::steal(raw_type);
    PyRef value = PyRef::steal(raw_value);
    PyRef tb = PyRef::steal(raw_tb);

    PyRef text = PyRef::steal(PyObject_Str(value.get()));
    if (!text) return;
    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    PyRef renamed =
        PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!renamed) return;
    if (PyObject* cause = PyException_GetCause(value.get())) {
        PyException_SetCause(renamed.get(), cause);
    }
    // Restore rather than raise, so that the replaced error does not become the context.
    Py_INCREF(PyExc_TypeError);
    PyErr_Restore(PyExc_TypeError, renamed.release(), nullptr);
}

std::optional<Pruning> parse_pruning(const OptionText& option) {
    const std::string& b = option.bytes;
    if (b == "FPVI" || b == "fpvi") return Pruning::FPVI;
    if (b == "PELT" || b == "pelt") return Pruning::PELT;
    PyErr_Format(PyExc_ValueError, "unknown pruning '%U', expected 'FPVI' or 'PELT'",
                 option.text);
    return std::nullopt;
}

std::optional<Precondition> parse_precondition(const OptionText& option) {
    if (!option.bytes.empty()) {
        std::string lowered = option.bytes;
        for (char& c : lowered) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        if (lowered == "none") return Precondition::none;
        if (lowered == "local") return Precondition::local;
    }
    PyErr_Format(PyExc_ValueError, "unknown precondition '%U', expected 'none' or 'local'",
                 option.text);
    return std::nullopt;
}

bool recheck_array(PyObject* obj, int ndim, const char* name) {
    if (check_double_array(obj, ndim)) return true;
    prefix_argument_error(name);
    return false;
}

StridedArray read_array(PyObject* obj) {
    const np::ArrayFields& f = np::fields(obj);
    StridedArray out;
    out.data = reinterpret_cast<const std::byte*>(f.data);
    for (int axis = 0; axis < f.nd && axis < 2; ++axis) {
        out.shape[axis] = static_cast<std::size_t>(f.dimensions[axis]);
        out.strides[axis] = static_cast<std::ptrdiff_t>(f.strides[axis]);
    }
    return out;
}

}  // namespace vorn::py
