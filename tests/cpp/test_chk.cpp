#include "chk.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "failure.hpp"
#include "support.hpp"

namespace {

using vorn::InputError;
using vorn::MatrixView;
using vorn::PreparedSamples;
using vorn::VectorView;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Rows given as nested lists, stored row-major.
struct Rows {
    std::vector<double> data;
    std::size_t rows = 0;
    std::size_t cols = 0;

    Rows(std::initializer_list<std::vector<double>> list) {
        rows = list.size();
        cols = rows ? list.begin()->size() : 0;
        for (const auto& r : list) data.insert(data.end(), r.begin(), r.end());
    }
    Rows(std::size_t r, std::size_t c, std::vector<double> d) : data(std::move(d)), rows(r), cols(c) {}
    MatrixView view() const { return MatrixView::row_major(data.data(), rows, cols); }
};

std::optional<VectorView> vec(const std::vector<double>& v) { return VectorView::of(v); }

PreparedSamples prepare_ok(const std::optional<VectorView>& x, const MatrixView& y,
                           const std::optional<VectorView>& delta) {
    auto result = vorn::prepare_samples(x, y, delta);
    EXPECT_TRUE(result.ok()) << result.error().message();
    return result.ok() ? result.value() : PreparedSamples{};
}

std::string prepare_error(const std::optional<VectorView>& x, const MatrixView& y,
                          const std::optional<VectorView>& delta) {
    auto result = vorn::prepare_samples(x, y, delta);
    return result.ok() ? std::string("<ok>") : result.error().message();
}

std::string assertion_text(const std::optional<VectorView>& x, const MatrixView& y) {
    return vorn::test::assertion_message([&] { (void)vorn::prepare_samples(x, y, std::nullopt); });
}

using vorn::test::bits;

// ---------------------------------------------------------------- messages and parameter checks

TEST(chk, messages_of_every_kind) {
    EXPECT_EQ(InputError::p_range(1.5).message(), "p must satisfy 0 <= p <= 1, got 1.5");
    EXPECT_EQ(InputError::p_range(kNaN).message(), "p must satisfy 0 <= p <= 1, got NaN");
    EXPECT_EQ(InputError::gamma_negative(-1.0).message(), "gamma must satisfy 0 <= gamma, got -1");
    EXPECT_EQ(InputError::gamma_negative(-kInf).message(),
              "gamma must satisfy 0 <= gamma, got -inf");
    EXPECT_EQ(InputError::too_few_points(1).message(),
              "at least two finite data points are required, got 1");
    EXPECT_EQ(InputError::too_few_points(18446744073709551615u).message(),
              "at least two finite data points are required, got 18446744073709551615");
    EXPECT_EQ(InputError::xy_length(4, 5).message(),
              "x and y must have matching length: x has 4, y has 5");
    EXPECT_EQ(InputError::delta_length(5, 3).message(),
              "delta must have the same length as x (5), got 3");
}

TEST(chk, parameter_checks) {
    for (double p : {0.0, -0.0, 0.25, 1.0}) EXPECT_FALSE(vorn::check_p(p)) << p;
    for (double p : {kNaN, -kNaN, 1.5, -1e-300, std::nextafter(1.0, 2.0), kInf, -kInf}) {
        auto error = vorn::check_p(p);
        ASSERT_TRUE(error) << p;
        EXPECT_EQ(error->kind, vorn::InputErrorKind::PRange);
    }
    for (double g : {0.0, -0.0, 3.5, kInf}) EXPECT_FALSE(vorn::check_gamma(g)) << g;
    for (double g : {-1.0, kNaN, -kInf, -5e-324}) {
        auto error = vorn::check_gamma(g);
        ASSERT_TRUE(error) << g;
        EXPECT_EQ(error->kind, vorn::InputErrorKind::GammaNegative);
    }
    EXPECT_EQ(vorn::check_gamma(kNaN)->message(), "gamma must satisfy 0 <= gamma, got NaN");
}

TEST(chk, bad_p_is_reported_before_bad_gamma) {
    EXPECT_EQ(vorn::check_parameters(2.0, -1.0)->message(), "p must satisfy 0 <= p <= 1, got 2");
    EXPECT_EQ(vorn::check_parameters(kNaN, kNaN)->kind, vorn::InputErrorKind::PRange);
    EXPECT_EQ(vorn::check_parameters(0.5, -1.0)->message(),
              "gamma must satisfy 0 <= gamma, got -1");
    EXPECT_FALSE(vorn::check_parameters(1.0, kInf));
}

// ---------------------------------------------------------------- order of the data checks

TEST(chk, too_few_rows_comes_before_length_checks) {
    std::vector<double> x5{1, 2, 3, 4, 5}, d3{1, 1, 1};
    Rows one{{1.0}};
    EXPECT_EQ(prepare_error(vec(x5), one.view(), vec(d3)),
              "at least two finite data points are required, got 1");
    Rows none(0, 3, {});
    EXPECT_EQ(prepare_error(vec(x5), none.view(), std::nullopt),
              "at least two finite data points are required, got 0");
}

TEST(chk, x_length_before_delta_length_before_finiteness) {
    std::vector<double> x4{1, 2, 3, 4}, x5{1, 2, 3, 4, 5}, d3{1, 1, 1};
    Rows nan_rows{{kNaN}, {kNaN}, {kNaN}, {kNaN}, {kNaN}};
    EXPECT_EQ(prepare_error(vec(x4), nan_rows.view(), vec(d3)),
              "x and y must have matching length: x has 4, y has 5");
    EXPECT_EQ(prepare_error(vec(x5), nan_rows.view(), vec(d3)),
              "delta must have the same length as x (5), got 3");
    EXPECT_EQ(prepare_error(std::nullopt, nan_rows.view(), vec(d3)),
              "delta must have the same length as x (5), got 3");
    EXPECT_EQ(prepare_error(vec(x5), nan_rows.view(), std::nullopt),
              "at least two finite data points are required, got 0");
}

TEST(chk, non_finite_rows_are_dropped_before_counting) {
    Rows y{{1, kNaN}, {2, 3}, {kInf, 0}, {-kInf, 1}, {0, kNaN}};
    EXPECT_EQ(prepare_error(std::nullopt, y.view(), std::nullopt),
              "at least two finite data points are required, got 1");
}

TEST(chk, one_shared_site_is_too_few) {
    std::vector<double> x{1, 1, 1};
    Rows y{{1}, {2}, {3}};
    EXPECT_EQ(prepare_error(vec(x), y.view(), std::nullopt),
              "at least two finite data points are required, got 1");
    // -0 and +0 share a site as well.
    std::vector<double> zeros{0.0, -0.0};
    Rows y2{{1}, {2}};
    EXPECT_EQ(prepare_error(vec(zeros), y2.view(), std::nullopt),
              "at least two finite data points are required, got 1");
}

// ---------------------------------------------------------------- preparation

TEST(chk, default_sites_number_input_rows) {
    Rows y{{5}, {kNaN}, {7}, {8}};
    PreparedSamples s = prepare_ok(std::nullopt, y.view(), std::nullopt);
    EXPECT_EQ(s.x, (std::vector<double>{1, 3, 4}));
    EXPECT_EQ(s.y, (std::vector<double>{5, 7, 8}));
    EXPECT_EQ(s.w, (std::vector<double>{1, 1, 1}));
    EXPECT_EQ(s.delta, (std::vector<double>{1, 1, 1}));
    EXPECT_EQ(s.dim, 1u);
}

TEST(chk, merge_equal_sites) {
    std::vector<double> x{0, 1, 1, 2};
    Rows y{{0}, {1}, {3}, {2}};
    PreparedSamples s = prepare_ok(vec(x), y.view(), std::nullopt);
    EXPECT_EQ(s.x, (std::vector<double>{0, 1, 2}));
    EXPECT_EQ(s.y, (std::vector<double>{0, 2, 2}));
    EXPECT_EQ(s.w, (std::vector<double>{1, 2, 1}));
    EXPECT_EQ(s.delta, (std::vector<double>{1, 0.7071067811865476, 1}));
}

TEST(chk, merge_is_weighted_by_delta) {
    std::vector<double> x{0, 1, 1, 2}, delta{1, 1, 0.5, 1};
    Rows y{{0, 10}, {1, -1}, {3, 4}, {2, 20}};
    PreparedSamples s = prepare_ok(vec(x), y.view(), vec(delta));
    EXPECT_EQ(s.x, (std::vector<double>{0, 1, 2}));
    EXPECT_EQ(s.y, (std::vector<double>{0, 10, 2.6, 3, 2, 20}));
    EXPECT_EQ(s.w, (std::vector<double>{1, 5, 1}));
    EXPECT_EQ(s.delta, (std::vector<double>{1, 0.4472135954999579, 1}));
}

TEST(chk, unsorted_input_is_ordered) {
    std::vector<double> x{2, 0, 1};
    Rows y{{10}, {20}, {30}};
    PreparedSamples s = prepare_ok(vec(x), y.view(), std::nullopt);
    EXPECT_EQ(s.x, (std::vector<double>{0, 1, 2}));
    EXPECT_EQ(s.y, (std::vector<double>{20, 30, 10}));
}

TEST(chk, infinite_sites_sort_to_the_ends) {
    std::vector<double> x{0, kInf, -kInf, 1};
    Rows y{{1}, {2}, {3}, {4}};
    PreparedSamples s = prepare_ok(vec(x), y.view(), std::nullopt);
    EXPECT_EQ(s.x, (std::vector<double>{-kInf, 0, 1, kInf}));
    EXPECT_EQ(s.y, (std::vector<double>{3, 1, 4, 2}));
}

TEST(chk, signed_zeros_merge_and_keep_first_sign) {
    for (bool negative_first : {true, false}) {
        const double a = negative_first ? -0.0 : 0.0;
        std::vector<double> x{1, a, -a};
        Rows y{{1}, {2}, {4}};
        PreparedSamples s = prepare_ok(vec(x), y.view(), std::nullopt);
        ASSERT_EQ(s.size(), 2u);
        EXPECT_EQ(std::signbit(s.x[0]), negative_first);
        EXPECT_EQ(s.y, (std::vector<double>{3, 1}));
        EXPECT_EQ(s.w, (std::vector<double>{2, 1}));
    }
}

TEST(chk, degenerate_delta_flows_through) {
    std::vector<double> x{0, 0, 1, 2, 2}, delta{kInf, kInf, 1, 0.0, 1};
    Rows y{{1}, {2}, {3}, {4}, {5}};
    PreparedSamples s = prepare_ok(vec(x), y.view(), vec(delta));
    ASSERT_EQ(s.size(), 3u);
    // Weights sum to zero: 0/0 values and an infinite deviation.
    EXPECT_EQ(s.w[0], 0.0);
    EXPECT_TRUE(std::isnan(s.y[0]));
    EXPECT_EQ(s.delta[0], kInf);
    // An infinite weight swamps the run.
    EXPECT_EQ(s.w[2], kInf);
    EXPECT_TRUE(std::isnan(s.y[2]));
    EXPECT_EQ(s.delta[2], 0.0);
}

TEST(chk, zero_columns_keep_every_row) {
    std::vector<double> x{3, 1, 3, 2};
    Rows y(4, 0, {});
    PreparedSamples s = prepare_ok(vec(x), y.view(), std::nullopt);
    EXPECT_EQ(s.dim, 0u);
    EXPECT_EQ(s.x, (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(s.w, (std::vector<double>{1, 1, 2}));
    EXPECT_TRUE(s.y.empty());
    EXPECT_EQ(s.y_view().rows, 3u);
}

// ---------------------------------------------------------------- NaN sites

struct NanCase {
    std::vector<double> x;
};

class chk_nan_site : public ::testing::TestWithParam<NanCase> {};

TEST_P(chk_nan_site, kept_nan_site_is_an_assertion) {
    const std::vector<double>& x = GetParam().x;
    std::vector<double> values(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) values[i] = static_cast<double>(i);
    Rows y(x.size(), 1, values);
    EXPECT_EQ(assertion_text(vec(x), y.view()), "NaN in x");
}

INSTANTIATE_TEST_SUITE_P(
    chk, chk_nan_site,
    ::testing::Values(NanCase{{kNaN, 1}}, NanCase{{1, kNaN}}, NanCase{{kNaN, kNaN}},
                      NanCase{{0, 1, 2, 3, 4, 5, 6, 7, kNaN}},
                      NanCase{{kNaN, 0, 1, 2, 3, 4, 5, 6, 7}},
                      NanCase{{0, 1, 2, 3, kNaN, 5, 6, 7, 8}},
                      NanCase{{8, 7, 6, 5, 4, 3, 2, 1, 0, 9, 10, 11, 12, 13, 14, kNaN}},
                      NanCase{{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, -kNaN}}));

TEST(chk, nan_site_anywhere_in_a_long_input) {
    // Long enough for the sort to merge runs, with the NaN at every position in turn.
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> site(-10.0, 10.0);
    for (std::size_t n : {2u, 3u, 15u, 16u, 17u, 40u}) {
        std::vector<double> base(n);
        for (double& v : base) v = site(rng);
        for (std::size_t pos = 0; pos < n; ++pos) {
            std::vector<double> x = base;
            x[pos] = kNaN;
            Rows y(n, 1, std::vector<double>(n, 1.0));
            EXPECT_EQ(assertion_text(vec(x), y.view()), "NaN in x") << n << " " << pos;
            std::sort(x.begin(), x.end(), [](double a, double b) {
                return std::isnan(b) ? !std::isnan(a) : a < b;
            });
            EXPECT_EQ(assertion_text(vec(x), y.view()), "NaN in x") << n << " sorted " << pos;
        }
    }
}

TEST(chk, nan_site_in_dropped_row_is_ignored) {
    std::vector<double> x{0, kNaN, 2}, delta{1, kNaN, 1};
    Rows y{{1}, {kNaN}, {3}};
    PreparedSamples s = prepare_ok(vec(x), y.view(), vec(delta));
    EXPECT_EQ(s.x, (std::vector<double>{0, 2}));
    EXPECT_EQ(s.y, (std::vector<double>{1, 3}));
}

// ---------------------------------------------------------------- strided views and a reference

void expect_same(const PreparedSamples& a, const PreparedSamples& b) {
    ASSERT_EQ(a.size(), b.size());
    ASSERT_EQ(a.dim, b.dim);
    ASSERT_EQ(a.y.size(), b.y.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(bits(a.x[k]), bits(b.x[k])) << k;
        EXPECT_EQ(bits(a.w[k]), bits(b.w[k])) << k;
        EXPECT_EQ(bits(a.delta[k]), bits(b.delta[k])) << k;
    }
    for (std::size_t k = 0; k < a.y.size(); ++k) EXPECT_EQ(bits(a.y[k]), bits(b.y[k])) << k;
}

TEST(chk, strided_and_reversed_views_read_the_same_samples) {
    const std::size_t n = 9, d = 2;
    std::vector<double> x{4, 1, 3, 3, 0, 8, 1, 5, 2}, delta{1, 2, 0.5, 1, 3, 1, 1, 0.25, 1};
    std::vector<double> yv(n * d);
    for (std::size_t k = 0; k < yv.size(); ++k) yv[k] = std::sin(static_cast<double>(k) + 0.3);
    yv[5] = kNaN;
    const PreparedSamples expected = prepare_ok(vec(x), Rows(n, d, yv).view(), vec(delta));

    // x every third double, delta stored backwards, y column-major in a misaligned byte buffer.
    std::vector<double> x3(3 * n, -99.0), delta_rev(n);
    for (std::size_t i = 0; i < n; ++i) {
        x3[3 * i] = x[i];
        delta_rev[n - 1 - i] = delta[i];
    }
    std::vector<std::byte> raw(n * d * sizeof(double) + 1);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < d; ++c) {
            std::memcpy(raw.data() + 1 + (c * n + i) * sizeof(double), &yv[i * d + c],
                        sizeof(double));
        }
    }
    VectorView xs{reinterpret_cast<const std::byte*>(x3.data()), n, 3 * sizeof(double)};
    VectorView ds{reinterpret_cast<const std::byte*>(delta_rev.data() + (n - 1)), n,
                  -static_cast<std::ptrdiff_t>(sizeof(double))};
    MatrixView ys{raw.data() + 1, n, d, sizeof(double),
                  static_cast<std::ptrdiff_t>(n * sizeof(double))};
    expect_same(prepare_ok(xs, ys, ds), expected);
}

// Independent reference: group the finite samples by site through an ordered map, keeping input
// order inside each group, and accumulate in that order.
PreparedSamples reference_prepare(const std::vector<double>& x, const Rows& y,
                                  const std::vector<double>& delta) {
    std::map<double, std::vector<std::size_t>> groups;
    for (std::size_t i = 0; i < y.rows; ++i) {
        bool finite = true;
        for (std::size_t c = 0; c < y.cols; ++c) finite = finite && std::isfinite(y.data[i * y.cols + c]);
        if (finite) groups[x[i]].push_back(i);
    }
    PreparedSamples out;
    out.dim = y.cols;
    for (const auto& [site, members] : groups) {
        double total = 0.0;
        std::vector<double> sum(y.cols, 0.0);
        for (std::size_t k = 0; k < members.size(); ++k) {
            const std::size_t i = members[k];
            const double w = 1.0 / (delta[i] * delta[i]);
            total = k == 0 ? w : total + w;
            for (std::size_t c = 0; c < y.cols; ++c) {
                const double term = w * y.data[i * y.cols + c];
                sum[c] = k == 0 ? term : sum[c] + term;
            }
        }
        out.x.push_back(x[members.front()]);
        for (double s : sum) out.y.push_back(s / total);
        out.w.push_back(total);
        out.delta.push_back(std::sqrt(1.0 / total));
    }
    return out;
}

TEST(chk, random_inputs_match_grouping_reference) {
    std::mt19937_64 rng(20240601);
    std::uniform_int_distribution<int> site_pool(0, 12), dims(1, 3), len(2, 60), coin(0, 19);
    std::normal_distribution<double> value(0.0, 3.0);
    std::uniform_real_distribution<double> dev(0.1, 4.0);
    int compared = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const auto n = static_cast<std::size_t>(len(rng));
        const auto d = static_cast<std::size_t>(dims(rng));
        std::vector<double> x(n), delta(n), yv(n * d);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = 0.5 * site_pool(rng);
            delta[i] = dev(rng);
            for (std::size_t c = 0; c < d; ++c) yv[i * d + c] = coin(rng) == 0 ? kNaN : value(rng);
        }
        Rows y(n, d, yv);
        const PreparedSamples expected = reference_prepare(x, y, delta);
        auto got = vorn::prepare_samples(vec(x), y.view(), vec(delta));
        if (expected.size() < 2) {
            ASSERT_FALSE(got.ok());
            EXPECT_EQ(got.error().kind, vorn::InputErrorKind::TooFewPoints);
            continue;
        }
        ASSERT_TRUE(got.ok()) << got.error().message();
        expect_same(got.value(), expected);
        ++compared;
    }
    EXPECT_GT(compared, 200);
}

