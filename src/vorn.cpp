#include "vorn.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <span>
#include <utility>

#include "csaps.hpp"
#include "dp.hpp"
#include "failure.hpp"
#include "mapped_allocator.hpp"
#include "memory.hpp"

namespace vorn {

namespace detail {

// Written so that ordinary data gives the very same double as (right + left) * 0.5; only a sum
// that overflows for finite sites takes the halves first, which keeps the point between them.
double jump_site(double left, double right) {
    const double mid = (right + left) * 0.5;
    if (!std::isfinite(mid) && std::isfinite(left) && std::isfinite(right)) {
        return left * 0.5 + right * 0.5;
    }
    return mid;
}

std::vector<std::size_t> segment_starts(const PartitionResult& found) {
    std::vector<std::size_t> starts;
    for (std::size_t e = found.partition.size() - 1;;) {
        const std::size_t start = static_cast<std::size_t>(found.partition[e]);
        require(start <= e, "partition must point back to a segment start");
        starts.push_back(start);
        if (start == 0) break;
        e = start - 1;
    }
    std::reverse(starts.begin(), starts.end());
    return starts;
}

namespace {

std::vector<std::uint64_t> index_run(std::size_t first, std::size_t last) {
    std::vector<std::uint64_t> run;
    run.reserve(last - first + 1);
    for (std::size_t i = first; i <= last; ++i) run.push_back(i);
    return run;
}

// The cell of a single sample carries that sample's value and nothing else.
PpForm constant_form(const PreparedView& s, std::size_t i, double left, double right) {
    PpForm form;
    form.breaks = {left, right};
    form.dim = s.dim;
    form.order = 4;
    form.coefs.assign(s.dim * 4, 0.0);
    for (std::size_t j = 0; j < s.dim; ++j) form.coefs[j * 4 + 3] = s.y[i * s.dim + j];
    return form;
}

PpForm segment_form(const PreparedView& s, double p, std::size_t first, std::size_t last,
                    double left, double right) {
    const std::size_t count = last - first + 1;
    const std::span<const double> xs(s.x);
    const std::span<const double> ws(s.w);
    PpForm form = csaps(VectorView::of(xs.subspan(first, count)),
                        s.y_view().row_slice(first, count),
                        VectorView::of(ws.subspan(first, count)), p);
    extend_to(form, left, right);
    raise_to_cubic(form);
    return form;
}

// Sites already strictly ascending and every row finite, the common case: prepared without the
// index arrays of the general path, with its very arithmetic (a site's own sample is its run,
// so the value is (w * y) / w, as the merge computes it). Nothing when the data need the general
// path, which also words every error. The deviations are left out unless asked for.
std::optional<PreparedSamples> prepare_ascending(const std::optional<VectorView>& x,
                                                 const MatrixView& y,
                                                 const std::optional<VectorView>& delta,
                                                 bool with_delta) {
    const std::size_t n = y.rows;
    const std::size_t dim = y.cols;
    if (n < 2 || dim == 0 || (x && x->size != n) || (delta && delta->size != n)) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < dim; ++c) {
            if (!std::isfinite(y(i, c))) return std::nullopt;
        }
        // Written so that a NaN site fails too.
        if (x && i > 0 && !((*x)[i - 1] < (*x)[i])) return std::nullopt;
    }
    PreparedSamples out;
    out.dim = dim;
    reserve_large(out.x, n);
    reserve_large(out.w, n);
    reserve_large(out.y, n * dim);
    out.x.resize(n);
    out.w.resize(n);
    out.y.resize(n * dim);
    for (std::size_t i = 0; i < n; ++i) {
        out.x[i] = x ? (*x)[i] : static_cast<double>(i + 1);
        const double d = delta ? (*delta)[i] : 1.0;
        const double w = 1.0 / (d * d);
        out.w[i] = w;
        for (std::size_t c = 0; c < dim; ++c) out.y[i * dim + c] = (w * y(i, c)) / w;
    }
    if (with_delta) {
        reserve_large(out.delta, n);
        out.delta.resize(n);
        for (std::size_t i = 0; i < n; ++i) out.delta[i] = std::sqrt(1.0 / out.w[i]);
    }
    return out;
}

// Each column less its midrange. A smoothing spline (and a line) reproduces constants, so no
// segment's energy changes in exact arithmetic; in floating point the energies' rounding grows
// with the values' magnitude and, far from zero, swamps gamma and decides between near-equal
// partitions. The midrange leaves constant data exactly zero.
MappedVector<double> centred_values(const PreparedView& s) {
    const std::size_t n = s.size();
    MappedVector<double> centred(n * s.dim);
    for (std::size_t c = 0; c < s.dim; ++c) {
        double low = s.y[c];
        double high = s.y[c];
        for (std::size_t i = 1; i < n; ++i) {
            low = std::min(low, s.y[i * s.dim + c]);
            high = std::max(high, s.y[i * s.dim + c]);
        }
        // Halves first: the sum of two finite values near the largest double overflows.
        const double middle = low * 0.5 + high * 0.5;
        for (std::size_t i = 0; i < n; ++i) centred[i * s.dim + c] = s.y[i * s.dim + c] - middle;
    }
    return centred;
}

PartitionResult search(const PreparedView& s, const MatrixView& y, std::span<const double> delta,
                       Pruning pruning, double p, double gamma, std::span<const double> tau,
                       std::span<const double> omega, std::span<const double> h, double a,
                       const CancelHook& cancel) {
    if (p == 0.0) {
        return pruning == Pruning::DOMINANCE
                   ? partition_line_dominance(s.x, y, delta, gamma, cancel)
                   : partition_line(s.x, y, delta, gamma, cancel);
    }
    const EnergyInputs in{y, h, omega, tau, a};
    switch (pruning) {
        case Pruning::PELT: return partition_pelt(in, gamma, cancel);
        case Pruning::DOMINANCE: return partition_dominance(in, gamma, cancel);
        case Pruning::FPVI: break;
    }
    return partition_fpvi(in, gamma, cancel);
}

// The search with its inputs derived from the prepared samples; local slope scales are kept
// for the caller (empty for unit ones), the weights and spacings are released on return.
struct SearchRun {
    PartitionResult found;
    std::vector<double> tau;
};

SearchRun run_search(const PreparedView& s, Pruning pruning, Precondition precondition,
                     double p, double gamma, const CancelHook& cancel,
                     SearchValues values = SearchValues::as_given) {
    const std::size_t n = s.x.size();
    // Samples read in place come without their deviations; they are derived here, as
    // prepare_samples derives them. Only the weights and the straight-line search read them,
    // so a spline search frees them once the weights are formed.
    MappedVector<double> derived;
    std::span<const double> delta = s.delta;
    if (delta.empty()) {
        derived.resize(n);
        for (std::size_t i = 0; i < n; ++i) derived[i] = std::sqrt(1.0 / s.w[i]);
        delta = derived;
    }
    const double sqrt_p = std::sqrt(p);
    MappedVector<double> omega(n);
    for (std::size_t i = 0; i < n; ++i) omega[i] = sqrt_p / delta[i];
    if (p != 0.0 && !derived.empty()) {
        MappedVector<double>().swap(derived);
        delta = {};
    }
    MappedVector<double> h(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) h[i] = s.x[i + 1] - s.x[i];
    const double a = std::sqrt(1.0 - p);
    // Unit scales are not stored: the search reads none as ones.
    std::vector<double> tau =
        precondition == Precondition::local ? local_tau(h, omega, a) : std::vector<double>();
    const MappedVector<double> centred =
        values == SearchValues::centred ? centred_values(s) : MappedVector<double>();
    const MatrixView y = values == SearchValues::centred
                             ? MatrixView::row_major(centred.data(), n, s.dim)
                             : s.y_view();
    PartitionResult found = search(s, y, delta, pruning, p, gamma, tau, omega, h, a, cancel);
    require(found.partition.size() == n, "partition must hold one entry per sample");
    return {std::move(found), std::move(tau)};
}

// Each segment's samples, its cell (from halfway to the previous segment to halfway to the
// next, one unit beyond the data at either end) and its cubic form, left to right.
template <class Visit>
void for_each_segment(const PreparedView& s, double p, std::span<const std::size_t> starts,
                      const CancelHook& cancel, Visit&& visit) {
    const std::size_t n = s.size();
    for (std::size_t k = 0; k < starts.size(); ++k) {
        cancel.tick();
        const std::size_t first = starts[k];
        const std::size_t last = k + 1 < starts.size() ? starts[k + 1] - 1 : n - 1;
        const double left = first > 0 ? jump_site(s.x[first - 1], s.x[first]) : s.x[0] + (-1.0);
        const double right =
            last + 1 < n ? jump_site(s.x[last], s.x[last + 1]) : s.x[n - 1] + 1.0;
        visit(first, last, left,
              first == last ? constant_form(s, first, left, right)
                            : segment_form(s, p, first, last, left, right));
    }
}

// One smoothing spline of all samples, continued one unit beyond them.
PpForm one_spline_form(const PreparedView& s, double p) {
    PpForm form = csaps(VectorView::of(s.x), s.y_view(), VectorView::of(s.w), p);
    extend_to(form, s.x.front() - 1.0, s.x.back() + 1.0);
    raise_to_cubic(form);
    return form;
}

}  // namespace
}  // namespace detail

