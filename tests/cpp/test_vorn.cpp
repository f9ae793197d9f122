#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "csaps.hpp"
#include "dp.hpp"
#include "failure.hpp"
#include "support.hpp"
#include "vorn.hpp"

namespace {

using vorn::FitResult;
using vorn::MatrixView;
using vorn::Precondition;
using vorn::PpForm;
using vorn::Pruning;
using vorn::VectorView;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

struct Samples {
    std::vector<double> x;
    std::vector<double> y;  // rows of dim values
    std::size_t dim = 1;
    std::vector<double> delta;

    std::size_t size() const { return x.size(); }
    MatrixView y_view() const { return MatrixView::row_major(y.data(), x.size(), dim); }
};

vorn::Checked<FitResult> run_fit(const Samples& s, double p, double gamma,
                                 Pruning pruning = Pruning::FPVI,
                                 Precondition precondition = Precondition::none) {
    return vorn::fit(VectorView::of(s.x), s.y_view(), VectorView::of(s.delta), pruning,
                     precondition, p, gamma);
}

FitResult fit_ok(const Samples& s, double p, double gamma, Pruning pruning = Pruning::FPVI,
                 Precondition precondition = Precondition::none) {
    auto result = run_fit(s, p, gamma, pruning, precondition);
    if (!result) ADD_FAILURE() << "fit failed: " << result.error().message();
    return result ? std::move(result.value()) : FitResult{};
}

double cv(const Samples& s, const std::vector<std::vector<std::int64_t>>& folds, double p,
          double gamma, Pruning pruning = Pruning::FPVI,
          Precondition precondition = Precondition::none) {
    return vorn::cv_score(VectorView::of(s.x), s.y_view(), VectorView::of(s.delta), folds,
                          pruning, precondition, p, gamma);
}

// Uniform doubles from the raw engine, so that the data do not depend on the library's
// distribution classes.
struct Rng {
    std::mt19937_64 engine;
    explicit Rng(std::uint64_t seed) : engine(seed) {}
    double uniform() { return static_cast<double>(engine() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    double normal() {
        const double u = uniform(1e-300, 1.0);
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * uniform());
    }
    std::size_t below(std::size_t count) { return static_cast<std::size_t>(engine() % count); }
};

Samples random_samples(Rng& rng, std::size_t n, std::size_t dim) {
    Samples s;
    s.dim = dim;
    double site = rng.uniform(-2.0, 2.0);
    for (std::size_t i = 0; i < n; ++i) {
        site += rng.uniform(0.05, 1.0);
        s.x.push_back(site);
        for (std::size_t j = 0; j < dim; ++j) s.y.push_back(rng.uniform(-3.0, 3.0));
        s.delta.push_back(rng.uniform(0.3, 2.0));
    }
    return s;
}

// The fitted value of a form, found by a linear scan over the breaks and summed by powers.
double value_of(const PpForm& form, double site, std::size_t column) {
    std::size_t piece = 0;
    for (std::size_t i = 1; i + 1 < form.breaks.size(); ++i) {
        if (form.breaks[i] <= site) piece = i;
    }
    const double t = site - form.breaks[piece];
    double value = 0.0;
    for (std::size_t k = 0; k < form.order; ++k) {
        value += form.coefs[(piece * form.dim + column) * form.order + k] *
                 std::pow(t, static_cast<double>(form.order - 1 - k));
    }
    return value;
}

// Dense Gaussian elimination with partial pivoting.
std::vector<double> dense_solve(std::vector<std::vector<double>> a, std::vector<double> b) {
    const std::size_t n = b.size();
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t pivot = c;
        for (std::size_t r = c + 1; r < n; ++r) {
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        }
        std::swap(a[c], a[pivot]);
        std::swap(b[c], b[pivot]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const double f = a[r][c] / a[c][c];
            for (std::size_t k = c; k < n; ++k) a[r][k] -= f * a[c][k];
            b[r] -= f * b[c];
        }
    }
    std::vector<double> u(n);
    for (std::size_t c = n; c-- > 0;) {
        double acc = b[c];
        for (std::size_t k = c + 1; k < n; ++k) acc -= a[c][k] * u[k];
        u[c] = acc / a[c][c];
    }
    return u;
}

// Values at the sites of the minimiser of p*sum w (y - f)^2 + (1 - p)*int f''^2: for p > 0 the
// optimality conditions p*W*(f - y) + (1 - p)*Q*g = 0 and Q^T*f = R*g solved densely, for p = 0
// the weighted least-squares line.
std::vector<double> reference_values(const std::vector<double>& x, const std::vector<double>& y,
                                     const std::vector<double>& w, double p) {
    const std::size_t n = x.size();
    if (n <= 2) return y;
    if (p == 0.0) {
        double sw = 0, sx = 0, sy = 0;
        for (std::size_t i = 0; i < n; ++i) sw += w[i], sx += w[i] * x[i], sy += w[i] * y[i];
        const double mx = sx / sw, my = sy / sw;
        double sxx = 0, sxy = 0;
        for (std::size_t i = 0; i < n; ++i) {
            sxx += w[i] * (x[i] - mx) * (x[i] - mx);
            sxy += w[i] * (x[i] - mx) * (y[i] - my);
        }
        std::vector<double> out(n);
        for (std::size_t i = 0; i < n; ++i) out[i] = my + sxy / sxx * (x[i] - mx);
        return out;
    }
    const std::size_t m = n - 2, size = n + m;
    std::vector<std::vector<double>> a(size, std::vector<double>(size, 0.0));
    std::vector<double> b(size, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        a[i][i] = p * w[i];
        b[i] = p * w[i] * y[i];
    }
    for (std::size_t k = 0; k < m; ++k) {
        const double r0 = 1.0 / (x[k + 1] - x[k]), r1 = 1.0 / (x[k + 2] - x[k + 1]);
        const double q[3] = {r0, -(r0 + r1), r1};
        for (std::size_t j = 0; j < 3; ++j) {
            a[k + j][n + k] = (1.0 - p) * q[j];
            a[n + k][k + j] = q[j];
        }
        a[n + k][n + k] = -(x[k + 2] - x[k]) / 3.0;
        if (k + 1 < m) {
            a[n + k][n + k + 1] = -(x[k + 2] - x[k + 1]) / 6.0;
            a[n + k + 1][n + k] = -(x[k + 2] - x[k + 1]) / 6.0;
        }
    }
    std::vector<double> u = dense_solve(a, b);
    u.resize(n);
    return u;
}

std::vector<double> expected_breaks_of_joined(const FitResult& r) {
    std::vector<double> breaks(r.pp_cell.front().breaks.begin(), r.pp_cell.front().breaks.end());
    for (std::size_t k = 1; k < r.pp_cell.size(); ++k) {
        breaks.insert(breaks.end(), r.pp_cell[k].breaks.begin() + 1, r.pp_cell[k].breaks.end());
    }
    return breaks;
}

// Everything a fit promises about its segments, cells, jumps and joined form, with the fitted
// values checked against a dense solve per segment. w holds the weights of the prepared sites.
void check_fit(const FitResult& r, const std::vector<double>& w, double p) {
    const std::size_t n = r.x.size(), dim = r.dim;
    ASSERT_GE(n, 2u);
    ASSERT_EQ(r.y.size(), n * dim);
    ASSERT_EQ(r.F.size(), n);
    ASSERT_EQ(r.partition.size(), n);
    ASSERT_EQ(r.tau.size(), n);
    for (std::size_t i = 1; i < n; ++i) ASSERT_LT(r.x[i - 1], r.x[i]);

    const std::size_t nseg = r.interval_cell.size();
    ASSERT_GE(nseg, 1u);
    ASSERT_EQ(r.pp_cell.size(), nseg);
    ASSERT_EQ(r.discont.size(), nseg - 1);
    ASSERT_EQ(r.discont_idx.size(), nseg - 1);
    std::uint64_t next = 0;
    for (std::size_t k = 0; k < nseg; ++k) {
        const auto& cell = r.interval_cell[k];
        ASSERT_FALSE(cell.empty());
        for (std::size_t j = 0; j < cell.size(); ++j) ASSERT_EQ(cell[j], next + j);
        next += cell.size();
        const std::size_t s = cell.front(), e = cell.back();
        EXPECT_EQ(r.partition[e], s) << "segment " << k;

        const double left = k == 0 ? r.x[0] + (-1.0) : r.discont[k - 1];
        const double right = k + 1 == nseg ? r.x[n - 1] + 1.0 : r.discont[k];
        if (k + 1 < nseg) {
            EXPECT_EQ(r.discont_idx[k], e);
            const double mid = (r.x[e + 1] + r.x[e]) * 0.5;
            EXPECT_EQ(std::memcmp(&mid, &r.discont[k], sizeof mid), 0) << "jump " << k;
            EXPECT_LE(r.x[e], r.discont[k]);
            EXPECT_LE(r.discont[k], r.x[e + 1]);
        }

        const PpForm& form = r.pp_cell[k];
        EXPECT_EQ(form.order, 4u);
        EXPECT_EQ(form.dim, dim);
        std::vector<double> cell_breaks{left};
        if (s != e) {
            cell_breaks.insert(cell_breaks.end(), r.x.begin() + static_cast<std::ptrdiff_t>(s),
                               r.x.begin() + static_cast<std::ptrdiff_t>(e) + 1);
        }
        cell_breaks.push_back(right);
        EXPECT_EQ(form.breaks, cell_breaks) << "segment " << k;
        ASSERT_EQ(form.coefs.size(), form.pieces() * dim * 4);

        for (std::size_t j = 0; j < dim; ++j) {
            std::vector<double> xs, ys, ws;
            for (std::size_t i = s; i <= e; ++i) {
                xs.push_back(r.x[i]);
                ys.push_back(r.y[i * dim + j]);
                ws.push_back(w[i]);
            }
            const std::vector<double> want = reference_values(xs, ys, ws, p);
            double scale = 1.0;
            for (double v : ys) scale = std::max(scale, std::fabs(v));
            for (std::size_t i = s; i <= e; ++i) {
                EXPECT_NEAR(value_of(r.joined, r.x[i], j), want[i - s], 1e-8 * scale)
                    << "site " << i << " column " << j;
                if (s == e) {
                    EXPECT_EQ(value_of(r.joined, r.x[i], j), r.y[i * dim + j]);
                }
            }
            if (s == e) continue;
            // The end pieces are straight lines continuing the spline with its end slopes.
            const std::size_t last = form.pieces() - 1;
            const double* head = &form.coefs[j * 4];
            const double* first_cubic = &form.coefs[(dim + j) * 4];
            const double* last_cubic = &form.coefs[((last - 1) * dim + j) * 4];
            const double* tail = &form.coefs[(last * dim + j) * 4];
            const double th = r.x[e] - r.x[e - 1];
            const double end_value =
                ((last_cubic[0] * th + last_cubic[1]) * th + last_cubic[2]) * th + last_cubic[3];
            const double end_slope =
                (3.0 * last_cubic[0] * th + 2.0 * last_cubic[1]) * th + last_cubic[2];
            const double tol = 1e-9 * (scale + std::fabs(end_slope) + std::fabs(first_cubic[2]));
            EXPECT_EQ(head[0], 0.0);
            EXPECT_EQ(head[1], 0.0);
            EXPECT_NEAR(head[2], first_cubic[2], tol);
            EXPECT_NEAR(head[3] + head[2] * (r.x[s] - left), first_cubic[3],
                        tol * (1.0 + r.x[s] - left));
            EXPECT_EQ(tail[0], 0.0);
            EXPECT_EQ(tail[1], 0.0);
            EXPECT_NEAR(tail[2], end_slope, tol);
            EXPECT_NEAR(tail[3], end_value, tol);
        }
        if (s == e) {
            ASSERT_EQ(form.pieces(), 1u);
            for (std::size_t j = 0; j < dim; ++j) {
                const auto first = form.coefs.begin() + static_cast<std::ptrdiff_t>(j * 4);
                const std::vector<double> row(first, first + 4);
                EXPECT_EQ(row, (std::vector<double>{0.0, 0.0, 0.0, r.y[s * dim + j]}));
            }
        }
    }
    EXPECT_EQ(next, n);

    EXPECT_EQ(r.joined.order, 4u);
    EXPECT_EQ(r.joined.dim, dim);
    EXPECT_EQ(r.joined.breaks, expected_breaks_of_joined(r));
    EXPECT_TRUE(std::is_sorted(r.joined.breaks.begin(), r.joined.breaks.end()));
    std::vector<double> stacked;
    for (const PpForm& form : r.pp_cell) {
        stacked.insert(stacked.end(), form.coefs.begin(), form.coefs.end());
    }
    EXPECT_EQ(r.joined.coefs, stacked);
}

std::vector<double> weights_of(const Samples& s) {
    std::vector<double> w;
    for (double d : s.delta) w.push_back(1.0 / (d * d));
    return w;
}

// Each row as a weighted mean of itself, which is how distinct sites come out of preparation.
std::vector<double> prepared_rows(const Samples& s) {
    const std::vector<double> w = weights_of(s);
    std::vector<double> y = s.y;
    for (std::size_t i = 0; i < s.size(); ++i) {
        for (std::size_t j = 0; j < s.dim; ++j) y[i * s.dim + j] = w[i] * y[i * s.dim + j] / w[i];
    }
    return y;
}

Samples sorted_samples() {
    Samples s;
    s.x = {0.0, 0.4, 1.1, 1.5, 2.4, 3.0, 3.3};
    s.dim = 2;
    s.y = {0.1, 5.0, 0.9, 4.1, 0.2, 3.3, 1.7, 2.0, 0.8, 0.9, 2.6, 0.3, 1.9, -0.5};
    s.delta = {1.0, 0.5, 2.0, 1.0, 0.8, 1.0, 1.5};
    return s;
}

// ---------------------------------------------------------------------------------------------

struct ShortcutCase {
    double p;
    double gamma;
};

class one_segment : public ::testing::TestWithParam<ShortcutCase> {};

TEST_P(one_segment, has_the_shape_of_a_single_spline_over_all_samples) {
    const Samples s = sorted_samples();
    const std::size_t n = s.size();
    for (Pruning pruning : {Pruning::FPVI, Pruning::PELT}) {
        for (Precondition precondition : {Precondition::none, Precondition::local}) {
            const FitResult r = fit_ok(s, GetParam().p, GetParam().gamma, pruning, precondition);
            check_fit(r, weights_of(s), GetParam().p);
            ASSERT_EQ(r.interval_cell.size(), 1u);
            EXPECT_EQ(r.F, std::vector<double>(n, 0.0));
            EXPECT_EQ(r.partition, std::vector<std::uint64_t>(n, 0));
            EXPECT_EQ(r.tau, std::vector<double>(n, 1.0));
            EXPECT_EQ(r.complexity_counter, n);
            EXPECT_EQ(r.precondition, precondition);
            EXPECT_TRUE(r.discont.empty());
            EXPECT_EQ(r.joined.breaks, r.pp_cell[0].breaks);
            EXPECT_EQ(r.joined.coefs, r.pp_cell[0].coefs);
            EXPECT_EQ(r.joined.breaks.front(), s.x.front() - 1.0);
            EXPECT_EQ(r.joined.breaks.back(), s.x.back() + 1.0);
            EXPECT_EQ(r.x, s.x);
            EXPECT_EQ(r.y, prepared_rows(s));
            EXPECT_EQ(r.dim, 2u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(vorn, one_segment,
                         ::testing::Values(ShortcutCase{1.0, 0.0}, ShortcutCase{1.0, 0.25},
                                           ShortcutCase{1.0, inf}, ShortcutCase{0.6, inf},
                                           ShortcutCase{0.0, inf}));

TEST(vorn, p_one_interpolates_with_natural_ends) {
    const Samples s = sorted_samples();
    const FitResult r = fit_ok(s, 1.0, 3.0);
    for (std::size_t i = 0; i < s.size(); ++i) {
        for (std::size_t j = 0; j < 2; ++j) {
            EXPECT_NEAR(value_of(r.joined, s.x[i], j), s.y[i * 2 + j], 1e-12);
        }
    }
    // Piece 1 starts at x_0, the last cubic piece ends at x_{n-1}: zero curvature at both.
    const std::size_t last = r.joined.pieces() - 2;
    const double t = s.x.back() - r.joined.breaks[last];
    for (std::size_t j = 0; j < 2; ++j) {
        EXPECT_NEAR(r.joined.coefs[(1 * 2 + j) * 4 + 1], 0.0, 1e-12);
        const double* c = &r.joined.coefs[(last * 2 + j) * 4];
        EXPECT_NEAR(6.0 * c[0] * t + 2.0 * c[1], 0.0, 1e-9);
    }
}

TEST(vorn, gamma_zero_splits_into_pairs_and_a_single_first_sample) {
    const Samples s = sorted_samples();  // seven samples: pairs from the right, then sample 0 alone
    for (Pruning pruning : {Pruning::FPVI, Pruning::PELT}) {
        const FitResult r = fit_ok(s, 0.5, 0.0, pruning);
        check_fit(r, weights_of(s), 0.5);
        EXPECT_EQ(r.F, std::vector<double>(s.size(), 0.0));
        const std::vector<std::vector<std::uint64_t>> cells{{0}, {1, 2}, {3, 4}, {5, 6}};
        EXPECT_EQ(r.interval_cell, cells);
        EXPECT_EQ(r.discont_idx, (std::vector<std::uint64_t>{0, 2, 4}));
        const double first_jump = (s.x[1] + s.x[0]) * 0.5;
        EXPECT_EQ(r.pp_cell[0].breaks, (std::vector<double>{s.x[0] - 1.0, first_jump}));
        EXPECT_EQ(r.pp_cell[0].coefs, (std::vector<double>{0, 0, 0, s.y[0], 0, 0, 0, s.y[1]}));
        // The jump site itself belongs to the segment on its right.
        EXPECT_EQ(value_of(r.joined, first_jump - 1e-9, 0), s.y[0]);
        EXPECT_NE(value_of(r.joined, first_jump, 0), s.y[0]);
    }
}

TEST(vorn, p_zero_takes_the_line_search_and_fits_lines) {
    Samples s;
    s.x = {0.0, 1.0, 2.0, 3.5, 4.0, 5.0, 6.5, 7.0, 8.0};
    s.y = {0.1, 0.3, 0.35, 0.8, 5.2, 5.0, 4.7, 4.2, 4.1};
    s.delta = {1.0, 0.5, 1.0, 1.0, 2.0, 1.0, 1.0, 0.7, 1.0};
    const auto prepared = vorn::prepare_samples(VectorView::of(s.x), s.y_view(),
                                                VectorView::of(s.delta));
    ASSERT_TRUE(prepared);
    const auto& ps = prepared.value();
    const vorn::PartitionResult line = vorn::partition_line(ps.x, ps.y_view(), ps.delta, 1.0);

    std::vector<FitResult> fits;
    for (Pruning pruning : {Pruning::FPVI, Pruning::PELT}) {
        for (Precondition precondition : {Precondition::none, Precondition::local}) {
            fits.push_back(fit_ok(s, 0.0, 1.0, pruning, precondition));
            const FitResult& r = fits.back();
            check_fit(r, weights_of(s), 0.0);
            EXPECT_EQ(r.F, line.F);
            EXPECT_EQ(r.partition, line.partition);
            EXPECT_EQ(r.complexity_counter, line.complexity_counter);
            EXPECT_EQ(r.discont_idx, (std::vector<std::uint64_t>{3}));
            for (std::size_t i = 0; i < r.joined.pieces(); ++i) {
                EXPECT_EQ(r.joined.coefs[i * 4 + 0], 0.0);
                EXPECT_EQ(r.joined.coefs[i * 4 + 1], 0.0);
            }
            if (precondition == Precondition::none) {
                EXPECT_EQ(r.tau, std::vector<double>(s.size(), 1.0));
            } else {
                // No data weight at p = 0: the balance is sqrt(3 * sum h^-3 / sum h^-1).
                for (std::size_t i = 0; i < s.size(); ++i) {
                    double num = 0.0, den = 0.0;
                    for (std::size_t nb = i == 0 ? 0 : i - 1; nb <= i && nb + 1 < s.size(); ++nb) {
                        const double h = s.x[nb + 1] - s.x[nb];
                        num += 12.0 / (h * h * h);
                        den += 4.0 / h;
                    }
                    EXPECT_NEAR(r.tau[i], std::sqrt(num / den), 1e-12) << i;
                }
            }
        }
    }
    for (const FitResult& r : fits) {
        EXPECT_EQ(r.joined.breaks, fits[0].joined.breaks);
        EXPECT_EQ(r.joined.coefs, fits[0].joined.coefs);
    }
}

TEST(vorn, search_routes_by_pruning_with_the_prepared_inputs) {
    Rng rng(11);
    Samples s = random_samples(rng, 14, 2);
    for (double& v : s.y) v *= 0.05;
    for (std::size_t i = 7; i < 14; ++i) s.y[i * 2] += 8.0;
    const double p = 0.8, gamma = 2.0;
    const auto prepared =
        vorn::prepare_samples(VectorView::of(s.x), s.y_view(), VectorView::of(s.delta));
    ASSERT_TRUE(prepared);
    const auto& ps = prepared.value();
    const std::size_t n = ps.size();
    std::vector<double> omega(n), h(n - 1);
    for (std::size_t i = 0; i < n; ++i) omega[i] = std::sqrt(p) / ps.delta[i];
    for (std::size_t i = 0; i + 1 < n; ++i) h[i] = ps.x[i + 1] - ps.x[i];
    const double a = std::sqrt(1.0 - p);
    for (Precondition precondition : {Precondition::none, Precondition::local}) {
        const std::vector<double> tau = precondition == Precondition::local
                                            ? vorn::local_tau(h, omega, a)
                                            : std::vector<double>(n, 1.0);
        const vorn::EnergyInputs in{ps.y_view(), h, omega, tau, a};
        const vorn::PartitionResult want[2] = {vorn::partition_fpvi(in, gamma),
                                               vorn::partition_pelt(in, gamma)};
        ASSERT_NE(want[0].complexity_counter, want[1].complexity_counter);
        for (int which = 0; which < 2; ++which) {
            const FitResult r =
                fit_ok(s, p, gamma, which == 0 ? Pruning::FPVI : Pruning::PELT, precondition);
            EXPECT_EQ(r.F, want[which].F);
            EXPECT_EQ(r.partition, want[which].partition);
            EXPECT_EQ(r.complexity_counter, want[which].complexity_counter);
            EXPECT_EQ(r.tau, tau);
            EXPECT_EQ(r.discont_idx, (std::vector<std::uint64_t>{6}));
        }
    }
}

TEST(vorn, search_ending_in_one_segment_matches_the_shortcut) {
    const Samples s = sorted_samples();
    for (Pruning pruning : {Pruning::FPVI, Pruning::PELT}) {
        const FitResult searched = fit_ok(s, 0.7, 1e300, pruning, Precondition::local);
        const FitResult shortcut = fit_ok(s, 0.7, inf, pruning, Precondition::local);
        EXPECT_EQ(searched.partition[s.size() - 1], 0u);
        EXPECT_EQ(searched.interval_cell, shortcut.interval_cell);
        EXPECT_TRUE(searched.discont.empty());
        ASSERT_EQ(searched.pp_cell.size(), 1u);
        EXPECT_EQ(searched.pp_cell[0].breaks, shortcut.pp_cell[0].breaks);
        EXPECT_EQ(searched.pp_cell[0].coefs, shortcut.pp_cell[0].coefs);
        EXPECT_EQ(searched.joined.breaks, shortcut.joined.breaks);
        EXPECT_EQ(searched.joined.coefs, shortcut.joined.coefs);
        // The search's own diagnostics are kept: energies and the balanced slope scales.
        EXPECT_GT(searched.F.back(), 0.0);
        EXPECT_NE(searched.tau, shortcut.tau);
        EXPECT_EQ(searched.complexity_counter, s.size());
    }
}

TEST(vorn, random_fits_keep_every_invariant) {
    Rng rng(2024);
    for (int round = 0; round < 40; ++round) {
        const std::size_t n = 2 + rng.below(24), dim = 1 + rng.below(3);
        Samples s = random_samples(rng, n, dim);
        // Steps in the first column give the search something to find.
        for (std::size_t i = 0; i < n; ++i) s.y[i * dim] += static_cast<double>(i * 3 / n) * 6.0;
        const std::vector<double> sorted_x = s.x, sorted_w = weights_of(s);
        // The caller's order is shuffled; the fit sorts it back.
        std::vector<std::size_t> order(n);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), rng.engine);
        Samples shuffled = s;
        for (std::size_t i = 0; i < n; ++i) {
            shuffled.x[i] = s.x[order[i]];
            shuffled.delta[i] = s.delta[order[i]];
            for (std::size_t j = 0; j < dim; ++j) shuffled.y[i * dim + j] = s.y[order[i] * dim + j];
        }
        const double choices[] = {0.0, 0.3, 0.9, 0.999, 1.0};
        const double p = choices[rng.below(5)];
        const double gamma = rng.uniform(0.0, 20.0);
        const Pruning pruning = rng.below(2) ? Pruning::FPVI : Pruning::PELT;
        const Precondition precondition = rng.below(2) ? Precondition::none : Precondition::local;
        SCOPED_TRACE("round " + std::to_string(round) + " n " + std::to_string(n) + " p " +
                     std::to_string(p));
        const FitResult r = fit_ok(shuffled, p, gamma, pruning, precondition);
        EXPECT_EQ(r.x, sorted_x);
        EXPECT_EQ(r.y, prepared_rows(s));
        check_fit(r, sorted_w, p);
    }
}

TEST(vorn, parameter_errors_come_before_data_errors) {
    Samples one_row;
    one_row.x = {1.0, 2.0, 3.0, 4.0, 5.0};
    one_row.y = {1.0};
    auto fit_raw = [&](double p, double gamma) {
        return vorn::fit(VectorView::of(one_row.x), MatrixView::row_major(one_row.y.data(), 1, 1),
                         std::nullopt, Pruning::FPVI, Precondition::none, p, gamma);
    };
    struct Case {
        double p, gamma;
        vorn::InputErrorKind kind;
        const char* message;
    };
    const Case cases[] = {
        {1.5, 1.0, vorn::InputErrorKind::PRange, "p must satisfy 0 <= p <= 1, got 1.5"},
        {nan_value, -1.0, vorn::InputErrorKind::PRange, "p must satisfy 0 <= p <= 1, got NaN"},
        {0.5, -1.0, vorn::InputErrorKind::GammaNegative, "gamma must satisfy 0 <= gamma, got -1"},
        {0.5, nan_value, vorn::InputErrorKind::GammaNegative,
         "gamma must satisfy 0 <= gamma, got NaN"},
        {0.5, 1.0, vorn::InputErrorKind::TooFewPoints,
         "at least two finite data points are required, got 1"},
    };
    for (const Case& c : cases) {
        const auto r = fit_raw(c.p, c.gamma);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, c.kind);
        EXPECT_EQ(r.error().message(), c.message);
    }

    Samples s = sorted_samples();
    const std::vector<double> short_x(s.x.begin(), s.x.end() - 1);
    const std::vector<double> short_delta(s.delta.begin(), s.delta.begin() + 3);
    const auto xy = vorn::fit(VectorView::of(short_x), s.y_view(), std::nullopt, Pruning::PELT,
                              Precondition::none, 0.5, 1.0);
    ASSERT_FALSE(xy);
    EXPECT_EQ(xy.error().message(), "x and y must have matching length: x has 6, y has 7");
    const auto dl = vorn::fit(std::nullopt, s.y_view(), VectorView::of(short_delta),
                              Pruning::PELT, Precondition::none, 1.0, inf);
    ASSERT_FALSE(dl);
    EXPECT_EQ(dl.error().message(), "delta must have the same length as x (7), got 3");
}

TEST(vorn, absent_sites_and_deviations_default) {
    Samples s = sorted_samples();
    const auto r = vorn::fit(std::nullopt, s.y_view(), std::nullopt, Pruning::FPVI,
                             Precondition::none, 0.5, 1.0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r.value().x, (std::vector<double>{1, 2, 3, 4, 5, 6, 7}));
    check_fit(r.value(), std::vector<double>(7, 1.0), 0.5);
}

// Smooth curve plus two jumps at known sites, noise at the stated deviation.
Samples two_jump_signal(std::uint64_t seed, std::size_t n) {
    Rng rng(seed);
    Samples s;
    for (std::size_t i = 0; i < n; ++i) s.x.push_back(rng.uniform());
    std::sort(s.x.begin(), s.x.end());
    for (double site : s.x) {
        const double clean = std::sin(6.283185307179586 * site) + (site >= 0.35 ? 2.0 : 0.0) +
                             (site >= 0.7 ? -3.0 : 0.0);
        s.y.push_back(clean + 0.05 * rng.normal());
        s.delta.push_back(0.05);
    }
    return s;
}

TEST(vorn, two_jumps_are_found_alike_by_both_prunings) {
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        const Samples s = two_jump_signal(seed, 80);
        std::vector<std::uint64_t> want;
        for (std::size_t i = 0; i + 1 < s.size(); ++i) {
            if ((s.x[i] < 0.35) != (s.x[i + 1] < 0.35) || (s.x[i] < 0.7) != (s.x[i + 1] < 0.7)) {
                want.push_back(i);
            }
        }
        ASSERT_EQ(want.size(), 2u);
        const FitResult fpvi = fit_ok(s, 0.99, 25.0, Pruning::FPVI);
        const FitResult pelt = fit_ok(s, 0.99, 25.0, Pruning::PELT);
        check_fit(fpvi, weights_of(s), 0.99);
        EXPECT_EQ(fpvi.discont_idx, want) << "seed " << seed;
        EXPECT_EQ(pelt.interval_cell, fpvi.interval_cell);
        EXPECT_EQ(pelt.discont, fpvi.discont);
        EXPECT_EQ(pelt.discont_idx, fpvi.discont_idx);
        EXPECT_EQ(pelt.partition[s.size() - 1], fpvi.partition[s.size() - 1]);
        EXPECT_EQ(pelt.joined.breaks, fpvi.joined.breaks);
        EXPECT_EQ(pelt.joined.coefs, fpvi.joined.coefs);
        EXPECT_NEAR(pelt.F.back(), fpvi.F.back(), 1e-9 * fpvi.F.back());
        // The fit lies closer to the clean curve than the noisy samples do.
        double fit_error = 0.0, noise = 0.0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const double clean = std::sin(6.283185307179586 * s.x[i]) +
                                 (s.x[i] >= 0.35 ? 2.0 : 0.0) + (s.x[i] >= 0.7 ? -3.0 : 0.0);
            const double miss = value_of(fpvi.joined, s.x[i], 0) - clean;
            fit_error += miss * miss;
            noise += (s.y[i] - clean) * (s.y[i] - clean);
        }
        EXPECT_LT(fit_error, 0.5 * noise) << "seed " << seed;
    }
}

