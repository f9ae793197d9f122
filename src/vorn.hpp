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

// What the search reads: the prepared values (the extension's fits), or each column less its
// midrange (the package's), which leaves every segment energy unchanged in exact arithmetic and
// keeps the rounding of values far from zero from deciding the partition. Only the search reads
// them: the segment forms and the returned samples are the prepared values either way.
enum class SearchValues { as_given, centred };

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

// The fitted curve and what the package reports about it, without the search's diagnostics and
// the per-segment forms: the form, its jumps and the prepared samples.
struct Curve {
    PpForm form;
    std::vector<double> jumps;
    std::vector<std::uint64_t> jump_indices;  // last prepared sample before each jump
    std::vector<double> x;  // prepared sites
    std::vector<double> y;  // prepared rows, x.size() by dim, row-major
    std::size_t dim = 0;
    std::uint64_t complexity_counter = 0;
    SearchStats search_stats;
};

// With the values as given, the same curve as fit (form, jumps, prepared samples, counters bit
// for bit, for every pruning), built with a fraction of its memory: segment forms are appended to the joined form
// as they are made, and nothing else is kept.
Checked<Curve> fit_curve(const std::optional<VectorView>& x, const MatrixView& y,
                         const std::optional<VectorView>& delta, Pruning pruning,
                         Precondition precondition, double p, double gamma,
                         const CancelHook& cancel = CancelHook(),
                         SearchValues values = SearchValues::as_given);

// The same curve from samples already prepared (by prepare_samples, or its arrays handed back):
// sorted distinct sites, w and delta = sqrt(1 / w) of the same length. Nothing is sorted,
// merged or reweighted again.
Checked<Curve> fit_curve(PreparedSamples&& samples, Pruning pruning, Precondition precondition,
                         double p, double gamma, const CancelHook& cancel = CancelHook(),
                         SearchValues values = SearchValues::as_given);
// The same curve from prepared samples read where they are held, with no copy of them: the
// curve's x and y are left empty. Empty deviations are derived from the weights for the search
// alone.
Checked<Curve> fit_curve_in_place(const PreparedView& samples, Pruning pruning,
                                  Precondition precondition, double p, double gamma,
                                  const CancelHook& cancel = CancelHook(),
                                  SearchValues values = SearchValues::as_given);

// What the fit on the other folds says at each held-out sample, rows in the order of the folds
// and of the indices within each (dim columns, row-major). A held-out site strictly between
// the two training samples either side of a jump is in that jump's gap: `left` and `right` are
// then the two segments' curves continued to the site, else both equal `predicted`. A fold
// whose training fit fails (too few samples) has fold_ok 0 and NaN rows.
struct CvPredictions {
    std::vector<double> predicted;
    std::vector<double> left;
    std::vector<double> right;
    std::vector<std::uint8_t> in_gap;
    std::vector<std::uint8_t> fold_ok;
    std::size_t dim = 0;
};

// Fold indices must name samples (0 <= index < x.size, checked as an internal assertion; the
// caller checks them first); y and delta have x.size rows.
Checked<CvPredictions> cv_predictions(const VectorView& x, const MatrixView& y,
                                      const VectorView& delta,
                                      const std::vector<std::vector<std::int64_t>>& folds,
                                      Pruning pruning, Precondition precondition, double p,
                                      double gamma, const CancelHook& cancel = CancelHook(),
                                      SearchValues values = SearchValues::as_given);

// Fold indices are the caller's; every index is checked before it is used.
double cv_score(const VectorView& x, const MatrixView& y, const VectorView& delta,
                const std::vector<std::vector<std::int64_t>>& folds, Pruning pruning,
                Precondition precondition, double p, double gamma,
                const CancelHook& cancel = CancelHook(),
                SearchValues values = SearchValues::as_given);

namespace detail {

// Halfway between two neighbouring sites, where a fit places its jump.
double jump_site(double left, double right);

// The first sample of every segment of a search's partition, left to right.
std::vector<std::size_t> segment_starts(const PartitionResult& found);

}  // namespace detail

}  // namespace vorn
