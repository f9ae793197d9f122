"""The choice between constant levels and a smooth fit with every switch the package no longer
has, for run.py's candidates (GATES, AMONG).

The package holds the shipped rule (vorn/_select.py: ``steps_if_simpler`` with its constants).
Here is that rule as it ran when the candidates of RESULTS.md were measured, composed over the
package's pieces: ``LevelsRule()`` is the package's rule, and ``steps_if_simpler(problem,
smooth, rule=LevelsRule())`` gives the package's answer bit for bit (run.py --methods priced
priced-levels shows it on any corpus); other values are the candidates.
"""

from __future__ import annotations

import math
from functools import cached_property
from statistics import NormalDist
from typing import Any, NamedTuple, Optional

import numpy as np
from numpy.typing import NDArray

from vorn._constant_choice import (ConstantPrice, adequate, leaves_as_little,
                                   level_between_jumps, residual_correlation, residual_phi,
                                   spread_change, step_over_curve)
from vorn._fit import Fit
from vorn._noise import smooth_runs
from vorn._problem import Problem
from vorn._scoring import effective_dof, fit_arrays
from vorn._search import Rule, _counted
from vorn._select import _at_bics_price as package_at_bics_price
from vorn._select import (_BIC_PER_LOG, _Levels, _added, _ahead, _constant_selection,
                          _raised, _smooth_claim, beaten_near_added,
                          beats_near, keeps_and_adds, levels_beat)
from vorn._selection import Selection
from vorn._split_null import jump_odds
from vorn._units import Samples


