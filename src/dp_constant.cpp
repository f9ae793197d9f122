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
//   - An earlier start m (or the whole prefix, which carries no gamma): the same ball B(m, l),
//     seen from l, is where m beats l, so l can win only outside it. These are the balls
//     judged for every live m at the step before l joins; l keeps the newest few and cuts its
//     box with them at every step. The one of the start that was best at end l-1 has radius^2
//     gamma / W: a new level must differ from the old by what a jump costs.
// Each start keeps a box that holds every level it could still win at: in each column the
// smallest range that holds its intersection with each new ball B(l, m) (the other columns
// at their nearest to the centre leave the most room), less the slabs that lie wholly inside
// one of its excluded balls (the other columns at their farthest). A ball that misses the box,
// or a box cut away entirely, kills the start. In one column the box is the set itself, and
// while a start has no more than most_excluded(1) earlier starts this is exact functional
// pruning; in more columns it is a sound relaxation. Every test carries a rounding margin so
// that a start within rounding of the best survives; an excluded ball is shrunk by it, a ball
// B(l, m) grown.

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

// The most excluded balls a start keeps (see ConstantStarts::keep_newest): in three columns
// and more each ball cuts less and costs more (measured with bench/constant_work.py).
constexpr std::size_t most_excluded(std::size_t dim) { return dim <= 2 ? 16 : 4; }

// The live starts in structure-of-arrays form; per start d values of each of origin, mean
// (less the origin), box ends and excluded centre.
class ConstantStarts {
public:
    explicit ConstantStarts(std::size_t dim) : dim_(dim), gap_(dim) {}

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
              std::vector<double>&& excluded) {
        keep_newest(excluded);
        start_.push_back(l);
        before_.push_back(before);
        weight_.push_back(weight);
        energy_.push_back(0.0);
        excluded_.push_back(std::move(excluded));
        for (std::size_t c = 0; c < dim_; ++c) {
            origin_.push_back(y(l, c));
            mean_.push_back(0.0);
            low_.push_back(-infinity);
            high_.push_back(infinity);
        }
    }

    // The ball about start i's level of radius^2 radius2, as one excluded ball (d centre
    // values and radius^2) appended to `to`.
    void append_ball(std::size_t i, double radius2, std::vector<double>& to) const {
        for (std::size_t c = 0; c < dim_; ++c) to.push_back(level(i, c));
        to.push_back(radius2);
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
               std::uint64_t& dropped, std::vector<double>& next) {
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
            // Where start i beats the next start, the next cannot win: that ball, with the
            // margin taken off instead of added.
            const double sure = room - 2.0 * slack;
            if (sure > 0.0) append_ball(i, sure / weight_[i], next);
            if (!within_ball(i, radius2) || !outside_excluded(i)) {
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
            if (kept != i) excluded_[kept] = std::move(excluded_[i]);
            for (std::vector<double>* block : {&origin_, &mean_, &low_, &high_}) {
                std::copy_n(&(*block)[i * dim_], dim_, &(*block)[kept * dim_]);
            }
            ++kept;
        }
        start_.resize(kept);
        for (std::vector<double>* one : {&before_, &weight_, &energy_}) one->resize(kept);
        excluded_.resize(kept);
        for (std::vector<double>* block : {&origin_, &mean_, &low_, &high_}) {
            block->resize(kept * dim_);
        }
    }

