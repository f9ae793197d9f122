#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "csaps.hpp"
#include "dp.hpp"
#include "dp_problem.hpp"
#include "failure.hpp"
#include "support.hpp"

namespace {

using vorn::EnergyInputs;
using vorn::MatrixView;
using vorn::PartitionResult;

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_value = std::numeric_limits<double>::infinity();

// ---- Step-by-step reference: full matrices, the plain rotation sweep, fresh storage per step --

namespace ref {

constexpr double s3 = 1.7320508075688772;

void givens_qr(std::vector<double>& M, std::size_t m, std::size_t q, std::vector<double>& B,
               std::size_t d) {
    for (std::size_t o = 0; o < std::min(m, q); ++o) {
        for (std::size_t t = m - 1; t >= o + 1; --t) {
            if (M[t * q + o] == 0.0) continue;
            const double rho = std::hypot(M[o * q + o], M[t * q + o]);
            const double cs = M[o * q + o] / rho;
            const double sn = M[t * q + o] / rho;
            for (std::size_t j = o; j < q; ++j) {
                const double mo = M[o * q + j];
                const double mt = M[t * q + j];
                M[o * q + j] = sn * mt + cs * mo;
                M[t * q + j] = cs * mt - sn * mo;
            }
            for (std::size_t j = 0; j < d; ++j) {
                const double bo = B[o * d + j];
                const double bt = B[t * d + j];
                B[o * d + j] = sn * bt + cs * bo;
                B[t * d + j] = cs * bt - sn * bo;
            }
            M[t * q + o] = 0.0;
        }
    }
}

struct State {
    std::vector<double> factor;  // 5 x 4
    std::vector<double> rhs;     // 5 x d
    double energy = 0.0;
};

State init(double h, double wo, double wk, double a, double to, double tk,
           const std::vector<double>& yo, const std::vector<double>& yk) {
    const std::size_t d = yo.size();
    const double q1 = std::pow(h, -0.5);
    const double q3 = std::pow(h, -1.5);
    std::vector<double> M = {wo,  0.0, 0.0, 0.0,
                             2.0 * s3 * a * q3, s3 * a * to * q1, -2.0 * s3 * a * q3,
                             s3 * a * tk * q1,
                             0.0, a * to * q1, 0.0, -a * tk * q1,
                             0.0, 0.0, wk, 0.0};
    std::vector<double> B(4 * d, 0.0);
    for (std::size_t j = 0; j < d; ++j) {
        B[j] = wo * yo[j];
        B[3 * d + j] = wk * yk[j];
    }
    givens_qr(M, 4, 4, B, d);
    State s;
    s.factor.assign(20, 0.0);
    std::copy(M.begin(), M.end(), s.factor.begin());
    s.rhs.assign(5 * d, 0.0);
    std::copy(B.begin(), B.end(), s.rhs.begin());
    s.energy = 0.0;
    return s;
}

State extend(const State& old, double h, double wk, double a, double to, double tk,
             const std::vector<double>& yk) {
    const std::size_t d = yk.size();
    const double q1 = std::pow(h, -0.5);
    const double q3 = std::pow(h, -1.5);
    const auto& R = old.factor;
    std::vector<double> M = {R[2 * 4 + 2], R[2 * 4 + 3], 0.0, 0.0,
                             0.0, R[3 * 4 + 3], 0.0, 0.0,
                             2.0 * s3 * a * q3, s3 * a * to * q1, -2.0 * s3 * a * q3,
                             s3 * a * tk * q1,
                             0.0, a * to * q1, 0.0, -a * tk * q1,
                             0.0, 0.0, wk, 0.0};
    std::vector<double> B(5 * d, 0.0);
    for (std::size_t j = 0; j < d; ++j) {
        B[j] = old.rhs[2 * d + j];
        B[d + j] = old.rhs[3 * d + j];
        B[4 * d + j] = wk * yk[j];
    }
    givens_qr(M, 5, 4, B, d);
    double s = 0.0;
    for (std::size_t j = 0; j < d; ++j) s = s + B[4 * d + j] * B[4 * d + j];
    return {M, B, s + old.energy};
}

// Plain-vector copy of everything the energies read.
struct Data {
    std::vector<std::vector<double>> y;
    std::vector<double> h, omega, tau;
    double a = 0.0;
    std::size_t n() const { return y.size(); }
};

State start_right(const Data& D, std::size_t l) {
    return init(D.h[l], D.omega[l], D.omega[l + 1], D.a, D.tau[l], D.tau[l + 1], D.y[l],
                D.y[l + 1]);
}
State grow_right(const State& s, const Data& D, std::size_t r) {
    return extend(s, D.h[r - 1], D.omega[r], D.a, D.tau[r - 1], D.tau[r], D.y[r]);
}
State start_left(const Data& D, std::size_t r) {
    return init(D.h[r - 1], D.omega[r], D.omega[r - 1], D.a, D.tau[r], D.tau[r - 1], D.y[r],
                D.y[r - 1]);
}
State grow_left(const State& s, const Data& D, std::size_t J) {
    return extend(s, D.h[J], D.omega[J], D.a, D.tau[J + 1], D.tau[J], D.y[J]);
}

std::vector<double> prefix(const Data& D) {
    std::vector<double> E(D.n(), 0.0);
    State s = start_right(D, 0);
    for (std::size_t r = 2; r < D.n(); ++r) {
        s = grow_right(s, D, r);
        E[r] = s.energy;
    }
    return E;
}

PartitionResult fpvi(const Data& D, double gamma) {
    const std::size_t n = D.n();
    PartitionResult res{prefix(D), std::vector<std::uint64_t>(n, 0), n, {}};
    auto& F = res.F;
    if (gamma >= F[n - 1] || n <= 2) return res;
    for (std::size_t r = 2; r < n; ++r) {
        std::size_t best = 0;
        std::size_t J = r - 1;
        State s = start_left(D, r);
        res.complexity_counter += 2;
        for (;;) {
            if (gamma + s.energy >= F[r]) break;
            const double cand = (F[J - 1] + gamma) + s.energy;
            if (F[r] > cand) {
                F[r] = cand;
                best = J;
            }
            if (J == 1) break;
            J = J - 1;
            s = grow_left(s, D, J);
            res.complexity_counter += 1;
        }
        res.partition[r] = best;
    }
    return res;
}

PartitionResult pelt(const Data& D, double gamma) {
    const std::size_t n = D.n();
    PartitionResult res{prefix(D), std::vector<std::uint64_t>(n, 0), n, {}};
    auto& F = res.F;
    if (gamma >= F[n - 1]) return res;
    std::vector<State> state(n);
    for (std::size_t l = 1; l + 2 <= n; ++l) state[l] = start_right(D, l);
    std::vector<std::size_t> list;
    if (n >= 3) list.push_back(1);
    for (std::size_t r = 2; r < n; ++r) {
        std::size_t best = 0;
        for (std::size_t i = list.size(); i-- > 0;) {
            const std::size_t l = list[i];
            if (r - l > 1) {
                state[l] = grow_right(state[l], D, r);
                res.complexity_counter += 1;
            }
            const double cand = (F[l - 1] + gamma) + state[l].energy;
            if (F[r] > cand) {
                F[r] = cand;
                best = l;
            }
        }
        res.partition[r] = best;
        if (r < n - 1) list.push_back(r);
        std::vector<std::size_t> kept;
        for (const std::size_t l : list) {
            if (F[r] >= F[l - 1] + state[l].energy) kept.push_back(l);
        }
        list = kept;
    }
    return res;
}

// Straight-line energies: the two factor rows and the running energy.
struct Line {
    std::vector<double> P, Q;
    double energy = 0.0;
};

void rotate(std::vector<double>& pivot, std::vector<double>& row, std::size_t c) {
    if (row[c] == 0.0) return;
    const double rho = std::hypot(pivot[c], row[c]);
    if (rho == 0.0) return;
    const double cs = pivot[c] / rho;
    const double sn = row[c] / rho;
    for (std::size_t j = c; j < row.size(); ++j) {
        const double pj = pivot[j];
        const double rj = row[j];
        pivot[j] = sn * rj + cs * pj;
        row[j] = cs * rj - sn * pj;
    }
}

Line line_start(std::vector<double> pivot, std::vector<double> other) {
    rotate(pivot, other, 0);
    return {pivot, other, 0.0};
}

void line_add(Line& L, std::vector<double> row) {
    rotate(L.P, row, 0);
    rotate(L.Q, row, 1);
    double s = 0.0;
    for (std::size_t j = 2; j < row.size(); ++j) s = s + row[j] * row[j];
    L.energy = L.energy + s;
}

std::vector<std::vector<double>> line_rows(const std::vector<double>& x,
                                           const std::vector<std::vector<double>>& y,
                                           const std::vector<double>& delta) {
    std::vector<std::vector<double>> rows;
    for (std::size_t i = 0; i < x.size(); ++i) {
        std::vector<double> row = {1.0 / delta[i], x[i] / delta[i]};
        for (const double v : y[i]) row.push_back(v / delta[i]);
        rows.push_back(row);
    }
    return rows;
}

PartitionResult line(const std::vector<double>& x, const std::vector<std::vector<double>>& y,
                     const std::vector<double>& delta, double gamma) {
    const std::size_t n = x.size();
    const auto rows = line_rows(x, y, delta);
    PartitionResult res{std::vector<double>(n, 0.0), std::vector<std::uint64_t>(n, 0), n, {}};
    auto& F = res.F;
    Line first = line_start(rows[0], rows[1]);
    for (std::size_t r = 2; r < n; ++r) {
        line_add(first, rows[r]);
        F[r] = first.energy;
    }
    if (gamma >= F[n - 1]) return res;
    for (std::size_t r = 2; r < n; ++r) {
        const std::vector<std::vector<double>> copy(rows.begin(), rows.begin() + long(r) + 1);
        std::size_t best = 0;
        Line L = line_start(copy[r], copy[r - 1]);
        double cand = (F[r - 2] + gamma) + 0.0;
        if (F[r] > cand) {
            F[r] = cand;
            best = r - 1;
        }
        for (std::size_t J = r - 2; J >= 1; --J) {
            line_add(L, copy[J]);
            res.complexity_counter += 1;
            cand = (F[J - 1] + gamma) + L.energy;
            if (F[r] > cand) {
                F[r] = cand;
                best = J;
            }
        }
        res.partition[r] = best;
    }
    return res;
}

}  // namespace ref

// ---- Problems -------------------------------------------------------------------------------

struct Problem : vorn::test::DpProblem {
    double value(std::size_t i, std::size_t j) const { return y[i * dim + j]; }

