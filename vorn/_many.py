"""Fitting many independent series through any concurrent.futures executor."""

from __future__ import annotations

import numbers
import signal
from collections.abc import Mapping
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from typing import Any, Iterable, Optional

import numpy as np

from ._checks import check_gamma, check_p, check_precondition, check_pruning
from ._fit import Fit
from ._problem import Problem
from ._select import METHODS, SEGMENTS, _int_argument, select_problem
from ._units import positive_number

__all__ = ["fit_many"]


def _unpack(item: Any) -> tuple[Any, Any, Any]:
    """Split one series into (x, y, delta)."""
    if isinstance(item, Mapping):
        if "y" not in item:
            raise ValueError("a series given as a mapping needs a 'y' entry")
        unknown = set(item) - {"x", "y", "delta"}
        if unknown:
            raise ValueError(f"unknown keys in series mapping: {sorted(map(str, unknown))}")
        return item.get("x"), item["y"], item.get("delta")
    if (
        isinstance(item, tuple)
        and len(item) in (2, 3)
        and not any(isinstance(part, numbers.Number) for part in item)
    ):
        return (item[0], item[1], item[2] if len(item) == 3 else None)
    return None, item, None


def _fit_one(task: tuple[Problem, dict[str, Any]]) -> Fit:
    problem, options = task
    if options["p"] is not None and options["gamma"] is not None:
        return problem.fit(options["p"], options["gamma"], options["pruning"],
                           options["precondition"])
    chosen = select_problem(problem, **options)
    return chosen.fit


def _ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group; the caller, not each worker, handles it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def fit_many(
    series: Iterable[Any],
    p: Any = None,
    gamma: Any = None,
    *,
    pruning: str = "DOMINANCE",
    precondition: str = "none",
    bandwidth: Any = None,
    bandwidth_samples: Optional[float] = None,
    penalty: Optional[float] = None,
    method: str = "priced",
    folds: Optional[int] = None,
    seed: int = 0,
    n_jobs: int = 1,
    scoring: str = "gap-aware",
    progress: Optional[bool] = False,
    segments: str = "smooth",
    executor: Optional[Executor] = None,
    max_workers: Optional[int] = None,
) -> list[Fit]:
    """Fit many independent series in parallel.

    Every series is checked here, before any work is sent out, so that a bad one is reported
    with its position at once. The fits then run through `executor`: a process pool on this
    machine by default, or any :class:`concurrent.futures.Executor`, for example a Dask
    cluster's ``distributed.Client(...).get_executor()`` when one machine is not enough.

    Parameters
    ----------
    series : iterable
        Each item is a `y` (array_like or pandas object, sites as for :func:`vorn.fit` with
        ``x=None``), a tuple ``(x, y)`` or ``(x, y, delta)``, or a mapping with the keys
        ``"y"`` and optionally ``"x"`` and ``"delta"``.
    p, gamma : float, optional
        Parameters shared by all fits. When both are given every series is fitted with
        :func:`vorn.fit` (with `bandwidth`, `bandwidth_samples` and `penalty` when given in
        their place); otherwise each series gets its own :func:`vorn.select`, with every
        argument below that it takes.
    pruning, precondition : str
        As for :func:`vorn.fit`; also used for the fits whose parameters are selected.
    bandwidth, bandwidth_samples, penalty
        The smoothing and the jump penalty in natural units, as for :func:`vorn.fit` and
        :func:`vorn.select`.
    method, folds, seed, n_jobs, scoring, progress, segments
        As for :func:`vorn.select` (`progress` is off by default: the bars of parallel
        workers would overwrite each other); ``segments="constant"`` fits levels between
        jumps, with `gamma` or `penalty` alone when given.
    executor : concurrent.futures.Executor, optional
        Where the fits run. It is used, not shut down. When omitted, a
        :class:`~concurrent.futures.ProcessPoolExecutor` with `max_workers` processes is made
        for this call.
    max_workers : int, optional
        Size of the default process pool (ignored when `executor` is given).

    Returns
    -------
    list of Fit
        One fit per series, in input order.

    Raises
    ------
    ValueError, TypeError
        For a bad series (the message starts with its position, e.g. ``"series 3: ..."``,
        also when the fit itself fails in a worker) or bad parameters.
    KeyboardInterrupt
        On Ctrl-C. Queued fits are cancelled; the default process pool is ended at once, with
        its workers, while a given `executor` is left running (its fits already started
        finish there).

    Examples
    --------
    >>> import numpy as np, vorn
    >>> rng = np.random.default_rng(0)
    >>> series = [np.r_[np.zeros(50), np.ones(50)] + 0.05 * rng.standard_normal(100)
    ...           for _ in range(4)]
    >>> fits = vorn.fit_many(series, p=0.5, gamma=0.05, max_workers=2)
    >>> [f.jumps.tolist() for f in fits]
    [[50.5], [50.5], [50.5], [50.5]]
    """
    options = _checked_options(p, gamma, pruning, precondition, bandwidth, bandwidth_samples,
                               penalty, method, folds, seed, n_jobs, scoring, progress,
                               segments)
    checks_energies = (options["p"] is not None and options["gamma"] is not None
                       or options["method"] == "cv")
    tasks = []
    for i, item in enumerate(series):
        try:
            # Checked as the fit or the choice will check them, and sent out checked.
            problem = Problem.of(*_unpack(item), check_energies=checks_energies)
        except (TypeError, ValueError) as exc:
            raise type(exc)(f"series {i}: {exc}") from None
        tasks.append((problem, options))
    if not tasks:
        return []
    if executor is not None:
        return _run(executor, tasks)
    pool = ProcessPoolExecutor(max_workers=max_workers, initializer=_ignore_interrupts)
    try:
        results = _run(pool, tasks)
    except BaseException:
        _stop(pool)
        raise
    pool.shutdown(wait=True)
    return results


