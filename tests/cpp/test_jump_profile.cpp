#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "dp.hpp"
#include "jump_profile.hpp"
#include "support.hpp"

namespace {

using vorn::JumpProfileInputs;
using vorn::MatrixView;

struct Samples {
    std::vector<double> x, y, w;
    std::size_t dim;
};

// Uneven sites, a step at sample 14 and 27, random weights.
Samples samples(std::size_t n, std::size_t dim, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> gap(0.2, 1.8), weight(0.5, 3.0);
    std::normal_distribution<double> noise(0.0, 0.3);
    Samples s{std::vector<double>(n), std::vector<double>(n * dim), std::vector<double>(n), dim};
    double site = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        site += gap(rng);
        s.x[i] = site;
        s.w[i] = weight(rng);
        const double level = (i > 14 ? 2.0 : 0.0) + (i > 27 ? -1.5 : 0.0);
        for (std::size_t j = 0; j < dim; ++j) {
            s.y[i * dim + j] = level + std::sin(0.3 * site + static_cast<double>(j)) + noise(rng);
        }
    }
    return s;
}

// E(first..last) as the searches compute it: a rightward pass over those samples alone.
double run_energy(const Samples& s, double p, std::size_t first, std::size_t last) {
    const std::size_t count = last - first + 1;
    if (count < 3) return 0.0;
    const MatrixView y = MatrixView::row_major(s.y.data() + first * s.dim, count, s.dim);
    if (p == 0.0) {
        std::vector<double> x(s.x.begin() + static_cast<std::ptrdiff_t>(first),
                              s.x.begin() + static_cast<std::ptrdiff_t>(last + 1));
        std::vector<double> delta(count);
        for (std::size_t i = 0; i < count; ++i) delta[i] = std::sqrt(1.0 / s.w[first + i]);
        return vorn::line_prefix_energies(vorn::line_rows(x, y, delta), s.dim).back();
    }
    std::vector<double> h(count - 1), omega(count), tau(count, 1.0);
    for (std::size_t i = 0; i < count; ++i) {
        omega[i] = std::sqrt(p) / std::sqrt(1.0 / s.w[first + i]);
        if (i + 1 < count) h[i] = s.x[first + i + 1] - s.x[first + i];
    }
    return vorn::prefix_energies({y, h, omega, tau, std::sqrt(1.0 - p)}).back();
}

class JumpProfile : public ::testing::TestWithParam<std::tuple<double, bool, std::size_t>> {};

TEST_P(JumpProfile, costs_are_the_energies_of_the_two_parts_of_every_split) {
    const auto [p, local, dim] = GetParam();
    const Samples s = samples(40, dim, 7);
    const JumpProfileInputs in{s.x, MatrixView::row_major(s.y.data(), 40, dim), s.w, p, local};
    const std::vector<std::uint64_t> jumps{14, 27};
    const std::vector<double> thresholds{2.0, 0.5};
    const vorn::JumpProfiles got = vorn::jump_profiles(in, jumps, thresholds, true);

    const std::size_t firsts[] = {0, 15};
    const std::size_t lasts[] = {27, 39};
    for (std::size_t j = 0; j < 2; ++j) {
        EXPECT_EQ(got.first[j], firsts[j]);
        EXPECT_EQ(got.last[j], lasts[j]);
        const double merged = run_energy(s, p, firsts[j], lasts[j]);
        EXPECT_NEAR(got.merged[j], merged, 1e-9 * merged);

        const std::size_t lowest = firsts[j] == 0 ? 0 : firsts[j] + 1;
        const std::size_t highest = lasts[j] - 2;
        ASSERT_EQ(got.profile_offset[j + 1] - got.profile_offset[j], highest - lowest + 1);
        double best = INFINITY;
        std::vector<double> want;
        for (std::size_t split = lowest; split <= highest; ++split) {
            want.push_back(run_energy(s, p, firsts[j], split) +
                           run_energy(s, p, split + 1, lasts[j]));
            best = std::min(best, want.back());
            const double cost = got.profile[got.profile_offset[j] + split - lowest];
            EXPECT_NEAR(cost, want.back(), 1e-9 * merged) << "jump " << j << " split " << split;
        }
        EXPECT_NEAR(got.best[j], best, 1e-9 * merged);
        EXPECT_EQ(got.at_fit[j], got.profile[got.profile_offset[j] + jumps[j] - lowest]);
        std::size_t low = highest, high = lowest;
        for (std::size_t split = lowest; split <= highest; ++split) {
            if (want[split - lowest] - best <= thresholds[j]) {
                low = std::min(low, split);
                high = std::max(high, split);
            }
        }
        EXPECT_EQ(got.low[j], low);
        EXPECT_EQ(got.high[j], high);
        EXPECT_LE(got.low[j], got.best_split[j]);
        EXPECT_GE(got.high[j], got.best_split[j]);
    }
}

