// The dominance search beside PELT on the inputs of the golden corpus, through the whole fit.
//
//   .venv/bin/python bench/search_golden.py     (writes the inputs, builds nothing, runs this)
//   search_golden INPUTS                         (INPUTS as search_golden.py writes them)
//
// One line per case: how many back pointers differ, whether the jumps are the same, the largest
// relative difference of F, and the work of both searches. Exits 1 when a case differs.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "vorn.hpp"

namespace {

struct Reader {
    std::FILE* file;
    bool ok = true;
    template <class T>
    T value() {
        T v{};
        ok = ok && std::fread(&v, sizeof v, 1, file) == 1;
        return v;
    }
    void fill(std::vector<double>& v) {
        ok = ok && std::fread(v.data(), sizeof(double), v.size(), file) == v.size();
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: search_golden INPUTS\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    Reader in{file};
    const auto cases = in.value<std::int64_t>();
    int ran = 0, differing = 0;
    for (std::int64_t c = 0; c < cases && in.ok; ++c) {
        std::string name(static_cast<std::size_t>(in.value<std::int64_t>()), ' ');
        in.ok = in.ok && std::fread(name.data(), 1, name.size(), file) == name.size();
        const auto n = static_cast<std::size_t>(in.value<std::int64_t>());
        const auto d = static_cast<std::size_t>(in.value<std::int64_t>());
        const double p = in.value<double>();
        const double gamma = in.value<double>();
        const bool has_x = in.value<std::int64_t>() != 0;
        const bool has_delta = in.value<std::int64_t>() != 0;
        const bool local = in.value<std::int64_t>() != 0;
        std::vector<double> x(has_x ? n : 0), y(n * d), delta(has_delta ? n : 0);
        in.fill(x);
        in.fill(y);
        in.fill(delta);
        if (!in.ok) break;
        std::optional<vorn::VectorView> x_view, delta_view;
        if (has_x) x_view = vorn::VectorView::of(x);
        if (has_delta) delta_view = vorn::VectorView::of(delta);
        const auto y_view = vorn::MatrixView::row_major(y.data(), n, d);
        const auto precondition = local ? vorn::Precondition::local : vorn::Precondition::none;
        const auto pelt = vorn::fit(x_view, y_view, delta_view, vorn::Pruning::PELT, precondition,
                                    p, gamma);
        const auto dominance = vorn::fit(x_view, y_view, delta_view, vorn::Pruning::DOMINANCE,
                                         precondition, p, gamma);
        if (!pelt || !dominance) {
            const bool same = !pelt && !dominance &&
                              pelt.error().message() == dominance.error().message();
            std::printf("%-32s error, %s\n", name.c_str(), same ? "the same" : "DIFFERENT");
            differing += !same;
            continue;
        }
        ++ran;
        const vorn::FitResult& a = pelt.value();
        const vorn::FitResult& b = dominance.value();
        std::size_t pointers = 0;
        double worst = 0.0;
        for (std::size_t r = 0; r < a.F.size(); ++r) {
            pointers += a.partition[r] != b.partition[r];
            const double scale = std::abs(a.F[r]);
            const double diff = std::abs(a.F[r] - b.F[r]);
            if (diff > 0.0) worst = std::max(worst, scale > 0.0 ? diff / scale : INFINITY);
        }
        const bool same_jumps = a.discont_idx == b.discont_idx;
        const bool differs = pointers != 0 || !same_jumps || worst > 1e-12;
        differing += differs;
        std::printf("%-32s n=%4zu d=%zu p=%-5g pointers_differ=%zu same_jumps=%d "
                    "worst_relative_F=%.2g extensions=%llu (PELT %llu) dropped=%llu%s\n",
                    name.c_str(), n, d, p, pointers, same_jumps, worst,
                    static_cast<unsigned long long>(b.search_stats.extensions),
                    static_cast<unsigned long long>(a.search_stats.extensions),
                    static_cast<unsigned long long>(b.search_stats.dropped),
                    differs ? "  DIFFERS" : "");
    }
    std::fclose(file);
    if (!in.ok) {
        std::fprintf(stderr, "%s: truncated\n", argv[1]);
        return 2;
    }
    std::printf("cases %d fitted, %d differing\n", ran, differing);
    return differing == 0 ? 0 : 1;
}
