"""Optional dependencies, imported only by the function that needs them."""

from __future__ import annotations

import importlib
from types import ModuleType

__all__ = ["require"]

_PACKAGES = {"plot": "matplotlib", "scipy": "SciPy", "progress": "tqdm"}


def require(module: str, extra: str, feature: str) -> ModuleType:
    """Import `module`, or raise an ImportError that says how to install the `extra`.

    The message reads "{feature} needs {package}; install it with: pip install 'vorn[extra]'".
    """
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(missing_message(extra, feature)) from None


def missing_message(extra: str, feature: str) -> str:
    """What to tell a user whose `feature` needs the uninstalled `extra`."""
    return f"{feature} needs {_PACKAGES[extra]}; install it with: pip install 'vorn[{extra}]'"