// ---------------------------------------------------------------- format_double

std::string zeros(std::size_t count) { return std::string(count, '0'); }

TEST(chk, format_double_exact_strings) {
    const std::vector<std::pair<double, std::string>> cases{
        {1.5, "1.5"},
        {2.0, "2"},
        {-1.0, "-1"},
        {0.0, "0"},
        {-0.0, "-0"},
        {1e-7, "0.0000001"},
        {1e20, "100000000000000000000"},
        {1e22, "1" + zeros(22)},
        {1e23, "1" + zeros(23)},
        {0.1, "0.1"},
        {-0.3, "-0.3"},
        {123456.789, "123456.789"},
        {9007199254740993.0, "9007199254740992"},
        {1.7976931348623157e308, "17976931348623157" + zeros(292)},
        {1e300, "1" + zeros(300)},
        {5e-324, "0." + zeros(323) + "5"},
        {-5e-324, "-0." + zeros(323) + "5"},
        {2.2250738585072014e-308, "0." + zeros(307) + "22250738585072014"},
        {kNaN, "NaN"},
        {-kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(vorn::format_double(value), text) << text;
}

// Significant digits of a plain decimal, and whether a shorter digit string would also read
// back to the value: the nearest shorter candidates are the correctly rounded one and its two
// neighbours in the last place.
std::size_t significant_digits(const std::string& text) {
    std::string digits;
    for (char ch : text) {
        if (ch >= '0' && ch <= '9') digits.push_back(ch);
    }
    const auto first = digits.find_first_not_of('0');
    if (first == std::string::npos) return 0;
    const auto last = digits.find_last_not_of('0');
    return last - first + 1;
}

bool shorter_form_exists(double value, std::size_t digits) {
    if (digits <= 1) return false;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*e", static_cast<int>(digits - 2), std::fabs(value));
    std::string text(buf);
    const auto e = text.find('e');
    std::string mantissa;
    for (char ch : text.substr(0, e)) {
        if (ch != '.') mantissa.push_back(ch);
    }
    const int exponent = std::atoi(text.c_str() + e + 1) - static_cast<int>(digits - 2);
    const auto m = std::strtoull(mantissa.c_str(), nullptr, 10);
    for (unsigned long long cand : {m - 1, m, m + 1}) {
        std::snprintf(buf, sizeof buf, "%llue%d", cand, exponent);
        if (std::strtod(buf, nullptr) == std::fabs(value)) return true;
    }
    return false;
}

void expect_round_trip(double value) {
    const std::string text = vorn::format_double(value);
    SCOPED_TRACE(text);
    EXPECT_EQ(text.find_first_not_of("-0123456789."), std::string::npos);
    char* end = nullptr;
    const double back = std::strtod(text.c_str(), &end);
    EXPECT_EQ(end, text.c_str() + text.size());
    EXPECT_EQ(bits(back), bits(value));
    if (text.find('.') != std::string::npos) {
        EXPECT_NE(text.back(), '0');
    }
    EXPECT_NE(text.back(), '.');
    EXPECT_FALSE(shorter_form_exists(value, significant_digits(text)));
}

TEST(chk, format_double_round_trips_awkward_values) {
    const std::vector<double> awkward{
        5e-324,
        std::nextafter(5e-324, 1.0),
        std::nextafter(std::numeric_limits<double>::min(), 0.0),  // largest subnormal
        std::numeric_limits<double>::min(),
        0.1,
        0.2 + 0.1,
        1.0 / 3.0,
        1e300,
        1e-300,
        1.7976931348623157e308,
        -1.7976931348623157e308,
        9007199254740993.0,
        9007199254740991.0,
        1e22,
        1e23,
        123456.789,
        -2.5e-5,
        std::nextafter(1.0, 2.0),
        std::nextafter(1.0, 0.0),
        0.5,
        1024.0,
        -0.0,
    };
    for (double v : awkward) expect_round_trip(v);
}

TEST(chk, format_double_round_trips_random_bit_patterns) {
    std::mt19937_64 rng(99);
    for (int k = 0; k < 20000; ++k) {
        const double v = std::bit_cast<double>(rng());
        if (!std::isfinite(v)) continue;
        expect_round_trip(v);
    }
}

}  // namespace