TEST(vorn, jump_between_huge_sites_stays_finite) {
    Samples s;
    s.x = {9.0e307, 9.2e307, 9.4e307, 9.6e307};
    s.y = {0.0, 0.0, 1.0, 1.0};
    s.delta = {1.0, 1.0, 1.0, 1.0};
    const FitResult r = fit_ok(s, 0.0, 0.001);
    ASSERT_EQ(r.discont_idx, (std::vector<std::uint64_t>{1}));
    const double jump = r.discont[0];
    EXPECT_TRUE(std::isfinite(jump));
    ASSERT_FALSE(std::isfinite(s.x[2] + s.x[1]));
    EXPECT_EQ(jump, s.x[1] * 0.5 + s.x[2] * 0.5);
    EXPECT_LT(s.x[1], jump);
    EXPECT_LT(jump, s.x[2]);
    EXPECT_EQ(r.pp_cell[0].breaks.back(), jump);
    EXPECT_EQ(r.pp_cell[1].breaks.front(), jump);
    const std::vector<double> at = vorn::eval_sites(r.joined, std::vector<double>{jump, s.x[1]});
    EXPECT_EQ(at, (std::vector<double>{1.0, 0.0}));
}

// ---------------------------------------------------------------------------------------------
// Cross-validation, against the score worked out fold by fold through fit itself.

