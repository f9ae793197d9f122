#include "ppform.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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

// m (m - 1) ... (m - nu + 1): the factor that differentiating t^m nu times brings down.
double falling_factorial(std::size_t m, unsigned nu) {
    double f = 1.0;
    for (unsigned j = 0; j < nu; ++j) f *= static_cast<double>(m - j);
    return f;
}

// Horner's scheme on the nu-th derivative of the row. With nu = 0 every factor is 1 and the
// operations are those of horner, with nu = 1 those of horner_deriv, so the values agree bit for
// bit.
double horner_nu(const double* c, std::size_t order, double t, unsigned nu) {
    if (nu >= order) return 0.0;
    const std::size_t top = order - 1;
    double v = c[0] * falling_factorial(top, nu);
    for (std::size_t k = 1; k + nu < order; ++k) v = v * t + c[k] * falling_factorial(top - k, nu);
    return v;
}

// The integral of the row from 0 to t.
double primitive(const double* c, std::size_t order, double t) {
    if (order == 0) return 0.0;
    double v = c[0] / static_cast<double>(order);
    for (std::size_t k = 1; k < order; ++k) v = v * t + c[k] / static_cast<double>(order - k);
    return v * t;
}

const double* view_row(const PpView& form, std::size_t row) {
    return form.coefs.data() + row * form.order;
}

void check_view(const PpView& form) {
    require(form.breaks.size() >= 2, "a form needs at least two breaks");
    require(form.coefs.size() == form.pieces() * form.dim * form.order,
            "coefs must hold pieces * dim rows of order entries");
}

// Right-aligns the old columns so that every power keeps its meaning; the new leading powers
// are zero.
void widen(PpForm& form, std::size_t new_order) {
    if (form.order >= new_order) return;
    const std::size_t rows =
        form.order == 0 ? form.pieces() * form.dim : form.coefs.size() / form.order;
    MappedVector<double> wide(rows * new_order, 0.0);
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

std::size_t locate(const PpForm& form, double site) { return locate(form.breaks, site); }

std::size_t locate(std::span<const double> b, double site) {
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
    eval_into(PpView::of(form), sites, 0, Side::right, out);
    return out;
}

std::size_t locate_left(std::span<const double> b, double site) {
    const std::size_t nb = b.size();
    if (nb < 3) return 0;
    // Inner breaks strictly below the site; a NaN site compares false and lands in piece 0.
    const auto inner_first = b.begin() + 1;
    const auto inner_last = b.end() - 1;
    return static_cast<std::size_t>(std::lower_bound(inner_first, inner_last, site) - inner_first);
}

void eval_into(const PpView& form, std::span<const double> sites, unsigned nu, Side side,
               std::span<double> out, const CancelHook& cancel) {
    check_view(form);
    require(out.size() == sites.size() * form.dim, "out must hold one row per site");
    for (std::size_t k = 0; k < sites.size(); ++k) {
        cancel.tick();
        const double site = sites[k];
        double* row = out.data() + k * form.dim;
        if (std::isnan(site)) {
            std::fill_n(row, form.dim, std::numeric_limits<double>::quiet_NaN());
            continue;
        }
        const std::size_t i =
            side == Side::right ? locate(form.breaks, site) : locate_left(form.breaks, site);
        const double t = site - form.breaks[i];
        for (std::size_t d = 0; d < form.dim; ++d) {
            row[d] = horner_nu(view_row(form, i * form.dim + d), form.order, t, nu);
        }
    }
}

double piece_value(const PpView& form, std::size_t piece, std::size_t column, double site,
                   unsigned nu) {
    require(piece < form.pieces() && column < form.dim, "piece and column must exist");
    const double t = site - form.breaks[piece];
    return horner_nu(view_row(form, piece * form.dim + column), form.order, t, nu);
}

void integrate_into(const PpView& form, double a, double b, std::span<double> out) {
    check_view(form);
    require(out.size() == form.dim, "out must hold one value per column");
    if (std::isnan(a) || std::isnan(b)) {
        std::fill(out.begin(), out.end(), std::numeric_limits<double>::quiet_NaN());
        return;
    }
    const double sign = b < a ? -1.0 : 1.0;
    const double lo = std::min(a, b);
    const double hi = std::max(a, b);
    const std::size_t first = locate(form.breaks, lo);
    const std::size_t last = locate(form.breaks, hi);
    for (std::size_t d = 0; d < form.dim; ++d) {
        double total = 0.0;
        for (std::size_t i = first; i <= last; ++i) {
            // The outer pieces run on beyond the breaks; inner ones stop at their own.
            const double from = i == first ? lo - form.breaks[i] : 0.0;
            const double to = (i == last ? hi : form.breaks[i + 1]) - form.breaks[i];
            const double* row = view_row(form, i * form.dim + d);
            total += primitive(row, form.order, to) - primitive(row, form.order, from);
        }
        out[d] = sign * total;
    }
}

PpForm derivative(const PpView& form, unsigned nu) {
    check_view(form);
    PpForm out;
    out.breaks.assign(form.breaks.begin(), form.breaks.end());
    out.dim = form.dim;
    out.order = nu < form.order ? form.order - nu : 1;
    const std::size_t rows = form.pieces() * form.dim;
    out.coefs.assign(rows * out.order, 0.0);
    if (nu >= form.order) return out;
    const std::size_t top = form.order - 1;
    for (std::size_t r = 0; r < rows; ++r) {
        const double* c = view_row(form, r);
        double* o = out.coefs.data() + r * out.order;
        for (std::size_t k = 0; k < out.order; ++k) o[k] = c[k] * falling_factorial(top - k, nu);
    }
    return out;
}

PpForm antiderivative(const PpView& form) {
    check_view(form);
    PpForm out;
    out.breaks.assign(form.breaks.begin(), form.breaks.end());
    out.dim = form.dim;
    out.order = form.order + 1;
    const std::size_t pieces = form.pieces();
    out.coefs.assign(pieces * form.dim * out.order, 0.0);
    for (std::size_t d = 0; d < form.dim; ++d) {
        double running = 0.0;  // the antiderivative at the left break of piece i
        for (std::size_t i = 0; i < pieces; ++i) {
            const double* c = view_row(form, i * form.dim + d);
            double* o = out.coefs.data() + (i * form.dim + d) * out.order;
            for (std::size_t k = 0; k < form.order; ++k) {
                o[k] = c[k] / static_cast<double>(form.order - k);
            }
            o[form.order] = running;
            running = horner(o, out.order, form.breaks[i + 1] - form.breaks[i]);
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

    // In place: the spline solver leaves room for the two pieces, so the curve is not copied.
    form.breaks.insert(form.breaks.begin(), l);
    form.breaks.push_back(r);
    form.coefs.insert(form.coefs.begin(), dim * 4, 0.0);
    form.coefs.insert(form.coefs.begin() + static_cast<std::ptrdiff_t>(nb * dim * 4), dim * 4,
                      0.0);
    for (std::size_t d = 0; d < dim; ++d) {
        double* row = form.coefs.data() + d * 4;
        row[2] = slope_left[d];
        row[3] = value_left[d] + slope_left[d] * (l - b_first);
    }
    for (std::size_t d = 0; d < dim; ++d) {
        double* row = form.coefs.data() + (nb * dim + d) * 4;
        row[2] = slope_right[d];
        row[3] = value_right[d];
    }
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
