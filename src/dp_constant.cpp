// The constant-segment search keeps, per live start l, the weight W, the mean and the energy of
// samples l..r-1, grown one sample at a time by weighted running updates about the start's
// first value (sums of y^2 would cancel catastrophically, and a mean far from zero would cost
// the deviations their low digits). A start's cost as a function of its segment's final level
// mu is Q_l(mu) = F[l-1] + gamma + E_l + W_l |mu - mean_l|^2 plus the energy of the samples
// still to come about mu, which every start shares. Start l can be chosen at a later end t only
// at its own mean mu* of l..t, and only if Q_l(mu*) <= Q_m(mu*) for every other start m.
//   - A later start m: Q_l - Q_m = F[l-1] - F[m-1] + (energy of l..m-1 about mu), so l can win
//     only inside the ball B(l, m) about the mean of l..m-1 with radius^2
//     (F[m-1] - F[l-1] - E(l..m-1)) / W(l..m-1), fixed once m exists. At step r the newest is
//     B(l, r), from the state of l..r-1 and F[r-1]; start r competes from end r + 1 on (the
//     two-sample rule leaves no start r at end r), so what it rules out is applied after the
//     choice at r. A radius^2 below zero is PELT's rule, F[l-1] + E(l..r-1) > F[r-1].
//   - The start s that was best at end l-1: Q_s - Q_l = gamma - W_s... precisely, s's cost
//     about mu less l's is (F[s-1] + gamma + E(s..l-1) - F[l-1]) - gamma + W(s..l-1) |mu -
//     mean(s..l-1)|^2 = W(s..l-1) |mu - mean(s..l-1)|^2 - gamma, so l can win only outside the
//     ball about mean(s..l-1) of radius^2 gamma / W(s..l-1): a new level must differ from the
//     old by what a jump costs. Without it a start on data without jumps lives until its balls
//     miss, which takes long: work per sample grows like the square root of n.
// Each start keeps the box that bounds the intersection of its balls B(l, m); a new ball that
// misses the box, or a box or ball inside the excluded ball, kills it. In one column the box is
// the intersection itself; in more it is a sound relaxation. Every test carries a rounding
// margin so that a start within rounding of the best survives.

#include "dp_constant.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "failure.hpp"

namespace vorn {
namespace {

// Relative rounding margin of costs and levels; far above the rounding of the running updates
// over 10^6 samples, far below any difference that decides a partition.
constexpr double margin = 0x1p-40;

constexpr double infinity = std::numeric_limits<double>::infinity();

// The live starts in structure-of-arrays form; per start d values of each of origin, mean
// (less the origin), box ends and excluded centre.
class ConstantStarts {
public:
    explicit ConstantStarts(std::size_t dim) : dim_(dim) {}

    std::size_t size() const { return start_.size(); }
    std::uint64_t start(std::size_t i) const { return start_[i]; }
    double before(std::size_t i) const { return before_[i]; }
    double weight(std::size_t i) const { return weight_[i]; }
    double cost(std::size_t i, double gamma) const { return (before_[i] + gamma) + energy_[i]; }
    double level(std::size_t i, std::size_t c) const {
        return origin_[i * dim_ + c] + mean_[i * dim_ + c];
    }

    // Start l holding sample l alone, which no level is kept from but the excluded ball's
    // (radius2 below zero: none).
    void push(std::uint64_t l, double before, double weight, const MatrixView& y,
              const double* excluded, double excluded_radius2) {
        start_.push_back(l);
        before_.push_back(before);
        weight_.push_back(weight);
        energy_.push_back(0.0);
        excluded_radius2_.push_back(excluded_radius2);
        for (std::size_t c = 0; c < dim_; ++c) {
            origin_.push_back(y(l, c));
            mean_.push_back(0.0);
            low_.push_back(-infinity);
            high_.push_back(infinity);
            excluded_.push_back(excluded_radius2 >= 0.0 ? excluded[c] : 0.0);
        }
    }