    ref::Data data() const {
        ref::Data D;
        for (std::size_t i = 0; i < n(); ++i)
            D.y.emplace_back(y.begin() + long(i * dim), y.begin() + long((i + 1) * dim));
        D.h = h;
        D.omega = omega;
        D.tau = tau;
        D.a = a;
        return D;
    }
    std::vector<std::vector<double>> rows() const { return data().y; }
};

Problem make_problem(std::mt19937_64& rng, std::size_t n, std::size_t dim, double p,
                     bool local = false) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    Problem P;
    P.dim = dim;
    P.p = p;
    double site = normal(rng);
    for (std::size_t i = 0; i < n; ++i) {
        P.x.push_back(site);
        site += 0.2 + 1.6 * unit(rng);
        P.delta.push_back(0.5 + 1.5 * unit(rng));
        for (std::size_t j = 0; j < dim; ++j) P.y.push_back(normal(rng));
    }
    P.derive(local);
    return P;
}

// Inputs a search never sees from a valid fit, but through which the optimised code must still
// follow the step-by-step algorithm exactly: non-finite values, zero weights, zero roughness,
// wildly varying spacings and slope scales.
Problem make_adversarial(std::mt19937_64& rng, std::size_t n, std::size_t dim) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Problem P = make_problem(rng, n, dim, 0.1 + 0.8 * unit(rng), unit(rng) < 0.5);
    const auto pick = [&](std::size_t size) {
        return std::min(size - 1, static_cast<std::size_t>(unit(rng) * double(size)));
    };
    for (double& v : P.y) {
        const double u = unit(rng);
        if (u < 0.05) v = nan_value;
        else if (u < 0.08) v = inf_value;
        else if (u < 0.11) v = -inf_value;
        else if (u < 0.3) v = 0.0;
        else if (u < 0.35) v = -0.0;
    }
    const std::size_t kind = pick(9);
    for (double& s : P.h) {
        s = std::pow(10.0, -6.0 + 9.0 * unit(rng));
        if (kind == 7 && unit(rng) < 0.2) s = unit(rng) < 0.5 ? 0.0 : inf_value;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double u = unit(rng);
        if (u < 0.15) P.omega[i] = 0.0;
        else if (u < 0.2) P.omega[i] = -P.omega[i];
        if (kind == 1 && u > 0.9) P.omega[i] = inf_value;
        if (kind == 2 && u > 0.9) P.omega[i] = nan_value;
        if (kind == 3) P.tau[i] = std::pow(10.0, -4.0 + 8.0 * unit(rng));
        if (kind == 4 && u > 0.9) P.tau[i] = nan_value;
        if (kind == 6 && u > 0.7) P.tau[i] = u > 0.9 ? inf_value : 0.0;
        if (kind == 8 && u > 0.5) P.tau[i] = -P.tau[i];
    }
    if (kind == 5) P.a = 0.0;
    if (unit(rng) < 0.1) std::fill(P.omega.begin(), P.omega.end(), 0.0);
    return P;
}

