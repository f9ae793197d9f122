#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "csaps.hpp"
#include "failure.hpp"
#include "support.hpp"

namespace {

using vorn::MatrixView;
using vorn::PpForm;
using vorn::VectorView;
// The dense references need more precision than the banded solver they check: the smoothing
// system is ill-conditioned for tiny p, so they work in quadruple precision where it exists.
#if defined(__SIZEOF_FLOAT128__)
using Real = __float128;
#else
using Real = long double;
#endif
using Dense = std::vector<std::vector<Real>>;

Real abs_real(Real v) { return v < 0 ? -v : v; }
double to_double(Real v) { return static_cast<double>(v); }

struct Samples {
    std::vector<double> x;
    std::vector<double> y;  // n rows by d columns, row-major
    std::vector<double> w;
    std::size_t d = 1;
    std::size_t n() const { return x.size(); }
};

PpForm fit(const Samples& s, double p) {
    return vorn::csaps(VectorView::of(s.x), MatrixView::row_major(s.y.data(), s.n(), s.d),
                       VectorView::of(s.w), p);
}

// Jittered, unevenly weighted samples of a smooth curve plus noise, one offset per column.
Samples random_samples(std::size_t n, std::size_t d, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> jitter(-0.35, 0.35);
    std::uniform_real_distribution<double> weight(0.2, 5.0);
    std::normal_distribution<double> noise(0.0, 0.3);
    Samples s;
    s.d = d;
    for (std::size_t i = 0; i < n; ++i) {
        s.x.push_back(2.0 + 0.25 * (static_cast<double>(i) + jitter(gen)));
        s.w.push_back(weight(gen));
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            const double c = static_cast<double>(j);
            s.y.push_back(std::sin((1.0 + c) * s.x[i]) + 0.5 * c + noise(gen));
        }
    }
    return s;
}

const double* coef_row(const PpForm& pp, std::size_t piece, std::size_t col) {
    return pp.coefs.data() + (piece * pp.dim + col) * 4;
}

// Value, first, second and third derivative of one piece at local offset t.
struct Jet {
    double v, d1, d2, d3;
};
Jet jet(const double* c, double t) {
    return {((c[0] * t + c[1]) * t + c[2]) * t + c[3], (3.0 * c[0] * t + 2.0 * c[1]) * t + c[2],
            6.0 * c[0] * t + 2.0 * c[1], 6.0 * c[0]};
}

// Jet at site i from the piece to its left (i >= 1) or to its right (i <= n - 2).
Jet jet_from_left(const PpForm& pp, std::size_t i, std::size_t col) {
    return jet(coef_row(pp, i - 1, col), pp.breaks[i] - pp.breaks[i - 1]);
}
Jet jet_from_right(const PpForm& pp, std::size_t i, std::size_t col) {
    return jet(coef_row(pp, i, col), 0.0);
}

// Fitted value at every site: the constant term of the right-hand piece, the last site from
// the last piece.
double value_at_site(const PpForm& pp, std::size_t i, std::size_t col) {
    return i + 1 < pp.breaks.size() ? jet_from_right(pp, i, col).v : jet_from_left(pp, i, col).v;
}
double curvature_at_site(const PpForm& pp, std::size_t i, std::size_t col) {
    return i + 1 < pp.breaks.size() ? jet_from_right(pp, i, col).d2
                                    : jet_from_left(pp, i, col).d2;
}

// Solves a * X = b (b: rows by k) by Gaussian elimination with partial pivoting.
void solve_dense(Dense a, Dense& b) {
    const std::size_t n = a.size();
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t piv = c;
        for (std::size_t r = c + 1; r < n; ++r) {
            if (abs_real(a[r][c]) > abs_real(a[piv][c])) piv = r;
        }
        std::swap(a[c], a[piv]);
        std::swap(b[c], b[piv]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const Real factor = a[r][c] / a[c][c];
            if (factor == 0) continue;
            for (std::size_t k = c; k < n; ++k) a[r][k] -= factor * a[c][k];
            for (std::size_t k = 0; k < b[r].size(); ++k) b[r][k] -= factor * b[c][k];
        }
    }
    for (std::size_t c = n; c-- > 0;) {
        for (std::size_t k = 0; k < b[c].size(); ++k) {
            Real v = b[c][k];
            for (std::size_t r = c + 1; r < n; ++r) v -= a[c][r] * b[r][k];
            b[c][k] = v / a[c][c];
        }
    }
}