class LevelsRule(NamedTuple):
    """When constant levels take a smooth choice's place (:func:`steps_if_simpler`); the
    defaults are the shipped method, other values bench/select/'s candidates."""

    # First case: a smooth choice this narrow (samples) follows steps without cutting them.
    follows: float = 4.0
    # The levels must leave residuals that look independent: at most this many standard
    # errors of correlation above independent noise's, the one-sided 1 % point as the adequacy
    # band (a 5 % point cost 4 of 100 series of dense steps their levels; inf: no test)...
    correlated: float = 2.326
    # ... on at least this many samples, where the test has power 0.9 against a correlation
    # of 0.3 left in the residuals (0.3 sqrt(pairs) >= 2.326 + 1.282 needs 145 pairs). On
    # fewer, a narrow choice follows short curves and AR(1) noise as well as steps, and levels
    # laid over those gave jump-free series jumps (AR(1) 0.3 on 50 samples: 8 % without the
    # levels, 16 % with them and the test, 21 % without the test; bench/select/RESULTS.md).
    fewest: int = 150
    # First case on fewer samples, from `short_fewest` on: there the lag-one test alone has
    # too little power, so the levels must also pass the third case's guards (one spread,
    # level segments, at most `short_bends_share` of their jumps bends) and beat the smooth
    # fit by `short_beaten_by` standard errors in :func:`levels_beat` (-inf: not asked), the
    # one-sided 0.1 % point (at 2.326, 14 more of 3,000 jump-free series on 50 to 120 samples
    # got a jump than before, at 3.09 9). The bends do most of the work: a short curve or the
    # wandering of AR(1) noise cut into levels leaves jumps that a parabola through their two
    # segments matches, a step does not (AR(1) 0.5 under a sine on 100 samples, levels with
    # jumps: 6 of 300 series without them, 2 with them). Teeth of 10 samples on 100 to 180
    # samples: exact in 0.16 of series, was 0.06; bench/select/RESULTS.md, "Issue 22, short
    # teeth".
    short_fewest: int = 50
    short_beaten_by: float = 3.09
    short_correlated: float = 2.326
    short_spread: float = 2.326
    short_level_test: bool = True
    short_bends_share: float = 0.1
    # There the levels are fitted at BIC's price, `short_price_per_log` log m noise variances
    # with the same factors for autocorrelation and a noise level from few differences (0:
    # the calibrated 8 + 3 log log m of select(segments="constant"), 12.8 on 140 samples
    # against BIC's 9.9), and must keep every jump at that price raised by the long-run factor
    # of their own residuals' lag-one correlation (`short_raw_phi`, as in the third case on
    # short series). Alternating teeth 2.5 sd high and 10 samples long pay about 16 noise
    # variances a jump for their fit; at the calibrated price the levels dropped a tooth here
    # and there and then lost the bends test or the beat. The residuals' own correlation keeps
    # the lower price off the wandering of AR(1) noise: at BIC's price alone 13 more and 1
    # fewer of 1,600 AR(1) series on 60 to 140 samples got a jump, with the raise 3 more and
    # 1 fewer. Teeth of 10 samples on 100 to 149 samples: exact 0.27 -> 0.34 of 100
    # (bench/select/RESULTS.md, "a short series' levels at BIC's price").
    short_price_per_log: float = 2.0
    short_raw_phi: bool = True
    # Whether, there, a smooth fit that leaves what the noise leaves with fewer parameters
    # still keeps its place. Not: a curve 3 samples wide on 100 samples has fewer degrees of
    # freedom than 10 levels and leaves what the noise leaves, yet levels that beat it beyond
    # chance describe the teeth with less (with it 0.15 of 40 teeth above, without 0.23).
    short_parsimony: bool = False
    # Second case (small steps among large ones), tried at all.
    among_jumps: bool = True
    # Its narrowest smooth choice (samples), and the shortest segment beside an added jump
    # (smooth bandwidths). With each added jump's own evidence (`split_odds`) neither needs
    # more than the first case leaves: before it, 8 samples and one bandwidth, for at 8
    # samples and below the constant model's extra jumps were mostly its own false ones.
    finest: float = 4.0
    shortest: float = 0.0
    # Whether its segments are tested for a polynomial of `degree`.
    level_test: bool = True
    degree: int = 2
    # Whether it needs the price the checks after the grid raised (without `split_odds` the
    # extra jumps elsewhere were mostly a smooth trend between jumps cut into steps), and the
    # smooth fit to leave what the noise leaves too.
    raised_only: bool = False
    both_adequate: bool = False
    # Third case (a wider smooth choice that misses steps), tried at all. The levels must
    # beat the smooth fit by more than `beaten_by` standard errors (:func:`levels_beat`; the
    # one-sided 1 % point, as the adequacy band), on at least `fewest` samples, with
    # residuals that look independent and segments flat to a polynomial of `degree` ...
    misfit: bool = True
    beaten_by: float = 2.326
    misfit_level_test: bool = True
    # ... and at most this share of their jumps bends: jumps where a polynomial of
    # `bend_degree` through the two segments leaves no more than the two levels
    # (:func:`._constant_choice.step_over_curve`). Levels laid over a gentle ramp or a bend
    # pass the level test segment by segment (a slope of 1 sd over a segment is no evidence)
    # but not across the jump: ramps with kinks lost 11 of 100 exact counts without it.
    bends_share: float = 0.1
    bend_degree: int = 2
    # And the levels' segments must leave residuals of one spread, within this many standard
    # errors (:func:`._constant_choice.spread_change`): where the local noise check missed a
    # noise level that doubles, levels at one noise level cut the noisier stretch into steps.
    spread: float = 2.326
    # The levels may also beat it beside one of their jumps that the smooth fit lacks, the
    # 1 % shared among those jumps (:func:`beaten_near_added`): the whole series dilutes one
    # missed step (small among large 0.80 -> 0.83 of 100).
    near_added: bool = True
    # The third case also where the smooth choice measured a noise level that changes along
    # x: the steps a smooth curve rounds leave residuals that the local check reads as a
    # changing noise level (10 of the misses among 40 stairs, staircases and mixed steps), and
    # the spread test of the levels' own residuals (`spread`) tells the two apart (one jump
    # with the noise doubled after it: exact as often as before).
    misfit_noise_changes: bool = True
    # The third case also on fewer than `fewest` samples, from this many on: a ramp or a
    # curve wide enough to miss stairs of 10 samples leaves them to the levels at any length.
    # There the lag-one test of the levels' residuals has too little power to tell steps from
    # the wandering of AR(1) noise, so two more guards. The smooth choice is wider than
    # `misfit_short_finest` samples or has a jump of its own: every jump-free series the
    # third case cut into levels on 60 to 130 samples was AR(1) noise under a curve 5.7 to
    # 11.3 samples wide (11 of 3,200), and stairs that a jump-free curve followed are the
    # first case's. And (`misfit_short_raw_phi`) the levels keep every jump at their price
    # raised by the long-run factor of their residuals' own lag-one correlation
    # (:func:`._constant_choice.residual_phi`), which the noise estimate shrinks toward 0 on
    # short series (3 more of 9,800 jump-free series with levels without it). Stairs of
    # 10 samples on 100 to 200: exact 0.47 -> 0.70 of 40, 0.48 -> 0.70 of 100; every other
    # class and size as before (bench/select/RESULTS.md, "Issue 22, stairs on short series").
    misfit_short_fewest: int = 50
    misfit_short_finest: float = 12.0
    misfit_short_jumps: bool = True
    misfit_short_raw_phi: bool = True
    # In the second and third cases, a smooth fit that leaves what the noise leaves with
    # fewer parameters than the levels keeps its place, unless the levels beat it by more
    # than this many standard errors (:func:`levels_beat`). The parsimony claim rests on
    # the adequacy band, which the noise estimate's own spread widens (about 2,290 noise
    # variances allowed on 2,048 samples); the paired comparison does not: blocks of 0.8 to
    # 2 sd whose small jumps the check after the grid dropped leave the curve 9 to 12
    # standard errors behind the levels. At 8: blocks 0.80 -> 0.88 of 40, 0.75 -> 0.85 of
    # 100, a bump on a slope a jump in 1 more of 140 (a curve 64 samples wide rounds it, and
    # levels beat that by 8.3), jump-free series otherwise as before; at 6 the bump 2 more,
    # at 4 also a gap (bench/select/RESULTS.md, "Issue 22, past the smooth fit's parsimony").
    wide_past_parsimony_by: float = 8.0
    # There, too, the smooth fit must leave what the noise leaves by the levels' own reading
    # of the noise (their residual variance, :func:`._constant_choice.leaves_as_little`) to
    # claim its fewer parameters. The noise read from second differences keeps some of the
    # steps' own excess and carries its estimate's spread into the adequacy band.
    parsimony_by_levels: bool = True
    # And with residuals no more correlated at lag one than the levels', within each fit's
    # segments, beyond this many standard errors of one column's lag-one correlation (inf: not
    # asked). A ramp through a staircase leaves what the noise leaves in sum, but in runs. At
    # the 0.1 % point (3.09): staircase, stairs, small among large and mixed 8 more exact of
    # 560, nothing else changes; at the 1 % point 16 more and a bump on a slope gets jumps
    # (bench/select/RESULTS.md, "Issue 22, the smooth fit's claim needs residuals without runs").
    smooth_runs: float = 3.09
    # And the claim cuts both ways: levels that leave what the noise leaves with fewer
    # parameters than a smooth fit with jumps of its own need not beat it, only not fall
    # behind it by more than `beaten_by` standard errors: in the second case in place of
    # `split_beat` (`levels_parsimony`), in the third case in place of `beaten_by`
    # (`levels_parsimony_misfit`), under the case's other guards. A curve that bends through
    # a small step between the jumps it keeps spends more parameters than the level it missed.
    # Not in the third case: there it also hands levels every smooth fit whose segments are
    # level enough, with the same jumps (the Nile), which stays a choice of the curve.
    levels_parsimony: bool = True
    levels_parsimony_misfit: bool = False
    # There each jump the levels add must save over a parabola through its two segments more
    # than chi-square(1)'s 1 % point (noise variances), not only more than nothing as in the
    # bends test: a jump cut into a curved trend between real ones saves about what the
    # parabola does (1.2 to 6.1 on blocks on a trend, where without it the second case alone
    # cost 4 of 120 exact counts), a short step the curve bent through far more (9.6 to 36).
    levels_parsimony_step_gain: float = 6.635
    # The first case on `fewest` samples or more, where the smooth fit leaves what the noise
    # leaves with fewer parameters than the levels (a curve 2 samples wide through teeth of
    # 10): the levels still take its place when they beat it by this many standard errors
    # (the one-sided 0.1 % point, as on fewer samples) and pass the third case's guards with
    # at most this share of their jumps bends. A true step of 2.5 sd between segments of 10
    # samples reads as a bend in 11 % of cases, so a tenth of 19 teeth turns 64 % of such
    # series away and a quarter 5 %. Past the third case's parsimony the same cut bumps on a
    # slope (0.00 -> 0.12 with a jump), and a quarter there turns ramps into stairs.
    past_parsimony_by: float = 3.09
    past_parsimony_bends: float = 0.25
    # The first case on `fewest` samples or more once more at BIC's price: levels fitted at
    # 2 log m noise variances (with the same factors) take the calibrated levels' place when
    # they keep every one of their jumps, each jump they add splits its two segments beyond
    # noise with odds of at most `narrow_bic_odds` over the places it could take (the
    # calibrated levels' segments, :func:`._split_null.jump_odds`), and they pass the first
    # case's tests keeping every jump at the price of their residuals' own autocorrelation
    # (0: not tried). The calibrated price bounds the chance that noise gets a first jump; a
    # tooth it dropped (a run of alternating teeth pays about 16 noise variances a jump, the
    # calibrated price is 13 on 200 samples) then stands on its own evidence. Teeth of 10
    # samples on 200: exact 0.38 -> 0.47 of 40, 0.31 -> 0.37 of 100; every other class,
    # the real-like corpus and the 3,000 jump-free series on 150 to 300 samples as before
    # (bench/select/RESULTS.md, "teeth the calibrated levels dropped").
    narrow_bic_odds: float = 0.01
    # The price the first case's levels are fitted at, BIC's log m per jump (0: calibrated);
    # the step above sets it for its second look.
    narrow_per_log: float = 0.0
    # The second case at any price, when every jump the levels add has its own evidence: the
    # odds that noise between its two neighbouring jumps splits as well
    # (:func:`._split_null.jump_odds`, an upper bound) at most this share over the smooth
    # fit's segments (where the levels could have added a jump; Bonferroni: at most this share
    # of such choices on steps the smooth fit has all of get a jump noise made), and none of
    # them a bend (:func:`step_over_curve`). 0: not asked. 1 % gained as much on the bench but
    # let a 1-in-350 false jump through on a seeded step with deltas. With `split_beat`:
    # mixed steps exact 0.69 -> 0.76, small among large 0.83 -> 0.90 of 100, nothing lost
    # elsewhere (bench/select/RESULTS.md, "Issue 22, small steps among large ones at any
    # price").
    split_odds: float = 0.001
    split_bends: bool = True
    # Without that evidence's guarantee, bench/select/'s other candidates: a smooth fit that
    # leaves what the noise leaves with fewer parameters loses its place (unless the levels
    # beat it by no more than `split_beaten_by`): it cut a sine between jumps into 6 steps; a
    # smooth choice without jumps: a bump or a line got jumps; the share over the added jumps
    # only (`split_per_segment` off).
    split_parsimony: bool = True
    split_from_none: bool = False
    split_per_segment: bool = True
    split_beaten_by: float = -math.inf
    # And each added jump must let the levels beat the smooth fit over its two segments by
    # more than this many standard errors (:func:`levels_beat` there, as in
    # :func:`beaten_near_added`; -inf: not asked): levels laid over a trend between jumps split
    # it beyond noise, but the curve that follows the trend leaves no more than they do.
    split_near_beat: float = -math.inf
    # And the levels must beat the smooth fit over the whole series by more than this many
    # standard errors (:func:`levels_beat`; -inf: not asked). The split evidence is against
    # noise, not against a trend: between the jumps of blocks on a curved trend a step cut
    # into the curve splits its segments beyond noise too, and there the curve that follows
    # the trend leaves about what the levels leave (blocks on a trend, 200 samples: exact 38 of
    # 40 before, 33 with the split evidence alone, 37 with this at 1).
    split_beat: float = 1.0
    # The smooth choice's narrowest bandwidth where a raised price spares the levels the split
    # evidence (inf: never).
    raised_finest: float = Rule().finest_follow


