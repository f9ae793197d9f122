#include "jump_profile.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "dp.hpp"
#include "failure.hpp"

namespace vorn {
namespace {

// The energy of a run of samples grown one sample at a time, with the fit's own arithmetic:
// weights, spacings and slope scales are formed per step exactly as the fit forms them for
// the whole series, so no per-sample array is needed.
class Grower {
public:
    explicit Grower(const JumpProfileInputs& in)
        : in_(in),
          sqrt_p_(std::sqrt(in.p)),
          a_(std::sqrt(1.0 - in.p)),
          block_(segment_state_size(in.y.cols), 0.0) {
        if (in.p == 0.0) {
            line_.emplace(in.y.cols);
            pivot_.resize(in.y.cols + 2);
            other_.resize(in.y.cols + 2);
        }
    }

    // A run of the two adjacent samples o and k, growing away from o; its energy is 0.
    void start(std::size_t o, std::size_t k) {
        if (line_) {
            line_row(o, pivot_);
            line_row(k, other_);
            line_->start(pivot_, other_);
            return;
        }
        segment_init(state(), step(o, k), omega(o), omega(k), in_.y);
    }

    // Adds k, adjacent to the current end o.
    void grow(std::size_t o, std::size_t k) {
        if (line_) {
            line_row(k, other_);
            line_->add(other_);
            return;
        }
        segment_extend(state(), step(o, k), omega(k), in_.y);
    }

    double energy() const { return line_ ? line_->energy() : block_[3]; }

private:
    SegmentState state() { return {block_.data(), in_.y.cols}; }

    double delta(std::size_t i) const { return in_.w.empty() ? 1.0 : std::sqrt(1.0 / in_.w[i]); }
    double omega(std::size_t i) const { return sqrt_p_ / delta(i); }
    double spacing(std::size_t i) const { return in_.x[i + 1] - in_.x[i]; }

    // The slope scale of precondition "local" at sample i.
    double tau(std::size_t i) const {
        const double kappa = a_ * a_;
        if (!in_.local_scales || kappa == 0.0) return 1.0;
        const auto inv_cube = [](double s) { return 1.0 / (s * s * s); };
        const std::size_t n = in_.size();
        const double w = omega(i);
        if (i == 0 || i + 1 == n) {
            const double h = spacing(i == 0 ? 0 : n - 2);
            return std::sqrt((w * w + 12.0 * kappa * inv_cube(h)) / (4.0 * kappa * (1.0 / h)));
        }
        const double hr = spacing(i);
        const double hl = spacing(i - 1);
        return std::sqrt((w * w + 12.0 * kappa * (inv_cube(hr) + inv_cube(hl))) /
                         (4.0 * kappa * (1.0 / hr + 1.0 / hl)));
    }

    SegmentStep step(std::size_t o, std::size_t k) const {
        const std::size_t left = o < k ? o : k;
        return {o, k, spacing_powers(spacing(left)), a_, tau(o), tau(k)};
    }

    void line_row(std::size_t i, std::vector<double>& row) const {
        const double d = delta(i);
        row[0] = 1.0 / d;
        row[1] = in_.x[i] / d;
        for (std::size_t j = 0; j < in_.y.cols; ++j) row[2 + j] = in_.y(i, j) / d;
    }

    const JumpProfileInputs& in_;
    double sqrt_p_;
    double a_;
    std::vector<double> block_;
    std::optional<LineSegment> line_;
    std::vector<double> pivot_;
    std::vector<double> other_;
};

}  // namespace

JumpProfiles jump_profiles(const JumpProfileInputs& in, std::span<const std::uint64_t> jump_indices,
                           std::span<const double> thresholds, bool keep_profile,
                           const CancelHook& cancel) {
    const std::size_t n = in.size();
    const std::size_t k = jump_indices.size();
    require(in.y.rows == n, "y rows must equal n");
    require(in.w.empty() || in.w.size() == n, "w length must equal n");
    require(thresholds.size() == k, "one threshold per jump");
    for (std::size_t j = 0; j < k; ++j) {
        require(jump_indices[j] + 2 < n, "a jump needs two samples after it");
        require(j == 0 || jump_indices[j - 1] + 2 <= jump_indices[j],
                "jumps must ascend with two samples between them");
    }

    JumpProfiles out;
    for (auto* v : {&out.first, &out.last, &out.best_split, &out.low, &out.high}) v->resize(k);
    for (auto* v : {&out.merged, &out.at_fit, &out.best}) v->resize(k);
    if (keep_profile) out.profile_offset.resize(k + 1, 0);

    Grower grower(in);
    std::vector<double> cost;
    for (std::size_t j = 0; j < k; ++j) {
        const std::size_t m = static_cast<std::size_t>(jump_indices[j]);
        const std::size_t first = j == 0 ? 0 : static_cast<std::size_t>(jump_indices[j - 1]) + 1;
        const std::size_t last = j + 1 == k ? n - 1 : static_cast<std::size_t>(jump_indices[j + 1]);
        // The search lets only the first segment hold a single sample.
        const std::size_t lowest = first == 0 ? 0 : first + 1;
        const std::size_t highest = last - 2;
        require(lowest <= m && m <= highest, "the fit's split must be one the search allows");
        const std::size_t splits = highest - lowest + 1;
        cost.assign(splits, 0.0);

        // E(s + 1..last) for every split, grown leftward from the last sample; the two-sample
        // start already covers the highest split.
        grower.start(last, last - 1);
        for (std::size_t s = highest; s-- > lowest;) {
            grower.grow(s + 2, s + 1);
            cost[s - lowest] = grower.energy();
            cancel.tick();
        }

        // E(first..s) added in, grown rightward (a single sample 0 has energy 0, nothing to
        // add); the pass runs on to the last sample for the energy of the merged segment.
        grower.start(first, first + 1);
        for (std::size_t s = first + 1;; ++s) {
            if (s >= lowest && s <= highest) cost[s - lowest] += grower.energy();
            if (s == last) break;
            grower.grow(s, s + 1);
            cancel.tick();
        }
        out.merged[j] = grower.energy();

        double best = cost[m - lowest];
        std::size_t best_split = m;
        for (std::size_t i = 0; i < splits; ++i) {
            if (cost[i] < best) {
                best = cost[i];
                best_split = lowest + i;
            }
        }
        std::size_t low = best_split;
        std::size_t high = best_split;
        for (std::size_t i = 0; i < splits; ++i) {
            if (cost[i] - best <= thresholds[j]) {
                low = std::min(low, lowest + i);
                high = std::max(high, lowest + i);
            }
        }
        out.first[j] = first;
        out.last[j] = last;
        out.at_fit[j] = cost[m - lowest];
        out.best[j] = best;
        out.best_split[j] = best_split;
        out.low[j] = low;
        out.high[j] = high;
        if (keep_profile) {
            out.profile.insert(out.profile.end(), cost.begin(), cost.end());
            out.profile_offset[j + 1] = out.profile.size();
        }
    }
    return out;
}

}  // namespace vorn
