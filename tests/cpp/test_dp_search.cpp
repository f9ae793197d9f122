// The dominance search against PELT (same partition, F to rounding), against brute force over
// all partitions, and on the work it saves.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "dp.hpp"
#include "dp_problem.hpp"

namespace {

using vorn::EnergyInputs;
using vorn::MatrixView;
using vorn::PartitionResult;

using Problem = vorn::test::DpProblem;

enum class Shape { noise, jumps, integer_steps, smooth };

// Random sites and deviations; values by shape: plain noise, a smooth curve with level jumps,
// small integers on integer sites (exact ties abound), or a long smooth curve without jumps
// (the starts of its one segment become equal states).
Problem make_problem(std::mt19937_64& rng, std::size_t n, std::size_t dim, double p, bool local,
                     Shape shape) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    Problem P;
    P.dim = dim;
    P.p = p;
    double site = normal(rng);
    std::vector<double> level(dim, 0.0);
    const double noise = shape == Shape::noise ? 1.0 : 0.05 + 0.3 * unit(rng);
    const double period = 5.0 + 40.0 * unit(rng);
    for (std::size_t i = 0; i < n; ++i) {
        if (shape == Shape::integer_steps) {
            P.x.push_back(double(i));
            P.delta.push_back(1.0);
            if (unit(rng) < 0.2) level[0] = double(int(rng() % 5));
            for (std::size_t j = 0; j < dim; ++j) P.y.push_back(level[0] + double(j));
            continue;
        }
        P.x.push_back(site);
        site += 0.2 + 1.6 * unit(rng);
        P.delta.push_back(0.5 + 1.5 * unit(rng));
        if (shape == Shape::jumps && unit(rng) < 0.1) {
            for (double& v : level) v += 6.0 * normal(rng);
        }
        for (std::size_t j = 0; j < dim; ++j) {
            const double smooth = shape == Shape::noise ? 0.0 : 3.0 * std::sin(site / period + double(j));
            P.y.push_back(level[j] + smooth + noise * normal(rng));
        }
    }
    P.derive(local);
    return P;
}

// E(l..e) grown rightward by the library's own single steps.
double segment_energy(const Problem& P, std::size_t l, std::size_t e) {
    if (e <= l + 1) return 0.0;
    std::vector<double> block(vorn::segment_state_size(P.dim));
    const MatrixView y = P.y_view();
    vorn::SegmentState state(block.data(), P.dim);
    vorn::segment_init(state, {l, l + 1, vorn::spacing_powers(P.h[l]), P.a, P.tau[l], P.tau[l + 1]},
                       P.omega[l], P.omega[l + 1], y);
    for (std::size_t k = l + 2; k <= e; ++k) {
        vorn::segment_extend(
            state, {k - 1, k, vorn::spacing_powers(P.h[k - 1]), P.a, P.tau[k - 1], P.tau[k]},
            P.omega[k], y);
    }
    return state.energy();
}

// Cost of the partition of 0..r that the back pointers describe, every segment energy grown
// afresh: an arithmetic independent of either search's bookkeeping, the same for both
// partitions being compared.
double chain_cost(const Problem& P, const PartitionResult& R, std::size_t r, double gamma) {
    double cost = 0.0;
    std::size_t e = r;
    for (;;) {
        const std::size_t s = R.partition[e];
        cost += segment_energy(P, s, e);
        if (s == 0) break;
        cost += gamma;
        e = s - 1;
    }
    return cost;
}

// Rounding scale of the energies up to r: the squared weighted values, which the rotations
// carry before the residual is split off.
double data_scale(const Problem& P, std::size_t r) {
    double s = 0.0;
    for (std::size_t i = 0; i <= r; ++i) {
        for (std::size_t j = 0; j < P.dim; ++j) {
            const double v = P.omega[i] * P.y[i * P.dim + j];
            s += v * v;
        }
    }
    return s;
}

struct Agreement {
    std::size_t near_ties = 0;
    double worst_relative = 0.0;
};

