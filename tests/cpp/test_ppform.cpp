#include "ppform.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "failure.hpp"
#include "support.hpp"

namespace {

using vorn::PpForm;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

PpForm make(std::vector<double> breaks, std::vector<double> coefs, std::size_t dim,
            std::size_t order) {
    PpForm f;
    f.breaks.assign(breaks.begin(), breaks.end());
    f.coefs.assign(coefs.begin(), coefs.end());
    f.dim = dim;
    f.order = order;
    return f;
}

// Small integer coefficients keep every evaluation at dyadic sites exact.
PpForm random_form(std::mt19937_64& rng, std::vector<double> breaks, std::size_t dim,
                   std::size_t order) {
    std::uniform_int_distribution<int> coef(-5, 5);
    std::vector<double> c((breaks.size() - 1) * dim * order);
    for (double& v : c) v = coef(rng);
    return make(std::move(breaks), std::move(c), dim, order);
}

std::size_t brute_locate(std::span<const double> b, double x) {
    if (b.size() < 2 || !(x > b[0])) return 0;
    if (x >= b.back()) return b.size() - 2;
    std::size_t best = 0;
    for (std::size_t i = 0; i + 1 < b.size(); ++i) {
        if (b[i] <= x) best = i;
    }
    return best;
}

// Power-sum evaluation of piece i, dimension d, and of its derivative.
double power_sum(const PpForm& f, std::size_t i, std::size_t d, double t, bool derivative) {
    const double* c = f.coefs.data() + (i * f.dim + d) * f.order;
    double sum = 0.0;
    for (std::size_t k = 0; k < f.order; ++k) {
        const auto power = static_cast<int>(f.order - 1 - k);
        if (!derivative) {
            sum += c[k] * std::pow(t, power);
        } else if (power > 0) {
            sum += c[k] * power * std::pow(t, power - 1);
        }
    }
    return sum;
}

using vorn::test::assertion_message;

const char* const kExtendMessage =
    "assertion failed: l <= self.breaks[0] && *self.breaks.last().unwrap() <= r";

// ---------------------------------------------------------------- locate

TEST(ppform, locate_at_inner_break) {
    const PpForm f = make({0, 1, 2, 3}, std::vector<double>(3 * 4, 0.0), 1, 4);
    const std::vector<std::pair<double, std::size_t>> cases{
        {1.0, 1}, {2.0, 2}, {0.0, 0}, {0.5, 0},  {1.5, 1}, {2.999, 2},
        {3.0, 2}, {7.0, 2}, {-4., 0}, {kNaN, 0}, {kInf, 2}, {-kInf, 0}};
    for (const auto& [site, piece] : cases) EXPECT_EQ(vorn::locate(f, site), piece) << site;
}

TEST(ppform, locate_with_repeated_breaks_matches_brute_force) {
    std::mt19937_64 rng(3);
    std::uniform_int_distribution<int> pool(0, 6), count(0, 14);
    for (int trial = 0; trial < 500; ++trial) {
        std::vector<double> b(static_cast<std::size_t>(count(rng)));
        for (double& v : b) v = pool(rng);
        std::sort(b.begin(), b.end());
        const PpForm f = make(b, {}, 0, 4);
        for (int s = -2; s <= 16; ++s) {
            const double site = 0.5 * s;
            EXPECT_EQ(vorn::locate(f, site), brute_locate(b, site)) << trial << " " << site;
        }
        EXPECT_EQ(vorn::locate(f, kNaN), 0u);
    }
    // Zero-length pieces in the middle and at both ends.
    const PpForm z = make({0, 0, 1, 1, 1, 2, 2}, {}, 0, 4);
    EXPECT_EQ(vorn::locate(z, 0.0), 0u);
    EXPECT_EQ(vorn::locate(z, 0.5), 1u);
    EXPECT_EQ(vorn::locate(z, 1.0), 4u);
    EXPECT_EQ(vorn::locate(z, 2.0), 5u);
}

// ---------------------------------------------------------------- evaluation

TEST(ppform, eval_and_deriv_match_power_sums) {
    std::mt19937_64 rng(11);
    for (std::size_t order = 1; order <= 4; ++order) {
        for (std::size_t dim : {1u, 3u}) {
            const PpForm f = random_form(rng, {-1, 0.5, 2, 4}, dim, order);
            for (int s = -12; s <= 24; ++s) {
                const double site = 0.25 * s;
                const std::size_t i = brute_locate(f.breaks, site);
                const double t = site - f.breaks[i];
                const auto v = vorn::eval_at(f, site);
                const auto dv = vorn::deriv_at(f, site);
                ASSERT_EQ(v.size(), dim);
                ASSERT_EQ(dv.size(), dim);
                for (std::size_t d = 0; d < dim; ++d) {
                    EXPECT_EQ(v[d], power_sum(f, i, d, t, false)) << order << " " << site;
                    EXPECT_EQ(dv[d], power_sum(f, i, d, t, true)) << order << " " << site;
                }
            }
        }
    }
}

TEST(ppform, hand_computed_cubic) {
    // Piece 0: t^3 - 2t + 1 on [0, 1]; piece 1: 2t^2 + 3 on [1, 3]. Second dimension: 4 and t.
    const PpForm f = make({0, 1, 3}, {1, 0, -2, 1, 0, 0, 0, 4, 0, 2, 0, 3, 0, 0, 1, 0}, 2, 4);
    EXPECT_EQ(vorn::eval_at(f, 0.5), (std::vector<double>{0.125, 4}));
    EXPECT_EQ(vorn::deriv_at(f, 0.5), (std::vector<double>{-1.25, 0}));
    EXPECT_EQ(vorn::eval_at(f, 1.0), (std::vector<double>{3, 0}));
    EXPECT_EQ(vorn::deriv_at(f, 2.0), (std::vector<double>{4, 1}));
    EXPECT_EQ(vorn::eval_at(f, -1.0), (std::vector<double>{2, 4}));   // extrapolated piece 0
    EXPECT_EQ(vorn::eval_at(f, 4.0), (std::vector<double>{21, 3}));   // extrapolated piece 1
}

TEST(ppform, deriv_of_low_orders) {
    const PpForm line = make({0, 1, 2}, {3, 1, -2, 5}, 1, 2);
    EXPECT_EQ(vorn::deriv_at(line, 0.5), std::vector<double>{3});
    EXPECT_EQ(vorn::deriv_at(line, 1.5), std::vector<double>{-2});
    const PpForm constant = make({0, 1}, {7}, 1, 1);
    EXPECT_EQ(vorn::deriv_at(constant, 0.5), std::vector<double>{0});
    EXPECT_EQ(vorn::eval_at(constant, 9.0), std::vector<double>{7});
}

TEST(ppform, eval_sites_rows_match_eval_at) {
    std::mt19937_64 rng(5);
    const PpForm f = random_form(rng, {0, 1, 1, 2.5, 4}, 2, 4);
    const std::vector<double> sites{3.0, -1.0, 1.0, 1.0, 0.0, 4.0, 5.5, 2.5, 0.75};
    const auto out = vorn::eval_sites(f, sites);
    ASSERT_EQ(out.size(), sites.size() * 2);
    for (std::size_t k = 0; k < sites.size(); ++k) {
        const auto v = vorn::eval_at(f, sites[k]);
        EXPECT_EQ(out[2 * k], v[0]) << k;
        EXPECT_EQ(out[2 * k + 1], v[1]) << k;
    }
    EXPECT_TRUE(vorn::eval_sites(f, {}).empty());
}

TEST(ppform, forms_without_pieces_evaluate_to_zero) {
    const std::vector<double> sites{0.0, 1.0, kNaN};
    for (const PpForm& f : {make({}, {}, 2, 4), make({1.0}, {}, 2, 4)}) {
        EXPECT_EQ(vorn::eval_sites(f, sites), std::vector<double>(6, 0.0));
        EXPECT_EQ(vorn::eval_at(f, 1.0), std::vector<double>(2, 0.0));
        EXPECT_EQ(vorn::deriv_at(f, 1.0), std::vector<double>(2, 0.0));
    }
}

// ---------------------------------------------------------------- raise_to_cubic

TEST(ppform, raise_to_cubic_right_aligns) {
    PpForm line = make({0, 1, 2}, {3, 1, -2, 5}, 1, 2);
    vorn::raise_to_cubic(line);
    EXPECT_EQ(line.order, 4u);
    EXPECT_EQ(line.coefs, (std::vector<double>{0, 0, 3, 1, 0, 0, -2, 5}));

    PpForm quad = make({0, 1}, {1, 2, 3, 4, 5, 6}, 2, 3);
    vorn::raise_to_cubic(quad);
    EXPECT_EQ(quad.coefs, (std::vector<double>{0, 1, 2, 3, 0, 4, 5, 6}));

    std::mt19937_64 rng(8);
    const PpForm cubic = random_form(rng, {0, 1, 3}, 2, 4);
    PpForm same = cubic;
    vorn::raise_to_cubic(same);
    EXPECT_EQ(same.coefs, cubic.coefs);
    EXPECT_EQ(same.order, 4u);
}

// ---------------------------------------------------------------- extend_to

TEST(ppform, extend_to_continues_value_and_slope) {
    std::mt19937_64 rng(21);
    const PpForm original = random_form(rng, {0.5, 1, 2, 3.5}, 2, 4);
    PpForm f = original;
    const double l = -1.25, r = 6.0;
    vorn::extend_to(f, l, r);
    ASSERT_EQ(f.breaks, (std::vector<double>{l, 0.5, 1, 2, 3.5, r}));
    ASSERT_EQ(f.coefs.size(), 5u * 2 * 4);
    EXPECT_EQ(f.order, 4u);
    EXPECT_EQ(f.dim, 2u);

    const auto v0 = vorn::eval_at(original, 0.5), s0 = vorn::deriv_at(original, 0.5);
    const auto v1 = vorn::eval_at(original, 3.5), s1 = vorn::deriv_at(original, 3.5);
    for (std::size_t d = 0; d < 2; ++d) {
        // Piece 0 reaches b0 with the original's value and slope.
        EXPECT_NEAR(power_sum(f, 0, d, 0.5 - l, false), v0[d], 1e-12 * (1 + std::fabs(v0[d])));
        EXPECT_EQ(power_sum(f, 0, d, 0.5 - l, true), s0[d]);
        EXPECT_EQ(vorn::deriv_at(f, 0.5)[d], s0[d]);
        // The last piece starts at the last break with its value and slope.
        EXPECT_EQ(vorn::eval_at(f, 3.5)[d], v1[d]);
        EXPECT_EQ(vorn::deriv_at(f, 3.5)[d], s1[d]);
        // Straight lines beyond, including past the new bounds.
        for (double x : {-3.0, -1.25, 0.0, 0.25}) {
            EXPECT_NEAR(vorn::eval_at(f, x)[d], v0[d] + s0[d] * (x - 0.5), 1e-12 * (1 + std::fabs(v0[d])));
            EXPECT_EQ(vorn::deriv_at(f, x)[d], s0[d]);
        }
        for (double x : {3.75, 6.0, 9.0}) {
            EXPECT_EQ(vorn::eval_at(f, x)[d], v1[d] + s1[d] * (x - 3.5));
            EXPECT_EQ(vorn::deriv_at(f, x)[d], s1[d]);
        }
    }
    // Inside the old breaks nothing changes.
    for (double x : {0.5, 0.75, 1.0, 1.5, 2.0, 3.0, 3.25}) {
        EXPECT_EQ(vorn::eval_at(f, x), vorn::eval_at(original, x)) << x;
    }
}

TEST(ppform, extend_to_at_the_end_breaks_adds_zero_length_pieces) {
    std::mt19937_64 rng(4);
    const PpForm original = random_form(rng, {0, 1, 2}, 1, 4);
    PpForm f = original;
    vorn::extend_to(f, 0.0, 2.0);
    EXPECT_EQ(f.breaks, (std::vector<double>{0, 0, 1, 2, 2}));
    EXPECT_EQ(vorn::locate(f, 0.0), 0u);
    for (double x : {0.0, 0.25, 1.0, 1.5, 2.0}) {
        EXPECT_EQ(vorn::eval_at(f, x), vorn::eval_at(original, x)) << x;
    }
}

TEST(ppform, extend_to_raises_low_orders) {
    PpForm f = make({0, 2}, {3, 1}, 1, 2);  // 3t + 1
    vorn::extend_to(f, -1, 4);
    EXPECT_EQ(f.order, 4u);
    EXPECT_EQ(f.coefs, (std::vector<double>{0, 0, 3, -2, 0, 0, 3, 1, 0, 0, 3, 7}));
}

TEST(ppform, extend_to_rejects_bad_bounds) {
    const PpForm base = make({0, 1, 2}, std::vector<double>(8, 1.0), 1, 4);
    const std::vector<std::pair<double, double>> bounds{
        {0.5, 3}, {-1, 1.5}, {kNaN, 3}, {-1, kNaN}, {kNaN, kNaN}, {1, 0}};
    for (const auto& [l, r] : bounds) {
        PpForm f = base;
        EXPECT_EQ(assertion_message([&] { vorn::extend_to(f, l, r); }), kExtendMessage) << l << " " << r;
    }
    PpForm empty = make({}, {}, 1, 4);
    EXPECT_EQ(assertion_message([&] { vorn::extend_to(empty, -1, 1); }), kExtendMessage);
}

TEST(ppform, extend_to_of_a_single_break_is_zero) {
    // No piece means no value or slope to continue; the extension is the zero function.
    PpForm f = make({1.0}, {}, 2, 4);
    vorn::extend_to(f, 0, 3);
    EXPECT_EQ(f.breaks, (std::vector<double>{0, 1, 3}));
    EXPECT_EQ(f.coefs, std::vector<double>(2 * 2 * 4, 0.0));
}

// ---------------------------------------------------------------- concat

TEST(ppform, concat_joins_breaks_and_rows) {
    std::mt19937_64 rng(17);
    const PpForm a = random_form(rng, {0, 1, 2}, 2, 4);
    const PpForm b = random_form(rng, {2, 3, 5, 6}, 2, 4);
    const PpForm joined = vorn::concat({a, b});
    EXPECT_EQ(joined.breaks, (std::vector<double>{0, 1, 2, 3, 5, 6}));
    EXPECT_EQ(joined.pieces(), 5u);
    ASSERT_EQ(joined.coefs.size(), 5u * 2 * 4);
    EXPECT_EQ(std::vector<double>(joined.coefs.begin(), joined.coefs.begin() + 16), a.coefs);
    EXPECT_EQ(std::vector<double>(joined.coefs.begin() + 16, joined.coefs.end()), b.coefs);
    for (double x : {0.0, 0.5, 1.5, 2.0, 4.0, 5.5, 6.0}) {
        EXPECT_EQ(vorn::eval_at(joined, x), vorn::eval_at(x < 2.0 ? a : b, x)) << x;
    }
}

TEST(ppform, concat_widens_to_the_largest_order) {
    const PpForm line = make({0, 1}, {2, 1}, 1, 2);
    const PpForm quad = make({1, 2}, {1, 0, 0}, 1, 3);
    const PpForm joined = vorn::concat({line, quad});
    EXPECT_EQ(joined.order, 3u);
    EXPECT_EQ(joined.coefs, (std::vector<double>{0, 2, 1, 1, 0, 0}));
    EXPECT_EQ(vorn::eval_at(joined, 0.5), std::vector<double>{2});
    EXPECT_EQ(vorn::eval_at(joined, 1.5), std::vector<double>{0.25});
}

TEST(ppform, concat_of_one_part_is_that_part) {
    std::mt19937_64 rng(2);
    const PpForm a = random_form(rng, {0, 1, 1, 4}, 3, 4);
    const PpForm joined = vorn::concat({a});
    EXPECT_EQ(joined.breaks, a.breaks);
    EXPECT_EQ(joined.coefs, a.coefs);
    EXPECT_EQ(joined.dim, 3u);
    EXPECT_EQ(joined.order, 4u);
}

TEST(ppform, concat_skips_parts_without_breaks) {
    std::mt19937_64 rng(9);
    const PpForm a = random_form(rng, {0, 1}, 1, 4);
    const PpForm b = random_form(rng, {1, 2, 3}, 1, 4);
    const PpForm none = make({}, {}, 1, 4);
    for (const auto& parts : {std::vector<PpForm>{a, none, b}, std::vector<PpForm>{none, a, b}}) {
        const PpForm joined = vorn::concat(parts);
        EXPECT_EQ(joined.breaks, (std::vector<double>{0, 1, 2, 3}));
        EXPECT_EQ(joined.coefs.size(), 3u * 4);
        EXPECT_EQ(vorn::eval_at(joined, 2.5), vorn::eval_at(b, 2.5));
    }
}

TEST(ppform, concat_of_nothing_is_an_assertion) {
    EXPECT_EQ(assertion_message([] { (void)vorn::concat({}); }),
              "assertion failed: !parts.is_empty()");
}

// ---------------------------------------------------------------- evaluation for the package

std::vector<double> eval_nu(const PpForm& f, const std::vector<double>& sites, unsigned nu,
                            vorn::Side side = vorn::Side::right) {
    std::vector<double> out(sites.size() * f.dim);
    vorn::eval_into(vorn::PpView::of(f), sites, nu, side, out);
    return out;
}

// The nu-th derivative of piece i, dimension d, summed by powers with the falling factorials.
double power_sum_nu(const PpForm& f, std::size_t i, std::size_t d, double t, unsigned nu) {
    const double* c = f.coefs.data() + (i * f.dim + d) * f.order;
    double sum = 0.0;
    for (std::size_t k = 0; k < f.order; ++k) {
        const auto power = static_cast<int>(f.order - 1 - k);
        if (power < static_cast<int>(nu)) continue;
        double factor = 1.0;
        for (unsigned j = 0; j < nu; ++j) factor *= power - static_cast<int>(j);
        sum += c[k] * factor * std::pow(t, power - static_cast<int>(nu));
    }
    return sum;
}

std::vector<double> probe_sites(std::mt19937_64& rng, std::span<const double> b) {
    std::vector<double> sites(b.begin(), b.end());
    std::uniform_int_distribution<int> step(-40, 40);
    for (int k = 0; k < 60; ++k) sites.push_back(step(rng) / 8.0);
    return sites;
}

TEST(ppform, eval_into_values_and_slopes_are_those_of_the_form_bit_for_bit) {
    std::mt19937_64 rng(3);
    const PpForm f = random_form(rng, {-2.0, -0.5, 0.0, 0.25, 1.5, 3.0}, 2, 4);
    const std::vector<double> sites = probe_sites(rng, f.breaks);
    EXPECT_EQ(eval_nu(f, sites, 0), vorn::eval_sites(f, sites));
    const std::vector<double> slopes = eval_nu(f, sites, 1);
    for (std::size_t k = 0; k < sites.size(); ++k) {
        const std::vector<double> want = vorn::deriv_at(f, sites[k]);
        EXPECT_EQ(slopes[k * 2], want[0]);
        EXPECT_EQ(slopes[k * 2 + 1], want[1]);
    }
}

TEST(ppform, eval_into_derivatives_match_power_sums) {
    std::mt19937_64 rng(5);
    for (std::size_t order : {1u, 2u, 4u, 5u}) {
        const PpForm f = random_form(rng, {-3.0, -1.0, 0.5, 0.75, 2.0}, 3, order);
        const std::vector<double> sites = probe_sites(rng, f.breaks);
        for (unsigned nu = 0; nu <= 5; ++nu) {
            const std::vector<double> got = eval_nu(f, sites, nu);
            for (std::size_t k = 0; k < sites.size(); ++k) {
                const std::size_t i = brute_locate(f.breaks, sites[k]);
                for (std::size_t d = 0; d < 3; ++d) {
                    EXPECT_EQ(got[k * 3 + d],
                              power_sum_nu(f, i, d, sites[k] - f.breaks[i], nu))
                        << "order " << order << " nu " << nu << " site " << sites[k];
                }
            }
        }
    }
}

TEST(ppform, eval_into_gives_nan_at_nan_sites_for_every_order) {
    std::mt19937_64 rng(6);
    const PpForm f = random_form(rng, {0.0, 1.0, 2.0}, 2, 4);
    for (unsigned nu = 0; nu <= 4; ++nu) {
        const std::vector<double> got = eval_nu(f, {kNaN, 0.5}, nu);
        EXPECT_TRUE(std::isnan(got[0]) && std::isnan(got[1])) << "nu " << nu;
        EXPECT_FALSE(std::isnan(got[2])) << "nu " << nu;
    }
}

TEST(ppform, locate_left_takes_the_piece_ending_at_an_inner_break) {
    const std::vector<double> b = {0.0, 1.0, 2.0, 2.0, 3.0, 5.0};
    EXPECT_EQ(vorn::locate_left(b, 1.0), 0u);
    EXPECT_EQ(vorn::locate_left(b, 2.0), 1u);  // left of both copies of the repeated break
    EXPECT_EQ(vorn::locate_left(b, 3.0), 3u);
    for (double site : {-1.0, 0.0, 0.5, 1.5, 2.5, 4.0, 5.0, 9.0}) {
        EXPECT_EQ(vorn::locate_left(b, site), vorn::locate(b, site)) << site;
    }
    EXPECT_EQ(vorn::locate_left(b, kNaN), 0u);
}

TEST(ppform, integrals_are_exact_on_dyadic_bounds) {
    // Piece 0 on [0, 1]: 3t^2 + 1; piece 1 on [1, 3]: 2t - 1 (t from 1); beyond, extrapolated.
    const PpForm f = make({0.0, 1.0, 3.0}, {0.0, 3.0, 0.0, 1.0, 0.0, 0.0, 2.0, -1.0}, 1, 4);
    double out = 0.0;
    const vorn::PpView v = vorn::PpView::of(f);
    vorn::integrate_into(v, 0.0, 1.0, {&out, 1});
    EXPECT_EQ(out, 2.0);
    vorn::integrate_into(v, 0.0, 3.0, {&out, 1});
    EXPECT_EQ(out, 2.0 + 2.0);  // t^2 - t over [0, 2] is 2
    vorn::integrate_into(v, 3.0, 0.0, {&out, 1});
    EXPECT_EQ(out, -4.0);
    vorn::integrate_into(v, -1.0, 0.0, {&out, 1});
    EXPECT_EQ(out, 2.0);  // t^3 + t from -1 to 0
    vorn::integrate_into(v, 3.0, 4.0, {&out, 1});
    EXPECT_EQ(out, 6.0 - 2.0);  // t^2 - t from 2 to 3
    vorn::integrate_into(v, 0.5, 0.5, {&out, 1});
    EXPECT_EQ(out, 0.0);
    vorn::integrate_into(v, kNaN, 1.0, {&out, 1});
    EXPECT_TRUE(std::isnan(out));
}

TEST(ppform, integrals_add_up_over_adjacent_intervals) {
    std::mt19937_64 rng(11);
    const PpForm f = random_form(rng, {-2.0, -1.0, 0.0, 0.5, 2.0, 4.0}, 2, 4);
    const vorn::PpView v = vorn::PpView::of(f);
    std::uniform_real_distribution<double> site(-4.0, 6.0);
    for (int k = 0; k < 50; ++k) {
        const double a = site(rng), b = site(rng), c = site(rng);
        double ab[2], bc[2], ac[2];
        vorn::integrate_into(v, a, b, ab);
        vorn::integrate_into(v, b, c, bc);
        vorn::integrate_into(v, a, c, ac);
        for (int d = 0; d < 2; ++d) EXPECT_NEAR(ab[d] + bc[d], ac[d], 1e-9 * (1 + std::fabs(ac[d])));
    }
}

TEST(ppform, derivative_coefficients_drop_the_order) {
    const PpForm f = make({0.0, 1.0}, {2.0, -3.0, 5.0, 7.0}, 1, 4);
    const vorn::PpView v = vorn::PpView::of(f);
    EXPECT_EQ(vorn::derivative(v, 0).coefs, f.coefs);
    EXPECT_EQ(vorn::derivative(v, 1).coefs, (std::vector<double>{6.0, -6.0, 5.0}));
    EXPECT_EQ(vorn::derivative(v, 2).coefs, (std::vector<double>{12.0, -6.0}));
    EXPECT_EQ(vorn::derivative(v, 3).coefs, (std::vector<double>{12.0}));
    const PpForm zero = vorn::derivative(v, 4);
    EXPECT_EQ(zero.order, 1u);
    EXPECT_EQ(zero.coefs, (std::vector<double>{0.0}));
    EXPECT_EQ(zero.breaks, f.breaks);
}

TEST(ppform, antiderivative_is_continuous_and_differentiates_back) {
    std::mt19937_64 rng(13);
    const PpForm f = random_form(rng, {-1.0, 0.0, 0.5, 2.0, 2.25}, 2, 4);
    const PpForm anti = vorn::antiderivative(vorn::PpView::of(f));
    ASSERT_EQ(anti.order, 5u);
    EXPECT_EQ(vorn::derivative(vorn::PpView::of(anti), 1).coefs, f.coefs);
    const std::vector<double> inner = {0.0, 0.5, 2.0};
    const std::vector<double> right = eval_nu(anti, inner, 0);
    const std::vector<double> left = eval_nu(anti, inner, 0, vorn::Side::left);
    for (std::size_t k = 0; k < right.size(); ++k) EXPECT_NEAR(right[k], left[k], 1e-12);
    EXPECT_EQ(eval_nu(anti, {-1.0}, 0), (std::vector<double>{0.0, 0.0}));
    // Its values are the integrals from the first break.
    for (double site : {-2.0, -0.25, 1.0, 2.1, 3.0}) {
        double want[2];
        vorn::integrate_into(vorn::PpView::of(f), -1.0, site, want);
        const std::vector<double> got = eval_nu(anti, {site}, 0);
        EXPECT_NEAR(got[0], want[0], 1e-12 * (1 + std::fabs(want[0])));
        EXPECT_NEAR(got[1], want[1], 1e-12 * (1 + std::fabs(want[1])));
    }
}

TEST(ppform, views_of_bad_shapes_are_assertions) {
    const PpForm f = make({0.0, 1.0}, {1.0, 2.0, 3.0}, 1, 4);
    std::vector<double> out(1);
    EXPECT_EQ(assertion_message([&] { vorn::eval_into(vorn::PpView::of(f), {}, 0, vorn::Side::right, {}); }),
              "coefs must hold pieces * dim rows of order entries");
    EXPECT_EQ(assertion_message([&] {
                  vorn::integrate_into(vorn::PpView::of(make({0.0}, {}, 1, 4)), 0.0, 1.0, out);
              }),
              "a form needs at least two breaks");
}

}  // namespace