// The natural cubic spline parameterised by its values f at the sites has roughness
// f^T K f with K = Q R^-1 Q^T, so the smoothing spline solves (p W + (1 - p) K) f = p W y and
// its second derivatives are g = (0, R^-1 Q^T f, 0). Both are n rows by d columns.
struct Reference {
    Dense f, g;
};
Reference dense_reference(const Samples& s, double p) {
    const std::size_t n = s.n(), m = n - 2, d = s.d;
    std::vector<Real> h(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) h[i] = Real(s.x[i + 1]) - Real(s.x[i]);
    Dense q(n, std::vector<Real>(m, 0));
    Dense r(m, std::vector<Real>(m, 0));
    for (std::size_t k = 0; k < m; ++k) {
        q[k][k] = 1 / h[k];
        q[k + 1][k] = -(1 / h[k] + 1 / h[k + 1]);
        q[k + 2][k] = 1 / h[k + 1];
        r[k][k] = (h[k] + h[k + 1]) / 3;
        if (k + 1 < m) r[k][k + 1] = r[k + 1][k] = h[k + 1] / 6;
    }
    Dense rinv_qt(m, std::vector<Real>(n));
    for (std::size_t k = 0; k < m; ++k) {
        for (std::size_t i = 0; i < n; ++i) rinv_qt[k][i] = q[i][k];
    }
    solve_dense(r, rinv_qt);
    const Real lp = p;
    Dense system(n, std::vector<Real>(n, 0));
    Dense f(n, std::vector<Real>(d));
    for (std::size_t i = 0; i < n; ++i) {
        // Row i of Q has its non-zeros in columns i - 2 .. i.
        const std::size_t k_first = i >= 2 ? i - 2 : 0, k_last = std::min(i, m - 1);
        for (std::size_t l = 0; l < n; ++l) {
            Real kil = 0;
            for (std::size_t k = k_first; k <= k_last; ++k) kil += q[i][k] * rinv_qt[k][l];
            system[i][l] = (1 - lp) * kil;
        }
        system[i][i] += lp * Real(s.w[i]);
        for (std::size_t j = 0; j < d; ++j) f[i][j] = lp * Real(s.w[i]) * Real(s.y[i * d + j]);
    }
    solve_dense(system, f);
    Reference out{f, Dense(n, std::vector<Real>(d, 0))};
    for (std::size_t k = 0; k < m; ++k) {
        for (std::size_t j = 0; j < d; ++j) {
            Real v = 0;
            for (std::size_t i = 0; i < n; ++i) v += rinv_qt[k][i] * f[i][j];
            out.g[k + 1][j] = v;
        }
    }
    return out;
}

// Weighted least-squares line per column, in centred form: returns slope and intercept.
std::vector<std::pair<long double, long double>> reference_line(const Samples& s) {
    const std::size_t n = s.n();
    long double sw = 0.0L, swx = 0.0L;
    for (std::size_t i = 0; i < n; ++i) {
        sw += s.w[i];
        swx += static_cast<long double>(s.w[i]) * s.x[i];
    }
    const long double xbar = swx / sw;
    std::vector<std::pair<long double, long double>> out;
    for (std::size_t j = 0; j < s.d; ++j) {
        long double swy = 0.0L;
        for (std::size_t i = 0; i < n; ++i) {
            swy += static_cast<long double>(s.w[i]) * s.y[i * s.d + j];
        }
        const long double ybar = swy / sw;
        long double sxy = 0.0L, sxx = 0.0L;
        for (std::size_t i = 0; i < n; ++i) {
            const long double dx = s.x[i] - xbar;
            sxy += s.w[i] * dx * (s.y[i * s.d + j] - ybar);
            sxx += s.w[i] * dx * dx;
        }
        const long double slope = sxy / sxx;
        out.emplace_back(slope, ybar - slope * xbar);
    }
    return out;
}

double max_abs(const Dense& a) {
    Real v = 0;
    for (const auto& row : a) {
        for (Real e : row) v = std::max(v, abs_real(e));
    }
    return to_double(v);
}

void expect_shape(const PpForm& pp, const Samples& s) {
    ASSERT_EQ(pp.breaks.size(), s.n());
    ASSERT_EQ(pp.coefs.size(), (s.n() - 1) * s.d * 4);
    EXPECT_EQ(pp.dim, s.d);
    EXPECT_EQ(pp.order, 4u);
}

