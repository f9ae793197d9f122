#pragma once
// Internal invariants of the core. A broken invariant is a bug (or, for "NaN in x", data the
// core cannot order), never a user error: it throws the one exception type below, which only
// the extension boundary catches.

#include <stdexcept>
#include <string>

namespace vorn {

class AssertionFailure : public std::runtime_error {
public:
    explicit AssertionFailure(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] void fail_assertion(const char* message);

inline void require(bool condition, const char* message) {
    if (!condition) fail_assertion(message);
}

}  // namespace vorn