LEVELS = LevelsRule()


class _LevelsTests:
    """What the cases ask of one set of levels, each answer computed once, when first asked
    (a series whose second case fails goes on to the third, which asks again)."""

    def __init__(self, x: NDArray[np.float64], y: NDArray[np.float64],
                 unit: NDArray[np.float64], residual: NDArray[np.float64],
                 jumps: NDArray[np.int64], noise: Any, rule: LevelsRule) -> None:
        self.x, self.y, self.unit, self.residual, self.jumps = x, y, unit, residual, jumps
        self.noise, self.rule = noise, rule

    @cached_property
    def weight(self) -> NDArray[np.float64]:
        """The inverse noise variance of each value of `y`."""
        return np.broadcast_to(1.0 / self.unit**2, self.y.shape)

    @cached_property
    def runs(self) -> float:
        """Lag-one correlation beyond independent noise's (:func:`residual_correlation`)."""
        return residual_correlation(self.residual, self.jumps)

    @cached_property
    def spread(self) -> float:
        """Change of spread between segments (:func:`spread_change`)."""
        return spread_change(self.residual, self.jumps)

    @cached_property
    def level(self) -> bool:
        """Segments flat to a polynomial of `degree` (:func:`level_between_jumps`)."""
        return level_between_jumps(self.x, self.residual, self.jumps, self.noise,
                                   self.rule.degree)

    @cached_property
    def bend_gains(self) -> NDArray[np.float64]:
        """Per jump, what a polynomial through both segments leaves beyond the two levels
        (:func:`step_over_curve`; at most 0: a bend)."""
        return step_over_curve(self.x, self.y, self.weight, self.jumps, self.rule.bend_degree)

    def added_step_gain(self, smooth_jumps: NDArray[np.int64]) -> float:
        """The least of :attr:`bend_gains` over the jumps the smooth fit lacks (inf when
        there is none)."""
        added = _added(self.jumps, smooth_jumps)
        return float(np.min(self.bend_gains[added])) if added.size else math.inf


