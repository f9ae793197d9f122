"""Cubic smoothing splines with discontinuities."""

__version__ = "0.1.0"
