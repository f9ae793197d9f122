#include "jump_profile.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "csaps.hpp"
#include "dp.hpp"
#include "failure.hpp"

namespace vorn {
namespace {

// A plane rotation by a plain square root, which the compiler turns into one instruction; the
// slower overflow-safe hypot only where the squares would leave the double range.
void rotation(double pivot, double entry, double& cs, double& sn) {
    double rho = std::sqrt(pivot * pivot + entry * entry);
    if (!(rho >= 1e-150 && rho <= 1e150)) rho = std::hypot(pivot, entry);
    cs = pivot / rho;
    sn = entry / rho;
}

// One sample added to a segment state, as the searches add it (the same rotations of the same
// 5 x 4 matrix, see extend_state in dp.cpp) but with the rotation above: energies agree with
// the searches' to rounding, at a third of the cost.
void extend_fast(SegmentState state, const SegmentStep& step, double omega_k, const MatrixView& y) {
    constexpr double sqrt3 = 1.7320508075688772;
    double* v = state.block();
    const std::size_t dim = state.dim();
    const double a = step.a, q1 = step.spacing.q1, q3 = step.spacing.q3;
    const double a0 = 2.0 * sqrt3 * a * q3, a1 = sqrt3 * a * step.tau_o * q1;
    const double a2 = -2.0 * sqrt3 * a * q3, a3 = sqrt3 * a * step.tau_k * q1;
    const double b1 = a * step.tau_o * q1, b3 = -a * step.tau_k * q1;
    const double r22 = v[0], r23 = v[1], r33 = v[2];
    double c02 = 0.0, s02 = 0.0, c13 = 0.0, s13 = 0.0, c12 = 0.0, s12 = 0.0;
    double c24 = 0.0, s24 = 0.0, c23 = 0.0, s23 = 0.0, c34 = 0.0, s34 = 0.0;
    bool on02, on13, on12, on24, on23, on34;
    double m21 = a1, m22 = a2, m23 = a3;
    if ((on02 = a0 != 0.0)) {
        rotation(r22, a0, c02, s02);
        m21 = c02 * a1 - s02 * r23;
        m22 = c02 * a2;
        m23 = c02 * a3;
    }
    double p11 = r33, p12 = 0.0, p13 = 0.0;
    double m32 = 0.0, m33 = b3;
    if ((on13 = b1 != 0.0)) {
        rotation(p11, b1, c13, s13);
        p11 = s13 * b1 + c13 * r33;
        p13 = s13 * b3;
        m33 = c13 * b3;
    }
    if ((on12 = m21 != 0.0)) {
        rotation(p11, m21, c12, s12);
        const double n22 = c12 * m22 - s12 * p12;
        m23 = c12 * m23 - s12 * p13;
        m22 = n22;
    }
    double m43 = 0.0;
    if ((on24 = omega_k != 0.0)) {
        rotation(m22, omega_k, c24, s24);
        m22 = s24 * omega_k + c24 * m22;
        m43 = -s24 * m23;
        m23 = c24 * m23;
    }
    if ((on23 = m32 != 0.0)) {
        rotation(m22, m32, c23, s23);
        m22 = s23 * m32 + c23 * m22;
        const double n23 = s23 * m33 + c23 * m23;
        m33 = c23 * m33 - s23 * m23;
        m23 = n23;
    }
    if ((on34 = m43 != 0.0)) {
        rotation(m33, m43, c34, s34);
        m33 = s34 * m43 + c34 * m33;
    }
    double* z2 = v + 4;
    double* z3 = v + 4 + dim;
    double energy = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
        double r1 = z3[j], r2 = 0.0, r3 = 0.0, r4 = omega_k * y(step.k, j);
        if (on02) r2 = -s02 * z2[j];
        if (on13) {
            r3 = -s13 * r1;
            r1 = c13 * r1;
        }
        if (on12) r2 = c12 * r2 - s12 * r1;
        if (on24) {
            const double n2 = s24 * r4 + c24 * r2;
            r4 = c24 * r4 - s24 * r2;
            r2 = n2;
        }
        if (on23) {
            const double n2 = s23 * r3 + c23 * r2;
            r3 = c23 * r3 - s23 * r2;
            r2 = n2;
        }
        if (on34) {
            const double n3 = s34 * r4 + c34 * r3;
            r4 = c34 * r4 - s34 * r3;
            r3 = n3;
        }
        z2[j] = r2;
        z3[j] = r3;
        energy = energy + r4 * r4;
    }
    v[0] = m22;
    v[1] = m23;
    v[2] = m33;
    v[3] = energy + v[3];
}

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
        extend_fast(state(), step(o, k), omega(k), in_.y);
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

    SegmentStep step(std::size_t o, std::size_t k) {
        const std::size_t left = o < k ? o : k;
        return {o, k, powers(spacing(left)), a_, tau(o), tau(k)};
    }

    // Even sites repeat one spacing: its two powers are the costliest part of a step.
    SpacingPowers powers(double h) {
        if (!(h == last_spacing_)) {
            last_spacing_ = h;
            last_powers_ = spacing_powers(h);
        }
        return last_powers_;
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
    double last_spacing_ = -1.0;
    SpacingPowers last_powers_ = spacing_powers(1.0);
    std::vector<double> pivot_;
    std::vector<double> other_;
};

// The merged segment replaced by its own smoothing spline at p, and what the split after
// `split` saves on it. Noise-free values still pay the split a saving where the curve bends,
// which a significance measured against noise alone would count as evidence. Both the spline
// and the saving are local: a sample's pull on the smooth, and the difference the split makes
// to it, fall off exponentially over a bandwidth, so only the samples within `reach`
// bandwidths of the split are refitted (the window's own ends cost the merged and the split
// fit alike and cancel).
class SmoothSaving {
public:
    SmoothSaving(const JumpProfileInputs& in, double reach) : in_(in), reach_(reach) {}

