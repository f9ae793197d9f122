// The straight-line search (p == 0) with the dominance search's rules: PELT's pruning plus the
// certified margin of dp_dominance.cpp, which holds for lines word for word: a start's cost as a
// function of its line t is F[l-1] + gamma + e_l + |R_l t - z_l|^2, later samples add the same
// W(t) >= E_line(q+1..r) to every start, so |u|^2 <= gamma + F[q] - cost_l(q) where start l
// could still be chosen. Line factors never converge (they grow with every sample), but the
// part two neighbouring starts do not share becomes a vanishing share of either, so M - I and
// v shrink like one over the segment's length and old starts go. Growth is rightward, one state
// per live start, unlike partition_line, which regrows every segment leftward from each end.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "dp.hpp"
#include "dp_steps.hpp"
#include "failure.hpp"

namespace vorn {
namespace {

constexpr std::size_t drop_stride = 4;

// The live starts, each with its two factor rows (r11 r12 z1[dim]) and (0 r22 z2[dim]).
class LineStarts {
public:
    explicit LineStarts(std::size_t dim) : width_(dim + 2), work_(dim + 2) {}

    std::size_t size() const { return start_.size(); }
    std::uint64_t start(std::size_t i) const { return start_[i]; }
    double cost(std::size_t i) const { return offset_[i] + energy_[i]; }
    double segment_cost(std::size_t i) const { return before_[i] + energy_[i]; }

    void push(std::uint64_t start, double before, double offset, const double* first,
              const double* second) {
        start_.push_back(start);
        before_.push_back(before);
        offset_.push_back(offset);
        energy_.push_back(0.0);
        const std::size_t at = rows_.size();
        rows_.insert(rows_.end(), first, first + width_);
        rows_.insert(rows_.end(), second, second + width_);
        detail::line_rotate(&rows_[at], &rows_[at + width_], 0, width_);
    }

    void add(const double* row) {
        for (std::size_t i = 0; i < size(); ++i) {
            double* first = &rows_[2 * width_ * i];
            std::copy_n(row, width_, work_.begin());
            detail::line_rotate(first, work_.data(), 0, width_);
            detail::line_rotate(first + width_, work_.data(), 1, width_);
            double s = 0.0;
            for (std::size_t j = 2; j < width_; ++j) s = s + work_[j] * work_[j];
            energy_[i] = energy_[i] + s;
        }
    }

    // How much more than the keeper the other start must cost now never to be chosen again.
    double margin(std::size_t keeper, std::size_t other, double ceiling) const {
        const double reach = std::sqrt(std::max(0.0, ceiling - cost(other)));
        const double* k = &rows_[2 * width_ * keeper];
        const double* o = &rows_[2 * width_ * other];
        const double m11 = k[0] / o[0];
        const double m22 = k[width_ + 1] / o[width_ + 1];
        const double m12 = (k[1] - m11 * o[1]) / o[width_ + 1];
        const double e11 = m11 - 1.0, e22 = m22 - 1.0;
        const double spread = std::sqrt(e11 * e11 + m12 * m12 + e22 * e22);
        double offset = 0.0;
        for (std::size_t j = 2; j < width_; ++j) {
            const double v1 = (m11 * o[j] + m12 * o[width_ + j]) - k[j];
            const double v2 = m22 * o[width_ + j] - k[width_ + j];
            offset += v1 * v1 + v2 * v2;
        }
        const double delta = spread * reach + std::sqrt(offset);
        return 2.0 * reach * delta + delta * delta;
    }

