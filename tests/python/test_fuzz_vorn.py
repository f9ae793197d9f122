"""Property-based fuzzing of vorn with hostile arguments, checked against an independent model.

Every call must either return a well-formed result that agrees with the model's prepared
samples, or raise exactly the exception (type and text) that the model predicts from the order
of the checks; arguments must come back unchanged and without extra references.
"""

from hypothesis import given, settings
from hypothesis import strategies as st

import _vorn_core
from conftest import fuzz_examples
from test_fuzz_inputs import build_call, calls
from test_fuzz_oracle import check_call, vorn_outcome

FUZZ_SETTINGS = settings(max_examples=fuzz_examples(2000))


@FUZZ_SETTINGS
@given(recipe=calls("vorn"), warn_mode=st.sampled_from(["ignore", "error"]))
def test_vorn_fuzz(recipe, warn_mode):
    check_call(_vorn_core.vorn, vorn_outcome, build_call, recipe, warn_mode)
