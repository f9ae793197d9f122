"""The module object: attributes, signatures, initialisation rules, lazy NumPy, InternalFailure."""

import inspect
import sys
import types

import numpy as np
import pytest

import _vorn_core
from conftest import run_python

pytestmark = pytest.mark.extension


def vorn_def(x, y, p, gamma, delta=None, pruning="FPVI", precondition="none"):
    pass


def vorn_cvscore_def(x, y, p, gamma, delta, folds, pruning="FPVI", precondition="none"):
    pass


def test_module_attributes():
    assert _vorn_core.__name__ == "_vorn_core"
    assert _vorn_core.__doc__ == ""
    assert _vorn_core.__all__ == ["vorn", "vorn_cvscore"]
    assert type(_vorn_core.__all__) is list
    public = [n for n in dir(_vorn_core) if not n.startswith("_")]
    assert sorted(public) == ["vorn", "vorn_cvscore"]
    assert not hasattr(_vorn_core, "InternalFailure")


@pytest.mark.parametrize(
    "name, reference", [("vorn", vorn_def), ("vorn_cvscore", vorn_cvscore_def)]
)
def test_functions_carry_only_their_signature(name, reference):
    func = getattr(_vorn_core, name)
    assert isinstance(func, types.BuiltinFunctionType)
    assert func.__name__ == name
    assert func.__module__ == "_vorn_core"
    assert func.__self__ is _vorn_core
    assert func.__doc__ is None
    sig = inspect.signature(func)
    assert sig == inspect.signature(reference)
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


def test_text_signatures_exactly():
    assert _vorn_core.vorn.__text_signature__ == (
        '(x, y, p, gamma, delta=None, pruning="FPVI", precondition="none")'
    )
    assert _vorn_core.vorn_cvscore.__text_signature__ == (
        '(x, y, p, gamma, delta, folds, pruning="FPVI", precondition="none")'
    )


def test_import_does_not_import_numpy():
    proc = run_python(
        """
        import sys
        import _vorn_core
        assert "numpy" not in sys.modules, "numpy imported"
        try:
            _vorn_core.vorn()
        except TypeError:
            pass
        assert "numpy" not in sys.modules, "numpy imported by a binding failure"
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_reimport_returns_the_same_module_object():
    proc = run_python(
        """
        import importlib, sys
        import numpy as np
        import _vorn_core as first
        first.vorn(None, np.ones((3, 1)), 0.5, 1.0)
        del sys.modules["_vorn_core"]
        import _vorn_core as second
        assert second is first
        assert importlib.reload(second) is first
        assert first.__all__ == ["vorn", "vorn_cvscore"]
        r = second.vorn(None, np.arange(4.0).reshape(4, 1), 1.0, 0.0)
        assert list(r["x"]) == [1.0, 2.0, 3.0, 4.0]
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_numpy_api_failure_is_an_internal_failure_and_is_retried():
    proc = run_python(
        """
        import sys
        sys.modules["numpy"] = None
        import _vorn_core
        try:
            _vorn_core.vorn(None, [[1.0], [2.0]], 0.5, 1.0)
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception), e.args[0])
            print(isinstance(e.__cause__, ImportError))
        del sys.modules["numpy"]
        import numpy as np
        r = _vorn_core.vorn(None, np.ones((3, 1)), 0.5, 1.0)
        print(sorted(r)[0])
        """
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.strip().splitlines()
    name, is_exception, message = lines[0].split(" ", 2)
    assert name == "InternalFailure" and is_exception == "False"
    assert message.startswith("Failed to access NumPy array API capsule")
    assert lines[1] == "True"
    assert lines[2] == "F"


def test_internal_failure_type(internal_failure):
    assert internal_failure.__bases__ == (BaseException,)
    assert not issubclass(internal_failure, Exception)
    x = np.array([0.0, 1.0, 2.0])
    # Created once: every failure raises the very same type.
    with pytest.raises(internal_failure) as info:
        _vorn_core.vorn_cvscore(x, np.ones((3, 1)), 0.5, 1.0, np.ones(3), [[3]])
    assert len(info.value.args) == 1
    assert isinstance(info.value.args[0], str) and info.value.args[0]
    with pytest.raises(internal_failure) as info:
        _vorn_core.vorn(np.array([0.0, np.nan, 1.0]), np.ones((3, 1)), 0.5, 1.0)
    assert info.value.args == ("NaN in x",)


def test_internal_failure_escapes_except_exception(internal_failure):
    x = np.array([0.0, np.nan, 1.0])
    caught_by = None
    try:
        try:
            _vorn_core.vorn(x, np.ones((3, 1)), 0.5, 1.0)
        except Exception:
            caught_by = "Exception"
    except BaseException as e:
        caught_by = type(e)
    assert caught_by is internal_failure
