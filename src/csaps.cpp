#include "csaps.hpp"

#include <cstddef>
#include <span>
#include <vector>

#include "failure.hpp"
#include "mapped_allocator.hpp"
#include "memory.hpp"

namespace vorn {
namespace detail {
namespace {

// Straight line through the two samples; with two sites there is nothing to smooth.
void fit_two_points(std::span<const double> x, const MatrixView& y, PpForm& out) {
    const std::size_t d = y.cols;
    const double dx = x[1] - x[0];
    for (std::size_t j = 0; j < d; ++j) {
        double* row = out.coefs.data() + j * 4;
        const double y0 = y(0, j);
        row[0] = 0.0;
        row[1] = 0.0;
        row[2] = (y(1, j) - y0) / dx;
        row[3] = y0;
    }
}

// The p -> 0 limit of the smoothing spline: the weighted least-squares line, per column.
void fit_line(std::span<const double> x, const MatrixView& y, const VectorView& w, PpForm& out) {
    const std::size_t n = x.size();
    const std::size_t d = y.cols;
    double sw = 0.0;
    double swx = 0.0;
    double swxx = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double wi = w[i];
        sw += wi;
        swx += wi * x[i];
        swxx += (wi * x[i]) * x[i];
    }
    const double det = swxx * sw - swx * swx;
    for (std::size_t j = 0; j < d; ++j) {
        double swy = 0.0;
        double swxy = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double wi = w[i];
            const double yi = y(i, j);
            swy += wi * yi;
            swxy += (x[i] * wi) * yi;
        }
        double slope;
        double intercept;
        if (det == 0.0) {
            // All weight on one abscissa: only the weighted mean is determined.
            slope = 0.0;
            intercept = swy / sw;
        } else {
            slope = (sw * swxy - swy * swx) / det;
            intercept = (swxx * swy - swxy * swx) / det;
        }
        for (std::size_t i = 0; i + 1 < n; ++i) {
            double* row = out.coefs.data() + (i * d + j) * 4;
            row[0] = 0.0;
            row[1] = 0.0;
            row[2] = slope;
            row[3] = x[i] * slope + intercept;
        }
    }
}

// Reinsch's algorithm in p-weighted form. The pentadiagonal system for the inner second
// derivatives is factorised in place (A's diagonals are overwritten by D, L1 and L2) and solved
// for every value column in one sweep, so the cost stays linear in n * d. The second
// derivatives and the values live in the coefficient rows that will hold half of each (the
// quadratic and the constant term), one row per site (out has room for one more than its
// pieces): the working block then holds only A.
void fit_spline(std::span<const double> x, const MatrixView& y, const VectorView& w, double p,
                PpForm& out) {
    const std::size_t n = x.size();
    const std::size_t d = y.cols;
    const std::size_t m = n - 2;

    // One block for all working storage: many calls are on tiny segments. Spacings, their
    // reciprocals and the reciprocal weights are formed where they are read, with the same
    // operations.
    MappedVector<double> block(3 * m);
    double* const diag = block.data();  // A[k][k], then d_k
    double* const off1 = diag + m;      // A[k][k+1], then l1_(k+1)
    double* const off2 = off1 + m;      // A[k][k+2], then l2_(k+2)
    const auto h = [x](std::size_t i) { return x[i + 1] - x[i]; };
    const auto r = [&h](std::size_t i) { return 1.0 / h(i); };
    const auto iw = [&w](std::size_t i) { return 1.0 / w[i]; };

    out.coefs.resize(n * d * 4);  // zero: the ends' second derivatives
    double* const coefs = out.coefs.data();
    // Second derivatives; rows 1 .. m hold B, then U.
    const auto g = [coefs, d](std::size_t i, std::size_t j) -> double& {
        return coefs[(i * d + j) * 4 + 1];
    };
    // y, then the smoothed values.
    const auto f = [coefs, d](std::size_t i, std::size_t j) -> double& {
        return coefs[(i * d + j) * 4 + 3];
    };
    // Row k of U is row k + 1 of G.
    const auto u = [&g](std::size_t k, std::size_t j) -> double& { return g(k + 1, j); };

    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) f(i, j) = y(i, j);
    }

    const double q = 1.0 - p;
    for (std::size_t k = 0; k < m; ++k) {
        const double rk = r(k);
        const double rk1 = r(k + 1);
        const double rs = rk + rk1;
        const double iw0 = iw(k);
        const double iw1 = iw(k + 1);
        const double iw2 = iw(k + 2);
        diag[k] = p * (h(k) + h(k + 1)) / 3.0 +
                  q * ((rk1 * rk1) * iw2 + (rs * rs) * iw1 + (rk * rk) * iw0);
        if (k + 1 < m) {
            const double rk2 = r(k + 2);
            off1[k] = p * h(k + 1) / 6.0 + q * ((-rs) * rk1 * iw1 - (rk2 + rk1) * rk1 * iw2);
            if (k + 2 < m) off2[k] = q * rk2 * rk1 * iw2;
        }
    }

    for (std::size_t k = 0; k < m; ++k) {
        const double rk = r(k);
        const double rk1 = r(k + 1);
        for (std::size_t j = 0; j < d; ++j) {
            g(k + 1, j) = p * (f(k + 2, j) * rk1 + (f(k, j) * rk - f(k + 1, j) * (rk + rk1)));
        }
    }

    // LDL^T without pivoting: A is positive definite for distinct sites and positive weights.
    if (m >= 2) {
        const double l1 = off1[0] / diag[0];
        off1[0] = l1;
        diag[1] = diag[1] - (l1 * l1) * diag[0];
    }
    for (std::size_t k = 2; k < m; ++k) {
        const double l2 = off2[k - 2] / diag[k - 2];
        const double l1 = (off1[k - 1] - diag[k - 2] * (off1[k - 2] * l2)) / diag[k - 1];
        off2[k - 2] = l2;
        off1[k - 1] = l1;
        diag[k] = diag[k] - ((l1 * l1) * diag[k - 1] + (l2 * l2) * diag[k - 2]);
    }

    if (m >= 2) {
        const double l1 = off1[0];
        for (std::size_t j = 0; j < d; ++j) u(1, j) = u(1, j) - l1 * u(0, j);
    }
    for (std::size_t k = 2; k < m; ++k) {
        const double l1 = off1[k - 1];
        const double l2 = off2[k - 2];
        for (std::size_t j = 0; j < d; ++j) {
            u(k, j) = u(k, j) - l1 * u(k - 1, j) - l2 * u(k - 2, j);
        }
    }
    for (std::size_t k = 0; k < m; ++k) {
        const double dk = diag[k];
        for (std::size_t j = 0; j < d; ++j) u(k, j) /= dk;
    }
    for (std::size_t k = m - 1; k-- > 0;) {
        const double l1 = off1[k];
        if (k + 2 <= m - 1) {
            const double l2 = off2[k];
            for (std::size_t j = 0; j < d; ++j) {
                u(k, j) = u(k, j) - l1 * u(k + 1, j) - l2 * u(k + 2, j);
            }
        } else {
            for (std::size_t j = 0; j < d; ++j) u(k, j) = u(k, j) - l1 * u(k + 1, j);
        }
    }

    if (q != 0.0 && d > 0) {
        const double lambda = q / p;
        for (std::size_t i = 0; i < n; ++i) {
            const double wi = w[i];
            // The spacings' reciprocals either side of site i, where they exist.
            const double left = i >= 1 ? r(i - 1) : 0.0;
            const double right = i + 1 < n ? r(i) : 0.0;
            for (std::size_t j = 0; j < d; ++j) {
                // Row i of Q * U, with the terms that exist at the two ends.
                double s = 0.0;
                if (i >= 2) s = left * u(i - 2, j);
                if (i >= 1 && i <= m) s = s - (left + right) * u(i - 1, j);
                if (i + 1 <= m) s = s + right * u(i, j);
                f(i, j) = f(i, j) - (s * lambda) / wi;
            }
        }
    }

    // Row i is written after its own site's values are read and before the next site's are.
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double hi = h(i);
        for (std::size_t j = 0; j < d; ++j) {
            const double g0 = g(i, j);
            const double g1 = g(i + 1, j);
            const double f0 = f(i, j);
            const double f1 = f(i + 1, j);
            double* row = coefs + (i * d + j) * 4;
            row[0] = (g1 - g0) / (hi * 6.0);
            row[1] = g0 * 0.5;
            row[2] = (f1 - f0) / hi - (hi / 6.0) * ((g0 + g0) + g1);
            row[3] = f0;
        }
    }
    out.coefs.resize((n - 1) * d * 4);
}

}  // namespace
}  // namespace detail

PpForm csaps(const VectorView& x, const MatrixView& y, const VectorView& w, double p) {
    const std::size_t n = x.size;
    require(y.rows == n, "y rows must equal x length");
    require(w.size == n, "w length must equal x length");
    require(n >= 2, "csaps requires N >= 2");

    const std::size_t d = y.cols;
    PpForm out;
    out.dim = d;
    out.order = 4;
    // Room for the two linear pieces that extend_to adds, so that it need not copy the curve.
    reserve_large(out.breaks, n + 2);
    reserve_large(out.coefs, (n + 1) * d * 4);
    out.breaks.resize(n);
    for (std::size_t i = 0; i < n; ++i) out.breaks[i] = x[i];
    out.coefs.resize((n - 1) * d * 4);

    const std::span<const double> sites(out.breaks);
    if (n == 2) {
        detail::fit_two_points(sites, y, out);
    } else if (p == 0.0) {
        detail::fit_line(sites, y, w, out);
    } else {
        detail::fit_spline(sites, y, w, p, out);
    }
    return out;
}

}  // namespace vorn
