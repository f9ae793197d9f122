#include "dp.hpp"

#include <algorithm>
#include <cmath>

#include "dp_steps.hpp"
#include "failure.hpp"

namespace vorn {
namespace detail {
namespace {

constexpr double sqrt3 = 1.7320508075688772;

// One plane rotation of a triangularisation, kept so that the right-hand side can be rotated
// column by column after the (column-independent) factor is done.
struct Rotation {
    double cs;
    double sn;
    unsigned o;
    unsigned t;
};

// The generic sweep of givens_qr on a small fixed-size matrix, recording its rotations instead
// of applying them to a right-hand side. It serves the two-sample start, which is not hot.
template <std::size_t Rows, std::size_t Cols>
std::size_t triangularise(double (&m)[Rows][Cols], Rotation* out) {
    constexpr std::size_t last = Rows < Cols ? Rows : Cols;
    std::size_t count = 0;
    for (std::size_t o = 0; o < last; ++o) {
        for (std::size_t t = Rows - 1; t > o; --t) {
            if (m[t][o] == 0.0) continue;
            const double rho = std::hypot(m[o][o], m[t][o]);
            const double cs = m[o][o] / rho;
            const double sn = m[t][o] / rho;
            for (std::size_t j = o; j < Cols; ++j) {
                const double mo = m[o][j];
                const double mt = m[t][j];
                m[o][j] = sn * mt + cs * mo;
                m[t][j] = cs * mt - sn * mo;
            }
            m[t][o] = 0.0;
            out[count++] = {cs, sn, static_cast<unsigned>(o), static_cast<unsigned>(t)};
        }
    }
    return count;
}

template <std::size_t Rows>
void apply_rotations(const Rotation* rotations, std::size_t count, double (&b)[Rows]) {
    for (std::size_t i = 0; i < count; ++i) {
        const Rotation& r = rotations[i];
        const double bo = b[r.o];
        const double bt = b[r.t];
        b[r.o] = r.sn * bt + r.cs * bo;
        b[r.t] = r.cs * bt - r.sn * bo;
    }
}

}  // namespace

RoughnessRows roughness_rows(const SegmentStep& s) {
    const double a = s.a;
    const double q1 = s.spacing.q1;
    const double q3 = s.spacing.q3;
    return {2.0 * sqrt3 * a * q3, sqrt3 * a * s.tau_o * q1, -2.0 * sqrt3 * a * q3,
            sqrt3 * a * s.tau_k * q1, a * s.tau_o * q1, -a * s.tau_k * q1};
}

void init_state(double* v, std::size_t dim, const RoughnessRows& rr, double omega_o,
                double omega_k, const MatrixView& y, std::size_t o, std::size_t k) {
    double m[4][4] = {{omega_o, 0.0, 0.0, 0.0},
                      {rr.a0, rr.a1, rr.a2, rr.a3},
                      {0.0, rr.b1, 0.0, rr.b3},
                      {0.0, 0.0, omega_k, 0.0}};
    Rotation rotations[6];
    const std::size_t count = triangularise(m, rotations);
    double* z2 = v + 4;
    double* z3 = v + 4 + dim;
    for (std::size_t j = 0; j < dim; ++j) {
        double b[4] = {omega_o * y(o, j), 0.0, 0.0, omega_k * y(k, j)};
        apply_rotations(rotations, count, b);
        z2[j] = b[2];
        z3[j] = b[3];
    }
    v[0] = m[2][2];
    v[1] = m[2][3];
    v[2] = m[3][3];
    // Four equations in four unknowns leave no residual.
    v[3] = 0.0;
}

namespace {

// The generic sweep over the 5 x 4 extension matrix
//     [r22 r23  0  0]   previous factor of (f_o, mu_o)
//     [ 0  r33  0  0]
//     [a0  a1  a2  a3]  row A
//     [ 0  b1   0  b3]  row B
//     [ 0   0   w   0]  data row of the new sample
// written out: entries that start as literal zeros are carried as the very products the sweep
// forms with them (c * 0.0 is not always 0), the sweep's zero tests decide every rotation, and
// only results that a later step or the new state reads are formed. Rotations (0,2), (1,3),
// (1,2), (2,4) and (3,4) are the usual ones; (2,3) occurs only when a NaN or infinity turns
// the zero below the third pivot into NaN.
struct Rotations {
    double c02 = 0.0, s02 = 0.0, c13 = 0.0, s13 = 0.0, c12 = 0.0, s12 = 0.0;
    double c24 = 0.0, s24 = 0.0, c23 = 0.0, s23 = 0.0, c34 = 0.0, s34 = 0.0;
    bool on02 = false, on13 = false, on12 = false, on24 = false, on23 = false, on34 = false;
};

void rotation(double pivot, double entry, double& cs, double& sn) {
    const double rho = std::hypot(pivot, entry);
    cs = pivot / rho;
    sn = entry / rho;
}

}  // namespace

void extend_state(double* v, std::size_t dim, const RoughnessRows& rr, double omega_k,
                  const MatrixView& y, std::size_t k) {
    const double r22 = v[0], r23 = v[1], r33 = v[2];
    Rotations q;
    // Column 0: only row A has an entry below the pivot.
    double m21 = rr.a1, m22 = rr.a2, m23 = rr.a3;
    if ((q.on02 = rr.a0 != 0.0)) {
        rotation(r22, rr.a0, q.c02, q.s02);
        m21 = q.c02 * rr.a1 - q.s02 * r23;
        m22 = q.c02 * rr.a2 - q.s02 * 0.0;
        m23 = q.c02 * rr.a3 - q.s02 * 0.0;
    }
    // Column 1, pivot row 1: row B, then row A.
    double p11 = r33, p12 = 0.0, p13 = 0.0;
    double m32 = 0.0, m33 = rr.b3;
    if ((q.on13 = rr.b1 != 0.0)) {
        rotation(p11, rr.b1, q.c13, q.s13);
        p11 = q.s13 * rr.b1 + q.c13 * r33;
        p12 = q.s13 * 0.0 + q.c13 * 0.0;
        p13 = q.s13 * rr.b3 + q.c13 * 0.0;
        m32 = q.c13 * 0.0 - q.s13 * 0.0;
        m33 = q.c13 * rr.b3 - q.s13 * 0.0;
    }
    if ((q.on12 = m21 != 0.0)) {
        rotation(p11, m21, q.c12, q.s12);
        const double n22 = q.c12 * m22 - q.s12 * p12;
        m23 = q.c12 * m23 - q.s12 * p13;
        m22 = n22;
    }
    // Column 2, pivot row 2: the data row, then row B.
    double m43 = 0.0;
    if ((q.on24 = omega_k != 0.0)) {
        rotation(m22, omega_k, q.c24, q.s24);
        m22 = q.s24 * omega_k + q.c24 * m22;
        m43 = q.c24 * 0.0 - q.s24 * m23;
        m23 = q.s24 * 0.0 + q.c24 * m23;
    }
    if ((q.on23 = m32 != 0.0)) {
        rotation(m22, m32, q.c23, q.s23);
        m22 = q.s23 * m32 + q.c23 * m22;
        const double n23 = q.s23 * m33 + q.c23 * m23;
        m33 = q.c23 * m33 - q.s23 * m23;
        m23 = n23;
    }
    // Column 3, pivot row 3.
    if ((q.on34 = m43 != 0.0)) {
        rotation(m33, m43, q.c34, q.s34);
        m33 = q.s34 * m43 + q.c34 * m33;
    }

    double* z2 = v + 4;
    double* z3 = v + 4 + dim;
    double s = 0.0;
    for (std::size_t j = 0; j < dim; ++j) {
        double b1 = z3[j], b2 = 0.0, b3 = 0.0, b4 = omega_k * y(k, j);
        if (q.on02) b2 = q.c02 * 0.0 - q.s02 * z2[j];
        if (q.on13) {
            b3 = q.c13 * 0.0 - q.s13 * b1;
            b1 = q.s13 * 0.0 + q.c13 * b1;
        }
        if (q.on12) b2 = q.c12 * b2 - q.s12 * b1;
        if (q.on24) {
            const double n2 = q.s24 * b4 + q.c24 * b2;
            b4 = q.c24 * b4 - q.s24 * b2;
            b2 = n2;
        }
        if (q.on23) {
            const double n2 = q.s23 * b3 + q.c23 * b2;
            b3 = q.c23 * b3 - q.s23 * b2;
            b2 = n2;
        }
        if (q.on34) {
            const double n3 = q.s34 * b4 + q.c34 * b3;
            b4 = q.c34 * b4 - q.s34 * b3;
            b3 = n3;
        }
        z2[j] = b2;
        z3[j] = b3;
        s = s + b4 * b4;
    }
    v[0] = m22;
    v[1] = m23;
    v[2] = m33;
    v[3] = s + v[3];
}

void check_inputs(const EnergyInputs& in) {
    const std::size_t n = in.size();
    require(n >= 2, "segment energies require n >= 2");
    require(in.h.size() + 1 == n, "h length must be n - 1");
    require(in.tau.empty() || in.tau.size() == n, "tau length must equal n");
    require(in.y.rows == n, "y rows must equal n");
}

MappedVector<SpacingPowers> all_spacing_powers(std::span<const double> h) {
    MappedVector<SpacingPowers> powers(h.size());
    for (std::size_t i = 0; i < h.size(); ++i) powers[i] = spacing_powers(h[i]);
    return powers;
}

// Rightward growth from samples 0 and 1, the first pass of both searches.
std::vector<double> prefix_pass(const EnergyInputs& in, std::span<const SpacingPowers> powers,
                                const CancelHook& cancel) {
    const std::size_t n = in.size();
    const std::size_t dim = in.y.cols;
    std::vector<double> energies(n, 0.0);
    std::vector<double> block(segment_state_size(dim));
    double* v = block.data();
    init_state(v, dim, roughness_rows({0, 1, powers[0], in.a, in.tau_at(0), in.tau_at(1)}),
               in.omega[0], in.omega[1], in.y, 0, 1);
    for (std::size_t r = 2; r < n; ++r) {
        const SegmentStep step{r - 1, r, powers[r - 1], in.a, in.tau_at(r - 1), in.tau_at(r)};
        extend_state(v, dim, roughness_rows(step), in.omega[r], in.y, r);
        energies[r] = SegmentState(v, dim).energy();
        cancel.tick();
    }
    return energies;
}

// First pass, zero back pointers and the starting counter; all variants begin here.
PartitionResult common_start(std::vector<double> first_pass) {
    PartitionResult result;
    const std::size_t n = first_pass.size();
    result.F = std::move(first_pass);
    result.partition.assign(n, 0);
    result.complexity_counter = n;
    return result;
}

PartitionResult search_start(const EnergyInputs& in, MappedVector<SpacingPowers>& powers,
                             const CancelHook& cancel) {
    check_inputs(in);
    powers = all_spacing_powers(in.h);
    return common_start(prefix_pass(in, powers, cancel));
}

}  // namespace detail

using namespace detail;

SpacingPowers spacing_powers(double h) { return {std::pow(h, -0.5), std::pow(h, -1.5)}; }

void segment_init(SegmentState state, const SegmentStep& step, double omega_o, double omega_k,
                  const MatrixView& y) {
    init_state(state.block(), state.dim(), roughness_rows(step), omega_o, omega_k, y, step.o,
               step.k);
}

void segment_extend(SegmentState state, const SegmentStep& step, double omega_k,
                    const MatrixView& y) {
    extend_state(state.block(), state.dim(), roughness_rows(step), omega_k, y, step.k);
}

void givens_qr(std::span<double> m, std::size_t rows, std::size_t cols, std::span<double> b,
               std::size_t dim) {
    require(m.size() == rows * cols, "givens_qr: matrix size must be rows * cols");
    require(b.size() == rows * dim, "givens_qr: right-hand side size must be rows * dim");
    const std::size_t last = std::min(rows, cols);
    for (std::size_t o = 0; o < last; ++o) {
        for (std::size_t t = rows - 1; t > o; --t) {
            double* mo = &m[o * cols];
            double* mt = &m[t * cols];
            if (mt[o] == 0.0) continue;
            const double rho = std::hypot(mo[o], mt[o]);
            const double cs = mo[o] / rho;
            const double sn = mt[o] / rho;
            for (std::size_t j = o; j < cols; ++j) {
                const double vo = mo[j];
                const double vt = mt[j];
                mo[j] = sn * vt + cs * vo;
                mt[j] = cs * vt - sn * vo;
            }
            double* bo = b.data() + o * dim;
            double* bt = b.data() + t * dim;
            for (std::size_t j = 0; j < dim; ++j) {
                const double vo = bo[j];
                const double vt = bt[j];
                bo[j] = sn * vt + cs * vo;
                bt[j] = cs * vt - sn * vo;
            }
            mt[o] = 0.0;
        }
    }
}

std::vector<double> prefix_energies(const EnergyInputs& in) {
    check_inputs(in);
    return prefix_pass(in, all_spacing_powers(in.h));
}

std::vector<double> local_tau(std::span<const double> h, std::span<const double> omega, double a) {
    const std::size_t n = omega.size();
    require(n >= 2, "segment energies require n >= 2");
    require(h.size() + 1 == n, "h length must be n - 1");
    std::vector<double> tau(n, 1.0);
    const double kappa = a * a;
    if (kappa == 0.0) return tau;
    const auto inv_cube = [](double s) { return 1.0 / (s * s * s); };
    tau[0] = std::sqrt((omega[0] * omega[0] + 12.0 * kappa * inv_cube(h[0])) /
                       (4.0 * kappa * (1.0 / h[0])));
    tau[n - 1] = std::sqrt((omega[n - 1] * omega[n - 1] + 12.0 * kappa * inv_cube(h[n - 2])) /
                           (4.0 * kappa * (1.0 / h[n - 2])));
    for (std::size_t i = 1; i + 1 < n; ++i) {
        tau[i] = std::sqrt(
            (omega[i] * omega[i] + 12.0 * kappa * (inv_cube(h[i]) + inv_cube(h[i - 1]))) /
            (4.0 * kappa * (1.0 / h[i] + 1.0 / h[i - 1])));
    }
    return tau;
}

PartitionResult partition_fpvi(const EnergyInputs& in, double gamma, const CancelHook& cancel) {
    MappedVector<SpacingPowers> powers;
    PartitionResult result = search_start(in, powers, cancel);
    const std::size_t n = in.size();
    const std::size_t dim = in.y.cols;
    std::vector<double>& F = result.F;
    if (gamma >= F[n - 1] || n <= 2) return result;

    std::vector<double> block(segment_state_size(dim));
    double* v = block.data();
    std::uint64_t counter = result.complexity_counter;
    for (std::size_t r = 2; r < n; ++r) {
        std::size_t best = 0;
        double best_value = F[r];
        std::size_t J = r - 1;
        init_state(v, dim,
                   roughness_rows({r, r - 1, powers[r - 1], in.a, in.tau_at(r), in.tau_at(r - 1)}),
                   in.omega[r], in.omega[r - 1], in.y, r, r - 1);
        counter += 2;
        for (;;) {
            const double energy = SegmentState(v, dim).energy();
            // Energies only grow as the segment reaches further left and F >= 0.
            if (gamma + energy >= best_value) break;
            const double cand = (F[J - 1] + gamma) + energy;
            if (best_value > cand) {
                best_value = cand;
                best = J;
            }
            if (J == 1) break;
            --J;
            extend_state(
                v, dim, roughness_rows({J + 1, J, powers[J], in.a, in.tau_at(J + 1), in.tau_at(J)}),
                in.omega[J], in.y, J);
            ++counter;
        }
        F[r] = best_value;
        result.partition[r] = best;
        const std::uint64_t scanned = r - J;
        result.stats.extensions += scanned - 1;
        result.stats.max_active = std::max(result.stats.max_active, scanned);
        cancel.tick(scanned);
    }
    result.complexity_counter = counter;
    return result;
}

PartitionResult partition_pelt(const EnergyInputs& in, double gamma, const CancelHook& cancel) {
    MappedVector<SpacingPowers> powers;
    PartitionResult result = search_start(in, powers, cancel);
    const std::size_t n = in.size();
    const std::size_t dim = in.y.cols;
    std::vector<double>& F = result.F;
    if (gamma >= F[n - 1] || n <= 2) return result;

    // State of start l lives at index l - 1; starts 1 .. n - 2 exist.
    const std::size_t stride = segment_state_size(dim);
    std::vector<double> states((n - 2) * stride);
    for (std::size_t l = 1; l + 1 < n; ++l) {
        init_state(&states[(l - 1) * stride], dim,
                   roughness_rows({l, l + 1, powers[l], in.a, in.tau_at(l), in.tau_at(l + 1)}),
                   in.omega[l], in.omega[l + 1], in.y, l, l + 1);
    }
    std::vector<std::size_t> candidates;
    candidates.reserve(n);
    candidates.push_back(1);
    std::uint64_t counter = result.complexity_counter;
    for (std::size_t r = 2; r < n; ++r) {
        std::size_t best = 0;
        double best_value = F[r];
        const RoughnessRows rr =
            roughness_rows({r - 1, r, powers[r - 1], in.a, in.tau_at(r - 1), in.tau_at(r)});
        for (std::size_t i = candidates.size(); i > 0; --i) {
            const std::size_t l = candidates[i - 1];
            double* v = &states[(l - 1) * stride];
            if (r - l > 1) {
                extend_state(v, dim, rr, in.omega[r], in.y, r);
                ++counter;
            }
            const double cand = (F[l - 1] + gamma) + SegmentState(v, dim).energy();
            if (best_value > cand) {
                best_value = cand;
                best = l;
            }
        }
        F[r] = best_value;
        result.partition[r] = best;
        if (r < n - 1) candidates.push_back(r);
        // No gamma term: a start whose segment alone already costs more than the optimum can
        // never win again, since energies only grow; NaN comparisons drop the start too.
        std::size_t kept = 0;
        for (const std::size_t l : candidates) {
            if (best_value >= F[l - 1] + states[(l - 1) * stride + 3]) candidates[kept++] = l;
        }
        result.stats.max_active = std::max<std::uint64_t>(result.stats.max_active,
                                                          candidates.size());
        result.stats.pruned += candidates.size() - kept;
        candidates.resize(kept);
        cancel.tick(candidates.size() + 1);
    }
    result.stats.extensions = counter - result.complexity_counter;
    result.complexity_counter = counter;
    return result;
}

std::vector<double> line_rows(std::span<const double> x, const MatrixView& y,
                              std::span<const double> delta) {
    const std::size_t n = x.size();
    const std::size_t width = y.cols + 2;
    std::vector<double> rows(n * width);
    for (std::size_t i = 0; i < n; ++i) {
        double* row = &rows[i * width];
        row[0] = 1.0 / delta[i];
        row[1] = x[i] / delta[i];
        for (std::size_t j = 0; j < y.cols; ++j) row[2 + j] = y(i, j) / delta[i];
    }
    return rows;
}

LineSegment::LineSegment(std::size_t dim)
    : width_(dim + 2), first_(width_), second_(width_), work_(width_) {}

void LineSegment::start(std::span<const double> pivot_row, std::span<const double> other_row) {
    std::copy_n(pivot_row.begin(), width_, first_.begin());
    std::copy_n(other_row.begin(), width_, second_.begin());
    line_rotate(first_.data(), second_.data(), 0, width_);
    energy_ = 0.0;
}

void LineSegment::add(std::span<const double> row) {
    std::copy_n(row.begin(), width_, work_.begin());
    line_rotate(first_.data(), work_.data(), 0, width_);
    line_rotate(second_.data(), work_.data(), 1, width_);
    double s = 0.0;
    for (std::size_t j = 2; j < width_; ++j) s = s + work_[j] * work_[j];
    energy_ = energy_ + s;
}

std::vector<double> line_prefix_energies(std::span<const double> rows, std::size_t dim) {
    const std::size_t width = dim + 2;
    const std::size_t n = rows.size() / width;
    require(n >= 2, "segment energies require n >= 2");
    std::vector<double> energies(n, 0.0);
    LineSegment segment(dim);
    segment.start(rows.subspan(0, width), rows.subspan(width, width));
    for (std::size_t r = 2; r < n; ++r) {
        segment.add(rows.subspan(r * width, width));
        energies[r] = segment.energy();
    }
    return energies;
}

namespace detail {

LineSearchStart line_search_start(std::span<const double> x, const MatrixView& y,
                                  std::span<const double> delta) {
    const std::size_t n = x.size();
    require(n >= 2, "segment energies require n >= 2");
    require(y.rows == n, "y rows must equal n");
    require(delta.size() == n, "delta length must equal n");
    std::vector<double> rows = line_rows(x, y, delta);
    PartitionResult result = common_start(line_prefix_energies(rows, y.cols));
    return {std::move(rows), std::move(result)};
}

}  // namespace detail

PartitionResult partition_line(std::span<const double> x, const MatrixView& y,
                               std::span<const double> delta, double gamma,
                               const CancelHook& cancel) {
    const std::size_t n = x.size();
    const std::size_t dim = y.cols;
    const std::size_t width = dim + 2;
    LineSearchStart start = line_search_start(x, y, delta);
    const std::span<const double> rows(start.rows);
    PartitionResult result = std::move(start.result);
    std::vector<double>& F = result.F;
    if (gamma >= F[n - 1]) return result;

    LineSegment segment(dim);
    std::uint64_t counter = result.complexity_counter;
    for (std::size_t r = 2; r < n; ++r) {
        std::size_t best = 0;
        double best_value = F[r];
        segment.start(rows.subspan(r * width, width), rows.subspan((r - 1) * width, width));
        const double first = (F[r - 2] + gamma) + segment.energy();
        if (best_value > first) {
            best_value = first;
            best = r - 1;
        }
        for (std::size_t J = r - 2; J >= 1; --J) {
            segment.add(rows.subspan(J * width, width));
            ++counter;
            const double cand = (F[J - 1] + gamma) + segment.energy();
            if (best_value > cand) {
                best_value = cand;
                best = J;
            }
        }
        F[r] = best_value;
        result.partition[r] = best;
        result.stats.extensions += r - 2;
        result.stats.max_active = r - 1;
        cancel.tick(r - 1);
    }
    result.complexity_counter = counter;
    return result;
}

}  // namespace vorn
