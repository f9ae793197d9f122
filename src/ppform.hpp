#pragma once
// The piecewise-polynomial form of a fitted curve: breaks, and per piece and value dimension
// one polynomial in the local variable t = X - (left break), highest power first.

#include <cstddef>
#include <span>
#include <vector>

namespace vorn {

struct PpForm {
    std::vector<double> breaks;
    std::vector<double> coefs;  // pieces() * dim rows by order columns, row-major
    std::size_t dim = 0;
    std::size_t order = 0;

    std::size_t pieces() const { return breaks.empty() ? 0 : breaks.size() - 1; }
};

// Largest i with breaks[i] <= site among the inner breaks; 0 left of (or at) the first break
// and for NaN, the last piece at or beyond the last break.
std::size_t locate(const PpForm& form, double site);

std::vector<double> eval_at(const PpForm& form, double site);   // dim values
std::vector<double> deriv_at(const PpForm& form, double site);  // dim first derivatives

// sites.size() rows by dim columns, row-major; all zeros for a form with fewer than two breaks.
std::vector<double> eval_sites(const PpForm& form, std::span<const double> sites);

void raise_to_cubic(PpForm& form);

// Adds linear pieces on [l, breaks.front()] and [breaks.back(), r] that continue the curve with
// its end values and slopes.
void extend_to(PpForm& form, double l, double r);

PpForm concat(std::vector<PpForm> parts);

}  // namespace vorn
