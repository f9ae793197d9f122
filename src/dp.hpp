#pragma once
// Segment energies by plane rotations and the dynamic program over partitions of the samples.

#include <cstdint>
#include <span>
#include <vector>

#include "views.hpp"

namespace vorn {

// What the smoothing-spline energy of any run of consecutive samples depends on.
struct EnergyInputs {
    MatrixView y;                  // n value rows, dim columns
    std::span<const double> h;     // n - 1 spacings
    std::span<const double> omega; // n fit weights sqrt(p) / delta
    std::span<const double> tau;   // n slope scales
    double a = 0.0;                // roughness factor sqrt(1 - p)

    std::size_t size() const { return omega.size(); }
};

struct PartitionResult {
    std::vector<double> F;
    std::vector<std::uint64_t> partition;
    std::uint64_t complexity_counter = 0;
};

// E(0..r) for every r.
std::vector<double> prefix_energies(const EnergyInputs& in);

// Slope scales for precondition "local".
std::vector<double> local_tau(std::span<const double> h, std::span<const double> omega, double a);

PartitionResult partition_fpvi(const EnergyInputs& in, double gamma);
PartitionResult partition_pelt(const EnergyInputs& in, double gamma);

// p == 0: straight-line energies with weights 1 / delta^2.
PartitionResult partition_line(std::span<const double> x, const MatrixView& y,
                               std::span<const double> delta, double gamma);

}  // namespace vorn
