#include "failure.hpp"

namespace vorn {

void fail_assertion(const char* message) { throw AssertionFailure(message); }

}  // namespace vorn
