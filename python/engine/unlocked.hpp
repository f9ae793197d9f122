#pragma once
// Core work with the interpreter lock released. The core ticks a cancellation hook; every few
// milliseconds the hook takes the lock back for a moment to run the signal handlers, so that
// Ctrl-C stops a long fit, and a stop unwinds the core with everything freed by its owners.

#include <Python.h>

#include <chrono>
#include <exception>
#include <utility>

#include "cancel.hpp"
#include "errors.hpp"

namespace vorn::py {

class SignalPoll {
public:
    SignalPoll() = default;
    SignalPoll(const SignalPoll&) = delete;
    SignalPoll& operator=(const SignalPoll&) = delete;

    void release_lock() {
        last_ = std::chrono::steady_clock::now();
        state_ = PyEval_SaveThread();
    }
    void take_lock() { PyEval_RestoreThread(state_); }

    // A clock read every few thousand units keeps the hook's cost far below the work it
    // interrupts; the time test keeps the lock free for other threads in between.
    CancelHook hook() { return CancelHook(&poll, this, 1u << 12); }

private:
    static constexpr std::chrono::milliseconds interval{5};

    static bool poll(void* context) {
        auto& self = *static_cast<SignalPoll*>(context);
        const auto now = std::chrono::steady_clock::now();
        if (now - self.last_ < interval) return false;
        self.last_ = now;
        PyEval_RestoreThread(self.state_);
        const bool stop = PyErr_CheckSignals() < 0;
        self.state_ = PyEval_SaveThread();
        return stop;
    }

    PyThreadState* state_ = nullptr;
    std::chrono::steady_clock::time_point last_{};
};

// Runs body(hook) without the lock; the lock is held again on return. An exception of body
// (the core's failures, bad_alloc, Cancelled) becomes the Python error and false, as in the
// firewall of every entry point.
template <class Body>
bool run_unlocked(Body&& body) noexcept {
    SignalPoll poll;
    std::exception_ptr failure;
    poll.release_lock();
    try {
        const CancelHook hook = poll.hook();
        std::forward<Body>(body)(hook);
    } catch (...) {
        failure = std::current_exception();
    }
    poll.take_lock();
    if (!failure) return true;
    return firewall([&failure] { std::rethrow_exception(failure); });
}

}  // namespace vorn::py