// Same partition as PELT wherever the two are not tied to rounding, and F to rounding. A back
// pointer that differs must belong to a partition costing the same as PELT's up to rounding.
void expect_same_as_pelt(const Problem& P, double gamma, const PartitionResult& got,
                         const PartitionResult& want, const std::string& what,
                         Agreement& agreement) {
    const std::size_t n = P.n();
    ASSERT_EQ(got.partition.size(), n) << what;
    for (std::size_t r = 0; r < n; ++r) {
        const double scale = std::abs(want.F[r]) + 1e-4 * data_scale(P, r);
        const double tolerance = 1e-12 * scale + 1e-300;
        const double difference = std::abs(got.F[r] - want.F[r]);
        ASSERT_LE(difference, tolerance)
            << what << " r " << r << ": F " << got.F[r] << " vs PELT " << want.F[r];
        if (want.F[r] > 1e-8 * scale) {
            agreement.worst_relative = std::max(agreement.worst_relative, difference / want.F[r]);
        }
        if (got.partition[r] == want.partition[r]) continue;
        const double mine = chain_cost(P, got, r, gamma);
        const double theirs = chain_cost(P, want, r, gamma);
        ASSERT_LE(std::abs(mine - theirs), tolerance)
            << what << " r " << r << ": start " << got.partition[r] << " costs " << mine
            << ", PELT's start " << want.partition[r] << " costs " << theirs;
        ++agreement.near_ties;
    }
}

TEST(dp_search, matches_pelt_on_ten_thousand_random_cases) {
    std::mt19937_64 rng(20261209);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Agreement agreement;
    std::uint64_t dropped = 0, extensions = 0, pelt_extensions = 0;
    const Shape shapes[] = {Shape::noise, Shape::jumps, Shape::integer_steps, Shape::smooth};
    for (int trial = 0; trial < 10000; ++trial) {
        const Shape shape = shapes[trial % 4];
        const std::size_t n = shape == Shape::smooth ? 40 + rng() % 160 : 3 + rng() % 50;
        const std::size_t dim = 1 + rng() % 3;
        const double p = std::pow(10.0, -3.0 * unit(rng)) * (0.02 + 0.96 * unit(rng));
        Problem P = make_problem(rng, n, dim, p, trial % 3 == 0, shape);
        const double whole = vorn::prefix_energies(P.inputs())[n - 1];
        const double gamma = trial % 11 == 0 ? 0.0 : whole * std::pow(10.0, -3.0 * unit(rng));
        const PartitionResult want = vorn::partition_pelt(P.inputs(), gamma);
        const PartitionResult got = vorn::partition_dominance(P.inputs(), gamma);
        expect_same_as_pelt(P, gamma, got, want, "trial " + std::to_string(trial), agreement);
        if (HasFatalFailure()) return;
        // Rounding may keep or prune a start PELT prunes or keeps, so the work is compared in
        // total below, not case by case.
        EXPECT_EQ(got.complexity_counter, n + got.stats.extensions);
        dropped += got.stats.dropped;
        extensions += got.stats.extensions;
        pelt_extensions += want.stats.extensions;
    }
    std::printf("near ties %zu, worst relative F difference above the rounding floor %.3g, dropped %llu, extensions %llu "
                "(PELT %llu)\n",
                agreement.near_ties, agreement.worst_relative,
                static_cast<unsigned long long>(dropped),
                static_cast<unsigned long long>(extensions),
                static_cast<unsigned long long>(pelt_extensions));
    // The corpus must exercise the merging it is meant to check.
    EXPECT_GT(dropped, 1000u);
    EXPECT_LT(extensions, pelt_extensions);
}

