"""The version is written once, in vorn/__init__.py; the installed metadata is read from it."""

import importlib.metadata
from pathlib import Path

import vorn


def test_installed_version_is_the_package_version():
    assert importlib.metadata.version("vorn") == vorn.__version__


def test_pyproject_does_not_repeat_the_version():
    pyproject = Path(__file__).resolve().parents[2] / "pyproject.toml"
    text = pyproject.read_text()
    assert 'dynamic = ["version"]' in text
    assert vorn.__version__ not in text
