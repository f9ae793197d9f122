#pragma once
// One cubic smoothing spline over strictly ascending sites (Reinsch's algorithm in p-weighted
// form, banded, all value columns at once).

#include "ppform.hpp"
#include "views.hpp"

namespace vorn {

PpForm csaps(const VectorView& x, const MatrixView& y, const VectorView& w, double p);

}  // namespace vorn
