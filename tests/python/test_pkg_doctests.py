"""The examples in the package's docstrings run and print what they show."""

from __future__ import annotations

import doctest
import importlib

import pytest

MODULES = ["vorn", "vorn._fit", "vorn._select", "vorn._sites", "vorn.datasets"]


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    module = importlib.import_module(name)
    result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0
    assert result.failed == 0


@pytest.mark.multiprocess
def test_fit_many_example():
    module = importlib.import_module("vorn._many")
    result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0
    assert result.failed == 0
