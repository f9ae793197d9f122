#include "dp_sweep.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace vorn::detail {
namespace {

// Squared norms inside this range give a rotation by sqrt(t) whose cosine and sine carry full
// precision and whose products cannot overflow; hypot is needed only outside it.
constexpr double safe_low = 0x1p-960;
constexpr double safe_high = 0x1p960;

// Branch-free, so that the loops below stay vectorisable; a NaN is unsafe too.
inline std::uint64_t unsafe(double t) {
    return static_cast<std::uint64_t>(!(t >= safe_low) | !(t <= safe_high));
}

struct FactorArrays {
    const double* __restrict r22;
    const double* __restrict r23;
    const double* __restrict r33;
    double* __restrict s02;
    double* __restrict c13;
    double* __restrict s13;
    double* __restrict c12;
    double* __restrict s12;
    double* __restrict c24;
    double* __restrict s24;
    double* __restrict c34;
    double* __restrict s34;
    double* __restrict n22;
    double* __restrict n23;
    double* __restrict n33;
};

// The factor part of the extension's rotation sweep (rotations (0,2), (1,3), (1,2), (2,4),
// (3,4), in that order), for the usual case where the roughness rows and the new weight are
// nonzero. A rotation whose entry is zero becomes the identity, as the sweep's zero test makes
// it. Returns nonzero when some rotation fell outside the safe range.
__attribute__((target_clones("avx512f", "avx2", "default"))) std::uint64_t factor_sweep(
    std::size_t count, FactorArrays f, double a0, double a1, double a2, double a3,
    double b1, double b3, double w) {
    const double* __restrict in22 = f.r22;
    const double* __restrict in23 = f.r23;
    const double* __restrict in33 = f.r33;
    double* __restrict out_s02 = f.s02;
    double* __restrict out_c13 = f.c13;
    double* __restrict out_s13 = f.s13;
    double* __restrict out_c12 = f.c12;
    double* __restrict out_s12 = f.s12;
    double* __restrict out_c24 = f.c24;
    double* __restrict out_s24 = f.s24;
    double* __restrict out_c34 = f.c34;
    double* __restrict out_s34 = f.s34;
    double* __restrict out22 = f.n22;
    double* __restrict out23 = f.n23;
    double* __restrict out33 = f.n33;
    std::uint64_t bad = 0;
    const double r02 = a0 * a0;
    const double r13 = b1 * b1;
    const double w2 = w * w;
    for (std::size_t i = 0; i < count; ++i) {
        const double r22 = in22[i], r23 = in23[i], r33 = in33[i];
        double t = r22 * r22 + r02;
        bad |= unsafe(t);
        double inv = 1.0 / std::sqrt(t);
        const double c02 = r22 * inv, s02 = a0 * inv;
        const double m21 = c02 * a1 - s02 * r23;
        double m22 = c02 * a2;
        double m23 = c02 * a3;

        t = r33 * r33 + r13;
        bad |= unsafe(t);
        inv = 1.0 / std::sqrt(t);
        const double c13 = r33 * inv, s13 = b1 * inv;
        const double p11 = s13 * b1 + c13 * r33;
        const double p13 = s13 * b3;
        double m33 = c13 * b3;

        const bool on12 = m21 != 0.0;
        t = p11 * p11 + m21 * m21;
        bad |= static_cast<std::uint64_t>(on12) & unsafe(t);
        inv = 1.0 / std::sqrt(t);
        const double c12 = on12 ? p11 * inv : 1.0;
        const double s12 = on12 ? m21 * inv : 0.0;
        m23 = c12 * m23 - s12 * p13;
        m22 = c12 * m22;

        t = m22 * m22 + w2;
        bad |= unsafe(t);
        inv = 1.0 / std::sqrt(t);
        const double c24 = m22 * inv, s24 = w * inv;
        m22 = s24 * w + c24 * m22;
        const double m43 = -(s24 * m23);
        m23 = c24 * m23;

        const bool on34 = m43 != 0.0;
        t = m33 * m33 + m43 * m43;
        bad |= static_cast<std::uint64_t>(on34) & unsafe(t);
        inv = 1.0 / std::sqrt(t);
        const double c34 = on34 ? m33 * inv : 1.0;
        const double s34 = on34 ? m43 * inv : 0.0;
        m33 = s34 * m43 + c34 * m33;

        out_s02[i] = s02;
        out_c13[i] = c13;
        out_s13[i] = s13;
        out_c12[i] = c12;
        out_s12[i] = s12;
        out_c24[i] = c24;
        out_s24[i] = s24;
        out_c34[i] = c34;
        out_s34[i] = s34;
        out22[i] = m22;
        out23[i] = m23;
        out33[i] = m33;
    }
    return bad;
}

struct RhsArrays {
    const double* __restrict s02;
    const double* __restrict c13;
    const double* __restrict s13;
    const double* __restrict c12;
    const double* __restrict s12;
    const double* __restrict c24;
    const double* __restrict s24;
    const double* __restrict c34;
    const double* __restrict s34;
};

// One value column of the right-hand side through the same rotations; adds the square of the
// residual row to sum.
__attribute__((target_clones("avx512f", "avx2", "default"))) void rhs_sweep(
    std::size_t count, const RhsArrays& q, double wy, double* __restrict z2,
    double* __restrict z3, double* __restrict sum) {
    for (std::size_t i = 0; i < count; ++i) {
        double b1 = z3[i];
        double b2 = -(q.s02[i] * z2[i]);
        double b3 = -(q.s13[i] * b1);
        b1 = q.c13[i] * b1;
        b2 = q.c12[i] * b2 - q.s12[i] * b1;
        const double n2 = q.s24[i] * wy + q.c24[i] * b2;
        double b4 = q.c24[i] * wy - q.s24[i] * b2;
        b2 = n2;
        const double n3 = q.s34[i] * b4 + q.c34[i] * b3;
        b4 = q.c34[i] * b4 - q.s34[i] * b3;
        b3 = n3;
        z2[i] = b2;
        z3[i] = b3;
        sum[i] = sum[i] + b4 * b4;
    }
}

// Clears the flag of every start whose segment alone already costs more than the optimum; a
// NaN clears it too. Returns how many flags it cleared.
__attribute__((target_clones("avx512f", "avx2", "default"))) std::uint64_t prune_sweep(
    std::size_t count, double optimum, const double* __restrict before,
    const double* __restrict energy, std::uint64_t* __restrict keep) {
    std::uint64_t cleared = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t stays = optimum >= before[i] + energy[i];
        cleared += keep[i] & (stays ^ 1u);
        keep[i] = keep[i] & stays;
    }
    return cleared;
}

