"""Fitting many independent series through any concurrent.futures executor."""

from __future__ import annotations

import inspect
import numbers
import signal
from collections.abc import Mapping
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from typing import Any, Iterable, Optional

from ._checks import check_gamma, check_p, check_precondition, check_pruning, prepare
from ._fit import Fit, fit
from ._select import select
from ._sites import is_datetime_like

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


def _fit_one(task: tuple[Any, ...]) -> Fit:
    x, y, delta, p, gamma, pruning, precondition, folds, seed = task
    if p is not None and gamma is not None:
        return fit(x, y, p, gamma, delta=delta, pruning=pruning, precondition=precondition)
    options = {"pruning": pruning, "precondition": precondition}
    accepted = inspect.signature(select).parameters
    chosen = select(x, y, delta=delta, p=p, gamma=gamma, folds=folds, seed=seed,
                    **{key: value for key, value in options.items() if key in accepted})
    result = chosen.fit
    options_lost = (result.pruning, result.precondition) != (pruning, precondition)
    dates_lost = x is not None and is_datetime_like(x) and not result.sites.is_datetime
    if options_lost or dates_lost:
        # Neither the search options nor the sites' unit change the partition; refit so that
        # the fit carries them.
        result = fit(x, y, chosen.p, chosen.gamma, delta=delta, pruning=pruning,
                     precondition=precondition)
    return result


def _ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group; the caller, not each worker, handles it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def fit_many(
    series: Iterable[Any],
    p: Optional[float] = None,
    gamma: Optional[float] = None,
    *,
    pruning: str = "DOMINANCE",
    precondition: str = "none",
    folds: int = 10,
    seed: int = 0,
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
        Each item is a `y` (array_like, sites 1..n), a tuple ``(x, y)`` or ``(x, y, delta)``,
        or a mapping with the keys ``"y"`` and optionally ``"x"`` and ``"delta"``.
    p, gamma : float, optional
        Parameters shared by all fits. When either is None it is chosen per series by
        :func:`vorn.select` (with `folds` and `seed`).
    pruning, precondition : str
        As for :func:`vorn.fit`; also used for the fits whose parameters are selected.
    folds, seed : int
        Cross-validation settings when parameters are selected.
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
    p_value = None if p is None else check_p(p)
    gamma_value = None if gamma is None else check_gamma(gamma)
    pruning_choice = check_pruning(pruning)
    precondition_choice = check_precondition(precondition)
    tasks = []
    for i, item in enumerate(series):
        try:
            x, y, delta = _unpack(item)
            prepared = prepare(x, y, delta)
        except (TypeError, ValueError) as exc:
            raise type(exc)(f"series {i}: {exc}") from None
        y_arg = prepared.y[:, 0] if prepared.one_dimensional else prepared.y
        # Datetime sites travel as given, so that each fit maps them back itself.
        x_arg = x if prepared.sites.is_datetime else prepared.x
        tasks.append((x_arg, y_arg, prepared.delta, p_value, gamma_value,
                      pruning_choice, precondition_choice, folds, seed))
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
