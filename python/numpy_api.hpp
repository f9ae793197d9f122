#pragma once
// NumPy's C array API without NumPy's headers: the few slots we call, read from the
// _ARRAY_API capsule on first use, and the array object's public fields. Slot numbers and the
// field layout are the same in NumPy 1.x and 2.x.

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "py_ref.hpp"

namespace vorn::py::np {

using npy_intp = Py_ssize_t;

constexpr int type_double = 12;                        // NPY_DOUBLE
constexpr int type_int64 = sizeof(long) == 8 ? 7 : 9;  // NPY_LONG, or NPY_LONGLONG on LLP64

constexpr int flag_c_contiguous = 0x1;
constexpr int flag_aligned = 0x100;
constexpr int flag_writeable = 0x400;

// PyArrayObject_fields; never touch anything of the descriptor but its identity.
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
    PyObject* weakreflist;
};

inline const ArrayFields& fields(PyObject* array) {
    return *reinterpret_cast<const ArrayFields*>(array);
}

struct Api {
    PyTypeObject* array_type;
    PyObject* (*descr_from_type)(int type_num);
    // Steals descr, also when it fails.
    PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd,
                                const npy_intp* dims, const npy_intp* strides, void* data,
                                int flags, PyObject* obj);
    unsigned char (*equiv_types)(PyObject* a, PyObject* b);
    // Steals base, also when it fails.
    int (*set_base_object)(PyObject* array, PyObject* base);
};

// The table, fetched on the first call of the process. Null with InternalFailure set when
// NumPy cannot be imported or its capsule is unusable; a later call tries again.
const Api* api();

inline bool is_array(const Api& a, PyObject* obj) { return PyObject_TypeCheck(obj, a.array_type); }

// 1 when the array's dtype is equivalent to float64, 0 when not, -1 with an error set.
int has_double_dtype(const Api& a, PyObject* array);

// A new C-contiguous, writeable array whose memory NumPy allocates; the caller fills it.
PyRef new_array(const Api& a, int type_num, int nd, const npy_intp* dims);

// Starts the element buffer of an array made by new_array.
inline char* data_of(PyObject* array) { return fields(array).data; }

// A C-contiguous array over the vector's memory; the vector moves into a capsule that becomes
// the array's base, so the memory lives exactly as long as the array.
template <class T, class A>
PyRef adopt_vector(const Api& a, std::vector<T, A>&& values, int type_num, int nd,
                   const npy_intp* dims);

namespace detail {
PyRef adopt_buffer(const Api& a, void* data, PyRef owner, int type_num, int nd,
                   const npy_intp* dims);
PyRef make_capsule(void* holder, void (*destroy)(PyObject*));
void* capsule_pointer(PyObject* capsule);

template <class V>
void destroy_holder(PyObject* capsule) {
    std::unique_ptr<V> owned(static_cast<V*>(capsule_pointer(capsule)));
}
}  // namespace detail

template <class T, class A>
PyRef adopt_vector(const Api& a, std::vector<T, A>&& values, int type_num, int nd,
                   const npy_intp* dims) {
    using Vector = std::vector<T, A>;
    if (values.empty()) return new_array(a, type_num, nd, dims);  // nothing worth adopting
    auto holder = std::make_unique<Vector>(std::move(values));
    void* data = holder->data();
    PyRef owner = detail::make_capsule(holder.get(), &detail::destroy_holder<Vector>);
    if (!owner) return {};  // holder still owns the vector
    (void)holder.release();  // the capsule owns it now
    return detail::adopt_buffer(a, data, std::move(owner), type_num, nd, dims);
}

}  // namespace vorn::py::np