double reference_score(const Samples& s, const std::vector<std::vector<std::int64_t>>& folds,
                       double p, double gamma, Pruning pruning, Precondition precondition) {
    const std::size_t n = s.size(), dim = s.dim;
    double total = 0.0;
    for (const auto& fold : folds) {
        std::vector<bool> out(n, false);
        for (std::int64_t k : fold) out[static_cast<std::size_t>(k)] = true;
        Samples train;
        train.dim = dim;
        for (std::size_t i = 0; i < n; ++i) {
            if (out[i]) continue;
            train.x.push_back(s.x[i]);
            train.delta.push_back(s.delta[i]);
            for (std::size_t j = 0; j < dim; ++j) train.y.push_back(s.y[i * dim + j]);
        }
        const auto r = run_fit(train, p, gamma, pruning, precondition);
        if (!r) return inf;
        for (std::int64_t k : fold) {
            const auto i = static_cast<std::size_t>(k);
            for (std::size_t j = 0; j < dim; ++j) {
                const double predicted = value_of(r.value().joined, s.x[i], j);
                const double e = (predicted - s.y[i * dim + j]) / s.delta[i];
                total += e * e;
            }
        }
    }
    return total / static_cast<double>(n);
}

struct CvCase {
    const char* name;
    bool unsorted;
    std::size_t dim;
    std::vector<std::vector<std::int64_t>> folds;
};