// The same comparison over the bandwidths a user meets, 1 to 10^4 samples in steps of 2^(1/8)
// (p = 1 / (1 + b^4) at mean spacing 1), on values quantised to steps of 1/4 half of the time so
// that exact ties abound. Dropping a start whose state is only close to another's must never
// change an optimum beyond rounding.
TEST(dp_search, matches_pelt_across_the_bandwidth_sweep) {
    std::mt19937_64 rng(20261221);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Agreement agreement;
    std::uint64_t dropped = 0, extensions = 0, pelt_extensions = 0;
    const Shape shapes[] = {Shape::noise, Shape::jumps, Shape::integer_steps, Shape::smooth};
    for (int trial = 0; trial < 10000; ++trial) {
        const Shape shape = shapes[trial % 4];
        const std::size_t n = 3 + rng() % 200;
        const std::size_t dim = 1 + rng() % 3;
        const double b = std::pow(2.0, double(rng() % 107) / 8.0);
        const double p = 1.0 / (1.0 + std::pow(b, 4.0));
        Problem P = make_problem(rng, n, dim, p, trial % 3 == 0, shape);
        if (trial % 2 == 0) {
            for (double& v : P.y) v = std::round(4.0 * v) / 4.0;
        }
        const double whole = vorn::prefix_energies(P.inputs())[n - 1];
        const double gamma = trial % 13 == 0 ? 0.0 : whole * std::pow(10.0, -4.0 * unit(rng));
        const PartitionResult want = vorn::partition_pelt(P.inputs(), gamma);
        const PartitionResult got = vorn::partition_dominance(P.inputs(), gamma);
        expect_same_as_pelt(P, gamma, got, want,
                            "trial " + std::to_string(trial) + " b " + std::to_string(b),
                            agreement);
        if (HasFatalFailure()) return;
        dropped += got.stats.dropped;
        extensions += got.stats.extensions;
        pelt_extensions += want.stats.extensions;
    }
    std::printf("near ties %zu, worst relative F difference above the rounding floor %.3g, "
                "dropped %llu, extensions %llu (PELT %llu)\n",
                agreement.near_ties, agreement.worst_relative,
                static_cast<unsigned long long>(dropped),
                static_cast<unsigned long long>(extensions),
                static_cast<unsigned long long>(pelt_extensions));
    EXPECT_GT(dropped, 50000u);
}

// Minimum cost over all admissible partitions of 0..r: the first segment may be the single
// sample 0, every later one needs two samples and pays gamma.
double brute_force(const Problem& P, std::size_t r, double gamma) {
    const auto energy = [&](std::size_t l, std::size_t e) { return segment_energy(P, l, e); };
    double best = energy(0, r);
    std::function<void(std::size_t, double)> walk = [&](std::size_t start, double cost) {
        for (std::size_t e = start + 1; e <= r; ++e) {
            const double c = cost + gamma + energy(start, e);
            if (e == r) best = std::min(best, c);
            else walk(e + 1, c);
        }
    };
    for (std::size_t e0 = 0; e0 + 2 <= r; ++e0) walk(e0 + 1, energy(0, e0));
    return best;
}

TEST(dp_search, finds_the_brute_force_minimum) {
    std::mt19937_64 rng(20261210);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const Shape shapes[] = {Shape::noise, Shape::jumps, Shape::integer_steps, Shape::smooth};
    for (std::size_t n = 3; n <= 9; ++n) {
        for (int trial = 0; trial < 40; ++trial) {
            const Problem P = make_problem(rng, n, 1 + rng() % 2, 0.02 + 0.96 * unit(rng),
                                           trial % 2 == 0, shapes[trial % 4]);
            const double whole = vorn::prefix_energies(P.inputs())[n - 1];
            const double gamma = trial % 9 == 0 ? 0.0 : whole * std::pow(10.0, -2.0 * unit(rng));
            const PartitionResult got = vorn::partition_dominance(P.inputs(), gamma);
            for (std::size_t r = 0; r < n; ++r) {
                const double want = brute_force(P, r, gamma);
                const double tolerance = 1e-12 * (std::abs(want) + 1e-4 * data_scale(P, r));
                ASSERT_LE(std::abs(got.F[r] - want), tolerance)
                    << "n " << n << " trial " << trial << " r " << r;
                ASSERT_LE(std::abs(chain_cost(P, got, r, gamma) - want), tolerance)
                    << "n " << n << " trial " << trial << " r " << r << ": its partition";
            }
        }
    }
}