    void add(const MatrixView& y, std::size_t k, double w) {
        for (std::size_t i = 0; i < size(); ++i) {
            const double total = weight_[i] + w;
            const double share = w / total;
            const double kept = weight_[i] / total;
            const double* origin = &origin_[i * dim_];
            double* mean = &mean_[i * dim_];
            double s = 0.0;
            for (std::size_t c = 0; c < dim_; ++c) {
                const double step = (y(k, c) - origin[c]) - mean[c];
                mean[c] = mean[c] + share * step;
                s = s + step * step;
            }
            energy_[i] = energy_[i] + (w * kept) * s;
            weight_[i] = total;
        }
    }

    // Marks in `keep` the starts that can no longer be chosen once the start after the newest
    // competes, `best` being the least cost of the samples before it; counts them.
    void judge(double best, std::vector<std::uint8_t>& keep, std::uint64_t& pruned,
               std::uint64_t& dropped) {
        std::vector<double>& centre = centre_;
        centre.resize(dim_);
        for (std::size_t i = 0; i < size(); ++i) {
            const double own = before_[i] + energy_[i];
            const double slack = margin * (std::abs(before_[i]) + energy_[i] + std::abs(best));
            const double room = (best - own) + slack;
            // Written so that a NaN drops the start too.
            if (!(room >= 0.0)) {
                keep[i] = 0;
                ++pruned;
                continue;
            }
            const double radius2 = room / weight_[i];
            const double radius = std::sqrt(radius2);
            double* low = &low_[i * dim_];
            double* high = &high_[i * dim_];
            double outside = 0.0;
            double reach = radius;
            for (std::size_t c = 0; c < dim_; ++c) {
                centre[c] = level(i, c);
                const double gap = std::max({low[c] - centre[c], centre[c] - high[c], 0.0});
                outside = outside + gap * gap;
                reach = std::max(reach, std::abs(centre[c]));
            }
            const double tolerance = margin * reach;
            if (outside > radius2 + tolerance * (2.0 * radius + tolerance)) {
                keep[i] = 0;
                ++dropped;
                continue;
            }
            for (std::size_t c = 0; c < dim_; ++c) {
                const double widen = margin * (std::abs(centre[c]) + radius);
                low[c] = std::max(low[c], (centre[c] - radius) - widen);
                high[c] = std::min(high[c], (centre[c] + radius) + widen);
            }
            if (inside_excluded(i, radius, reach)) {
                keep[i] = 0;
                ++dropped;
            }
        }
    }

    void keep_only(const std::vector<std::uint8_t>& keep) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < size(); ++i) {
            if (!keep[i]) continue;
            start_[kept] = start_[i];
            before_[kept] = before_[i];
            weight_[kept] = weight_[i];
            energy_[kept] = energy_[i];
            excluded_radius2_[kept] = excluded_radius2_[i];
            for (std::vector<double>* block : {&origin_, &mean_, &low_, &high_, &excluded_}) {
                std::copy_n(&(*block)[i * dim_], dim_, &(*block)[kept * dim_]);
            }
            ++kept;
        }
        start_.resize(kept);
        for (std::vector<double>* one : {&before_, &weight_, &energy_, &excluded_radius2_}) {
            one->resize(kept);
        }
        for (std::vector<double>* block : {&origin_, &mean_, &low_, &high_, &excluded_}) {
            block->resize(kept * dim_);
        }
    }

private:
    // Whether every level start i could still win at lies inside its excluded ball: the
    // newest ball B (centre_, radius), or the box of all of them, within it by a margin.
    bool inside_excluded(std::size_t i, double radius, double reach) const {
        const double limit2 = excluded_radius2_[i];
        if (!(limit2 > 0.0)) return false;
        const double* x = &excluded_[i * dim_];
        const double* low = &low_[i * dim_];
        const double* high = &high_[i * dim_];
        double centres = 0.0;
        double corner = 0.0;
        for (std::size_t c = 0; c < dim_; ++c) {
            const double d = centre_[c] - x[c];
            centres = centres + d * d;
            const double far = std::max(std::abs(low[c] - x[c]), std::abs(high[c] - x[c]));
            corner = corner + far * far;
            reach = std::max(reach, std::abs(x[c]));
        }
        const double limit = std::sqrt(limit2) - margin * reach;
        if (!(limit > 0.0)) return false;
        return std::sqrt(centres) + radius < limit || corner < limit * limit;
    }

