// The dominance search beside PELT, on the workloads of bench_dp's option mode.
//
//   bench_search [--n N] [--d D] [--workload jumps|nojump] [--jump-every K] [--p P]
//                [--gamma G | --gamma-whole FRACTION] [--spacing S]
//                [--search both|dominance|pelt] [--repeats R] [--seed S]
//
// Sites i * S jittered by up to 0.3 S; values: 4 sin(2 pi x / 400) + 2 sin(2 pi x / 97) (random
// phases), plus (workload jumps) a jump of random sign and size 3..8 with probability
// 1 / jump-every at each sample, plus unit noise; delta = 1. p defaults to 1e-3, gamma to
// 2 p log n (--gamma-whole: that fraction of the energy of all samples as one segment, which
// keeps the optimum at one segment when close to 1). One line per search, key=value pairs: time, processor time, extensions and ns per
// extension, the statistics of the search, and the peak of heap bytes the search itself held
// beyond what was allocated before it started (counted by this program's operator new).
// With --search both the partitions are compared and F's largest relative difference printed.

#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "dp.hpp"

namespace {

std::atomic<std::int64_t> heap_now{0};
std::atomic<std::int64_t> heap_peak{0};

void* counted_alloc(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    const std::int64_t now =
        heap_now.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p))) +
        static_cast<std::int64_t>(malloc_usable_size(p));
    std::int64_t peak = heap_peak.load();
    while (now > peak && !heap_peak.compare_exchange_weak(peak, now)) {
    }
    return p;
}

void counted_free(void* p) {
    if (p == nullptr) return;
    heap_now.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)));
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size); }
void* operator new[](std::size_t size) { return counted_alloc(size); }
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }

namespace {

struct Options {
    std::size_t n = 100000;
    std::size_t d = 1;
    std::string workload = "nojump";
    std::size_t jump_every = 1000;
    double p = 1e-3;
    double gamma = -1.0;
    double gamma_whole = -1.0;  // when set: gamma = this fraction of E(0..n-1)
    double spacing = 1.0;
    std::string search = "both";
    int repeats = 1;
    std::uint64_t seed = 20261208;
};

struct Data {
    std::vector<double> y, h, omega, tau;
    double a = 0.0;
    std::size_t jumps = 0;
};

Data make_data(const Options& o) {
    const std::size_t n = o.n, d = o.d;
    std::mt19937_64 rng(o.seed + n * 31 + d);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto normal = [&] {
        const double u1 = 1.0 - unit(rng);
        const double u2 = unit(rng);
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
    };
    Data out;
    std::vector<double> x(n);
    out.y.resize(n * d);
    std::vector<double> level(d, 0.0), phase1(d), phase2(d);
    for (std::size_t j = 0; j < d; ++j) {
        phase1[j] = 2.0 * M_PI * unit(rng);
        phase2[j] = 2.0 * M_PI * unit(rng);
    }
    const double jump_prob = o.workload == "jumps" ? 1.0 / static_cast<double>(o.jump_every) : 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = o.spacing * (static_cast<double>(i) + 0.6 * (unit(rng) - 0.5));
        if (i > 2 && i + 2 < n && unit(rng) < jump_prob) {
            ++out.jumps;
            for (std::size_t j = 0; j < d; ++j) {
                const double size = 3.0 + 5.0 * unit(rng);
                level[j] += unit(rng) < 0.5 ? -size : size;
            }
        }
        for (std::size_t j = 0; j < d; ++j) {
            out.y[i * d + j] = level[j] + 4.0 * std::sin(2.0 * M_PI * x[i] / 400.0 + phase1[j]) +
                               2.0 * std::sin(2.0 * M_PI * x[i] / 97.0 + phase2[j]) + normal();
        }
    }
    out.h.resize(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) out.h[i] = x[i + 1] - x[i];
    out.omega.assign(n, std::sqrt(o.p));
    out.a = std::sqrt(1.0 - o.p);
    out.tau.assign(n, 1.0);
    return out;
}

double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

struct Run {
    vorn::PartitionResult result;
    double ms = 0.0;
    double cpu = 0.0;
    std::int64_t peak_bytes = 0;
};

