"""vorn.cv_score: user input checked once, scores from the engine against the extension."""

import numpy as np
import pytest

import _vorn_core
import vorn


def _step(n=90, seed=3):
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0.0, 1.0, n))
    y = np.sin(5 * x) + 2.0 * (x > 0.45) + 0.1 * rng.standard_normal(n)
    return x, y


def _interleaved(n, k):
    return [list(range(j, n, k)) for j in range(k)]


@pytest.mark.parametrize("gamma", [0.5, 2.0, np.inf])
@pytest.mark.parametrize("delta", [None, 0.2, "array"])
def test_core_scoring_is_the_extension_score_for_user_shaped_input(gamma, delta):
    x, y = _step()
    n = x.size
    deltas = np.full(n, 0.2) if delta == "array" else delta
    full = np.ones(n) if delta is None else np.full(n, 0.2)
    expected = _vorn_core.vorn_cvscore(x, y.reshape(-1, 1), 0.999, gamma, full,
                                       _interleaved(n, 7))
    got = vorn.cv_score(x, y, deltas, 7, 0.999, gamma, "core")
    assert got == expected


def _step_with_twins_at_the_jump():
    # Two more samples on the sites either side of the jump, valued nearer the other side and
    # held out in folds that train on their twins: a site shared with a training sample is in
    # no gap, so the curve of its own side scores it, not the nearer one.
    x, y = _step()
    before = int(np.flatnonzero(x <= 0.45)[-1])
    assert before % 5 not in (0, 1) and (before + 1) % 5 not in (0, 1)
    return np.r_[x, x[before], x[before + 1]], np.r_[y, y[before] + 1.6, y[before + 1] - 1.6]


@pytest.mark.parametrize("data", [_step, _step_with_twins_at_the_jump])
def test_gap_aware_scoring_against_fold_by_fold_fits(data):
    x, y = data()
    n = x.size
    folds = _interleaved(n, 5)
    total = 0.0
    for fold in folds:
        train = np.setdiff1d(np.arange(n), fold)
        raw = _vorn_core.vorn(x[train], y[train].reshape(-1, 1), 0.999, 1.0)
        breaks, coefs = raw["breaks"], raw["coefs"].reshape(-1, 4)
        for k in fold:
            site = x[k]
            # Each piece that may serve the site: the one containing it, and where the site
            # lies in a jump gap of the training fit, the piece on the other side too.
            candidates = [np.searchsorted(breaks[1:-1], site, side="right")]
            for e, loc in zip(raw["discont_idx"], raw["discont"]):
                if raw["x"][e] < site < raw["x"][e + 1]:
                    piece = int(np.searchsorted(breaks, loc))
                    candidates = [piece - 1, piece]
            errors = []
            for piece in candidates:
                t = site - breaks[piece]
                value = ((coefs[piece, 0] * t + coefs[piece, 1]) * t + coefs[piece, 2]) * t \
                    + coefs[piece, 3]
                errors.append((value - y[k]) ** 2)
            total += min(errors)
    assert vorn.cv_score(x, y, None, folds, 0.999, 1.0) == pytest.approx(total / n, rel=1e-9)


@pytest.mark.parametrize(
    "change, error, message",
    [
        (dict(folds=[[0, 90]]), ValueError,
         "folds[0] holds index 90, but the samples are numbered 0 to 89"),
        (dict(folds=[[0], [-1]]), ValueError,
         "folds[1] holds index -1, but the samples are numbered 0 to 89"),
        (dict(folds=[[0.5]]), TypeError, "folds[0] must be a list of sample indices (integers)"),
        (dict(folds="01"), TypeError,
         "folds must be a number of folds or a sequence of index lists, got str"),
        (dict(folds=1), ValueError, "folds must be from 2 to the number of samples (90), got 1"),
        (dict(scoring="plain"), ValueError, "scoring must be 'gap-aware' or 'core', got 'plain'"),
        (dict(p="0.5"), TypeError, "p must be a real number, got str"),
        (dict(gamma=np.ones(2)), ValueError,
         "gamma must be a single number, got an array of shape (2,)"),
    ],
)
def test_bad_arguments_are_named(change, error, message):
    x, y = _step()
    arguments = dict(x=x, y=y, delta=None, folds=5, p=0.9, gamma=1.0)
    arguments.update(change)
    with pytest.raises(error) as caught:
        vorn.cv_score(**arguments)
    assert str(caught.value) == message


def test_missing_values_are_refused_and_inputs_left_alone():
    x, y = _step()
    y[4] = np.nan
    before = (x.copy(), y.copy())
    with pytest.raises(ValueError, match="missing value in row 4"):
        vorn.cv_score(x, y, None, 5, 0.9, 1.0)
    np.testing.assert_array_equal(x, before[0])
    np.testing.assert_array_equal(y, before[1])


def test_unscorable_pairs_are_infinite():
    x, y = _step()
    assert vorn.cv_score(x, y, None, 5, 0.9, 0.0) == np.inf
    assert vorn.cv_score(x, y, None, 5, 1.5, 1.0) == np.inf
    assert vorn.cv_score(x, y, None, [list(range(89))], 0.9, 1.0) == np.inf
