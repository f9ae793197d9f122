"""Defects that the fuzz tests found, each pinned by the smallest call that showed it."""

import math

import numpy as np
import pytest

import _vorn_core
import vorn
from test_fuzz_oracle import is_internal_failure


def internal_failure_of(call):
    with pytest.raises(BaseException) as info:
        call()
    assert is_internal_failure(info.value), repr(info.value)
    return str(info.value)


class TestFoldIndicesAreCheckedWhereTheyAreRead:
    """A fold whose training fit fails scores +inf before any held-out sample is read."""

    def test_no_samples_at_all(self):
        empty = np.zeros(0)
        score = _vorn_core.vorn_cvscore(empty, np.zeros((0, 1)), 0.5, 1.0, empty, [[0]])
        assert type(score) is float and score == math.inf

    def test_too_few_training_samples_with_an_index_past_the_end(self):
        x = np.arange(4.0)
        score = _vorn_core.vorn_cvscore(x, np.ones((4, 1)), 0.5, 1.0, np.ones(4),
                                        [[0, 1, 2, 3, 99]])
        assert score == math.inf

    def test_negative_index_in_a_fold_whose_fit_fails(self):
        x = np.arange(3.0)
        score = _vorn_core.vorn_cvscore(x, np.ones((3, 1)), 0.5, 1.0, np.ones(3), [[0, 1, -1]])
        assert score == math.inf

    def test_short_y_whose_missing_rows_are_all_held_out(self):
        # Rows 1 and 2 of y do not exist, but only row 0 is read for training, and that fit
        # fails for lack of samples.
        x = np.arange(3.0)
        score = _vorn_core.vorn_cvscore(x, np.ones((1, 1)), 0.5, 1.0, np.ones(3), [[1, 2]])
        assert score == math.inf

    def test_short_delta_whose_missing_entries_are_all_held_out(self):
        x = np.arange(3.0)
        score = _vorn_core.vorn_cvscore(x, np.ones((3, 1)), 0.5, 1.0, np.ones(1), [[1, 2]])
        assert score == math.inf

    def test_the_same_indices_after_a_successful_fit_are_internal_failures(self):
        x = np.arange(6.0)
        y = np.arange(6.0).reshape(6, 1)
        d = np.ones(6)
        internal_failure_of(lambda: _vorn_core.vorn_cvscore(x, y, 0.5, 1.0, d, [[0, 99]]))
        internal_failure_of(lambda: _vorn_core.vorn_cvscore(x, y, 0.5, 1.0, d, [[0, -1]]))
        internal_failure_of(lambda: _vorn_core.vorn_cvscore(x, y[:5], 0.5, 1.0, d, [[5]]))
        internal_failure_of(lambda: _vorn_core.vorn_cvscore(x, y, 0.5, 1.0, d[:5], [[5]]))
        internal_failure_of(lambda: _vorn_core.vorn_cvscore(x, y[:5], 0.5, 1.0, d, [[0]]))

    def test_a_failing_first_fold_hides_a_bad_index_in_a_later_fold(self):
        x = np.arange(4.0)
        score = _vorn_core.vorn_cvscore(x, np.ones((4, 1)), 0.5, 1.0, np.ones(4),
                                        [[0, 1, 2], [99]])
        assert score == math.inf


@pytest.mark.parametrize("pruning", ["DOMINANCE", "PELT", "FPVI"])
@pytest.mark.parametrize("p", [0.0, 0.5])
@pytest.mark.parametrize("level", [3.052428172967718e15, -2.0**70])
def test_constant_data_far_from_zero_has_no_jump(level, p, pruning):
    # Found by test_pkg_fuzz.test_fit: the energies' rounding (a unit at 3e15) swamped gamma and
    # the dominance search reported a jump of size 0 (at p = 0 every search of the extension,
    # which reads the values as given, still splits). The package searches centred values; its
    # curve is still made from the values as given, so it is the extension's one spline exactly.
    y = np.full(14, level)
    f = vorn.fit(None, y, p, 0.5, pruning=pruning)
    assert f.jump_indices.size == 0 and f.jumps.size == 0
    one_spline = _vorn_core.vorn(None, y[:, None], p, math.inf, None, "PELT")
    np.testing.assert_array_equal(f.coefs.reshape(-1, 4), one_spline["coefs"])
