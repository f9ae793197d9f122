#pragma once
// The piecewise-polynomial form of a fitted curve: breaks, and per piece and value dimension
// one polynomial in the local variable t = X - (left break), highest power first.

#include <cstddef>
#include <span>
#include <vector>

#include "cancel.hpp"
#include "mapped_allocator.hpp"

namespace vorn {

struct PpForm {
    MappedVector<double> breaks;
    MappedVector<double> coefs;  // pieces() * dim rows by order columns, row-major
    std::size_t dim = 0;
    std::size_t order = 0;

    std::size_t pieces() const { return breaks.empty() ? 0 : breaks.size() - 1; }
};

// The same layout over memory held elsewhere (a form, or arrays of the caller), read only.
struct PpView {
    std::span<const double> breaks;
    std::span<const double> coefs;
    std::size_t dim = 0;
    std::size_t order = 0;

    std::size_t pieces() const { return breaks.empty() ? 0 : breaks.size() - 1; }
    static PpView of(const PpForm& form) { return {form.breaks, form.coefs, form.dim, form.order}; }
};

// Which piece serves a site that equals an inner break: the curve is right-continuous, and
// the left side gives the limit from the left (e.g. at a jump).
enum class Side { right, left };

// Largest i with breaks[i] <= site among the inner breaks; 0 left of (or at) the first break
// and for NaN, the last piece at or beyond the last break.
std::size_t locate(const PpForm& form, double site);
std::size_t locate(std::span<const double> breaks, double site);
// Smallest i with site <= breaks[i + 1] among the inner breaks: the piece ending at a site on an
// inner break; otherwise the same piece as locate.
std::size_t locate_left(std::span<const double> breaks, double site);

std::vector<double> eval_at(const PpForm& form, double site);   // dim values
std::vector<double> deriv_at(const PpForm& form, double site);  // dim first derivatives

// sites.size() rows by dim columns, row-major; all zeros for a form with fewer than two breaks.
std::vector<double> eval_sites(const PpForm& form, std::span<const double> sites);

// The nu-th derivative (nu = 0 for values) of every column at every site, into out (sites.size()
// rows by dim, row-major), with the piece rule of `side`; NaN sites give NaN. For nu = 0 and
// side right the values are those of eval_sites, bit for bit. Ticks the hook once per site.
void eval_into(const PpView& form, std::span<const double> sites, unsigned nu, Side side,
               std::span<double> out, const CancelHook& cancel = CancelHook());

// The nu-th derivative of column `column` of piece `piece`, at a site measured from that
// piece's left break (extrapolating outside the piece).
double piece_value(const PpView& form, std::size_t piece, std::size_t column, double site,
                   unsigned nu);

// The integral from a to b of every column (dim doubles into out): negative for b < a, NaN
// when a bound is NaN; the first and last pieces extend beyond the outer breaks.
void integrate_into(const PpView& form, double a, double b, std::span<double> out);

// Coefficients of the nu-th derivative: order max(order - nu, 1), same breaks.
PpForm derivative(const PpView& form, unsigned nu);

// Coefficients of the antiderivative that is 0 at the first break and continuous across every
// break: order + 1, same breaks.
PpForm antiderivative(const PpView& form);

void raise_to_cubic(PpForm& form);

// Adds linear pieces on [l, breaks.front()] and [breaks.back(), r] that continue the curve with
// its end values and slopes.
void extend_to(PpForm& form, double l, double r);

PpForm concat(std::vector<PpForm> parts);

}  // namespace vorn
