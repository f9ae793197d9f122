#pragma once
// The single steps every search over segment states is built from, shared between the searches
// of dp.cpp and the dominance search. Their arithmetic is the extension's and must not change.

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "cancel.hpp"
#include "dp.hpp"
#include "mapped_allocator.hpp"

namespace vorn::detail {

// The two roughness rows of the interval between the current end o and the new sample k, in
// the column order (f_o, mu_o, f_k, mu_k).
struct RoughnessRows {
    double a0, a1, a2, a3;  // row A
    double b1, b3;          // row B
};

RoughnessRows roughness_rows(const SegmentStep& s);

// A state block of segment_state_size(dim) doubles: (r22, r23, r33, energy, z2[dim], z3[dim]).
void init_state(double* v, std::size_t dim, const RoughnessRows& rr, double omega_o,
                double omega_k, const MatrixView& y, std::size_t o, std::size_t k);
void extend_state(double* v, std::size_t dim, const RoughnessRows& rr, double omega_k,
                  const MatrixView& y, std::size_t k);

void check_inputs(const EnergyInputs& in);
MappedVector<SpacingPowers> all_spacing_powers(std::span<const double> h);

// E(0..r) for every r by rightward growth from samples 0 and 1.
std::vector<double> prefix_pass(const EnergyInputs& in, std::span<const SpacingPowers> powers,
                                const CancelHook& cancel = CancelHook());

// Rotates `row` so that its entry in column `col` vanishes against the factor row `pivot`,
// over the columns col .. width - 1; nothing happens when there is nothing to eliminate.
inline void line_rotate(double* pivot, double* row, std::size_t col, std::size_t width) {
    if (row[col] == 0.0) return;
    const double rho = std::hypot(pivot[col], row[col]);
    if (rho == 0.0) return;
    const double cs = pivot[col] / rho;
    const double sn = row[col] / rho;
    for (std::size_t j = col; j < width; ++j) {
        const double pj = pivot[j];
        const double rj = row[j];
        pivot[j] = sn * rj + cs * pj;
        row[j] = cs * rj - sn * pj;
    }
}

// The rows of a straight-line search and its start (the prefix energies as F), after the
// checks every straight-line search makes.
struct LineSearchStart {
    std::vector<double> rows;
    PartitionResult result;
};
LineSearchStart line_search_start(std::span<const double> x, const MatrixView& y,
                                  std::span<const double> delta);

// First pass as F, zero back pointers and the starting counter; every search begins here.
PartitionResult common_start(std::vector<double> first_pass);

// The checks, the spacing powers and the first pass as F: where every search over spline
// states begins.
PartitionResult search_start(const EnergyInputs& in, MappedVector<SpacingPowers>& powers,
                             const CancelHook& cancel);

}  // namespace vorn::detail