    double operator()(std::size_t first, std::size_t last, std::size_t split,
                      const CancelHook& cancel) {
        window(first, last, split);
        const std::size_t m = hi_ - lo_ + 1;
        const std::size_t dim = in_.y.cols;
        const std::span<const double> xs = in_.x.subspan(lo_, m);
        std::span<const double> ws;
        if (in_.w.empty()) {
            if (ones_.size() < m) ones_.assign(m, 1.0);
            ws = std::span<const double>(ones_).first(m);
        } else {
            ws = in_.w.subspan(lo_, m);
        }
        const PpForm form =
            csaps(VectorView::of(xs), in_.y.row_slice(lo_, m), VectorView::of(ws), in_.p);
        smooth_.resize(m * dim);
        eval_into(PpView::of(form), xs, 0, Side::right, smooth_);
        cancel.tick();
        const JumpProfileInputs part{xs, MatrixView::row_major(smooth_.data(), m, dim), ws,
                                     in_.p, in_.local_scales};
        Grower grower(part);
        const std::size_t s = split - lo_;
        double left = 0.0;
        grower.start(0, 1);
        for (std::size_t i = 1;; ++i) {
            if (i == s) left = grower.energy();
            if (i + 1 == m) break;
            grower.grow(i, i + 1);
            cancel.tick();
        }
        const double merged = grower.energy();
        grower.start(m - 1, m - 2);
        for (std::size_t i = m - 2; i > s + 1; --i) {
            grower.grow(i, i - 1);
            cancel.tick();
        }
        return std::max(merged - left - grower.energy(), 0.0);
    }

    // The first sample of the last window.
    std::size_t window_first() const { return lo_; }

    std::span<const double> smooth() const { return smooth_; }

private:
    // lo_..hi_: the samples of first..last within reach of the split, and at least two on each
    // side of it (one on the left when the segment starts there).
    void window(std::size_t first, std::size_t last, std::size_t split) {
        lo_ = first;
        hi_ = last;
        const double m = static_cast<double>(last - first + 1);
        const double spacing = (in_.x[last] - in_.x[first]) / (m - 1.0);
        double weight = 1.0;
        if (!in_.w.empty()) {
            double total = 0.0;
            for (std::size_t i = first; i <= last; ++i) total += in_.w[i];
            weight = total / m;
        }
        // The bandwidth in units of x: (1 - p) / p over the weight per unit of x, to the 1/4.
        const double reach =
            reach_ * std::pow((1.0 - in_.p) / in_.p * spacing / weight, 0.25);
        if (!(reach < in_.x[last] - in_.x[first])) return;
        const auto begin = in_.x.begin();
        const auto from = std::lower_bound(begin + static_cast<std::ptrdiff_t>(first),
                                           begin + static_cast<std::ptrdiff_t>(split),
                                           in_.x[split] - reach);
        const auto to = std::upper_bound(begin + static_cast<std::ptrdiff_t>(split + 1),
                                         begin + static_cast<std::ptrdiff_t>(last + 1),
                                         in_.x[split + 1] + reach);
        lo_ = std::min(static_cast<std::size_t>(from - begin), split > first ? split - 1 : first);
        hi_ = std::max(static_cast<std::size_t>(to - begin) - 1, split + 2);
    }

    const JumpProfileInputs& in_;
    double reach_;
    std::size_t lo_ = 0;
    std::size_t hi_ = 0;
    std::vector<double> ones_;
    std::vector<double> smooth_;
};

}  // namespace

JumpProfiles jump_profiles(const JumpProfileInputs& in, std::span<const std::uint64_t> jump_indices,
                           std::span<const double> thresholds, bool keep_profile,
                           double smooth_reach, bool keep_smooth, const CancelHook& cancel) {
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
    for (auto* v : {&out.merged, &out.at_fit, &out.best, &out.smooth_saving}) v->resize(k);
    if (keep_smooth) {
        out.smooth_offset.resize(k + 1, 0);
        out.smooth_first.resize(k, 0);
    }
    if (keep_profile) {
        out.profile_offset.resize(k + 1, 0);
        // Sized once: growing by doubling would hold up to three times the profile at a time.
        std::size_t total = 0;
        for (std::size_t j = 0; j < k; ++j) {
            const std::size_t first = j == 0 ? 0 : static_cast<std::size_t>(jump_indices[j - 1]) + 1;
            const std::size_t last = j + 1 == k ? n - 1 : static_cast<std::size_t>(jump_indices[j + 1]);
            total += last - 1 - (first == 0 ? 0 : first + 1);
        }
        out.profile.reserve(total);
    }

    Grower grower(in);
    SmoothSaving smooth_saving(in, smooth_reach);
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
        // A straight line is split at no saving; the first segment may be a single sample.
        if (in.p > 0.0) {
            out.smooth_saving[j] = smooth_saving(first, last, best_split, cancel);
            if (keep_smooth) {
                const std::span<const double> got = smooth_saving.smooth();
                out.smooth.insert(out.smooth.end(), got.begin(), got.end());
                out.smooth_first[j] = smooth_saving.window_first();
            }
        } else if (keep_smooth) {
            out.smooth_first[j] = first;
        }
        if (keep_smooth) out.smooth_offset[j + 1] = out.smooth.size() / in.y.cols;
    }
    return out;
}

}  // namespace vorn
