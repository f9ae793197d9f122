#pragma once
// Cooperative interruption of long computations. The caller hands the core a hook; the core's
// loops tick it once per unit of work (a segment extension, a fold), and every so often the hook
// asks the caller whether to stop. A stop unwinds the core by the exception below, so every
// buffer is released on the way out by its owner; the caller turns it into its own signal (a
// KeyboardInterrupt at the Python boundary). Ticking never changes a computed value.

#include <chrono>
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
    // The stride is where the count of units between two questions starts; it then adapts so
    // that questions come every few milliseconds whatever a unit costs.
    CancelHook(Poll poll, void* context, std::uint64_t units_between_polls = 1u << 14)
        : poll_(poll),
          context_(context),
          stride_(units_between_polls > 0 ? units_between_polls : 1),
          countdown_(stride_) {}

    // Counts `units` of work; asks the caller once the count since the last question reaches
    // the stride, and throws Cancelled when the caller says stop.
    void tick(std::uint64_t units = 1) const {
        if (poll_ == nullptr) return;
        if (countdown_ > units) {
            countdown_ -= units;
            return;
        }
        adapt_stride();
        countdown_ = stride_;
        if (poll_(context_)) throw Cancelled();
    }

    // Asks at once, whatever the count.
    void check() const {
        if (poll_ != nullptr && poll_(context_)) throw Cancelled();
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto too_soon = std::chrono::milliseconds(2);
    static constexpr auto too_late = std::chrono::milliseconds(20);
    static constexpr std::uint64_t largest_stride = std::uint64_t{1} << 40;

    void adapt_stride() const {
        const Clock::time_point now = Clock::now();
        if (asked_before_) {
            const auto elapsed = now - last_question_;
            if (elapsed < too_soon && stride_ < largest_stride) {
                stride_ *= 2;
            } else if (elapsed > too_late && stride_ > 1) {
                stride_ /= 2;
            }
        }
        asked_before_ = true;
        last_question_ = now;
    }

    Poll poll_ = nullptr;
    void* context_ = nullptr;
    mutable std::uint64_t stride_ = 1;
    mutable std::uint64_t countdown_ = 1;
    mutable bool asked_before_ = false;
    mutable Clock::time_point last_question_{};
};

}  // namespace vorn