class cv_score_cases : public ::testing::TestWithParam<CvCase> {};

TEST_P(cv_score_cases, equals_the_fold_by_fold_score) {
    const CvCase& c = GetParam();
    Rng rng(77);
    Samples s = random_samples(rng, 12, c.dim);
    for (std::size_t i = 6; i < 12; ++i) s.y[i * c.dim] += 5.0;
    if (c.unsorted) {
        std::reverse(s.x.begin(), s.x.end());
        std::swap(s.x[2], s.x[7]);
    }
    struct Params {
        double p, gamma;
        Pruning pruning;
        Precondition precondition;
    };
    for (const Params& q : {Params{0.7, 3.0, Pruning::FPVI, Precondition::none},
                            Params{0.95, 1.5, Pruning::PELT, Precondition::local},
                            Params{0.0, 2.0, Pruning::FPVI, Precondition::none},
                            Params{1.0, 2.0, Pruning::PELT, Precondition::none},
                            Params{0.5, inf, Pruning::FPVI, Precondition::local}}) {
        const double got = cv(s, c.folds, q.p, q.gamma, q.pruning, q.precondition);
        const double want = reference_score(s, c.folds, q.p, q.gamma, q.pruning, q.precondition);
        ASSERT_TRUE(std::isfinite(want)) << c.name;
        EXPECT_GT(want, 0.0);
        EXPECT_NEAR(got, want, 1e-9 * want) << c.name << " p " << q.p;
    }
}

