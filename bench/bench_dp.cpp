// Microbenchmark of the partition searches alone: nanoseconds per unit of complexity_counter.
//
//   bench_dp [N ...]     a table: FPVI and PELT, d = 1 and 3, for each N (default 1000 10000)
//   bench_dp --search pelt --d 1 --n 100000 --repeats 5 --workload jumps --jump-every 200
//
// The table mode prints its signal and search settings above the table. The option mode prints
// one line per measurement as key=value pairs, so that bench/run_bench.py can read it.
// Option-mode workloads (sites 0, 1, ..., n-1 jittered by up to 0.3, noise sigma = delta = 1):
//   jumps   piecewise smooth: the trend 4 sin(2 pi x / 400) + 2 sin(2 pi x / 97) (random
//           phases) plus a jump of random sign and size 3..8 with probability 1/jump-every at
//           each sample
//   nojump  the same trend without jumps
// p defaults to 1e-3 and gamma to 2 p log n (2 log n in the units of the residual sum of squares
// divided by p), the settings of the benchmark suite.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <time.h>

#include "dp.hpp"

namespace {

struct Options {
    std::string search = "both";  // fpvi, pelt or both
    std::size_t n = 0;            // 0: 10000
    std::size_t d = 1;
    int repeats = 5;
    std::string workload = "jumps";
    std::size_t jump_every = 200;
    double p = 1e-3;
    double gamma = -1.0;  // negative: 2 p log n
    std::string precondition = "none";
    std::uint64_t seed = 20261208;
};

struct Data {
    std::vector<double> x, y, h, omega, tau;
    double a = 0.0;
    std::size_t jumps = 0;
};

Data make_data(const Options& o, std::size_t n, std::size_t d) {
    std::mt19937_64 rng(o.seed + n * 31 + d);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto normal = [&] {
        // Box-Muller, so that the data do not depend on the standard library's normal sampler.
        const double u1 = 1.0 - unit(rng);
        const double u2 = unit(rng);
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
    };
    Data out;
    out.x.resize(n);
    out.y.resize(n * d);
    std::vector<double> level(d, 0.0), phase1(d), phase2(d);
    for (std::size_t j = 0; j < d; ++j) {
        phase1[j] = 2.0 * M_PI * unit(rng);
        phase2[j] = 2.0 * M_PI * unit(rng);
    }
    const double jump_prob = o.workload == "jumps" ? 1.0 / static_cast<double>(o.jump_every) : 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        out.x[i] = static_cast<double>(i) + 0.6 * (unit(rng) - 0.5);
        if (i > 2 && i + 2 < n && unit(rng) < jump_prob) {
            ++out.jumps;
            for (std::size_t j = 0; j < d; ++j) {
                const double size = 3.0 + 5.0 * unit(rng);
                level[j] += unit(rng) < 0.5 ? -size : size;
            }
        }
        for (std::size_t j = 0; j < d; ++j) {
            out.y[i * d + j] = level[j] +
                               4.0 * std::sin(2.0 * M_PI * out.x[i] / 400.0 + phase1[j]) +
                               2.0 * std::sin(2.0 * M_PI * out.x[i] / 97.0 + phase2[j]) + normal();
        }
    }
    out.h.resize(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) out.h[i] = out.x[i + 1] - out.x[i];
    const double delta = 1.0;
    out.omega.assign(n, std::sqrt(o.p) / delta);
    out.a = std::sqrt(1.0 - o.p);
    if (o.precondition == "local") {
        out.tau = vorn::local_tau(out.h, out.omega, out.a);
    } else {
        out.tau.assign(n, 1.0);
    }
    return out;
}

// Processor time of this process: unlike wall time it does not count the time that other
// processes on a busy machine take from it.
double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t k = v.size();
    return k % 2 ? v[k / 2] : 0.5 * (v[k / 2 - 1] + v[k / 2]);
}

struct Measurement {
    double median_ms = 0.0;
    double min_ms = 0.0;
    double median_cpu_ms = 0.0;
    std::uint64_t counter = 0;
    std::size_t segments = 0;
};

