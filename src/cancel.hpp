#pragma once
// Cooperative interruption of long computations. The caller hands the core a hook; the core's
// loops tick it once per unit of work (a segment extension, a fold), and every so often the hook
// asks the caller whether to stop. A stop unwinds the core by the exception below, so every
// buffer is released on the way out by its owner; the caller turns it into its own signal (a
// KeyboardInterrupt at the Python boundary). Ticking never changes a computed value.

#include <cstdint>
#include <exception>

namespace vorn {

class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "computation cancelled"; }
};

class CancelHook {
public:
    // Returns true when the computation should stop.
    using Poll = bool (*)(void* context);

    CancelHook() = default;
    CancelHook(Poll poll, void* context, std::uint64_t units_between_polls = 1u << 14)
        : poll_(poll), context_(context), stride_(units_between_polls), countdown_(stride_) {}

    // Counts `units` of work; asks the caller once the count since the last question reaches
    // the stride, and throws Cancelled when the caller says stop.
    void tick(std::uint64_t units = 1) const {
        if (poll_ == nullptr) return;
        if (countdown_ > units) {
            countdown_ -= units;
            return;
        }
        countdown_ = stride_;
        if (poll_(context_)) throw Cancelled();
    }

    // Asks at once, whatever the count.
    void check() const {
        if (poll_ != nullptr && poll_(context_)) throw Cancelled();
    }

private:
    Poll poll_ = nullptr;
    void* context_ = nullptr;
    std::uint64_t stride_ = 1;
    mutable std::uint64_t countdown_ = 1;
};

}  // namespace vorn
