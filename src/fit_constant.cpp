#include "fit_constant.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>
#include <vector>

#include "dp_constant.hpp"
#include "failure.hpp"

namespace vorn {
namespace {

// As the smooth fit writes a jump's site: the halves are taken first only where the sum of
// two finite sites overflows.
double jump_site(double left, double right) {
    const double mid = (right + left) * 0.5;
    if (!std::isfinite(mid) && std::isfinite(left) && std::isfinite(right)) {
        return left * 0.5 + right * 0.5;
    }
    return mid;
}

}  // namespace

Checked<Curve> fit_constant_curve(PreparedSamples&& s, double gamma, const CancelHook& cancel) {
    if (auto error = check_gamma(gamma)) return *error;
    const std::size_t n = s.size();
    require(n >= 2 && s.w.size() == n && s.y.size() == n * s.dim,
            "constant fits need prepared samples");
    const MatrixView y = s.y_view();
    const std::span<const double> w(s.w);

    Curve curve;
    curve.dim = s.dim;
    std::vector<std::size_t> starts;
    {
        const PartitionResult found = partition_constant(y, w, gamma, cancel);
        for (std::size_t e = n - 1;;) {
            const std::size_t start = static_cast<std::size_t>(found.partition[e]);
            require(start <= e, "partition must point back to a segment start");
            starts.push_back(start);
            if (start == 0) break;
            e = start - 1;
        }
        std::reverse(starts.begin(), starts.end());
        curve.complexity_counter = found.complexity_counter;
        curve.search_stats = found.stats;
    }

    const std::size_t segments = starts.size();
    PpForm& joined = curve.form;
    joined.dim = s.dim;
    joined.order = 4;
    joined.breaks.reserve(segments + 1);
    joined.coefs.assign(segments * s.dim * 4, 0.0);
    joined.breaks.push_back(s.x[0] + (-1.0));
    curve.jumps.reserve(segments - 1);
    curve.jump_indices.reserve(segments - 1);
    std::vector<double> level(s.dim);
    for (std::size_t k = 0; k < segments; ++k) {
        cancel.tick();
        const std::size_t first = starts[k];
        const std::size_t last = k + 1 < segments ? starts[k + 1] - 1 : n - 1;
        constant_energy(y, w, first, last, level);
        for (std::size_t c = 0; c < s.dim; ++c) joined.coefs[(k * s.dim + c) * 4 + 3] = level[c];
        if (k + 1 < segments) {
            const double site = jump_site(s.x[last], s.x[last + 1]);
            joined.breaks.push_back(site);
            curve.jumps.push_back(site);
            curve.jump_indices.push_back(last);
        } else {
            joined.breaks.push_back(s.x[n - 1] + 1.0);
        }
    }

    curve.x = std::move(s.x);
    curve.y = std::move(s.y);
    return curve;
}

}  // namespace vorn