// One long smooth segment on uneven sites: PELT keeps every start, the dominance search keeps a
// bounded list because old starts become equal states, with the very same partition.
TEST(dp_search, long_segments_keep_the_list_short) {
    std::mt19937_64 rng(20261211);
    for (const double p : {0.5, 0.01}) {
        for (const std::size_t dim : {std::size_t{1}, std::size_t{3}}) {
            const std::size_t n = 2000;
            Problem P = make_problem(rng, n, dim, p, false, Shape::smooth);
            const double whole = vorn::prefix_energies(P.inputs())[n - 1];
            const double gamma = 0.5 * whole;
            const PartitionResult want = vorn::partition_pelt(P.inputs(), gamma);
            const PartitionResult got = vorn::partition_dominance(P.inputs(), gamma);
            Agreement agreement;
            expect_same_as_pelt(P, gamma, got, want, "p " + std::to_string(p), agreement);
            EXPECT_EQ(agreement.near_ties, 0u);
            EXPECT_EQ(got.partition, want.partition);
            EXPECT_GT(want.stats.max_active, n - 10);
            EXPECT_LT(got.stats.max_active, 400u) << p << " " << dim;
            EXPECT_LT(got.stats.extensions * 3, want.stats.extensions) << p << " " << dim;
            EXPECT_LE(got.stats.dropped + got.stats.pruned, n - 2);
            EXPECT_GT(got.stats.dropped, n / 2);
            EXPECT_EQ(got.stats.fallback_steps, 0u);
            EXPECT_EQ(got.complexity_counter, n + got.stats.extensions);
        }
    }
}

// Evenly spaced sites at bandwidths of 2, 2.25, 3.5 and 4.76 samples (p = 1 / (1 + b^4)): the
// converged factor cycles through 2 or 6 values that differ in the last bits, so neighbouring
// starts never share a state and only starts a period apart do. The list must still stop
// growing; compared only with its neighbour, every start stayed live (max_active n - 2).
TEST(dp_search, factors_cycling_in_the_last_bits_still_merge) {
    std::mt19937_64 rng(20261221);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (const double b : {2.0, 2.25, 3.5, 4.7568284600108841}) {
        const std::size_t n = 3000;
        Problem P;
        for (std::size_t i = 0; i < n; ++i) {
            P.x.push_back(double(i));
            P.delta.push_back(1.0);
            P.y.push_back(std::sin(2.0 * M_PI * double(i) / 1000.0) + 0.3 * normal(rng));
        }
        P.p = 1.0 / (1.0 + std::pow(b, 4.0));
        P.derive(false);
        const double gamma = 0.5 * vorn::prefix_energies(P.inputs())[n - 1];
        const PartitionResult want = vorn::partition_pelt(P.inputs(), gamma);
        const PartitionResult got = vorn::partition_dominance(P.inputs(), gamma);
        Agreement agreement;
        expect_same_as_pelt(P, gamma, got, want, "b " + std::to_string(b), agreement);
        EXPECT_EQ(got.partition, want.partition) << b;
        EXPECT_LT(got.stats.max_active, 400u) << b;
        EXPECT_GT(got.stats.dropped, n / 2) << b;
        EXPECT_LT(got.stats.extensions, 400 * n) << b;
    }
}

// ---- Straight lines (p = 0) -------------------------------------------------------------------

// E_line(l..e) grown rightward by the library's LineSegment.
double line_energy(const Problem& P, std::size_t l, std::size_t e) {
    if (e <= l + 1) return 0.0;
    const std::vector<double> rows = vorn::line_rows(P.x, P.y_view(), P.delta);
    const std::size_t w = P.dim + 2;
    vorn::LineSegment segment(P.dim);
    segment.start(std::span<const double>(rows).subspan(l * w, w),
                  std::span<const double>(rows).subspan((l + 1) * w, w));
    for (std::size_t k = l + 2; k <= e; ++k) {
        segment.add(std::span<const double>(rows).subspan(k * w, w));
    }
    return segment.energy();
}

double line_chain_cost(const Problem& P, const PartitionResult& R, std::size_t r, double gamma) {
    double cost = 0.0;
    for (std::size_t e = r;;) {
        const std::size_t s = R.partition[e];
        cost += line_energy(P, s, e);
        if (s == 0) return cost;
        cost += gamma;
        e = s - 1;
    }
}