Measurement measure(const Options& o, const std::string& search, std::size_t n, std::size_t d) {
    const Data data = make_data(o, n, d);
    vorn::EnergyInputs in;
    in.y = vorn::MatrixView::row_major(data.y.data(), n, d);
    in.h = data.h;
    in.omega = data.omega;
    in.tau = data.tau;
    in.a = data.a;
    const double gamma = o.gamma >= 0.0 ? o.gamma : 2.0 * o.p * std::log(static_cast<double>(n));
    std::vector<double> times, cpu_times;
    Measurement m;
    for (int rep = 0; rep < o.repeats; ++rep) {
        const double c0 = cpu_ms();
        const auto t0 = std::chrono::steady_clock::now();
        const vorn::PartitionResult res =
            search == "FPVI" ? vorn::partition_fpvi(in, gamma) : vorn::partition_pelt(in, gamma);
        const auto t1 = std::chrono::steady_clock::now();
        cpu_times.push_back(cpu_ms() - c0);
        times.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        m.counter = res.complexity_counter;
        std::size_t segments = 1;
        for (std::size_t e = n - 1; res.partition[e] != 0; e = res.partition[e] - 1) ++segments;
        m.segments = segments;
    }
    m.median_ms = median(times);
    m.min_ms = *std::min_element(times.begin(), times.end());
    m.median_cpu_ms = median(cpu_times);
    const double units = static_cast<double>(m.counter);
    std::printf(
        "search=%s d=%zu n=%zu workload=%s precondition=%s p=%g gamma=%.6g repeats=%d "
        "median_ms=%.3f min_ms=%.3f cpu_ms=%.3f counter=%llu ns_per_unit=%.2f "
        "cpu_ns_per_unit=%.2f true_jumps=%zu segments=%zu\n",
        search.c_str(), d, n, o.workload.c_str(), o.precondition.c_str(), o.p, gamma, o.repeats,
        m.median_ms, m.min_ms, m.median_cpu_ms, static_cast<unsigned long long>(m.counter),
        m.median_ms * 1e6 / units, m.median_cpu_ms * 1e6 / units, data.jumps, m.segments);
    std::fflush(stdout);
    return m;
}


// ---- Table mode ---------------------------------------------------------------------------

constexpr double table_p = 0.001;
constexpr double table_gamma = 4.0;
constexpr double table_sigma = 0.1;
constexpr double table_jump_rate = 250.0;
constexpr std::uint64_t table_seed = 7;