INSTANTIATE_TEST_SUITE_P(
    vorn, cv_score_cases,
    ::testing::Values(
        CvCase{"k_fold", false, 1, {{0, 3, 6, 9}, {1, 4, 7, 10}, {2, 5, 8, 11}}},
        CvCase{"leave_one_out", false, 1,
               {{0}, {1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}, {9}, {10}, {11}}},
        CvCase{"repeated_index", false, 1, {{4, 5, 4, 1}, {9, 2, 9, 10, 9}}},
        CvCase{"overlapping_folds", false, 1, {{0, 1, 2, 3}, {2, 3, 4, 5}, {5, 11}}},
        CvCase{"unsorted_sites", true, 1, {{0, 3, 6, 9}, {1, 4, 7, 10}, {2, 5, 8, 11}}},
        CvCase{"two_columns", false, 2, {{0, 2, 4, 6, 8, 10}, {1, 3, 5, 7, 9, 11}}},
        CvCase{"empty_fold", false, 1, {{}, {3, 8}}}),
    [](const ::testing::TestParamInfo<CvCase>& case_info) {
        return std::string(case_info.param.name);
    });

TEST(vorn, cv_score_counts_repeats_and_divides_by_n) {
    Rng rng(5);
    const Samples s = random_samples(rng, 9, 1);
    const double once = cv(s, {{4}}, 0.8, 2.0);
    EXPECT_GT(once, 0.0);
    // A repeated index is trained without once and scored twice; an empty fold adds nothing.
    EXPECT_EQ(cv(s, {{4, 4}}, 0.8, 2.0), 2.0 * once);
    EXPECT_EQ(cv(s, {{4}, {}}, 0.8, 2.0), once);
    EXPECT_EQ(cv(s, {}, 0.8, 2.0), 0.0);
}