// Rounding scale of the line energies up to r: the squared values over their deviations.
double line_scale(const Problem& P, std::size_t r) {
    double s = 0.0;
    for (std::size_t i = 0; i <= r; ++i) {
        for (std::size_t j = 0; j < P.dim; ++j) {
            const double v = P.y[i * P.dim + j] / P.delta[i];
            s += v * v;
        }
    }
    return s;
}

// partition_line_dominance's result against partition_line's: F to rounding, and a back pointer
// that differs only where re-pricing both partitions shows a tie to rounding.
// Sites far from zero cost digits in proportion to (largest |x| / extent)^2 in both searches,
// which grow their segments in opposite directions.
void expect_same_as_line_search(const Problem& P, double gamma, const PartitionResult& got,
                                const PartitionResult& want, const std::string& what,
                                std::size_t& near_ties) {
    const std::size_t n = P.n();
    ASSERT_EQ(got.partition.size(), n) << what;
    const double far = std::max(std::abs(P.x.front()), std::abs(P.x.back())) /
                       (P.x.back() - P.x.front());
    const double conditioning = std::max(1.0, far * far);
    for (std::size_t r = 0; r < n; ++r) {
        const double tolerance =
            1e-12 * conditioning * (std::abs(want.F[r]) + 1e-4 * line_scale(P, r));
        ASSERT_LE(std::abs(got.F[r] - want.F[r]), tolerance) << what << " r " << r;
        if (got.partition[r] == want.partition[r]) continue;
        const double mine = line_chain_cost(P, got, r, gamma);
        ASSERT_LE(std::abs(mine - line_chain_cost(P, want, r, gamma)), tolerance)
            << what << " r " << r;
        ++near_ties;
    }
}

// partition_line_dominance against partition_line: F to rounding, and every back pointer that
// differs certified as a tie by re-pricing both partitions; brute force over all partitions for
// n <= 9. Half the cases quantise the values to steps of 1/4, so exact ties abound.
TEST(dp_search, lines_match_the_quadratic_line_search_and_brute_force) {
    std::mt19937_64 rng(20261222);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const Shape shapes[] = {Shape::noise, Shape::jumps, Shape::integer_steps, Shape::smooth};
    std::size_t near_ties = 0;
    std::uint64_t dropped = 0;
    for (int trial = 0; trial < 10000; ++trial) {
        const Shape shape = shapes[trial % 4];
        const std::size_t n = trial < 2000 ? 3 + rng() % 7 : 3 + rng() % 150;
        Problem P = make_problem(rng, n, 1 + rng() % 3, 0.5, false, shape);
        if (trial % 2 == 0) {
            for (double& v : P.y) v = std::round(4.0 * v) / 4.0;
        }
        const MatrixView y = P.y_view();
        const double whole = line_energy(P, 0, n - 1);
        const double gamma = trial % 13 == 0 ? 0.0 : whole * std::pow(10.0, -4.0 * unit(rng));
        const PartitionResult want = vorn::partition_line(P.x, y, P.delta, gamma);
        const PartitionResult got = vorn::partition_line_dominance(P.x, y, P.delta, gamma);
        expect_same_as_line_search(P, gamma, got, want, "trial " + std::to_string(trial),
                                   near_ties);
        if (HasFatalFailure()) return;
        for (std::size_t r = 0; n <= 9 && r < n; ++r) {
            const double tolerance = 1e-12 * (std::abs(want.F[r]) + 1e-4 * line_scale(P, r));
            double best = line_energy(P, 0, r);
            std::function<void(std::size_t, double)> walk = [&](std::size_t start, double c) {
                for (std::size_t e = start + 1; e <= r; ++e) {
                    const double total = c + gamma + line_energy(P, start, e);
                    if (e == r) best = std::min(best, total);
                    else walk(e + 1, total);
                }
            };
            for (std::size_t e0 = 0; e0 + 2 <= r; ++e0) walk(e0 + 1, line_energy(P, 0, e0));
            ASSERT_LE(std::abs(got.F[r] - best), tolerance) << "trial " << trial << " r " << r;
        }
        dropped += got.stats.dropped;
    }
    std::printf("lines: near ties %zu, dropped %llu\n", near_ties,
                static_cast<unsigned long long>(dropped));
    EXPECT_GT(dropped, 10000u);
}