std::vector<double> segment_values(const vorn::SegmentState& s) {
    std::vector<double> v = {s.factor22(), s.factor23(), s.factor33(), s.energy()};
    for (const double z : s.rhs_row2()) v.push_back(z);
    for (const double z : s.rhs_row3()) v.push_back(z);
    return v;
}

std::vector<double> reference_values(const ref::State& s, std::size_t d) {
    std::vector<double> v = {s.factor[2 * 4 + 2], s.factor[2 * 4 + 3], s.factor[3 * 4 + 3],
                             s.energy};
    for (std::size_t j = 0; j < 2 * d; ++j) v.push_back(s.rhs[2 * d + j]);
    return v;
}

using vorn::test::same_bits;

::testing::AssertionResult same_result(const PartitionResult& got, const PartitionResult& want) {
    auto bits = same_bits(got.F, want.F);
    if (!bits) return bits << " in F";
    if (got.partition != want.partition) return ::testing::AssertionFailure() << "partition";
    if (got.complexity_counter != want.complexity_counter) {
        return ::testing::AssertionFailure() << "counter " << got.complexity_counter << " vs "
                                             << want.complexity_counter;
    }
    return ::testing::AssertionSuccess();
}

bool close(double got, double want, double rel, double abs = 1e-13) {
    return std::abs(got - want) <= abs + rel * std::abs(want);
}

// E(l..r) by the library's own steps, grown in either direction.
double energy_rightward(const Problem& P, std::size_t l, std::size_t r) {
    if (r <= l + 1) return 0.0;
    std::vector<double> block(vorn::segment_state_size(P.dim));
    vorn::SegmentState s(block.data(), P.dim);
    const auto y = P.y_view();
    vorn::segment_init(s, {l, l + 1, vorn::spacing_powers(P.h[l]), P.a, P.tau[l], P.tau[l + 1]},
                       P.omega[l], P.omega[l + 1], y);
    for (std::size_t k = l + 2; k <= r; ++k) {
        vorn::segment_extend(
            s, {k - 1, k, vorn::spacing_powers(P.h[k - 1]), P.a, P.tau[k - 1], P.tau[k]},
            P.omega[k], y);
    }
    return s.energy();
}

double energy_leftward(const Problem& P, std::size_t l, std::size_t r) {
    if (r <= l + 1) return 0.0;
    std::vector<double> block(vorn::segment_state_size(P.dim));
    vorn::SegmentState s(block.data(), P.dim);
    const auto y = P.y_view();
    vorn::segment_init(s, {r, r - 1, vorn::spacing_powers(P.h[r - 1]), P.a, P.tau[r], P.tau[r - 1]},
                       P.omega[r], P.omega[r - 1], y);
    for (std::size_t k = r - 1; k-- > l;) {
        vorn::segment_extend(
            s, {k + 1, k, vorn::spacing_powers(P.h[k]), P.a, P.tau[k + 1], P.tau[k]}, P.omega[k],
            y);
    }
    return s.energy();
}

// The smoothing-spline functional p * sum w (y - f)^2 + (1 - p) * integral f''^2 of the fitted
// spline on samples l..r, with w = 1 / delta^2 and the curvature integrated piece by piece.
double spline_functional(const Problem& P, std::size_t l, std::size_t r) {
    const std::size_t m = r - l + 1;
    std::vector<double> w(m);
    for (std::size_t i = 0; i < m; ++i) w[i] = 1.0 / (P.delta[l + i] * P.delta[l + i]);
    const auto xs = std::span<const double>(P.x).subspan(l, m);
    const vorn::PpForm form = vorn::csaps(vorn::VectorView::of(xs), P.y_view().row_slice(l, m),
                                          vorn::VectorView::of(w), P.p);
    double data_term = 0.0;
    double curvature = 0.0;
    for (std::size_t piece = 0; piece + 1 < m; ++piece) {
        const double hh = form.breaks[piece + 1] - form.breaks[piece];
        for (std::size_t j = 0; j < P.dim; ++j) {
            const double* c = &form.coefs[(piece * P.dim + j) * 4];
            const double f0 = c[3];
            data_term += w[piece] * std::pow(P.value(l + piece, j) - f0, 2);
            if (piece + 2 == m) {
                const double f1 = ((c[0] * hh + c[1]) * hh + c[2]) * hh + c[3];
                data_term += w[piece + 1] * std::pow(P.value(l + piece + 1, j) - f1, 2);
            }
            // f'' = 6 c3 t + 2 c2 on [0, hh]
            curvature += 12.0 * c[0] * c[0] * hh * hh * hh + 12.0 * c[0] * c[1] * hh * hh +
                         4.0 * c[1] * c[1] * hh;
        }
    }
    return P.p * data_term + (1.0 - P.p) * curvature;
}

