#pragma once
// The whole fit and its cross-validation score.

#include <cstdint>
#include <optional>
#include <vector>

#include "cancel.hpp"
#include "chk.hpp"
#include "dp.hpp"
#include "ppform.hpp"
#include "views.hpp"

namespace vorn {

// FPVI and PELT are the extension's two searches; DOMINANCE is the package's default, PELT with
// dominated starts dropped (same optimum, far less work inside long segments).
enum class Pruning { FPVI, PELT, DOMINANCE };
enum class Precondition { none, local };

struct FitResult {
    std::vector<std::vector<std::uint64_t>> interval_cell;  // per segment, its sample indices
    std::vector<PpForm> pp_cell;                           // per segment, its extended form
    std::vector<double> F;
    std::vector<std::uint64_t> partition;
    PpForm joined;
    std::vector<double> discont;
    std::vector<std::uint64_t> discont_idx;
    std::vector<double> x;  // prepared sites
    std::vector<double> y;  // prepared rows, x.size() by dim, row-major
    std::size_t dim = 0;
    std::vector<double> tau;
    std::uint64_t complexity_counter = 0;
    SearchStats search_stats;
    Precondition precondition = Precondition::none;
};

Checked<FitResult> fit(const std::optional<VectorView>& x, const MatrixView& y,
                       const std::optional<VectorView>& delta, Pruning pruning,
                       Precondition precondition, double p, double gamma,
                       const CancelHook& cancel = CancelHook());

// Fold indices are the caller's; every index is checked before it is used.
double cv_score(const VectorView& x, const MatrixView& y, const VectorView& delta,
                const std::vector<std::vector<std::int64_t>>& folds, Pruning pruning,
                Precondition precondition, double p, double gamma,
                const CancelHook& cancel = CancelHook());

}  // namespace vorn