// Sites far from zero make the (1, x) factors ill-conditioned, where M = R_m R_l^-1 and the
// curvature 1 - a s_k lose the most digits; long noisy lines with rare jumps keep many starts
// alive and close to each other for long, where the certificates are narrowest.
TEST(dp_search, lines_far_from_the_origin_and_long_lines_match_the_quadratic_search) {
    std::mt19937_64 rng(20261209);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::size_t near_ties = 0;
    std::uint64_t dropped = 0;
    for (int trial = 0; trial < 600; ++trial) {
        const double origin = trial % 3 == 0 ? 0.0 : std::pow(10.0, 1.0 + 3.0 * unit(rng));
        const std::size_t n = 50 + rng() % 400;
        const std::size_t dim = 1 + rng() % 3;
        Problem P;
        P.dim = dim;
        std::vector<double> level(dim, 0.0);
        const double slope = normal(rng) / double(n);
        double site = origin;
        for (std::size_t i = 0; i < n; ++i) {
            P.x.push_back(site);
            site += 0.2 + 1.6 * unit(rng);
            P.delta.push_back(0.5 + 1.5 * unit(rng));
            if (unit(rng) < 0.005) {
                for (double& v : level) v += 4.0 * normal(rng);
            }
            for (std::size_t j = 0; j < dim; ++j) {
                P.y.push_back(level[j] + slope * (P.x[i] - origin) + normal(rng));
            }
        }
        if (trial % 2 == 0) {
            for (double& v : P.y) v = std::round(4.0 * v) / 4.0;
        }
        const double gamma = (2.0 + 40.0 * unit(rng)) * double(dim);
        const PartitionResult want = vorn::partition_line(P.x, P.y_view(), P.delta, gamma);
        const PartitionResult got = vorn::partition_line_dominance(P.x, P.y_view(), P.delta, gamma);
        expect_same_as_line_search(P, gamma, got, want, "trial " + std::to_string(trial),
                                   near_ties);
        if (HasFatalFailure()) return;
        dropped += got.stats.dropped;
    }
    std::printf("far lines: near ties %zu, dropped %llu\n", near_ties,
                static_cast<unsigned long long>(dropped));
    EXPECT_GT(dropped, 50000u);
}

// One long noisy line: partition_line regrows every segment from each end (n^2 / 2 extensions);
// the rightward search drops most starts with the very same partition. Its list still grows
// with n (pairwise certificates are narrow on a line without jumps: every set involved passes
// close to the whole prefix's line), so the work is compared as a ratio.
TEST(dp_search, one_long_line_drops_most_starts) {
    std::mt19937_64 rng(20261223);
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::size_t n = 4000;
    Problem P;
    for (std::size_t i = 0; i < n; ++i) {
        P.x.push_back(double(i) + 0.3 * normal(rng));
        P.delta.push_back(1.0);
        P.y.push_back(0.01 * double(i) + normal(rng));
    }
    std::sort(P.x.begin(), P.x.end());
    const double gamma = 30.0;
    const PartitionResult want = vorn::partition_line(P.x, P.y_view(), P.delta, gamma);
    const PartitionResult got = vorn::partition_line_dominance(P.x, P.y_view(), P.delta, gamma);
    EXPECT_EQ(got.partition, want.partition);
    EXPECT_EQ(want.stats.max_active, n - 2);
    EXPECT_LT(got.stats.max_active, n / 10);
    EXPECT_LT(got.stats.extensions * 15, want.stats.extensions);
}

