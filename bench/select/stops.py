"""Stops following the sites `x` through one default `vorn.select(x, y)`, as a reader follows them.

    .venv/bin/python bench/select/stops.py

A function is on the path when one of its arguments carries the sites: a strictly increasing
float array of 3 or more values, or a Problem, Prepared, Samples, ChoiceFits or FitInputs
(properties left out: they read a field). The path is the file the sites are in: entering such
a function in another file of vorn/ is a stop, and so is coming back from it to the caller's
file (returns included). A call already followed (the same caller line and function) is not
followed again, nor anything under it: a reader reads it once. Consecutive stops in one file
are one. Bandwidths are scored in the calling thread, so that every call has its caller. The
series: 300 even sites, a sine and one jump of 2 in noise of sd 0.3 (seed 1).
"""

from __future__ import annotations

import inspect
import sys
from pathlib import Path

import numpy as np

import vorn
import vorn._search

ROOT = str(Path(vorn.__file__).parent)
CARRIERS = {"Problem", "Prepared", "Samples", "ChoiceFits", "FitInputs"}


def _properties():
    found = set()
    for module in list(sys.modules.values()):
        if getattr(module, "__name__", "").startswith("vorn"):
            for _, cls in inspect.getmembers(module, inspect.isclass):
                found.update(f"{cls.__name__}.{name}" for name, value in vars(cls).items()
                             if isinstance(value, property))
    return found


def _carries(value):
    if isinstance(value, np.ndarray):
        return (value.ndim == 1 and value.dtype.kind == "f" and value.size >= 3
                and bool(np.all(np.diff(value) > 0)))
    return type(value).__name__ in CARRIERS


def walk(x, y):
    """The files the sites pass through in one select(x, y), and its result."""
    properties = _properties()
    path, seen, stack = ["(caller)"], set(), []

    def tracer(frame, event, arg):
        code = frame.f_code
        if (event != "call" or not code.co_filename.startswith(ROOT)
                or code.co_qualname in properties):
            return None
        names = code.co_varnames[:code.co_argcount + code.co_kwonlyargcount]
        if not any(_carries(frame.f_locals.get(name)) for name in names):
            return None
        here = Path(code.co_filename).name
        edge = (frame.f_back.f_code.co_filename, frame.f_back.f_lineno, code.co_qualname)
        skip = bool(stack and stack[-1][1]) or edge in seen
        seen.add(edge)
        if not skip and path[-1] != here:
            path.append(here)
        stack.append((here, skip))

        def local(frame, event, arg):
            if event == "return":
                _, skipped = stack.pop()
                back = stack[-1][0] if stack else "(caller)"
                if not skipped and path[-1] != back:
                    path.append(back)
            return local
        return local

    serial = vorn._search._map_in_threads
    vorn._search._map_in_threads = lambda work, jobs, threads: serial(work, jobs, 1)
    sys.settrace(tracer)
    try:
        chosen = vorn.select(x, y)
    finally:
        sys.settrace(None)
        vorn._search._map_in_threads = serial
    return path[1:-1], chosen


def main():
    rng = np.random.default_rng(1)
    x = np.linspace(0.0, 1.0, 300)
    y = np.sin(6 * x) + (x > 0.5) * 2.0 + 0.3 * rng.standard_normal(300)
    path, chosen = walk(x, y)
    print(" -> ".join(path))
    print(f"{len(path)} stops in {len(set(path))} files; "
          f"jumps at {chosen.fit.jump_indices.tolist()}")


if __name__ == "__main__":
    main()
