// The straight-line search alone, without the package around it: processor seconds and work
// of partition_line_dominance on one seeded series, for comparing variants of the search in the
// same run (build two copies of this driver against two builds of the library).
//
//   make test-cpp   # or any build of build/cpp's libraries
//   g++ -std=c++20 -O2 -Isrc bench/line_search_driver.cpp build/cpp/libvorn_dp.a
//       build/cpp/libvorn_chk.a -o build/line_search_driver   (one line)
//   build/line_search_driver N [K]
//
// Data (std::mt19937_64 seed 21, evenly spaced sites 0..N-1): K = 0, a line 0.001 x + N(0, 1)
// with gamma = 30; K > 0, the same with a level jump of random sign and size 3..6 with
// probability 1 / K per sample; K < 0, sin(2 pi x / 1000) + N(0, 0.3^2) with gamma = 30 * 0.09,
// the data of bandwidth_sweep.py at p = 0 (other draws).

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numbers>
#include <random>
#include <vector>

#include "dp.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s N [K]\n", argv[0]);
        return 2;
    }
    const std::size_t n = std::strtoul(argv[1], nullptr, 10);
    const double every = argc > 2 ? std::atof(argv[2]) : 0.0;
    std::mt19937_64 rng(21);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> x(n), y(n), delta(n, 1.0);
    double level = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = double(i);
        if (every > 0.0 && unit(rng) < 1.0 / every) {
            level += (unit(rng) < 0.5 ? -1.0 : 1.0) * (3.0 + 3.0 * unit(rng));
        }
        y[i] = every < 0.0 ? std::sin(2.0 * std::numbers::pi * x[i] / 1000.0) + 0.3 * normal(rng)
                           : 0.001 * x[i] + normal(rng) + level;
    }
    const vorn::MatrixView view{reinterpret_cast<const std::byte*>(y.data()), n, 1,
                                sizeof(double), sizeof(double)};
    const double gamma = every < 0.0 ? 30.0 * 0.09 : 30.0;
    const std::clock_t start = std::clock();
    const vorn::PartitionResult R = vorn::partition_line_dominance(x, view, delta, gamma);
    const double seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
    std::size_t segments = 0;
    for (std::size_t e = n - 1;; e = R.partition[e] - 1) {
        ++segments;
        if (R.partition[e] == 0) break;
    }
    std::printf("n %zu K %g: cpu %.3f s, ext/sample %.1f, max active %llu, dropped %llu, "
                "segments %zu, F %.10g\n",
                n, every, seconds, double(R.stats.extensions) / double(n),
                static_cast<unsigned long long>(R.stats.max_active),
                static_cast<unsigned long long>(R.stats.dropped), segments, R.F[n - 1]);
    return 0;
}
