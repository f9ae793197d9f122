"""Arguments that change other arguments while they are being converted.

A __float__ or __index__ runs caller code in the middle of the conversions, after some arrays
have passed their checks. Whatever it does to them (reshape, re-type, resize, reallocate), the
call must not read stale memory: its outcome must be exactly that of a call made afterwards
with the arrays in their final state, or the TypeError of an array that no longer qualifies.
"""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _vorn_core
from test_threads import fingerprint, run


class Mutating:
    """A number whose conversion first does something to another argument."""

    def __init__(self, value, action):
        self.value = value
        self.action = action

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


def base_data(n=8, d=2):
    x = np.linspace(0.0, 7.0, n)
    y = np.column_stack([np.where(x > 3.5, 2.0, 0.0) + 0.1 * x * k for k in range(1, d + 1)])
    return x.copy(), y.copy(), np.ones(n)


ACTIONS = {
    "flatten y": lambda a: setattr(a["y"], "shape", (a["y"].size,)),
    "y becomes int64": lambda a: setattr(a["y"], "dtype", np.int64),
    "x becomes 2-D": lambda a: setattr(a["x"], "shape", (2, a["x"].size // 2)),
    "shrink x": lambda a: a["x"].resize(3, refcheck=False),
    "grow x": lambda a: a["x"].resize(40, refcheck=False),
    "grow y": lambda a: a["y"].resize((40, a["y"].shape[1]), refcheck=False),
    "shrink y": lambda a: a["y"].resize((2, a["y"].shape[1]), refcheck=False),
    "shrink delta": lambda a: a["delta"].resize(1, refcheck=False),
    "poison y": lambda a: a["y"].__setitem__((slice(None), 0), math.nan),
    "freeze y": lambda a: setattr(a["y"].flags, "writeable", False),
    "x descending": lambda a: a["x"].__setitem__(slice(None), a["x"][::-1].copy()),
    # Re-entrant calls from inside a conversion, on the very arrays being converted.
    "nested vorn": lambda a: _vorn_core.vorn(None, a["y"], 0.5, 1.0),
    "nested score": lambda a: _vorn_core.vorn_cvscore(a["x"], a["y"], 0.5, 1.0, a["delta"],
                                                      [[0], [1]]),
    "nested failure": lambda a: run(lambda: _vorn_core.vorn(a["x"], a["y"], 2.0, 1.0)),
}


def call_with(function, action_name, where, folds_kind):
    x, y, delta = base_data()
    arrays = {"x": x, "y": y, "delta": delta}
    action = lambda: ACTIONS[action_name](arrays)  # noqa: E731
    p = Mutating(0.8, action) if where == "p" else 0.8
    gamma = Mutating(0.5, action) if where == "gamma" else 0.5
    if function == "vorn":
        outcome = run(lambda: _vorn_core.vorn(x, y, p, gamma, delta))
        again = run(lambda: _vorn_core.vorn(x, y, 0.8, 0.5, delta))
    else:
        first = [Mutating(1, action)] if where == "folds" else [1]
        folds = [first + [3], [0, 5]] if folds_kind == "list" else [tuple(first), range(4, 6)]
        outcome = run(lambda: _vorn_core.vorn_cvscore(x, y, p, gamma, delta, folds))
        again = run(lambda: _vorn_core.vorn_cvscore(x, y, 0.8, 0.5, delta,
                                                    [[1, 3], [0, 5]] if folds_kind == "list"
                                                    else [(1,), range(4, 6)]))
    return outcome, again


@settings(max_examples=300)
@given(function=st.sampled_from(["vorn", "vorn_cvscore"]),
       action_name=st.sampled_from(sorted(ACTIONS)),
       where=st.sampled_from(["p", "gamma", "folds"]),
       folds_kind=st.sampled_from(["list", "tuple"]))
def test_conversions_that_change_other_arguments(function, action_name, where, folds_kind):
    if function == "vorn" and where == "folds":
        where = "gamma"
    outcome, again = call_with(function, action_name, where, folds_kind)
    if isinstance(outcome, BaseException) and type(outcome) is TypeError:
        # An array that no longer qualifies is reported as such, under its own name.
        assert str(outcome).startswith(("argument 'x': ", "argument 'y': ",
                                        "argument 'delta': ")), outcome
        assert fingerprint(again)[0] == "raised" and type(again) is TypeError
        assert str(again) == str(outcome)
    else:
        assert fingerprint(outcome) == fingerprint(again)


@pytest.mark.parametrize("action_name", sorted(ACTIONS))
def test_each_change_reaches_the_fit(action_name):
    outcome, again = call_with("vorn", action_name, "gamma", "list")
    assert fingerprint(outcome) == fingerprint(again)