using vorn::test::assertion_message;

class DenseAgreement
    : public ::testing::TestWithParam<std::tuple<double, std::size_t, std::size_t>> {};

TEST_P(DenseAgreement, values_and_curvatures_match_dense_solution) {
    const auto [p, d, n] = GetParam();
    const Samples s = random_samples(n, d, static_cast<unsigned>(1000 * n + 10 * d) + 7u);
    const PpForm pp = fit(s, p);
    expect_shape(pp, s);
    if (p == 0.0) {
        const auto lines = reference_line(s);
        for (std::size_t j = 0; j < d; ++j) {
            const auto [slope, intercept] = lines[j];
            long double scale = 0.0L;
            for (std::size_t i = 0; i < n; ++i) {
                scale = std::max(scale, std::fabs(intercept + slope * s.x[i]));
            }
            for (std::size_t i = 0; i + 1 < n; ++i) {
                const double* c = coef_row(pp, i, j);
                EXPECT_EQ(c[0], 0.0);
                EXPECT_EQ(c[1], 0.0);
                EXPECT_NEAR(c[2], static_cast<double>(slope), 1e-9 * static_cast<double>(scale));
                EXPECT_NEAR(c[3], static_cast<double>(intercept + slope * s.x[i]),
                            1e-9 * static_cast<double>(scale));
            }
        }
        return;
    }
    const Reference ref = dense_reference(s, p);
    const double fscale = max_abs(ref.f);
    const double gscale = max_abs(ref.g);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            EXPECT_NEAR(value_at_site(pp, i, j), to_double(ref.f[i][j]), 1e-9 * fscale)
                << "site " << i << " column " << j;
            EXPECT_NEAR(curvature_at_site(pp, i, j), to_double(ref.g[i][j]),
                        1e-9 * gscale)
                << "site " << i << " column " << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(csaps, DenseAgreement,
                         ::testing::Combine(::testing::Values(0.0, 1e-9, 0.5, 1.0),
                                            ::testing::Values(std::size_t{1}, std::size_t{3}),
                                            ::testing::Values(std::size_t{3}, std::size_t{4},
                                                              std::size_t{5}, std::size_t{17},
                                                              std::size_t{200})));

// The smoothing spline's first-order condition: at every site the jump of the third
// derivative balances the weighted residual, (1 - p) * jump = p * w_i * (y_i - f(x_i)).
TEST(csaps, third_derivative_jumps_balance_residuals) {
    for (double p : {1e-6, 0.3, 0.9, 1.0}) {
        const Samples s = random_samples(20000, 2, 99);
        const PpForm pp = fit(s, p);
        for (std::size_t j = 0; j < s.d; ++j) {
            double worst = 0.0, scale = 0.0;
            for (std::size_t i = 0; i < s.n(); ++i) {
                const double right = i + 1 < s.n() ? jet_from_right(pp, i, j).d3 : 0.0;
                const double left = i > 0 ? jet_from_left(pp, i, j).d3 : 0.0;
                const double lhs = (1.0 - p) * (right - left);
                const double rhs = p * s.w[i] * (s.y[i * s.d + j] - value_at_site(pp, i, j));
                worst = std::max(worst, std::fabs(lhs - rhs));
                scale = std::max({scale, std::fabs(lhs), std::fabs(rhs),
                                  p * s.w[i] * std::fabs(s.y[i * s.d + j])});
            }
            EXPECT_LE(worst, 1e-8 * scale) << "p " << p << " column " << j;
            EXPECT_GT(scale, 0.0);
        }
    }
}

TEST(csaps, value_slope_and_curvature_are_continuous_at_inner_breaks) {
    for (double p : {1e-9, 0.5, 1.0}) {
        const Samples s = random_samples(60, 2, 5);
        const PpForm pp = fit(s, p);
        for (std::size_t j = 0; j < s.d; ++j) {
            for (std::size_t i = 1; i + 1 < s.n(); ++i) {
                const Jet a = jet_from_left(pp, i, j), b = jet_from_right(pp, i, j);
                EXPECT_NEAR(a.v, b.v, 1e-12 * (1.0 + std::fabs(b.v))) << "p " << p << " i " << i;
                EXPECT_NEAR(a.d1, b.d1, 1e-10 * (1.0 + std::fabs(b.d1))) << "p " << p << " i " << i;
                EXPECT_NEAR(a.d2, b.d2, 1e-10 * (1.0 + std::fabs(b.d2))) << "p " << p << " i " << i;
            }
        }
    }
}

TEST(csaps, curvature_vanishes_at_both_ends) {
    for (double p : {1e-9, 0.5, 1.0}) {
        const Samples s = random_samples(30, 3, 11);
        const PpForm pp = fit(s, p);
        for (std::size_t j = 0; j < s.d; ++j) {
            EXPECT_EQ(coef_row(pp, 0, j)[1], 0.0);
            double scale = 0.0;
            for (std::size_t i = 0; i < s.n(); ++i) {
                scale = std::max(scale, std::fabs(curvature_at_site(pp, i, j)));
            }
            EXPECT_GT(scale, 0.0);
            EXPECT_NEAR(jet_from_left(pp, s.n() - 1, j).d2, 0.0, 1e-12 * scale);
        }
    }
}

TEST(csaps, interpolates_exactly_when_p_is_one) {
    const Samples s = random_samples(50, 2, 3);
    const PpForm pp = fit(s, 1.0);
    for (std::size_t i = 0; i + 1 < s.n(); ++i) {
        for (std::size_t j = 0; j < s.d; ++j) {
            const double c0 = coef_row(pp, i, j)[3];
            const double yij = s.y[i * s.d + j];
            EXPECT_EQ(std::memcmp(&c0, &yij, sizeof c0), 0) << "site " << i << " column " << j;
        }
    }
    for (std::size_t j = 0; j < s.d; ++j) {
        const double last = s.y[(s.n() - 1) * s.d + j];
        EXPECT_NEAR(jet_from_left(pp, s.n() - 1, j).v, last, 1e-12 * (1.0 + std::fabs(last)));
    }
}

TEST(csaps, reproduces_constant_and_straight_line_for_every_p) {
    Samples s = random_samples(40, 2, 17);
    for (std::size_t i = 0; i < s.n(); ++i) {
        s.y[i * 2] = -3.5;                     // constant column
        s.y[i * 2 + 1] = 1.5 - 0.75 * s.x[i];  // straight-line column
    }
    const double slopes[2] = {0.0, -0.75};
    for (double p : {0.0, 1e-9, 1e-3, 0.5, 1.0}) {
        const PpForm pp = fit(s, p);
        for (std::size_t i = 0; i < s.n(); ++i) {
            for (std::size_t j = 0; j < 2; ++j) {
                const double yij = s.y[i * 2 + j];
                EXPECT_NEAR(value_at_site(pp, i, j), yij, 1e-11) << "p " << p << " i " << i;
                if (i + 1 == s.n()) continue;
                const double* c = coef_row(pp, i, j);
                EXPECT_NEAR(c[2], slopes[j], 1e-10) << "p " << p << " i " << i;
                EXPECT_NEAR(c[1], 0.0, 1e-9) << "p " << p << " i " << i;
                EXPECT_NEAR(c[0], 0.0, 1e-8) << "p " << p << " i " << i;
            }
        }
    }
}

TEST(csaps, two_points_give_the_line_through_them_whatever_p_and_w) {
    const std::vector<double> x{-1.0, 3.0};
    const std::vector<double> y{1.0, 10.0, 3.0, -2.0};  // d = 2
    const std::vector<double> expected{0.0, 0.0, 0.5, 1.0, 0.0, 0.0, -3.0, 10.0};
    for (double p : {0.0, 0.25, 1.0}) {
        for (const std::vector<double>& w :
             {std::vector<double>{1.0, 1.0}, std::vector<double>{1e-3, 7.0},
              std::vector<double>{0.0, 0.0}}) {
            const PpForm pp = vorn::csaps(VectorView::of(x), MatrixView::row_major(y.data(), 2, 2),
                                          VectorView::of(w), p);
            EXPECT_EQ(pp.breaks, x);
            EXPECT_EQ(pp.coefs, expected) << "p " << p << " w0 " << w[0];
            EXPECT_EQ(pp.dim, 2u);
            EXPECT_EQ(pp.order, 4u);
        }
    }
}

// Hand-worked three-site cases: A is 1 by 1, only the middle second derivative is free.
TEST(csaps, three_sites_by_hand) {
    const Samples s{{0.0, 1.0, 2.0}, {0.0, 1.0, 0.0}, {1.0, 1.0, 1.0}, 1};
    // Natural interpolant: g1 = (y0 - 2 y1 + y2) / (2/3) = -3.
    const PpForm interp = fit(s, 1.0);
    const std::vector<double> expected_interp{-0.5, 0.0, 1.5, 0.0, 0.5, -1.5, 0.0, 1.0};
    ASSERT_EQ(interp.coefs.size(), expected_interp.size());
    for (std::size_t k = 0; k < expected_interp.size(); ++k) {
        EXPECT_NEAR(interp.coefs[k], expected_interp[k], 1e-15) << k;
    }
    // p = 1/2: A = 1/3 + 3 and B = -1, so g1 = -0.3 and the fitted values are 0.3, 0.4, 0.3.
    const PpForm smooth = fit(s, 0.5);
    const double f[3] = {0.3, 0.4, 0.3};
    const double g1 = -0.3;
    EXPECT_EQ(smooth.coefs[1], 0.0);
    EXPECT_NEAR(smooth.coefs[0], g1 / 6.0, 1e-15);
    EXPECT_NEAR(smooth.coefs[5], g1 / 2.0, 1e-15);
    EXPECT_NEAR(smooth.coefs[4], -g1 / 6.0, 1e-15);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(value_at_site(smooth, i, 0), f[i], 1e-15);
}

// Four sites: A is 2 by 2; y = 0, 1, 0, 1 at unit spacing gives g = 0, -4, 4, 0.
TEST(csaps, four_sites_by_hand) {
    const Samples s{{0.0, 1.0, 2.0, 3.0}, {0.0, 1.0, 0.0, 1.0}, {2.0, 0.5, 1.0, 3.0}, 1};
    const PpForm pp = fit(s, 1.0);
    const double third = 1.0 / 3.0;
    const std::vector<double> expected{-2 * third, 0.0, 5 * third, 0.0, 4 * third, -2.0,
                                       -third,     1.0, -2 * third, 2.0, -third,   0.0};
    ASSERT_EQ(pp.coefs.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_NEAR(pp.coefs[k], expected[k], 1e-14) << k;
    }
}

TEST(csaps, columns_are_interleaved_per_piece_and_solved_independently) {
    const Samples both = random_samples(25, 2, 23);
    for (double p : {0.0, 0.4, 1.0}) {
        const PpForm pp = fit(both, p);
        for (std::size_t j = 0; j < 2; ++j) {
            Samples one{both.x, {}, both.w, 1};
            for (std::size_t i = 0; i < both.n(); ++i) one.y.push_back(both.y[i * 2 + j]);
            const PpForm single = fit(one, p);
            for (std::size_t i = 0; i + 1 < both.n(); ++i) {
                for (std::size_t k = 0; k < 4; ++k) {
                    EXPECT_EQ(pp.coefs[(i * 2 + j) * 4 + k], single.coefs[i * 4 + k])
                        << "p " << p << " piece " << i << " column " << j << " coef " << k;
                }
            }
        }
    }
}

TEST(csaps, breaks_are_an_exact_copy_of_the_sites) {
    Samples s = random_samples(12, 1, 31);
    for (double& xi : s.x) xi = 1e6 + xi * 1e-3;  // spacing far below the offset: no rescaling
    for (double p : {0.0, 0.5, 1.0}) {
        const PpForm pp = fit(s, p);
        ASSERT_EQ(pp.breaks.size(), s.x.size());
        EXPECT_EQ(std::memcmp(pp.breaks.data(), s.x.data(), s.x.size() * sizeof(double)), 0);
    }
}

TEST(csaps, strided_reversed_and_misaligned_views_give_identical_coefs) {
    const Samples s = random_samples(15, 3, 41);
    const std::size_t n = s.n(), d = s.d;
    // x stored backwards and read through a negative stride; w every other double; y column-major
    // with padding, placed one byte off alignment.
    std::vector<double> xrev(s.x.rbegin(), s.x.rend());
    std::vector<double> wgap(2 * n, -1.0);
    for (std::size_t i = 0; i < n; ++i) wgap[2 * i] = s.w[i];
    const std::size_t ld = n + 2;
    std::vector<double> ycol(ld * d, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) ycol[j * ld + i] = s.y[i * d + j];
    }
    std::vector<std::byte> raw(ycol.size() * sizeof(double) + 1);
    std::memcpy(raw.data() + 1, ycol.data(), ycol.size() * sizeof(double));

    const VectorView xv{reinterpret_cast<const std::byte*>(xrev.data() + (n - 1)), n,
                        -static_cast<std::ptrdiff_t>(sizeof(double))};
    const VectorView wv{reinterpret_cast<const std::byte*>(wgap.data()), n,
                        2 * static_cast<std::ptrdiff_t>(sizeof(double))};
    const MatrixView yv{raw.data() + 1, n, d, static_cast<std::ptrdiff_t>(sizeof(double)),
                        static_cast<std::ptrdiff_t>(ld * sizeof(double))};
    for (double p : {0.0, 0.5, 1.0}) {
        const PpForm expected = fit(s, p);
        const PpForm got = vorn::csaps(xv, yv, wv, p);
        EXPECT_EQ(got.breaks, expected.breaks);
        EXPECT_EQ(got.coefs, expected.coefs) << "p " << p;
        EXPECT_EQ(got.dim, d);
    }
}

