#pragma once
// Segment energies by plane rotations and the dynamic program over partitions of the samples.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "cancel.hpp"
#include "views.hpp"

namespace vorn {

// What the smoothing-spline energy of any run of consecutive samples depends on.
struct EnergyInputs {
    MatrixView y;                  // n value rows, dim columns
    std::span<const double> h;     // n - 1 spacings
    std::span<const double> omega; // n fit weights sqrt(p) / delta
    std::span<const double> tau;   // n slope scales, or none for unit ones
    double a = 0.0;                // roughness factor sqrt(1 - p)

    std::size_t size() const { return omega.size(); }
    double tau_at(std::size_t i) const { return tau.empty() ? 1.0 : tau[i]; }
};

// What a search did beyond the complexity counter: the package reports it to its users.
struct SearchStats {
    std::uint64_t extensions = 0;  // one-sample extensions of segment states
    std::uint64_t dropped = 0;     // starts dropped because another start dominates them
    std::uint64_t max_active = 0;  // the longest the list of live starts became
    std::uint64_t pruned = 0;      // starts dropped because the optimum so far beats them
    std::uint64_t fallback_steps = 0;  // steps taken with the extension's arithmetic instead
};

struct PartitionResult {
    std::vector<double> F;
    std::vector<std::uint64_t> partition;
    std::uint64_t complexity_counter = 0;
    SearchStats stats;
};

// E(0..r) for every r.
std::vector<double> prefix_energies(const EnergyInputs& in);

// Slope scales for precondition "local".
std::vector<double> local_tau(std::span<const double> h, std::span<const double> omega, double a);

PartitionResult partition_fpvi(const EnergyInputs& in, double gamma,
                               const CancelHook& cancel = CancelHook());
PartitionResult partition_pelt(const EnergyInputs& in, double gamma,
                               const CancelHook& cancel = CancelHook());

// PELT whose candidate list also drops starts that can never win again (dominated by another
// start), so that it stays short inside long segments. Same partition as partition_pelt except
// where two partitions cost the same up to rounding; F agrees to rounding (its own arithmetic,
// vectorised across starts, is not the extension's bit for bit). See dp_dominance.cpp.
PartitionResult partition_dominance(const EnergyInputs& in, double gamma,
                                    const CancelHook& cancel = CancelHook());

// p == 0: straight-line energies with weights 1 / delta^2.
PartitionResult partition_line(std::span<const double> x, const MatrixView& y,
                               std::span<const double> delta, double gamma,
                               const CancelHook& cancel = CancelHook());

// The same optimum with partition_dominance's rules: each live start grows rightward and is
// dropped once another start certainly costs less from then on. Same partition as
// partition_line except where two partitions cost the same up to rounding; F to rounding.
PartitionResult partition_line_dominance(std::span<const double> x, const MatrixView& y,
                                         std::span<const double> delta, double gamma,
                                         const CancelHook& cancel = CancelHook());

// ---- The incremental pieces the searches are built from ------------------------------------

// h^-0.5 and h^-1.5 of one spacing; a search evaluates them once per spacing and reuses them.
struct SpacingPowers {
    double q1 = 0.0;
    double q3 = 0.0;
};
SpacingPowers spacing_powers(double h);

// Doubles one segment state occupies.
constexpr std::size_t segment_state_size(std::size_t dim) { return 4 + 2 * dim; }

// A segment under construction, reduced to what its next extension reads: the 2x2 upper
// triangular factor of the value and scaled slope at the current end, the two matching rows of
// the rotated right-hand side, and the energy of the samples covered so far. The values live in
// a block of segment_state_size(dim) doubles owned by the caller, so that a search can keep all
// its states in one array and grow them without allocating.
class SegmentState {
public:
    SegmentState(double* block, std::size_t dim) : v_(block), dim_(dim) {}

    double factor22() const { return v_[0]; }
    double factor23() const { return v_[1]; }
    double factor33() const { return v_[2]; }
    double energy() const { return v_[3]; }
    std::span<const double> rhs_row2() const { return {v_ + 4, dim_}; }
    std::span<const double> rhs_row3() const { return {v_ + 4 + dim_, dim_}; }
    std::size_t dim() const { return dim_; }
    double* block() const { return v_; }

private:
    double* v_;
    std::size_t dim_;
};

// The sample pair a segment starts from or grows by: o is the current end (or the first sample
// of a start), k the adjacent new sample.
struct SegmentStep {
    std::size_t o = 0;
    std::size_t k = 0;
    SpacingPowers spacing;  // of the spacing between o and k
    double a = 0.0;
    double tau_o = 1.0;
    double tau_k = 1.0;
};

// State covering samples o and k with current end k; its energy is 0.
void segment_init(SegmentState state, const SegmentStep& step, double omega_o, double omega_k,
                  const MatrixView& y);

// Grows the state (current end o) by the adjacent sample k, which becomes the current end.
void segment_extend(SegmentState state, const SegmentStep& step, double omega_k,
                    const MatrixView& y);

// Upper triangularisation of the rows x cols matrix m by plane rotations, applied alike to the
// rows x dim right-hand side b; both row-major and changed in place.
void givens_qr(std::span<double> m, std::size_t rows, std::size_t cols, std::span<double> b,
               std::size_t dim);

// ---- Straight-line energies (p == 0) ---------------------------------------------------------

// Every sample as the row (1/delta, x/delta, y_1/delta, ..., y_dim/delta): n rows of dim + 2.
std::vector<double> line_rows(std::span<const double> x, const MatrixView& y,
                              std::span<const double> delta);

// The weighted least-squares line of a run of samples, grown one row at a time. Holds the two
// factor rows and one working row, all allocated when it is made.
class LineSegment {
public:
    explicit LineSegment(std::size_t dim);

    // The pivot row is the sample at the fixed end of the growth; the energy becomes 0.
    void start(std::span<const double> pivot_row, std::span<const double> other_row);
    void add(std::span<const double> row);
    double energy() const { return energy_; }

private:
    std::size_t width_;
    std::vector<double> first_;
    std::vector<double> second_;
    std::vector<double> work_;
    double energy_ = 0.0;
};

// E_lin(0..r) for every r, from rows as line_rows makes them.
std::vector<double> line_prefix_energies(std::span<const double> rows, std::size_t dim);

}  // namespace vorn
