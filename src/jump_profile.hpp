#pragma once
// How firmly the data hold each jump of a fit: the cost of the fit as one jump moves between
// its neighbours (the others held fixed), and the cost of removing it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cancel.hpp"
#include "views.hpp"

namespace vorn {

// The prepared samples of a fit and its smoothing. Weights are the merged 1 / delta^2 of the
// prepared samples (empty: all ones).
struct JumpProfileInputs {
    std::span<const double> x;
    MatrixView y;
    std::span<const double> w;
    double p = 0.0;
    bool local_scales = false;  // precondition "local"

    std::size_t size() const { return x.size(); }
};

// Splits are named by the last sample of the left part. For jump j the split moves within its
// two segments, first..last, over the splits the search itself allows: a left part of at least
// two samples (one when it starts at sample 0) and a right part of at least two.
struct JumpProfiles {
    std::vector<std::uint64_t> first;  // first sample of the left segment
    std::vector<std::uint64_t> last;   // last sample of the right segment
    std::vector<double> merged;        // energy of first..last as one segment
    std::vector<double> at_fit;        // the two segments' energies at the fit's split
    std::vector<double> best;          // the smallest cost over all splits
    std::vector<std::uint64_t> best_split;
    // The smallest and largest split whose cost is within the jump's threshold of `best`.
    std::vector<std::uint64_t> low;
    std::vector<std::uint64_t> high;
    // Only when asked for: the cost of every allowed split of every jump, jump after jump;
    // jump j's splits start at profile_offset[j].
    std::vector<double> profile;
    std::vector<std::uint64_t> profile_offset;
    // What the cheapest split saves on the merged segment's own smooth (the merged samples
    // replaced by the spline fitted to them at p): the part of a split's saving that curvature
    // alone, without a jump and without noise, would give it. 0 for straight lines (p = 0).
    // Both are computed over the samples within the reach of the split (below).
    std::vector<double> smooth_saving;
    // Only when asked for: that smooth over the window, from sample smooth_first[j], in rows
    // smooth_offset[j]..smooth_offset[j + 1] (none for p = 0), one row of y's columns each.
    std::vector<double> smooth;
    std::vector<std::uint64_t> smooth_offset;
    std::vector<std::uint64_t> smooth_first;
};

// jump_indices: the last sample before each jump, strictly ascending, each below n - 2;
// thresholds: one per jump, in energy units. Time linear in the samples of the segments next
// to the jumps; beyond the results, buffers of the longest pair of segments. smooth_reach: the
// smooth saving refits the samples within this many bandwidths of the split (inf: the whole
// merged segment).
inline constexpr double default_smooth_reach = 10.0;
JumpProfiles jump_profiles(const JumpProfileInputs& in, std::span<const std::uint64_t> jump_indices,
                           std::span<const double> thresholds, bool keep_profile,
                           double smooth_reach = default_smooth_reach, bool keep_smooth = false,
                           const CancelHook& cancel = CancelHook());

}  // namespace vorn
