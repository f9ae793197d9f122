"""Property-based fuzzing of vorn_cvscore with hostile arguments and folds.

The model predicts the exact exception, or +inf / NaN / 0, or computes the score itself from the
training fits (made with vorn) and its own evaluation of their joined forms, so that a frame
that misreads folds, strides or indices cannot agree with it by accident.
"""

from hypothesis import given, settings
from hypothesis import strategies as st

import _vorn_core
from conftest import fuzz_examples
from test_fuzz_inputs import build_call, calls
from test_fuzz_oracle import check_call, cvscore_outcome

FUZZ_SETTINGS = settings(max_examples=fuzz_examples(2000))


def training_fit(x, y, delta, pruning, precondition, p, gamma):
    result = _vorn_core.vorn(x, y, p, gamma, delta, pruning, precondition)
    return result["breaks"], result["coefs"], result["dim"]


@FUZZ_SETTINGS
@given(recipe=calls("vorn_cvscore"), warn_mode=st.sampled_from(["ignore", "error"]))
def test_cvscore_fuzz(recipe, warn_mode):
    check_call(_vorn_core.vorn_cvscore, cvscore_outcome, build_call, recipe, warn_mode,
               fitter=training_fit)