def _checked_options(p: Any, gamma: Any, pruning: str, precondition: str, bandwidth: Any,
                     bandwidth_samples: Any, penalty: Any, method: str, folds: Any,
                     seed: Any, n_jobs: Any, scoring: str, progress: Any,
                     segments: Any = "smooth") -> dict[str, Any]:
    """The options every series shares, checked once here; what depends on a series (a
    bandwidth against its sites, folds against its length) is checked with it."""
    direct = p is not None and gamma is not None
    if direct or (p is not None and not isinstance(p, (list, tuple, np.ndarray))):
        p = check_p(p) if not (isinstance(p, np.ndarray) and p.ndim) else p
    if direct or (gamma is not None and not isinstance(gamma, (list, tuple, np.ndarray))):
        gamma = check_gamma(gamma) if not (isinstance(gamma, np.ndarray) and gamma.ndim) else gamma
    if bandwidth_samples is not None:
        bandwidth_samples = positive_number("bandwidth_samples", bandwidth_samples)
    if penalty is not None:
        penalty = positive_number("penalty", penalty, allow_inf=True)
    if direct and (bandwidth is not None or bandwidth_samples is not None
                   or penalty is not None):
        raise ValueError("give p and gamma, or bandwidth, bandwidth_samples or penalty in "
                         "their place, not both")
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"method must be 'priced' or 'cv', got {method!r}")
    if folds is not None:
        folds = _int_argument("folds", folds)
    if scoring not in ("gap-aware", "core"):
        raise ValueError(f"scoring must be 'gap-aware' or 'core', got {scoring!r}")
    if not isinstance(segments, str) or segments not in SEGMENTS:
        raise ValueError(f"segments must be 'smooth' or 'constant', got {segments!r}")
    if segments == "constant" and (p is not None or bandwidth is not None
                                   or bandwidth_samples is not None):
        raise ValueError("segments='constant' takes no bandwidth, bandwidth_samples or p")
    return {"p": p, "gamma": gamma, "pruning": check_pruning(pruning),
            "precondition": check_precondition(precondition), "bandwidth": bandwidth,
            "bandwidth_samples": bandwidth_samples, "penalty": penalty, "method": method,
            "folds": folds, "seed": _int_argument("seed", seed),
            "n_jobs": _int_argument("n_jobs", n_jobs), "scoring": scoring,
            "progress": progress, "segments": segments}


def _run(executor: Executor, tasks: list[tuple[Any, ...]]) -> list[Fit]:
    futures: list[Future[Fit]] = [executor.submit(_fit_one, task) for task in tasks]
    try:
        results = []
        for i, future in enumerate(futures):
            try:
                results.append(future.result())
            except (TypeError, ValueError) as exc:
                raise _with_position(exc, i) from None
        return results
    finally:
        for future in futures:
            future.cancel()


def _with_position(exc: Exception, i: int) -> Exception:
    """The same error with the position of its series in front of the message."""
    try:
        return type(exc)(f"series {i}: {exc}")
    except Exception:  # an exception type that takes other arguments: keep it as it is
        return exc


def _stop(pool: ProcessPoolExecutor) -> None:
    """Stop a pool at once: drop queued work and end the workers that are busy."""
    # The executor keeps its worker processes in a private mapping; ending them is the only
    # way not to wait for a long fit after Ctrl-C.
    processes = dict(getattr(pool, "_processes", None) or {})
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes.values():
        if process.is_alive():
            process.terminate()
    for process in processes.values():
        process.join(timeout=5.0)
