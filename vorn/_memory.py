"""Freed heap given back to the system between the large steps of one call."""

from __future__ import annotations


def return_freed_memory() -> None:
    """Give freed heap back to the system before the next step needs memory.

    glibc keeps freed blocks of a few megabytes in its heaps (past the first such free it
    stops mapping them one by one), so the buffers of one step stay resident under the next
    step's and add to the peak; elsewhere this does nothing.
    """
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