Checked<FitResult> fit(const std::optional<VectorView>& x, const MatrixView& y,
                       const std::optional<VectorView>& delta, Pruning pruning,
                       Precondition precondition, double p, double gamma,
                       const CancelHook& cancel) {
    if (auto error = check_parameters(p, gamma)) return *error;
    Checked<PreparedSamples> prepared = prepare_samples(x, y, delta);
    if (!prepared) return prepared.error();
    PreparedSamples& samples = prepared.value();
    const PreparedView s = PreparedView::of(samples);
    const std::size_t n = s.size();

    FitResult result;
    result.precondition = precondition;
    result.dim = s.dim;

    if (p == 1.0 || gamma >= std::numeric_limits<double>::infinity()) {
        PpForm form = detail::one_spline_form(s, p);
        result.interval_cell.push_back(detail::index_run(0, n - 1));
        result.pp_cell.push_back(form);
        result.joined = std::move(form);
        result.F.assign(n, 0.0);
        result.partition.assign(n, 0);
        result.tau.assign(n, 1.0);
        result.complexity_counter = n;
    } else {
        detail::SearchRun run = detail::run_search(s, pruning, precondition, p, gamma, cancel);
        const std::vector<std::size_t> starts = detail::segment_starts(run.found);
        detail::for_each_segment(
            s, p, starts, cancel,
            [&](std::size_t first, std::size_t last, double left, PpForm&& form) {
                result.interval_cell.push_back(detail::index_run(first, last));
                result.pp_cell.push_back(std::move(form));
                if (first > 0) result.discont.push_back(left);
                if (last + 1 < n) result.discont_idx.push_back(last);
            });
        result.joined = concat(result.pp_cell);

        result.F = std::move(run.found.F);
        result.partition = std::move(run.found.partition);
        result.tau = run.tau.empty() ? std::vector<double>(n, 1.0) : std::move(run.tau);
        result.complexity_counter = run.found.complexity_counter;
        result.search_stats = run.found.stats;
    }

    result.x = std::move(samples.x);
    result.y = std::move(samples.y);
    return result;
}