// Weights too small to square: every step goes through the extension's own arithmetic, so the
// values of the surviving starts are PELT's bit for bit.
TEST(dp_search, steps_beyond_the_safe_range_fall_back_to_the_extension_arithmetic) {
    std::mt19937_64 rng(20261212);
    for (int trial = 0; trial < 20; ++trial) {
        const std::size_t n = 5 + rng() % 60;
        Problem P = make_problem(rng, n, 1 + rng() % 2, 0.3, trial % 2 == 0, Shape::jumps);
        for (double& d : P.delta) d *= 1e170;
        for (double& v : P.y) v *= 1e170;
        P.derive(trial % 2 == 0);
        const double whole = vorn::prefix_energies(P.inputs())[n - 1];
        const double gamma = 0.05 * whole;
        const PartitionResult want = vorn::partition_pelt(P.inputs(), gamma);
        const PartitionResult got = vorn::partition_dominance(P.inputs(), gamma);
        EXPECT_EQ(got.stats.fallback_steps, got.stats.extensions > 0 ? n - 3 : 0u) << trial;
        ASSERT_EQ(got.partition, want.partition) << trial;
        for (std::size_t r = 0; r < n; ++r) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got.F[r]), std::bit_cast<std::uint64_t>(want.F[r]))
                << trial << " r " << r;
        }
    }
}

// Zero weights (samples without influence) and spacings over many decades: single steps fall
// back, the others take the vectorised path, and the two mix within one search.
TEST(dp_search, mixed_fallback_and_vector_steps_match_pelt) {
    std::mt19937_64 rng(20261214);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Agreement agreement;
    std::uint64_t fallback = 0, vector_steps = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t n = 5 + rng() % 80;
        Problem P = make_problem(rng, n, 1 + rng() % 3, 0.05 + 0.9 * unit(rng), trial % 2 == 0,
                                 Shape::jumps);
        const std::vector<double> spacing = P.h;
        for (std::size_t i = 0; i + 1 < n; ++i) {
            const double s = unit(rng) < 0.2 ? std::pow(10.0, -6.0 + 9.0 * unit(rng)) : spacing[i];
            P.x[i + 1] = P.x[i] + s;
        }
        P.derive(trial % 2 == 0);
        for (std::size_t i = 0; i < n; ++i) {
            if (unit(rng) < 0.1) P.omega[i] = 0.0;
        }
        const double whole = vorn::prefix_energies(P.inputs())[n - 1];
        const double gamma = whole * std::pow(10.0, -3.0 * unit(rng));
        const PartitionResult want = vorn::partition_pelt(P.inputs(), gamma);
        const PartitionResult got = vorn::partition_dominance(P.inputs(), gamma);
        expect_same_as_pelt(P, gamma, got, want, "trial " + std::to_string(trial), agreement);
        if (HasFatalFailure()) return;
        fallback += got.stats.fallback_steps;
        vector_steps += n - 2 - got.stats.fallback_steps;
    }
    EXPECT_GT(fallback, 100u);
    EXPECT_GT(vector_steps, 1000u);
}

TEST(dp_search, ties_keep_the_whole_prefix_then_the_larger_start) {
    const Problem P = vorn::test::tie_problem();
    const auto E = vorn::prefix_energies(P.inputs());
    const PartitionResult tied = vorn::partition_dominance(P.inputs(), E[3]);
    EXPECT_EQ(tied.partition[3], 0u);
    EXPECT_EQ(tied.F[3], E[3]);
    // Every zero-energy segment J..r costs 0 with gamma = 0: the largest start wins.
    const PartitionResult zero = vorn::partition_dominance(P.inputs(), 0.0);
    EXPECT_EQ(zero.partition[3], 2u);
    EXPECT_EQ(zero.partition[6], 5u);
    for (const double f : zero.F) EXPECT_EQ(std::bit_cast<std::uint64_t>(f), 0u);
}

// ---- Cancellation -----------------------------------------------------------------------------

struct Asker {
    int questions = 0;
    int stop_at = 0;  // 0: never
    static bool poll(void* self) {
        auto* a = static_cast<Asker*>(self);
        ++a->questions;
        return a->stop_at != 0 && a->questions >= a->stop_at;
    }
};

using Search = std::function<PartitionResult(const Problem&, double, const vorn::CancelHook&)>;

