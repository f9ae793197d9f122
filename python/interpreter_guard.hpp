#pragma once
// Each module's process-wide state (its exception type, NumPy's table) belongs to the
// interpreter that imported it first; an import from any other interpreter is refused.

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace vorn::py {

// True when the calling interpreter owns `owner` (claiming it if nobody has); otherwise false
// with ImportError (or the interpreter's own error) set.
inline bool claim_interpreter(std::atomic<std::int64_t>& owner, const char* module_name) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return false;
    std::int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it belongs to interpreter %lld, "
                     "not to interpreter %lld",
                     module_name, static_cast<long long>(expected), static_cast<long long>(id));
        return false;
    }
    return true;
}

}  // namespace vorn::py
