"""Freed heap given back to the system between the large steps of one call."""

from __future__ import annotations

import ctypes
import functools
from typing import Any, Optional


@functools.cache
def _malloc_trim() -> Optional[Any]:
    try:
        return ctypes.CDLL("libc.so.6").malloc_trim
    except (OSError, AttributeError):
        return None


def return_freed_memory() -> None:
    """Give freed heap back to the system before the next step needs memory.

    glibc keeps freed blocks of a few megabytes in its heaps (past the first such free it
    stops mapping them one by one), so the buffers of one step stay resident under the next
    step's and add to the peak; elsewhere (no glibc) this does nothing.
    """
    trim = _malloc_trim()
    if trim is not None:
        trim(0)
