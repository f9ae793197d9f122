#pragma once
// Samples handed back as prepare returned them: the one check of their shape and order, and
// their copy into the core's record, shared by every call that fits from them.

#include "chk.hpp"
#include "views.hpp"

namespace vorn::py {

// Why prepared samples cannot be what prepare returned, or null.
const char* unprepared(const VectorView& x, const MatrixView& y, const VectorView& w);

// The record the core fits from, delta derived as prepare_samples derives it.
PreparedSamples prepared_copy(const VectorView& x, const MatrixView& y, const VectorView& w);

}  // namespace vorn::py