INSTANTIATE_TEST_SUITE_P(jump_profile, JumpProfile,
                         ::testing::Values(std::make_tuple(0.6, false, std::size_t{1}),
                                           std::make_tuple(0.6, true, std::size_t{2}),
                                           std::make_tuple(0.999, false, std::size_t{3}),
                                           std::make_tuple(0.0, false, std::size_t{2})));

TEST(jump_profile, a_profile_is_kept_only_when_asked_for) {
    const Samples s = samples(40, 1, 3);
    const JumpProfileInputs in{s.x, MatrixView::row_major(s.y.data(), 40, 1), {}, 0.5, false};
    const std::vector<std::uint64_t> jumps{14};
    const std::vector<double> thresholds{1.0};
    const vorn::JumpProfiles without = vorn::jump_profiles(in, jumps, thresholds, false);
    const vorn::JumpProfiles with = vorn::jump_profiles(in, jumps, thresholds, true);
    EXPECT_TRUE(without.profile.empty());
    EXPECT_TRUE(without.profile_offset.empty());
    EXPECT_EQ(with.profile.size(), 38u);
    EXPECT_EQ(without.low, with.low);
    EXPECT_EQ(without.high, with.high);
}

TEST(jump_profile, broken_contracts_are_internal_failures) {
    const Samples s = samples(20, 1, 5);
    const JumpProfileInputs in{s.x, MatrixView::row_major(s.y.data(), 20, 1), {}, 0.5, false};
    const std::vector<double> two{1.0, 1.0};
    const auto call = [&](std::vector<std::uint64_t> jumps, std::vector<double> thresholds) {
        return [=] { vorn::jump_profiles(in, jumps, thresholds, false); };
    };
    vorn::test::expect_assertion(call({5, 6}, two),
                                 "jumps must ascend with two samples between them");
    vorn::test::expect_assertion(call({5, 18}, two), "a jump needs two samples after it");
    vorn::test::expect_assertion(call({5}, two), "one threshold per jump");
    EXPECT_EQ(vorn::test::assertion_message(call({}, {})), vorn::test::no_assertion);
}

}  // namespace

namespace {

// The smooth saving is the searches' own energies of the returned smooth: merged window less
// its two parts at the cheapest split; a straight line, which the spline reproduces, saves 0.
TEST(jump_profile, smooth_saving_is_the_search_energies_of_the_smooth) {
    for (const double reach : {vorn::default_smooth_reach, 0.5}) {
        const Samples s = samples(40, 2, 11);
        const JumpProfileInputs in{s.x, MatrixView::row_major(s.y.data(), 40, 2), s.w, 0.9, true};
        const std::vector<std::uint64_t> jumps{14, 27};
        const std::vector<double> thresholds{0.0, 0.0};
        const vorn::JumpProfiles got =
            vorn::jump_profiles(in, jumps, thresholds, false, reach, true);
        for (std::size_t j = 0; j < 2; ++j) {
            const std::size_t lo = got.smooth_first[j];
            const std::size_t rows = got.smooth_offset[j + 1] - got.smooth_offset[j];
            const auto from = [](const std::vector<double>& v, std::size_t a, std::size_t b) {
                return std::vector<double>(v.begin() + static_cast<std::ptrdiff_t>(a),
                                           v.begin() + static_cast<std::ptrdiff_t>(b));
            };
            const Samples smooth{from(s.x, lo, lo + rows),
                                 from(got.smooth, 2 * got.smooth_offset[j],
                                      2 * got.smooth_offset[j + 1]),
                                 from(s.w, lo, lo + rows), 2};
            const std::size_t split = got.best_split[j] - lo;
            const double want = run_energy(smooth, 0.9, 0, rows - 1) -
                                run_energy(smooth, 0.9, 0, split) -
                                run_energy(smooth, 0.9, split + 1, rows - 1);
            EXPECT_GT(want, 0.0);
            EXPECT_NEAR(got.smooth_saving[j], want, 1e-9 * got.merged[j]);
            if (reach < 1.0) {
                EXPECT_LT(rows, got.last[j] - got.first[j] + 1);
            }
        }
    }
    Samples line = samples(40, 1, 3);
    for (std::size_t i = 0; i < 40; ++i) line.y[i] = 2.0 - 0.5 * line.x[i];
    const JumpProfileInputs in{line.x, MatrixView::row_major(line.y.data(), 40, 1), line.w, 0.9,
                               false};
    const vorn::JumpProfiles got = vorn::jump_profiles(in, std::vector<std::uint64_t>{14, 27},
                                                       std::vector<double>{0.0, 0.0}, false);
    for (const double saving : got.smooth_saving) EXPECT_NEAR(saving, 0.0, 1e-12);
}

}  // namespace
