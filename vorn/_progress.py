"""The optional progress bar of long computations."""

from __future__ import annotations

from typing import Any, Optional

from ._extras import require


def progress_bar(wanted: Optional[bool], *, desc: str, unit: str, total: Optional[int] = None,
                 expected_seconds: float = 0.0) -> Any:
    """A tqdm bar, or None.

    Parameters
    ----------
    wanted : bool or None
        True always shows the bar (tqdm is then required); False never does; None shows it
        when the work is expected to take more than a few seconds and tqdm is installed.
    desc, unit, total
        Passed to tqdm.
    expected_seconds : float
        Rough duration of the work, for ``wanted=None``.

    Raises
    ------
    ImportError
        If `wanted` is True and tqdm is missing; the message names the extra to install.
    """
    if wanted is False or (wanted is None and expected_seconds < 3.0):
        return None
    try:
        tqdm = require("tqdm.auto", "progress", "progress=True").tqdm
    except ImportError:
        if wanted is None:
            return None
        raise
    # disable=None: the bar switches itself off when the output is not a terminal.
    return tqdm(desc=desc, unit=unit, total=total, disable=None)
