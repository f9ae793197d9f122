#pragma once
// How failures leave the extension: the exception type for broken internal invariants and the
// one place where C++ exceptions become Python errors.

#include <Python.h>

#include <utility>

namespace vorn::py {

// The qualified name of the module's InternalFailure type: each module that links this code
// defines it, so that each has its own type, named after the module.
extern const char* const internal_failure_name;

// Borrowed reference to the process-wide InternalFailure type (a direct subclass of
// BaseException, so that `except Exception` does not swallow a bug), or null with an error set.
PyObject* internal_failure_type();

// Sets InternalFailure(message) as the pending error; the text is read as UTF-8.
void raise_internal_failure(const char* message);

// Turns the C++ exception being handled into a Python error. Call only inside a catch block.
void translate_current_exception() noexcept;

// Runs body; a C++ exception never gets past this point. Returns false when one was caught
// (a Python error is then set). Python errors the body sets itself are left to the caller.
template <class Body>
bool firewall(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
        return true;
    } catch (...) {
        translate_current_exception();
        return false;
    }
}

}  // namespace vorn::py