    // As StartSet::drop_dominated: each start still flagged against the one flagged before it.
    std::size_t drop_dominated(double ceiling, std::vector<std::uint64_t>& keep) const {
        const double slack = 0x1p-40 * std::abs(ceiling);
        std::size_t cleared = 0;
        std::size_t previous = size();
        for (std::size_t i = 0; i < size(); ++i) {
            if (!keep[i]) continue;
            if (previous == size()) {
                previous = i;
                continue;
            }
            const double difference = cost(i) - cost(previous);
            if (difference > 0.0 && difference > margin(previous, i, ceiling) + slack) {
                keep[i] = 0;
                ++cleared;
                continue;
            }
            if (difference < 0.0 && -difference > margin(i, previous, ceiling) + slack) {
                keep[previous] = 0;
                ++cleared;
            }
            previous = i;
        }
        return cleared;
    }

    void keep_only(const std::vector<std::uint64_t>& keep) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < size(); ++i) {
            if (!keep[i]) continue;
            start_[kept] = start_[i];
            before_[kept] = before_[i];
            offset_[kept] = offset_[i];
            energy_[kept] = energy_[i];
            std::copy_n(&rows_[2 * width_ * i], 2 * width_, &rows_[2 * width_ * kept]);
            ++kept;
        }
        start_.resize(kept);
        before_.resize(kept);
        offset_.resize(kept);
        energy_.resize(kept);
        rows_.resize(2 * width_ * kept);
    }

private:
    std::size_t width_;
    std::vector<std::uint64_t> start_;
    std::vector<double> before_, offset_, energy_, rows_;
    std::vector<double> work_;
};

}  // namespace

PartitionResult partition_line_dominance(std::span<const double> x, const MatrixView& y,
                                         std::span<const double> delta, double gamma,
                                         const CancelHook& cancel) {
    const std::size_t n = x.size();
    const std::size_t dim = y.cols;
    const std::size_t width = dim + 2;
    detail::LineSearchStart start = detail::line_search_start(x, y, delta);
    const std::vector<double>& rows = start.rows;
    PartitionResult result = std::move(start.result);
    std::vector<double>& F = result.F;
    if (gamma >= F[n - 1] || n <= 2) return result;

    LineStarts live(dim);
    std::vector<std::uint64_t> keep;
    SearchStats& stats = result.stats;
    bool start_waiting = true;  // start r - 1 joins at step r; start 1 always exists
    for (std::size_t r = 2; r < n; ++r) {
        const std::size_t count = live.size();
        keep.assign(count, 1);
        // Judged on the states at r - 1 and applied after the choice at r.
        const std::size_t dominated =
            r % drop_stride == 0 && count > 1 ? live.drop_dominated(gamma + F[r - 1], keep) : 0;
        live.add(&rows[r * width]);
        stats.extensions += count;
        if (start_waiting) {
            const std::size_t l = r - 1;
            live.push(l, F[l - 1], F[l - 1] + gamma, &rows[l * width], &rows[r * width]);
            keep.push_back(1);
        }
        // Strictly smaller replaces, scanning from the largest start, as partition_line's scan
        // from the end does: the largest of equal starts wins, the whole prefix wins every tie.
        double best_value = F[r];
        std::uint64_t best = 0;
        for (std::size_t i = live.size(); i-- > 0;) {
            const double cand = live.cost(i);
            if (best_value > cand) {
                best_value = cand;
                best = live.start(i);
            }
        }
        F[r] = best_value;
        result.partition[r] = best;
        stats.max_active = std::max<std::uint64_t>(stats.max_active, live.size());
        stats.dropped += dominated;
        std::size_t pruned = 0;
        // PELT's rule, without gamma: lines only lose by growing; NaN drops the start too.
        for (std::size_t i = 0; i < live.size(); ++i) {
            if (keep[i] && !(best_value >= live.segment_cost(i))) {
                keep[i] = 0;
                ++pruned;
            }
        }
        stats.pruned += pruned;
        if (dominated + pruned > 0) live.keep_only(keep);
        start_waiting = r < n - 1 && best_value >= F[r - 1] + 0.0;
        if (r < n - 1 && !start_waiting) ++stats.pruned;
        cancel.tick(live.size() + 1);
    }
    result.complexity_counter = n + stats.extensions;
    return result;
}

}  // namespace vorn