TEST(csaps, straight_line_limit_falls_back_to_weighted_mean_when_determinant_is_zero) {
    // All weight on the middle site: Swxx * Sw == Swx * Swx exactly.
    const Samples s{{0.0, 1.0, 2.0}, {4.0, 1.25, -8.0, 7.0, 0.5, 9.0}, {0.0, 3.0, 0.0}, 2};
    const PpForm pp = fit(s, 0.0);
    const std::vector<double> expected{0.0, 0.0, 0.0, -8.0, 0.0, 0.0, 0.0, 7.0,
                                       0.0, 0.0, 0.0, -8.0, 0.0, 0.0, 0.0, 7.0};
    EXPECT_EQ(pp.coefs, expected);
}

TEST(csaps, straight_line_limit_on_exact_data) {
    // Equal weights on y = 2x - 1 at 0..3 with one column perturbed symmetrically: the
    // perturbation +1, -1, -1, +1 is orthogonal to both 1 and x, so the line is unchanged.
    const Samples s{{0.0, 1.0, 2.0, 3.0}, {-1.0, 0.0, 1.0, 0.0, 3.0, 2.0, 5.0, 6.0},
                    {1.0, 1.0, 1.0, 1.0}, 2};
    const PpForm pp = fit(s, 0.0);
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 2; ++j) {
            const double* c = coef_row(pp, i, j);
            EXPECT_EQ(c[0], 0.0);
            EXPECT_EQ(c[1], 0.0);
            EXPECT_DOUBLE_EQ(c[2], 2.0);
            EXPECT_DOUBLE_EQ(c[3], 2.0 * static_cast<double>(i) - 1.0);
        }
    }
}

