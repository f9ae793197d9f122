"""Cubic smoothing splines with discontinuities.

Fit a piecewise-smooth curve whose jumps are found by a dynamic program:

>>> import vorn
>>> x, y, true_jumps = vorn.datasets.heavisine(n=200, noise=0.2)
>>> f = vorn.fit(x, y, p=0.99999, gamma=1.0)
>>> f.jumps.round(2)
array([0.3 , 0.72])
>>> s = vorn.select(x, y)  # p and gamma chosen from the data
>>> s.fit.jumps.round(2)
array([0.3 , 0.72])

:func:`fit` makes one fit, :func:`select` chooses its parameters,
:func:`fit_many` fits many series in parallel, :mod:`vorn.datasets` holds sample data and
``python -m vorn`` (or ``vorn``) is the command line.
"""

import os as _os

try:
    from . import _engine  # noqa: F401
except ImportError as _exc:
    _here = _os.path.dirname(_os.path.abspath(__file__))
    if not _os.path.exists(_os.path.join(_here, _os.pardir, "pyproject.toml")):
        raise
    # Run from the repository, the source folder shadows the installed package; without this
    # the failure reads as a circular import.
    raise ImportError(
        f"vorn is imported from its source tree ({_here}), where its compiled engine is not "
        "built; leave the source directory and relaunch Python to use the installed vorn, or "
        "build and install it first (make install, or pip install .)"
    ) from None

from . import datasets
from ._fit import Fit
from ._jumps import JumpEvidence
from ._many import fit_many
from ._cv import cv_score, default_grid
from ._problem import fit, noise_level
from ._select import select
from ._sites import length_in_site_units
from ._selection import Selection

__all__ = [
    "Fit",
    "JumpEvidence",
    "Selection",
    "cv_score",
    "datasets",
    "default_grid",
    "fit",
    "fit_many",
    "length_in_site_units",
    "noise_level",
    "select",
]

__version__ = "0.1.0"
