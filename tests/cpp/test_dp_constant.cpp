// The constant-segment search against brute force over all partitions (small n) and against a
// plain dynamic program without pruning (n up to a few hundred), both in long double with
// two-pass means; the running energies far from zero; the pruning's reach on data without jumps.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "dp_constant.hpp"
#include "fit_constant.hpp"
#include "support.hpp"

namespace {

using vorn::MatrixView;
using vorn::PartitionResult;

struct Problem {
    std::size_t dim = 1;
    std::vector<double> y;  // n rows by dim
    std::vector<double> w;
    double gamma = 0.0;

    std::size_t size() const { return w.size(); }
    MatrixView view() const { return MatrixView::row_major(y.data(), w.size(), dim); }
};

// Two-pass weighted energy of samples first..last in long double.
long double energy(const Problem& P, std::size_t first, std::size_t last) {
    long double total = 0.0L;
    long double result = 0.0L;
    for (std::size_t i = first; i <= last; ++i) total += P.w[i];
    for (std::size_t c = 0; c < P.dim; ++c) {
        long double mean = 0.0L;
        for (std::size_t i = first; i <= last; ++i) {
            mean += P.w[i] * (long double)P.y[i * P.dim + c];
        }
        mean /= total;
        for (std::size_t i = first; i <= last; ++i) {
            const long double d = (long double)P.y[i * P.dim + c] - mean;
            result += P.w[i] * d * d;
        }
    }
    return result;
}

// Segment starts from the back pointers, with the rule every search keeps: only the first
// segment may hold a single sample.
std::vector<std::size_t> starts_of(const PartitionResult& found) {
    std::vector<std::size_t> starts;
    for (std::size_t e = found.partition.size() - 1;;) {
        const auto start = static_cast<std::size_t>(found.partition[e]);
        EXPECT_LE(start, e);
        starts.push_back(start);
        if (start == 0) break;
        EXPECT_GE(e - start + 1, 2u) << "a later segment of one sample";
        e = start - 1;
    }
    std::reverse(starts.begin(), starts.end());
    return starts;
}

long double cost_of(const Problem& P, const std::vector<std::size_t>& starts) {
    long double cost = (long double)P.gamma * (long double)(starts.size() - 1);
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const std::size_t last = k + 1 < starts.size() ? starts[k + 1] - 1 : P.size() - 1;
        cost += energy(P, starts[k], last);
    }
    return cost;
}

// Every cut set whose segments after the first hold two samples or more.
long double brute_force(const Problem& P) {
    const std::size_t n = P.size();
    long double best = std::numeric_limits<long double>::infinity();
    for (std::uint32_t cuts = 0; cuts < (1u << (n - 1)); ++cuts) {
        std::vector<std::size_t> starts{0};
        for (std::size_t i = 1; i < n; ++i) {
            if (cuts & (1u << (i - 1))) starts.push_back(i);
        }
        bool valid = true;
        for (std::size_t k = 1; k < starts.size(); ++k) {
            const std::size_t last = k + 1 < starts.size() ? starts[k + 1] - 1 : n - 1;
            valid = valid && last > starts[k];
        }
        if (valid) best = std::min(best, cost_of(P, starts));
    }
    return best;
}

// F[r] for every r without any pruning, each segment grown leftward from its end.
std::vector<long double> plain_dp(const Problem& P) {
    const std::size_t n = P.size();
    std::vector<long double> F(n);
    for (std::size_t r = 0; r < n; ++r) {
        long double W = 0.0L, E = 0.0L;
        std::vector<long double> mean(P.dim, 0.0L);
        long double best = std::numeric_limits<long double>::infinity();
        for (std::size_t l = r + 1; l-- > 0;) {
            const long double total = W + P.w[l];
            long double s = 0.0L;
            for (std::size_t c = 0; c < P.dim; ++c) {
                const long double step = (long double)P.y[l * P.dim + c] - mean[c];
                mean[c] += (P.w[l] / total) * step;
                s += step * step;
            }
            E += P.w[l] * (W / total) * s;
            W = total;
            if (l == 0) {
                best = std::min(best, E);
            } else if (l + 1 <= r) {
                best = std::min(best, F[l - 1] + (long double)P.gamma + E);
            }
        }
        F[r] = best;
    }
    return F;
}

// Uneven weights; values as noise around levels that jump now and then, optionally rounded to
// a coarse grid so that equal values, equal energies and tied partitions are common.
Problem random_problem(std::mt19937_64& rng, std::size_t n, std::size_t dim, bool quantised) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    Problem P;
    P.dim = dim;
    std::vector<double> level(dim, 0.0);
    const double jump_rate = unit(rng) * 0.4;
    for (std::size_t i = 0; i < n; ++i) {
        if (unit(rng) < jump_rate) {
            for (double& v : level) v += 4.0 * normal(rng);
        }
        P.w.push_back(quantised ? double(1 + rng() % 3) : 0.2 + 3.0 * unit(rng));
        for (std::size_t c = 0; c < dim; ++c) {
            const double v = level[c] + normal(rng);
            P.y.push_back(quantised ? std::round(v) : v);
        }
    }
    const double scale = unit(rng);
    P.gamma = scale < 0.1 ? 0.0 : scale * scale * 30.0;
    return P;
}

long double tolerance(long double reference, double gamma) {
    return 1e-9L * (std::abs(reference) + gamma + 1.0L);
}

