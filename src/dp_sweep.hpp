#pragma once
// The live starts of a search as a structure of arrays, and one extension step applied to all of
// them at once with vector instructions chosen at run time.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dp_steps.hpp"

namespace vorn::detail {

// Kept entries from..from + length - 1 move down to to..to + length - 1.
struct KeptRun {
    std::size_t from, to, length;
};

class StartSet {
public:
    explicit StartSet(std::size_t dim) : z_(2 * dim), dim_(dim) {}

    std::size_t size() const { return start_.size(); }
    std::size_t dim() const { return dim_; }

    std::uint64_t start(std::size_t i) const { return start_[i]; }
    // F[start - 1] + gamma: what the start pays before its segment's energy.
    double offset(std::size_t i) const { return offset_[i]; }
    double energy(std::size_t i) const { return energy_[i]; }
    double cost(std::size_t i) const { return offset_[i] + energy_[i]; }

    // Appends a start whose state is the block (r22, r23, r33, energy, z2[dim], z3[dim]).
    void push(std::uint64_t start, double before, double offset, const double* block);
    void load(std::size_t i, double* block) const;
    void store(std::size_t i, const double* block);

    // Factor and right-hand side bit for bit equal: the two starts take identical steps from now
    // on. The energies may differ.
    bool same_state(std::size_t i, std::size_t j) const {
        const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
        if (bits(r22_[i]) != bits(r22_[j]) || bits(r23_[i]) != bits(r23_[j]) ||
            bits(r33_[i]) != bits(r33_[j])) {
            return false;
        }
        for (const std::vector<double>& column : z_) {
            if (bits(column[i]) != bits(column[j])) return false;
        }
        return true;
    }

    // Of every group of starts still flagged with equal states, wherever they sit in the list,
    // clears the flags of all but the one with the lowest constant (on equal constants the
    // larger start). Returns how many it cleared.
    std::size_t merge_equal(std::vector<std::uint64_t>& keep);

    // Clears, between each start still flagged and the one flagged before it, the flag of the
    // one that can never be chosen again because the other will always cost less, judged by
    // the certified margin of dp_dominance.cpp; `ceiling` is gamma + F at the current end.
    // Returns how many it cleared.
    std::size_t drop_dominated(double ceiling, std::vector<std::uint64_t>& keep) const;

    // Flags, for every start still flagged, whether PELT's rule keeps it: its segment alone
    // must not already cost more than the optimum (NaN fails too). Returns how many it cleared.
    std::size_t prune(double optimum, std::vector<std::uint64_t>& keep) const;

    // The lowest cost below `initial`, with the largest start that has it; `initial` itself
    // (start untouched) when no cost is strictly lower. PELT's scan from the largest start with
    // strict comparisons chooses the same.
    double lowest_cost(double initial, std::uint64_t& start);

    // Keeps the starts whose flag is nonzero, in their order.
    void keep_only(const std::vector<std::uint64_t>& keep);

    // Grows every start by the sample k, given its weighted row wy = omega_k * y(k, .). Returns
    // false, changing nothing, when some rotation cannot be formed by a plain square root without
    // overflow, underflow or a non-finite value; the caller then takes the step another way.
    bool extend_all(const RoughnessRows& rr, double omega_k, const double* wy);

private:
    // How much more than the keeper the other start must cost now never to be chosen again.
    double dominance_margin(std::size_t keeper, std::size_t other, double ceiling) const;

    std::vector<std::uint64_t> start_;
    std::vector<double> before_;  // F[start - 1]
    std::vector<double> offset_;
    std::vector<double> r22_, r23_, r33_, energy_;
    std::vector<std::vector<double>> z_;  // columns z2[0..dim), then z3[0..dim)
    // Rotations of the current step, formed before any state changes.
    std::vector<double> s02_, c13_, s13_, c12_, s12_, c24_, s24_, c34_, s34_;
    std::vector<double> n22_, n23_, n33_, sum_, costs_;
    std::vector<KeptRun> runs_;
    std::vector<std::size_t> slots_;  // merge_equal's hash table of start indices
    std::size_t dim_;
};

}  // namespace vorn::detail