// Weighted least-squares straight line, fitted column by column through centred sums.
double line_energy_direct(const Problem& P, std::size_t l, std::size_t r) {
    double total = 0.0;
    for (std::size_t j = 0; j < P.dim; ++j) {
        double sw = 0.0, sx = 0.0, sy = 0.0;
        for (std::size_t i = l; i <= r; ++i) {
            const double w = 1.0 / (P.delta[i] * P.delta[i]);
            sw += w;
            sx += w * P.x[i];
            sy += w * P.value(i, j);
        }
        const double xm = sx / sw;
        const double ym = sy / sw;
        double sxx = 0.0, sxy = 0.0;
        for (std::size_t i = l; i <= r; ++i) {
            const double w = 1.0 / (P.delta[i] * P.delta[i]);
            sxx += w * (P.x[i] - xm) * (P.x[i] - xm);
            sxy += w * (P.x[i] - xm) * (P.value(i, j) - ym);
        }
        const double slope = sxx > 0.0 ? sxy / sxx : 0.0;
        for (std::size_t i = l; i <= r; ++i) {
            const double w = 1.0 / (P.delta[i] * P.delta[i]);
            const double res = P.value(i, j) - (ym + slope * (P.x[i] - xm));
            total += w * res * res;
        }
    }
    return total;
}

PartitionResult run_line(const Problem& P, double gamma) {
    return vorn::partition_line(P.x, P.y_view(), P.delta, gamma);
}

// Cost and segments of the partition the back pointers describe, read from the end.
std::vector<std::pair<std::size_t, std::size_t>> read_back(const PartitionResult& R,
                                                          std::size_t last) {
    std::vector<std::pair<std::size_t, std::size_t>> segments;
    std::size_t e = last;
    for (;;) {
        const std::size_t s = R.partition[e];
        segments.emplace_back(s, e);
        if (s == 0 || segments.size() > last + 1) break;
        e = s - 1;
    }
    std::reverse(segments.begin(), segments.end());
    return segments;
}

// ---- Elementary pieces ----------------------------------------------------------------------

TEST(dp, givens_qr_follows_the_plain_sweep_bit_for_bit) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t m = 1 + rng() % 7, q = 1 + rng() % 6, d = rng() % 4;
        std::vector<double> M(m * q), B(m * d);
        for (double& v : M) {
            const double u = unit(rng);
            v = std::abs(u) < 0.3 ? 0.0 : (std::abs(u) > 0.97 ? nan_value : u);
        }
        for (double& v : B) v = unit(rng);
        auto M_ref = M, B_ref = B;
        vorn::givens_qr(M, m, q, B, d);
        ref::givens_qr(M_ref, m, q, B_ref, d);
        ASSERT_TRUE(same_bits(M, M_ref)) << "trial " << trial;
        ASSERT_TRUE(same_bits(B, B_ref)) << "trial " << trial;
    }
}

TEST(dp, givens_qr_triangularises_and_preserves_column_norms) {
    std::mt19937_64 rng(12);
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::size_t m = 6, q = 4, d = 2;
    std::vector<double> M(m * q), B(m * d);
    for (double& v : M) v = normal(rng);
    for (double& v : B) v = normal(rng);
    const auto M0 = M, B0 = B;
    vorn::givens_qr(M, m, q, B, d);
    for (std::size_t t = 0; t < m; ++t)
        for (std::size_t o = 0; o < std::min(t, q); ++o) EXPECT_EQ(M[t * q + o], 0.0);
    // An orthogonal transformation keeps every column's length and every inner product.
    for (std::size_t c = 0; c < q; ++c) {
        double before = 0.0, after = 0.0, cross_before = 0.0, cross_after = 0.0;
        for (std::size_t t = 0; t < m; ++t) {
            before += M0[t * q + c] * M0[t * q + c];
            after += M[t * q + c] * M[t * q + c];
            cross_before += M0[t * q + c] * B0[t * d];
            cross_after += M[t * q + c] * B[t * d];
        }
        EXPECT_NEAR(after, before, 1e-12 * before);
        EXPECT_NEAR(cross_after, cross_before, 1e-12 * (1.0 + std::abs(cross_before)));
    }
    EXPECT_THROW(vorn::givens_qr(M, m, q + 1, B, d), vorn::AssertionFailure);
}

TEST(dp, segment_growth_matches_the_step_by_step_reference_bit_for_bit) {
    std::mt19937_64 rng(21);
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t n = 2 + rng() % 14;
        const std::size_t dim = 1 + rng() % 3;
        const Problem P = trial % 2 == 0 ? make_problem(rng, n, dim, 0.05 + 0.9 * double(rng() % 100) / 100.0, trial % 4 == 0)
                                         : make_adversarial(rng, n, dim);
        const ref::Data D = P.data();
        const auto y = P.y_view();
        std::vector<double> block(vorn::segment_state_size(dim));
        vorn::SegmentState s(block.data(), dim);

        // Rightward from l = 0, leftward from r = n - 1.
        vorn::segment_init(s, {0, 1, vorn::spacing_powers(P.h[0]), P.a, P.tau[0], P.tau[1]},
                           P.omega[0], P.omega[1], y);
        ref::State want = ref::start_right(D, 0);
        ASSERT_TRUE(same_bits(segment_values(s), reference_values(want, dim))) << trial;
        for (std::size_t r = 2; r < n; ++r) {
            vorn::segment_extend(
                s, {r - 1, r, vorn::spacing_powers(P.h[r - 1]), P.a, P.tau[r - 1], P.tau[r]},
                P.omega[r], y);
            want = ref::grow_right(want, D, r);
            ASSERT_TRUE(same_bits(segment_values(s), reference_values(want, dim)))
                << "rightward, trial " << trial << ", r " << r;
        }
        const std::size_t last = n - 1;
        vorn::segment_init(
            s, {last, last - 1, vorn::spacing_powers(P.h[last - 1]), P.a, P.tau[last], P.tau[last - 1]},
            P.omega[last], P.omega[last - 1], y);
        want = ref::start_left(D, last);
        ASSERT_TRUE(same_bits(segment_values(s), reference_values(want, dim))) << trial;
        for (std::size_t J = last - 1; J-- > 0;) {
            vorn::segment_extend(
                s, {J + 1, J, vorn::spacing_powers(P.h[J]), P.a, P.tau[J + 1], P.tau[J]},
                P.omega[J], y);
            want = ref::grow_left(want, D, J);
            ASSERT_TRUE(same_bits(segment_values(s), reference_values(want, dim)))
                << "leftward, trial " << trial << ", J " << J;
        }
    }
}

