// The straight-line search (p == 0), exact, with functional pruning over the line parameters.
//
// Grown over samples l..q, start l costs, as a function of the line t (2 numbers per column),
// f_l(t) = c_l + |R_l t - z_l|^2 with c_l = F[l-1] + gamma + e_l; every later sample adds the
// same W(t) to every start, and W(t) >= E_line(q+1..r). Where l is chosen at an end r >= q + 2
// with line t*, it costs no more than a fresh segment from q + 1, so f_l(t*) <= F[q] + gamma,
// and no more than any other start m, so f_l(t*) <= f_m(t*). Start l can therefore never be
// chosen again once {f_l <= F[q] + gamma} and {f_l <= f_m} do not meet. They do not meet if for
// some a in [0, 1] the quadratic (1 - a)(f_l - F[q] - gamma) + a (f_l - f_m) is positive
// everywhere. In l's own coordinates u = R_l t - z_l, f_m = c_m + |M u + v|^2 with
// M = R_m R_l^-1 and v = M z_l - z_m; on the singular vectors of M (squared singular values
// s_k, weights w_k = |v along the k-th left one|^2 over all columns) the minimum over u is
//   D(a) = c_l - (F[q] + gamma) + a (F[q] + gamma - c_m) - a sum_k w_k / (1 - a s_k),
// finite and concave while a s_k < 1. Any a with D(a) > 0 is a certificate; it need not be the
// best one. A certificate holds for every later end, and one against a start that is itself
// dropped later still holds: the argument compares exact future costs. The converse does not:
// the fresh set is not nested from step to step (F may grow by more than f_l where the next
// residual is small), so a start that could not be certified may be at the next step, and one
// that could may no longer be a few steps later; hence frequent tests rather than a schedule
// that waits longer after each failure (measured: waiting 1.2 times longer each time left 3 times
// as many starts live).
//
// On data without jumps every one of these sets passes close to the whole prefix's best line,
// so the certificates are narrow and the pairwise test leaves a list that still grows with n
// (bench/BANDWIDTH.md); exact pruning against the union of all starts would be needed for a
// list that does not.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "dp.hpp"
#include "dp_steps.hpp"
#include "failure.hpp"

namespace vorn {
namespace {

// A test costs several extensions and most fail. Measured (bench/line_search_driver.cpp,
// n = 100,000, same run): every 2nd, 3rd, 4th, 6th, 8th step took 0.58, 0.50, 0.47, 0.43, 0.41 s
// on the sine data of the bandwidth sweep and 1.16, 1.12, 1.08, 1.14, 1.14 s on one long line,
// with 137 to 189 and 271 to 517 extensions per sample.
constexpr std::size_t drop_stride = 4;

// Keeps 1 - a s_k away from the rounding of M, where the minimum would be minus infinity.
constexpr double curvature_floor = 0x1p-26;

// detail::line_rotate with the rotation's length by sqrt where the squares cannot over- or
// underflow: hypot was a quarter of the whole search's time. The last bits differ from
// partition_line's, which grows its segments the other way round anyway.
template <class Width>
inline void rotate(double* pivot, double* row, std::size_t col, Width width) {
    const double p = pivot[col];
    const double r = row[col];
    if (r == 0.0) return;
    const double squares = p * p + r * r;
    const double rho = squares > 0x1p-900 && squares < 0x1p900 ? std::sqrt(squares) : std::hypot(p, r);
    if (rho == 0.0) return;
    const double cs = p / rho;
    const double sn = r / rho;
    for (std::size_t j = col; j < width; ++j) {
        const double pj = pivot[j];
        const double rj = row[j];
        pivot[j] = sn * rj + cs * pj;
        row[j] = cs * rj - sn * pj;
    }
}

// One sample into one start's factor, over `width` columns.
template <class Width>
inline double grow(double* first, double* work, const double* row, Width width) {
    std::copy_n(row, std::size_t(width), work);
    rotate(first, work, 0, width);
    rotate(first + std::size_t(width), work, 1, width);
    double s = 0.0;
    for (std::size_t j = 2; j < width; ++j) s = s + work[j] * work[j];
    return s;
}

// A start's two factor rows (r11 r12 z1[dim]) and (0 r22 z2[dim]) and its cost now.
struct LineView {
    const double* rows;
    double cost;
};

// D(a) and D'(a) of the header comment.
struct DualPoint {
    double value, slope, spread;
};

class DualFunction {
public:
    DualFunction(double p, double q, double s1, double s2, double w1, double w2)
        : p_(p), q_(q), s1_(s1), s2_(s2), w1_(w1), w2_(w2) {}
    DualPoint at(double a) const {
        const double g1 = 1.0 / (1.0 - a * s1_), g2 = 1.0 / (1.0 - a * s2_);
        const double spread = a * (w1_ * g1 + w2_ * g2);
        return {-p_ + a * q_ - spread, q_ - (w1_ * g1 * g1 + w2_ * g2 * g2), spread};
    }

private:
    double p_, q_, s1_, s2_, w1_, w2_;
};

// Whether `mine` can never be chosen again beside `other`, at the ceiling gamma + F[q].
bool ruled_out(const LineView& mine, const LineView& other, double ceiling, std::size_t width) {
    const double slack = 0x1p-40 * (std::abs(ceiling) + std::abs(mine.cost) + std::abs(other.cost));
    if (ceiling - mine.cost < -slack) return true;
    // D(a) <= -p + a (q - |v|^2) <= (1 - a)(-p) + a (c_l - c_m): l must cost more than m now.
    if (!(mine.cost - other.cost > slack)) return false;
    const double* l = mine.rows;
    const double* m = other.rows;
    const double l22 = l[width + 1];
    if (!(l[0] > 0.0) || !(l22 > 0.0)) return false;
    const double m11 = m[0] / l[0];
    const double m22 = m[width + 1] / l22;
    const double m12 = (m[1] - m11 * l[1]) / l22;
    double v11 = 0.0, v12 = 0.0, v22 = 0.0;
    for (std::size_t j = 2; j < width; ++j) {
        const double v1 = (m11 * l[j] + m12 * l[width + j]) - m[j];
        const double v2 = m22 * l[width + j] - m[width + j];
        v11 += v1 * v1;
        v12 += v1 * v2;
        v22 += v2 * v2;
    }
    const double p = ceiling - mine.cost;
    const double q = ceiling - other.cost;
    // Every sum_k w_k / (1 - a s_k) is at least |v|^2, so D(a) <= -p + a (q - |v|^2).
    if (!(q - (v11 + v22) - p > slack)) return false;
    // M M^T = [[k11, k12], [k12, k22]]; its smaller eigenvalue from the determinant, exactly.
    const double k11 = m11 * m11 + m12 * m12, k12 = m12 * m22, k22 = m22 * m22;
    const double half = 0.5 * (k11 - k22);
    // Ratios of factor entries: far from overflow, and sqrt is several times cheaper than hypot.
    const double radius = std::sqrt(half * half + k12 * k12);
    const double s1 = 0.5 * (k11 + k22) + radius;
    if (!(s1 > 0.0) || !std::isfinite(s1)) return false;
    const double s2 = (m11 * m22) * (m11 * m22) / s1;
    // The eigenvector of s1, from whichever column of M M^T - s2 I is the longer.
    double e1 = half >= 0.0 ? half + radius : k12;
    double e2 = half >= 0.0 ? k12 : radius - half;
    const double norm = std::sqrt(e1 * e1 + e2 * e2);
    if (norm > 0.0) {
        e1 /= norm;
        e2 /= norm;
    } else {
        e1 = 1.0;
        e2 = 0.0;
    }
    const double w1 = e1 * e1 * v11 + 2.0 * e1 * e2 * v12 + e2 * e2 * v22;
    const double w2 = e2 * e2 * v11 - 2.0 * e1 * e2 * v12 + e1 * e1 * v22;
    const DualFunction dual(p, q, s1, s2, std::max(w1, 0.0), std::max(w2, 0.0));
    const double high = std::min(1.0, (1.0 - curvature_floor) / s1);
    const auto certifies = [&](const DualPoint& d) {
        return d.value > slack + 0x1p-30 * d.spread;
    };
    double low = 0.0;
    DualPoint at_low = dual.at(low);
    DualPoint at_high = dual.at(high);
    if (certifies(at_high)) return true;
    if (!(at_low.slope > 0.0) || at_high.slope >= 0.0) return false;
    double top = high;
    for (int step = 0; step < 40; ++step) {
        // A concave function lies under its tangents.
        const double bound = std::min(at_low.value + at_low.slope * (top - low),
                                      at_high.value + at_high.slope * (low - top));
        if (!(bound > slack)) return false;
        const double mid = 0.5 * (low + top);
        const DualPoint d = dual.at(mid);
        if (certifies(d)) return true;
        if (d.slope > 0.0) {
            low = mid;
            at_low = d;
        } else {
            top = mid;
            at_high = d;
        }
    }
    return false;
}

// The live starts, each with its two factor rows.
class LineStarts {
public:
    explicit LineStarts(std::size_t dim) : width_(dim + 2), work_(dim + 2) {}