Checked<Curve> fit_curve(const std::optional<VectorView>& x, const MatrixView& y,
                         const std::optional<VectorView>& delta, Pruning pruning,
                         Precondition precondition, double p, double gamma,
                         const CancelHook& cancel, SearchValues values) {
    if (auto error = check_parameters(p, gamma)) return *error;
    const bool one_spline = p == 1.0 || gamma >= std::numeric_limits<double>::infinity();
    // One spline reads the weights only: its working block is the peak of the fit.
    std::optional<PreparedSamples> ascending =
        detail::prepare_ascending(x, y, delta, !one_spline);
    Checked<PreparedSamples> prepared =
        ascending ? Checked<PreparedSamples>(std::move(*ascending)) : prepare_samples(x, y, delta);
    ascending.reset();
    if (!prepared) return prepared.error();
    return fit_curve(std::move(prepared.value()), pruning, precondition, p, gamma, cancel, values);
}

Checked<Curve> fit_curve(PreparedSamples&& s, Pruning pruning, Precondition precondition,
                         double p, double gamma, const CancelHook& cancel, SearchValues values) {
    if (auto error = check_parameters(p, gamma)) return *error;
    // One spline reads the weights only: its working block is the peak of the fit.
    if (p == 1.0 || gamma >= std::numeric_limits<double>::infinity()) {
        std::vector<double>().swap(s.delta);
    }
    Checked<Curve> fitted =
        fit_curve_in_place(PreparedView::of(s), pruning, precondition, p, gamma, cancel, values);
    if (fitted) {
        fitted.value().x = std::move(s.x);
        fitted.value().y = std::move(s.y);
    }
    return fitted;
}

