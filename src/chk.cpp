#include "chk.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>
#include <string_view>

#include "failure.hpp"

namespace vorn {

std::string format_double(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0.0 ? "-inf" : "inf";

    // Scientific form gives the shortest round-trip digits with an explicit exponent, which
    // is easier to expand into plain decimal than whatever mix the general form picks.
    // 64 bytes hold any double in this form ("-d.dddddddddddddddde-ddd" is 24).
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const std::string_view text(buf, static_cast<std::size_t>(res.ptr - buf));

    const bool negative = text.front() == '-';
    const std::size_t e_pos = text.find('e');
    std::string digits;
    for (char ch : text.substr(negative ? 1 : 0, e_pos - (negative ? 1 : 0))) {
        if (ch != '.') digits.push_back(ch);
    }
    int exponent = 0;
    const std::string_view exp_text = text.substr(e_pos + 1);
    const char* exp_begin = exp_text.data() + (exp_text.front() == '+' ? 1 : 0);
    std::from_chars(exp_begin, exp_text.data() + exp_text.size(), exponent);

    // The decimal point sits after the first (exponent + 1) digits.
    const long point = static_cast<long>(exponent) + 1;
    const long count = static_cast<long>(digits.size());
    std::string out;
    if (negative) out.push_back('-');
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= count) {
        out += digits;
        out.append(static_cast<std::size_t>(point - count), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

std::string InputError::message() const {
    switch (kind) {
        case InputErrorKind::PRange:
            return "p must satisfy 0 <= p <= 1, got " + format_double(value);
        case InputErrorKind::GammaNegative:
            return "gamma must satisfy 0 <= gamma, got " + format_double(value);
        case InputErrorKind::TooFewPoints:
            return "at least two finite data points are required, got " + std::to_string(first);
        case InputErrorKind::XYLength:
            return "x and y must have matching length: x has " + std::to_string(first) +
                   ", y has " + std::to_string(second);
        case InputErrorKind::DeltaLength:
            return "delta must have the same length as x (" + std::to_string(first) + "), got " +
                   std::to_string(second);
    }
    return "unknown input error";
}

std::optional<InputError> check_p(double p) {
    // Written so that NaN fails.
    if (!(0.0 <= p && p <= 1.0)) return InputError::p_range(p);
    return std::nullopt;
}

std::optional<InputError> check_gamma(double gamma) {
    if (!(0.0 <= gamma)) return InputError::gamma_negative(gamma);
    return std::nullopt;
}

std::optional<InputError> check_parameters(double p, double gamma) {
    if (auto error = check_p(p)) return error;
    return check_gamma(gamma);
}

namespace {

bool row_is_finite(const MatrixView& y, std::size_t row) {
    for (std::size_t c = 0; c < y.cols; ++c) {
        if (!std::isfinite(y(row, c))) return false;
    }
    return true;
}

}  // namespace

Checked<PreparedSamples> prepare_samples(const std::optional<VectorView>& x, const MatrixView& y,
                                         const std::optional<VectorView>& delta) {
    const std::size_t n = y.rows;
    if (n < 2) return InputError::too_few_points(n);
    if (x && x->size != n) return InputError::xy_length(x->size, n);
    if (delta && delta->size != n) return InputError::delta_length(n, delta->size);

    const std::size_t dim = y.cols;
    std::vector<std::size_t> kept;
    if (dim == 0) {
        // A row without values has nothing that could be non-finite.
        kept.resize(n);
        std::iota(kept.begin(), kept.end(), std::size_t{0});
    } else {
        kept.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            if (row_is_finite(y, i)) kept.push_back(i);
        }
    }
    const std::size_t m0 = kept.size();
    if (m0 < 2) return InputError::too_few_points(m0);

    // Default sites number the caller's rows, so they are assigned from the input index.
    std::vector<double> site(m0);
    std::vector<double> weight(m0);
    for (std::size_t k = 0; k < m0; ++k) {
        const std::size_t i = kept[k];
        site[k] = x ? (*x)[i] : static_cast<double>(i + 1);
        const double d = delta ? (*delta)[i] : 1.0;
        weight[k] = 1.0 / (d * d);
    }

    std::vector<std::size_t> order(m0);
    std::iota(order.begin(), order.end(), std::size_t{0});
    bool ascending = true;
    for (std::size_t k = 0; k + 1 < m0; ++k) {
        // A NaN fails this test too, so a NaN site always reaches the sort below.
        if (!(site[k] < site[k + 1])) {
            ascending = false;
            break;
        }
    }
    if (!ascending) {
        // Stable: equal sites keep their input order, which fixes the sign a merged zero keeps.
        // Any correct comparison sort of two or more keys compares every key at least once,
        // so no kept NaN site escapes the check.
        std::stable_sort(order.begin(), order.end(), [&site](std::size_t a, std::size_t b) {
            const double sa = site[a];
            const double sb = site[b];
            if (std::isnan(sa) || std::isnan(sb)) fail_assertion("NaN in x");
            return sa < sb;
        });
    }

    PreparedSamples out;
    out.dim = dim;
    out.x.reserve(m0);
    out.w.reserve(m0);
    out.y.reserve(m0 * dim);
    std::size_t k = 0;
    while (k < m0) {
        const std::size_t first = order[k];
        const double run_site = site[first];
        const double w_first = weight[first];
        const std::size_t row0 = out.y.size();
        for (std::size_t c = 0; c < dim; ++c) out.y.push_back(w_first * y(kept[first], c));
        double total = w_first;
        std::size_t j = k + 1;
        for (; j < m0 && site[order[j]] == run_site; ++j) {
            const std::size_t pos = order[j];
            const double w = weight[pos];
            total = total + w;
            for (std::size_t c = 0; c < dim; ++c) {
                out.y[row0 + c] = out.y[row0 + c] + w * y(kept[pos], c);
            }
        }
        for (std::size_t c = 0; c < dim; ++c) out.y[row0 + c] = out.y[row0 + c] / total;
        out.x.push_back(run_site);
        out.w.push_back(total);
        k = j;
    }

    const std::size_t m = out.x.size();
    if (m < 2) return InputError::too_few_points(m);
    out.delta.resize(m);
    for (std::size_t s = 0; s < m; ++s) out.delta[s] = std::sqrt(1.0 / out.w[s]);
    return out;
}

}  // namespace vorn
