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

from . import datasets
from ._fit import Fit, fit
from ._jumps import JumpEvidence
from ._many import fit_many
from ._noise import noise_level
from ._scoring import cv_score
from ._select import select
from ._sites import length_in_site_units
from ._selection import Selection
from ._units import default_grid

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
