#pragma once
// A search problem as the fitting driver prepares it, shared by the tests of the searches.

#include <cmath>
#include <cstddef>
#include <vector>

#include "dp.hpp"

namespace vorn::test {

struct DpProblem {
    std::vector<double> x, y, delta, h, omega, tau;
    std::size_t dim = 1;
    double p = 0.5;
    double a = 0.0;

    std::size_t n() const { return x.size(); }
    MatrixView y_view() const { return MatrixView::row_major(y.data(), n(), dim); }
    EnergyInputs inputs() const { return {y_view(), h, omega, tau, a}; }

    // Recomputes the derived quantities the way the fitting driver does.
    void derive(bool local) {
        h.resize(n() - 1);
        for (std::size_t i = 0; i + 1 < n(); ++i) h[i] = x[i + 1] - x[i];
        const double sp = std::sqrt(p);
        omega.resize(n());
        for (std::size_t i = 0; i < n(); ++i) omega[i] = sp / delta[i];
        a = std::sqrt(1.0 - p);
        tau = local ? vorn::local_tau(h, omega, a) : std::vector<double>(n(), 1.0);
    }
};

// y = 0, 0, 0, 1, 3, -2, 4 on sites 0..6 with p = 0.5: with gamma = E(0..3) the jump before
// sample 2 costs exactly as much as no jump at r = 3, a tie the searches must break alike.
inline DpProblem tie_problem() {
    DpProblem P;
    const std::vector<double> values = {0.0, 0.0, 0.0, 1.0, 3.0, -2.0, 4.0};
    for (std::size_t i = 0; i < values.size(); ++i) {
        P.x.push_back(double(i));
        P.y.push_back(values[i]);
        P.delta.push_back(1.0);
    }
    P.p = 0.5;
    P.derive(false);
    return P;
}

}  // namespace vorn::test