def added_odds(tests: _LevelsTests, smooth_jumps: NDArray[np.int64]) -> float:
    """The odds that noise splits the two segments beside one of the jumps of the levels that
    the smooth fit lacks as well as that jump does, the largest over those jumps, times the
    places the levels could have added it (the smooth fit's segments, or with
    `rule.split_per_segment` off the added jumps); inf where (with `rule.split_bends`) a
    parabola through the two segments beside one leaves no more than the two levels, or where
    the levels' residuals (`tests.residual`, in noise units) change spread beyond
    `rule.spread` (:func:`._constant_choice.spread_change`: noise that doubles unseen splits
    beyond the one noise level) or are correlated beyond `rule.correlated`
    (:func:`._constant_choice.residual_correlation`: autocorrelated noise wanders beyond
    independent noise's odds; a trend under AR(1) noise cut into 5 levels)."""
    rule = tests.rule
    added = _added(tests.jumps, smooth_jumps)
    if added.size == 0:
        return 0.0
    if rule.split_bends and tests.added_step_gain(smooth_jumps) <= 0.0:
        return math.inf
    if tests.spread > rule.spread or tests.runs > rule.correlated:
        return math.inf
    tries = (smooth_jumps.size + 1 if rule.split_per_segment and smooth_jumps.size
             else added.size)
    return float(np.max(jump_odds(tests.y, tests.weight, tests.jumps, added))) * tries


