#include <Python.h>

#include "fault_injection.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace vorn::py {

namespace {

// Armed only for the duration of one hooked call, which runs under the interpreter lock.
bool armed = false;
std::uint64_t made_while_armed = 0;
std::uint64_t failing_allocation = 0;  // 1-based index of the allocation that fails; 0: none
// Whether that allocation was a non-throwing one, whose caller is meant to cope with a refusal.
bool failed_without_throwing = false;
// Blocks handed out minus blocks returned, over the whole process.
std::atomic<std::int64_t> live_blocks{0};

void* allocate(std::size_t size, std::size_t alignment, bool nothrow = false) {
    if (armed) {
        ++made_while_armed;
        if (made_while_armed == failing_allocation) {
            failed_without_throwing = nothrow;
            throw std::bad_alloc();
        }
    }
    if (size == 0) size = 1;
    void* block = nullptr;
    if (alignment > alignof(std::max_align_t)) {
        const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
        block = std::aligned_alloc(alignment, rounded);
    } else {
        block = std::malloc(size);
    }
    if (block == nullptr) throw std::bad_alloc();
    live_blocks.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void release(void* block) noexcept {
    if (block == nullptr) return;
    live_blocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

// _call_failing_allocation(k, func, args, kwargs): func(*args, **kwargs) with the k-th C++
// allocation made during the call failing (k = 0: none fails).
PyObject* call_failing_allocation(PyObject*, PyObject* args) {
    unsigned long long k = 0;
    PyObject* func = nullptr;
    PyObject* call_args = nullptr;
    PyObject* call_kwargs = nullptr;
    if (!PyArg_ParseTuple(args, "KOO!O", &k, &func, &PyTuple_Type, &call_args, &call_kwargs)) {
        return nullptr;
    }
    if (call_kwargs == Py_None) call_kwargs = nullptr;
    made_while_armed = 0;
    failed_without_throwing = false;
    failing_allocation = k;
    armed = true;
    PyObject* result = PyObject_Call(func, call_args, call_kwargs);
    armed = false;
    return result;
}

// (allocations made during the last hooked call, blocks live now, whether the failed
// allocation of that call was a non-throwing one)
PyObject* allocation_counts(PyObject*, PyObject*) {
    return Py_BuildValue("KLO", static_cast<unsigned long long>(made_while_armed),
                         static_cast<long long>(live_blocks.load()),
                         failed_without_throwing ? Py_True : Py_False);
}

PyMethodDef hooks[] = {
    {"_call_failing_allocation", call_failing_allocation, METH_VARARGS, nullptr},
    {"_allocation_counts", allocation_counts, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_fault_injection_hooks(PyObject* module) { return PyModule_AddFunctions(module, hooks); }

}  // namespace vorn::py

// The replaceable global allocation functions; all of them, so that no form escapes counting.
void* operator new(std::size_t size) { return vorn::py::allocate(size, 0); }
void* operator new[](std::size_t size) { return vorn::py::allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t alignment) {
    return vorn::py::allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return vorn::py::allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return vorn::py::allocate(size, 0, true);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return vorn::py::allocate(size, 0, true);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* block) noexcept { vorn::py::release(block); }
void operator delete[](void* block) noexcept { vorn::py::release(block); }
void operator delete(void* block, std::size_t) noexcept { vorn::py::release(block); }
void operator delete[](void* block, std::size_t) noexcept { vorn::py::release(block); }
void operator delete(void* block, std::align_val_t) noexcept { vorn::py::release(block); }
void operator delete[](void* block, std::align_val_t) noexcept { vorn::py::release(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
    vorn::py::release(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
    vorn::py::release(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept { vorn::py::release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { vorn::py::release(block); }