private:
    // Each excluded ball is tested at every step while it still cuts the box: with many live
    // starts in several columns that work would outgrow the search. The newest starts' balls
    // and the prefix's, last in the list, are kept (measured: they cut more than the widest
    // or the narrowest); leaving any out only keeps starts longer.
    void keep_newest(std::vector<double>& balls) const {
        const std::size_t stride = dim_ + 1;
        const std::size_t count = balls.size() / stride;
        const std::size_t most = most_excluded(dim_);
        if (count <= most) return;
        balls.erase(balls.begin(),
                    balls.begin() + static_cast<std::ptrdiff_t>((count - most) * stride));
    }

    // Shrinks start i's box to the smallest box holding its intersection with the ball about
    // the start's mean of radius^2 radius2: in each column, the other columns at their nearest
    // to the centre leave the most room. False when they miss.
    bool within_ball(std::size_t i, double radius2) {
        double* low = &low_[i * dim_];
        double* high = &high_[i * dim_];
        double gaps = 0.0;
        double reach = std::sqrt(radius2);
        for (std::size_t c = 0; c < dim_; ++c) {
            const double centre = level(i, c);
            const double gap = std::max({low[c] - centre, centre - high[c], 0.0});
            gap_[c] = gap * gap;
            gaps = gaps + gap_[c];
            reach = std::max(reach, std::abs(centre));
        }
        const double tolerance = margin * reach;
        const double radius = std::sqrt(radius2);
        if (gaps > radius2 + tolerance * (2.0 * radius + tolerance)) return false;
        for (std::size_t c = 0; c < dim_; ++c) {
            const double centre = level(i, c);
            const double room = std::sqrt(std::max(0.0, radius2 - (gaps - gap_[c])));
            low[c] = std::max(low[c], (centre - room) - tolerance);
            high[c] = std::min(high[c], (centre + room) + tolerance);
        }
        return true;
    }

    // Cuts from start i's box the slabs that lie wholly inside its excluded ball: in column c,
    // the levels whose every point of the box, the other columns at their farthest from the
    // excluded centre, is inside. False when nothing is left.
    bool outside_excluded(std::size_t i) {
        std::vector<double>& balls = excluded_[i];
        double* low = &low_[i * dim_];
        double* high = &high_[i * dim_];
        std::size_t kept = 0;
        for (std::size_t at = 0; at < balls.size(); at += dim_ + 1) {
            const double* x = &balls[at];
            const double limit2 = x[dim_];
            double fars = 0.0;
            double gaps = 0.0;
            double reach = std::sqrt(std::max(limit2, 0.0));
            for (std::size_t c = 0; c < dim_; ++c) {
                const double far = std::max(std::abs(low[c] - x[c]), std::abs(high[c] - x[c]));
                const double gap = std::max({low[c] - x[c], x[c] - high[c], 0.0});
                gap_[c] = far * far;
                fars = fars + gap_[c];
                gaps = gaps + gap * gap;
                reach = std::max({reach, std::abs(x[c]), std::abs(low[c]), std::abs(high[c])});
            }
            // A ball the box has left behind never cuts it again.
            if (!(limit2 > 0.0) || gaps >= limit2) continue;
            if (std::isfinite(fars)) {
                const double tolerance = margin * reach;
                for (std::size_t c = 0; c < dim_; ++c) {
                    const double rest = limit2 - (fars - gap_[c]);
                    if (!(rest > 0.0)) continue;
                    const double half = std::sqrt(rest) - tolerance;
                    if (!(half > 0.0)) continue;
                    const double from = x[c] - half;
                    const double to = x[c] + half;
                    const bool low_inside = low[c] > from && low[c] < to;
                    const bool high_inside = high[c] < to && high[c] > from;
                    if (low_inside && high_inside) return false;
                    // Moving one end in leaves the other columns' farthest distances as they
                    // were or smaller, so the sums above stay sound bounds.
                    if (low_inside) low[c] = to;
                    if (high_inside) high[c] = from;
                }
            }
            std::copy_n(x, dim_ + 1, &balls[kept]);
            kept += dim_ + 1;
        }
        balls.resize(kept);
        return true;
    }

    std::size_t dim_;
    std::vector<std::uint64_t> start_;
    std::vector<double> before_, weight_, energy_;
    std::vector<double> origin_, mean_, low_, high_;
    std::vector<std::vector<double>> excluded_;
    std::vector<double> gap_;
};

}  // namespace

double constant_energy(const MatrixView& y, std::span<const double> w, std::size_t first,
                       std::size_t last, std::span<double> level) {
    require(first <= last && last < w.size() && level.size() == y.cols,
            "constant_energy needs a run of samples and one level per column");
    ConstantStarts run(y.cols);
    run.push(first, 0.0, w[first], y, {});
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
    prefix.push(0, 0.0, w[0], y, {});
    for (std::size_t r = 1; r < n; ++r) {
        prefix.add(y, r, w[r]);
        F[r] = prefix.cost(0, 0.0);
        if ((r & 0xfff) == 0) cancel.tick(0x1000);
    }
    if (gamma >= F[n - 1] || n <= 2) return result;

    prefix = ConstantStarts(dim);
    prefix.push(0, 0.0, w[0], y, {});
    prefix.add(y, 1, w[1]);
    ConstantStarts live(dim);
    std::vector<std::uint8_t> keep;
    // The balls start r - 1 must keep its level out of, gathered while judging at step r - 1.
    std::vector<double> excluded;
    SearchStats& stats = result.stats;
    for (std::size_t r = 2; r < n; ++r) {
        live.push(r - 1, F[r - 2], w[r - 1], y, std::move(excluded));
        excluded = {};
        keep.assign(live.size(), 1);
        std::uint64_t pruned = 0;
        std::uint64_t dropped = 0;
        live.judge(F[r - 1], keep, pruned, dropped, excluded);
        {
            // The whole prefix carries no gamma.
            const double own = prefix.cost(0, 0.0) - gamma;
            const double room = (F[r - 1] - own) - margin * (std::abs(own) + std::abs(F[r - 1]));
            if (room > 0.0) prefix.append_ball(0, room / prefix.weight(0), excluded);
        }
        live.add(y, r, w[r]);
        prefix.add(y, r, w[r]);
        stats.extensions += live.size();
        // Strictly smaller replaces, scanning from the largest start: the largest of equal
        // starts wins, the whole prefix wins every tie (as the other searches choose).
        double best_value = F[r];
        std::uint64_t best = 0;
        for (std::size_t i = live.size(); i-- > 0;) {
            const double cand = live.cost(i, gamma);
            if (best_value > cand) {
                best_value = cand;
                best = live.start(i);
            }
        }
        F[r] = best_value;
        result.partition[r] = best;
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