Checked<Curve> fit_curve_in_place(const PreparedView& s, Pruning pruning,
                                  Precondition precondition, double p, double gamma,
                                  const CancelHook& cancel, SearchValues values) {
    if (auto error = check_parameters(p, gamma)) return *error;
    const bool one_spline = p == 1.0 || gamma >= std::numeric_limits<double>::infinity();
    const std::size_t n = s.size();

    Curve curve;
    curve.dim = s.dim;
    if (one_spline) {
        curve.form = detail::one_spline_form(s, p);
        curve.complexity_counter = n;
    } else {
        std::vector<std::size_t> starts;
        {
            const PartitionResult found =
                detail::run_search(s, pruning, precondition, p, gamma, cancel, values).found;
            starts = detail::segment_starts(found);
            curve.complexity_counter = found.complexity_counter;
            curve.search_stats = found.stats;
        }

        const std::size_t segments = starts.size();
        if (segments == 1) {
            // The one segment's form is the curve: taken over, not copied, so that the fit
            // never holds the curve twice.
            detail::for_each_segment(s, p, starts, cancel,
                                     [&](std::size_t, std::size_t, double, PpForm&& form) {
                                         require(form.order == 4 && form.dim == s.dim,
                                                 "segment forms must be cubic");
                                         curve.form = std::move(form);
                                     });
            return curve;
        }
        // Every segment adds its samples and two cell ends, and shares one end with the next.
        PpForm& joined = curve.form;
        joined.dim = s.dim;
        joined.order = 4;
        reserve_large(joined.breaks, n + segments + 1);
        reserve_large(joined.coefs, (n + segments) * s.dim * 4);
        curve.jumps.reserve(segments - 1);
        curve.jump_indices.reserve(segments - 1);
        detail::for_each_segment(
            s, p, starts, cancel,
            [&](std::size_t first, std::size_t last, double left, PpForm&& form) {
                require(form.order == 4 && form.dim == s.dim, "segment forms must be cubic");
                const std::size_t skip = joined.breaks.empty() ? 0 : 1;
                joined.breaks.insert(joined.breaks.end(),
                                     form.breaks.begin() + static_cast<std::ptrdiff_t>(skip),
                                     form.breaks.end());
                joined.coefs.insert(joined.coefs.end(), form.coefs.begin(), form.coefs.end());
                if (first > 0) curve.jumps.push_back(left);
                if (last + 1 < n) curve.jump_indices.push_back(last);
            });
    }
    return curve;
}