// Every start's cost, and the lowest of them and `initial`; a NaN cost never counts as lower.
__attribute__((target_clones("avx512f", "avx2", "default"))) double cost_sweep(
    std::size_t count, double initial, const double* __restrict offset,
    const double* __restrict energy, double* __restrict cost) {
    for (std::size_t i = 0; i < count; ++i) cost[i] = offset[i] + energy[i];
    // Four running minima, one per vector lane; without NaN (never lower) the order of a
    // minimum does not matter, up to which of two equal zeros it keeps.
    double lane[4] = {initial, initial, initial, initial};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        for (std::size_t k = 0; k < 4; ++k) lane[k] = cost[i + k] < lane[k] ? cost[i + k] : lane[k];
    }
    double lowest = initial;
    for (; i < count; ++i) lowest = cost[i] < lowest ? cost[i] : lowest;
    for (const double v : lane) lowest = v < lowest ? v : lowest;
    return lowest;
}

// Entries before `first` are all kept and stay where they are; the kept runs after it move
// down in one block each, since a step drops only a few starts.
// Moves the kept runs down, each in one block: a step drops only a few starts.
template <class T>
void keep_runs(std::vector<T>& values, const std::vector<KeptRun>& runs, std::size_t kept) {
    for (const KeptRun& run : runs) {
        std::memmove(values.data() + run.to, values.data() + run.from, run.length * sizeof(T));
    }
    values.resize(kept);
}

}  // namespace

void StartSet::push(std::uint64_t start, double before, double offset, const double* block) {
    start_.push_back(start);
    before_.push_back(before);
    offset_.push_back(offset);
    r22_.push_back(block[0]);
    r23_.push_back(block[1]);
    r33_.push_back(block[2]);
    energy_.push_back(block[3]);
    for (std::size_t c = 0; c < 2 * dim_; ++c) z_[c].push_back(block[4 + c]);
}

