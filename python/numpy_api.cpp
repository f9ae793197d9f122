#include <Python.h>

#include "numpy_api.hpp"

#include "errors.hpp"

namespace vorn::py::np {

namespace {

// Slot numbers in the _ARRAY_API table.
constexpr int slot_array_type = 2;
constexpr int slot_descr_from_type = 45;
constexpr int slot_new_from_descr = 94;
constexpr int slot_equiv_types = 182;
constexpr int slot_feature_version = 211;
constexpr int slot_set_base_object = 282;

// PyArray_SetBaseObject arrived with feature version 7 (NumPy 1.7).
constexpr unsigned minimum_feature_version = 7;

constexpr const char* holder_capsule_name = "_vorn_core.buffer";

// Written once, on the first successful fetch; the capsule is kept so that the table outlives
// any unloading of NumPy's modules.
Api table{};
bool table_ready = false;
PyObject* kept_capsule = nullptr;

template <class Fn>
Fn slot(void** entries, int index) {
    return reinterpret_cast<Fn>(entries[index]);
}

bool fetch(Api& out) {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return false;
    PyRef lib = PyRef::steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) return false;
    PyRef version_type = PyRef::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    if (!version_type) return false;
    PyRef parsed =
        PyRef::steal(PyObject_CallFunctionObjArgs(version_type.get(), version.get(), nullptr));
    if (!parsed) return false;
    PyRef major_obj = PyRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_obj) return false;
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) return false;

    // NumPy 2 moved the core modules; the old path only warns there, so ask for the new one.
    const char* module_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    PyRef multiarray = PyRef::steal(PyImport_ImportModule(module_name));
    if (!multiarray) return false;
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return false;
    auto** entries = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (entries == nullptr) return false;

    const unsigned feature = slot<unsigned (*)()>(entries, slot_feature_version)();
    if (feature < minimum_feature_version) {
        PyErr_Format(PyExc_ImportError, "NumPy C API feature version %u is older than %u",
                     feature, minimum_feature_version);
        return false;
    }
    out.array_type = static_cast<PyTypeObject*>(entries[slot_array_type]);
    out.descr_from_type = slot<decltype(out.descr_from_type)>(entries, slot_descr_from_type);
    out.new_from_descr = slot<decltype(out.new_from_descr)>(entries, slot_new_from_descr);
    out.equiv_types = slot<decltype(out.equiv_types)>(entries, slot_equiv_types);
    out.set_base_object = slot<decltype(out.set_base_object)>(entries, slot_set_base_object);
    kept_capsule = capsule.release();
    return true;
}

// Replaces the pending error by InternalFailure naming it, with the original as its cause.
void raise_fetch_failure() {
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_tb = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_tb);
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_tb);
    PyRef type = PyRef::steal(raw_type);
    PyRef value = PyRef::steal(raw_value);
    PyRef tb = PyRef::steal(raw_tb);

    PyObject* failure_type = internal_failure_type();
    if (failure_type == nullptr) return;
    PyRef message;
    if (value) {
        if (tb) PyException_SetTraceback(value.get(), tb.get());
        PyRef qualname = PyRef::steal(PyObject_GetAttrString(type.get(), "__qualname__"));
        PyRef text = PyRef::steal(PyObject_Str(value.get()));
        if (qualname && text) {
            message = PyRef::steal(PyUnicode_FromFormat(
                "Failed to access NumPy array API capsule: %U: %U", qualname.get(), text.get()));
        }
        PyErr_Clear();
    }
    if (!message) {
        message = PyRef::steal(PyUnicode_FromString("Failed to access NumPy array API capsule"));
        if (!message) return;
    }
    PyRef failure =
        PyRef::steal(PyObject_CallFunctionObjArgs(failure_type, message.get(), nullptr));
    if (!failure) return;
    if (value) PyException_SetCause(failure.get(), value.release());
    PyErr_SetObject(failure_type, failure.get());
}

}  // namespace

const Api* api() {
    if (table_ready) return &table;
    Api fetched{};
    if (!fetch(fetched)) {
        raise_fetch_failure();
        return nullptr;
    }
    table = fetched;
    table_ready = true;
    return &table;
}

int has_double_dtype(const Api& a, PyObject* array) {
    PyRef wanted = PyRef::steal(a.descr_from_type(type_double));
    if (!wanted) return -1;
    return a.equiv_types(fields(array).descr, wanted.get()) ? 1 : 0;
}

PyRef new_array(const Api& a, int type_num, int nd, const npy_intp* dims) {
    PyObject* descr = a.descr_from_type(type_num);
    if (descr == nullptr) return {};
    return PyRef::steal(a.new_from_descr(a.array_type, descr, nd, dims, nullptr, nullptr, 0,
                                         nullptr));
}

namespace detail {

PyRef make_capsule(void* holder, void (*destroy)(PyObject*)) {
    return PyRef::steal(PyCapsule_New(holder, holder_capsule_name, destroy));
}

void* capsule_pointer(PyObject* capsule) {
    return PyCapsule_GetPointer(capsule, holder_capsule_name);
}

PyRef adopt_buffer(const Api& a, void* data, PyRef owner, int type_num, int nd,
                   const npy_intp* dims) {
    PyObject* descr = a.descr_from_type(type_num);
    if (descr == nullptr) return {};
    PyRef array = PyRef::steal(a.new_from_descr(a.array_type, descr, nd, dims, nullptr, data,
                                                flag_c_contiguous | flag_aligned | flag_writeable,
                                                nullptr));
    if (!array) return {};
    if (a.set_base_object(array.get(), owner.release()) < 0) return {};
    return array;
}

}  // namespace detail

}  // namespace vorn::py::np