// Levels N(0, 2^2) that change at each jump, plus a sinusoid per segment.
Data make_table_data(std::size_t n, std::size_t d) {
    std::mt19937_64 rng(table_seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto normal = [&] {
        const double u1 = 1.0 - unit(rng);
        const double u2 = unit(rng);
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
    };
    Data out;
    out.x.resize(n);
    out.y.resize(n * d);
    std::vector<double> level(d), amp(d), period(d), phase(d);
    auto new_segment = [&] {
        for (std::size_t j = 0; j < d; ++j) {
            level[j] = 2.0 * normal();
            amp[j] = 0.5 + unit(rng);
            period[j] = 60.0 + 140.0 * unit(rng);
            phase[j] = 2.0 * M_PI * unit(rng);
        }
    };
    new_segment();
    for (std::size_t i = 0; i < n; ++i) {
        out.x[i] = static_cast<double>(i) + 0.5 * (unit(rng) - 0.5);
        if (i > 0 && unit(rng) < 1.0 / table_jump_rate) {
            ++out.jumps;
            new_segment();
        }
        for (std::size_t j = 0; j < d; ++j) {
            out.y[i * d + j] = level[j] +
                               amp[j] * std::sin(2.0 * M_PI * out.x[i] / period[j] + phase[j]) +
                               table_sigma * normal();
        }
    }
    out.h.resize(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) out.h[i] = out.x[i + 1] - out.x[i];
    out.omega.assign(n, std::sqrt(table_p) / table_sigma);
    out.a = std::sqrt(1.0 - table_p);
    out.tau.assign(n, 1.0);
    return out;
}

void run_table(const std::vector<std::size_t>& sizes) {
    std::printf("signal: sites i + U(-0.25, 0.25), levels N(0, 2^2) plus sinusoids of amplitude "
                "0.5..1.5 and period 60..200,\n"
                "        a jump with probability 1/%g per sample, noise sigma = %g, delta = "
                "sigma, seed %llu\n",
                table_jump_rate, table_sigma, static_cast<unsigned long long>(table_seed));
    std::printf("search: p = %g, gamma = %g, precondition none\n\n", table_p, table_gamma);
    std::printf("%-5s %7s %2s %6s %6s %13s %10s %9s\n", "prune", "n", "d", "jumps", "found",
                "counter", "time ms", "ns/unit");
    for (const std::size_t n : sizes) {
        for (const std::size_t d : {std::size_t{1}, std::size_t{3}}) {
            const Data data = make_table_data(n, d);
            vorn::EnergyInputs in;
            in.y = vorn::MatrixView::row_major(data.y.data(), n, d);
            in.h = data.h;
            in.omega = data.omega;
            in.tau = data.tau;
            in.a = data.a;
            std::vector<std::uint64_t> partitions[2];
            for (int s = 0; s < 2; ++s) {
                const auto t0 = std::chrono::steady_clock::now();
                const vorn::PartitionResult res = s == 0 ? vorn::partition_fpvi(in, table_gamma)
                                                         : vorn::partition_pelt(in, table_gamma);
                const auto t1 = std::chrono::steady_clock::now();
                const double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
                std::size_t found = 0;
                for (std::size_t e = n - 1; res.partition[e] != 0; e = res.partition[e] - 1) {
                    ++found;
                }
                std::printf("%-5s %7zu %2zu %6zu %6zu %13llu %10.1f %9.1f%s\n",
                            s == 0 ? "FPVI" : "PELT", n, d, data.jumps, found,
                            static_cast<unsigned long long>(res.complexity_counter), ms,
                            ms * 1e6 / static_cast<double>(res.complexity_counter),
                            s == 1 && res.partition != partitions[0] ? "  (partitions differ)"
                                                                     : "");
                partitions[s] = res.partition;
            }
        }
    }
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: bench_dp [N ...]\n"
                 "       bench_dp [--search fpvi|pelt|both] [--n N] [--d D] [--repeats R]\n"
                 "                [--workload jumps|nojump] [--jump-every K] [--p P]\n"
                 "                [--gamma G] [--precondition none|local] [--seed S]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1 || argv[1][0] != '-') {
        std::vector<std::size_t> sizes;
        for (int i = 1; i < argc; ++i) {
            char* end = nullptr;
            const unsigned long long n = std::strtoull(argv[i], &end, 10);
            if (*end != '\0' || n < 3) usage();
            sizes.push_back(static_cast<std::size_t>(n));
        }
        if (sizes.empty()) sizes = {1000, 10000};
        run_table(sizes);
        return 0;
    }
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string key = argv[i];
        if (i + 1 >= argc) usage();
        const char* value = argv[++i];
        if (key == "--search") o.search = value;
        else if (key == "--n") o.n = std::strtoull(value, nullptr, 10);
        else if (key == "--d") o.d = std::strtoull(value, nullptr, 10);
        else if (key == "--repeats") o.repeats = std::atoi(value);
        else if (key == "--workload") o.workload = value;
        else if (key == "--jump-every") o.jump_every = std::strtoull(value, nullptr, 10);
        else if (key == "--p") o.p = std::strtod(value, nullptr);
        else if (key == "--gamma") o.gamma = std::strtod(value, nullptr);
        else if (key == "--precondition") o.precondition = value;
        else if (key == "--seed") o.seed = std::strtoull(value, nullptr, 10);
        else usage();
    }
    if (o.repeats < 1 || o.jump_every < 1 || !(o.p > 0.0 && o.p < 1.0) ||
        (o.workload != "jumps" && o.workload != "nojump") ||
        (o.precondition != "none" && o.precondition != "local") ||
        (o.search != "fpvi" && o.search != "pelt" && o.search != "both") || o.d < 1 ||
        (o.n != 0 && o.n < 3)) {
        usage();
    }
    std::vector<std::string> searches;
    if (o.search != "pelt") searches.push_back("FPVI");
    if (o.search != "fpvi") searches.push_back("PELT");
    if (o.n == 0) o.n = 10000;
    for (const auto& s : searches) measure(o, s, o.n, o.d);
    return 0;
}
