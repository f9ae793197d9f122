#include "ppform.hpp"

#include <algorithm>

#include "failure.hpp"

namespace vorn {

namespace {

// Row `row` of the coefficient array, `order` doubles, highest power first.
const double* coef_row(const PpForm& form, std::size_t row) {
    return form.coefs.data() + row * form.order;
}

double horner(const double* c, std::size_t order, double t) {
    if (order == 0) return 0.0;
    double v = c[0];
    for (std::size_t k = 1; k < order; ++k) v = v * t + c[k];
    return v;
}

double horner_deriv(const double* c, std::size_t order, double t) {
    if (order == 0) return 0.0;
    if (order <= 2) return c[0] * static_cast<double>(order - 1);
    double v = c[0] * static_cast<double>(order - 1);
    for (std::size_t k = 1; k + 1 < order; ++k) v = v * t + c[k] * static_cast<double>(order - 1 - k);
    return v;
}

// Right-aligns the old columns so that every power keeps its meaning; the new leading powers
// are zero.
void widen(PpForm& form, std::size_t new_order) {
    if (form.order >= new_order) return;
    const std::size_t rows =
        form.order == 0 ? form.pieces() * form.dim : form.coefs.size() / form.order;
    std::vector<double> wide(rows * new_order, 0.0);
    const std::size_t shift = new_order - form.order;
    for (std::size_t r = 0; r < rows; ++r) {
        std::copy_n(form.coefs.begin() + static_cast<std::ptrdiff_t>(r * form.order), form.order,
                    wide.begin() + static_cast<std::ptrdiff_t>(r * new_order + shift));
    }
    form.coefs = std::move(wide);
    form.order = new_order;
}

template <class Poly>
std::vector<double> eval_with(const PpForm& form, double site, Poly poly) {
    std::vector<double> out(form.dim, 0.0);
    // Without a piece there is no polynomial to read; such a form evaluates to zero.
    if (form.breaks.size() < 2) return out;
    const std::size_t i = locate(form, site);
    const double t = site - form.breaks[i];
    for (std::size_t d = 0; d < form.dim; ++d) {
        out[d] = poly(coef_row(form, i * form.dim + d), form.order, t);
    }
    return out;
}

}  // namespace

std::size_t locate(const PpForm& form, double site) {
    const std::vector<double>& b = form.breaks;
    const std::size_t nb = b.size();
    if (nb < 2 || site <= b[0]) return 0;
    if (site >= b[nb - 1]) return nb - 2;
    // Invariant: b[lo] <= site < b[hi]; the stopping tests keep it exact when neighbouring
    // breaks are equal, so a site on a repeated break lands right of all its copies.
    std::size_t lo = 0;
    std::size_t hi = nb - 1;
    for (;;) {
        const std::size_t mid = (lo + hi) / 2;
        if (site >= b[mid]) {
            lo = mid;
            if (mid + 1 >= hi) break;
        } else {
            if (lo + 1 >= mid) break;
            hi = mid;
        }
    }
    return lo;
}

std::vector<double> eval_at(const PpForm& form, double site) {
    return eval_with(form, site, horner);
}

std::vector<double> deriv_at(const PpForm& form, double site) {
    return eval_with(form, site, horner_deriv);
}

std::vector<double> eval_sites(const PpForm& form, std::span<const double> sites) {
    std::vector<double> out(sites.size() * form.dim, 0.0);
    if (form.breaks.size() < 2) return out;
    for (std::size_t k = 0; k < sites.size(); ++k) {
        const std::size_t i = locate(form, sites[k]);
        const double t = sites[k] - form.breaks[i];
        for (std::size_t d = 0; d < form.dim; ++d) {
            out[k * form.dim + d] = horner(coef_row(form, i * form.dim + d), form.order, t);
        }
    }
    return out;
}

void raise_to_cubic(PpForm& form) { widen(form, 4); }

void extend_to(PpForm& form, double l, double r) {
    require(!form.breaks.empty() && l <= form.breaks.front() && form.breaks.back() <= r,
            "assertion failed: l <= self.breaks[0] && *self.breaks.last().unwrap() <= r");
    raise_to_cubic(form);

    const std::size_t nb = form.breaks.size();
    const std::size_t dim = form.dim;
    const double b_first = form.breaks.front();
    const double b_last = form.breaks.back();
    const std::vector<double> value_left = eval_at(form, b_first);
    const std::vector<double> slope_left = deriv_at(form, b_first);
    const std::vector<double> value_right = eval_at(form, b_last);
    const std::vector<double> slope_right = deriv_at(form, b_last);

    std::vector<double> breaks;
    breaks.reserve(nb + 2);
    breaks.push_back(l);
    breaks.insert(breaks.end(), form.breaks.begin(), form.breaks.end());
    breaks.push_back(r);

    std::vector<double> coefs((nb + 1) * dim * 4, 0.0);
    for (std::size_t d = 0; d < dim; ++d) {
        double* row = coefs.data() + d * 4;
        row[2] = slope_left[d];
        row[3] = value_left[d] + slope_left[d] * (l - b_first);
    }
    std::copy_n(form.coefs.begin(), (nb - 1) * dim * 4,
                coefs.begin() + static_cast<std::ptrdiff_t>(dim * 4));
    for (std::size_t d = 0; d < dim; ++d) {
        double* row = coefs.data() + (nb * dim + d) * 4;
        row[2] = slope_right[d];
        row[3] = value_right[d];
    }

    form.breaks = std::move(breaks);
    form.coefs = std::move(coefs);
    form.order = 4;
}

PpForm concat(std::vector<PpForm> parts) {
    require(!parts.empty(), "assertion failed: !parts.is_empty()");
    std::size_t max_order = 0;
    std::size_t total_pieces = 0;
    for (const PpForm& part : parts) {
        max_order = std::max(max_order, part.order);
        total_pieces += part.pieces();
    }
    const std::size_t dim = parts.front().dim;

    PpForm out;
    out.dim = dim;
    out.order = max_order;
    out.breaks.reserve(total_pieces + 1);
    out.coefs.reserve(total_pieces * dim * max_order);
    for (PpForm& part : parts) {
        widen(part, max_order);
        // Every later part starts at the break on which the previous one ends. A leading part
        // without breaks has no such break, so the first part that has breaks keeps them all.
        const std::size_t skip = (out.breaks.empty() || part.breaks.empty()) ? 0 : 1;
        out.breaks.insert(out.breaks.end(),
                          part.breaks.begin() + static_cast<std::ptrdiff_t>(skip),
                          part.breaks.end());
        out.coefs.insert(out.coefs.end(), part.coefs.begin(), part.coefs.end());
        // Release each part as soon as it is copied, so the peak holds little more than the
        // joined form.
        part = PpForm{};
    }
    return out;
}

}  // namespace vorn