namespace detail {
namespace {

// The samples outside one fold, copied for the fold's fit. Indices compare as unsigned, so a
// negative one never names a training sample; whether an index names a sample at all is for
// the caller to check.
struct TrainingSet {
    std::vector<double> x, y, delta;

    void take_all_but(const VectorView& sx, const MatrixView& sy, const VectorView& sdelta,
                      const std::vector<std::int64_t>& fold) {
        std::vector<std::uint64_t> members(fold.begin(), fold.end());
        std::sort(members.begin(), members.end());
        members.erase(std::unique(members.begin(), members.end()), members.end());
        x.clear();
        y.clear();
        delta.clear();
        const std::size_t n = sx.size;
        const std::size_t cols = sy.cols;
        // Room for every sample that can be read before a check stops the walk, taken at once:
        // data that cannot fit fails here, before the walk touches gigabytes, not after.
        const std::size_t readable = std::min({n, sy.rows, sdelta.size});
        if (readable > x.max_size() || (cols != 0 && readable > y.max_size() / cols)) {
            throw std::bad_alloc();
        }
        x.reserve(readable);
        delta.reserve(readable);
        y.reserve(readable * cols);
        std::size_t next_member = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (next_member < members.size() && members[next_member] == i) {
                ++next_member;
                continue;
            }
            require(i < sy.rows, "y has fewer rows than x");
            require(i < sdelta.size, "delta has fewer entries than x");
            x.push_back(sx[i]);
            for (std::size_t c = 0; c < cols; ++c) y.push_back(sy(i, c));
            delta.push_back(sdelta[i]);
        }
    }
};

// Index of the jump whose gap (strictly between the training samples either side of it) holds
// the site, or jumps.size() for none.
std::size_t gap_of(const Curve& curve, double site) {
    const std::size_t jumps = curve.jumps.size();
    // Gaps are disjoint and ordered like the jumps: only the last one starting below the site
    // can hold it.
    std::size_t below = 0;
    std::size_t hi = jumps;
    while (below < hi) {
        const std::size_t mid = (below + hi) / 2;
        if (curve.x[curve.jump_indices[mid]] < site) {
            below = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (below == 0) return jumps;
    const std::size_t g = below - 1;
    return site < curve.x[curve.jump_indices[g] + 1] ? g : jumps;
}

}  // namespace
}  // namespace detail

Checked<CvPredictions> cv_predictions(const VectorView& x, const MatrixView& y,
                                      const VectorView& delta,
                                      const std::vector<std::vector<std::int64_t>>& folds,
                                      Pruning pruning, Precondition precondition, double p,
                                      double gamma, const CancelHook& cancel,
                                      SearchValues values) {
    if (auto error = check_parameters(p, gamma)) return *error;
    const std::size_t n = x.size;
    require(y.rows == n && delta.size == n, "x, y and delta must have one entry per sample");
    std::size_t rows = 0;
    for (const std::vector<std::int64_t>& fold : folds) {
        for (std::int64_t index : fold) {
            require(index >= 0 && static_cast<std::uint64_t>(index) < n,
                    "fold index out of range");
        }
        rows += fold.size();
    }
    const std::size_t dim = y.cols;
    CvPredictions out;
    out.dim = dim;
    out.predicted.assign(rows * dim, std::numeric_limits<double>::quiet_NaN());
    out.left.assign(rows * dim, std::numeric_limits<double>::quiet_NaN());
    out.right.assign(rows * dim, std::numeric_limits<double>::quiet_NaN());
    out.in_gap.assign(rows, 0);
    out.fold_ok.assign(folds.size(), 0);

    detail::TrainingSet train;
    std::vector<double> sites;
    std::size_t row = 0;
    for (std::size_t f = 0; f < folds.size(); ++f) {
        cancel.check();
        const std::vector<std::int64_t>& fold = folds[f];
        train.take_all_but(x, y, delta, fold);
        const Checked<Curve> fitted = fit_curve(
            VectorView::of(train.x), MatrixView::row_major(train.y.data(), train.x.size(), dim),
            VectorView::of(train.delta), pruning, precondition, p, gamma, cancel, values);
        if (!fitted) {
            row += fold.size();
            continue;
        }
        out.fold_ok[f] = 1;
        const Curve& curve = fitted.value();
        const PpView form = PpView::of(curve.form);
        sites.clear();
        for (std::int64_t index : fold) sites.push_back(x[static_cast<std::size_t>(index)]);
        const std::span<double> predicted(out.predicted.data() + row * dim, fold.size() * dim);
        eval_into(form, sites, 0, Side::right, predicted, cancel);
        for (std::size_t k = 0; k < sites.size(); ++k, ++row) {
            const double site = sites[k];
            const std::size_t g = detail::gap_of(curve, site);
            double* left = out.left.data() + row * dim;
            double* right = out.right.data() + row * dim;
            if (g == curve.jumps.size()) {
                std::copy_n(out.predicted.data() + row * dim, dim, left);
                std::copy_n(out.predicted.data() + row * dim, dim, right);
                continue;
            }
            out.in_gap[row] = 1;
            const double jump = curve.jumps[g];
            const std::size_t right_piece = locate(form.breaks, jump);
            const std::size_t left_piece = locate_left(form.breaks, jump);
            for (std::size_t c = 0; c < dim; ++c) {
                left[c] = piece_value(form, left_piece, c, site, 0);
                right[c] = piece_value(form, right_piece, c, site, 0);
            }
        }
    }
    return out;
}

double cv_score(const VectorView& x, const MatrixView& y, const VectorView& delta,
                const std::vector<std::vector<std::int64_t>>& folds, Pruning pruning,
                Precondition precondition, double p, double gamma,
                const CancelHook& cancel, SearchValues values) {
    constexpr double unscorable = std::numeric_limits<double>::infinity();
    if (gamma <= 0.0 || !(0.0 <= p && p <= 1.0)) return unscorable;
    const std::size_t n = x.size;
    if (folds.empty()) return 0.0 / static_cast<double>(n);

    const std::size_t cols = y.cols;
    double score = 0.0;
    detail::TrainingSet train;
    std::vector<double> held_out;
    for (const std::vector<std::int64_t>& fold : folds) {
        cancel.check();  // a fold without a search (p = 1, gamma = inf) ticks nothing itself
        // A fit that fails makes the score +inf before any held-out sample is read, so the
        // fold's indices are checked after its fit.
        train.take_all_but(x, y, delta, fold);
        // The lean fit: the same curve as fit, bit for bit, without the search's diagnostics.
        Checked<Curve> fitted =
            fit_curve(VectorView::of(train.x),
                      MatrixView::row_major(train.y.data(), train.x.size(), cols),
                      VectorView::of(train.delta), pruning, precondition, p, gamma, cancel,
                      values);
        if (!fitted) return unscorable;

        held_out.clear();
        for (std::int64_t index : fold) {
            const auto k = static_cast<std::uint64_t>(index);
            require(k < n, "fold index out of range");
            require(k < y.rows, "y has fewer rows than x");
            require(k < delta.size, "delta has fewer entries than x");
            held_out.push_back(x[k]);
        }
        const std::vector<double> predicted = eval_sites(fitted.value().form, held_out);
        const std::size_t dim = fitted.value().dim;
        for (std::size_t row = 0; row < fold.size(); ++row) {
            const auto k = static_cast<std::size_t>(fold[row]);
            for (std::size_t c = 0; c < dim; ++c) {
                const double r = (predicted[row * dim + c] - y(k, c)) / delta[k];
                score = score + r * r;
            }
        }
    }
    return score / static_cast<double>(n);
}

}  // namespace vorn