TEST(csaps, preconditions_fail_with_their_messages_in_order) {
    const std::vector<double> three{0.0, 1.0, 2.0}, two{0.0, 1.0}, one{0.5};
    const std::vector<double> y3{1.0, 2.0, 3.0};
    const auto call = [](const std::vector<double>& x, const std::vector<double>& y,
                         const std::vector<double>& w) {
        return [&x, &y, &w] {
            vorn::csaps(VectorView::of(x), MatrixView::row_major(y.data(), y.size(), 1),
                        VectorView::of(w), 0.5);
        };
    };
    EXPECT_THROW(call(three, two, two)(), vorn::AssertionFailure);
    EXPECT_EQ(assertion_message(call(three, two, two)), "y rows must equal x length");
    EXPECT_EQ(assertion_message(call(one, two, two)), "y rows must equal x length");
    EXPECT_THROW(call(three, y3, two)(), vorn::AssertionFailure);
    EXPECT_EQ(assertion_message(call(three, y3, two)), "w length must equal x length");
    EXPECT_THROW(call(one, one, one)(), vorn::AssertionFailure);
    EXPECT_EQ(assertion_message(call(one, one, one)), "csaps requires N >= 2");
    const std::vector<double> none;
    EXPECT_EQ(assertion_message(call(none, none, none)), "csaps requires N >= 2");
    EXPECT_EQ(assertion_message(call(three, y3, three)), vorn::test::no_assertion);
}

}  // namespace
