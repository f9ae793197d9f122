#pragma once
// A move-only owner of one strong reference, so that every early return releases what the
// frame made.

#include <Python.h>

#include <utility>

namespace vorn::py {

class PyRef {
public:
    PyRef() = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(ptr_); }

    // Takes over a new reference (which may be null after a failed call).
    static PyRef steal(PyObject* ptr) { return PyRef(ptr); }
    // Adds a reference of its own to a borrowed pointer.
    static PyRef borrow(PyObject* ptr) {
        Py_XINCREF(ptr);
        return PyRef(ptr);
    }

    PyObject* get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

    // Hands the reference to the caller, e.g. to a function that steals it.
    [[nodiscard]] PyObject* release() { return std::exchange(ptr_, nullptr); }

    void reset(PyObject* ptr = nullptr) {
        // The old object may run arbitrary code when it dies; detach it first.
        PyObject* old = std::exchange(ptr_, ptr);
        Py_XDECREF(old);
    }

private:
    explicit PyRef(PyObject* ptr) : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace vorn::py
