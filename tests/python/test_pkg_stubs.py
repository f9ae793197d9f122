"""The type stub of the extension agrees with what the extension returns."""

from __future__ import annotations

import ast
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import pytest

import _vorn_core

_REPO_STUB = Path(__file__).resolve().parents[2] / "_vorn_core.pyi"


def _stub_path() -> Path:
    if _REPO_STUB.exists():
        return _REPO_STUB
    beside = Path(_vorn_core.__file__).with_name("_vorn_core.pyi")
    if beside.exists():
        return beside
    pytest.skip("no _vorn_core.pyi found in the source tree or beside the extension")


def _typed_dict_fields(name: str) -> dict[str, str]:
    tree = ast.parse(_stub_path().read_text())
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == name:
            return {
                item.target.id: ast.unparse(item.annotation)
                for item in node.body
                if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name)
            }
    raise AssertionError(f"{name} not in the stub")


def _annotation_of(value) -> str:
    if isinstance(value, np.ndarray):
        return {np.dtype(np.float64): "NDArray[np.float64]",
                np.dtype(np.int64): "NDArray[np.int64]"}[value.dtype]
    if isinstance(value, list):
        inner = {_annotation_of(v) if not isinstance(v, dict) else "_PpDict" for v in value}
        assert len(inner) == 1
        return f"list[{inner.pop()}]"
    return type(value).__name__


def test_result_typed_dict_matches_a_real_result():
    x = np.linspace(0.0, 1.0, 30)
    y = (np.sin(4 * x) + (x > 0.5)).reshape(-1, 1)
    raw = _vorn_core.vorn(x, y, 0.999, 0.5)
    fields = _typed_dict_fields("_VornResult")
    assert list(fields) == list(raw)
    assert fields == {key: _annotation_of(value) for key, value in raw.items()}
    cell = _typed_dict_fields("_PpDict")
    assert list(cell) == list(raw["pp_cell"][0])
    assert cell == {key: _annotation_of(value) for key, value in raw["pp_cell"][0].items()}


def test_stub_declares_exactly_the_module_functions():
    tree = ast.parse(_stub_path().read_text())
    functions = [node.name for node in tree.body if isinstance(node, ast.FunctionDef)]
    assert functions == list(_vorn_core.__all__)


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stubtest_accepts_the_stub(tmp_path):
    # MYPYPATH may not name site-packages, so the stub is checked from a copy of its own.
    shutil.copy(_stub_path(), tmp_path / "_vorn_core.pyi")
    # A cache that outlives the test keeps repeated runs fast (numpy's stubs are large).
    cache = Path(tempfile.gettempdir()) / "vorn-stubtest-cache"
    env = dict(os.environ, MYPYPATH=str(tmp_path), MYPY_CACHE_DIR=str(cache))
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_vorn_core"],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
