#pragma once
// The exact optimal partition of the samples into constant segments: a segment's energy is
// sum_i w_i |y_i - mean|^2 (the weighted mean of each column, summed over the columns), each
// jump costs gamma. Segments obey the other searches' rule: every segment but the first holds
// at least two samples (the first may be the single sample 0), and the whole prefix wins a tie.

#include <span>

#include "cancel.hpp"
#include "dp.hpp"
#include "views.hpp"

namespace vorn {

// F[r] is the least cost of samples 0..r, partition[r] the first sample of its last segment.
// w holds the weights 1 / delta^2, positive and finite; y is finite. The stats count
// extensions (one sample added to one live start), pruned (starts that cost more than the best
// partition ending one sample earlier) and dropped (starts whose possible final levels ran out).
PartitionResult partition_constant(const MatrixView& y, std::span<const double> w, double gamma,
                                   const CancelHook& cancel = CancelHook());

// The weighted mean level and energy of samples first..last, by the same running updates as
// the search; `level` receives y.cols values.
double constant_energy(const MatrixView& y, std::span<const double> w, std::size_t first,
                       std::size_t last, std::span<double> level);

}  // namespace vorn