TEST(dp, prefix_energies_match_the_reference_bit_for_bit) {
    std::mt19937_64 rng(22);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t n = 2 + rng() % 30;
        const std::size_t dim = 1 + rng() % 3;
        const Problem P = trial % 2 == 0 ? make_problem(rng, n, dim, 0.5, trial % 4 == 0)
                                         : make_adversarial(rng, n, dim);
        const auto E = vorn::prefix_energies(P.inputs());
        ASSERT_TRUE(same_bits(E, ref::prefix(P.data()))) << "trial " << trial;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(E[0]), 0u);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(E[1]), 0u);
    }
}

TEST(dp, local_tau_balances_value_and_slope_weights) {
    const std::vector<double> h = {0.5, 2.0, 1.25};
    const std::vector<double> omega = {0.3, 1.1, 0.0, 2.5};
    const double a = std::sqrt(1.0 - 0.36);
    const double kappa = 1.0 - 0.36;
    const auto tau = vorn::local_tau(h, omega, a);
    ASSERT_EQ(tau.size(), 4u);
    // tau^2 = (omega^2 + sum 12 kappa / h^3) / (sum 4 kappa / h) over the adjacent intervals
    const auto expect = [&](double w, std::vector<double> adjacent) {
        double num = w * w, den = 0.0;
        for (const double s : adjacent) {
            num += 12.0 * kappa / std::pow(s, 3);
            den += 4.0 * kappa / s;
        }
        return std::sqrt(num / den);
    };
    EXPECT_NEAR(tau[0], expect(0.3, {0.5}), 1e-14 * tau[0]);
    EXPECT_NEAR(tau[1], expect(1.1, {0.5, 2.0}), 1e-14 * tau[1]);
    EXPECT_NEAR(tau[2], expect(0.0, {2.0, 1.25}), 1e-14 * tau[2]);
    EXPECT_NEAR(tau[3], expect(2.5, {1.25}), 1e-14 * tau[3]);

    // Two samples: both ends use the only spacing.
    const std::vector<double> h2 = {0.7};
    const auto tau2 = vorn::local_tau(h2, std::vector<double>{0.4, 1.9}, a);
    EXPECT_NEAR(tau2[0], expect(0.4, {0.7}), 1e-14 * tau2[0]);
    EXPECT_NEAR(tau2[1], expect(1.9, {0.7}), 1e-14 * tau2[1]);

    // No roughness term (p = 1): nothing to balance.
    EXPECT_EQ(vorn::local_tau(h, omega, 0.0), std::vector<double>(4, 1.0));
    EXPECT_EQ(vorn::local_tau(h2, std::vector<double>{0.4, 1.9}, -0.0),
              std::vector<double>(2, 1.0));
}

TEST(dp, energies_require_two_consistent_samples) {
    const std::vector<double> one = {1.0}, none_h;
    const std::vector<double> ys = {0.0};
    const EnergyInputs single{MatrixView::row_major(ys.data(), 1, 1), none_h, one, one, 1.0};
    vorn::test::expect_assertion([&] { (void)vorn::prefix_energies(single); },
                                 "segment energies require n >= 2");
    vorn::test::expect_assertion([&] { (void)vorn::local_tau(none_h, one, 1.0); },
                                 "segment energies require n >= 2");
    const std::vector<double> two = {1.0, 1.0}, y2 = {0.0, 1.0};
    const EnergyInputs bad_h{MatrixView::row_major(y2.data(), 2, 1), two, two, two, 1.0};
    vorn::test::expect_assertion([&] { (void)vorn::partition_fpvi(bad_h, 0.0); },
                                 "h length must be n - 1");
    const std::vector<double> h1 = {1.0};
    const EnergyInputs bad_tau{MatrixView::row_major(y2.data(), 2, 1), h1, two, one, 1.0};
    vorn::test::expect_assertion([&] { (void)vorn::partition_pelt(bad_tau, 0.0); },
                                 "tau length must equal n");
}

// ---- Energies against independent references ------------------------------------------------

TEST(dp, energy_equals_the_smoothing_spline_functional) {
    std::mt19937_64 rng(31);
    for (const double p : {0.02, 0.3, 0.5, 0.8, 0.995}) {
        for (int trial = 0; trial < 12; ++trial) {
            const std::size_t n = 3 + rng() % 25;
            const std::size_t dim = 1 + rng() % 3;
            const Problem P = make_problem(rng, n, dim, p, trial % 2 == 1);
            const std::size_t l = rng() % (n - 2);
            const std::size_t r = l + 2 + rng() % (n - l - 2);
            const double want = spline_functional(P, l, r);
            ASSERT_GT(want, 0.0);
            EXPECT_TRUE(close(energy_rightward(P, l, r), want, 1e-9))
                << "p " << p << " l " << l << " r " << r << ": " << energy_rightward(P, l, r)
                << " vs " << want;
            EXPECT_TRUE(close(energy_leftward(P, l, r), want, 1e-9));
        }
    }
}

