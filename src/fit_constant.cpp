#include "fit_constant.hpp"

#include <span>
#include <utility>
#include <vector>

#include "dp_constant.hpp"
#include "failure.hpp"

namespace vorn {

Checked<Curve> fit_constant_curve(PreparedSamples&& s, double gamma, const CancelHook& cancel) {
    Checked<Curve> fitted = fit_constant_curve_in_place(PreparedView::of(s), gamma, cancel);
    if (fitted) {
        fitted.value().x = std::move(s.x);
        fitted.value().y = std::move(s.y);
    }
    return fitted;
}

Checked<Curve> fit_constant_curve_in_place(const PreparedView& s, double gamma,
                                           const CancelHook& cancel) {
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
        starts = detail::segment_starts(found);
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
            const double site = detail::jump_site(s.x[last], s.x[last + 1]);
            joined.breaks.push_back(site);
            curve.jumps.push_back(site);
            curve.jump_indices.push_back(last);
        } else {
            joined.breaks.push_back(s.x[n - 1] + 1.0);
        }
    }

    return curve;
}

}  // namespace vorn