TEST(PartitionConstant, MatchesBruteForceOverAllPartitions) {
    std::mt19937_64 rng(20261209);
    std::size_t checked = 0;
    for (std::size_t trial = 0; trial < 3000; ++trial) {
        const std::size_t n = 2 + trial % 8;
        const std::size_t dim = 1 + (trial / 8) % 3;
        const Problem P = random_problem(rng, n, dim, trial % 2 == 0);
        const PartitionResult found = vorn::partition_constant(P.view(), P.w, P.gamma);
        const long double best = brute_force(P);
        ASSERT_NEAR((double)found.F[n - 1], (double)best, (double)tolerance(best, P.gamma))
            << "trial " << trial;
        const long double chosen = cost_of(P, starts_of(found));
        ASSERT_NEAR((double)chosen, (double)best, (double)tolerance(best, P.gamma))
            << "trial " << trial;
        ++checked;
    }
    EXPECT_EQ(checked, 3000u);
}

TEST(PartitionConstant, MatchesThePlainDynamicProgramAtEveryEnd) {
    std::mt19937_64 rng(7);
    for (std::size_t trial = 0; trial < 60; ++trial) {
        const std::size_t n = 20 + (trial * 37) % 280;
        const std::size_t dim = 1 + trial % 3;
        const Problem P = random_problem(rng, n, dim, trial % 3 == 0);
        const PartitionResult found = vorn::partition_constant(P.view(), P.w, P.gamma);
        const std::vector<long double> F = plain_dp(P);
        for (std::size_t r = 0; r < n; ++r) {
            ASSERT_NEAR((double)found.F[r], (double)F[r], (double)tolerance(F[r], P.gamma))
                << "trial " << trial << " end " << r;
        }
        const long double chosen = cost_of(P, starts_of(found));
        ASSERT_NEAR((double)chosen, (double)F[n - 1], (double)tolerance(F[n - 1], P.gamma))
            << "trial " << trial;
    }
}

// Far from zero the energies must come from deviations, not from sums of squares.
TEST(PartitionConstant, EnergyKeepsItsDigitsFarFromZero) {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> normal(0.0, 1.0);
    Problem P;
    for (std::size_t i = 0; i < 1000; ++i) {
        P.y.push_back(1e9 + 1e-3 * normal(rng));
        P.w.push_back(1.0 + double(i % 4));
    }
    std::vector<double> level(1);
    const double got = vorn::constant_energy(P.view(), P.w, 0, 999, level);
    const long double want = energy(P, 0, 999);
    EXPECT_NEAR(got, (double)want, 1e-6 * (double)want);
}

// A start survives only while some final level lets it win; on noise without jumps the
// list stays short, where PELT keeps every start (measured: 15 starts at most in one column,
// 109 in two).
TEST(PartitionConstant, FunctionalPruningKeepsFewStartsWithoutJumps) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    // PELT alone keeps all 20,000 starts here.
    for (const auto& [dim, most] : {std::pair<std::size_t, std::uint64_t>{1, 40}, {2, 300}}) {
        Problem P;
        P.dim = dim;
        for (std::size_t i = 0; i < 20000; ++i) {
            P.w.push_back(1.0);
            for (std::size_t c = 0; c < dim; ++c) P.y.push_back(normal(rng));
        }
        P.gamma = 2.0 * double(dim) * std::log(20000.0);
        const PartitionResult found = vorn::partition_constant(P.view(), P.w, P.gamma);
        EXPECT_EQ(starts_of(found).size(), 1u);
        EXPECT_LT(found.stats.max_active, most) << "dim " << dim;
        EXPECT_GT(found.stats.dropped, 0u);
    }
}

TEST(FitConstantCurve, SegmentsCarryTheirWeightedMeansAndJumpsLieHalfway) {
    vorn::PreparedSamples s;
    s.dim = 1;
    s.x = {0.0, 1.0, 2.0, 4.0, 5.0, 6.0};
    s.y = {1.0, 2.0, 3.0, 10.0, 11.0, 13.0};
    s.w = {1.0, 1.0, 2.0, 1.0, 3.0, 1.0};
    for (double w : s.w) s.delta.push_back(std::sqrt(1.0 / w));
    vorn::Checked<vorn::Curve> fitted = vorn::fit_constant_curve(std::move(s), 6.0);
    ASSERT_TRUE(fitted.ok());
    const vorn::Curve& c = fitted.value();
    ASSERT_EQ(c.jumps.size(), 1u);
    EXPECT_EQ(c.jumps[0], 3.0);
    EXPECT_EQ(c.jump_indices[0], 2u);
    EXPECT_EQ(c.form.breaks, (std::vector<double>{-1.0, 3.0, 7.0}));
    EXPECT_DOUBLE_EQ(c.form.coefs[3], 9.0 / 4.0);
    EXPECT_DOUBLE_EQ(c.form.coefs[7], 56.0 / 5.0);
    for (std::size_t k : {0u, 1u, 2u, 4u, 5u, 6u}) EXPECT_EQ(c.form.coefs[k], 0.0);
}

TEST(FitConstantCurve, RefusesANegativeGammaWithTheFitsMessage) {
    vorn::PreparedSamples s;
    s.dim = 1;
    s.x = {0.0, 1.0};
    s.y = {0.0, 1.0};
    s.w = {1.0, 1.0};
    s.delta = {1.0, 1.0};
    vorn::Checked<vorn::Curve> fitted = vorn::fit_constant_curve(std::move(s), -0.5);
    ASSERT_FALSE(fitted.ok());
    EXPECT_EQ(fitted.error().message(), vorn::check_gamma(-0.5)->message());
}

}  // namespace
