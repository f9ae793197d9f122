// The dominance search: PELT whose list of live starts also loses every start that another start
// dominates, so that the list stays short inside long segments.
//
// Why merging equal states is exact. Start l's cost at end r is F[l-1] + gamma + E(l..r), and
// E(l..r) = e_l + |R_l t - z_l|^2 minimised jointly with the rows still to come, where (R_l, z_l)
// is the state at the current end and e_l the energy so far. Every start takes the same steps,
// so two starts whose (R, z) are equal bit for bit stay equal bit for bit, and each step adds
// the very same residual to both energies. From then on their costs differ by the constant
// (F[l-1] + gamma + e_l) - (F[m-1] + gamma + e_m): the one with the larger constant never beats
// the other again and is dropped (on equal constants the larger start stays, as the tie rule
// lets it win every tie). Only the floating-point sums of the two energies may round apart, by
// a few units in the last place of the energy per step; so a dropped start could have won
// PELT's comparison only by such a rounding margin, where the two partitions cost the same up
// to rounding. Merging never changes the choice at the step where it happens.
//
// Equal states are looked for among all live starts, not only between neighbours: on evenly
// spaced sites the factor may end in a cycle of a few values in its last bits, and then only
// starts a whole period apart become equal. Merging is exact whenever it happens, so it is
// done every few steps only; a pair found late only costs work.
//
// Why dropping a start whose state is merely close to another's is exact. Write C_l(t) =
// F[l-1] + gamma + e_l + |R_l t - z_l|^2 for start l's cost as a function of the values t (value
// and scaled slope, one column per value column) at the current end q. Whatever rows come later
// add the same W(t) >= 0 to every start, so at a later end r start l costs min_t C_l + W. Let t*
// be its minimiser and u = R_l t* - z_l. Start m can take the same t*, so
//     cost_m(r) - cost_l(r) <= C_m(t*) - C_l(t*).
// With M = R_m R_l^-1, R_m t* - z_m = u + (M - I) u + v where v = M z_l - z_m; by the triangle
// inequality, with delta = |M - I| s + |v| for any s >= |u|,
//     C_m(t*) - C_l(t*) <= (cost_m(q) - cost_l(q)) + 2 s delta + delta^2.
// So a start l that costs more than m now by more than 2 s delta + delta^2 always costs more
// than m, and is never chosen. The bound s only has to hold where l could be chosen, at an end
// r >= q + 2: there l costs no more than a new segment from q + 1, F[q] + gamma + E(q+1..r),
// while its own cost is cost_l(q) + |u|^2 + W(t*) with W(t*) >= E(q+1..r) (W's rows are those of
// E(q+1..r) plus the roughness of the interval before q + 1). Hence
//     |u|^2 <= gamma + F[q] - cost_l(q),
// a bound that does not grow with the data to come. Judged at q, a start is dropped after the
// choice at q + 1. Norms are Frobenius, which bound the operator norm. Equal states give
// delta = 0: the rule above. The costs compared carry rounding as before, so a small slack
// relative to gamma + F only ever keeps a start. The rule acts long before the states agree to
// the last bit: a start goes once its state's distance times s falls below its cost difference.

#include <algorithm>
#include <cmath>

#include "dp.hpp"
#include "dp_steps.hpp"
#include "dp_sweep.hpp"

namespace vorn {

using detail::RoughnessRows;
using detail::StartSet;

namespace {
constexpr std::size_t merge_stride = 4;
}  // namespace

PartitionResult partition_dominance(const EnergyInputs& in, double gamma,
                                    const CancelHook& cancel) {
    MappedVector<SpacingPowers> powers;
    PartitionResult result = detail::search_start(in, powers, cancel);
    const std::size_t n = in.size();
    const std::size_t dim = in.y.cols;
    std::vector<double>& F = result.F;
    if (gamma >= F[n - 1] || n <= 2) return result;

    StartSet live(dim);
    std::vector<double> block(segment_state_size(dim));
    std::vector<double> weighted_row(dim);
    std::vector<std::uint64_t> keep;
    SearchStats& stats = result.stats;
    bool start_waiting = true;  // start r - 1 joins at step r; start 1 always exists
    for (std::size_t r = 2; r < n; ++r) {
        const RoughnessRows rr =
            detail::roughness_rows({r - 1, r, powers[r - 1], in.a, in.tau_at(r - 1), in.tau_at(r)});
        const std::size_t count = live.size();
        keep.assign(count, 1);
        // Judged on the states at r - 1 and applied after the choice at r: the margin holds from
        // r + 1 on (see above).
        const std::size_t dominated =
            r % merge_stride == 0 && count > 1 ? live.drop_dominated(gamma + F[r - 1], keep) : 0;
        if (count > 0) {
            for (std::size_t j = 0; j < dim; ++j) weighted_row[j] = in.omega[r] * in.y(r, j);
            if (!live.extend_all(rr, in.omega[r], weighted_row.data())) {
                for (std::size_t i = 0; i < count; ++i) {
                    live.load(i, block.data());
                    detail::extend_state(block.data(), dim, rr, in.omega[r], in.y, r);
                    live.store(i, block.data());
                }
                ++stats.fallback_steps;
            }
            stats.extensions += count;
        }
        if (start_waiting) {
            const std::size_t l = r - 1;
            detail::init_state(block.data(), dim,
                               detail::roughness_rows(
                                   {l, l + 1, powers[l], in.a, in.tau_at(l), in.tau_at(l + 1)}),
                               in.omega[l], in.omega[l + 1], in.y, l, l + 1);
            live.push(l, F[l - 1], F[l - 1] + gamma, block.data());
        }

        // Strictly smaller replaces, scanning from the largest start: among equal candidates
        // the largest start wins, and the whole prefix (the initial value) wins every tie.
        std::uint64_t best = 0;
        const double best_value = live.lowest_cost(F[r], best);
        const std::size_t size = live.size();
        F[r] = best_value;
        result.partition[r] = best;
        stats.max_active = std::max<std::uint64_t>(stats.max_active, size);

        keep.resize(size, 1);
        // Equal states stay equal, so finding them a few steps late keeps a few extra starts for
        // those steps only, while looking every step would cost about a sixth of the work.
        const std::size_t merged = r % merge_stride == 0 ? live.merge_equal(keep) : 0;
        stats.dropped += merged + dominated;
        bool any_dropped = merged + dominated > 0;
        // PELT's rule, without gamma: a start whose segment alone already costs more than the
        // optimum can never win again, since energies only grow; NaN drops the start too.
        const std::size_t pruned = live.prune(best_value, keep);
        stats.pruned += pruned;
        any_dropped = any_dropped || pruned > 0;
        if (any_dropped) live.keep_only(keep);
        // The next start's state covers two samples and costs nothing yet.
        start_waiting = r < n - 1 && best_value >= F[r - 1] + 0.0;
        if (r < n - 1 && !start_waiting) ++stats.pruned;
        cancel.tick(size + 1);
    }
    result.complexity_counter = n + stats.extensions;
    return result;
}

}  // namespace vorn