void StartSet::load(std::size_t i, double* block) const {
    block[0] = r22_[i];
    block[1] = r23_[i];
    block[2] = r33_[i];
    block[3] = energy_[i];
    for (std::size_t c = 0; c < 2 * dim_; ++c) block[4 + c] = z_[c][i];
}

void StartSet::store(std::size_t i, const double* block) {
    r22_[i] = block[0];
    r23_[i] = block[1];
    r33_[i] = block[2];
    energy_[i] = block[3];
    for (std::size_t c = 0; c < 2 * dim_; ++c) z_[c][i] = block[4 + c];
}

std::size_t StartSet::prune(double optimum, std::vector<std::uint64_t>& keep) const {
    return prune_sweep(size(), optimum, before_.data(), energy_.data(), keep.data());
}

std::size_t StartSet::merge_equal(std::vector<std::uint64_t>& keep) {
    const std::size_t count = size();
    // On evenly spaced sites the converged factor can settle into a cycle of a few values
    // that differ in the last bits (periods 2, 4 and 6 seen), which every start enters in the
    // phase set by its first sample: neighbours then never become equal while starts a period
    // apart do. So equal states are found by hashing, wherever they sit in the list. The
    // factor converges long before the right-hand side does, so a right-hand side entry spreads
    // the keys; equal bits compare equal unless they are a NaN, which is never merged.
    std::size_t bits = 4;
    while ((std::size_t{1} << bits) < 2 * count) ++bits;
    const std::size_t mask = (std::size_t{1} << bits) - 1;
    constexpr std::size_t empty = ~std::size_t{0};
    slots_.assign(mask + 1, empty);
    const double* z = z_[0].data();
    std::size_t merged = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (!keep[i]) continue;
        const auto bits_of = [](double v) { return std::bit_cast<std::uint64_t>(v); };
        const std::uint64_t key = bits_of(z[i]) ^ std::rotl(bits_of(r33_[i]), 29);
        std::size_t at = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
        for (;; at = (at + 1) & mask) {
            std::size_t& slot = slots_[at];
            if (slot == empty) {
                slot = i;
                break;
            }
            if (z[i] != z[slot] || !same_state(slot, i)) continue;
            // Equal constants keep the larger start, which wins every tie from now on.
            if (cost(slot) >= cost(i)) {
                keep[slot] = 0;
                slot = i;
            } else {
                keep[i] = 0;
            }
            ++merged;
            break;
        }
    }
    return merged;
}

double StartSet::dominance_margin(std::size_t keeper, std::size_t other, double ceiling) const {
    // The other start's |R t - z| wherever it could still be chosen. A NaN cost never drops a
    // start: the comparisons of drop_dominated are false for it.
    const double reach = std::sqrt(std::max(0.0, ceiling - cost(other)));
    // M = R_keeper R_other^-1 maps the other's factor onto the keeper's: both factors are upper
    // triangular, so M is too.
    const double m11 = r22_[keeper] / r22_[other];
    const double m22 = r33_[keeper] / r33_[other];
    const double m12 = (r23_[keeper] - m11 * r23_[other]) / r33_[other];
    const double e11 = m11 - 1.0, e22 = m22 - 1.0;
    const double spread = std::sqrt(e11 * e11 + m12 * m12 + e22 * e22);
    double offset = 0.0;
    for (std::size_t j = 0; j < dim_; ++j) {
        const double z2 = z_[j][other], z3 = z_[dim_ + j][other];
        const double v2 = (m11 * z2 + m12 * z3) - z_[j][keeper];
        const double v3 = m22 * z3 - z_[dim_ + j][keeper];
        offset += v2 * v2 + v3 * v3;
    }
    const double delta = spread * reach + std::sqrt(offset);
    return 2.0 * reach * delta + delta * delta;
}