def _at_bics_price(problem: Problem, smooth: Selection, steps: Selection,
                   price: ConstantPrice, samples: Samples, sigma: Any,
                   widened: NDArray[np.float64], noise_changes: bool, rule: LevelsRule
                   ) -> Optional[Selection]:
    """The package's second look at BIC's price (`vorn._select._at_bics_price`), the added
    jumps' odds at most `rule.narrow_bic_odds`, the levels weighed by this rule."""
    return package_at_bics_price(
        problem, smooth, steps, price, samples, sigma, widened, noise_changes,
        odds_allowed=rule.narrow_bic_odds,
        weigh=lambda levels: steps_if_simpler(
            problem, smooth, noise_changes=noise_changes,
            rule=rule._replace(narrow_per_log=_BIC_PER_LOG, narrow_bic_odds=0.0),
            levels=levels))


def steps_if_simpler(problem: Problem, smooth: Selection, *, noise_changes: bool = False,
                     rule: LevelsRule = LEVELS,
                     levels: Optional[_Levels] = None) -> Optional[Selection]:
    """Constant levels in place of a smooth choice that follows steps, or None to keep it.

    Three cases. The smooth choice is at most `follows` samples wide: the curve follows every
    step without cutting it, on at least `fewest` samples, and the levels leave residuals no
    more correlated within their segments than independent noise leaves (at most `correlated`
    standard errors above it, :func:`._constant_choice.residual_correlation`): a narrow choice
    also follows a curve or autocorrelated noise on a short series, and levels laid over those
    leave runs of one sign; on `short_fewest` samples to `fewest`, where that test has little
    power, the levels, fitted at BIC's price (`short_price_per_log`), must also pass the
    third case's tests, with `short_beaten_by` and without the smooth fit's claim to fewer
    parameters (`short_parsimony`), and keep every jump at the price of their residuals' own
    autocorrelation (`short_raw_phi`); from `fewest` on,
    a smooth fit with that claim (a curve that follows every tooth) gives way only to levels
    that pass those tests with `past_parsimony_by` and `past_parsimony_bends`, and levels at
    BIC's price take the place of the calibrated ones where each jump they add has its own
    evidence (`narrow_bic_odds`). Or the smooth
    choice, wider than `finest` samples, under one noise level along x, has jumps, and the
    constant model of ``select(segments="constant")`` keeps each of them and adds others
    between segments at least `shortest` bandwidths long (:func:`keeps_and_adds`), each with
    its own evidence (:func:`added_odds` at most `split_odds`: noise splits its two segments
    as well with at most those odds over the places it could take, and it is no bend; and
    :func:`levels_beat` over `split_beat`, or over ``-beaten_by`` with fewer parameters than
    the smooth fit and each added jump's :func:`step_over_curve` over
    `levels_parsimony_step_gain`, `levels_parsimony`), its segments flat to a polynomial of
    `degree` (:func:`._constant_choice.level_between_jumps`):
    small steps among large ones, which the wide curve bent to follow and the check after the
    grid may then have dropped. Without that evidence (`split_odds` 0) only at a price that
    check raised (`raised_only`), over 8 samples and beside segments a bandwidth long: a
    narrower curve's extra jumps were mostly the constant model's own false ones, and
    elsewhere mostly a smooth trend between jumps cut into steps (bench/select/RESULTS.md).
    Or, third, the smooth choice is wider than
    `follows`, on at least `fewest` samples (on `misfit_short_fewest` to `fewest` only a
    choice wider than `misfit_short_finest` or with jumps, and levels that keep every jump at
    the price of their residuals' own autocorrelation; also where the smooth choice measured a
    noise level that changes, with `misfit_noise_changes`: the levels' residuals must then
    show one spread where the smooth fit's did not), and the levels beat it
    (:func:`levels_beat` above `beaten_by`, or :func:`beaten_near_added`; with fewer
    parameters than a smooth fit with jumps, each added jump's :func:`step_over_curve` over
    `levels_parsimony_step_gain`, above ``-beaten_by``, `levels_parsimony_misfit`) with
    residuals that look independent and of one spread
    (:func:`._constant_choice.spread_change`), segments flat to a polynomial of `degree`,
    and at most `bends_share` of their jumps bends
    (:func:`._constant_choice.step_over_curve`): steps the smooth curve rounded or missed at
    a price set for curves. In every case the constant model must leave no more than the
    noise leaves with fewer parameters (a level per segment and column, one per jump; the
    smooth fit's effective degrees of freedom and its jumps), or the smooth fit more than the
    noise (in the second and third cases also by the levels' residual variance,
    `parsimony_by_levels`), or (second and third cases) the levels must beat it by more than
    `wide_past_parsimony_by` standard errors.

    Parameters
    ----------
    problem : Problem
        The data the choice was made on, each column in its own units.
    smooth : Selection
        The smooth choice.
    noise_changes : bool
        Whether the smooth choice measured a noise level that changes along x (the constant
        model's one level would read the noisier stretch as steps).
    rule : LevelsRule
        The bounds above, and the switches of the second and third cases.
    levels : tuple, optional
        The constant levels to weigh (``_constant_selection``'s answer), instead of fitting
        them at the case's price.

    Returns
    -------
    Selection or None
    """
    narrow = smooth.bandwidth_samples <= rule.follows
    long_enough = problem.samples.y.shape[0] >= rule.fewest
    short = narrow and not long_enough
    if short and problem.samples.y.shape[0] < rule.short_fewest:
        return None
    among = (not narrow and rule.among_jumps and not noise_changes
             and smooth.bandwidth_samples > rule.finest
             and (smooth.fit.jump_indices.size > 0
                  or (rule.split_odds > 0.0 and rule.split_from_none))
             and (not rule.raised_only or _raised(smooth)))
    short_misfit = (not long_enough and problem.samples.y.shape[0] >= rule.misfit_short_fewest
                    and (smooth.bandwidth_samples > rule.misfit_short_finest
                         or (rule.misfit_short_jumps and smooth.fit.jump_indices.size > 0)))
    misfit = (not narrow and rule.misfit and (rule.misfit_noise_changes or not noise_changes)
              and (long_enough or short_misfit))
    if not narrow and not among and not misfit:
        return None
    steps, own, units, factors, price = levels if levels is not None else _constant_selection(
        problem, None, None, rule.short_price_per_log if short
        else (rule.narrow_per_log if narrow else 0.0))
    samples = own.samples
    m, d = samples.y.shape
    if among and (keeps_and_adds(smooth.fit.jump_indices, steps.fit.jump_indices, m,
                                 rule.shortest * smooth.bandwidth_samples) is None
                  if smooth.fit.jump_indices.size else steps.fit.jump_indices.size == 0):
        among = False
    if not narrow and not among and not misfit:
        return None
    sigma = np.where(units.noise.sigma > 0.0, units.noise.sigma, units.scale)
    widened = (samples.delta * factors)[:, None]
    if narrow and long_enough and rule.narrow_bic_odds > 0.0 and rule.narrow_per_log == 0.0:
        # Before the residuals and tests below: the second look's levels need their own.
        at_bic = _at_bics_price(problem, smooth, steps, price, samples, sigma, widened,
                                noise_changes, rule)
        if at_bic is not None:
            return at_bic
    unit = widened * sigma
    column_scale = 1.0 if own.column_scale is None else own.column_scale

    def residual(fit: Fit) -> NDArray[np.float64]:
        return ((fit._values(samples.x) / column_scale).reshape(m, d) - samples.y) / unit

    def kept_at_own_phi() -> Optional[str]:
        # Whether the levels keep every jump at their price raised by the long-run factor of
        # their residuals' own lag-one correlation: what it says, or None.
        phi = residual_phi(steps_residual, steps.fit.jump_indices)
        raised = steps.penalty / units.noise.long_run_factor * (1.0 + phi) / (1.0 - phi)
        if raised > steps.penalty and fit_arrays(
                samples.x, samples.y / sigma, samples.delta * factors, 0.0, raised,
                "constant").jump_idx.size < k_c:
            return None
        return (f", and keep every jump at a price raised for their residuals' lag-one "
                f"correlation of {phi:.2f}")

    steps_residual = residual(steps.fit)
    # In noise units: squared deviations of data far from 1 (1e-160) would leave float64.
    tests = _LevelsTests(samples.x, samples.y / sigma, widened, steps_residual,
                         steps.fit.jump_indices, units.noise, rule)
    # Where the check raised the price, over `raised_finest` samples and beside segments a
    # bandwidth long, the levels need no split evidence (the rule before it; the spread test
    # below cost blocks 2 of 40 there).
    split = rule.split_odds > 0.0 and not (
        _raised(smooth) and smooth.bandwidth_samples > rule.raised_finest
        and keeps_and_adds(smooth.fit.jump_indices, steps.fit.jump_indices, m,
                           Rule().shortest_segment * smooth.bandwidth_samples) is not None)
    odds = math.nan
    if among and split:
        odds = added_odds(tests, smooth.fit.jump_indices)
        # Levels that fail this case may still pass the third.
        if odds > rule.split_odds or (rule.level_test and not tests.level):
            among = False
            if not misfit:
                return None
    k_c = steps.fit.jump_indices.size
    par_c = d * (k_c + 1) + k_c
    k_s = smooth.fit.jump_indices.size
    lengths = np.diff(np.concatenate(([0], smooth.fit.jump_indices + 1, [m])))
    par_s = d * float(np.sum(effective_dof(lengths, smooth.bandwidth_samples))) + k_s
    rss_c = float(np.sum(steps_residual ** 2))
    smooth_residual = residual(smooth.fit)
    rss_s = float(np.sum(smooth_residual ** 2))
    ok_c = adequate(rss_c, par_c, k_c, m * d, units.noise)
    ok_s = adequate(rss_s, par_s, k_s, m * d, units.noise)
    across = units.noise.across_columns
    beat = levels_beat(rss_s, par_s, rss_c, par_c,
                       float(np.sum((smooth_residual - steps_residual) ** 2)), across)

    def fewer() -> bool:
        # Levels with fewer parameters than a smooth fit with jumps, each jump they add clear
        # of a parabola; asked only where a rule reads it (the gains cost a fit per jump).
        return (k_c > 0 and k_s > 0 and par_c < par_s
                and tests.added_step_gain(smooth.fit.jump_indices)
                > rule.levels_parsimony_step_gain)

    if among and split and beat <= rule.split_beat and not (
            rule.levels_parsimony and beat > -rule.beaten_by and fewer()):
        among = False
        if not misfit:
            return None
    if among and split and rule.split_near_beat > -math.inf:
        jumps_s, jumps_c = smooth.fit.jump_indices, steps.fit.jump_indices
        added = _added(jumps_c, jumps_s)
        if added.size and np.min(beats_near(smooth_residual, steps_residual, jumps_s, jumps_c,
                                            smooth.bandwidth_samples, added, across)
                                 ) <= rule.split_near_beat:
            among = False
            if not misfit:
                return None
    parsimony = (rule.short_parsimony or not short) and (
        rule.split_parsimony or not among or not split
        or beat <= rule.split_beaten_by)
    if not ok_c:
        return None
    past_parsimony = wide_past_parsimony = False
    if (parsimony and ok_s and not narrow and rule.parsimony_by_levels
            and not leaves_as_little(rss_s, par_s, k_s, rss_c, par_c, m * d, units.noise)):
        ok_s = False
    leaves_little = ok_s
    if (parsimony and ok_s and not narrow and rule.parsimony_by_levels
            and smooth_runs(smooth_residual, smooth.fit.jump_indices, steps_residual,
                            steps.fit.jump_indices) > rule.smooth_runs):
        ok_s = False
    if parsimony and ok_s and par_s <= par_c:
        if not narrow and (among or misfit) and beat > rule.wide_past_parsimony_by:
            wide_past_parsimony = True
        elif not narrow or short or not math.isfinite(rule.past_parsimony_by):
            return None
        else:
            past_parsimony = True

    def guarded(beaten_by: float, correlated: float, spread_by: float, level_test: bool,
                bends_share: float, near_added: bool) -> Optional[str]:
        # The third case's guards, also the first case's on a short series: what the levels
        # passed, or None. A negative `beaten_by` only asks them not to fall behind.
        beaten = beat
        where = (f"by {beaten:.1f} standard errors" if beaten_by >= 0.0
                 else f"with fewer parameters ({_ahead(beat, -beaten_by)})")
        if beaten <= beaten_by and near_added:
            # The same 1 % shared among the added jumps.
            near, added = beaten_near_added(smooth_residual, steps_residual,
                                            smooth.fit.jump_indices, steps.fit.jump_indices,
                                            smooth.bandwidth_samples, across)
            needed = NormalDist().inv_cdf(1.0 - (1.0 - NormalDist().cdf(beaten_by))
                                          / max(added, 1))
            if near > needed:
                beaten = math.inf
                where = (f"beside one of the {_counted(added, 'jump')} it lacks by {near:.1f} "
                         f"standard errors (over {needed:.2f} needed)")
        if beaten <= beaten_by:
            return None
        if tests.runs > correlated or tests.spread > spread_by or (
                level_test and not tests.level):
            return None
        bends = int(np.count_nonzero(tests.bend_gains <= 0.0)) if k_c else 0
        if bends > bends_share * k_c:
            return None
        return (f"{where}, with residuals as independent as the noise's (lag-one correlation "
                f"{tests.runs:.2f} standard errors from it) and of one spread, level segments and "
                f"{_counted(bends, 'jump')} of {k_c} that a parabola through both segments "
                "matches")

    if past_parsimony:
        passed = guarded(rule.past_parsimony_by, rule.correlated, rule.spread, True,
                         rule.past_parsimony_bends, False)
        if passed is not None and rule.narrow_per_log > 0.0:
            own_phi = kept_at_own_phi()
            passed = None if own_phi is None else passed + own_phi
        if passed is None:
            return None
        why = (f"constant levels in place of the smooth choice at "
               f"{smooth.bandwidth_samples:.3g} samples, which followed the steps with fewer "
               f"parameters; they beat it {passed}")
    elif short:
        passed = guarded(rule.short_beaten_by, rule.short_correlated, rule.short_spread,
                         rule.short_level_test, rule.short_bends_share, False)
        if passed is not None and rule.short_raw_phi:
            own_phi = kept_at_own_phi()
            passed = None if own_phi is None else passed + own_phi
        if passed is None:
            return None
        why = (f"constant levels in place of the smooth choice at "
               f"{smooth.bandwidth_samples:.3g} samples, which followed the steps of a short "
               f"series; they beat it {passed}")
    elif not narrow and not among:
        by_parsimony = rule.levels_parsimony_misfit and fewer()
        passed = guarded(-rule.beaten_by if by_parsimony else rule.beaten_by, rule.correlated,
                         rule.spread, rule.misfit_level_test, rule.bends_share,
                         rule.near_added and not by_parsimony)
        if passed is None:
            return None
        verb = "match" if by_parsimony else "beat"
        if short_misfit and rule.misfit_short_raw_phi:
            own_phi = kept_at_own_phi()
            if own_phi is None:
                return None
            passed += own_phi
        why = (f"constant levels in place of the smooth choice at "
               f"{smooth.bandwidth_samples:.3g} samples, which they {verb} {passed}"
               + (" (the noise level the smooth choice saw change along x was the steps)"
                  if noise_changes else ""))
    elif narrow:
        runs = tests.runs
        if runs > rule.correlated:
            return None
        why = (f"constant levels in place of the smooth choice at "
               f"{smooth.bandwidth_samples:.3g} samples, which followed the steps, with "
               f"residuals as independent as the noise's (lag-one correlation {runs:.2f} "
               f"standard errors from it)")
        if rule.narrow_per_log > 0.0:
            own_phi = kept_at_own_phi()
            if own_phi is None:
                return None
            why += own_phi
    else:
        if (rule.both_adequate and not ok_s) or (rule.level_test and not tests.level):
            return None
        if math.isnan(odds):
            why = (f"constant levels in place of the smooth choice at "
                   f"{smooth.bandwidth_samples:.3g} samples, whose price the check raised to "
                   f"drop small jumps: they keep its "
                   f"{_counted(k_s, 'jump')} and add {k_c - k_s} that it bent to follow, "
                   "with level segments")
        else:
            why = (f"constant levels in place of the smooth choice at "
                   f"{smooth.bandwidth_samples:.3g} samples: they keep its "
                   f"{_counted(k_s, 'jump')} and add {k_c - k_s} that it bent to follow, "
                   f"each splitting its two segments beyond noise (which splits them as well "
                   f"with odds of at most {odds:.2g} over the places it could take, "
                   f"{rule.split_odds:g} allowed), "
                   f"none of them a bend, with level segments, "
                   + (f"beating it by {beat:.1f} standard errors" if beat > rule.split_beat
                      else f"with fewer parameters ({_ahead(beat, rule.beaten_by)})"))
    steps.criterion = (why + f"; they leave what the noise leaves with {par_c} parameters "
                       f"against {par_s:.1f}" + _smooth_claim(ok_s, leaves_little)
                       + (f", and beat it by over {rule.wide_past_parsimony_by:g} standard "
                          "errors, so its fewer parameters do not keep it"
                          if wide_past_parsimony else "")
                       + "; " + steps.criterion)
    steps.searches = smooth.searches + steps.searches
    return steps