TEST(dp, growth_directions_and_slope_scales_agree) {
    std::mt19937_64 rng(32);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t n = 3 + rng() % 40;
        const double p = 0.05 + 0.9 * double(rng() % 1000) / 1000.0;
        Problem P = make_problem(rng, n, 2, p);
        const std::size_t l = rng() % (n - 2);
        const std::size_t r = l + 2 + rng() % (n - l - 2);
        const double right = energy_rightward(P, l, r);
        EXPECT_TRUE(close(energy_leftward(P, l, r), right, 1e-10)) << trial;
        P.derive(true);
        EXPECT_TRUE(close(energy_rightward(P, l, r), right, 1e-10)) << trial;
        EXPECT_TRUE(close(energy_leftward(P, l, r), right, 1e-10)) << trial;
    }
}

TEST(dp, energies_add_up_over_value_columns) {
    std::mt19937_64 rng(33);
    const Problem P = make_problem(rng, 30, 3, 0.6, true);
    const auto E = vorn::prefix_energies(P.inputs());
    std::vector<double> sum(P.n(), 0.0);
    for (std::size_t j = 0; j < 3; ++j) {
        Problem single = P;
        single.dim = 1;
        single.y.clear();
        for (std::size_t i = 0; i < P.n(); ++i) single.y.push_back(P.value(i, j));
        const auto Ej = vorn::prefix_energies(single.inputs());
        for (std::size_t r = 0; r < P.n(); ++r) sum[r] += Ej[r];
    }
    for (std::size_t r = 2; r < P.n(); ++r) EXPECT_TRUE(close(E[r], sum[r], 1e-13)) << r;
}

TEST(dp, two_samples_cost_nothing_and_lines_cost_almost_nothing) {
    std::mt19937_64 rng(34);
    for (int trial = 0; trial < 50; ++trial) {
        Problem P = make_problem(rng, 2 + rng() % 20, 2, 0.01 + 0.98 * double(rng() % 100) / 100.0,
                                 trial % 2 == 0);
        for (std::size_t l = 0; l + 1 < P.n(); ++l) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(energy_rightward(P, l, l + 1)), 0u);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(energy_leftward(P, l, l + 1)), 0u);
        }
        // Samples on one straight line per column: no roughness, no residual.
        for (std::size_t i = 0; i < P.n(); ++i) {
            P.y[i * 2] = 3.0 - 0.5 * P.x[i];
            P.y[i * 2 + 1] = 2.0 * P.x[i] + 1.0;
        }
        const auto E = vorn::prefix_energies(P.inputs());
        for (const double e : E) EXPECT_LT(e, 1e-20);
        const auto line = vorn::line_prefix_energies(vorn::line_rows(P.x, P.y_view(), P.delta), 2);
        for (const double e : line) EXPECT_LT(e, 1e-20);
    }
}

TEST(dp, line_energies_equal_weighted_least_squares) {
    std::mt19937_64 rng(35);
    for (int trial = 0; trial < 30; ++trial) {
        const Problem P = make_problem(rng, 2 + rng() % 30, 1 + rng() % 3, 0.0);
        const auto rows = vorn::line_rows(P.x, P.y_view(), P.delta);
        const auto E = vorn::line_prefix_energies(rows, P.dim);
        for (std::size_t r = 0; r < P.n(); ++r)
            EXPECT_TRUE(close(E[r], line_energy_direct(P, 0, r), 1e-10)) << trial << " " << r;
        // Grown leftward from the last sample.
        vorn::LineSegment seg(P.dim);
        const std::size_t w = P.dim + 2, last = P.n() - 1;
        seg.start(std::span(rows).subspan(last * w, w), std::span(rows).subspan((last - 1) * w, w));
        EXPECT_EQ(seg.energy(), 0.0);
        for (std::size_t J = last - 1; J-- > 0;) {
            seg.add(std::span(rows).subspan(J * w, w));
            EXPECT_TRUE(close(seg.energy(), line_energy_direct(P, J, last), 1e-10));
        }
    }
}

// ---- Searches --------------------------------------------------------------------------------

struct Searches {
    PartitionResult fpvi, pelt;
};

Searches run_both(const Problem& P, double gamma) {
    return {vorn::partition_fpvi(P.inputs(), gamma), vorn::partition_pelt(P.inputs(), gamma)};
}

TEST(dp, searches_match_the_reference_bit_for_bit) {
    std::mt19937_64 rng(41);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = 2 + rng() % 40;
        const std::size_t dim = 1 + rng() % 3;
        const bool adversarial = trial % 3 == 2;
        const Problem P = adversarial ? make_adversarial(rng, n, dim)
                                      : make_problem(rng, n, dim, 0.05 + 0.9 * unit(rng), trial % 2 == 0);
        const auto E = vorn::prefix_energies(P.inputs());
        const double scale = std::isfinite(E[n - 1]) ? E[n - 1] : 10.0;
        const double gamma = trial % 7 == 0 ? 0.0 : scale * std::pow(10.0, -3.0 * unit(rng));
        const ref::Data D = P.data();
        const Searches got = run_both(P, gamma);
        ASSERT_TRUE(same_result(got.fpvi, ref::fpvi(D, gamma))) << "FPVI trial " << trial;
        ASSERT_TRUE(same_result(got.pelt, ref::pelt(D, gamma))) << "PELT trial " << trial;
        ASSERT_TRUE(same_result(run_line(P, gamma), ref::line(P.x, P.rows(), P.delta, gamma)))
            << "line trial " << trial;
    }
}

// Minimum cost over all admissible partitions of 0..r, segments priced by `energy`.
double brute_force(std::size_t r, double gamma,
                   const std::function<double(std::size_t, std::size_t)>& energy) {
    // The first segment may be the single sample 0; every later one needs two samples.
    double best = energy(0, r);
    std::function<void(std::size_t, double)> walk = [&](std::size_t start, double cost) {
        // Segments from `start` to some e, then the rest.
        for (std::size_t e = start + 1; e <= r; ++e) {
            const double c = cost + gamma + energy(start, e);
            if (e == r) best = std::min(best, c);
            else walk(e + 1, c);
        }
    };
    for (std::size_t e0 = 0; e0 + 2 <= r; ++e0) walk(e0 + 1, energy(0, e0));
    return best;
}