Run run(const std::string& search, const vorn::EnergyInputs& in, double gamma, int repeats) {
    Run best;
    for (int rep = 0; rep < repeats; ++rep) {
        const std::int64_t before = heap_now.load();
        heap_peak.store(before);
        const double c0 = cpu_ms();
        const auto t0 = std::chrono::steady_clock::now();
        vorn::PartitionResult res = search == "dominance" ? vorn::partition_dominance(in, gamma)
                                                          : vorn::partition_pelt(in, gamma);
        const auto t1 = std::chrono::steady_clock::now();
        const double cpu = cpu_ms() - c0;
        const double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
        if (rep == 0 || ms < best.ms) {
            best.ms = ms;
            best.cpu = cpu;
            best.peak_bytes = heap_peak.load() - before;
            best.result = std::move(res);
        }
    }
    return best;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: bench_search [--n N] [--d D] [--workload jumps|nojump] [--jump-every K]\n"
                 "                    [--p P] [--gamma G | --gamma-whole F] [--spacing S]\n"
                 "                    [--repeats R]\n"
                 "                    [--search both|dominance|pelt] [--seed S]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string key = argv[i];
        if (i + 1 >= argc) usage();
        const char* value = argv[++i];
        if (key == "--n") o.n = std::strtoull(value, nullptr, 10);
        else if (key == "--d") o.d = std::strtoull(value, nullptr, 10);
        else if (key == "--workload") o.workload = value;
        else if (key == "--jump-every") o.jump_every = std::strtoull(value, nullptr, 10);
        else if (key == "--p") o.p = std::strtod(value, nullptr);
        else if (key == "--gamma") o.gamma = std::strtod(value, nullptr);
        else if (key == "--gamma-whole") o.gamma_whole = std::strtod(value, nullptr);
        else if (key == "--spacing") o.spacing = std::strtod(value, nullptr);
        else if (key == "--search") o.search = value;
        else if (key == "--repeats") o.repeats = std::atoi(value);
        else if (key == "--seed") o.seed = std::strtoull(value, nullptr, 10);
        else usage();
    }
    if (o.n < 3 || o.d < 1 || o.jump_every < 1 || !(o.p > 0.0 && o.p < 1.0) ||
        !(o.spacing > 0.0) || o.repeats < 1 ||
        (o.workload != "jumps" && o.workload != "nojump") ||
        (o.search != "both" && o.search != "dominance" && o.search != "pelt")) {
        usage();
    }
    const Data data = make_data(o);
    vorn::EnergyInputs in;
    in.y = vorn::MatrixView::row_major(data.y.data(), o.n, o.d);
    in.h = data.h;
    in.omega = data.omega;
    in.tau = data.tau;
    in.a = data.a;
    double gamma = o.gamma >= 0.0 ? o.gamma : 2.0 * o.p * std::log(static_cast<double>(o.n));
    if (o.gamma_whole >= 0.0) gamma = o.gamma_whole * vorn::prefix_energies(in)[o.n - 1];
    std::vector<std::string> searches;
    if (o.search != "pelt") searches.push_back("dominance");
    if (o.search != "dominance") searches.push_back("pelt");
    std::vector<Run> runs;
    for (const std::string& search : searches) {
        runs.push_back(run(search, in, gamma, o.repeats));
        const Run& r = runs.back();
        const vorn::SearchStats& s = r.result.stats;
        std::size_t segments = 1;
        for (std::size_t e = o.n - 1; r.result.partition[e] != 0; e = r.result.partition[e] - 1) {
            ++segments;
        }
        std::printf(
            "search=%s n=%zu d=%zu workload=%s jump_every=%zu p=%g spacing=%g gamma=%.6g "
            "ms=%.1f cpu_ms=%.1f extensions=%llu ns_per_extension=%.2f mean_active=%.1f "
            "max_active=%llu "
            "dropped=%llu pruned=%llu fallback_steps=%llu peak_bytes=%lld bytes_per_sample=%.1f "
            "true_jumps=%zu segments=%zu\n",
            search.c_str(), o.n, o.d, o.workload.c_str(), o.jump_every, o.p, o.spacing, gamma,
            r.ms, r.cpu, static_cast<unsigned long long>(s.extensions),
            s.extensions ? r.cpu * 1e6 / static_cast<double>(s.extensions) : 0.0,
            static_cast<double>(s.extensions) / static_cast<double>(o.n),
            static_cast<unsigned long long>(s.max_active),
            static_cast<unsigned long long>(s.dropped), static_cast<unsigned long long>(s.pruned),
            static_cast<unsigned long long>(s.fallback_steps),
            static_cast<long long>(r.peak_bytes),
            static_cast<double>(r.peak_bytes) / static_cast<double>(o.n), data.jumps, segments);
        std::fflush(stdout);
    }
    if (runs.size() == 2) {
        const auto& a = runs[0].result;
        const auto& b = runs[1].result;
        std::size_t differ = 0;
        double worst = 0.0;
        for (std::size_t r = 0; r < o.n; ++r) {
            differ += a.partition[r] != b.partition[r];
            if (b.F[r] != 0.0) worst = std::max(worst, std::abs(a.F[r] - b.F[r]) / std::abs(b.F[r]));
        }
        std::printf("compare pointers_differ=%zu worst_relative_F=%.3g\n", differ, worst);
    }
    return 0;
}