    std::size_t size() const { return start_.size(); }
    std::uint64_t start(std::size_t i) const { return start_[i]; }
    double cost(std::size_t i) const { return offset_[i] + energy_[i]; }
    double segment_cost(std::size_t i) const { return before_[i] + energy_[i]; }
    LineView view(std::size_t i) const { return {&rows_[2 * width_ * i], cost(i)}; }

    void push(std::uint64_t start, double before, double offset, const double* first,
              const double* second) {
        start_.push_back(start);
        before_.push_back(before);
        offset_.push_back(offset);
        energy_.push_back(0.0);
        const std::size_t at = rows_.size();
        rows_.insert(rows_.end(), first, first + width_);
        rows_.insert(rows_.end(), second, second + width_);
        rotate(&rows_[at], &rows_[at + width_], 0, width_);
    }

    // One column of values is the common case; with its width known when compiled the loops are
    // unrolled instead of vectorised over 2 or 3 entries, which took 45 % longer (-O3, gcc 12).
    void add(const double* row) {
        if (width_ == 3) {
            const std::integral_constant<std::size_t, 3> three;
            for (std::size_t i = 0; i < size(); ++i) {
                energy_[i] = energy_[i] + grow(&rows_[6 * i], work_.data(), row, three);
            }
            return;
        }
        for (std::size_t i = 0; i < size(); ++i) {
            energy_[i] = energy_[i] + grow(&rows_[2 * width_ * i], work_.data(), row, width_);
        }
    }

    // Each start against its two neighbours in the list. Measured on a long line (n = 64,000):
    // the cheapest start as a third comparison changed the work by 2 % and the time not at all,
    // the whole prefix certified 0.1 % of the drops; two random starts more cut the work by a
    // fifth but cost more in tests than they saved.
    std::size_t drop_dominated(double ceiling, std::vector<std::uint64_t>& keep) const {
        std::size_t cleared = 0;
        for (std::size_t i = 0; i < size(); ++i) {
            const LineView mine = view(i);
            if ((i > 0 && ruled_out(mine, view(i - 1), ceiling, width_)) ||
                (i + 1 < size() && ruled_out(mine, view(i + 1), ceiling, width_))) {
                keep[i] = 0;
                ++cleared;
            }
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