void check_against_brute_force(const PartitionResult& R, std::size_t n, double gamma,
                               const std::function<double(std::size_t, std::size_t)>& energy,
                               const std::string& what) {
    for (std::size_t r = 0; r < n; ++r) {
        const double want = brute_force(r, gamma, energy);
        ASSERT_TRUE(close(R.F[r], want, 1e-9, 1e-12)) << what << " r " << r << ": " << R.F[r]
                                                       << " vs " << want;
    }
    const auto segments = read_back(R, n - 1);
    ASSERT_EQ(segments.front().first, 0u) << what;
    double cost = 0.0;
    for (std::size_t k = 0; k < segments.size(); ++k) {
        const auto [s, e] = segments[k];
        ASSERT_LE(s, e) << what;
        if (k > 0) {
            ASSERT_GE(e, s + 1) << what << ": a later segment needs two samples";
            ASSERT_EQ(s, segments[k - 1].second + 1) << what;
            cost += gamma;
        }
        cost += energy(s, e);
    }
    EXPECT_TRUE(close(cost, R.F[n - 1], 1e-9, 1e-12)) << what;
}

TEST(dp, searches_find_the_brute_force_minimum) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (std::size_t n = 2; n <= 9; ++n) {
        for (int trial = 0; trial < 25; ++trial) {
            const std::size_t dim = 1 + rng() % 2;
            const double p = trial % 5 == 4 ? 0.0 : 0.05 + 0.9 * unit(rng);
            const Problem P = make_problem(rng, n, dim, p, trial % 2 == 0);
            const std::string what = "n " + std::to_string(n) + " trial " + std::to_string(trial);
            if (p == 0.0) {
                const auto energy = [&](std::size_t l, std::size_t r) {
                    return r <= l + 1 ? 0.0 : line_energy_direct(P, l, r);
                };
                const double gamma = energy(0, n - 1) * std::pow(10.0, -2.0 * unit(rng));
                check_against_brute_force(run_line(P, gamma), n, gamma, energy, what + " line");
                continue;
            }
            const ref::Data D = P.data();
            const auto energy = [&](std::size_t l, std::size_t r) {
                if (r <= l + 1) return 0.0;
                ref::State s = ref::start_right(D, l);
                for (std::size_t k = l + 2; k <= r; ++k) s = ref::grow_right(s, D, k);
                return s.energy;
            };
            const double gamma = energy(0, n - 1) * std::pow(10.0, -2.0 * unit(rng));
            const Searches got = run_both(P, gamma);
            check_against_brute_force(got.fpvi, n, gamma, energy, what + " FPVI");
            check_against_brute_force(got.pelt, n, gamma, energy, what + " PELT");
        }
    }
}

TEST(dp, fpvi_and_pelt_agree_while_counting_their_own_work) {
    std::mt19937_64 rng(43);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t n = 20 + rng() % 200;
        Problem P = make_problem(rng, n, 1 + rng() % 2, 0.2 + 0.6 * unit(rng), trial % 2 == 0);
        // A few level shifts so that the optimum has jumps.
        double level = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            if (unit(rng) < 0.05) level += 8.0 * normal(rng);
            for (std::size_t j = 0; j < P.dim; ++j) P.y[i * P.dim + j] = 0.3 * P.y[i * P.dim + j] + level;
        }
        const double whole = vorn::prefix_energies(P.inputs())[n - 1];
        const double gamma = whole * std::pow(10.0, -1.0 - 2.0 * unit(rng));
        const Searches got = run_both(P, gamma);
        ASSERT_EQ(got.fpvi.partition, got.pelt.partition) << trial;
        for (std::size_t r = 0; r < n; ++r) EXPECT_TRUE(close(got.pelt.F[r], got.fpvi.F[r], 1e-12)) << r;
        // FPVI pays a two-sample start for every r; PELT pays only its extensions.
        EXPECT_GE(got.fpvi.complexity_counter, n + 2 * (n - 2));
        EXPECT_NE(got.fpvi.complexity_counter, got.pelt.complexity_counter);
    }
}

// Samples 0..k-1 at 0 and k..n-1 at 1, unit spacing and deviations.
Problem unit_step(std::size_t n, std::size_t k, double p) {
    Problem P;
    for (std::size_t i = 0; i < n; ++i) {
        P.x.push_back(double(i));
        P.y.push_back(i < k ? 0.0 : 1.0);
        P.delta.push_back(1.0);
    }
    P.p = p;
    P.derive(false);
    return P;
}

TEST(dp, counters_of_a_small_step_counted_by_hand) {
    const Problem P = unit_step(6, 3, 0.5);
    const double gamma = 1e-3;
    const ref::Data D = P.data();
    const auto energy = [&](std::size_t l, std::size_t r) {
        ref::State s = ref::start_right(D, l);
        for (std::size_t k = l + 2; k <= r; ++k) s = ref::grow_right(s, D, k);
        return s.energy;
    };
    // The hand count below assumes these orderings.
    ASSERT_GT(energy(1, 3), gamma);
    ASSERT_GT(energy(2, 4), gamma);
    ASSERT_GT(energy(0, 3), gamma);
    ASSERT_GT(energy(0, 5), 2.0 * gamma);
    ASSERT_LT(energy(3, 5), 1e-20);
    const Searches got = run_both(P, gamma);
    // FPVI: 6 + r=2: 2 (bound at once) + r=3: 2+1 + r=4: 2+1 + r=5: 2+2.
    EXPECT_EQ(got.fpvi.complexity_counter, 18u);
    // PELT: 6 + r=3: start 1 grows + r=4: start 2 grows + r=5: start 3 grows.
    EXPECT_EQ(got.pelt.complexity_counter, 9u);
    // Straight lines: 6 + 0 + 1 + 2 + 3 added rows, no bound.
    Problem L = unit_step(6, 3, 0.0);
    EXPECT_EQ(run_line(L, gamma).complexity_counter, 12u);
    const std::vector<std::uint64_t> want = {0, 0, 0, 2, 3, 3};
    EXPECT_EQ(got.fpvi.partition, want);
    EXPECT_EQ(got.pelt.partition, want);
    EXPECT_EQ(run_line(L, gamma).partition, want);
}