std::vector<std::pair<std::string, Search>> all_searches() {
    return {
        {"FPVI", [](const Problem& P, double g, const vorn::CancelHook& c) {
             return vorn::partition_fpvi(P.inputs(), g, c);
         }},
        {"PELT", [](const Problem& P, double g, const vorn::CancelHook& c) {
             return vorn::partition_pelt(P.inputs(), g, c);
         }},
        {"dominance", [](const Problem& P, double g, const vorn::CancelHook& c) {
             return vorn::partition_dominance(P.inputs(), g, c);
         }},
        {"line", [](const Problem& P, double g, const vorn::CancelHook& c) {
             return vorn::partition_line(P.x, P.y_view(), P.delta, g, c);
         }},
    };
}

TEST(dp_search, every_search_stops_when_its_hook_says_so_and_is_unchanged_otherwise) {
    std::mt19937_64 rng(20261215);
    const Problem P = make_problem(rng, 400, 2, 0.5, false, Shape::jumps);
    const double gamma = 1e-3 * vorn::prefix_energies(P.inputs())[399];
    for (const auto& [name, search] : all_searches()) {
        const PartitionResult plain = search(P, gamma, vorn::CancelHook());

        Asker patient;
        const PartitionResult asked = search(P, gamma, vorn::CancelHook(Asker::poll, &patient, 1));
        EXPECT_GT(patient.questions, 0) << name;
        ASSERT_EQ(asked.F.size(), plain.F.size()) << name;
        for (std::size_t r = 0; r < plain.F.size(); ++r) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(asked.F[r]),
                      std::bit_cast<std::uint64_t>(plain.F[r]))
                << name << " r " << r;
        }
        EXPECT_EQ(asked.partition, plain.partition) << name;
        EXPECT_EQ(asked.complexity_counter, plain.complexity_counter) << name;

        Asker impatient;
        impatient.stop_at = 3;
        EXPECT_THROW(search(P, gamma, vorn::CancelHook(Asker::poll, &impatient, 1)),
                     vorn::Cancelled)
            << name;
        EXPECT_EQ(impatient.questions, 3) << name;
    }
}

// Units that cost more than the stride assumed shrink it, so that questions keep coming every
// few milliseconds. Here each tick of 2^16 units takes at least 2 ms, so the first stride
// (2^20 units, 16 ticks) puts at least 32 ms between two questions, and the hook halves it.
TEST(dp_search, the_hook_asks_every_few_milliseconds_whatever_a_unit_costs) {
    Asker asker;
    const vorn::CancelHook hook(Asker::poll, &asker, 1u << 20);
    std::vector<int> asked_at;
    for (int tick = 1; asker.questions < 4; ++tick) {
        const auto unit_start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - unit_start < std::chrono::milliseconds(2)) {
        }
        const int before = asker.questions;
        hook.tick(1u << 16);
        if (asker.questions != before) asked_at.push_back(tick);
    }
    ASSERT_EQ(asked_at.size(), 4u);
    EXPECT_EQ(asked_at[0], 16);
    EXPECT_EQ(asked_at[1] - asked_at[0], 16);  // no interval measured before the first question
    EXPECT_LE(asked_at[2] - asked_at[1], 8);
    EXPECT_LE(asked_at[3] - asked_at[2], 8);
}

TEST(dp_search, small_inputs_and_large_penalties_need_no_search) {
    std::mt19937_64 rng(20261213);
    for (const std::size_t n : {std::size_t{2}, std::size_t{3}, std::size_t{30}}) {
        const Problem P = make_problem(rng, n, 2, 0.5, false, Shape::noise);
        const auto E = vorn::prefix_energies(P.inputs());
        const PartitionResult got = vorn::partition_dominance(P.inputs(), E[n - 1]);
        EXPECT_EQ(got.F, E);
        EXPECT_EQ(got.partition, std::vector<std::uint64_t>(n, 0));
        EXPECT_EQ(got.complexity_counter, n);
        EXPECT_EQ(got.stats.extensions, 0u);
    }
}

}  // namespace