TEST(vorn, cv_score_is_infinite_for_unscorable_pairs) {
    Rng rng(6);
    const Samples s = random_samples(rng, 8, 1);
    const std::vector<std::vector<std::int64_t>> folds{{0, 2, 4, 6}, {1, 3, 5, 7}};
    EXPECT_TRUE(std::isfinite(cv(s, folds, 0.5, 1.0)));
    for (double p : {nan_value, 1.5, -0.1}) EXPECT_EQ(cv(s, folds, p, 1.0), inf) << p;
    for (double gamma : {0.0, -1.0, nan_value}) EXPECT_EQ(cv(s, folds, 0.5, gamma), inf) << gamma;
    // Too few training samples left.
    EXPECT_EQ(cv(s, {{0, 1, 2, 3, 4, 5, 6, 7}}, 0.5, 1.0), inf);
    EXPECT_EQ(cv(s, {{0, 2}, {0, 1, 2, 3, 4, 5, 6}}, 0.5, 1.0), inf);
    // Unscorable pairs are refused before any fold is looked at.
    EXPECT_EQ(cv(s, {{-1}}, 0.5, 0.0), inf);
    EXPECT_EQ(cv(s, {}, nan_value, 1.0), inf);
    EXPECT_EQ(cv(s, {}, 0.5, 0.0), inf);
    EXPECT_EQ(cv(s, {}, 0.5, nan_value), 0.0);
    // The first failing fold ends the call; later folds are not touched.
    EXPECT_EQ(cv(s, {{0, 1, 2, 3, 4, 5, 6, 7}, {99}}, 0.5, 1.0), inf);
}

using vorn::test::expect_assertion;