TEST(dp, unit_step_is_found_by_every_variant) {
    for (std::size_t n = 4; n <= 40; n += 3) {
        for (std::size_t k = 2; k + 2 <= n; k += 1 + n / 5) {
            for (const double p : {0.0, 0.2, 0.5, 0.9}) {
                const Problem P = unit_step(n, k, p);
                const double whole = p == 0.0
                                         ? vorn::line_prefix_energies(
                                               vorn::line_rows(P.x, P.y_view(), P.delta), 1)[n - 1]
                                         : vorn::prefix_energies(P.inputs())[n - 1];
                for (const double fraction : {1e-3, 0.5, 0.999}) {
                    const double gamma = fraction * whole;
                    std::vector<PartitionResult> results;
                    if (p == 0.0) {
                        results.push_back(run_line(P, gamma));
                    } else {
                        const Searches got = run_both(P, gamma);
                        results = {got.fpvi, got.pelt};
                    }
                    for (const auto& R : results) {
                        EXPECT_EQ(R.partition[n - 1], k) << n << " " << k << " " << p;
                        EXPECT_EQ(R.partition[k - 1], 0u) << n << " " << k << " " << p;
                        EXPECT_NEAR(R.F[n - 1], gamma, 1e-12) << n << " " << k << " " << p;
                    }
                }
            }
        }
    }
}

TEST(dp, zero_gamma_makes_every_pair_free) {
    std::mt19937_64 rng(44);
    for (int trial = 0; trial < 20; ++trial) {
        const std::size_t n = 3 + rng() % 30;
        const double p = trial % 4 == 0 ? 0.0 : 0.5;
        Problem P = make_problem(rng, n, 1, p, trial % 2 == 1);
        // A flat start keeps E(0..r) at exactly 0 for the first few r.
        const std::size_t flat = rng() % 4;
        for (std::size_t i = 0; i < std::min(flat, n); ++i) P.y[i] = 0.0;
        const auto E = p == 0.0 ? vorn::line_prefix_energies(vorn::line_rows(P.x, P.y_view(), P.delta), 1)
                                : vorn::prefix_energies(P.inputs());
        std::vector<PartitionResult> results;
        if (p == 0.0) {
            results.push_back(run_line(P, 0.0));
        } else {
            const Searches got = run_both(P, 0.0);
            results = {got.fpvi, got.pelt};
        }
        for (const auto& R : results) {
            for (std::size_t r = 0; r < n; ++r) {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(R.F[r]), 0u) << r;
                const std::uint64_t want = r >= 2 && E[r] > 0.0 ? r - 1 : 0;
                EXPECT_EQ(R.partition[r], want) << "trial " << trial << " r " << r;
            }
        }
    }
}

TEST(dp, two_samples_need_no_search) {
    const std::vector<double> x = {0.0, 2.0}, y = {1.0, -3.0}, delta = {1.0, 0.5};
    Problem P;
    P.x = x;
    P.y = y;
    P.delta = delta;
    P.p = 0.4;
    P.derive(true);
    for (const double gamma : {0.0, 1.0, 1e300}) {
        for (const auto& R : {vorn::partition_fpvi(P.inputs(), gamma),
                              vorn::partition_pelt(P.inputs(), gamma), run_line(P, gamma)}) {
            EXPECT_EQ(R.F, std::vector<double>(2, 0.0));
            EXPECT_EQ(R.partition, std::vector<std::uint64_t>(2, 0));
            EXPECT_EQ(R.complexity_counter, 2u);
        }
    }
}

TEST(dp, a_penalty_above_the_whole_energy_keeps_one_segment) {
    std::mt19937_64 rng(45);
    for (int trial = 0; trial < 10; ++trial) {
        const std::size_t n = 3 + rng() % 30;
        const Problem P = make_problem(rng, n, 2, 0.5, trial % 2 == 0);
        const auto E = vorn::prefix_energies(P.inputs());
        const auto Elin = vorn::line_prefix_energies(vorn::line_rows(P.x, P.y_view(), P.delta), 2);
        for (const double factor : {1.0, 3.0}) {
            const Searches got = run_both(P, factor * E[n - 1]);
            for (const auto& R : {got.fpvi, got.pelt}) {
                EXPECT_TRUE(same_bits(R.F, E));
                EXPECT_EQ(R.partition, std::vector<std::uint64_t>(n, 0));
                EXPECT_EQ(R.complexity_counter, n);
            }
            const auto L = run_line(P, factor * Elin[n - 1]);
            EXPECT_TRUE(same_bits(L.F, Elin));
            EXPECT_EQ(L.partition, std::vector<std::uint64_t>(n, 0));
            EXPECT_EQ(L.complexity_counter, n);
        }
    }
}

TEST(dp, ties_keep_the_whole_prefix_then_the_larger_start) {
    Problem P;
    static_cast<vorn::test::DpProblem&>(P) = vorn::test::tie_problem();
    const auto E = vorn::prefix_energies(P.inputs());
    const double gamma = E[3];
    ASSERT_GT(gamma, 0.0);
    ASSERT_LT(gamma, E.back());
    const Searches got = run_both(P, gamma);
    for (const auto& R : {got.fpvi, got.pelt}) {
        EXPECT_EQ(R.partition[3], 0u);
        EXPECT_EQ(R.F[3], gamma);
    }
    Problem L = P;
    L.p = 0.0;
    const auto Elin = vorn::line_prefix_energies(vorn::line_rows(L.x, L.y_view(), L.delta), 1);
    const auto R = run_line(L, Elin[3]);
    EXPECT_EQ(R.partition[3], 0u);
    EXPECT_EQ(R.F[3], Elin[3]);

    // All starts J with a zero-energy segment J..r tie at cost gamma = 0 + F[J - 1] = 0: the
    // largest one, r - 1, wins.
    const Searches zero = run_both(P, 0.0);
    for (const auto& Z : {zero.fpvi, zero.pelt}) {
        EXPECT_EQ(Z.partition[3], 2u);
        EXPECT_EQ(Z.partition[6], 5u);
    }
}

}  // namespace
