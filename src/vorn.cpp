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

namespace vorn {

namespace detail {
namespace {

// Halfway between two neighbouring sites, written so that ordinary data gives the very same
// double as (right + left) * 0.5; only a sum that overflows for finite sites takes the halves
// first, which keeps the point between them.
double jump_site(double left, double right) {
    const double mid = (right + left) * 0.5;
    if (!std::isfinite(mid) && std::isfinite(left) && std::isfinite(right)) {
        return left * 0.5 + right * 0.5;
    }
    return mid;
}

std::vector<std::uint64_t> index_run(std::size_t first, std::size_t last) {
    std::vector<std::uint64_t> run;
    run.reserve(last - first + 1);
    for (std::size_t i = first; i <= last; ++i) run.push_back(i);
    return run;
}

// The cell of a single sample carries that sample's value and nothing else.
PpForm constant_form(const PreparedSamples& s, std::size_t i, double left, double right) {
    PpForm form;
    form.breaks = {left, right};
    form.dim = s.dim;
    form.order = 4;
    form.coefs.assign(s.dim * 4, 0.0);
    for (std::size_t j = 0; j < s.dim; ++j) form.coefs[j * 4 + 3] = s.y[i * s.dim + j];
    return form;
}

PpForm segment_form(const PreparedSamples& s, double p, std::size_t first, std::size_t last,
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

PartitionResult search(const PreparedSamples& s, Pruning pruning, double p, double gamma,
                       std::span<const double> tau, std::span<const double> omega,
                       std::span<const double> h, double a, const CancelHook& cancel) {
    if (p == 0.0) return partition_line(s.x, s.y_view(), s.delta, gamma, cancel);
    const EnergyInputs in{s.y_view(), h, omega, tau, a};
    switch (pruning) {
        case Pruning::PELT: return partition_pelt(in, gamma, cancel);
        case Pruning::DOMINANCE: return partition_dominance(in, gamma, cancel);
        case Pruning::FPVI: break;
    }
    return partition_fpvi(in, gamma, cancel);
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
    PreparedSamples& s = prepared.value();
    const std::size_t n = s.size();

    FitResult result;
    result.precondition = precondition;
    result.dim = s.dim;

    if (p == 1.0 || gamma >= std::numeric_limits<double>::infinity()) {
        PpForm form = csaps(VectorView::of(s.x), s.y_view(), VectorView::of(s.w), p);
        extend_to(form, s.x.front() - 1.0, s.x.back() + 1.0);
        raise_to_cubic(form);
        result.interval_cell.push_back(detail::index_run(0, n - 1));
        result.pp_cell.push_back(form);
        result.joined = std::move(form);
        result.F.assign(n, 0.0);
        result.partition.assign(n, 0);
        result.tau.assign(n, 1.0);
        result.complexity_counter = n;
    } else {
        const double sqrt_p = std::sqrt(p);
        std::vector<double> omega(n);
        for (std::size_t i = 0; i < n; ++i) omega[i] = sqrt_p / s.delta[i];
        std::vector<double> h(n - 1);
        for (std::size_t i = 0; i + 1 < n; ++i) h[i] = s.x[i + 1] - s.x[i];
        const double a = std::sqrt(1.0 - p);
        std::vector<double> tau = precondition == Precondition::local
                                      ? local_tau(h, omega, a)
                                      : std::vector<double>(n, 1.0);

        PartitionResult found = detail::search(s, pruning, p, gamma, tau, omega, h, a, cancel);
        require(found.partition.size() == n, "partition must hold one entry per sample");

        // Read back from the last sample; each segment's left cell end is the next one's right.
        std::size_t e = n - 1;
        double right = s.x[n - 1] + 1.0;
        for (;;) {
            const std::size_t start = static_cast<std::size_t>(found.partition[e]);
            require(start <= e, "partition must point back to a segment start");
            const double left =
                start > 0 ? detail::jump_site(s.x[start - 1], s.x[start]) : s.x[0] + (-1.0);
            result.interval_cell.push_back(detail::index_run(start, e));
            result.pp_cell.push_back(start == e
                                         ? detail::constant_form(s, start, left, right)
                                         : detail::segment_form(s, p, start, e, left, right));
            if (start == 0) break;
            result.discont.push_back(left);
            right = left;
            e = start - 1;
        }
        std::reverse(result.interval_cell.begin(), result.interval_cell.end());
        std::reverse(result.pp_cell.begin(), result.pp_cell.end());
        std::reverse(result.discont.begin(), result.discont.end());
        for (std::size_t k = 0; k + 1 < result.interval_cell.size(); ++k) {
            result.discont_idx.push_back(result.interval_cell[k].back());
        }
        result.joined = concat(result.pp_cell);

        result.F = std::move(found.F);
        result.partition = std::move(found.partition);
        result.tau = std::move(tau);
        result.complexity_counter = found.complexity_counter;
        result.search_stats = found.stats;
    }

    result.x = std::move(s.x);
    result.y = std::move(s.y);
    return result;
}

double cv_score(const VectorView& x, const MatrixView& y, const VectorView& delta,
                const std::vector<std::vector<std::int64_t>>& folds, Pruning pruning,
                Precondition precondition, double p, double gamma,
                const CancelHook& cancel) {
    constexpr double unscorable = std::numeric_limits<double>::infinity();
    if (gamma <= 0.0 || !(0.0 <= p && p <= 1.0)) return unscorable;
    const std::size_t n = x.size;
    if (folds.empty()) return 0.0 / static_cast<double>(n);

    const std::size_t cols = y.cols;
    double score = 0.0;
    std::vector<double> train_x, train_y, train_delta, held_out;
    for (const std::vector<std::int64_t>& fold : folds) {
        cancel.check();  // a fold without a search (p = 1, gamma = inf) ticks nothing itself
        // Indices compare as unsigned, so a negative one never names a training sample; whether
        // an index names a sample at all is checked where it is read, after the fold's fit,
        // because a fit that fails makes the score +inf before any held-out sample is read.
        std::vector<std::uint64_t> members(fold.begin(), fold.end());
        std::sort(members.begin(), members.end());
        members.erase(std::unique(members.begin(), members.end()), members.end());

        train_x.clear();
        train_y.clear();
        train_delta.clear();
        // Room for every sample that can be read before a check stops the walk, taken at once:
        // data that cannot fit fails here, before the walk touches gigabytes, not after.
        const std::size_t readable = std::min({n, y.rows, delta.size});
        if (readable > train_x.max_size() || (cols != 0 && readable > train_y.max_size() / cols)) {
            throw std::bad_alloc();
        }
        train_x.reserve(readable);
        train_delta.reserve(readable);
        train_y.reserve(readable * cols);
        std::size_t next_member = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (next_member < members.size() && members[next_member] == i) {
                ++next_member;
                continue;
            }
            require(i < y.rows, "y has fewer rows than x");
            require(i < delta.size, "delta has fewer entries than x");
            train_x.push_back(x[i]);
            for (std::size_t c = 0; c < cols; ++c) train_y.push_back(y(i, c));
            train_delta.push_back(delta[i]);
        }

        const std::optional<VectorView> fit_x = VectorView::of(train_x);
        const std::optional<VectorView> fit_delta = VectorView::of(train_delta);
        Checked<FitResult> fitted =
            fit(fit_x, MatrixView::row_major(train_y.data(), train_x.size(), cols), fit_delta,
                pruning, precondition, p, gamma, cancel);
        if (!fitted) return unscorable;

        held_out.clear();
        for (std::int64_t index : fold) {
            const auto k = static_cast<std::uint64_t>(index);
            require(k < n, "fold index out of range");
            require(k < y.rows, "y has fewer rows than x");
            require(k < delta.size, "delta has fewer entries than x");
            held_out.push_back(x[k]);
        }
        const std::vector<double> predicted = eval_sites(fitted.value().joined, held_out);
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
