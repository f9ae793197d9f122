#include <Python.h>

#include "errors.hpp"

#include <cstring>
#include <exception>
#include <new>

#include "cancel.hpp"
#include "failure.hpp"
#include "py_ref.hpp"

namespace vorn::py {

namespace {

// Written once, under the interpreter lock, and kept for the life of the process.
PyObject* internal_failure = nullptr;

}  // namespace

PyObject* internal_failure_type() {
    if (internal_failure == nullptr) {
        internal_failure = PyErr_NewExceptionWithDoc(
            internal_failure_name,
            "A broken internal invariant of the fitting core; never a user error.",
            PyExc_BaseException, nullptr);
    }
    return internal_failure;
}

void raise_internal_failure(const char* message) {
    PyObject* type = internal_failure_type();
    if (type == nullptr) return;
    // A message that is not valid UTF-8 must still reach the caller.
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
        message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const vorn::AssertionFailure& failure) {
        raise_internal_failure(failure.what());
    } catch (const vorn::Cancelled&) {
        // The hook stopped because a signal handler raised; its error is already set.
        if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        raise_internal_failure(other.what());
    } catch (...) {
        raise_internal_failure("unknown C++ exception");
    }
}

}  // namespace vorn::py