std::size_t StartSet::drop_dominated(double ceiling, std::vector<std::uint64_t>& keep) const {
    const std::size_t count = size();
    // A slack for the rounding of the costs compared; it only ever keeps a start.
    const double slack = 0x1p-40 * std::abs(ceiling);
    std::size_t cleared = 0;
    std::size_t previous = count;
    for (std::size_t i = 0; i < count; ++i) {
        if (!keep[i]) continue;
        if (previous == count) {
            previous = i;
            continue;
        }
        const double difference = cost(i) - cost(previous);
        if (difference > 0.0 && difference > dominance_margin(previous, i, ceiling) + slack) {
            keep[i] = 0;
            ++cleared;
            continue;
        }
        if (difference < 0.0 && -difference > dominance_margin(i, previous, ceiling) + slack) {
            keep[previous] = 0;
            ++cleared;
        }
        previous = i;
    }
    return cleared;
}

double StartSet::lowest_cost(double initial, std::uint64_t& start) {
    const std::size_t count = size();
    if (costs_.size() < count) costs_.resize(count);
    const double lowest = cost_sweep(count, initial, offset_.data(), energy_.data(), costs_.data());
    if (!(lowest < initial)) return initial;
    std::size_t i = count;
    while (costs_[i - 1] != lowest) --i;
    start = start_[i - 1];
    return costs_[i - 1];
}

void StartSet::keep_only(const std::vector<std::uint64_t>& keep) {
    const std::size_t count = size();
    std::vector<KeptRun>& runs = runs_;
    runs.clear();
    std::size_t kept = 0;
    std::size_t i = 0;
    while (i < count) {
        while (i < count && !keep[i]) ++i;
        const std::size_t from = i;
        while (i < count && keep[i]) ++i;
        if (i > from) {
            if (from != kept) runs.push_back({from, kept, i - from});
            kept += i - from;
        }
    }
    keep_runs(start_, runs, kept);
    keep_runs(before_, runs, kept);
    keep_runs(offset_, runs, kept);
    keep_runs(r22_, runs, kept);
    keep_runs(r23_, runs, kept);
    keep_runs(r33_, runs, kept);
    keep_runs(energy_, runs, kept);
    for (std::vector<double>& column : z_) keep_runs(column, runs, kept);
}

bool StartSet::extend_all(const RoughnessRows& rr, double omega_k, const double* wy) {
    if (rr.a0 == 0.0 || rr.b1 == 0.0 || omega_k == 0.0 || unsafe(rr.a0 * rr.a0) ||
        unsafe(rr.b1 * rr.b1) || unsafe(omega_k * omega_k) || !std::isfinite(rr.a1) ||
        !std::isfinite(rr.a2) || !std::isfinite(rr.a3) || !std::isfinite(rr.b3)) {
        return false;
    }
    for (std::size_t j = 0; j < dim_; ++j) {
        if (!std::isfinite(wy[j])) return false;
    }
    const std::size_t count = size();
    for (std::vector<double>* scratch :
         {&s02_, &c13_, &s13_, &c12_, &s12_, &c24_, &s24_, &c34_, &s34_, &n22_, &n23_, &n33_}) {
        if (scratch->size() < count) scratch->resize(count);
    }
    const FactorArrays f{r22_.data(), r23_.data(), r33_.data(), s02_.data(), c13_.data(),
                         s13_.data(), c12_.data(), s12_.data(), c24_.data(), s24_.data(),
                         c34_.data(), s34_.data(), n22_.data(), n23_.data(), n33_.data()};
    if (factor_sweep(count, f, rr.a0, rr.a1, rr.a2, rr.a3, rr.b1, rr.b3, omega_k) != 0) {
        return false;
    }
    sum_.assign(count, 0.0);
    const RhsArrays q{s02_.data(), c13_.data(), s13_.data(), c12_.data(), s12_.data(),
                      c24_.data(), s24_.data(), c34_.data(), s34_.data()};
    for (std::size_t j = 0; j < dim_; ++j) {
        rhs_sweep(count, q, wy[j], z_[j].data(), z_[dim_ + j].data(), sum_.data());
    }
    std::memcpy(r22_.data(), n22_.data(), count * sizeof(double));
    std::memcpy(r23_.data(), n23_.data(), count * sizeof(double));
    std::memcpy(r33_.data(), n33_.data(), count * sizeof(double));
    for (std::size_t i = 0; i < count; ++i) energy_[i] = sum_[i] + energy_[i];
    return true;
}

}  // namespace vorn::detail
