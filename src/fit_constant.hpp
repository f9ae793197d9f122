#pragma once
// The package's fit with constant segments: the optimal partition of partition_constant and,
// per segment, its weighted mean, joined into one piecewise form whose jumps lie halfway
// between neighbouring segments, as the smooth fit places them.

#include "cancel.hpp"
#include "chk.hpp"
#include "vorn.hpp"

namespace vorn {

// From prepared samples (sorted distinct sites, positive finite weights, finite rows); every
// segment is one cubic piece over its cell with the mean in the constant slot. gamma is
// checked as the smooth fit checks it.
Checked<Curve> fit_constant_curve(PreparedSamples&& samples, double gamma,
                                  const CancelHook& cancel = CancelHook());
// The same curve from samples read where they are held (delta is not read): the curve's x and
// y are left empty.
Checked<Curve> fit_constant_curve_in_place(const PreparedView& samples, double gamma,
                                           const CancelHook& cancel = CancelHook());

}  // namespace vorn