TEST(vorn, cv_score_rejects_indices_outside_the_data) {
    Rng rng(8);
    const Samples s = random_samples(rng, 6, 1);
    expect_assertion([&] { cv(s, {{0, -1}}, 0.5, 1.0); }, "fold index out of range");
    expect_assertion([&] { cv(s, {{1}, {6}}, 0.5, 1.0); }, "fold index out of range");
    expect_assertion([&] { cv(s, {{std::numeric_limits<std::int64_t>::min()}}, 0.5, 1.0); },
                     "fold index out of range");
    const std::vector<double> short_delta(s.delta.begin(), s.delta.end() - 1);
    expect_assertion(
        [&] {
            vorn::cv_score(VectorView::of(s.x), MatrixView::row_major(s.y.data(), 5, 1),
                           VectorView::of(s.delta), {{0}}, Pruning::FPVI, Precondition::none,
                           0.5, 1.0);
        },
        "y has fewer rows than x");
    expect_assertion(
        [&] {
            vorn::cv_score(VectorView::of(s.x), s.y_view(), VectorView::of(short_delta), {{5}},
                           Pruning::FPVI, Precondition::none, 0.5, 1.0);
        },
        "delta has fewer entries than x");
}

TEST(vorn, cv_score_reads_only_the_first_n_rows_and_honours_strides) {
    Rng rng(9);
    const Samples s = random_samples(rng, 10, 2);
    const std::vector<std::vector<std::int64_t>> folds{{0, 5}, {1, 6, 9}, {2, 7}, {3, 4, 8}};
    const double plain = cv(s, folds, 0.8, 1.0, Pruning::PELT, Precondition::local);
    ASSERT_TRUE(std::isfinite(plain));
    ASSERT_GT(plain, 0.0);

    std::vector<double> longer_y = s.y, longer_delta = s.delta;
    longer_y.insert(longer_y.end(), 6, nan_value);
    longer_delta.insert(longer_delta.end(), 3, nan_value);
    EXPECT_EQ(vorn::cv_score(VectorView::of(s.x), MatrixView::row_major(longer_y.data(), 13, 2),
                             VectorView::of(longer_delta), folds, Pruning::PELT,
                             Precondition::local, 0.8, 1.0),
              plain);

    // x every other double, y column-major, delta every third double.
    const std::size_t n = s.size();
    std::vector<double> x2(2 * n, nan_value), ycm(2 * n), d3(3 * n, nan_value);
    for (std::size_t i = 0; i < n; ++i) {
        x2[2 * i] = s.x[i];
        d3[3 * i] = s.delta[i];
        ycm[i] = s.y[i * 2];
        ycm[n + i] = s.y[i * 2 + 1];
    }
    const VectorView xv{reinterpret_cast<const std::byte*>(x2.data()), n, 2 * sizeof(double)};
    const VectorView dv{reinterpret_cast<const std::byte*>(d3.data()), n, 3 * sizeof(double)};
    const MatrixView yv{reinterpret_cast<const std::byte*>(ycm.data()), n, 2, sizeof(double),
                        static_cast<std::ptrdiff_t>(n * sizeof(double))};
    EXPECT_EQ(vorn::cv_score(xv, yv, dv, folds, Pruning::PELT, Precondition::local, 0.8, 1.0),
              plain);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The package's lean fit and its held-out predictions.

namespace lean {

vorn::Checked<vorn::Curve> run_curve(const Samples& s, double p, double gamma, Pruning pruning,
                                     Precondition precondition) {
    return vorn::fit_curve(VectorView::of(s.x), s.y_view(), VectorView::of(s.delta), pruning,
                           precondition, p, gamma);
}

void expect_same_curve(const vorn::Curve& c, const FitResult& f) {
    EXPECT_EQ(c.form.breaks, f.joined.breaks);
    EXPECT_EQ(c.form.coefs, f.joined.coefs);
    EXPECT_EQ(c.form.dim, f.joined.dim);
    EXPECT_EQ(c.form.order, f.joined.order);
    EXPECT_EQ(c.jumps, f.discont);
    EXPECT_EQ(c.jump_indices, f.discont_idx);
    EXPECT_EQ(c.x, f.x);
    EXPECT_EQ(c.y, f.y);
    EXPECT_EQ(c.dim, f.dim);
    EXPECT_EQ(c.complexity_counter, f.complexity_counter);
}

struct LeanCase {
    double p, gamma;
    Pruning pruning;
    Precondition precondition;
};

class fit_curve_cases : public ::testing::TestWithParam<LeanCase> {};

// Sorted data take the lean preparation; unsorted ones, repeated sites and missing rows the
// general one: both must give the fit's curve bit for bit.
TEST_P(fit_curve_cases, is_the_fit_bit_for_bit) {
    const LeanCase& c = GetParam();
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        Rng rng(seed);
        Samples s = random_samples(rng, 20 + rng.below(60), 1 + rng.below(3));
        for (std::size_t i = s.size() / 2; i < s.size(); ++i) s.y[i * s.dim] += 6.0;
        if (seed % 3 == 1) std::swap(s.x[3], s.x[9]);
        if (seed % 3 == 2) s.x[5] = s.x[4];
        if (seed % 4 == 3) s.y[7 * s.dim] = nan_value;
        const auto curve = run_curve(s, c.p, c.gamma, c.pruning, c.precondition);
        const auto full = run_fit(s, c.p, c.gamma, c.pruning, c.precondition);
        ASSERT_TRUE(curve && full) << "seed " << seed;
        expect_same_curve(curve.value(), full.value());
    }
}

INSTANTIATE_TEST_SUITE_P(vorn, fit_curve_cases,
                         ::testing::Values(LeanCase{0.9, 2.0, Pruning::FPVI, Precondition::none},
                                           LeanCase{0.99, 1.0, Pruning::PELT, Precondition::local},
                                           LeanCase{0.5, 0.0, Pruning::PELT, Precondition::none},
                                           LeanCase{0.0, 3.0, Pruning::FPVI, Precondition::none},
                                           LeanCase{0.7, inf, Pruning::PELT, Precondition::none},
                                           LeanCase{1.0, 2.0, Pruning::FPVI, Precondition::none}));

TEST(vorn, fit_curve_with_dominance_finds_the_pelt_curve) {
    Rng rng(31);
    Samples s = random_samples(rng, 90, 2);
    for (std::size_t i = 30; i < 60; ++i) s.y[i * 2 + 1] -= 8.0;
    const auto dominance = run_curve(s, 0.95, 1.5, Pruning::DOMINANCE, Precondition::none);
    const auto pelt = run_fit(s, 0.95, 1.5, Pruning::PELT, Precondition::none);
    ASSERT_TRUE(dominance && pelt);
    EXPECT_EQ(dominance.value().jump_indices, pelt.value().discont_idx);
    EXPECT_EQ(dominance.value().form.coefs, pelt.value().joined.coefs);
}

vorn::Checked<vorn::Curve> centred_curve(const Samples& s, double p, double gamma,
                                         Pruning pruning) {
    return vorn::fit_curve(VectorView::of(s.x), s.y_view(), VectorView::of(s.delta), pruning,
                           Precondition::none, p, gamma, vorn::CancelHook(),
                           vorn::SearchValues::centred);
}

// Far from zero the energies' rounding (about a unit at 3e15) dwarfs gamma: searching the values
// as given, the dominance search once reported a jump of size zero in constant data that PELT
// did not. Centred, every search must find what it finds for the same data near zero.
TEST(vorn, centred_searches_agree_on_data_far_from_zero) {
    for (const double offset : {3.052428172967718e15, -7.25e12, 1e300}) {
        Samples constant;
        for (int i = 0; i < 14; ++i) {
            constant.x.push_back(i + 1);
            constant.y.push_back(offset);
            constant.delta.push_back(1.0);
        }
        for (Pruning pruning : {Pruning::DOMINANCE, Pruning::PELT, Pruning::FPVI}) {
            for (double p : {0.0, 0.5, 0.999}) {
                const auto got = centred_curve(constant, p, 0.5, pruning);
                ASSERT_TRUE(got);
                EXPECT_TRUE(got.value().jumps.empty()) << offset << " p " << p;
            }
        }
    }
    // A plateau of 40 with integer noise: the values and their midrange are exact at the offset
    // (its spacing of doubles is 0.5), so the centred values equal those of the data near zero.
    Rng rng(23);
    Samples near_zero;
    for (int i = 0; i < 60; ++i) {
        near_zero.x.push_back(i);
        near_zero.y.push_back((i >= 20 && i < 41 ? 40.0 : 0.0) + std::round(3.0 * rng.normal()));
        near_zero.delta.push_back(1.0);
    }
    const auto reference = centred_curve(near_zero, 0.9, 30.0, Pruning::PELT);
    ASSERT_TRUE(reference);
    ASSERT_EQ(reference.value().jump_indices, (std::vector<std::uint64_t>{19, 40}));
    Samples far = near_zero;
    for (double& v : far.y) v += 3.052428172967718e15;
    for (Pruning pruning : {Pruning::DOMINANCE, Pruning::PELT, Pruning::FPVI}) {
        const auto got = centred_curve(far, 0.9, 30.0, pruning);
        ASSERT_TRUE(got);
        EXPECT_EQ(got.value().jump_indices, reference.value().jump_indices);
        EXPECT_EQ(got.value().y, far.y);  // the search's values are its own copy
    }
}

TEST(vorn, fit_curve_reports_the_fit_errors) {
    Samples s;
    s.x = {0.0, 1.0};
    s.y = {1.0, nan_value};
    s.delta = {1.0, 1.0};
    const auto too_few = run_curve(s, 0.5, 1.0, Pruning::PELT, Precondition::none);
    ASSERT_FALSE(too_few);
    EXPECT_EQ(too_few.error().message(), "at least two finite data points are required, got 1");
    const auto bad_p = run_curve(s, -0.5, 1.0, Pruning::PELT, Precondition::none);
    ASSERT_FALSE(bad_p);
    EXPECT_EQ(bad_p.error().message(), "p must satisfy 0 <= p <= 1, got -0.5");
}

TEST(vorn, cv_predictions_rebuild_the_cv_score_bit_for_bit) {
    Rng rng(8);
    Samples s = random_samples(rng, 40, 2);
    for (std::size_t i = 20; i < 40; ++i) s.y[i * 2] += 7.0;
    const std::vector<std::vector<std::int64_t>> folds = {
        {0, 5, 10, 15, 19, 20, 25, 30, 35}, {1, 6, 11, 16, 21, 26, 31, 36, 6}, {}, {2, 39}};
    for (Pruning pruning : {Pruning::FPVI, Pruning::PELT}) {
        const auto got = vorn::cv_predictions(VectorView::of(s.x), s.y_view(),
                                              VectorView::of(s.delta), folds, pruning,
                                              Precondition::none, 0.9, 2.0);
        ASSERT_TRUE(got);
        const vorn::CvPredictions& cv_rows = got.value();
        double score = 0.0;
        std::size_t row = 0;
        for (const auto& fold : folds) {
            for (std::int64_t index : fold) {
                const auto k = static_cast<std::size_t>(index);
                for (std::size_t c = 0; c < 2; ++c) {
                    const double r = (cv_rows.predicted[row * 2 + c] - s.y[k * 2 + c]) / s.delta[k];
                    score = score + r * r;
                }
                ++row;
            }
        }
        EXPECT_EQ(score / 40.0, cv(s, folds, 0.9, 2.0, pruning));
        EXPECT_EQ(cv_rows.fold_ok, (std::vector<std::uint8_t>{1, 1, 1, 1}));
    }
}

TEST(vorn, cv_predictions_give_both_sides_of_a_jump_gap) {
    // Levels 0 and 10 on either side of x = 4.5; holding out x = 4 puts it in the gap
    // (3, 5) of its fold's jump at 4, served by the right segment, continued left by the left.
    Samples s;
    for (int i = 0; i < 10; ++i) {
        s.x.push_back(i);
        s.y.push_back(i < 5 ? 0.0 : 10.0);
        s.delta.push_back(1.0);
    }
    const auto got = vorn::cv_predictions(VectorView::of(s.x), s.y_view(),
                                          VectorView::of(s.delta), {{4}, {7}}, Pruning::PELT,
                                          Precondition::none, 0.5, 1.0);
    ASSERT_TRUE(got);
    const vorn::CvPredictions& r = got.value();
    EXPECT_EQ(r.in_gap, (std::vector<std::uint8_t>{1, 0}));
    EXPECT_NEAR(r.left[0], 0.0, 1e-9);
    EXPECT_NEAR(r.right[0], 10.0, 1e-9);
    EXPECT_EQ(r.predicted[0], r.right[0]);  // the jump sits at 4, the site belongs right
    EXPECT_EQ(r.left[1], r.predicted[1]);
    EXPECT_EQ(r.right[1], r.predicted[1]);
}

TEST(vorn, cv_predictions_mark_folds_that_cannot_be_fitted) {
    Rng rng(2);
    const Samples s = random_samples(rng, 5, 1);
    const auto got = vorn::cv_predictions(VectorView::of(s.x), s.y_view(),
                                          VectorView::of(s.delta), {{0, 1, 2, 3}, {4}},
                                          Pruning::PELT, Precondition::none, 0.5, 1.0);
    ASSERT_TRUE(got);
    EXPECT_EQ(got.value().fold_ok, (std::vector<std::uint8_t>{0, 1}));
    for (std::size_t row = 0; row < 4; ++row) EXPECT_TRUE(std::isnan(got.value().predicted[row]));
    EXPECT_FALSE(std::isnan(got.value().predicted[4]));
}

}  // namespace lean