    std::size_t dim_;
    std::vector<std::uint64_t> start_;
    std::vector<double> before_, weight_, energy_, excluded_radius2_;
    std::vector<double> origin_, mean_, low_, high_, excluded_;
    std::vector<double> centre_;
};

}  // namespace

double constant_energy(const MatrixView& y, std::span<const double> w, std::size_t first,
                       std::size_t last, std::span<double> level) {
    require(first <= last && last < w.size() && level.size() == y.cols,
            "constant_energy needs a run of samples and one level per column");
    ConstantStarts run(y.cols);
    run.push(first, 0.0, w[first], y, nullptr, -1.0);
    for (std::size_t k = first + 1; k <= last; ++k) run.add(y, k, w[k]);
    for (std::size_t c = 0; c < y.cols; ++c) level[c] = run.level(0, c);
    return run.cost(0, 0.0);
}

PartitionResult partition_constant(const MatrixView& y, std::span<const double> w, double gamma,
                                   const CancelHook& cancel) {
    const std::size_t n = w.size();
    const std::size_t dim = y.cols;
    require(n >= 2, "segment energies require n >= 2");
    require(y.rows == n, "y rows must equal n");
    PartitionResult result;
    result.F.assign(n, 0.0);
    result.partition.assign(n, 0);
    result.complexity_counter = n;
    std::vector<double>& F = result.F;
    // The whole prefix as one segment: F's start, and the start every tie falls to.
    ConstantStarts prefix(dim);
    prefix.push(0, 0.0, w[0], y, nullptr, -1.0);
    for (std::size_t r = 1; r < n; ++r) {
        prefix.add(y, r, w[r]);
        F[r] = prefix.cost(0, 0.0);
        if ((r & 0xfff) == 0) cancel.tick(0x1000);
    }
    if (gamma >= F[n - 1] || n <= 2) return result;

    // A new start l must keep its level out of the ball about the level of the best start at
    // end l-1; made at end l-1, used when l joins at step l + 1.
    struct Exclusion {
        std::vector<double> centre;
        double radius2 = -1.0;
    };
    const auto exclusion = [&](const ConstantStarts& from, std::size_t i, double best) {
        Exclusion e;
        e.centre.resize(dim);
        for (std::size_t c = 0; c < dim; ++c) e.centre[c] = from.level(i, c);
        e.radius2 = (gamma - margin * (std::abs(best) + gamma)) / from.weight(i);
        return e;
    };
    prefix = ConstantStarts(dim);
    prefix.push(0, 0.0, w[0], y, nullptr, -1.0);
    Exclusion for_older = exclusion(prefix, 0, F[0]);
    prefix.add(y, 1, w[1]);
    Exclusion for_newer = exclusion(prefix, 0, F[1]);

    ConstantStarts live(dim);
    std::vector<std::uint8_t> keep;
    SearchStats& stats = result.stats;
    for (std::size_t r = 2; r < n; ++r) {
        live.push(r - 1, F[r - 2], w[r - 1], y, for_older.centre.data(), for_older.radius2);
        keep.assign(live.size(), 1);
        std::uint64_t pruned = 0;
        std::uint64_t dropped = 0;
        live.judge(F[r - 1], keep, pruned, dropped);
        live.add(y, r, w[r]);
        prefix.add(y, r, w[r]);
        stats.extensions += live.size();
        // Strictly smaller replaces, scanning from the largest start: the largest of equal
        // starts wins, the whole prefix wins every tie (as the other searches choose).
        double best_value = F[r];
        std::uint64_t best = 0;
        std::size_t best_index = live.size();
        for (std::size_t i = live.size(); i-- > 0;) {
            const double cand = live.cost(i, gamma);
            if (best_value > cand) {
                best_value = cand;
                best = live.start(i);
                best_index = i;
            }
        }
        F[r] = best_value;
        result.partition[r] = best;
        for_older = std::move(for_newer);
        for_newer = best_index == live.size() ? exclusion(prefix, 0, best_value)
                                              : exclusion(live, best_index, best_value);
        stats.max_active = std::max<std::uint64_t>(stats.max_active, live.size());
        if (pruned + dropped > 0) live.keep_only(keep);
        stats.pruned += pruned;
        stats.dropped += dropped;
        cancel.tick(live.size() + 1);
    }
    result.complexity_counter = n + stats.extensions;
    return result;
}

}  // namespace vorn
